"""COM4 in a Wine prefix on a machine shaped like most PCs: /dev/ttyS0 to /dev/ttyS3, which Wine
maps as COM1 to COM4 at each start of a prefix. Wine runs in a mount namespace whose /dev has
those nodes, and /dev/serial/by-id/ a stable name for the panel, as udev makes it.

- A link made by hand is replaced at the prefix's next start.
- The way users set COM4 (panel-relay-com4 with the stable name, while Wine is not running)
  holds: the real panel-relay.exe, started in the prefix afresh, restarts the panel and relays
  to it, and the panel that comes back under another node during the countdown is reached.
- With the panel's device gone, Wine still opens COM4, so the relay cannot tell.
- The tool refuses a prefix whose wineserver runs, leaving system.reg as it was."""

import os
import subprocess
import tty
import unittest

from relay_cases import (ATTRIBUTES, BANNER, CONNECTED, COUNTDOWN, ORDINARY_RUN, PAIR, RESTART, TEXT,
                         WAITING, model_pair)
from relay_chain import namespace
from relay_chain.namespace import MountNamespace
from relay_chain.panel import PtyPanel
from relay_chain.rig import Rig
from relay_chain.wine import WinePrefix

RELAY = os.environ.get("PANEL_RELAY_EXE", "")
STANDIN = os.environ.get("AREA_STANDIN_EXE", "")
TEMPLATE = os.environ.get("PANEL_RELAY_WINE_TEMPLATE", "")
TOOL = os.environ.get("PANEL_RELAY_COM4_TOOL", "")
STABLE = "/dev/serial/by-id/usb-Panel_Maker_Text_Panel_0001-if00"


class PcShapedPrefix(unittest.TestCase):
    def setUp(self):
        namespace.require(self)
        if not os.access(TOOL, os.X_OK):
            self.fail(f"no panel-relay-com4 at {TOOL!r}: build the native preset first")
        self.namespace = MountNamespace(serial_ports=4)
        self.addCleanup(self.namespace.close)
        self.prefix = WinePrefix(TEMPLATE, namespace=self.namespace)
        self.rig = Rig(self.prefix, RELAY, STANDIN)
        self.addCleanup(self.rig.close)
        self.panel = self.rig.panel
        os.makedirs(self.namespace.root + os.path.dirname(STABLE))

    def lead_stable_name_to(self, panel):
        """The stable name leads to the panel's line, as udev's link leads to the adapter's."""
        link = self.namespace.root + STABLE
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(panel.slave_path, link)

    def ports(self):
        """The prefix's COM links: {"com1": "/dev/ttyS0", ...}."""
        dosdevices = os.path.join(self.prefix.path, "dosdevices")
        return {name: os.readlink(os.path.join(dosdevices, name))
                for name in os.listdir(dosdevices) if name.startswith("com")}

    def tool(self, *arguments):
        """panel-relay-com4 as a user runs it, in the namespace that has the stable name."""
        return subprocess.run(self.namespace.command([TOOL, self.prefix.path, *arguments]),
                              capture_output=True, text=True, timeout=30)

    def registry(self):
        with open(os.path.join(self.prefix.path, "system.reg"), "rb") as registry:
            return registry.read()

    def test_a_link_made_by_hand_is_replaced_at_the_next_start(self):
        self.assertEqual(self.ports()["com4"], "/dev/ttyS3")  # what Wine made at its start
        self.prefix.point_com4(self.panel.slave_path)
        self.assertTrue(self.prefix.stop())
        self.prefix.start()
        self.assertEqual(self.ports()["com4"], "/dev/ttyS3")

    def test_the_tool_refuses_a_prefix_whose_wineserver_runs(self):
        self.lead_stable_name_to(self.panel)
        before = self.registry()
        result = self.tool(STABLE)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertRegex(result.stderr, r"^panel-relay-com4: a wineserver runs for .*"
                                        r"Nothing was changed\n$")
        self.assertEqual(result.stdout, "")
        self.assertEqual(self.registry(), before)
        self.assertEqual(self.ports()["com4"], "/dev/ttyS3")

    def set_com4_and_start_afresh(self):
        self.lead_stable_name_to(self.panel)
        self.assertTrue(self.prefix.stop())
        result = self.tool(STABLE)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.prefix.start()  # as starting the simulator does
        # COM4 is kept; the serial ports Wine finds take the numbers around it.
        self.assertEqual(self.ports(), {"com1": "/dev/ttyS0", "com2": "/dev/ttyS1",
                                        "com3": "/dev/ttyS2", "com4": STABLE,
                                        "com5": "/dev/ttyS3"})

    def relay_after_a_fresh_start(self):
        """COM4 set by the tool, the prefix started afresh, the stand-in publishing the test's
        image and the relay started: once it has announced the panel's restart."""
        self.set_com4_and_start_afresh()
        standin = self.rig.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        relay = self.rig.start_relay()
        self.assertIsNotNone(relay.wait_for_output(RESTART, 20))
        return standin, relay

    def test_com4_set_by_the_tool_holds_and_the_relay_reaches_the_panel(self):
        standin, relay = self.relay_after_a_fresh_start()
        self.assertTrue(self.panel.hung_up(), "the panel's line was not closed for the restart")
        self.assertEqual(self.panel.speeds(), (1200, 1200))
        self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
        self.assertTrue(self.panel.wait_for_bytes(2 * PAIR, 10))
        self.assertEqual(self.panel.data()[:2 * PAIR], 2 * model_pair(TEXT, ATTRIBUTES))
        relay.interrupt()
        self.assertEqual(relay.wait(15), 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        standin.quit()

    def test_with_its_device_gone_com4_still_opens(self):
        """What users must know: Wine opens a COM port it made at the prefix's start even when
        its device is gone (the handle reaches nothing), so the relay cannot say "COM-Port not
        available..." for a panel that is unplugged; panel-relay-com4 PREFIX tells."""
        self.set_com4_and_start_afresh()
        os.unlink(self.namespace.root + STABLE)
        relay = self.rig.start_relay()
        self.assertIsNotNone(relay.wait_for_output(WAITING, 30))
        relay.interrupt()
        status = relay.wait(15)
        self.assertEqual(relay.output(), BANNER + RESTART + COUNTDOWN + WAITING)
        self.assertEqual(status, 1, relay.output())
        self.assertEqual(self.panel.data(), b"")
        shown = self.tool()
        self.assertIn(f"registry: HKLM\\Software\\Wine\\Ports \"COM4\" = {STABLE}\n"
                      "            leads to nothing", shown.stdout)

    def test_the_panel_that_comes_back_under_another_node_is_reached(self):
        standin, relay = self.relay_after_a_fresh_start()
        # The panel restarts and returns as another device; udev moves the stable name to it.
        returned = PtyPanel()
        self.addCleanup(returned.close)
        # The relay sets the line only before the restart. A new node starts with the kernel's
        # defaults, whose output processing would turn each 0x0A into 0x0D 0x0A; raw here, as
        # the node the panel left was, so that the bytes compare.
        tty.setraw(returned.master)
        self.lead_stable_name_to(returned)
        self.panel.close()
        self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
        self.assertTrue(returned.wait_for_bytes(2 * PAIR, 10), "no frames on the new node")
        self.assertEqual(returned.data()[:PAIR], model_pair(TEXT, ATTRIBUTES))
        relay.interrupt()
        self.assertEqual(relay.wait(15), 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        standin.quit()


if __name__ == "__main__":
    unittest.main()
