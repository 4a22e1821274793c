"""Generators of realistic data for the benchmarks."""
import json
import os
import random

WORDS = ("the of and to in is was for that with as on by at from his her an were which this "
         "be are or had it not but have first one their its new after who they two more also "
         "time into only other years most between when city under where").split()


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def record(rng, i):
    """A JSON Lines training record of roughly 0.5 to 2 KB."""
    return {
        "id": f"doc-{i:08d}",
        "text": sentence(rng, rng.randint(60, 300)),
        "meta": {"source": rng.choice(["web", "books", "code", "news"]),
                 "lang": "en", "score": round(rng.random(), 4), "tokens": rng.randint(50, 500)},
        "tags": [sentence(rng, 1) for _ in range(rng.randint(0, 5))],
        "title": sentence(rng, rng.randint(3, 10)).title(),
    }


def write_jsonl(path, target_bytes, seed=1):
    """Writes records until the file holds at least target_bytes; returns the line count."""
    rng = random.Random(seed)
    n = size = 0
    with open(path, "w") as f:
        while size < target_bytes:
            line = json.dumps(record(rng, n)) + "\n"
            f.write(line)
            size += len(line)
            n += 1
    return n


def cache_path(name):
    d = os.environ.get("KX_BENCH_DIR", "/tmp/kx-bench")
    os.makedirs(d, exist_ok=True)
    return os.path.join(d, name)


def cpu_seconds():
    """User plus system CPU seconds of this process, all threads (getrusage)."""
    import resource

    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def best_timing(fn, rounds=3):
    """(result of the last call, {"wall": s, "cpu": s}): the smallest wall and
    the smallest CPU time over `rounds` calls.  On a shared machine the CPU
    time is the steadier figure; both are kept."""
    import time

    best = {"wall": float("inf"), "cpu": float("inf")}
    result = None
    for _ in range(rounds):
        result = None  # free the previous result outside the timed region
        wall0, cpu0 = time.perf_counter(), cpu_seconds()
        result = fn()
        best["cpu"] = min(best["cpu"], cpu_seconds() - cpu0)
        best["wall"] = min(best["wall"], time.perf_counter() - wall0)
    return result, best


def write_figures(path, figures):
    """Writes the figures of a benchmark as JSON (for bench/report.py)."""
    if path:
        with open(path, "w") as f:
            json.dump(figures, f, indent=1, sort_keys=True)
