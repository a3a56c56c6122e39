"""The real panel-relay.exe under Wine: its COM4 is a pseudo-terminal held by the test, and a
Windows stand-in in the same prefix publishes the simulator's area."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from relay_cases import RelayCases, RelayFaultCases  # noqa: E402

RELAY = os.environ.get("PANEL_RELAY_EXE", "")
STANDIN = os.environ.get("AREA_STANDIN_EXE", "")
TEMPLATE = os.environ.get("PANEL_RELAY_WINE_TEMPLATE", "")


class WineRelay(RelayCases, RelayFaultCases, unittest.TestCase):
    def setUp(self):
        self.prefix = harness.WinePrefix(TEMPLATE)
        self.panel = harness.PtyPanel()
        self.processes = []
        self.standins = []

    def tearDown(self):
        for process in self.processes:
            process.kill()
        for standin in self.standins:
            standin.quit()
        self.prefix.close()
        self.panel.close()

    def start_standin(self, size):
        standin = harness.Standin(self.prefix.command(STANDIN), env=self.prefix.env, size=size)
        self.standins.append(standin)
        return standin

    def start_relay(self, *arguments):
        process = harness.Process(self.prefix.command(RELAY, *arguments), env=self.prefix.env)
        self.processes.append(process)
        return process

    def point_com4(self, device):
        self.prefix.set_com4(device)

    def check_port_reopenable(self):
        # Wine opens a serial port without making its device exclusive (it does not enforce the
        # share mode either), so nothing of the port can outlive the run here.
        pass


if __name__ == "__main__":
    unittest.main()
