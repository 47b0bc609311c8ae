#!/usr/bin/env python3
"""history_calibration.py - writes histories of runs whose truth is known and
checks what `orvtsdb history` says of them.

Every history is N runs of the small preset of one system (--seed 1), one
night apart, migrated into one shared store, each run with its own noise seed
and a night-to-night factor exp(TAU * z) on the response times of every
transaction (real runs differ by more than their own noise). Scenarios:

  noise        nothing changes
  step5/10/30  Login and Checkout get slower by 5, 10 or 30 % from a known run
  long         a 10 % step after 40 runs of 60
  step5long    a 5 % step in the middle of 60 runs
  outlier      one run of Login and Checkout is 25 % slower, the others not
  drift        Login and Checkout get 0.4 % slower with every run
  noisechange  every transaction's noise doubles from a known run (--noise-scale 2),
               their level stays

For each history it runs `orvtsdb history STORE --format json --metric mean
--metric throughput` and scores the change points of the response times (a
change point within one run of the truth is found, any other is false),
outliers, drifts, and the false alarms of the noise-only histories (metrics
with any change point), then prints the table BENCHMARKS.md shows.

"Within reach" counts the steps that the runs themselves show clearly enough
for any method that must find where a step lies: their t statistic at the
true split (told where it is) beyond the 95 % point of the largest such
statistic over every split of noise alone. A step below it is found by a
search at the 5 % level less often than not, whatever the method.

usage: history_calibration.py BIN_DIR WORK_DIR [REPS]   (CONFIDENCE=95: --confidence)
"""
import json
import math
import os
import random
import shutil
import subprocess
import sys
from collections import defaultdict

TAU = 0.02
SLOWED = ("Login", "Checkout")
TRANSACTIONS = ("Login", "Browse", "AddToCart", "Checkout")
DAY = 86400
START = 1709542800

# name -> (runs, level of run i for a slowed transaction, noise scale of run i, truth)
SCENARIOS = {
    "noise": (30, lambda i: 1.0, lambda i: 1, {}),
    "step5": (30, lambda i: 1.05 if i >= 15 else 1.0, lambda i: 1, {"step": 15}),
    "step10": (40, lambda i: 1.10 if i >= 25 else 1.0, lambda i: 1, {"step": 25}),
    "step30": (24, lambda i: 1.30 if i >= 12 else 1.0, lambda i: 1, {"step": 12}),
    "outlier": (30, lambda i: 1.25 if i == 17 else 1.0, lambda i: 1, {"outlier": 17}),
    "drift": (40, lambda i: 1.0 + 0.004 * i, lambda i: 1, {"drift": True}),
    "noisechange": (30, lambda i: 1.0, lambda i: 2 if i >= 15 else 1, {}),
    "long": (60, lambda i: 1.10 if i >= 40 else 1.0, lambda i: 1, {"step": 40}),
    "step5long": (60, lambda i: 1.05 if i >= 30 else 1.0, lambda i: 1, {"step": 30}),
}


