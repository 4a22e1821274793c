"""gzip and zstd data files: tracked, blamed, counted and purged as their
decompressed content, and written back in their own format."""

import gzip
import json
import os
import shutil
import struct
import subprocess
import zlib

import pytest

from test_cli import ADA, MEMOS, example_records, project, tracked  # noqa: F401 (fixtures)


def gzip_members(content):
    """Two gzip members, one after the other, as parallel compressors write,
    then zero bytes padding the file to a block, which gzip takes as its end."""
    half = len(content) // 2
    return gzip.compress(content[:half]) + gzip.compress(content[half:], compresslevel=1) + bytes(9)


def zstd_frames(content):
    """Two zstd frames (with checksums), one after the other."""
    if shutil.which("zstd") is None:
        pytest.skip("the zstd command is not installed, and Python has no zstd module")
    half = len(content) // 2
    run = lambda part: subprocess.run(["zstd", "-q", "-c"], input=part, capture_output=True, check=True).stdout
    return run(content[:half]) + run(content[half:])


def unzstd(data):
    return subprocess.run(["zstd", "-q", "-d", "-c"], input=data, capture_output=True, check=True).stdout


FORMATS = {"gzip": (".gz", gzip_members, gzip.decompress, b"\x1f\x8b"),
           "zstd": (".zst", zstd_frames, unzstd, b"\x28\xb5\x2f\xfd")}


def twin_content():
    """Lines in every form a tracked data file may hold them: a carriage
    return, a blank line, keys in another order, and no line feed at the
    end."""
    lines = [json.dumps(r) for r in example_records()]
    lines[3] += "\r"
    lines.insert(10, "")
    lines[20] = json.dumps(dict(reversed(list(example_records()[19].items()))), indent=1).replace("\n", " ")
    return "\n".join(lines).encode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def records_of(project, name):
    """The document records of the data file `name`, without the name."""
    found = []
    folder = project.path(os.path.join(".kx", "document-index"))
    for shard in sorted(os.listdir(folder)):
        if len(shard) == 2:
            with open(os.path.join(folder, shard), encoding="utf-8") as f:
                found += [r for r in map(json.loads, f) if r.pop("file") == name]
    return sorted(found, key=json.dumps)


@pytest.mark.parametrize("fmt", sorted(FORMATS))
def test_a_compressed_file_is_tracked_blamed_purged_and_restored_as_its_plain_twin(project, fmt):
    suffix, compress, decompress, magic = FORMATS[fmt]
    content = twin_content()
    packed = "twin.jsonl" + suffix
    with open(project.path("twin.jsonl"), "wb") as f:
        f.write(content)
    with open(project.path(packed), "wb") as f:
        f.write(compress(content))

    tracked = {name: project.json("track", name, "--source", MEMOS, "--tokenizer", "whitespace")
               for name in ("twin.jsonl", packed)}
    assert {**tracked[packed], "file": "twin.jsonl"} == tracked["twin.jsonl"]
    assert records_of(project, packed) == records_of(project, "twin.jsonl") != []
    blamed = {name: project.json("blame", name) for name in ("twin.jsonl", packed)}
    # Each file lists its own records first; else the rows are the same.
    rows = {name: [{**row, "file": "twin.jsonl", "records": sorted(row["records"], key=json.dumps)} for row in found]
            for name, found in blamed.items()}
    assert rows[packed] == rows["twin.jsonl"]
    assert all(row["records"][0]["file"] == packed for row in blamed[packed] if row["records"])
    assert len(blamed[packed]) == content.count(b"\n")  # every line but the blank one
    status = {name: project.json("status", name)["files"][0] for name in ("twin.jsonl", packed)}
    assert {**status[packed], "file": "twin.jsonl"} == status["twin.jsonl"]

    project.ok("revoke", "--author", "Grace Okafor")
    project.ok("index", "build")
    for args in (["--dry-run"], ["--author", "Grace Okafor", "--dry-run"], []):
        counts = [project.json("purge", name, *args) for name in ("twin.jsonl", packed)]
        assert [(c["purged"], c["kept"]) for c in counts] == [(counts[0]["purged"], counts[0]["kept"])] * 2
        assert counts[0]["purged"] > 0
    assert read(project.path(packed)).startswith(magic)
    purged_plain = read(project.path("twin.jsonl"))
    assert decompress(read(project.path(packed))) == purged_plain != content
    assert project.json("purge", "--undo", "--force", packed)["outcome"] == "exact"
    assert project.json("purge", "--undo", "--force", "twin.jsonl")["outcome"] == "exact"
    assert decompress(read(project.path(packed))) == content == read(project.path("twin.jsonl"))

    # By author, at a level of one's own; an undo at another level gives the
    # same content.
    project.ok("purge", packed, "--author", "Grace Okafor", "--level", "1")
    assert decompress(read(project.path(packed))) == purged_plain
    assert "not one" in project.kx("purge", "--undo", "--force", packed, "--level", "99").stderr
    assert decompress(read(project.path(packed))) == purged_plain
    assert project.json("purge", "--undo", "--force", packed, "--level", "9")["outcome"] == "exact"
    assert decompress(read(project.path(packed))) == content

    # Content enough for several gzip members (compressed on threads at
    # once) is written back whole and in order.
    gone = min(set(content.split(b"\n")) - set(purged_plain.split(b"\n")))
    big = b"".join(b'{"n": %d}\n' % i + (gone + b"\n" if i % 1000 == 0 else b"") for i in range(1_000_000))
    with open(project.path("big.jsonl" + suffix), "wb") as f:
        f.write(compress(big))
    assert project.json("purge", "big.jsonl" + suffix)["purged"] == 1000
    assert decompress(read(project.path("big.jsonl" + suffix))) == big.replace(gone + b"\n", b"")
    assert project.json("purge", "--undo", "--force", "big.jsonl" + suffix)["outcome"] == "exact"
    assert decompress(read(project.path("big.jsonl" + suffix))) == big


