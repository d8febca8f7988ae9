#!/usr/bin/python3
"""Copies the shared libraries that the bundle's executables need, except glibc's own, into the bundle.

  carry_libraries.py --lib-dir <bundle>/lib --stamp <file> EXECUTABLE...

The dynamic loader lists every library an executable loads, its dependencies' dependencies included
(`ldd`). Each one that is not part of glibc is copied into the lib folder under the name the loader
looks for (its soname), and its RUNPATH is set to $ORIGIN, so that carried libraries find each other
there; the executables find them through their own RUNPATH $ORIGIN/lib. Files in the lib folder that
are no longer needed are removed. A library the loader cannot find is an error.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

# glibc's own libraries: every system the bundle runs on has them, matching its loader.
GLIBC = {
    "linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
    "librt.so.1",
}
LINE = re.compile(r"^\s*(\S+)\s+=>\s+(.+?)\s+\(0x[0-9a-f]+\)$")


def loaded_libraries(executable):
    """{soname: path} of every library the loader maps for the executable, glibc's excluded."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("LD_")}
    out = subprocess.run(["ldd", str(executable)], check=True, capture_output=True, text=True, env=env).stdout
    found = {}
    for line in out.splitlines():
        match = LINE.match(line)
        if not match:
            continue  # the loader itself and the vDSO, listed without "=>"
        name, path = match.groups()
        if name in GLIBC or Path(name).name in GLIBC:
            continue
        if path == "not found":
            raise SystemExit(f"carry_libraries: {executable} needs {name}, which the loader cannot find")
        found[name] = Path(path)
    return found


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--lib-dir", type=Path, required=True)
    p.add_argument("--stamp", type=Path, required=True)
    p.add_argument("--patchelf", default="patchelf")
    p.add_argument("executables", nargs="+", type=Path)
    args = p.parse_args(argv)

    needed = {}
    for executable in args.executables:
        needed.update(loaded_libraries(executable))
    args.lib_dir.mkdir(parents=True, exist_ok=True)
    for stale in args.lib_dir.iterdir():
        if stale.name not in needed:
            stale.unlink()
    for name, path in sorted(needed.items()):
        target = args.lib_dir / name
        temporary = target.with_name(f".{name}.tmp")
        shutil.copyfile(path.resolve(), temporary)
        os.chmod(temporary, 0o644)
        subprocess.run([args.patchelf, "--set-rpath", "$ORIGIN", str(temporary)], check=True)
        os.replace(temporary, target)
    args.stamp.write_text("".join(f"{name} {path}\n" for name, path in sorted(needed.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
