"""Runs a Windows test program under Wine in a private copy of the prepared prefix
(CMake's cross-compiling emulator), or prepares that prefix with --prepare."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main(arguments):
    template = os.environ["PANEL_RELAY_WINE_TEMPLATE"]
    if arguments == ["--prepare"]:
        harness.prepare_wine_template(template)
        return 0
    prefix = harness.WinePrefix(template)
    try:
        return subprocess.run(["wine", *arguments], env=prefix.env,
                              stdin=subprocess.DEVNULL).returncode
    finally:
        prefix.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
