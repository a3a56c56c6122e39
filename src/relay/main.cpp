// panel-relay: relays the simulator's cockpit display text to the hardware panel on COM4.
// It takes no options; any arguments are ignored.
#include "relay/relay_run.h"

int main() {
  return RunRelay();
}
