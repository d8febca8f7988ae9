#!/usr/bin/python3
"""The plug-in archive unpacks to the build's bundle: one top-level folder, the same files with the same
bytes and modes (executables stay executable), whether unpacked as OpenDeck does (modes from the
entries) or with unzip.

  test_archive.py <archive> <bundle folder>
"""

import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

ARCHIVE = BUNDLE = None


def tree(root):
    """{relative path: (kind, mode, sha256 of the content)} of every entry below root."""
    entries = {}
    for path in sorted(Path(root).rglob("*")):
        st = path.lstat()
        kind = "dir" if stat.S_ISDIR(st.st_mode) else "file" if stat.S_ISREG(st.st_mode) else "other"
        digest = hashlib.sha256(path.read_bytes()).hexdigest() if kind == "file" else ""
        mode = stat.S_IMODE(st.st_mode) if kind == "file" else 0
        entries[path.relative_to(root).as_posix()] = (kind, mode, digest)
    return entries


def unpack_with_modes(archive, out):
    """What OpenDeck's installer does with a plug-in file: every entry, with the mode it carries."""
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            z.extract(info, out)
            mode = stat.S_IMODE(info.external_attr >> 16)
            if not info.is_dir() and mode:
                os.chmod(Path(out, info.filename), mode)


class ArchiveTest(unittest.TestCase):
    def test_entries(self):
        with zipfile.ZipFile(ARCHIVE) as z:
            self.assertIsNone(z.testzip())
            names = z.namelist()
            tops = {name.split("/", 1)[0] for name in names}
            self.assertEqual(tops, {BUNDLE.name})
            self.assertIn(f"{BUNDLE.name}/", names)
            for name in names:
                self.assertFalse(name.startswith("/") or ".." in name.split("/"), name)
            info = z.getinfo(f"{BUNDLE.name}/zorbel-streamdeck-plugin")
            self.assertEqual(info.create_system, 3)
            self.assertEqual(stat.S_IMODE(info.external_attr >> 16) & 0o111, 0o111)

    def test_unpacks_to_the_bundle(self):
        expected = tree(BUNDLE)
        self.assertIn("zorbel-streamdeck-plugin", expected)
        self.assertTrue(any(name.startswith("lib/") for name in expected), "the bundle carries no lib/")
        unpackers = [("entry modes", unpack_with_modes)]
        if shutil.which("unzip"):
            unpackers.append(("unzip", lambda a, out: subprocess.run(["unzip", "-q", a, "-d", out], check=True)))
        for label, unpack in unpackers:
            with self.subTest(unpacker=label), tempfile.TemporaryDirectory() as out:
                unpack(str(ARCHIVE), out)
                self.assertEqual(sorted(os.listdir(out)), [BUNDLE.name])
                actual = tree(Path(out, BUNDLE.name))
                self.assertEqual(sorted(actual), sorted(expected))
                for name, entry in expected.items():
                    self.assertEqual(actual[name], entry, name)

    def test_carries_the_manual(self):
        docs = Path(__file__).resolve().parents[2] / "docs"
        with zipfile.ZipFile(ARCHIVE) as z:
            for name in ("zorbel-deck.md", "opendeck.md"):
                with self.subTest(doc=name):
                    self.assertEqual(z.read(f"{BUNDLE.name}/doc/{name}"), (docs / name).read_bytes())

    def test_same_bundle_same_archive(self):
        import make_archive  # bundle/ is on PYTHONPATH

        with tempfile.TemporaryDirectory() as out:
            again = Path(out, ARCHIVE.name)
            make_archive.pack(BUNDLE, again)
            self.assertEqual(again.read_bytes(), ARCHIVE.read_bytes())


if __name__ == "__main__":
    ARCHIVE, BUNDLE = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    unittest.main(argv=sys.argv[:1], verbosity=2)
