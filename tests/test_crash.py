"""Crashes and failing writes during every operation that rewrites files.

Each trial copies a prepared store, runs one operation in a child
interpreter and interrupts it: with SIGKILL just before the n-th call that
changes a file (a shim preloaded into the child counts them: open for
writing, write, rename, unlink, mkdir, rmdir, utimensat, msync, fchmod),
with SIGKILL after a random delay, by making every such call from the n-th
on fail (ENOSPC, EIO, EROFS), or under a small RLIMIT_FSIZE.  Afterwards:

- the store reads without error through every query;
- no record that existed before is lost, damaged or doubled (authors,
  sections, document records, token entries in pid and merged files), and
  no line of a data file is lost: each is still in the file or archived;
- every file that is rewritten is wholly old or wholly new (compared with a
  reference run of the same operation that was not interrupted); files that
  are only appended to keep their old bytes as a prefix;
- a fresh binary token index agrees with the merged files;
- running the operation again succeeds.

KX_CRASH_LINES, KX_CRASH_KILLS, KX_CRASH_DELAYS, KX_CRASH_FAILS and
KX_CRASH_SEED scale the trials (scripts/proof_long.sh runs the long
version); KX_CRASH_KILLS=all tries every kill point."""

import errno
import fcntl
import json
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import time
from collections import Counter

import pytest

import _kx_native as kx
from kx import _core as core
from conftest import (PID_FILE, canonical_line, frozen, identity, parse_lines, read_bytes,
                      spawn_python, write_bytes)

LINES = int(os.environ.get("KX_CRASH_LINES", "2000"))
KILLS = os.environ.get("KX_CRASH_KILLS", "4")
DELAYS = int(os.environ.get("KX_CRASH_DELAYS", "2"))
FAILS = int(os.environ.get("KX_CRASH_FAILS", "2"))
READ_ONLY = int(os.environ.get("KX_CRASH_READ_ONLY", "2"))
SEED = int(os.environ.get("KX_CRASH_SEED", "0")) or random.randrange(1, 1 << 30)
AUTHORS, SECTIONS = 60, 400
LAYERS = ("authors", "sections", "document-index")

COUNT, KILL, FAIL = 0, 1, 2

# name -> (operation run in the child, preparation of the copy or None)
OPS = {
    "revoke_section": ("kx.revoke_section(d, S[120])", None),
    "revoke_by_author": ("kx.revoke_by_author(d, 'Author 5')", None),
    "token_index_revoke_by_sources": (
        "kx.token_index_revoke_by_sources(d, 'tok', set(S[100:160]))", None),
    "revoke_by_author_token": ("kx.revoke_by_author_token(d, 'Author 7', 'tok')", None),
    "revoke_by_author_token_scan": (
        "kx.revoke_by_author_token(d, 'Author 7', 'tok')", "drop_token_bin"),
    "token_index_merge_pid_files": ("kx.token_index_merge_pid_files(d, 'tok')", None),
    "build_index": ("kx.build_index(d)", None),
    "token_index_build_binary_index": ("kx.token_index_build_binary_index(d, 'tok')", None),
    "purge_revoked": ("kx.purge_revoked(d, d + '/fresh.jsonl', False)", None),
    "purge_by_author_indexd": (
        "kx.purge_by_author_indexd(d, 'Author 1', d + '/fresh.jsonl', False)", None),
    "purge_reverse": ("kx.purge_reverse(d, d + '/train.jsonl')", None),
    "purge_withdrawn": ("core.purge_withdrawn(d, d + '/fresh.jsonl', False)", None),
    "undo_purge": ("core.undo_purge(d, d + '/exact.jsonl')", None),
    "clean": ("kx.clean(d, True)", "oversized_log"),
    "merge_absorb": ("kx.merge_absorb(other, d)", None),
    "write_forget_set": ("kx.write_forget_set(d + '/forget.bin', b'\\x5a' * 300000)", None),
}

