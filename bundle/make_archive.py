#!/usr/bin/python3
"""Packs a plug-in bundle into the archive that OpenDeck installs from a file.

  make_archive.py <path>/com.zorbel.streamdeck.sdPlugin <path>/com.zorbel.streamdeck.streamDeckPlugin

The archive is a zip whose only top-level entry is the bundle's folder. Every entry carries its Unix
mode, so the executables stay executable when unpacked; entries are sorted and dated 1980-01-01, so the
same bundle always gives the same archive. It is written beside its final name and then renamed.
"""

import os
import stat
import sys
import zipfile
from pathlib import Path

EPOCH = (1980, 1, 1, 0, 0, 0)


def entry(name, mode):
    info = zipfile.ZipInfo(name, EPOCH)
    info.create_system = 3  # Unix: the upper 16 bits of external_attr hold st_mode
    info.external_attr = (mode & 0xFFFF) << 16
    if stat.S_ISDIR(mode):
        info.external_attr |= 0x10  # MS-DOS directory flag
    else:
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def pack(bundle, archive):
    bundle = Path(bundle)
    top = bundle.name
    temporary = Path(archive).with_name(f".{Path(archive).name}.tmp")
    with zipfile.ZipFile(temporary, "w") as out:
        out.writestr(entry(f"{top}/", stat.S_IFDIR | 0o755), b"")
        for root, dirs, files in os.walk(bundle):
            dirs.sort()
            for name in sorted(dirs):
                path = Path(root, name)
                relative = path.relative_to(bundle.parent).as_posix()
                out.writestr(entry(f"{relative}/", stat.S_IFDIR | 0o755), b"")
            for name in sorted(files):
                path = Path(root, name)
                if path.is_symlink() or not path.is_file():
                    raise SystemExit(f"make_archive: {path} is not a regular file")
                mode = path.stat().st_mode
                relative = path.relative_to(bundle.parent).as_posix()
                out.writestr(entry(relative, stat.S_IFREG | stat.S_IMODE(mode)), path.read_bytes())
    os.replace(temporary, archive)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    pack(sys.argv[1], sys.argv[2])
