"""One command for the whole benchmark report: builds the module and the C++
micro-benchmarks (Release, build/bench), runs every benchmark script of this
directory with its `--json` option, and writes bench/README.md: each figure
next to its reference measured in the same run (plain Python doing the same
job, libcrypto's single-call SHA-256, reading the bytes), wall and CPU time
side by side, how the costs grow with the store's size, and the machine.

    python bench/report.py            # full sizes (10k, 100k, 1M records; 30-50 min)
    python bench/report.py --quick    # a tenth of the sizes, to check the harness
    python bench/report.py --render   # rewrite README.md from the last run's figures

Generated stores are kept under /tmp (KX_BENCH_DIR and the scripts' --dir
defaults) and reused by later runs; figures and logs of the run go to
/tmp/kx-bench-report.  A step that fails is reported as failed in the README
with the end of its error output; the other steps still run.
"""

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
WORK = "/tmp/kx-bench-report"

sys.path.insert(0, HERE)
import report_render  # noqa: E402


def sizes_for(quick):
    """Store sizes and the per-benchmark parameters of a full or quick run."""
    if quick:
        return {"records": [1_000, 10_000, 100_000], "purge_mib": [1, 10, 100],
                "foundation": ["--size-mb", "10", "--read-mb", "5"],
                "track": ["--calls", "2000", "--burst", "10000", "--authors", "10000"],
                "blame": ["--lines", "5000", "--big", "20000"],
                "token": "100000", "maint_scale": "0.1", "cli_lines": "10000",
                "track_file_mb": "64,256", "report_records": [100_000, 1_000_000],
                "compressed_mb": "256", "cluster": ["--mb", "512", "--files", "16"]}
    return {"records": [10_000, 100_000, 1_000_000], "purge_mib": [10, 100, 1024],
            "foundation": ["--size-mb", "100", "--read-mb", "50"],
            "track": ["--calls", "20000", "--burst", "100000", "--authors", "100000"],
            "blame": ["--lines", "50000", "--big", "200000"],
            "token": "1000000", "maint_scale": "1", "cli_lines": "100000",
            "track_file_mb": "1024,4096", "report_records": [1_000_000, 10_000_000],
            "compressed_mb": "1024", "cluster": ["--mb", "2048", "--files", "32", "--repeat", "2"]}


