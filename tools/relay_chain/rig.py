"""One run of the chain, for a test or a measurement: a place to run programs in (a WinePrefix or
a MountNamespace, which share command / env / point_com4 / close), the panel on its own
pseudo-terminal, and the relay, stand-ins and other programs started there; close() ends them
all, the place and the panel last."""

from .panel import PtyPanel
from .processes import Process
from .simulator import Standin


class Rig:
    def __init__(self, place, relay, standin=None):
        self.place = place
        self.relay_path, self.standin_path = relay, standin
        self.panel = PtyPanel()
        self.processes = []
        self.standins = []

    def start(self, argv, env=None, **options):
        """Any program in the place, its console recorded (options: Process's, stdin say)."""
        process = Process(self.place.command(argv), env=self.place.env if env is None else env,
                          **options)
        self.processes.append(process)
        return process

    def start_relay(self, *arguments):
        return self.start([self.relay_path, *arguments])

    def start_standin(self, size=4096):
        standin = Standin(self.place.command([self.standin_path]), env=self.place.env, size=size)
        self.standins.append(standin)
        return standin

    def point_com4(self, device):
        self.place.point_com4(device)

    def relay_pid(self, relay):
        """The process whose figures are the relay's."""
        return self.place.program_pid(relay.popen, self.relay_path)

    def close(self):
        for process in self.processes:
            process.kill()
        for standin in self.standins:
            standin.quit()
        self.place.close()
        self.panel.close()
