"""The build record of a release, in the manner of Debian's .buildinfo: the Debian release the
files were built on, the exact version of every installed package that shapes their bytes (the
tools the release uses and everything they depend on, as dpkg has it), the environment that
matters, and the files' SHA-256. With it, the same packages can be installed from Debian's
snapshot archive and the same bytes rebuilt. It names nothing of the machine, the path or the
time of the build, so two builds of one commit with the same packages give the same record.

Usage: build_record.py FILE...   (the release files, the Debian package among them; prints
the record)"""

import hashlib
import os
import subprocess
import sys

# What the release is built with: compilers and their binutils, the MinGW-w64 toolchain and
# headers, the AVR toolchain, C library and Arduino core of the panel's firmware, CMake and CPack,
# make, dpkg's tools, fakeroot, strip-nondeterminism, gzip, and file (for dpkg-shlibdeps). Their
# dependencies are added below.
TOOLS = ["g++", "g++-mingw-w64-x86-64", "binutils", "binutils-mingw-w64-x86-64", "libc6-dev",
         "gcc-avr", "binutils-avr", "avr-libc", "arduino-core-avr",
         "cmake", "make", "dpkg", "dpkg-dev", "fakeroot", "strip-nondeterminism", "gzip", "tar",
         "file"]
ENVIRONMENT = ("LC_ALL", "SOURCE_DATE_EPOCH", "TZ")


def installed():
    """{package: (version, [dependency alternatives], [provided names])} of installed ones."""
    listing = subprocess.run(
        ["dpkg-query", "-W", "-f=${db:Status-Status}\t${Package}\t${Version}\t${Pre-Depends}, "
         "${Depends}\t${Provides}\n"], capture_output=True, text=True, check=True).stdout
    packages = {}
    for line in listing.splitlines():
        status, name, version, depends, provides = line.split("\t")
        if status != "installed":
            continue
        alternatives = [[word.split()[0].split(":")[0] for word in group.split("|")]
                        for group in depends.split(",") if group.strip()]
        packages[name] = (version, alternatives, [p.split()[0] for p in provides.split(",")
                                                  if p.strip()])
    return packages


def closure(packages, roots):
    """The installed roots and what they depend on, each alternative met by an installed one."""
    providers = {}
    for name, (_, _, provided) in packages.items():
        for virtual in provided:
            providers.setdefault(virtual, []).append(name)
    found, todo = set(), list(roots)
    while todo:
        name = todo.pop()
        if name in found or name not in packages:
            continue
        found.add(name)
        for group in packages[name][1]:
            met = [n for alternative in group
                   for n in ([alternative] if alternative in packages else [])
                   + sorted(providers.get(alternative, []))]
            todo.extend(met[:1])
    return sorted(found)


def os_release():
    fields = {}
    with open("/etc/os-release") as release:
        for line in release:
            key, _, value = line.strip().partition("=")
            fields[key] = value.strip('"')
    with open("/etc/debian_version") as debian_version:
        return fields.get("PRETTY_NAME", "?"), debian_version.read().strip()


def sha256(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def record(files):
    version = subprocess.run(["dpkg-deb", "-f", next(f for f in files if f.endswith(".deb")),
                              "Version"], capture_output=True, text=True, check=True).stdout.strip()
    packages = installed()
    missing = [tool for tool in TOOLS if tool not in packages]
    if missing:
        raise SystemExit(f"build_record.py: not installed: {' '.join(missing)}")
    architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                  text=True, check=True).stdout.strip()
    name, point_release = os_release()
    lines = ["Format: 1.0", "Source: panel-relay", f"Version: {version}",
             f"Architecture: {architecture}", f"Build-Distribution: {name}",
             f"Build-Debian-Version: {point_release}", "Checksums-Sha256:"]
    lines += [f" {sha256(path)} {os.path.getsize(path)} {os.path.basename(path)}"
              for path in sorted(files, key=os.path.basename)]
    lines.append("Environment:")
    lines += [f' {key}="{os.environ[key]}"' for key in ENVIRONMENT if key in os.environ]
    chosen = closure(packages, TOOLS)
    lines.append("Installed-Build-Depends:")
    lines += [f" {name} (= {packages[name][0]})" + ("," if i < len(chosen) - 1 else "")
              for i, name in enumerate(chosen)]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    sys.stdout.write(record(sys.argv[1:]))
