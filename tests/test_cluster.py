"""Tracking on Dask workers: a local cluster of two worker processes must
leave the store exactly as tracking the same files here does, whatever
Dask runs twice or loses on the way."""

import argparse
import json
import os
import shutil
import signal

import pytest

import _kx_native as kx

from kx import _core as core
from kx import cluster
from kx.errors import KxError

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as local, distributed.Client(local) as c:
        yield c


def make_project(root, files):
    """A store with one section and the data files written into it."""
    kx.init(root)
    author = kx.author_add("Ada", "ada@example.org", root)
    section = kx.register_section("corpus/a.txt", [author], [], "MIT", "2024", root)
    for name, lines in files.items():
        with open(os.path.join(root, name), "w") as f:
            f.writelines(json.dumps(line) + "\n" for line in lines)
    return section


def data_files(count, lines_per_file=60):
    """Files whose lines repeat within a file and whose token counts repeat
    across lines and files: equal token entries that are not duplicates."""
    files = {}
    for n in range(count):
        lines = [{"text": " ".join(["w"] * (i % 5 + 1)), "file": n, "i": i % 40} for i in range(lines_per_file)]
        files[f"part{n:02}.jsonl"] = lines
    return files


def track_args(section):
    return argparse.Namespace(
        sources=[section], source_field=None, tokenizer="whitespace", count=None, count_field=None,
        text_field="text", retrack=False, tokens_only=False,
    )


def track_locally(root, section, names):
    for name in names:
        core.track_file(root, os.path.join(root, name), name, [section], None, "whitespace", "whitespace", "text")


def store_lines(root):
    """Every document record and token entry of the store, sorted."""
    found = []
    base = os.path.join(root, ".kx")
    for layer in ("document-index",):
        for name in os.listdir(os.path.join(base, layer)):
            if len(name) == 2:
                with open(os.path.join(base, layer, name)) as f:
                    found += f.read().splitlines()
    for name in os.listdir(base):
        if name.startswith("token-index.") and os.path.isfile(os.path.join(base, name)):
            with open(os.path.join(base, name)) as f:
                found += f.read().splitlines()
    return sorted(found)


def pair(tmp_path, files):
    """A project tracked here and an untouched twin for the cluster."""
    local, remote = str(tmp_path / "local"), str(tmp_path / "remote")
    section = make_project(local, files)
    assert make_project(remote, files) == section
    return local, remote, section


def test_cluster_tracking_equals_local_and_is_idempotent(client, tmp_path):
    files = data_files(6)
    local, remote, section = pair(tmp_path, files)
    # Every shard ends in a line torn by a killed writer: on either path it
    # stays a damaged line of its own and the next record is whole.
    for root in (local, remote):
        for byte in range(256):
            with open(os.path.join(root, ".kx", "document-index", f"{byte:02x}"), "w") as f:
                f.write('{"line_hash": "torn')
    # A Parquet file among them: its rows are read through pyarrow in the
    # worker, as here.
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    rows = [{"text": f"row {i}", "n": i % 7} for i in range(50)]
    for root in (local, remote):
        pq.write_table(pa.Table.from_pylist(rows), os.path.join(root, "rows.parquet"), row_group_size=16)
    names = sorted(files) + ["rows.parquet"]
    # One file was tracked before, from a shorter version: only its new
    # lines are recorded, on either path.
    for root in (local, remote):
        with open(os.path.join(root, "early.jsonl"), "w") as f:
            f.writelines(json.dumps(line) + "\n" for line in files[names[0]][:25])
        core.track_file(root, os.path.join(root, "early.jsonl"), names[0], [section], None, "whitespace", "whitespace", "text")
    track_locally(local, section, names)
    counts = cluster.track(client, remote, [(os.path.join(remote, n), n) for n in names], track_args(section))
    assert store_lines(remote) == store_lines(local)
    assert counts[0]["skipped"] == 25 and counts[1]["recorded"] == 60 and counts[-1]["recorded"] == 50
    # Equal entries of other lines and files all arrived.
    assert sum(1 for line in store_lines(remote) if '"token_count":1,' in line) == 6 * 12
    # A second run finds every line recorded.
    again = cluster.track(client, remote, [(os.path.join(remote, n), n) for n in names], track_args(section))
    assert all(c["recorded"] == 0 for c in again)
    assert store_lines(remote) == store_lines(local)
    # Each run removed its directory and, every absorption marked, the journal.
    assert os.listdir(cluster.work_root(remote)) == []


