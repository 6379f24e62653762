#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/, from stores that the
installed module writes (plus the run-container forms the store only reads, and search cases
at the poles and the antimeridian). Inputs that fuzzing found are kept under names starting
"found-". Run it again after a format change:

    .venv/bin/python fuzz/make_corpus.py
"""

import json
import struct
import sys
import tempfile
from pathlib import Path

import vesko

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
from snapshot_format import encode_snapshot, parse_snapshot, remap_ids  # noqa: E402

METAS = [
    {"c": "x", "n": 1, "flag": True},
    {"c": "y", "n": 2.5, "flag": False, "tags": ["a", "b", 3]},
    {"c": "é✓", "n": -7, "nested": {"k": None, "j": [1.5e300, -0.0]}},
    {"n": 18446744073709551615, "m": -9223372036854775808},
    {},
]


def store_files(build):
    """snapshot.bin (or None) and wal.bin of a store that `build(db)` filled."""
    with tempfile.TemporaryDirectory() as tmp:
        db = vesko.Vesko(tmp)
        build(db)
        if hasattr(db, "close"):
            db.close()
        del db
        snapshot = Path(tmp, "snapshot.bin")
        return (snapshot.read_bytes() if snapshot.exists() else None,
                Path(tmp, "wal.bin").read_bytes())


def fill(db, n, start=0):
    for i in range(start, start + n):
        meta = METAS[i % len(METAS)]
        skip = ["flag"] if i % 7 == 3 else None
        db.add(f"p{i}", (i * 13 % 170) - 85.0, (i * 37 % 358) - 179.0, json.dumps(meta), skip)


def stores():
    """(name, snapshot bytes or None, wal bytes) of a few stores."""
    out = []

    def empty_persisted(db):
        db.persist()

    def small_log(db):
        fill(db, 12)
        db.delete("p3")
        db.delete("absent")
        db.delete_by_filter('{"c": "y"}')

    def snapshot_and_log(db):
        fill(db, 30)
        db.delete("p5")
        db.persist()
        fill(db, 6, start=30)
        db.delete("p31")

    def antimeridian(db):
        for i, (lat, lon) in enumerate([(0.0, 180.0), (0.0, -180.0), (89.99, 179.99),
                                        (-90.0, -150.0), (45.0, 0.0)]):
            db.add(f"a{i}", lat, lon, "{}")
        db.persist()

    def vacuumed(db):
        fill(db, 20)
        for i in range(0, 20, 3):
            db.delete(f"p{i}")
        db.vacuum()
        fill(db, 3, start=100)

    for name, build in [("empty", empty_persisted), ("small-log", small_log),
                        ("snapshot-and-log", snapshot_and_log), ("antimeridian", antimeridian),
                        ("vacuumed", vacuumed)]:
        snapshot, wal = store_files(build)
        out.append((name, snapshot, wal))
    return out


def run_form_snapshots(snapshot):
    """Forms the store reads but never writes: every bitmap as run containers, and live ids at
    the top of the first container (a run that ends at 65535) above a run of deleted ids."""
    parsed = parse_snapshot(snapshot)
    used = sorted(parsed["valid_ids"] | parsed["deleted"])
    top = remap_ids(parsed, {i: 65536 - len(used) + n for n, i in enumerate(used)})
    top["deleted"] |= set(range(0, 65536 - len(used)))
    return [("runs", encode_snapshot(parsed, runs=True)),
            ("run-ending-at-65535", encode_snapshot(top, runs=True))]


FILTERS = [
    '{}', '{"c": "x"}', '{"c": {"$in": ["x", "y"]}}', '{"n": {"$gte": 1, "$lt": 3}}',
    '{"n": {"$ne": 2.5}}', '{"flag": true}', '{"$or": [{"c": "z"}, {"n": -7}]}',
    '{"$and": [{"flag": false}, {"n": {"$gt": 0}}]}', '{"$not": {"c": "x"}}',
    '{"_id": "p1"}', '{"id": {"$nin": ["p2", "p3"]}}', '{"c": {"$eq": "true"}}',
    '{"n": {"$lte": 1e30}}', '{"$and": 5, "c": "x"}', '{"n": {"$in": [1, {"$gt": 2}]}}',
    '[1, 2]', 'null', '"x"', '{"c": {"$regex": "x"}}', '{"n": 18446744073709551615}',
]

# Metadata texts: flat objects (ASCII and UTF-8), nested ones, bytes that are not UTF-8, texts
# that are not objects.
METADATA = [json.dumps(m, ensure_ascii=False).encode("utf-8") for m in METAS] + [
    b'{"name": "Takht-e Qey\xc5\x9far", "country": "IR", "population": 1266}',
    b'{"k": 1, "k": "two", "\xd0\xba": true, "z": null}',
    b'{ "n" : -0.0 , "m" : 1e999 , "s" : "\\u00e9" }',
    b'{"s": "\xed\xa0\x80"}', b'{"s": "\xf4\x90\x80\x80"}', b'{"s": "a\x7f"}',
    b'{"n": 123456789012345678, "m": 1234567890123456789}', b'[1]', b'{"a": 1,}',
]


def draw_float(value):
    """A float in the raw-bits form of the search target's decoder."""
    return bytes([2]) + struct.pack("<f", value)


