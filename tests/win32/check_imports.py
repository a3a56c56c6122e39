"""Fails unless every DLL an executable imports is one that every Windows has."""

import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


def main(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True, check=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    print("imports:", ", ".join(sorted(imported)))
    foreign = imported - SYSTEM_DLLS
    if not imported or foreign:
        print("not a system DLL:", ", ".join(sorted(foreign)) or "(no imports found)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
