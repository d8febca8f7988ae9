#!/usr/bin/python3
"""Runs the WebSocket throughput benchmark: one bulk server, every client driver on every row,
in interleaved rounds in the same run, and writes the results (JSON) and a Markdown table.

  /usr/bin/python3 bench/throughput/run_throughput.py --bin BUILD/bench/throughput \
      --json results.json --markdown table.md [--rounds 5] [--quick]

The rounds are interleaved: each round runs every client once on every row, side by side, so
that a disturbance on the machine falls on all of them rather than on one. Each figure is the
median of the rounds, shown with its spread (the slowest and the fastest round); the ratio per
row is ours divided by the best peer, both medians (memcpy is the physical ceiling, not a
peer). A full run takes at least 5 rounds; --quick (a smoke run) allows fewer."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

CLIENTS = ["ours", "beast", "websocketpp", "libwebsockets"]
PEER_LABELS = {"ours": "ours", "beast": "Boost.Beast", "websocketpp": "websocketpp",
               "libwebsockets": "libwebsockets", "memcpy": "memcpy"}
# (size, messages): volumes that take a fraction of a second to a few seconds per client.
ROWS = [(64, 1_000_000), (1024, 300_000), (64 * 1024, 10_000), (1024 * 1024, 600)]
MIN_ROUNDS = 5
QUICK_ROWS = [(64, 100_000), (1024, 30_000), (64 * 1024, 1_000), (1024 * 1024, 60)]


def size_label(size):
    if size >= 1 << 20:
        return f"{size >> 20} MiB"
    if size >= 1 << 10:
        return f"{size >> 10} KiB"
    return f"{size} B"


def rate_label(msgs, size):
    bytes_per_s = msgs * size
    if msgs >= 1e6:
        m = f"{msgs / 1e6:.2f} M msg/s"
    elif msgs >= 1e3:
        m = f"{msgs / 1e3:.0f} k msg/s"
    else:
        m = f"{msgs:.0f} msg/s"
    if bytes_per_s >= 1e9:
        b = f"{bytes_per_s / 1e9:.2f} GB/s"
    else:
        b = f"{bytes_per_s / 1e6:.0f} MB/s"
    return f"{m}<br>{b}"


def spread_label(low, high, size):
    """The slowest and fastest round, in the unit the median is shown in."""
    if size >= 64 * 1024:
        return f"{low * size / 1e9:.2f}–{high * size / 1e9:.2f} GB/s" if high * size >= 1e9 else \
            f"{low * size / 1e6:.0f}–{high * size / 1e6:.0f} MB/s"
    if high >= 1e6:
        return f"{low / 1e6:.2f}–{high / 1e6:.2f} M msg/s"
    return f"{low / 1e3:.0f}–{high / 1e3:.0f} k msg/s"


def start_server(bin_dir):
    server = subprocess.Popen([os.path.join(bin_dir, "zb_bench_ws_server")], stdout=subprocess.PIPE,
                              text=True)
    line = server.stdout.readline().split()
    if len(line) != 2 or line[0] != "PORT":
        server.kill()
        sys.exit("bulk server did not start")
    return server, int(line[1])


def run_driver(bin_dir, client, port, direction, size, count, timeout):
    exe = os.path.join(bin_dir, "zb_bench_memcpy" if client == "memcpy" else f"zb_bench_ws_{client}")
    if not os.path.exists(exe):
        return None
    try:
        out = subprocess.run([exe, str(port), direction, str(size), str(count)], capture_output=True,
                             text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        print(f"  {client} {direction} {size}: timed out", file=sys.stderr)
        return None
    for line in out.stdout.splitlines():
        if line.startswith("{"):
            result = json.loads(line)
            if result["ok"] and result["seconds"] > 0:
                return result
    print(f"  {client} {direction} {size}: failed: {out.stderr.strip()[-300:]}", file=sys.stderr)
    return None


def load_note():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--json", required=True)
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()

    if args.rounds < (1 if args.quick else MIN_ROUNDS):
        sys.exit(f"run_throughput.py: a full run takes at least {MIN_ROUNDS} rounds")
    rows = QUICK_ROWS if args.quick else ROWS
    server, port = start_server(args.bin)
    loads = [load_note()]
    seconds = {}  # (direction, size, client) -> seconds of every round
    try:
        for round_index in range(args.rounds):
            for direction in ("recv", "send"):
                for size, count in rows:
                    for client in CLIENTS + ["memcpy"]:
                        result = run_driver(args.bin, client, port, direction, size, count, args.timeout)
                        if result is None:
                            continue
                        seconds.setdefault((direction, size, client), []).append(result["seconds"])
                    print(f"round {round_index + 1}/{args.rounds} {direction} {size_label(size)} done",
                          file=sys.stderr, flush=True)
            loads.append(load_note())
    finally:
        server.terminate()
        server.wait()

    results = {"date": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()), "rounds": args.rounds,
               "loadavg": loads, "cpus": os.cpu_count(), "rows": []}
    for direction in ("recv", "send"):
        for size, count in rows:
            # msgs_per_s holds the medians; spread the slowest and fastest round; rounds every
            # round's figure in the order they ran.
            row = {"direction": direction, "size": size, "count": count, "msgs_per_s": {}, "spread": {},
                   "rounds": {}}
            for client in CLIENTS + ["memcpy"]:
                runs = seconds.get((direction, size, client))
                if runs:
                    rates = [count / s for s in runs]
                    row["msgs_per_s"][client] = statistics.median(rates)
                    row["spread"][client] = [min(rates), max(rates)]
                    row["rounds"][client] = rates
            peers = {c: v for c, v in row["msgs_per_s"].items() if c not in ("ours", "memcpy")}
            if peers and "ours" in row["msgs_per_s"]:
                best_peer = max(peers, key=peers.get)
                row["best_peer"] = best_peer
                row["ratio"] = row["msgs_per_s"]["ours"] / peers[best_peer]
                # The same ratio round by round (ours against the best peer of that round).
                per_round = [row["rounds"][c] for c in row["rounds"] if c != "memcpy"]
                if len({len(r) for r in per_round}) == 1:
                    ratios = [row["rounds"]["ours"][i] / max(row["rounds"][c][i] for c in peers)
                              for i in range(len(row["rounds"]["ours"]))]
                    row["ratio_spread"] = [min(ratios), max(ratios)]
            results["rows"].append(row)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)

    lines = ["| Direction | Size | Messages | " + " | ".join(PEER_LABELS[c] for c in CLIENTS) +
             " | memcpy (ceiling) | ours / best peer (ratio of medians) | ≥ 1.0 |",
             "|---|---|---:|" + "---:|" * (len(CLIENTS) + 2) + ":---:|"]
    for row in results["rows"]:
        cells = [row["direction"] == "recv" and "received" or "sent", size_label(row["size"]),
                 f"{row['count']:,}"]
        for client in CLIENTS + ["memcpy"]:
            v = row["msgs_per_s"].get(client)
            if v:
                low, high = row["spread"][client]
                cells.append(rate_label(v, row["size"]) + f"<br>({spread_label(low, high, row['size'])})")
            else:
                cells.append("—")
        ratio = row.get("ratio")
        if ratio:
            spread = row.get("ratio_spread")
            cells.append(f"{ratio:.2f} (vs {PEER_LABELS[row['best_peer']]})" +
                         (f"<br>(rounds {spread[0]:.2f}–{spread[1]:.2f})" if spread else ""))
        else:
            cells.append("—")
        cells.append(("met" if ratio >= 1.0 else "missed") if ratio else "—")
        lines.append("| " + " | ".join(cells) + " |")
    with open(args.markdown, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
