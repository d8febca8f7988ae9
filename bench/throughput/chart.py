#!/usr/bin/python3
"""Draws the throughput rows (ours beside the peers, memcpy as the ceiling) from the JSON that
run_throughput.py writes, as one PNG: received on the left, sent on the right, MB/s on a
logarithmic axis. Each bar is the median of the interleaved rounds; its whisker spans the
slowest to the fastest round.

  /usr/bin/python3 bench/throughput/chart.py results.json out.png"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

CLIENTS = [("ours", "ours", "#d62728"), ("beast", "Boost.Beast", "#1f77b4"),
           ("websocketpp", "websocketpp", "#2ca02c"), ("libwebsockets", "libwebsockets", "#9467bd")]


def size_label(size):
    if size >= 1 << 20:
        return f"{size >> 20} MiB"
    if size >= 1 << 10:
        return f"{size >> 10} KiB"
    return f"{size} B"


def main():
    results_path, png_path = sys.argv[1], sys.argv[2]
    with open(results_path) as f:
        results = json.load(f)
    fig, axes = plt.subplots(1, 2, figsize=(13, 5), sharey=True)
    for ax, direction, title in zip(axes, ("recv", "send"), ("received", "sent")):
        rows = [r for r in results["rows"] if r["direction"] == direction]
        width = 0.8 / len(CLIENTS)
        for i, (key, label, color) in enumerate(CLIENTS):
            xs, ys, low, high = [], [], [], []
            for j, row in enumerate(rows):
                rate = row["msgs_per_s"].get(key)
                if rate:
                    xs.append(j - 0.4 + width * (i + 0.5))
                    ys.append(rate * row["size"] / 1e6)
                    slowest, fastest = row.get("spread", {}).get(key, [rate, rate])
                    low.append(ys[-1] - slowest * row["size"] / 1e6)
                    high.append(fastest * row["size"] / 1e6 - ys[-1])
            ax.bar(xs, ys, width, label=label, color=color, yerr=[low, high], capsize=2,
                   error_kw={"elinewidth": 0.8, "ecolor": "black"})
        ceiling = [(j, r["msgs_per_s"]["memcpy"] * r["size"] / 1e6) for j, r in enumerate(rows)
                   if "memcpy" in r["msgs_per_s"]]
        for j, value in ceiling:
            ax.hlines(value, j - 0.45, j + 0.45, colors="black", linestyles="dashed",
                      label="memcpy (ceiling)" if j == ceiling[0][0] else None)
        ax.set_xticks(range(len(rows)), [size_label(r["size"]) + (f"\nours ×{r['ratio']:.2f}" if "ratio" in r else "")
                                         for r in rows])
        ax.set_yscale("log")
        ax.set_title(f"Binary messages {title}")
        ax.set_xlabel("message size (ratio of medians: ours / best peer)")
        ax.grid(axis="y", which="both", alpha=0.3)
    lowest = min(rate * r["size"] / 1e6 for r in results["rows"] for rate in r["msgs_per_s"].values())
    axes[0].set_ylim(bottom=lowest / 2)
    axes[0].set_ylabel("MB/s of payload")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=5, fontsize=9)
    fig.suptitle(f"WebSocket client throughput on loopback, median of {results['rounds']} interleaved rounds "
                 f"({results['date']}, {results['cpus']} CPUs, load {results['loadavg'][0]})", fontsize=10)
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(png_path, dpi=110)


if __name__ == "__main__":
    main()
