"""Runs a Windows test program under Wine in a private copy of the prepared prefix
(CMake's cross-compiling emulator), or prepares that prefix with --prepare."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from relay_chain import wine  # noqa: E402


def main(arguments):
    template = os.environ["PANEL_RELAY_WINE_TEMPLATE"]
    if arguments == ["--prepare"]:
        return 0 if wine.prepare_template(template) else 1
    prefix = wine.WinePrefix(template)
    try:
        return subprocess.run(prefix.command(arguments), env=prefix.env,
                              stdin=subprocess.DEVNULL).returncode
    finally:
        prefix.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
