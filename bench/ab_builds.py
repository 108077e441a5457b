"""Two builds of brindle on the same frames, for a change that must not cost time.

    python bench/ab_builds.py OLD_PYTHON NEW_PYTHON [--quick] [--rounds N] [--only TEXT]

Each interpreter is an environment with its own build of brindle (and pandas,
pyarrow). The frames of bench/frames_bench.py, and two arrays of the peer suite's
shapes, are encoded in a child process per build, the builds alternating round by
round; the table shows each build's median per frame and new / old.
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import gc, json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import frames_bench, brindle
quick, only, repeat = sys.argv[2] == "1", sys.argv[3], int(sys.argv[4])
objs = frames_bench.frames(quick, only)
rng = np.random.default_rng(0)
rows = 100_000 if quick else 1_000_000
vocab = np.array([f"label{i:05d}" for i in range(1000)], dtype=object)
objs["array-object-text"] = vocab[rng.integers(0, 1000, (rows, 8))]
objs["array-int64"] = rng.integers(0, 100, (rows, 8))
out = {}
enc = brindle.Encoder()
for name, obj in objs.items():
    if only and only not in name:
        continue
    enc.encode(obj)
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        enc.encode(obj)
        times.append(time.perf_counter() - t)
    out[name] = min(times)
print(json.dumps(out))
"""


def run(python, args):
    res = subprocess.run([python, "-c", CHILD, str(HERE), "1" if args.quick else "0", args.only, "3"],
                         check=True, capture_output=True, text=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    times = {"old": {}, "new": {}}
    for i in range(args.rounds):
        order = ("old", "new") if i % 2 == 0 else ("new", "old")
        for which in order:
            for name, t in run(getattr(args, which), args).items():
                times[which].setdefault(name, []).append(t)
    print(f"{'frame':<20} {'old ms':>9} {'new ms':>9} {'new/old':>8}")
    for name in times["old"]:
        old = statistics.median(times["old"][name])
        new = statistics.median(times["new"][name])
        print(f"{name:<20} {old * 1e3:9.1f} {new * 1e3:9.1f} {new / old:8.2f}")


if __name__ == "__main__":
    sys.exit(main())
