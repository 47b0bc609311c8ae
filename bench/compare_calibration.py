#!/usr/bin/env python3
"""compare_calibration.py - the tables of bench/compare_calibration.sh, from
the JSON answers of `orvtsdb compare` it collected (each with a
"calibration" object naming its preset, kind, factor, onset and window).

usage: compare_calibration.py SLOWED_TRANSACTIONS(comma-separated) JSON..."""
import json
import sys
from collections import defaultdict

SLOWED = ()


def truth(metric, kind, factor):
    """The true relative change of a metric in a pair of this kind."""
    slowed = metric["data_type"].startswith("times") and any(
        "Transaction=" + t in metric["labels"].split(",") for t in SLOWED)
    if kind == "slowed" and slowed:
        return factor - 1, True
    return 0.0, slowed


def pct(n, d):
    return "%5.1f %%" % (100.0 * n / d) if d else "    -  "


def main(files):
    cover = defaultdict(lambda: [0, 0])  # (preset, window, type, kind) -> held, judged
    alarms = defaultdict(lambda: [0, 0])  # (preset, window) -> changed, judged
    gate = defaultdict(lambda: [0, 0])  # (preset, window, kind, factor) -> failed, pairs
    detect = defaultdict(lambda: [0, 0])  # (preset, window, factor) -> slower, slowed
    onset = defaultdict(list)  # (preset, window) -> |since - onset| / length per slowed metric
    missed_onset = defaultdict(int)
    for f in files:
        d = json.load(open(f))
        c = d["calibration"]
        preset, kind, factor, window = c["preset"], c["kind"], c["factor"], c["window"]
        length = d["window"]["to_s"] - d["window"]["from_s"]
        gate[preset, window, kind, factor][0] += d["result"] == "fail"
        gate[preset, window, kind, factor][1] += 1
        for m in d["metrics"]:
            if "low" not in m:
                continue
            t, slowed = truth(m, kind, factor)
            changed = m["verdict"] in ("slower", "faster", "higher", "lower")
            if kind in ("noise", "slowed"):
                held = m["low"] <= t <= m["high"]
                for key in (m["data_type"], "all"):
                    cover[preset, window, key, kind][0] += held
                    cover[preset, window, key, kind][1] += 1
            if kind == "noise":
                alarms[preset, window][0] += changed
                alarms[preset, window][1] += 1
            if kind == "slowed" and slowed:
                detect[preset, window, factor][0] += m["verdict"] == "slower"
                detect[preset, window, factor][1] += 1
            if kind == "late" and slowed:
                # Only a slowdown that begins inside the window has an onset.
                if c["onset"] >= d["window"]["to_s"]:
                    continue
                if m["verdict"] != "slower" or m["since"] is None:
                    missed_onset[preset, window] += 1
                else:
                    onset[preset, window].append(abs(m["since"] - c["onset"]) / length)

    keys = sorted({(p, w) for p, w, _, _ in cover})
    print("Coverage of the truth by the 95 % intervals (judged metrics)")
    print("%-8s %-6s %-24s %16s %16s" % ("preset", "window", "data type", "noise-only",
                                          "slowed pairs"))
    types = sorted({t for _, _, t, _ in cover if t != "all"}) + ["all"]
    for p, w in keys:
        for t in types:
            n, s = cover[p, w, t, "noise"], cover[p, w, t, "slowed"]
            if n[1] or s[1]:
                print("%-8s %-6s %-24s %7s of %6d %7s of %6d" % (p, w, t, pct(*n), n[1], pct(*s),
                                                                    s[1]))
    print()
    print("False alarms on noise-only pairs")
    print("%-8s %-6s %28s %22s" % ("preset", "window", "metrics called changed",
                                   "pairs the gate fails"))
    for p, w in keys:
        a, g = alarms[p, w], gate[p, w, "noise", 1.0]
        print("%-8s %-6s %9s (%6d of %7d) %8s (%d of %d)" % (p, w, pct(*a), a[0], a[1], pct(*g),
                                                               g[0], g[1]))
    print()
    print("Detection of slowed response times")
    print("%-8s %-6s %-7s %30s %22s" % ("preset", "window", "factor", "slowed metrics called slower",
                                        "pairs the gate fails"))
    for p, w, fac in sorted(detect):
        dt, g = detect[p, w, fac], gate[p, w, "slowed", fac]
        print("%-8s %-6s x%-6.2f %9s (%5d of %5d)       %8s (%d of %d)" % (
            p, w, fac, pct(*dt), dt[0], dt[1], pct(*g), g[0], g[1]))
    print()
    print("Onset of a late slowdown (x1.5 from 60 % of the run), error in % of the window")
    print("%-8s %-6s %8s %8s %8s %10s" % ("preset", "window", "metrics", "median", "max",
                                           "not dated"))
    for p, w in sorted(set(onset) | set(missed_onset)):
        e = sorted(onset[p, w])
        med = e[len(e) // 2] if e else float("nan")
        print("%-8s %-6s %8d %7.2f %% %7.2f %% %10d" % (p, w, len(e), 100 * med,
                                                     100 * (e[-1] if e else float("nan")),
                                                     missed_onset[p, w]))


if __name__ == "__main__":
    SLOWED = tuple(sys.argv[1].split(","))  # the transactions slowed
    main(sys.argv[2:])
