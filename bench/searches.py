"""Search latency on a large clustered store: the usual queries, selective filters, the poles.

    python bench/searches.py [--points N] [--queries Q] [--tiny]

N points clustered around real places (bench/harness/workload.py) plus a tenth spread
uniformly in latitude and longitude (so crowded near the poles); one point in a thousand carries "sel": "yes". Prints the
median milliseconds and queries per second of each query kind over Q query centres, and the
hits per query. The filtered and polar rows come with the same query without the filter or at
a mid latitude, so that the ratio shows what the filter or the position costs.
"""

import argparse
import math
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import workload  # noqa: E402

import vesko  # noqa: E402

SEL = '{"sel": "yes"}'


def build(path, n, seed=17):
    ds = workload.make_clustered(n)
    rng = np.random.default_rng(seed)
    u = n // 10
    lats = rng.uniform(-90, 90, u).astype(np.float32)
    lons = rng.uniform(-180, 180, u).astype(np.float32)
    selected = set(rng.choice(n + u, size=(n + u) // 1000, replace=False).tolist())
    db = vesko.Vesko(path)
    add = db.add
    rows = zip(ds.ids + [f"u{i}" for i in range(u)],
               ds.lats.tolist() + lats.tolist(), ds.lons.tolist() + lons.tolist(),
               ds.metas + ['{"category": "uniform"}'] * u)
    for i, (ext_id, lat, lon, meta) in enumerate(rows):
        if i in selected:
            meta = meta[:-1] + ', "sel": "yes"}'
        add(ext_id, lat, lon, meta)
    return db, workload.make_queries(ds, 1_000, 0)


def timed(call, args_list):
    times, hits = [], 0
    for args in args_list:
        t0 = time.perf_counter()
        hits += len(call(*args))
        times.append(time.perf_counter() - t0)
    return statistics.median(times), hits / len(args_list)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    n, q = (20_000, 10) if args.tiny else (args.points, args.queries)

    root = tempfile.mkdtemp(prefix="vesko-searches-")
    try:
        t0 = time.perf_counter()
        db, queries = build(os.path.join(root, "store"), n)
        built_s = time.perf_counter() - t0
        c = queries.centres[:q]
        few = c[: max(3, q // 10)]
        pole = [(89.99, 45.0 + i) for i in range(len(few))]
        south = [(-89.99, -100.0 + i) for i in range(len(few))]
        mid = [(45.0, 45.0 + i) for i in range(len(few))]
        rows = [
            ("radius 10 km", db.search_radius, [(la, lo, 10000.0) for la, lo in c]),
            ("box 0.1 deg", db.search_box, [b for b in queries.boxes[:q]]),
            ("polygon", db.search_polygon, [(p,) for p in queries.polygons[:q]]),
            ("radius 1 km", db.search_radius, [(la, lo, 1000.0) for la, lo in c]),
            ("knn k=10", db.search_knn, [(la, lo, 10) for la, lo in c]),
            ("knn k=10 sel 0.1%", db.search_knn, [(la, lo, 10, SEL) for la, lo in c]),
            ("radius 10 km sel", db.search_radius, [(la, lo, 10000.0, SEL) for la, lo in c]),
            ("radius earth sel", db.search_radius, [(la, lo, 2.1e7, SEL) for la, lo in few]),
            ("knn k=10 (45, x)", db.search_knn, [(la, lo, 10) for la, lo in mid]),
            ("knn k=10 (89.99, x)", db.search_knn, [(la, lo, 10) for la, lo in pole]),
            ("knn k=10 (-89.99, x)", db.search_knn, [(la, lo, 10) for la, lo in south]),
            ("radius 200 km lat 45", db.search_radius, [(45.0, lo, 2e5) for _, lo in mid]),
            ("radius 200 km lat 89.9", db.search_radius, [(89.9, lo, 2e5) for _, lo in pole]),
        ]
        print(f"{db.count():,} points ({n:,} clustered + a uniform tenth), built in "
              f"{built_s:.0f} s; medians over {q} centres ({len(few)} for the rarer rows)")
        print(f"{'query':<24}{'ms':>9}{'q/s':>10}{'hits':>9}")
        for name, call, args_list in rows:
            s, hits = timed(call, args_list)
            print(f"{name:<24}{s * 1e3:>9.3f}{1 / s:>10,.0f}{hits:>9,.0f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