def steps(build_dir, quick):
    """(name, argv) of every benchmark run, in order; python scripts take --json."""
    p = sizes_for(quick)
    n = p["records"]
    py = [sys.executable]
    out = [
        ("foundation", py + [f"{HERE}/bench_foundation.py", *p["foundation"], "--bench-bin", build_dir]),
        ("track", py + [f"{HERE}/bench_track.py", *p["track"], "--bursts", ",".join(map(str, n))]),
        ("blame_diff", py + [f"{HERE}/bench_blame_diff.py", *p["blame"]]),
        ("lookup", [f"{build_dir}/lookup_bench", "bench", f"{WORK}/lookup", "--json",
                    "--sizes", ",".join(map(str, n))]),
    ]
    for docs in n:
        shape = ["--docs", str(docs), "--sections", str(max(docs // 100, 10)),
                 "--authors", str(max(docs // 500, 20))]
        out.append((f"index-{docs}", py + [f"{HERE}/bench_index.py", *shape, "--tokens", str(docs),
                                          "--runs", "2" if docs >= 1_000_000 else "3"]))
        out.append((f"show-{docs}", py + [f"{HERE}/bench_show.py", *shape,
                                         "--dir", f"/tmp/kx-bench-show-{docs}"]))
    out.append(("token", py + [f"{HERE}/bench_token.py", p["token"]]))
    for mib in p["purge_mib"]:
        out.append((f"purge-{mib}", py + [f"{HERE}/bench_purge.py", "--size-mb", str(mib), "--skip-token"]))
    out.append(("purge-token", py + [f"{HERE}/bench_purge.py", "--skip-purge", "--entries", p["token"]]))
    out.append(("maint", py + [f"{HERE}/bench_maint.py", "--scale", p["maint_scale"]]))
    out.append(("cli", py + [f"{HERE}/bench_cli.py", "--lines", p["cli_lines"]]))
    out.append(("blame_cli", py + [f"{HERE}/bench_blame_cli.py", "--lines", p["cli_lines"]]))
    out.append(("track_file", py + [f"{HERE}/bench_track_file.py", "--sizes", p["track_file_mb"]]))
    out.append(("report", py + [f"{HERE}/bench_report.py",
                                *(a for n in p["report_records"] for a in ("--docs", str(n)))]))
    out.append(("compressed", py + [f"{HERE}/bench_compressed.py", "--size", p["compressed_mb"]]))
    out.append(("parquet", py + [f"{HERE}/bench_parquet.py"]))
    out.append(("cluster", py + [f"{HERE}/bench_cluster.py", *p["cluster"]]))
    return out


def build(build_dir):
    """Configures and builds the module and the micro-benchmarks (Release)."""
    subprocess.run(["cmake", "-S", REPO, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DKX_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2"], check=True, stdout=subprocess.DEVNULL)


def first_line(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "unknown"


def cmake_cache(build_dir, key):
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return ""


def machine(build_dir, env):
    """What the figures were measured on."""
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
    compiler = cmake_cache(build_dir, "CMAKE_CXX_COMPILER") or "c++"
    module = subprocess.run([sys.executable, "-c", "import _kx_native, ssl; print(_kx_native.__file__);"
                             "print(ssl.OPENSSL_VERSION)"], env=env, capture_output=True, text=True,
                            check=True).stdout.split("\n")
    return {
        "cpu_model": model, "cores": os.cpu_count(), "memory_gib": mem_kib / 2**20,
        "kernel": platform.release(), "python": sys.version.split()[0],
        "compiler": first_line([compiler, "--version"]), "cxx_flags": cmake_cache(build_dir, "CMAKE_CXX_FLAGS_RELEASE"),
        "openssl": first_line(["openssl", "version"]), "python_openssl": module[1],
        "module": module[0],
        "commit": first_line(["git", "-C", REPO, "log", "-1", "--format=%h %cd", "--date=short"]),
    }


def children_rusage():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_step(name, argv, env):
    """Runs one benchmark; returns its figures, or the end of its error output."""
    os.makedirs(f"{WORK}/json", exist_ok=True)
    os.makedirs(f"{WORK}/logs", exist_ok=True)
    os.makedirs(f"{WORK}/lookup", exist_ok=True)
    out_json = f"{WORK}/json/{name}.json"
    is_python = argv[0] == sys.executable
    if is_python:
        argv = argv + ["--json", out_json]
    if os.path.exists(out_json):
        os.remove(out_json)
    record = {"load_start": os.getloadavg()[0]}
    wall0, cpu0 = time.perf_counter(), children_rusage()
    with open(f"{WORK}/logs/{name}.out", "w") as out, open(f"{WORK}/logs/{name}.err", "w") as err:
        done = subprocess.run(argv, env=env, cwd=REPO, stdout=out, stderr=err)
    record.update(wall=time.perf_counter() - wall0, cpu=children_rusage() - cpu0,
                  load_end=os.getloadavg()[0], returncode=done.returncode)
    if done.returncode != 0:
        with open(f"{WORK}/logs/{name}.err") as f:
            record["error"] = f.read()[-1500:]
        return record
    if is_python:
        with open(out_json) as f:
            record["figures"] = json.load(f)
    else:  # the C++ benchmark prints one JSON object per line
        with open(f"{WORK}/logs/{name}.out") as f:
            record["figures"] = [json.loads(l) for l in f if l.startswith("{")]
    return record


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a tenth of the sizes, to check the harness")
    ap.add_argument("--render", action="store_true", help="only rewrite the README from the last run")
    ap.add_argument("--only", help="comma-separated step names (prefixes) to run; the others keep "
                                   "their figures from the last run")
    ap.add_argument("--build-dir", default=os.path.join(REPO, "build", "bench"))
    ap.add_argument("--out", default=os.path.join(HERE, "README.md"))
    args = ap.parse_args()
    results_path = f"{WORK}/results{'-quick' if args.quick else ''}.json"
    os.makedirs(WORK, exist_ok=True)

    if not args.render:
        build(args.build_dir)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([args.build_dir, os.path.join(REPO, "python")]),
                   KX_BENCH_DIR="/tmp/kx-bench")
        results = {"steps": {}}
        started = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
        if args.only and os.path.exists(results_path):
            with open(results_path) as f:
                results = json.load(f)  # a partial rerun keeps the run's own start and end
            results.setdefault("reruns", []).append(f"{args.only} at {started}")
        else:
            results.update(machine=machine(args.build_dir, env), quick=args.quick, started=started,
                           load_start=os.getloadavg())
        wall0 = time.perf_counter()
        wanted = args.only.split(",") if args.only else None
        for name, argv in steps(args.build_dir, args.quick):
            if wanted and not any(name.startswith(w) for w in wanted):
                continue
            print(f"[{time.strftime('%H:%M:%S')}] {name} (load {os.getloadavg()[0]:.1f})", flush=True)
            record = run_step(name, argv, env)
            results["steps"][name] = record
            status = "failed: " + record["error"].strip().splitlines()[-1] if "error" in record else "ok"
            print(f"    {record['wall']:.0f} s wall, {record['cpu']:.0f} s CPU, {status}", flush=True)
            with open(results_path, "w") as f:  # keep what is done if a later step dies
                json.dump(results, f, indent=1)
        if not args.only:
            results.update(load_end=os.getloadavg(), total_wall=time.perf_counter() - wall0)
        with open(results_path, "w") as f:
            json.dump(results, f, indent=1)
    with open(results_path) as f:
        results = json.load(f)
    with open(args.out, "w") as f:
        f.write(report_render.render(results, sizes_for(results["quick"])))
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
