"""Time blame_diff against difflib on long line lists with ~1% scattered edits.

Prints, for 50,000 lines, blame_diff's time next to
difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes(), on two
kinds of file: distinct lines with one-line edits, and source-like lines of
which about 0.5% repeat a few common lines (empty lines, closing braces)
with edits 1 to 3 lines long; and for 200,000 lines blame_diff's time alone.  Run with the built module on
PYTHONPATH:  python bench/bench_blame_diff.py [--lines 50000] [--big 200000] [--json OUT]

Times are the best of several runs, both as wall-clock time and as the
process's CPU time (steadier on a machine shared with other work).
"""
import argparse
import difflib
import os
import random
import sys
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures  # noqa: E402


def make_pair(n, edit_fraction, seed):
    """A list of n distinct-looking lines and a copy with scattered edits
    (a third replaced, a third deleted, a third inserted)."""
    rng = random.Random(seed)
    old = [f'{{"id": {i}, "text": "line {rng.getrandbits(48):x}"}}' for i in range(n)]
    new = list(old)
    for e in range(int(n * edit_fraction)):
        pos = rng.randrange(len(new))
        kind = e % 3
        if kind == 0:
            new[pos] = f"replaced {e}"
        elif kind == 1:
            del new[pos]
        else:
            new.insert(pos, f"inserted {e}")
    return old, new


COMMON_LINES = ["", "}", "  }", "    }", "{"]


def make_source_pair(n, edit_fraction, seed, common_fraction=0.005):
    """Like make_pair, but about `common_fraction` of the lines are common
    lines that repeat throughout, and each edit replaces, deletes or inserts
    a block of 1 to 3 lines."""
    rng = random.Random(seed)
    old = [rng.choice(COMMON_LINES) if rng.random() < common_fraction else
           f'{{"id": {i}, "text": "line {rng.getrandbits(48):x}"}}' for i in range(n)]
    new = list(old)
    for e in range(int(n * edit_fraction)):
        pos = rng.randrange(len(new))
        size = rng.randint(1, 3)
        kind = e % 3
        if kind == 0:
            new[pos:pos + size] = [f"replaced {e}.{k}" for k in range(size)]
        elif kind == 1:
            del new[pos:pos + size]
        else:
            new[pos:pos] = [f"inserted {e}.{k}" for k in range(size)]
    return old, new


class Timing:
    def __init__(self, wall, cpu):
        self.wall, self.cpu = wall, cpu

    def __str__(self):
        return f"{self.wall * 1000:.1f} ms wall / {self.cpu * 1000:.1f} ms cpu"


def best_of(repeat, fn):
    wall = cpu = float("inf")
    result = None
    for _ in range(repeat):
        start_wall, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        wall = min(wall, time.perf_counter() - start_wall)
        cpu = min(cpu, time.process_time() - start_cpu)
    return Timing(wall, cpu), result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=50_000, help="lines of the difflib comparison")
    ap.add_argument("--big", type=int, default=200_000, help="lines of the large diff")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    args = ap.parse_args()
    fig = {"lines": args.lines, "big_lines": args.big}

    old, new = make_pair(args.lines, 0.01, seed=1)
    ours, ops = best_of(20, lambda: kx.blame_diff(old, new))
    ref, ref_ops = best_of(3, lambda: difflib.SequenceMatcher(None, old, new, autojunk=False).get_opcodes())
    fig["blame_diff"], fig["difflib"] = vars(ours), vars(ref)
    fig["same_opcodes"] = ops == ref_ops
    print(f"{args.lines:,} lines, 1% edits: blame_diff {ours}; difflib {ref}")
    print(f"  speed-up {ref.wall / ours.wall:.1f}x wall, {ref.cpu / ours.cpu:.1f}x cpu; "
          f"same opcodes as difflib: {ops == ref_ops}")

    old, new = make_source_pair(args.lines, 0.01, seed=1)
    ours, ops = best_of(20, lambda: kx.blame_diff(old, new))
    ref, ref_ops = best_of(3, lambda: difflib.SequenceMatcher(None, old, new, autojunk=False).get_opcodes())
    fig["common"] = {"blame_diff": vars(ours), "difflib": vars(ref), "same_opcodes": ops == ref_ops,
                     "common_lines": sum(line in COMMON_LINES for line in old)}
    print(f"{args.lines:,} lines, {fig['common']['common_lines']:,} of them common, 1-3-line edits: "
          f"blame_diff {ours}; difflib {ref}")
    print(f"  speed-up {ref.wall / ours.wall:.1f}x wall, {ref.cpu / ours.cpu:.1f}x cpu; "
          f"same opcodes as difflib: {ops == ref_ops}")

    old, new = make_pair(args.big, 0.01, seed=2)
    ours, _ = best_of(3, lambda: kx.blame_diff(old, new))
    fig["big"] = vars(ours)
    print(f"{args.big:,} lines, 1% edits: blame_diff {ours}")

    same = list(old)
    ours, _ = best_of(3, lambda: kx.blame_diff(old, same))
    fig["big_identical"] = vars(ours)
    print(f"{args.big:,} identical lines: blame_diff {ours}")
    write_figures(args.json, fig)


if __name__ == "__main__":
    main()
