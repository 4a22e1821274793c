#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses, one directory per target.

The seeds are small valid inputs of each format, written here from the file
formats themselves (not through the module under test), plus a few broken
ones, so that the fuzzer starts from inputs that get past every header
check.  Usage: make_seeds.py OUT_DIR
"""
import hashlib
import json
import os
import random
import struct
import sys


def h(text):
    return hashlib.sha256(text.encode()).hexdigest()


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


# --------------------------------------------------------------------- JSON

JSON_SEEDS = [
    "null", "true", "false", "0", "-0", "18446744073709551615", "18446744073709551616",
    "-9223372036854775808", "-9223372036854775809", "1.5", "-2.5e-7", "1E+300", "1e400",
    "1e-400", "0.1", "123456789012345678901234567890", '""', '"plain"',
    '"esc \\" \\\\ \\/ \\b \\f \\n \\r \\t \\u0000 \\u001f \\u00e9 \\ud83d\\ude00"',
    '"\\ud800"', '"\\udc00x"', '"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"', '"\xed\xa0\x80"',
    "[]", "{}", "[1,[2,[3,{}]]]", '{"b":1,"a":2,"a":3}', ' { "k" : [ true , null ] } ',
    '{"file":"data.jsonl","line_hash":"%s","revoked":false,"sources":["%s"]}' % (h("l"), h("s")),
    '{"id":"%s","name":"Ada","email":"ada@example.org","revoked":false}' % h("a"),
    "[" * 129 + "]" * 129, "[" * 128 + "]" * 128, "[1,]", '{"a":}', "tru", "01", "-", "1.",
    "1e", '"\x01"', "NaN", "Infinity", "[1 2]", '{"a" 1}', "\t\r\n 7 \n",
]


def json_seeds():
    # Every character is below U+0100: latin-1 gives the bytes as written.
    return [s.encode("latin-1") for s in JSON_SEEDS]


# -------------------------------------------------------------- JSON Lines

def record_lines():
    a, s = h("author"), h("section")
    author = {"id": a, "name": "Ada", "email": "ada@example.org", "revoked": False}
    section = {"section_hash": s, "path": "src/a.py", "authors": [a], "contributors": [],
               "license": "MIT", "year": "2024"}
    return [
        '{"file":"d.jsonl","line_hash":"%s","revoked":false,"sources":["%s","%s"]}' % (h("x"), s, a),
        canonical({"file": "d", "line_hash": h("y"), "revoked": True, "sources": []}),
        json.dumps([h("z"), "d", [s]]),
        json.dumps(author, separators=(",", ":")),
        canonical(dict(author, revoked=True)),
        json.dumps(section, separators=(",", ":")),
        canonical(dict(section, revoked=True)),
        '{"token_count":12,"sources":["%s"],"tokenizer":"gpt","revoked":false}' % s,
        canonical({"token_count": 3, "sources": [s, s.upper()], "tokenizer": "gpt", "revoked": True}),
        json.dumps([7, [s], "gpt", False]),
        '{"token_count":1.0,"sources":[],"tokenizer":"t","revoked":false}',
        '{"token_count":-1,"sources":[],"tokenizer":"t","revoked":false}',
        '{"token_count":1,"sources":["\\u0061bc"],"tokenizer":"t","revoked":false,"extra":1}',
        '{"name":"Ad\\u00e9","email":"e","id":"i","revoked":false}',
        "not json", "", "\r", "[1,2", '{"file":"f"}',
    ]


def jsonl_seeds():
    lines = record_lines()
    seeds = []
    for flags in (0x00, 0x7F, 0xFF, 0x15):
        seeds.append(bytes([flags]) + "\n".join(lines).encode())
        seeds.append(bytes([flags]) + "\r\n".join(lines[:6]).encode() + b"\n\n")
    for line in lines:
        seeds.append(b"\x3f" + line.encode() + b"\n")
    return seeds


# ---------------------------------------------------------------- index.bin

def encode_refs(refs):
    out = b""
    for ref in refs:
        if isinstance(ref, int):
            out += bytes([0, ref])
        else:
            name, number, offset, length = ref
            out += bytes([1, len(name)]) + name + struct.pack("<HII", number, offset, length)
    return out


def index_bin(entries, line_offsets=None):
    entries = sorted(entries, key=lambda e: e[0])
    table = [0] * 256
    body = b""
    offset = 24
    for i, (key, refs) in enumerate(entries):
        if i == 0 or entries[i - 1][0][0] != key[0]:
            table[key[0]] = offset
        records = encode_refs(refs)
        body += key + struct.pack("<H", len(records)) + records
        offset += 34 + len(records)
    data = b"KXIDXF02" + struct.pack("<IIQ", len(entries), 0, offset) + body
    data += b"".join(struct.pack("<Q", v) for v in table)
    if line_offsets is not None:
        data += struct.pack("<I", len(line_offsets)) + b"".join(struct.pack("<I", v) for v in line_offsets)
    return data


def binary_index_seeds():
    keys = [bytes.fromhex(h(str(i))) for i in range(6)]
    same_bucket = [bytes([0x3F]) + bytes.fromhex(h(str(i)))[1:] for i in range(3)]
    seeds = [
        b"\x00" + index_bin([]),
        b"\x00" + index_bin([(keys[0], [0x3F, 0x00])]),
        b"\x00" + index_bin([(k, [i, (b"gpt", 1, 10 * i, 5)]) for i, k in enumerate(keys)], [0, 5, 9]),
        b"\x00" + index_bin([(k, [1]) for k in same_bucket] + [(same_bucket[1], [2])]),
        b"\x00" + b"KXIDXF01" + bytes(2100),
        b"\x00" + b"KXIDXF02" + bytes(100),
    ]
    rng = random.Random(1)
    for _ in range(6):
        seeds.append(b"\x01" + bytes(rng.randrange(256) for _ in range(rng.randrange(8, 120))))
    return seeds


# ------------------------------------------------------- token binary index

def token_bin(entries, sources):
    """entries: (file_id, offset, length, revoked); sources: {hash bytes: [ids]}"""
    sources_offset = 64 + 16 * len(entries)
    records = b""
    buckets = [0] * 256
    previous = None
    for key in sorted(sources):
        if previous is None or previous[0] != key[0]:
            buckets[key[0]] = sources_offset + len(records)
        ids = sources[key]
        records += key + struct.pack("<H", len(ids)) + b"".join(struct.pack("<I", i) for i in ids)
        previous = key
    buckets_offset = sources_offset + len(records)
    header = b"KXIDXTI01" + struct.pack("<IIIIII", 1, len(entries), len(sources), 64, sources_offset,
                                        buckets_offset) + bytes(31)
    body = b"".join(struct.pack("<HIIB", *e) + bytes(5) for e in entries)
    return header + body + records + b"".join(struct.pack("<Q", b) for b in buckets)


def token_bin_index_seeds():
    s = [bytes.fromhex(h(str(i))) for i in range(4)]
    shared = [bytes([7]) + k[1:] for k in s[:2]]
    seeds = [
        b"\x00\x00" + token_bin([], {}),
        b"\x00\x05" + token_bin([(1, 0, 70, 0)], {s[0]: [0]}),
        b"\x00\x07" + token_bin([(1, 0, 70, 0), (1, 71, 70, 1), (2, 0, 9, 1)],
                                {s[0]: [0, 0, 2], s[1]: [1], shared[0]: [2], shared[1]: [0, 1]}),
        b"\x00\x03" + b"KXIDXTI01" + bytes(60),
        b"\x00\x01" + b"KXIDXTI01" + struct.pack("<I", 2) + bytes(60),
    ]
    rng = random.Random(2)
    for _ in range(6):
        seeds.append(b"\x01" + bytes(rng.randrange(256) for _ in range(rng.randrange(8, 160))))
    return seeds


# --------------------------------------------------------------- blame_diff

def blame_diff_seeds():
    rng = random.Random(3)
    seeds = [b"\x00", b"\x01", b"\x01a\nb\nc\x00a\nx\nc", b"\x01\n\n\x00\n", b"\x01a\nb\x00",
             b"\x01\x00a\nb"]
    for mode in (0, 2, 4, 14):
        for _ in range(3):
            n = rng.randrange(0, 40)
            seeds.append(bytes([mode, n]) + bytes(rng.randrange(256) for _ in range(rng.randrange(0, 80))))
    text = "\n".join(rng.choice(["a", "b", "{", "}", "", "x = 1"]) for _ in range(30))
    edited = text.replace("a", "c", 3)
    seeds.append(b"\x01" + text.encode() + b"\x00" + edited.encode())
    return seeds


TARGETS = {
    "fuzz_json": json_seeds,
    "fuzz_jsonl": jsonl_seeds,
    "fuzz_binary_index": binary_index_seeds,
    "fuzz_token_bin_index": token_bin_index_seeds,
    "fuzz_blame_diff": blame_diff_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for target, make in TARGETS.items():
        out = os.path.join(sys.argv[1], target)
        os.makedirs(out, exist_ok=True)
        for i, seed in enumerate(make()):
            with open(os.path.join(out, "seed-%03d" % i), "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main()