# Operations after which token pid and merged files are compared by the
# entries they hold rather than byte for byte (they move entries between
# files whose numbering follows the directory listing).
MOVES_TOKEN_ENTRIES = {"token_index_merge_pid_files", "clean", "merge_absorb"}
# Operations that append to layer shards (compared as grown files).
APPENDS_TO_LAYERS = {"merge_absorb": LAYERS, "clean": ("document-index",)}


# ------------------------------------------------------------ the store


def prepare_template(root):
    """A store with authors, sections, tracked lines in two tokenizers,
    merged and pid token files, a document-index pid file, revocations, an
    index, purge archives (the newest of the module's purge, one of the
    command's purge, with its undo record), and a second store to absorb."""
    d, other = os.path.join(root, "proj"), os.path.join(root, "other")
    kx.init(d)
    authors = [kx.author_add("Author %d" % a, "a%d@example.org" % a, d) for a in range(AUTHORS)]
    authors.append(kx.author_add("Author 1", "second@example.org", d))
    sections = [
        kx.register_section("src/%d.txt" % s, [authors[s % AUTHORS], authors[(s * 7) % AUTHORS]],
                            [], "MIT" if s % 2 else "Apache-2.0", "2024", d)
        for s in range(SECTIONS)
    ]
    lines = []
    for n in range(LINES):
        value = {"n": n, "text": "tracked line %d" % n}
        sources = [sections[n % SECTIONS]] + ([sections[(n * 3) % SECTIONS]] if n % 5 == 0 else [])
        kx.track(value, "fresh.jsonl", sources, d, token_count=n % 50 + 1, tokenizer="tok")
        if n % 3 == 0:
            kx.token_index_write_pid(d, "tok2", n % 7 + 1, sources)
        lines.append(json.dumps(value) + "\n")
    for name in ("fresh.jsonl", "train.jsonl"):
        with open(os.path.join(d, name), "w") as f:
            f.writelines(lines)
    kx.clean(d, False)
    # Pid files of two more processes, left unmerged.
    for worker in range(2):
        code = ("import sys, _kx_native as kx\n"
                "for n in range(%d):\n"
                "    kx.token_index_write_pid(sys.argv[1], 'tok', n + 1, [sys.argv[2]])\n"
                % max(50, LINES // 10))
        p = spawn_python(code, d, sections[worker])
        assert p.communicate(timeout=120)[0] is not None and p.returncode == 0
    with open(os.path.join(d, ".kx", "docidx.777"), "w") as f:
        for n in range(20):
            f.write(json.dumps({"line_hash": "%064x" % (n * 7919), "file": "extra.jsonl",
                                "sources": [sections[n]], "revoked": False}) + "\n")
    os.makedirs(os.path.join(d, ".kx", "split", "part"))
    with open(os.path.join(d, ".kx", "split", "part", "x"), "w") as f:
        f.write("split\n")
    for s in sections[:40]:
        kx.revoke_section(d, s)
    kx.revoke_by_author(d, "Author 1")
    kx.build_index(d)
    write_bytes(os.path.join(d, "exact.jsonl"), mixed_lines(lines))
    write_bytes(os.path.join(d, "exact.orig"), mixed_lines(lines))
    core.purge_withdrawn(d, os.path.join(d, "exact.jsonl"), False)
    kx.purge_revoked(d, os.path.join(d, "train.jsonl"), False)

    kx.init(other)
    kx.author_add("Author 2", "a2@example.org", other)
    newcomer = kx.author_add("Newcomer", "new@example.org", other)
    new_section = kx.register_section("src/new.txt", [newcomer], [], "MIT", "2025", other)
    kx.register_section("src/0.txt", [authors[0], authors[0]], [], "Apache-2.0", "2024", other)
    for n in range(max(100, LINES // 4)):
        kx.track({"n": n, "other": True}, "other.jsonl", [new_section], other,
                 token_count=n + 1, tokenizer="tok")
        kx.track({"n": n, "text": "tracked line %d" % n}, "fresh.jsonl", [sections[n % SECTIONS]],
                 other, token_count=n % 50 + 1, tokenizer="tok3")
    kx.clean(other, False)
    with open(os.path.join(root, "names.json"), "w") as f:
        json.dump({"sections": sections}, f)


def mixed_lines(lines):
    """The tracked lines in the forms an exact undo must give back: keys in
    another order, CRLF ends, blank lines, lines that are not JSON, and no
    line feed at the end."""
    out = []
    for n, line in enumerate(lines[: len(lines) // 2]):
        value = json.loads(line)
        text = json.dumps(dict(reversed(list(value.items()))), separators=(" ,", ": ")) if n % 2 else line[:-1]
        out.append(text.encode() + (b"\r\n" if n % 3 == 0 else b"\n"))
        if n % 7 == 0:
            out.append([b"\n", b"\r\n", b"not json\n"][n % 3])
    return b"".join(out)[:-1]


def drop_token_bin(root):
    os.remove(os.path.join(root, "proj", ".kx", "token-index.tok.bin"))


def oversized_log(root):
    with open(os.path.join(root, "proj", ".kx", "log"), "a") as f:
        for n in range(11):
            f.write("0-00:00:00 filler %d %s\n" % (n, "x" * (1 << 20)))


PREPARE = {"drop_token_bin": drop_token_bin, "oversized_log": oversized_log}


# ------------------------------------------------------------ children

CHILD = r"""
import ctypes, json, os, resource, signal, sys, time
import _kx_native as kx
from kx import _core as core
job = json.loads(sys.argv[1])
root = job["root"]
d, other = os.path.join(root, "proj"), os.path.join(root, "other")
with open(os.path.join(root, "names.json")) as f:
    S = json.load(f)["sections"]
shim = None
if job["shim"]:
    shim = ctypes.CDLL(job["shim"])
    shim.kx_fault_trace.restype = ctypes.c_char_p
if job["fsize"] is not None:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (job["fsize"], resource.RLIM_INFINITY))
sys.stdout.write("ready\n")
sys.stdout.flush()
sys.stdin.read(1)
if shim:
    shim.kx_fault_arm(job["n"], job["mode"], job["errno"])
started = time.monotonic()
try:
    exec(job["op"])
    outcome = "ok"
except Exception as e:
    outcome = "%s: %s" % (type(e).__name__, e)
seconds = time.monotonic() - started
calls = shim.kx_fault_disarm() if shim else 0
trace = [shim.kx_fault_trace(i).decode(errors="replace") for i in range(min(calls, 8192))] \
    if shim and job["mode"] == 0 else []
sys.stdout.write(json.dumps({"outcome": outcome, "calls": calls, "trace": trace,
                            "seconds": seconds}) + "\n")
"""


def run_child(root, op, shim=None, mode=COUNT, n=0, err=0, fsize=None, delay=None):
    """Runs `op` on the copy at `root`; returns (killed, report)."""
    job = {"root": root, "op": op, "shim": shim, "mode": mode, "n": n, "errno": err,
            "fsize": fsize}
    env = dict(os.environ)
    if shim:
        # After what is preloaded already (the sanitizer runtime must stay first).
        env["LD_PRELOAD"] = " ".join(p for p in (env.get("LD_PRELOAD"), shim) if p)
    p = spawn_python(CHILD, json.dumps(job), env=env)
    assert p.stdout.readline() == b"ready\n", p.stderr.read().decode()
    p.stdin.write(b"g")
    p.stdin.close()
    p.stdin = None
    if delay is not None:
        try:
            p.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            p.send_signal(signal.SIGKILL)
    out, errout = p.communicate(timeout=600)
    if p.returncode == -signal.SIGKILL:
        return True, None
    assert p.returncode == 0, errout.decode()
    return False, json.loads(out.decode().strip().splitlines()[-1])


# ------------------------------------------------------------ snapshots


def snapshot(root):
    """Every file under root (bytes), without the temporary files of
    interrupted rewrites, which are listed apart."""
    files, temps = {}, []
    for dirpath, _, names in os.walk(root):
        for name in names:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            if name.startswith(".kxtmp."):
                temps.append(rel)
            elif rel != "names.json":
                files[rel] = read_bytes(path)
    return files, temps


def kind_of(rel):
    parts = rel.split(os.sep)
    if parts[0] == "other":
        return "source"
    inner = parts[2:] if len(parts) > 2 and parts[1] == ".kx" else None
    if inner is None:
        return "data" if rel.endswith(".jsonl") else "file"
    if inner[0] in ("log", "log.1"):
        return "log"
    if inner[0] in LAYERS and len(inner) == 2:
        return "layer:" + inner[0]
    if inner[0] == "archive":
        if inner[1] == "exact" and len(inner) == 3:
            return "undo_record"
        return "purge_archive" if inner[1].startswith("purge.") else "layer_archive"
    if inner[0].startswith("token-index.") and len(inner) == 2:
        return "merged"
    if re.fullmatch(PID_FILE, inner[0]):
        return "pid"
    return "file"


def layer_records(files, layer):
    return Counter(identity(r) for rel, data in files.items() if kind_of(rel) == "layer:" + layer
                   for r in parse_lines(data)[0])


def token_entries(files):
    out = Counter()
    for rel, data in files.items():
        if kind_of(rel) in ("pid", "merged"):
            for r in parse_lines(data)[0]:
                out[(r["tokenizer"], r["token_count"], tuple(r["sources"]))] += 1
    return out


def data_and_archived_lines(files):
    """Every line of the data files and of the purge archives, canonical."""
    out = Counter()
    for rel, data in files.items():
        kind = kind_of(rel)
        if kind == "data":
            out.update(canonical_line(l) for l in data.split(b"\n") if l.strip())
        elif kind == "purge_archive":
            out.update(json.dumps(r["line"], sort_keys=True, separators=(",", ":"))
                       for r in parse_lines(data)[0])
    return out


def log_lines(files):
    data = files.get(os.path.join("proj", ".kx", "log.1"), b"") + files.get(
        os.path.join("proj", ".kx", "log"), b"")
    return [line.split(b" ", 1)[1] for line in data.split(b"\n") if line]


def grown_correctly(old, new, ref):
    """`new` keeps `old` as its prefix and adds whole JSON lines that the
    reference run also added (a torn last line only where `ref` has it
    whole)."""
    old, new = old or b"", new or b""
    if not new.startswith(old):
        return False
    records, bad, torn = parse_lines(new[len(old):])
    ref_lines = set((ref or b"").split(b"\n"))
    if bad or any(json.dumps(r, sort_keys=True, separators=(",", ":")).encode() not in ref_lines
                  for r in records):
        return False
    return not torn or any(line.startswith(torn) for line in ref_lines)


def check_state(op_name, before, ref, now):
    """Problems of the state `now` after an interrupted `op_name`, given the
    state `before` it and the state `ref` after a complete run."""
    problems = []
    appended = APPENDS_TO_LAYERS.get(op_name, ())
    for rel in sorted(set(before) | set(ref) | set(now)):
        kind = kind_of(rel)
        old, new, done = before.get(rel), now.get(rel), ref.get(rel)
        if kind in ("log", "purge_archive"):
            continue  # checked as a whole below
        if kind == "undo_record":
            # Named only once whole: its last line is the trailer.
            if new is not None and b'"purged_sha256"' not in new.rstrip(b"\n").rsplit(b"\n", 1)[-1]:
                problems.append("undo record %s is not whole" % rel)
            continue
        if kind in ("pid", "merged") and op_name in MOVES_TOKEN_ENTRIES:
            if new is not None and (parse_lines(new)[1] or parse_lines(new)[2]):
                problems.append("damaged token file " + rel)
            continue
        if kind == "file" and op_name == "clean" and rel.endswith(".bin"):
            continue  # rebuilt from merged files numbered in listing order
        if kind.startswith("layer:") and kind[6:] in appended or kind == "layer_archive":
            if not grown_correctly(old, new, done):
                problems.append("appended file %s is not its old bytes plus whole new lines" % rel)
            continue
        if new != old and new != done:
            problems.append("%s is neither old nor new (%s bytes; old %s, new %s)" % (
                rel, len(new) if new is not None else "no", len(old) if old is not None else "no",
                len(done) if done is not None else "no"))
    old_log, new_log = log_lines(before), log_lines(now)
    if new_log[:len(old_log)] != old_log:
        problems.append("log lines lost or changed")

    for layer in LAYERS:
        old, new, done = layer_records(before, layer), layer_records(now, layer), \
            layer_records(ref, layer)
        if layer in appended:
            if old - new or new - (done | old):
                problems.append("%s records lost or not from the source" % layer)
        elif old != new and not (op_name == "clean" and layer == "document-index"
                                 and not old - new):
            problems.append("%s records changed: lost %d, added %d" % (
                layer, sum((old - new).values()), sum((new - old).values())))
    old, new, done = token_entries(before), token_entries(now), token_entries(ref)
    if op_name == "merge_absorb":
        if old - new or new - done:
            problems.append("token entries lost or added twice")
    elif old != new:
        problems.append("token entries changed: lost %d, doubled or added %d" % (
            sum((old - new).values()), sum((new - old).values())))
    if data_and_archived_lines(before) - data_and_archived_lines(now):
        problems.append("data lines neither in their file nor archived")
    return problems


def python_forget_set(d, tokenizer):
    """The forget set computed from the merged files alone."""
    folder = os.path.join(d, ".kx", "token-index." + tokenizer)
    names = sorted((n for n in os.listdir(folder) if n.isdigit()), key=int) \
        if os.path.isdir(folder) else []
    bits = []
    for name in names:
        for line in read_bytes(os.path.join(folder, name)).split(b"\n"):
            line = line.rstrip(b"\r")
            if line:
                bits.append(b'"revoked":true' in line)
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


def read_everything(root, sections):
    """Every query over the store; they must all succeed."""
    d = os.path.join(root, "proj")
    kx.read_all_documents(d)
    for layer in LAYERS:
        kx.shard_iterate_all(d, layer)
    kx.author_query(d, None, None)
    kx.author_query(d, "Author 7", "a7@example.org")
    for tokenizer in kx.token_index_list_tokenizers(d):
        kx.token_index_token_status(d, tokenizer)
        assert kx.generate_forget_set(d, tokenizer) == python_forget_set(d, tokenizer), tokenizer
        kx.show_by_author_token(d, "Author 7", tokenizer)
    kx.show_by_author(d, "Author 7")
    kx.show_by_section(d, sections[3])
    kx.show_by_license(d, "MIT")
    assert kx.blame(d, "fresh.jsonl", '{"n": 7, "text": "tracked line 7"}')


# ------------------------------------------------------------ fixtures


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    """Where the trials run: a memory file system when there is one, since
    each trial copies a store of about a thousand files."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        folder = tempfile.mkdtemp(prefix="kx-crash-", dir=shm)
        yield folder
        shutil.rmtree(folder, ignore_errors=True)
    else:
        yield str(tmp_path_factory.mktemp("crash"))


@pytest.fixture(scope="module")
def template(workspace):
    root = os.path.join(workspace, "template")
    os.makedirs(root)
    prepare_template(root)
    with open(os.path.join(root, "names.json")) as f:
        sections = json.load(f)["sections"]
    print("\ncrash store: %d tracked lines, %d sections, %d authors; seed %d"
          % (LINES, SECTIONS, AUTHORS + 1, SEED))
    return root, sections


class Trials:
    """Copies of the template for one operation, with its reference run."""

    def __init__(self, template, shim, base, op_name):
        self.template, self.sections = template
        self.shim, self.base, self.name = shim, base, op_name
        self.op, self.prepare = OPS[op_name]
        self.count = 0
        ref_root = self.copy()
        self.before = snapshot(ref_root)[0]
        killed, report = run_child(ref_root, self.op, shim)
        assert not killed and report["outcome"] == "ok", report
        self.seconds = report["seconds"]
        self.calls, self.trace = report["calls"], report["trace"]
        self.ref, temps = snapshot(ref_root)
        assert not temps, temps
        # The directories the operation creates, renames or removes entries
        # in, relative to the copy.
        self.write_dirs = sorted({
            os.path.relpath(os.path.dirname(call.split(" ", 1)[1]), ref_root)
            for call in self.trace
            if call.split(" ", 1)[0] in ("open", "rename", "unlink", "mkdir", "rmdir")
            and call.split(" ", 1)[1].startswith(ref_root + os.sep)})
        shutil.rmtree(ref_root)

    def copy(self):
        self.count += 1
        root = os.path.join(self.base, "%s-%d" % (self.name, self.count))
        if subprocess.run(["cp", "-a", self.template, root]).returncode != 0:
            shutil.rmtree(root, ignore_errors=True)
            shutil.copytree(self.template, root, symlinks=True)
        if self.prepare:
            PREPARE[self.prepare](root)
        return root

    def verify(self, root, what):
        now, temps = snapshot(root)
        problems = check_state(self.name, self.before, self.ref, now)
        try:
            read_everything(root, self.sections)
        except Exception as e:  # noqa: BLE001 - reported with the trial
            problems.append("reading the store failed: %r" % e)
        if not problems:
            again_root = os.path.join(root, "proj")
            try:
                exec(self.op, {"kx": kx, "core": core, "d": again_root,
                               "other": os.path.join(root, "other"), "S": self.sections})
            except Exception as e:  # noqa: BLE001
                problems.append("running the operation again failed: %r" % e)
        if not problems:
            shutil.rmtree(root)
        return ["%s %s: %s" % (self.name, what, p) for p in problems], temps


def kill_points(calls, rng):
    if KILLS == "all":
        return list(range(1, calls + 1))
    wanted = min(int(KILLS), calls)
    # The first and the last call always, then a random sample.
    picks = {1, calls} if wanted >= 2 else {calls}
    return sorted(picks | set(rng.sample(range(1, calls + 1), wanted - len(picks))))


@pytest.mark.parametrize("op_name", sorted(OPS))
def test_interrupted_operation_loses_nothing(op_name, template, shim, workspace):
    rng = random.Random("%d-%s" % (SEED, op_name))
    base = os.path.join(workspace, op_name)
    os.makedirs(base)
    trials = Trials(template, shim, base, op_name)
    problems, tried, leftovers = [], [], 0

    def trial(what, read_only=None, **kw):
        nonlocal leftovers
        root = trials.copy()
        if read_only is None:
            killed, report = run_child(root, trials.op, **kw)
        else:
            folder = os.path.join(root, read_only)
            while not os.path.isdir(folder):  # created by the operation
                folder = os.path.dirname(folder)
            with frozen(folder):
                killed, report = run_child(root, trials.op, **kw)
        if report is not None and report["outcome"] != "ok":
            # A failure must be reported as a RuntimeError with a message.
            if not report["outcome"].startswith("RuntimeError: ") or \
                    len(report["outcome"]) < len("RuntimeError: ") + 5:
                problems.append("%s %s: unclear error %s" % (op_name, what, report["outcome"]))
        found, temps = trials.verify(root, what)
        problems.extend(found)
        leftovers += len(temps)
        tried.append(what)

    for n in kill_points(trials.calls, rng):
        call = trials.trace[n - 1] if n <= len(trials.trace) else "?"
        trial("killed before call %d/%d (%s)" % (n, trials.calls, call.replace(trials.base, "")),
              shim=shim, mode=KILL, n=n)
    for _ in range(DELAYS):
        delay = rng.uniform(0, trials.seconds * 1.2)
        trial("killed after %.3f s of %.3f s" % (delay, trials.seconds), delay=delay)
    for _ in range(FAILS):
        n = rng.randint(1, trials.calls)
        err = rng.choice([errno.ENOSPC, errno.EIO, errno.EROFS])
        trial("calls from %d/%d failing with %s" % (n, trials.calls, errno.errorcode[err]),
              shim=shim, mode=FAIL, n=n, err=err)
    for folder in rng.sample(trials.write_dirs, min(READ_ONLY, len(trials.write_dirs))):
        trial("with %s read-only" % folder, read_only=folder)
    biggest = max(len(v) for v in trials.ref.values())
    fsize = rng.randint(0, biggest)
    trial("under RLIMIT_FSIZE %d" % fsize, fsize=fsize)

    print("\n%s: %d mutating calls in %.3f s; %d interruptions tried, %d temporary files left"
          % (op_name, trials.calls, trials.seconds, len(tried), leftovers))
    assert not problems, "\n".join(problems)


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".kxtmp.")]


@pytest.mark.parametrize("op_name, cleanup, where", [
    ("revoke_section", "kx.clean(d, False)", os.path.join("proj", ".kx")),
    ("revoke_section", "kx.build_index(d)", os.path.join("proj", ".kx")),
    ("purge_revoked", "kx.purge_revoked(d, d + '/fresh.jsonl', False)", "proj"),
    ("purge_revoked", "kx.purge_reverse(d, d + '/train.jsonl')", "proj"),
])
def test_temporary_files_of_killed_rewrites_are_removed_once_their_owner_is_gone(
        op_name, cleanup, where, template, shim, workspace):
    base = os.path.join(workspace, "leftovers-%s-%s" % (op_name, cleanup.split("(")[0]))
    os.makedirs(base)
    trials = Trials(template, shim, base, op_name)
    rename = next(i for i, call in enumerate(trials.trace, 1) if call.startswith("rename"))
    root = trials.copy()
    killed, _ = run_child(root, trials.op, shim=shim, mode=KILL, n=rename)
    assert killed
    folder = os.path.join(root, where)
    [left] = leftovers(folder)
    run = {"kx": kx, "core": core, "d": os.path.join(root, "proj"), "other": "", "S": trials.sections}
    # A lock on the file stands for an owner alive on another host.
    with open(os.path.join(folder, left), "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        exec(cleanup, run)
        assert leftovers(folder) == [left]
    exec(cleanup, run)
    assert not leftovers(folder)


def data_lines(path):
    return Counter(canonical_line(line) for line in read_bytes(path).split(b"\n") if line.strip())


# After a kill at any point, the next reversal (and the next purge followed
# by a reversal) leaves every line of the data file exactly once; the
# command's undo gives back the file as it was before its purge, byte for
# byte.  name -> (data file, steps, the file as it was)
UNDO_AFTER_KILL = {
    "purge_revoked": ("fresh.jsonl", ["undo", "op", "undo"], "fresh.jsonl"),
    "purge_by_author_indexd": ("fresh.jsonl", ["undo", "op", "undo"], "fresh.jsonl"),
    "purge_reverse": ("train.jsonl", ["undo"], "fresh.jsonl"),
    "purge_withdrawn": ("fresh.jsonl", ["exact undo", "op", "exact undo"], "fresh.jsonl"),
    "undo_purge": ("exact.jsonl", ["exact undo"], "exact.orig"),
}


@pytest.mark.parametrize("op_name", sorted(UNDO_AFTER_KILL))
def test_undo_after_a_killed_purge_or_reversal_restores_each_line_once(op_name, template, shim,
                                                                       workspace):
    base = os.path.join(workspace, "undo-" + op_name)
    os.makedirs(base)
    trials = Trials(template, shim, base, op_name)
    name, steps, original = UNDO_AFTER_KILL[op_name]
    original = os.path.join(template[0], "proj", original)
    whole, whole_bytes = data_lines(original), read_bytes(original)
    problems = []
    for n in range(1, trials.calls + 1):
        root = trials.copy()
        d = os.path.join(root, "proj")
        run_child(root, trials.op, shim=shim, mode=KILL, n=n)
        for step in steps:
            path = os.path.join(d, name)
            if step == "undo":
                kx.purge_reverse(d, path)
                restored = data_lines(path) == whole
            elif step == "exact undo":
                # An interrupted purge or undo is no change of the file's.
                outcome = core.undo_purge(d, path)["outcome"]
                restored = outcome != "changed" and read_bytes(path) == whole_bytes
            else:
                exec(trials.op, {"kx": kx, "core": core, "d": d, "S": trials.sections})
                continue
            if not restored:
                problems.append("killed before call %d (%s): lines not restored exactly once"
                                % (n, trials.trace[n - 1].replace(trials.base, "")))
                break
        shutil.rmtree(root)
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("op_name", ["purge_revoked", "purge_withdrawn"])
def test_rewritten_content_is_durable_before_it_is_renamed(op_name, template, shim, workspace):
    base = os.path.join(workspace, "durable-" + op_name)
    os.makedirs(base)
    trace = Trials(template, shim, base, op_name).trace
    data = os.path.join("proj", "fresh.jsonl")
    rename = next(i for i, call in enumerate(trace) if call.startswith("rename ") and
                  call.endswith(data))
    link = next(i for i, call in enumerate(trace) if call.startswith("link "))
    named = [i for i, call in enumerate(trace) if call.startswith("rename ") and
             os.sep + os.path.join("archive", "exact", "purge.") in call]
    temps = [call.split(" ", 1)[1] for call in trace if call.startswith("open ") and
             ".kxtmp." in call]
    synced = [i for i, call in enumerate(trace) if call.startswith("fsync ")]
    # The archive and the undo record are flushed before they get their
    # names, the undo record is named after the archive, and all of them
    # and the new data file are flushed before the data file is replaced;
    # then the directory.
    before = {".purge": min(link, rename), ".undo": min(named + [rename])}
    for temp in temps:
        deadline = before.get(os.path.splitext(temp)[1], rename)
        assert any(i < deadline for i in synced if trace[i].split(" ", 1)[1] == temp), temp
    assert link < rename and all(link < i < rename for i in named)
    assert len(named) == (op_name == "purge_withdrawn")
    assert any(i > rename and trace[i] == "fsync " + os.path.dirname(trace[rename].split(" ", 1)[1])
               for i in synced)


TORN_WRITES = {
    "track": ("kx.track({'torn': 'after'}, 'f.jsonl', [s], d, token_count=3, tokenizer='tok')",
              "kx.blame(d, 'f.jsonl', '{\"torn\": \"after\"}') and "
              "kx.token_index_merge_pid_files(d, 'tok') and kx.token_index_token_status(d, 'tok')['total_tokens'] == 3"),
    "author_add": ("kx.author_add('After Tear', 'after@example.org', d)",
                   "kx.author_query(d, 'After Tear', None)"),
    "register_section": ("h = kx.register_section('after.txt', [], [], 'MIT', '2024', d)",
                         "kx.shard_read(d, 'sections', h)"),
    "index_document": ("kx.index_document(d, 'ab' * 32, 'f.jsonl', [s])",
                       "kx.lookup_document(d, 'ab' * 32)"),
    "oplog_append": ("kx.oplog_append(d, 'after', 'tear')",
                     "read_bytes(d + '/.kx/log').split(b'\\n')[-2].split(b' ')[1:] == [b'after', b'tear']"),
}


@pytest.mark.parametrize("name", sorted(TORN_WRITES))
def test_an_append_after_a_torn_line_keeps_its_record(name, tmp_path):
    """A writer killed inside an append leaves a line without its line feed
    at the end of a file; the next append must not be glued to it."""
    write, found = TORN_WRITES[name]

    def fresh_store(folder):
        d = str(tmp_path / folder)
        kx.init(d)
        return {"kx": kx, "d": d, "read_bytes": read_bytes,
                "s": kx.register_section("s.txt", [], [], "MIT", "2024", d)}

    # The files this write appends to, learnt on a scratch store.
    scratch = fresh_store("scratch")
    before = snapshot(scratch["d"])[0]
    exec(write, scratch)
    grown = [rel for rel, data in snapshot(scratch["d"])[0].items() if before.get(rel) != data]
    assert grown
    run = fresh_store("torn")
    for rel in grown:
        with open(os.path.join(run["d"], rel), "ab") as f:
            f.write(b'{"line_hash":"torn piece of a rec')
    exec(write, run)
    assert eval(found, run), name
