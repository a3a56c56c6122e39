"""The real panel-relay.exe under Wine: its COM4 is a pseudo-terminal held by the test, and a
Windows stand-in in the same prefix publishes the simulator's area."""

import os
import unittest

from relay_cases import RelayCases, RelayFaultCases, RigHooks
from relay_chain.rig import Rig
from relay_chain.wine import WinePrefix

RELAY = os.environ.get("PANEL_RELAY_EXE", "")
STANDIN = os.environ.get("AREA_STANDIN_EXE", "")
TEMPLATE = os.environ.get("PANEL_RELAY_WINE_TEMPLATE", "")


class WineRelay(RigHooks, RelayCases, RelayFaultCases, unittest.TestCase):
    def setUp(self):
        self.rig = Rig(WinePrefix(TEMPLATE), RELAY, STANDIN)
        self.addCleanup(self.rig.close)
        self.panel = self.rig.panel

    def check_port_reopenable(self, panel=None):
        # Wine opens a serial port without making its device exclusive (it does not enforce the
        # share mode either), so nothing of the port can outlive the run here.
        pass


if __name__ == "__main__":
    unittest.main()
