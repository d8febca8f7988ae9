#!/usr/bin/python3
"""Writes the measured figures into docs/performance.md, between the lines
"<!-- results:begin -->" and "<!-- results:end -->", from the files scripts/bench.sh leaves in
the results folder: throughput.json, throughput.md (the table), e2e.json, machine.txt.

  /usr/bin/python3 bench/report.py <results folder> docs/performance.md"""

import json
import os
import sys

BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"


def verdict(ok):
    return "met" if ok else "**missed**"


def e2e_rows(e2e):
    """(figure, measured, target, met) for one end-to-end run."""
    rows = []
    key, title = e2e["key_to_signal"], e2e["title_to_frame"]
    for name, figure in (("Key latency: keyDown/keyUp frame → \"Zorbel Stream Deck Key\" signal at a D-Bus subscriber",
                          key),
                         ("Title latency: \"Zorbel Stream Deck Set Title\" signal → setTitle frame at the host", title)):
        rows.append((f"{name} ({figure['count']:,} events)",
                     f"p50 {figure['p50_us']:.0f} µs, p99 {figure['p99_us']:.0f} µs, max {figure['max_us']:.0f} µs",
                     "p99 < 1 ms", figure["p99_us"] < 1000))
    s = e2e["startup"]
    rows.append((f"Start-up: spawn → registration message at the host ({s['count']} starts)",
                 f"p50 {s['p50_us'] / 1000:.1f} ms, max {s['max_us'] / 1000:.1f} ms", "≤ 20 ms",
                 s["max_us"] <= 20000))
    i = e2e["idle"]
    rows.append((f"Idle {i['seconds']} s after registration: CPU ticks (1/{i['ticks_per_second']} s)",
                 f"{i['cpu_ticks']}", "0", i["cpu_ticks"] == 0))
    ended = i.get("threads_ended", 0)
    rows.append((f"Idle {i['seconds']} s: context switches (wake-ups) of the process's threads",
                 f"{i['context_switches']}" + (f"; {ended} idle pool thread(s) ended (one wake-up each, not periodic)"
                                               if ended else ""),
                 "0, no periodic wake-up", i["context_switches"] == 0))
    r = e2e["rss"]
    rows.append(("Resident memory (VmRSS) after start", f"{r['after_start_kib'] / 1024:.1f} MiB", "≤ 10 MB",
                 r["after_start_kib"] * 1024 <= 10_000_000))
    if "private_after_start_kib" in r:
        rows.append(("… of which the process's own pages / PSS (its share of shared library pages)",
                     f"{r['private_after_start_kib'] / 1024:.1f} MiB / {r['pss_after_start_kib'] / 1024:.1f} MiB",
                     "", None))
    rows.append((f"VmRSS after {r['key_events']:,} key events and {r['titles']:,} titles",
                 f"{r['after_load_kib'] / 1024:.1f} MiB ({r['growth_kib']:+d} KiB)", "within +1 MB",
                 r["growth_kib"] * 1024 <= 1_000_000))
    rows.append(("Exit status after the host's close", f"{e2e['exit_status']}", "0", e2e["exit_status"] == 0))
    floor = e2e.get("floor")
    if floor:
        for path, label in (("key", "Key path"), ("title", "Title path")):
            for q in ("p50", "p99"):
                ratio = floor["ratios"][f"{path}_{q}"]
                ours, relay = floor["plugin"][f"{path}_{q}_us"], floor["floor"][f"{path}_{q}_us"]
                rows.append((f"{label} {q}, plug-in / floor relay (median of {floor['rounds']} interleaved rounds)",
                             f"{ratio['ratio_of_medians']:.2f}× ({ours['median']:.0f} µs / {relay['median']:.0f} µs; "
                             f"rounds {ratio['rounds_min']:.2f}–{ratio['rounds_max']:.2f}×)",
                             f"≤ {ratio['target']:.2f}×", ratio["met"]))
    return rows


def e2e_table(e2e, rt=None):
    mark = lambda ok: "" if ok is None else verdict(ok)
    if rt is None:
        out = ["| Figure | Measured | Target | |", "|---|---|---|:---:|"]
        out += [f"| {f} | {m} | {t} | {mark(ok)} |" for f, m, t, ok in e2e_rows(e2e)]
        return "\n".join(out)
    out = ["| Figure | Normal priority | | SCHED_FIFO (isolated from other load) | | Target |",
           "|---|---|:---:|---|:---:|---|"]
    for (f, m, t, ok), (_, m2, _, ok2) in zip(e2e_rows(e2e), e2e_rows(rt)):
        out.append(f"| {f} | {m} | {mark(ok)} | {m2} | {mark(ok2)} | {t} |")
    return "\n".join(out)


def main():
    folder, doc = sys.argv[1], sys.argv[2]
    parts = []
    machine = os.path.join(folder, "machine.txt")
    if os.path.exists(machine):
        with open(machine) as f:
            parts.append("Run: " + f.read().strip())
    throughput = os.path.join(folder, "throughput.md")
    if os.path.exists(throughput):
        with open(os.path.join(folder, "throughput.json")) as f:
            t = json.load(f)
        with open(throughput) as f:
            parts.append(f"### Throughput (median of {t['rounds']} interleaved rounds, the slowest and fastest "
                         f"round below each median; load average during the run: "
                         f"{' → '.join(t['loadavg'])})\n\n" + f.read().strip() +
                         "\n\n![Throughput chart](performance/throughput.png)")
    e2e_path, rt_path = os.path.join(folder, "e2e.json"), os.path.join(folder, "e2e-fifo.json")
    if os.path.exists(e2e_path):
        with open(e2e_path) as f:
            e2e = json.load(f)
        rt = None
        if os.path.exists(rt_path):
            with open(rt_path) as f:
                rt = json.load(f)
        parts.append("### Plug-in executable, end to end\n\n" + e2e_table(e2e, rt))
    block = BEGIN + "\n" + "\n\n".join(parts) + "\n" + END
    with open(doc) as f:
        text = f.read()
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + block + text[text.index(END) + len(END):]
    else:
        text += "\n" + block + "\n"
    with open(doc, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
