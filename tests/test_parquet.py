"""Parquet data files: tracked, blamed, purged and restored row by row, each
row the JSON object of its columns, as their JSON Lines twin would be."""

import datetime
import decimal
import json
import os
import shutil
import subprocess
import sys

import pytest

import _kx_native as kx

from test_cli import ADA, MEMOS, example_records, project, tracked  # noqa: F401 (fixtures)
from test_compressed import read, records_of

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
np = pytest.importorskip("numpy")


def write_twins(project):
    """twin.jsonl and twin.parquet with the same rows; the table in row
    groups of 40 rows, zstd, with metadata of its own."""
    with open(project.path("twin.jsonl"), "w", encoding="utf-8") as f:
        f.writelines(json.dumps(r) + "\n" for r in example_records())
    table = pa.Table.from_pylist(example_records()).replace_schema_metadata({"origin": "twin"})
    pq.write_table(table, project.path("twin.parquet"), row_group_size=40, compression="zstd")
    return pq.read_table(project.path("twin.parquet"))


def layout(path):
    """(rows of each row group, the codecs of the columns, the schema)."""
    metadata = pq.ParquetFile(path).metadata
    groups = [metadata.row_group(i) for i in range(metadata.num_row_groups)]
    codecs = {g.column(c).compression for g in groups for c in range(g.num_columns)}
    return [g.num_rows for g in groups], codecs, pq.read_schema(path)


def archived_lines(project):
    """The lines of every purge archive, by archive name."""
    folder = project.path(os.path.join(".kx", "archive"))
    return {name: [json.loads(line)["line"] for line in open(os.path.join(folder, name), encoding="utf-8")]
            for name in os.listdir(folder) if name.startswith("purge.")}


