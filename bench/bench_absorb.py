"""The client's CPU time for absorbing task stores, the cluster path's one
serial step: `--files` task stores of `--mb` MB of data in all, tracked
here once (no Dask), absorbed into fresh copies of the store in batches of
two, journalled, with the run's folder and data-file locks held as a
cluster run holds them.  Prints CPU seconds per repeat (best and median)
and MB of records per CPU-second.

Reference: docs/cluster.md, "Measured here": the client absorbed 440 MB of
records in 0.32-0.36 CPU-seconds (about 1.3 GB per CPU-second) at a load
average of 0.6-1.9.  CPU time is less sensitive to the machine's other load
than wall time, but not immune: report the load average with the figures.

Run: python bench/bench_absorb.py [--mb 256] [--files 16] [--repeat 9]
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import _kx_native as native
from kx import cluster, cluster_runs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_jsonl  # noqa: E402

MB = 1 << 20


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=256)
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as root:
        template = os.path.join(root, "template")
        native.init(template)
        author = native.author_add("Ada", "ada@example.org", template)
        section = native.register_section("corpus/web.txt", [author], [], "CC-BY-4.0", "2024", template)
        track_args = argparse.Namespace(
            sources=[section], source_field=None, tokenizer="whitespace", count=None, count_field=None,
            text_field="text", retrack=False, tokens_only=False,
        )
        names = [f"part{i:03}.jsonl" for i in range(args.files)]
        stores = []
        os.makedirs(os.path.join(root, "stores"))
        for i, name in enumerate(names):
            write_jsonl(os.path.join(template, name), args.mb * MB // args.files, seed=i)
            store, _ = cluster.track_task(template, os.path.join(template, name), name, track_args,
                                          os.path.join(root, "stores"))
            stores.append(store)
        records = sum(os.path.getsize(os.path.join(store, "records")) for store in stores)
        seconds = [absorb_all(root, template, stores, names) for _ in range(args.repeat)]
    print(f"{len(stores)} task stores, {records / MB:.0f} MB of records, batches of two, load average "
          f"{os.getloadavg()[0]:.1f}")
    print("CPU seconds: " + " ".join(f"{s:.3f}" for s in seconds))
    best, median = min(seconds), statistics.median(seconds)
    print(f"best {best:.3f} s ({records / MB / best:.0f} MB per CPU-second), median {median:.3f} s "
          f"({records / MB / median:.0f} MB per CPU-second); reference about 1300 MB per CPU-second")


def absorb_all(root, template, stores, names):
    """CPU seconds of absorbing copies of `stores` into a fresh copy of the
    store `template`."""
    target = os.path.join(root, "target")
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(template, target)
    with cluster_runs.run_dir(target, "run") as run:
        copies = [shutil.copytree(store, os.path.join(run.path, os.path.basename(store))) for store in stores]
        locks = cluster.DataFileLocks(target, names)
        journal, targets = cluster_runs.Journal(target, run.path), cluster._Targets(target)
        start = time.process_time()
        for i in range(0, len(copies), 2):
            batch = names[i : i + 2]
            cluster.absorb(copies[i : i + 2], target, journal, targets, locks.generations_of(batch), locks.generations)
        spent = time.process_time() - start
        targets.close()
        journal.close()
        locks.close()
    return spent


if __name__ == "__main__":
    main()