def gzip_member_with_header_crc(data):
    """A gzip member whose header has a CRC of its own (FHCRC), stored
    uncompressed, so that its size follows the content's."""
    header = b"\x1f\x8b\x08\x02" + bytes(6)
    header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    deflate = zlib.compressobj(0, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    return header + body + struct.pack("<II", zlib.crc32(data), len(data))


def test_a_gzip_member_header_cut_by_a_read_is_read_whole(project):
    """The second member's header starts 5 bytes before the first 1 MiB of
    the file ends, so the reader gets it in two pieces."""
    line = lambda i, pad=0: b'{"text": "line %d %s"}\n' % (i, b"x" * pad)
    first = b"".join(line(i, 90) for i in range(9_000))
    pad = (1 << 20) - 5 - len(gzip_member_with_header_crc(first))
    first += line(9_000, pad - len(line(9_000)))
    assert len(gzip_member_with_header_crc(first)) == (1 << 20) - 5
    second = b"".join(line(i) for i in range(9_001, 9_100))
    with open(project.path("cut.jsonl.gz"), "wb") as f:
        f.write(gzip_member_with_header_crc(first) + gzip_member_with_header_crc(second))
    assert project.json("track", "cut.jsonl.gz", "--source", ADA)["lines"] == 9_100


def flipped(data):
    """`data` with 8 bytes three quarters in inverted."""
    data, middle = bytearray(data), len(data) * 3 // 4
    data[middle : middle + 8] = bytes(b ^ 0x5A for b in data[middle : middle + 8])
    return bytes(data)


DAMAGES = {
    "gzip cut inside the second member": ("gzip", lambda data: data[: len(data) * 3 // 4]),
    "gzip with bytes flipped": ("gzip", flipped),
    "gzip with data after its zero padding": ("gzip", lambda data: data + b"kx"),
    "zstd with bytes flipped": ("zstd", flipped),
}


@pytest.mark.parametrize("damage, told", [
    (lambda g: g[:-8] + bytes([g[-8] ^ 0xFF]) + g[-7:], "CRC error: "),
    (lambda g: g + b"kx", "data after the end of the last gzip member is not gzip data"),
    (lambda g: g + b"not gzip at all, but longer than a header", "is not gzip data"),
])
def test_a_damaged_gzip_file_is_told_what_is_wrong(project, damage, told):
    # The whole member was read when its checksum fails or when garbage
    # follows it: neither is a stream cut short, nor found before any content.
    content = b"".join(b'{"n": %d}\n' % i for i in range(2000))
    with open(project.path("bad.jsonl.gz"), "wb") as f:
        f.write(damage(gzip.compress(content)))
    done = project.kx("track", "bad.jsonl.gz", "--source", ADA)
    assert told in done.stderr and f"(after {len(content)} bytes of content)" in done.stderr, done.stderr
    assert "cut short" not in done.stderr


@pytest.mark.parametrize("damage", sorted(DAMAGES))
def test_a_damaged_compressed_file_fails_with_its_name_and_changes_nothing(project, damage):
    fmt, damaged = DAMAGES[damage]
    suffix, compress, _, _ = FORMATS[fmt]
    data = damaged(compress(twin_content()))
    name = "bad.jsonl" + suffix
    path = project.path(name)
    with open(path, "wb") as f:
        f.write(data)
    project.ok("revoke", "--author", "Grace Okafor")
    project.ok("index", "build")
    store = project.path(".kx")
    before = {os.path.relpath(os.path.join(d, f), store): read(os.path.join(d, f))
              for d, _, files in os.walk(store) for f in files if f != "oplog.jsonl"}
    for args in (["track", name, "--source", ADA], ["blame", name], ["status", name],
                 ["purge", name], ["purge", name, "--dry-run"], ["purge", name, "--author", "Grace Okafor"]):
        done = project.kx(*args)
        assert done.returncode != 0, args
        [message] = done.stderr.splitlines()
        assert message.startswith("kx: error: ") and name in message and "damaged" in message, message
    after = {os.path.relpath(os.path.join(d, f), store): read(os.path.join(d, f))
             for d, _, files in os.walk(store) for f in files if f != "oplog.jsonl"}
    assert after == before
    assert read(path) == data
    assert sorted(os.listdir(project.root)) == sorted(["bad.jsonl" + suffix, ".kx", "train.jsonl"])