def test_a_parquet_file_is_tracked_blamed_purged_and_restored_as_its_json_lines_twin(project):
    original = write_twins(project)
    names = ("twin.jsonl", "twin.parquet")
    tracked = {name: project.json("track", name, "--source-field", "source", "--tokenizer", "whitespace")
               for name in names}
    assert {**tracked["twin.parquet"], "file": "twin.jsonl"} == tracked["twin.jsonl"]
    assert records_of(project, "twin.parquet") == records_of(project, "twin.jsonl") != []
    blamed = {name: project.json("blame", name) for name in names}
    # Each file lists its own records first; else the rows are the same.
    rows = {name: [{**row, "file": "twin.jsonl", "records": sorted(row["records"], key=json.dumps)} for row in found]
            for name, found in blamed.items()}
    assert rows["twin.parquet"] == rows["twin.jsonl"]
    assert [row["line"] for row in blamed["twin.parquet"]] == list(range(1, original.num_rows + 1))
    status = {name: project.json("status", name)["files"][0] for name in names}
    assert {**status["twin.parquet"], "file": "twin.jsonl"} == status["twin.jsonl"]

    project.ok("revoke", "--author", "Grace Okafor")
    project.ok("index", "build")
    for args in (["--dry-run"], ["--author", "Grace Okafor", "--dry-run"], []):
        counts = [project.json("purge", name, *args) for name in names]
        assert [(c["purged"], c["kept"]) for c in counts] == [(counts[0]["purged"], counts[0]["kept"])] * 2
        assert counts[0]["purged"] > 0
    [twin_lines, table_lines] = [lines for _, lines in sorted(archived_lines(project).items())]
    assert table_lines == twin_lines
    # The purged table holds the rows the twin kept, with the table's
    # schema (and its metadata), codec and row-group size.
    kept = [json.loads(line) for line in open(project.path("twin.jsonl"), encoding="utf-8")]
    assert pq.read_table(project.path("twin.parquet")).to_pylist() == kept
    groups, codecs, schema = layout(project.path("twin.parquet"))
    assert groups == [40] * (len(kept) // 40) + [len(kept) % 40] * (len(kept) % 40 > 0)
    assert codecs == {"ZSTD"} and schema.equals(original.schema, check_metadata=True)

    for name in names:
        assert project.json("purge", "--undo", "--force", name)["outcome"] == "exact"
    assert pq.read_table(project.path("twin.parquet")).equals(original, check_metadata=True)
    assert layout(project.path("twin.parquet"))[0] == [40] * 7 + [20]
    assert os.listdir(project.path(os.path.join(".kx", "archive", "exact"))) == []

    # By author, and an undo after the table changed meanwhile: the rows go
    # back at their former indexes on request only.
    project.ok("purge", "twin.parquet", "--author", "Grace Okafor")
    purged = pq.read_table(project.path("twin.parquet"))
    pq.write_table(purged.slice(1), project.path("twin.parquet"))
    assert "changed since its purge" in project.kx("purge", "--undo", "--force", "twin.parquet").stderr
    assert project.json("purge", "--undo", "--force", "twin.parquet", "--by-position")["outcome"] == "by_position"
    assert pq.read_table(project.path("twin.parquet")).num_rows == original.num_rows - 1


def test_arrow_types_map_to_the_json_values_docs_parquet_md_gives(project):
    ts = datetime.datetime(2024, 1, 2, 3, 4, 5, 6)
    columns = {  # name: (Arrow array of a value and a null, the value's JSON)
        "null": (pa.array([None, None], pa.null()), None),
        "bool": (pa.array([True, None]), True),
        "i8": (pa.array([-128, None], pa.int8()), -128),
        "i64": (pa.array([-(2**63), None], pa.int64()), -(2**63)),
        "u16": (pa.array([65535, None], pa.uint16()), 65535),
        "u64": (pa.array([2**64 - 1, None], pa.uint64()), 2**64 - 1),
        "f16": (pa.array(np.array([1.5, np.nan], np.float16)), 1.5),
        "f32": (pa.array([0.1, None], pa.float32()), float(np.float32(0.1))),
        "f64_inf": (pa.array([float("inf"), 2.5]), None),
        "str": (pa.array(['tab\t é "q"', None]), 'tab\t é "q"'),
        "large_str": (pa.array(["x", None], pa.large_string()), "x"),
        "dec": (pa.array([decimal.Decimal("-12.50"), None], pa.decimal128(7, 2)), "-12.50"),
        "date": (pa.array([datetime.date(1969, 12, 31), None]), "1969-12-31"),
        "time_ms": (pa.array([datetime.time(13, 45, 7, 250000), None], pa.time32("ms")), "13:45:07.250"),
        "time_ns": (pa.array([45907250000001, None], pa.time64("ns")), "12:45:07.250000001"),
        "ts_ms": (pa.array([-1, None], pa.timestamp("ms")), "1969-12-31T23:59:59.999"),
        "ts_us": (pa.array([ts, None], pa.timestamp("us")), "2024-01-02T03:04:05.000006"),
        "ts_zoned": (pa.array([1_700_000_000_123_456_789, None], pa.timestamp("ns", tz="Europe/Paris")),
                     "2023-11-14T22:13:20.123456789Z"),
        "list": (pa.array([[1, None, 3], None]), [1, None, 3]),
        "large_list": (pa.array([["a"], None], pa.large_list(pa.string())), ["a"]),
        "fixed_list": (pa.array([[1, 2], None], pa.list_(pa.int8(), 2)), [1, 2]),
        "struct": (pa.array([{"z": 1, "a": [{"x": "y"}]}, None]), {"a": [{"x": "y"}], "z": 1}),
        "map": (pa.array([[("z", 1), ("a", 2)], None], pa.map_(pa.string(), pa.int64())),
                {"a": 2, "z": 1}),
        "int_map": (pa.array([[(7, "x")], None], pa.map_(pa.int32(), pa.string())), {"7": "x"}),
        "dictionary": (pa.array(["red", None]).dictionary_encode(), "red"),
        "source": (pa.array([ADA, MEMOS]), ADA),
    }
    table = pa.table({name: array for name, (array, _) in columns.items()})
    pq.write_table(table, project.path("types.parquet"))
    original = pq.read_table(project.path("types.parquet"))
    hashes = project.json("track", "types.parquet", "--source-field", "source")
    values = {name: value for name, (_, value) in columns.items()}
    nulls = {**{name: None for name in columns}, "f64_inf": 2.5, "source": MEMOS}
    assert hashes["first_hash"] == kx.compute_hash(values)
    assert hashes["last_hash"] == kx.compute_hash(nulls)
    # A Parquet file is known by its first bytes, whatever its name.
    shutil.copy(project.path("types.parquet"), project.path("types.jsonl"))
    assert project.json("track", "types.jsonl", "--source-field", "source")["first_hash"] == hashes["first_hash"]
    done = project.kx("track", "types.parquet", "--source-field", "str")
    assert done.stderr == "kx: error: types.parquet: row 2: field 'str' holds no section\n"
    # A map that repeats a key would hash like the map without the earlier
    # value: such a row is refused.
    repeated = pa.array([[("z", 1), ("z", 3)]], pa.map_(pa.string(), pa.int64()))
    pq.write_table(pa.table({"m": repeated, "source": pa.array([MEMOS])}), project.path("twice.parquet"))
    done = project.kx("track", "twice.parquet", "--source-field", "source")
    assert done.stderr.startswith("kx: error: twice.parquet: row 1: the key \"z\" appears more than once")

    # Every type goes through a purge and its undo unchanged.
    project.ok("revoke", "--author", "Ada Lindqvist")
    project.ok("purge", "types.parquet")
    assert list(archived_lines(project).values()) == [[values]]
    assert as_text(pq.read_table(project.path("types.parquet"))) == as_text(original.slice(1))
    project.ok("purge", "--undo", "--force", "types.parquet")
    assert as_text(pq.read_table(project.path("types.parquet"))) == as_text(original)


def as_text(table):
    """The schema and the rows of a table as text: unlike Table.equals, a NaN
    equals a NaN."""
    return table.schema.to_string(show_schema_metadata=True), [str(c) for c in table.combine_chunks().columns]


def cut_footer(path):
    with open(path, "rb+") as f:
        f.truncate(os.path.getsize(path) - 100)


def damage_last_row_group(path):
    """Garbles a page header of the last row group: the rows before it read."""
    metadata = pq.ParquetFile(path).metadata
    at = metadata.row_group(metadata.num_row_groups - 1).column(0).data_page_offset
    data = bytearray(read(path))
    data[at : at + 16] = bytes(b ^ 0x5A for b in data[at : at + 16])
    with open(path, "wb") as f:
        f.write(data)


def add_binary_column(path):
    table = pq.read_table(path)
    blobs = pa.array([{"blob": b"\x00\x01"}] * table.num_rows, pa.struct([("blob", pa.binary())]))
    pq.write_table(table.append_column("meta", blobs), path, row_group_size=40)


@pytest.mark.parametrize("damage, says", [
    (cut_footer, "damaged"),
    (damage_last_row_group, "damaged"),
    (add_binary_column, "column 'meta.blob' holds binary data"),
    (None, "pip install 'kx[parquet]'"),
])
def test_a_parquet_file_kx_cannot_read_fails_with_its_name_and_changes_nothing(
    project, tmp_path, kx_cli_env, damage, says
):
    write_twins(project)
    path = project.path("twin.parquet")
    run = project.kx
    if damage is None:
        # Without pyarrow: a module of its name that fails to import.
        (tmp_path / "blocked" / "pyarrow").mkdir(parents=True)
        (tmp_path / "blocked" / "pyarrow" / "__init__.py").write_text("raise ImportError('blocked')\n")
        env = dict(kx_cli_env, PYTHONPATH=os.pathsep.join([str(tmp_path / "blocked"), kx_cli_env["PYTHONPATH"]]))

        def run(*args):
            return subprocess.run([sys.executable, "-m", "kx", "-C", project.root, *args],
                                  env=env, capture_output=True, text=True)
    else:
        damage(path)
    data = read(path)
    project.ok("revoke", "--author", "Grace Okafor")
    project.ok("index", "build")
    store = project.path(".kx")
    before = {os.path.relpath(os.path.join(d, f), store): read(os.path.join(d, f))
              for d, _, files in os.walk(store) for f in files}
    for args in (["track", "twin.parquet", "--source", ADA], ["blame", "twin.parquet"], ["status", "twin.parquet"],
                 ["purge", "twin.parquet"], ["purge", "twin.parquet", "--dry-run"],
                 ["purge", "twin.parquet", "--author", "Grace Okafor"]):
        done = run(*args)
        assert done.returncode != 0, args
        [message] = done.stderr.splitlines()
        assert message.startswith("kx: error: ") and "twin.parquet" in message and says in message, message
    after = {os.path.relpath(os.path.join(d, f), store): read(os.path.join(d, f))
             for d, _, files in os.walk(store) for f in files}
    assert after == before
    assert read(path) == data
    assert sorted(os.listdir(project.root)) == sorted([".kx", "train.jsonl", "twin.jsonl", "twin.parquet"])
