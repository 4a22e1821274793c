"""Tracking on Dask workers: a local cluster of two worker processes must
leave the store exactly as tracking the same files here does, whatever
Dask runs twice or loses on the way."""

import argparse
import contextlib
import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import _kx_native as kx

from kx import _core as core
from kx import cluster, cluster_runs
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


class Killed(BaseException):
    """The client died: nothing of the absorption runs after this."""


@contextlib.contextmanager
def killed_absorbing(monkeypatch, whole_appends, cut):
    """The absorption run inside dies as a killed client does: after
    `whole_appends` target appends, the next one writes only its first `cut`
    bytes, and no rollback runs."""
    appended = []
    append = cluster._append_runs

    def dying(fd, runs):
        appended.append(fd)
        if len(appended) <= whole_appends:
            return append(fd, runs)
        os.write(fd, b"".join(runs)[:cut])
        raise Killed

    with monkeypatch.context() as patch:
        patch.setattr(cluster, "_append_runs", dying)
        patch.setattr(cluster_runs.Journal, "roll_back_open", lambda self, generations=None: True)
        with pytest.raises(Killed):
            yield


def abandon(run, locks=None):
    """What the kernel does for a client killed while holding `run`: its
    locks go, its folder stays."""
    os.close(run._lock)
    run._lock = -1
    if locks is not None:
        locks.close()


def records(root):
    """The store's document records (whole lines that parse), sorted."""
    found = []
    layer = os.path.join(root, ".kx", "document-index")
    for name in os.listdir(layer):
        with open(os.path.join(layer, name), "rb") as f:
            for line in f.read().splitlines():
                with contextlib.suppress(ValueError):
                    found.append(json.dumps(json.loads(line), sort_keys=True))
    return sorted(found)


