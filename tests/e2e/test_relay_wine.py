"""The real panel-relay.exe under Wine: its COM4 is a pseudo-terminal held by the test, and a
Windows stand-in in the same prefix publishes the simulator's area."""

import os
import unittest

from relay_cases import (BANNER, COUNTDOWN, RESTART, WAITING, RelayCases, RelayFaultCases,
                         RigHooks)
from relay_chain import namespace
from relay_chain.namespace import MountNamespace
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


class PcShapedWineRelay(WineRelay):
    """The same cases with Wine on a machine shaped like most PCs: /dev/ttyS0 to /dev/ttyS3,
    which Wine maps as COM1 to COM4 when the prefix starts. COM4 is pointed at the panel after
    that, so the relay must open what the test points it at, not the fourth serial port."""

    def setUp(self):
        namespace.require(self)
        machine = MountNamespace(serial_ports=4)
        self.addCleanup(machine.close)  # after the rig's close: cleanups run last first
        self.rig = Rig(WinePrefix(TEMPLATE, namespace=machine), RELAY, STANDIN)
        self.addCleanup(self.rig.close)
        self.panel = self.rig.panel

    # Wine opens a COM port it made at the prefix's start (here COM4 is the fourth serial
    # device) even when the link to it is gone, and the handle reaches no device: so on such a
    # machine a missing COM4 is not "not available" but a run that relays to nothing.
    def assert_com4_opens_without_its_link(self, relay):
        self.assertIsNotNone(relay.wait_for_output(WAITING, 30))
        self.assertEqual(self.finish(relay), 1)
        self.assertEqual(relay.output(), BANNER + RESTART + COUNTDOWN + WAITING)
        self.assertEqual(self.panel.data(), b"")

    def test_no_port(self):
        self.point_com4(None)
        self.assert_com4_opens_without_its_link(self.start_relay())

    def test_port_gone_after_countdown(self):
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertIsNotNone(relay.wait_for_output(RESTART, 15))
        self.point_com4(None)
        self.assert_com4_opens_without_its_link(relay)


if __name__ == "__main__":
    unittest.main()