def draw_position(lat, lon):
    # where = 200 takes the longitude from the whole range, given here as raw bits.
    return bytes([200]) + draw_float(lat) + draw_float(lon)


def search_case(points, radius_query, knn_query, k, box, polygon):
    out = bytearray([len(points)])
    for lat, lon, in_group in points:
        out += draw_position(lat, lon) + bytes([in_group])
    for query in (radius_query, radius_query):
        out += draw_position(*query[:2]) + draw_float(query[2])
    out += draw_position(*knn_query) + bytes([k])
    out += draw_position(*box[0]) + draw_position(*box[1])
    out += bytes([len(polygon) - 3]) + b"".join(draw_position(*v) for v in polygon)
    return bytes(out)


SEARCHES = {
    "poles-and-edges": search_case(
        [(90.0, 0.0, 1), (-90.0, 180.0, 0), (89.9, -179.9, 1), (0.0, 0.0, 1), (45.0, 45.0, 0)],
        (89.0, 10.0, 3e5), (-89.5, 179.5), 3, ((90.0, -180.0), (-90.0, 180.0)),
        [(0, 0), (0, 50), (50, 50), (50, 0)]),
    "empty-store": search_case([], (0.0, 0.0, 1e6), (0.0, 0.0), 5, ((1.0, -1.0), (-1.0, 1.0)),
                               [(0, 0), (1, 1), (1, 0)]),
    # A point just north of every vertex, under the vertex that shares its longitude: the long
    # edge from near the south pole cancels in f32 and the crossing test alone calls it inside,
    # but it lies beyond the rectangle whose cells the search examines.
    "polygon-beyond-rectangle": search_case(
        [(float.fromhex("-0x1.91999ap-90"), float.fromhex("-0x1.67fa6p+7"), 0)],
        (0.0, 0.0, 1e6), (0.0, 0.0), 1, ((1.0, -1.0), (-1.0, 1.0)),
        [(float.fromhex("-0x1.67fa6p+6"), 179.0), (-90.0, 50.0),
         (float.fromhex("-0x1.000004p-23"), float.fromhex("-0x1.67fa6p+7"))]),
}


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def clear_generated():
    """Removes what an earlier run wrote, keeping the inputs fuzzing found (named found-*),
    which no store here reproduces."""
    for path in (HERE / "corpus").glob("*/*"):
        if path.is_file() and not path.name.startswith("found-"):
            path.unlink()


def main():
    clear_generated()
    made = stores()
    for name, snapshot, wal in made:
        if snapshot is not None:
            write("snapshot_decode_fuzz", name, snapshot)
        if wal:
            write("wal_decode_fuzz", name, wal)
        head = struct.pack("<I", 0xFFFFFFFF if snapshot is None else len(snapshot))
        write("store_open_fuzz", name, head + (snapshot or b"") + wal)
    with_snapshot = dict((n, s) for n, s, _ in made)["snapshot-and-log"]
    for name, snapshot in run_form_snapshots(with_snapshot):
        write("snapshot_decode_fuzz", name, snapshot)
        write("store_open_fuzz", name, struct.pack("<I", len(snapshot)) + snapshot)
    for i, text in enumerate(FILTERS):
        write("filter_fuzz", f"filter{i:02}", text.encode("utf-8"))
    for i, text in enumerate(METADATA):
        write("metadata_fuzz", f"metadata{i:02}", text)
    for name, data in SEARCHES.items():
        write("search_fuzz", name, data)
    total = sum(f.stat().st_size for f in (HERE / "corpus").rglob("*") if f.is_file())
    print(f"corpus: {total} bytes")


if __name__ == "__main__":
    main()