def test_task_run_twice_and_interrupted_absorption_add_each_line_once(client, tmp_path, monkeypatch):
    files = data_files(2)
    local, remote, section = pair(tmp_path, files)
    names = sorted(files)
    track_locally(local, section, names)
    run = cluster_runs.RunDir(remote, "run")
    args = track_args(section)
    # Two attempts of each file's task, as a retry or a lost worker gives.
    attempts = client.gather([
        client.submit(cluster.track_task, remote, os.path.join(remote, n), n, args, run.path, pure=False)
        for n in names for _ in range(2)
    ])
    assert len({store for store, _ in attempts}) == 4
    # Another client dies absorbing copies of one attempt of each file,
    # inside the second store's runs of the first shard both append to...
    killed = cluster_runs.RunDir(remote, "run")
    copies = [shutil.copytree(attempts[i][0], os.path.join(killed.path, os.path.basename(attempts[i][0])))
              for i in (0, 2)]
    targets = [cluster._appends(store, remote) for store in copies]
    shared = sorted({t for _, t in targets[0]} & {t for _, t in targets[1]})[0]
    before = sum(1 for _, t in targets[0] if t < shared) + sum(1 for _, t in targets[1] if t < shared)
    first_part = sum(n for (_, runs), t in targets[0] if t == shared for _, n in runs)
    with killed_absorbing(monkeypatch, before, first_part + 100):
        cluster.Absorber(remote, killed.path).take([(names[0], copies[0], {}), (names[1], copies[1], {})])
    abandon(killed)
    assert store_lines(remote) != []
    # ...and the next run removes its folder, undoing its absorption, and
    # leaves the live run's alone.
    assert cluster_runs.sweep(remote) == [os.path.join(".kx", "cluster", os.path.basename(killed.path))]
    assert store_lines(remote) == [] and cluster_runs.findings(remote) == []
    absorber = cluster.Absorber(remote, run.path)
    taken = absorber.take([(names[i // 2], store, counts) for i, (store, counts) in enumerate(attempts)])
    absorber.close()
    assert taken == [True, False, True, False]
    assert store_lines(remote) == store_lines(local)
    assert not any(os.path.exists(store) for store, _ in attempts)  # taken or not, each is removed
    # An absorption that fails here after another writer appended to the file
    # it was cut short in is kept: cutting would take that writer's line.
    spare, counts = cluster.track_task(remote, os.path.join(remote, names[0]), names[0], args, run.path, False)
    target = cluster._appends(spare, remote)[0][1]

    def full_disk(fd, runs):
        os.write(fd, b"".join(runs)[:100])
        with open(target, "ab") as other:
            other.write(b'{"another": "writer"}\n')
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(cluster, "_append_runs", full_disk)
    with pytest.raises(OSError):
        cluster.Absorber(remote, run.path).take([(names[0], spare, counts)])
    assert open(target, "rb").read().endswith(b'{"another": "writer"}\n')
    assert [f["problem"] for f in cluster_runs.findings(remote)] == ["kept_absorption"]
    run.close()


@pytest.mark.parametrize("left", [0.5, 0], ids=["half of the shards left", "the last shard left"])
def test_a_plain_track_after_a_killed_absorption_keeps_every_line_once(left, tmp_path, monkeypatch):
    """A plain track of the file after the kill counts on what was absorbed
    and records the rest, byte for byte what the absorption would have
    appended: the next run must cut none of it.  With only the last shard
    left, nothing but the file's lock tells those bytes from the run's."""
    files = data_files(1, lines_per_file=400)
    local, remote, section = pair(tmp_path, files)
    name = sorted(files)[0]
    track_locally(local, section, [name])
    run = cluster_runs.RunDir(remote, "run")
    locks = cluster.DataFileLocks(remote, [name])
    store, counts = cluster.track_task(remote, os.path.join(remote, name), name, track_args(section), run.path)
    shards = len(cluster._appends(store, remote))
    with killed_absorbing(monkeypatch, shards - max(1, int(shards * left)), 0):
        cluster.Absorber(remote, run.path, locks).take([(name, store, counts)])
    abandon(run, locks)
    track_locally(remote, section, [name])
    cluster_runs.sweep(remote)
    assert records(remote) == records(local)
    assert [f["problem"] for f in cluster_runs.findings(remote)] == ["kept_absorption"]


def waiting_for_a_lock(root):
    """Whether a process waits for a lock on a lock file of the store
    (/proc/locks marks waiters with "->")."""
    locks = os.path.join(root, ".kx", "locks")
    inodes = {os.stat(os.path.join(locks, name)).st_ino for name in os.listdir(locks)}
    with open("/proc/locks") as f:
        return any("->" in line.split() and int(line.split()[-3].rsplit(":", 1)[1]) in inodes for line in f)


def test_cluster_runs_beside_each_other_and_plain_tracks(client, kx_cli, kx_cli_env, tmp_path, monkeypatch):
    """While the first run is inside an absorption, a second run and a plain
    track of other files run whole, and a plain track of one of its files
    waits for it: none takes the absorption for a killed client's, and
    every line ends recorded once."""
    files = data_files(5)
    local, remote, section = pair(tmp_path, files)
    names = sorted(files)
    track_locally(local, section, names)
    append, beside = cluster._append_runs, []
    command = [sys.executable, "-m", "kx", "-C", remote, "track", "--source", section, "--tokenizer", "whitespace"]

    def slowed(fd, runs):
        if not beside:
            for more in (["--cluster", client.scheduler.address], []):
                given = names[2:4] if more else names[4:]
                beside.append(subprocess.run([*command, *given, *more], env=kx_cli_env).returncode)
            beside.append(subprocess.Popen([*command, names[0]], env=kx_cli_env))
            while beside[-1].poll() is None and not waiting_for_a_lock(remote):
                time.sleep(0.02)
            assert beside[-1].poll() is None  # still waiting for the run's lock of the file
        return append(fd, runs)

    monkeypatch.setattr(cluster, "_append_runs", slowed)
    cluster.track(client, remote, [(os.path.join(remote, n), n) for n in names[:2]], track_args(section))
    assert beside[:2] == [0, 0] and beside[2].wait() == 0
    assert store_lines(remote) == store_lines(local)
    assert os.listdir(cluster.work_root(remote)) == []


def test_hostile_stores_journal_paths_and_links_out(kx_cli, tmp_path):
    """A store is input: neither a journal naming files outside it nor a
    link planted in it makes recovery or absorption touch anything outside."""
    files = data_files(1)
    local, remote, section = pair(tmp_path, files)
    name = sorted(files)[0]
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "thesis.txt").write_text("years of work\n")
    (outside / "notes.txt").write_text("notes\n")
    before = {p.name: p.read_bytes() for p in outside.iterdir()}
    # An older kx's journal naming them: kx clean removes it, touching neither.
    os.makedirs(cluster.work_root(remote))
    with open(os.path.join(cluster.work_root(remote), "journal"), "w") as f:
        f.write(json.dumps({"absorbing": "x", "sizes": {str(outside / "notes.txt"): 0},
                            "sources": {}, "moved": [str(outside / "thesis.txt")]}) + "\n")
    assert kx_cli("-C", remote, "clean").returncode == 0
    # A killed run's journal naming them: refused, naming the journal.
    for moved, target in ((["token-index.w." + "0" * 32], "../../outside/notes.txt"),
                          (["../../outside/thesis.txt"], "document-index/00")):
        run = cluster_runs.RunDir(remote, "run")
        with open(os.path.join(run.path, "journal"), "w") as f:
            f.write(json.dumps({"absorbing": ["0" * 32], "files": {}, "targets": [[target, 1, 0, 6]],
                                "sources": {}, "moved": moved}) + "\n")
        abandon(run)
        with pytest.raises(KxError, match=os.path.join(run.path, "journal")):
            cluster_runs.sweep(remote)
        shutil.rmtree(run.path)
    # A shard linked out, and a log linked out that a killed purge run's
    # lines would go to.
    run = cluster_runs.RunDir(remote, "purge")
    with open(os.path.join(run.path, "a.log"), "w") as f:
        f.write("20000-00:00:00 purge data\n")
    abandon(run)
    os.replace(os.path.join(remote, ".kx", "log"), os.path.join(remote, ".kx", "log.real"))
    os.symlink(outside / "notes.txt", os.path.join(remote, ".kx", "log"))
    with pytest.raises(KxError, match="symbolic link"):
        cluster_runs.sweep(remote)
    run = cluster_runs.RunDir(remote, "run")
    store, counts = cluster.track_task(remote, os.path.join(remote, name), name, track_args(section), run.path)
    shard = cluster._appends(store, remote)[0][1]
    os.symlink(outside / "thesis.txt", shard)
    with pytest.raises(KxError, match="symbolic link"):
        cluster.Absorber(remote, run.path).take([(name, store, counts)])
    run.close()
    assert {p.name: p.read_bytes() for p in outside.iterdir()} == before


def test_killed_clients_folders_are_reported_and_removed(kx_cli, tmp_path):
    files = data_files(1)
    local, remote, section = pair(tmp_path, files)
    live = cluster_runs.RunDir(remote, "run")
    dead = cluster_runs.RunDir(remote, "purge")
    with open(os.path.join(dead.path, "a.log"), "w") as f:
        f.write("20000-00:00:01 purge purged by a run whose client was killed\n")
    abandon(dead)
    older = os.path.join(cluster.work_root(remote), "run-" + "1" * 32)
    os.makedirs(os.path.join(older, "0" * 32))
    with open(os.path.join(older, "0" * 32, "records"), "wb") as f:
        f.write(b"x" * 100000)
    checked = kx_cli("-C", remote, "check", "--json")
    problems = {p["file"]: p["problem"] for p in json.loads(checked.stdout)["problems"]}
    assert checked.returncode == 1 and problems == {
        os.path.relpath(path, remote): "abandoned_run" for path in (dead.path, older)
    }
    # The next run leaves an older kx's folder (its client may live) but not
    # the killed one's, whose finished purges it logs; kx clean takes both.
    cluster_runs.sweep(remote)
    assert os.path.isdir(older) and not os.path.exists(dead.path) and os.path.isdir(live.path)
    assert "purged by a run whose client was killed" in kx_cli("-C", remote, "log").stdout
    assert kx_cli("-C", remote, "clean").returncode == 0
    assert sorted(os.listdir(cluster.work_root(remote))) == sorted(os.path.basename(live.path) + end
                                                                  for end in ("", ".lock"))
    assert kx_cli("-C", remote, "check").returncode == 0
    live.close()
    assert os.listdir(cluster.work_root(remote)) == []


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
