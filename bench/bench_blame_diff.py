"""Time blame_diff against difflib on long line lists with ~1% scattered edits.

Prints, for 50,000 lines, blame_diff's time next to
difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes(), and for
200,000 lines blame_diff's time alone.  Run with the built module on
PYTHONPATH:  python bench/bench_blame_diff.py

Times are the best of several runs, both as wall-clock time and as the
process's CPU time (steadier on a machine shared with other work).
"""
import difflib
import random
import time

import _kx_native as kx


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
    old, new = make_pair(50_000, 0.01, seed=1)
    ours, ops = best_of(20, lambda: kx.blame_diff(old, new))
    ref, ref_ops = best_of(3, lambda: difflib.SequenceMatcher(None, old, new, autojunk=False).get_opcodes())
    print(f"50,000 lines, 1% edits: blame_diff {ours}; difflib {ref}")
    print(f"  speed-up {ref.wall / ours.wall:.1f}x wall, {ref.cpu / ours.cpu:.1f}x cpu; "
          f"same opcodes as difflib: {ops == ref_ops}")

    old, new = make_pair(200_000, 0.01, seed=2)
    ours, _ = best_of(3, lambda: kx.blame_diff(old, new))
    print(f"200,000 lines, 1% edits: blame_diff {ours}")

    same = list(old)
    ours, _ = best_of(3, lambda: kx.blame_diff(old, same))
    print(f"200,000 identical lines: blame_diff {ours}")


if __name__ == "__main__":
    main()