def write_history(bin_dir, work, name, rep):
    """Generates and migrates the runs of one history into one store."""
    runs, level, noise, _ = SCENARIOS[name]
    store = os.path.join(work, "%s-%d.sqlite" % (name, rep))
    if os.path.exists(store + ".done"):
        return store
    for f in (store, store + "-journal"):
        if os.path.exists(f):
            os.remove(f)
    seed = 1000 * rep + sum(map(ord, name))  # each history its own noise
    rng = random.Random(seed)
    for i in range(runs):
        nightly = math.exp(TAU * rng.gauss(0, 1))
        wdir = os.path.join(work, "gen")
        shutil.rmtree(wdir, ignore_errors=True)
        args = [os.path.join(bin_dir, "make_sample_run"), "--wdir", wdir, "--testrun", "1",
                "--preset", "small", "--seed", "1", "--noise-seed", str(100000 * seed + i + 1),
                "--start", str(START + i * DAY), "--noise-scale", str(noise(i))]
        for t in TRANSACTIONS:
            f = nightly * (level(i) if t in SLOWED else 1.0)
            args += ["--slowdown", "%s=%.6f" % (t, f)]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, TW_WDIR=wdir, ORVTSDB_URL="sqlite:" + store,
                   ORVTSDB_RUN_LABELS="build=1.%d,scenario=%s" % (i, name))
        env.pop("ORVTSDB_RUN_DIR", None)
        subprocess.run([os.path.join(bin_dir, "vira_zedazad_uvoz_izu"), "-t", "1"], check=True,
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(os.path.join(work, "gen"), ignore_errors=True)
    open(store + ".done", "w").close()
    return store


def best_split_null(runs, sims=4000):
    """The 95 % point of the largest t over every split (two runs on each
    side at least) of `runs` values of noise alone: what a step must show at
    its true split for a search over every split to see it at 5 %."""
    rng = random.Random(runs)
    tops = []
    for _ in range(sims):
        y = [rng.gauss(0, 1) for _ in range(runs)]
        tops.append(max(abs(pooled_split_t(y, k)) for k in range(2, runs - 1)))
    return sorted(tops)[int(0.95 * sims)]


def pooled_split_t(y, k):
    """t statistic of the difference of the means of y[:k] and y[k:], the
    standard deviation pooled within the two sides."""
    left, right = y[:k], y[k:]
    ml, mr = sum(left) / len(left), sum(right) / len(right)
    ss = sum((v - ml) ** 2 for v in left) + sum((v - mr) ** 2 for v in right)
    sd = math.sqrt(ss / (len(y) - 2))
    return (mr - ml) / (sd * math.sqrt(1 / len(left) + 1 / len(right))) if sd > 0 else 0.0


def run_index(answer):
    return {r["id"]: i for i, r in enumerate(answer["runs"])}


NULL_POINTS = {}


def null_point(runs):
    if runs not in NULL_POINTS:
        NULL_POINTS[runs] = best_split_null(runs)
    return NULL_POINTS[runs]


def score(name, answer, tally):
    runs, _, _, truth = SCENARIOS[name]
    index = run_index(answer)
    assert len(index) == runs, "%s: %d runs in the answer" % (name, len(index))
    for s in answer["series"]:
        txn, metric = s["transaction"].split(" / ")[-1], s["metric"]
        points = [index[c["run"]] for c in s["change_points"]]
        outliers = [index[o["run"]] for o in s["outliers"]]
        slowed = txn in SLOWED and metric == "mean"
        step = truth.get("step") if slowed else None
        hit = [p for p in points if step is not None and abs(p - step) <= 1]
        tally["reported"] += len(points)
        tally["true"] += len(hit[:1])
        tally["false"] += len(points) - len(hit[:1])
        if step is not None:
            tally["truth"] += 1
            order = sorted(s["points"], key=lambda p: index[p["run"]])
            y = [math.log(p["value"]) for p in order]
            at = sum(1 for p in order if index[p["run"]] < step)
            tally["within reach"] += abs(pooled_split_t(y, at)) > null_point(len(y))
        if name == "noise":
            tally["noise metrics"] += 1
            tally["noise alarms"] += bool(points)
        if slowed and "outlier" in truth:
            tally["outliers"] += 1
            tally["outliers named"] += truth["outlier"] in outliers
            tally["outliers as steps"] += any(abs(p - truth["outlier"]) <= 1 for p in points)
        if slowed and truth.get("drift"):
            tally["drifts"] += 1
            tally["drifts found"] += "drift" in s
        if not slowed or "outlier" not in truth:
            tally["false outliers"] += len(outliers)
        tally["verdicts"] += 1
        tally["verdict " + s["verdict"]] += 1


def main():
    bin_dir, work = sys.argv[1], sys.argv[2]
    reps = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    os.makedirs(work, exist_ok=True)
    per = defaultdict(lambda: defaultdict(int))
    for name in SCENARIOS:
        for rep in range(1, reps + 1):
            store = write_history(bin_dir, work, name, rep)
            out = subprocess.run([os.path.join(bin_dir, "orvtsdb"), "history", store, "--format",
                                  "json", "--metric", "mean", "--metric", "throughput",
                                  "--confidence", os.environ.get("CONFIDENCE", "95")],
                                 check=True, capture_output=True, text=True)
            score(name, json.loads(out.stdout), per[name])
    total = defaultdict(int)
    print("| scenario | runs | histories | change points (true / false) | truth | within reach "
          "| outliers named | drifts found | verdicts not stable |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, t in per.items():
        for k, v in t.items():
            total[k] += v
        print("| %s | %d | %d | %d / %d | %d | %s | %s | %s | %d of %d |" % (
            name, SCENARIOS[name][0], reps, t["true"], t["false"], t["truth"],
            t["within reach"] if t["truth"] else "-",
            "%d of %d" % (t["outliers named"], t["outliers"]) if t["outliers"] else "-",
            "%d of %d" % (t["drifts found"], t["drifts"]) if t["drifts"] else "-",
            t["verdicts"] - t["verdict stable"], t["verdicts"]))
    precision = total["true"] / total["reported"] if total["reported"] else 1.0
    recall = total["true"] / total["truth"] if total["truth"] else 1.0
    print()
    print("precision %.3f (%d of %d change points true), recall %.3f (%d of %d steps found)" % (
        precision, total["true"], total["reported"], recall, total["true"], total["truth"]))
    print("within reach: %d of %d steps stand out at their true split (pooled t) beyond the 95 %% "
          "point of the best split of noise alone (%s)" % (
              total["within reach"], total["truth"],
              ", ".join("%d runs %.2f" % kv for kv in sorted(NULL_POINTS.items()))))
    print("noise-only histories: %d of %d metrics with a change point (%.1f %%)" % (
        total["noise alarms"], total["noise metrics"],
        100.0 * total["noise alarms"] / max(total["noise metrics"], 1)))
    print("outliers: %d of %d named, %d called a change point; %d runs named outliers elsewhere" % (
        total["outliers named"], total["outliers"], total["outliers as steps"],
        total["false outliers"]))
    return 0 if precision >= 0.9 and recall >= 0.9 else 1


if __name__ == "__main__":
    sys.exit(main())
