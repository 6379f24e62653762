"""Reading back and carrying out: get, upsert, items, and export/import in both formats.

    python bench/io.py [--points N] [--dir DIR] [--json OUT] [--tiny]

Fills a store with N points (small metadata), then times N lookups by id, N/10 upserts of
random live ids, one full walk of items(), one filtered walk, and an export and import of the
whole store as GeoJSON and (when pyarrow is installed) as GeoParquet.
"""

import argparse
import json
import os
import random
import shutil
import tempfile
import time

import vesko

from add import make_points


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def import_against_add_many(root, points):
    """import_parquet of a file in the layout GeoPandas writes (a GeoArrow point column and
    one column per property, an integer id) against add_many of the same points from lists:
    the importer's floor."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    metas = [json.loads(p[3]) for p in points]
    table = pa.table({
        "fid": pa.array(range(len(points)), pa.int64()),
        "category": [m["category"] for m in metas],
        "rating": [m["rating"] for m in metas],
        "pop": [m["pop"] for m in metas],
        "geometry": pa.StructArray.from_arrays(
            [pa.array([p[2] for p in points]), pa.array([p[1] for p in points])],
            names=["x", "y"]),
    })
    path = os.path.join(root, "columns.parquet")
    pq.write_table(table, path)
    read, import_secs = timed(lambda: vesko.import_parquet(
        path, vesko.Vesko(os.path.join(root, "import-columns"))))
    ids, lats, lons = [p[0] for p in points], [p[1] for p in points], [p[2] for p in points]
    texts = [p[3] for p in points]
    target = vesko.Vesko(os.path.join(root, "add-many"))
    _, add_secs = timed(lambda: target.add_many(ids, lats, lons, texts))
    return [("import parquet (GeoArrow, property columns)", read, import_secs),
            ("add_many (same points, from lists)", len(points), add_secs)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--dir", default=None, help="scratch directory (default: a temporary one)")
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    n = 2_000 if args.tiny else args.points

    points = make_points(n)
    root = args.dir or tempfile.mkdtemp(prefix="vesko-bench-io-")
    rows = []
    try:
        db = vesko.Vesko(os.path.join(root, "store"))
        for p in points:
            db.add(*p)
        rng = random.Random(3)
        ids = [p[0] for p in points]
        probes = [rng.choice(ids) for _ in range(n)]

        _, secs = timed(lambda: [db.get(i) for i in probes])
        rows.append(("get", n, secs))
        changes = [(rng.choice(ids), rng.uniform(-60, 60), rng.uniform(-170, 170))
                   for _ in range(max(1, n // 10))]
        _, secs = timed(lambda: [db.upsert(i, lat, lon, '{"category": "moved"}')
                                 for i, lat, lon in changes])
        rows.append(("upsert", len(changes), secs))
        walked, secs = timed(lambda: sum(1 for _ in db.items()))
        rows.append(("items (all)", walked, secs))
        walked, secs = timed(lambda: sum(1 for _ in db.items('{"category": "cat03"}')))
        rows.append(("items (filtered)", walked, secs))

        formats = ["geojson"]
        try:
            import pyarrow.parquet  # noqa: F401  (imported before the clock starts)

            formats.append("parquet")
        except ImportError:
            print("pyarrow is not installed: GeoParquet skipped")
        for fmt in formats:
            path = os.path.join(root, "points." + fmt)
            written, secs = timed(lambda: db.export(path))
            rows.append((f"export {fmt}", written, secs))
            target = vesko.Vesko(os.path.join(root, "import-" + fmt))
            importer = vesko.import_parquet if fmt == "parquet" else vesko.import_geojson
            read, secs = timed(lambda: importer(path, target))
            rows.append((f"import {fmt}", read, secs))
            assert read == written == len(db)
        if "parquet" in formats:
            rows.extend(import_against_add_many(root, points))
    finally:
        if args.dir is None:
            shutil.rmtree(root, ignore_errors=True)

    print(f"| operation | points | seconds | points per second |  (store of {n:,} points)")
    print("| --- | ---: | ---: | ---: |")
    for name, count, secs in rows:
        print(f"| {name} | {count:,} | {secs:.3f} | {count / secs:,.0f} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"points": n, "rows": [{"operation": r[0], "points": r[1], "seconds": r[2]}
                                             for r in rows]}, f, indent=2)


if __name__ == "__main__":
    main()