def begin_absorbing(journal, stores, target_dir):
    """Journals an absorption of `stores` into `target_dir` as absorb does
    before its first append; returns what it appends to each target file
    and the files it moves in."""
    sources, moves = {}, []
    for store in stores:
        for part, target in cluster._appends(store, target_dir):
            sources.setdefault(target, []).append(part)
        moves += cluster._moves(store, target_dir)
    targets = cluster._Targets()
    journal.begin(stores, sources, moves, {target: targets.size(target) for target in sources})
    targets.close()
    return sources, moves


def append_start(target, parts, n):
    """Appends to `target` the first `n` bytes of what an absorption appends
    to it (`parts` laid end to end), as a client killed part-way leaves them."""
    data = b""
    for source, runs in parts:
        with open(source, "rb") as src:
            for offset, length in runs:
                src.seek(offset)
                data += src.read(length)
    with open(target, "ab") as dst:
        dst.write(data[:n])


def test_task_run_twice_and_interrupted_absorption_add_each_line_once(client, tmp_path):
    files = data_files(2)
    local, remote, section = pair(tmp_path, files)
    names = sorted(files)
    track_locally(local, section, names)
    run_dir = os.path.join(cluster.work_root(remote), "run-test")
    os.makedirs(run_dir)
    args = track_args(section)
    # Two attempts of each file's task, as a retry or a lost worker gives.
    attempts = client.gather([
        client.submit(cluster.track_task, remote, os.path.join(remote, n), n, args, run_dir, pure=False)
        for n in names for _ in range(2)
    ])
    assert len({store for store, _ in attempts}) == 4
    # The client dies absorbing a batch of one attempt of each file, part-way
    # through the second store's runs of a shard both append to...
    journal = cluster.Journal(remote)
    sources, moves = begin_absorbing(journal, [attempts[0][0], attempts[2][0]], remote)
    target, parts = next((target, parts) for target, parts in sources.items() if len(parts) == 2)
    append_start(target, parts, sum(length for _, length in parts[0][1]) + 100)
    shutil.copy(*moves[0])  # its token entries moved in (copied: the store is absorbed again below)
    # ...and the next run rolls it back before absorbing whole stores.
    absorber = cluster.Absorber(remote)
    assert store_lines(remote) == []
    taken = absorber.take([(names[i // 2], store, counts) for i, (store, counts) in enumerate(attempts)])
    assert taken == [True, False, True, False]
    assert store_lines(remote) == store_lines(local)
    assert not any(os.path.exists(store) for store, _ in attempts)  # taken or not, each is removed
    # An absorption cut short, after which another writer appended to the
    # same file, is not rolled back: truncating would take that writer's line.
    spare, _ = cluster.track_task(remote, os.path.join(remote, names[0]), names[0], args, run_dir, False)
    target, parts = next(iter(begin_absorbing(journal, [spare], remote)[0].items()))
    append_start(target, parts, 100)
    with open(target, "ab") as dst:
        dst.write(b'{"another": "writer"}\n')
    assert cluster.Journal(remote).recover() == 1
    assert open(target, "rb").read().endswith(b'{"another": "writer"}\n')


def test_worker_killed_during_the_run(client, tmp_path):
    files = data_files(12, lines_per_file=400)
    local, remote, section = pair(tmp_path, files)
    names = sorted(files)
    track_locally(local, section, names)
    pids = client.run(os.getpid)
    killed = []

    def kill_one(i, counts):
        if not killed:
            victim = next(iter(pids.values()))
            os.kill(victim, signal.SIGKILL)
            killed.append(victim)

    cluster.track(client, remote, [(os.path.join(remote, n), n) for n in names], track_args(section), on_done=kill_one)
    assert killed
    assert store_lines(remote) == store_lines(local)
    client.wait_for_workers(2, timeout=60)


def archived_lines(root, name):
    """The lines each purge archive of a data file holds, newest first."""
    found = []
    for archive in core.purge_archives(root, os.path.join(root, name)):
        with open(os.path.join(root, ".kx", "archive", archive["name"])) as f:
            found.append([json.loads(line)["line"] for line in f])
    return found


def consent_pair(tmp_path, files):
    """Twin projects whose lines are drawn in turn from a kept section, a
    revoked section and a section of a revoked author, with the line index
    built."""
    local, remote, section = pair(tmp_path, files)
    for root in (local, remote):
        grace = kx.author_add("Grace", "grace@example.org", root)
        bob = kx.author_add("Bob", "bob@example.org", root)
        revoked = kx.register_section("corpus/b.txt", [grace], [], "MIT", "2024", root)
        bobs = kx.register_section("corpus/c.txt", [bob], [], "MIT", "2024", root)
        for name in sorted(files):
            for i, line in enumerate(files[name]):
                kx.track(line, name, [(section, revoked, bobs)[i % 3]], root)
        kx.revoke_section(root, revoked)
        kx.revoke_by_author(root, "Bob")
        kx.build_index(root)
    return local, remote


def test_cluster_purge_equals_purging_one_file_after_another(client, kx_cli, tmp_path):
    files = data_files(4, lines_per_file=30)
    local, remote = consent_pair(tmp_path, files)
    names = sorted(files)
    read = lambda root, name: open(os.path.join(root, name), "rb").read()
    originals = {n: read(remote, n) for n in names}
    on_cluster = ["--cluster", client.scheduler.address]

    def purge(root, *args):
        done = kx_cli("-C", root, "purge", "--json", *args)
        assert done.returncode == 0, done.stderr
        return [(f["file"], f["purged"], f["kept"]) for f in json.loads(done.stdout).get("files", [])]

    def same_files_and_archives():
        for name in names:
            assert read(remote, name) == read(local, name)
            assert archived_lines(remote, name) == archived_lines(local, name) != []

    # A dry run counts on the workers what it counts here.
    dry = purge(remote, "part*.jsonl", "--dry-run", *on_cluster)
    assert dry == purge(local, "part*.jsonl", "--dry-run") and dry[0][1:] == (20, 10)
    assert all(read(remote, n) == originals[n] for n in names)
    # The revoked author's lines.
    assert purge(remote, "part*.jsonl", "--author", "Bob", *on_cluster) == purge(local, "part*.jsonl", "--author", "Bob")
    same_files_and_archives()
    # Then every withdrawn line of the files a directory holds.  A damaged
    # file among them fails its task, named as given; the others are purged
    # all the same.
    purge(local, ".")
    os.makedirs(os.path.join(remote, "broken"))
    with open(os.path.join(remote, "broken", "bad.jsonl"), "wb") as f:
        f.write(b"\x1f\x8b\x08\x00damaged")
    done = kx_cli("-C", remote, "purge", ".", *on_cluster)
    assert done.returncode == 1 and done.stderr.startswith("kx: error: ") and "broken/bad.jsonl" in done.stderr
    assert remote not in done.stderr
    same_files_and_archives()
    operations = lambda root: sorted(e["operation"] for e in json.loads(kx_cli("-C", root, "log", "--json").stdout))
    assert operations(remote) == operations(local) and operations(remote).count("purge") == 8
    assert os.listdir(cluster.work_root(remote)) == []
    # Each file's two purges undo exactly, newest first.
    for _ in range(2):
        done = kx_cli("-C", remote, "purge", "--json", "--undo", "--force", "part*.jsonl")
        assert [f["outcome"] for f in json.loads(done.stdout)["files"]] == ["exact"] * 4, done.stderr
    assert all(read(remote, n) == originals[n] for n in names)


def test_kx_track_workers_option_and_a_failing_file(kx_cli, tmp_path):
    files = data_files(3)
    local, remote, section = pair(tmp_path, files)
    names = sorted(files)
    for root, extra in ((local, []), (remote, ["--workers", "2"])):
        done = kx_cli("-C", root, "track", *names, "--source", section, "--tokenizer", "whitespace", *extra)
        assert done.returncode == 0, done.stderr
    assert store_lines(remote) == store_lines(local)
    # A bad line fails its file's task: the error names the file and the
    # store holds whole files only.
    with open(os.path.join(remote, "bad.jsonl"), "w") as f:
        f.write('{"text": "fine"}\n{"text": \n')
    done = kx_cli("-C", remote, "track", "bad.jsonl", "--source", section, "--workers", "2")
    assert done.returncode != 0 and "kx: error: " in done.stderr and "bad.jsonl:2" in done.stderr
    assert store_lines(remote) == store_lines(local)


def test_absorption_appends_whole_lines_only(tmp_path, monkeypatch):
    """Every append into the target ends at a line end, so that a line another
    writer appends meanwhile falls between lines, never inside one; a write
    the system takes in part goes on where it stopped."""
    lines = [b'{"n": %d, "pad": "%s"}\n' % (i, b"x" * (i * 7 % 90)) for i in range(300)]
    data = b"".join(lines)
    runs, at = [], 0
    for i in range(0, 300, 7):  # runs of 7 lines, as task stores hold them
        size = len(b"".join(lines[i : i + 7]))
        runs.append(memoryview(data)[at : at + size])
        at += size
    target = tmp_path / "shard"
    requests, writev = [], os.writev

    def partial_writev(fd, views):
        requests.append(b"".join(views))
        return writev(fd, [b"".join(views)[:200]]) if len(requests) % 3 == 0 else writev(fd, views)

    monkeypatch.setattr(cluster, "_APPEND_BYTES", 1000)
    monkeypatch.setattr(os, "writev", partial_writev)
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    cluster._append_runs(fd, runs)
    os.close(fd)
    assert target.read_bytes() == data
    assert len(requests) > 10 and all(r.endswith(b"\n") and len(r) <= 1000 for r in requests)


def test_absorption_reopens_a_target_replaced_during_the_run(tmp_path):
    """Targets stay open across a run's absorptions; a shard replaced in the
    meantime (rewritten by another command) is appended to at its path, not
    through the old file's descriptor, whose bytes nobody would read."""
    shard = tmp_path / "shard"
    targets = cluster._Targets()
    assert targets.size(str(shard)) == -1
    os.write(targets.fd(str(shard)), b"a\n")
    assert targets.size(str(shard)) == 2
    os.write(targets.fd(str(shard)), b"b\n")
    (tmp_path / "new").write_bytes(b"rewritten\n")
    os.replace(tmp_path / "new", shard)
    assert targets.size(str(shard)) == 10
    os.write(targets.fd(str(shard)), b"c\n")
    targets.close()
    assert shard.read_bytes() == b"rewritten\nc\n"


def test_cluster_blame_equals_local(client, kx_cli, tmp_path):
    files = data_files(4, lines_per_file=80)
    local, remote, section = pair(tmp_path, files)
    names = sorted(files)
    track_locally(remote, section, names[:3])  # the last file is not tracked
    with open(os.path.join(remote, names[0]), "a") as f:
        f.write('{"text": "added since"}\n')

    def batches(found):
        """A sink collecting the batches as lists, as the cluster hands them on."""
        return lambda provenances, lines: found.append(json.loads(json.dumps([provenances, lines])))

    here = {n: [] for n in names}
    for n in names:
        core.blame_lines(remote, os.path.join(remote, n), batches(here[n]))
    there = {n: [] for n in names}
    done = []
    paths = [os.path.join(remote, n) for n in names]
    cluster.blame(client, remote, paths, lambda i, *batch: batches(there[names[i]])(*batch), lambda i, _: done.append(i))
    assert there == here and done == [0, 1, 2, 3]
    # The command prints the same rows, text and JSON, as it does here.
    for extra in ([], ["--json"]):
        printed = kx_cli("-C", remote, "blame", *names, *extra)
        on_cluster = kx_cli("-C", remote, "blame", *names, *extra, "--cluster", client.scheduler.address)
        assert on_cluster.returncode == printed.returncode == 0 and on_cluster.stdout == printed.stdout
    with pytest.raises(KxError, match="missing.jsonl"):
        cluster.blame(client, remote, paths[:1] + [os.path.join(remote, "missing.jsonl")], lambda *a: None)
    assert os.listdir(cluster.work_root(remote)) == []
