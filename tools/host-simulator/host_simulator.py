#!/usr/bin/python3
"""Stream Deck host simulator: runs the Zorbel plug-in against a virtual deck on this machine.

  host_simulator.py --bundle build/default/com.zorbel.streamdeck.sdPlugin
      serves the deck page, starts the bundle's plug-in and prints the page's URL; Ctrl-C stops both.
  host_simulator.py --bundle ... --deck plus --action-on R2C1 --action-on D2
      a deck with 2 x 4 keys and 4 dials under them, the key R2C1 and the dial D2 given the action.
  host_simulator.py --plugin PATH --scenario tests/e2e/scenarios/end_to_end.json
      runs a scripted scenario without a browser; exit status 0 when every step passed.
"""

import argparse
import asyncio
import json
import signal
import sys
from pathlib import Path

from hostsim.dials import DECK_TYPES, parse_place
from hostsim.host import REPO, Host, ScenarioError


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--bundle", type=Path, help="a com.zorbel.streamdeck.sdPlugin folder: its executable and inspector")
    p.add_argument("--plugin", type=Path, help="the plug-in executable (overrides the bundle's)")
    p.add_argument("--inspector-root", type=Path,
                   help="folder served as /plugin/ (default: the bundle, else the source bundle/ folder)")
    p.add_argument("--port", type=int, default=0, help="loopback port (default: a free one)")
    p.add_argument("--state", type=Path, help="file that keeps contexts and settings across runs of the simulator")
    p.add_argument("--deck", choices=sorted(DECK_TYPES), default="standard",
                   help="deck type: standard (3 x 5 keys) or plus (2 x 4 keys and 4 dials)")
    p.add_argument("--rows", type=int, help="key rows (default: the deck type's)")
    p.add_argument("--columns", type=int, help="key columns (default: the deck type's)")
    p.add_argument("--dials", type=int,
                   help="dials under the keys, with a touch strip (default: 4 for a deck type with dials, else 0)")
    p.add_argument("--action-on", action="append", default=[], metavar="ID",
                   help="give the key R<row>C<column> (or the dial D<n>) the action; repeatable")
    p.add_argument("--scenario", type=Path, help="run this scenario file and exit")
    p.add_argument("--no-plugin", action="store_true", help="serve the deck without starting the plug-in")
    p.add_argument("--verbose", action="store_true", help="log every message sent to the plug-in")
    args = p.parse_args(argv)
    kind = DECK_TYPES[args.deck]
    args.rows = kind["rows"] if args.rows is None else args.rows
    args.columns = kind["columns"] if args.columns is None else args.columns
    args.dials = kind["dials"] if args.dials is None else args.dials
    if args.rows < 1 or args.columns < 1 or args.dials < 0:
        p.error("--rows and --columns must be at least 1, --dials at least 0")
    try:
        args.action_on = [parse_place(place, args.rows, args.columns, args.dials) for place in args.action_on]
    except ValueError as error:
        p.error(f"--action-on {error}")
    if args.scenario and (args.action_on or args.dials or args.deck != "standard"):
        p.error("--deck, --dials and --action-on are for the deck page; a scenario describes its own deck")
    return args


def resolve(args):
    """The plug-in executable, the inspector folder and the inspector page from the arguments."""
    plugin, root, page = args.plugin, args.inspector_root, "inspector/index.html"
    if args.bundle:
        manifest = json.loads((args.bundle / "manifest.json").read_text())
        plugin = plugin or args.bundle / manifest["CodePathLin"]
        root = root or args.bundle
        page = manifest["Actions"][0].get("PropertyInspectorPath") or manifest.get("PropertyInspectorPath", page)
    return plugin, root or REPO / "bundle", page


async def interactive(args):
    plugin, root, page = resolve(args)
    host = Host(rows=args.rows, columns=args.columns, dials=args.dials, deck_type=args.deck,
                action_on=args.action_on, plugin=plugin, inspector_root=root, inspector_path=page,
                state_path=args.state, verbose=args.verbose)
    await host.start(args.port)
    print(f"Deck page: http://127.0.0.1:{host.port}/", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    try:
        if plugin and not args.no_plugin:
            await host.start_plugin()
            try:
                await host.wait_registered()
            except ScenarioError as error:
                host.log(f"host: {error}")
        await stop.wait()
    finally:
        host.log("host: stopping")
        await host.close()
    return 0


async def scripted(args):
    from hostsim import scenario

    plugin, _, _ = resolve(args)
    steps = json.loads(args.scenario.read_text())
    try:
        count = await scenario.run(steps, plugin, state_path=args.state, verbose=args.verbose,
                                   log=lambda text: print(text, flush=True))
    except ScenarioError as error:
        print(f"scenario FAILED: {error}", flush=True)
        return 1
    print(f"scenario passed: {count} steps", flush=True)
    return 0


def main(argv=None):
    args = parse_args(argv)
    if args.scenario:
        return asyncio.run(scripted(args))
    return asyncio.run(interactive(args))


if __name__ == "__main__":
    sys.exit(main())
