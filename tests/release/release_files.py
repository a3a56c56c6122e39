"""Where the release files are, what version they carry, and the e2e pieces the release tests
share with the program's own end-to-end tests (and, through tools/, the relay_chain package)."""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "tests", "e2e"), os.path.join(ROOT, "tools")]

# The release files scripts/release left (another directory through PANEL_RELAY_RELEASE_DIR).
DIST = os.environ.get("PANEL_RELAY_RELEASE_DIR", os.path.join(ROOT, "dist", "release"))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake_lists:
        return re.search(r"project\(panel-relay\s+VERSION\s+([0-9.]+)", cmake_lists.read())[1]


VERSION = project_version()
ZIP = os.path.join(DIST, f"panel-relay-{VERSION}-windows-x64.zip")
TARBALL = os.path.join(DIST, f"panel-relay-{VERSION}-linux-x86_64.tar.gz")
DEB = os.path.join(DIST, f"panel-relay_{VERSION}-1_amd64.deb")


def firmware_files():
    """The reference panel's files both archives ship, below their top directory: the .hex and
    every file of the sketch folder."""
    names = ["firmware/relay_panel.hex"]
    sketch = os.path.join(ROOT, "firmware", "relay_panel")
    for directory, _, files in os.walk(sketch):
        for name in files:
            path = os.path.join(directory, name)
            names.append("firmware/" + os.path.relpath(path, os.path.dirname(sketch)))
    return names


def require_release():
    """For each test module's setUpModule: the files must be there, made by scripts/release."""
    missing = [path for path in (ZIP, TARBALL, DEB) if not os.path.isfile(path)]
    if missing:
        raise RuntimeError(f"no {', '.join(missing)}: run scripts/release first")

# One page for sim-emulator, and the area lines it must put in the area: a special code, a
# degree sign, a backslash and a marked field.
ONE_PAGE = ("page\n"
            "text |STPT \\1 12   ^ \\\\ AUTO   |\n"
            "mark |     #######             |\n"
            "text |LAT  N 34^52.610'|\n"
            "text ||\n"
            "text |  ELEV 2306FT|\n"
            "text |\\x7f\\2|\n")
ONE_PAGE_TEXT = [b"STPT \x01 12   ^ \\ AUTO   ", b"LAT  N 34^52.610'", b"",
                 b"  ELEV 2306FT", b"\x7f\x02"]
ONE_PAGE_MARKS = [b"\x00" * 5 + b"\x02" * 7, b"", b"", b"", b""]
