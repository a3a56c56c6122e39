"""Lists the files scripts/lint checks: those of src/, tools/ and firmware/ that a
compile-commands file builds, chosen by their path below the source tree (as CMake knows it), so
that a checkout under a directory that happens to be called src or tools selects the same files
as any other.

Usage: lint_sources.py BUILD_DIR [SUFFIX]   (one path a line, sorted)"""

import json
import os
import sys

CHECKED = ("src", "tools", "firmware")


def source_dir(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_HOME_DIRECTORY:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit(f"{build_dir}: no CMAKE_HOME_DIRECTORY in CMakeCache.txt")


def selected(build_dir, suffix=""):
    top = os.path.realpath(source_dir(build_dir))
    with open(os.path.join(build_dir, "compile_commands.json")) as database:
        entries = json.load(database)
    chosen = set()
    for entry in entries:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        parts = os.path.relpath(path, top).split(os.sep)
        if parts[0] in CHECKED and path.endswith(suffix):
            chosen.add(path)
    return sorted(chosen)


if __name__ == "__main__":
    print("\n".join(selected(*sys.argv[1:3])))
