#!/usr/bin/python3
"""One session with a plug-in that runs in another root (started by chroot_test.sh): the registration,
the libraries and resident memory of the running process, a key press on the session bus, an engine's
title back to the key, and the exit when the host closes the connection.

  chroot_session.py --plugin WRAPPER --pid-file FILE --bundle-path BUNDLE

BUNDLE is the bundle's folder as this process sees it (/proc/<pid>/maps names files from the reader's root).
"""

import argparse
import asyncio
import sys
from pathlib import Path

from hostsim import notifications
from hostsim.host import Host, ScenarioError
from hostsim.scenario import Runner

GLIBC = {"ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}
RSS_LIMIT_KIB = 10_000_000 // 1024  # 10 MB

STEPS = [
    {"note": "a press reaches the bus with the key's position",
     "press": [0, 0]},
    {"expect": {"notification": {"name": "Zorbel Stream Deck Key", "object": "com.zorbel.streamdeck",
                                 "userInfo": {"row": 1, "column": 1, "pressed": True}}, "key": [0, 0]}},
    {"expect": {"notification": {"name": "Zorbel Stream Deck Key", "userInfo": {"pressed": False}},
                "key": [0, 0]}},
    {"note": "an engine's title reaches the key",
     "post": {"name": "Zorbel Stream Deck Set Title", "userInfo": {"zbID": "R1C1", "title": "chroot"}}},
    {"expect": {"plugin": {"event": "setTitle", "payload": {"title": "chroot"}}, "key": [0, 0]}},
    {"stop": {"exitStatus": 0}},
]


def mapped_libraries(pid):
    """The paths of the shared objects the process maps, as the process sees them (inside its root)."""
    paths = set()
    for line in Path(f"/proc/{pid}/maps").read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and ".so" in Path(fields[5]).name:
            paths.add(fields[5].removesuffix(" (deleted)"))
    return paths


def check_process(pid, bundle_path):
    """Every library besides glibc's comes from the bundle's lib/, and resident memory is in bounds."""
    foreign = sorted(p for p in mapped_libraries(pid)
                     if Path(p).name not in GLIBC and not p.startswith(f"{bundle_path}/lib/"))
    if foreign:
        raise ScenarioError(f"the plug-in maps libraries from outside its bundle: {foreign}")
    status = Path(f"/proc/{pid}/status").read_text()
    rss = next(int(line.split()[1]) for line in status.splitlines() if line.startswith("VmRSS:"))
    print(f"chroot: plug-in resident memory after registration: {rss} KiB", flush=True)
    if rss > RSS_LIMIT_KIB:
        raise ScenarioError(f"resident memory {rss} KiB after registration, over {RSS_LIMIT_KIB} KiB")


async def session(args):
    host = Host(actions=[(0, 0)], plugin=args.plugin)
    loop = asyncio.get_running_loop()
    bus = notifications.Bus(loop, lambda name, obj, info: loop.create_task(
        host._record(source="dbus", name=name, object=obj, userInfo=info)))
    await host.start()
    runner = Runner(host, bus)
    try:
        await runner.step({"start": {}})
        check_process(int(args.pid_file.read_text()), args.bundle_path)
        for index, step in enumerate(STEPS, 1):
            try:
                await runner.step(step)
            except ScenarioError as error:
                raise ScenarioError(f"step {index} {step}: {error}") from None
        if host.problems:
            raise ScenarioError(f"protocol problem: {host.problems[0]}")
    finally:
        await runner.close()
        await host.close()
        bus.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--plugin", type=Path, required=True)
    p.add_argument("--pid-file", type=Path, required=True)
    p.add_argument("--bundle-path", required=True)
    args = p.parse_args()
    try:
        asyncio.run(session(args))
    except ScenarioError as error:
        print(f"chroot: FAILED: {error}", flush=True)
        return 1
    print("chroot: the bundle registered, posted a key press and showed a title from inside the root")
    return 0


if __name__ == "__main__":
    sys.exit(main())
