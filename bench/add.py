"""Insert throughput (single and bulk), reopen (log replay) time, and the cost of sync.

    python bench/add.py [--points N] [--dir DIR] [--json OUT] [--tiny]

Adds N points with small metadata through Vesko.add, one call each, then drops the store and
opens it again, which replays the whole log. Then adds the same points to a fresh store with
one Vesko.add_many call (coordinates as numpy float64 arrays when numpy is installed, else
lists), persists, and five times adds 10,000 more points one by one and times the sync() that
makes them survive a power loss; and times a persist with nothing changed.
"""

import argparse
import gc
import json
import os
import random
import shutil
import statistics
import tempfile
import time

import vesko

CATEGORIES = [f"cat{i:02d}" for i in range(20)]


def make_points(n, seed=7):
    rng = random.Random(seed)
    centres = [(rng.uniform(-60, 70), rng.uniform(-180, 180)) for _ in range(200)]
    points = []
    for i in range(n):
        clat, clon = rng.choice(centres)
        meta = {"category": rng.choice(CATEGORIES), "rating": round(rng.uniform(0, 5), 1),
                "pop": rng.randrange(100000)}
        points.append((f"p{i}", clat + rng.gauss(0, 0.2), clon + rng.gauss(0, 0.2), json.dumps(meta)))
    return points


def bulk_and_sync(store_dir, points, rounds=5, extra=10_000):
    """Seconds for one add_many of `points` into a new store; then, after a persist, the
    milliseconds of each sync() that follows `extra` single adds; and of a persist with nothing
    changed since the last one."""
    ids = [p[0] for p in points]
    metas = [p[3] for p in points]
    try:
        import numpy as np

        lats = np.array([p[1] for p in points], dtype=np.float64)
        lons = np.array([p[2] for p in points], dtype=np.float64)
    except ImportError:
        lats = [p[1] for p in points]
        lons = [p[2] for p in points]
    db = vesko.Vesko(store_dir)
    gc.collect()
    start = time.perf_counter()
    db.add_many(ids, lats, lons, metas)
    bulk_s = time.perf_counter() - start
    assert db.count() == len(points)
    # The batch made durable first: each figure is the cost of making the 10,000 adds durable.
    db.persist()
    sync_ms = []
    more = make_points(extra * rounds, seed=8)
    for r in range(rounds):
        for ext_id, lat, lon, meta in more[r * extra:(r + 1) * extra]:
            db.add("x" + ext_id, lat, lon, meta)
        start = time.perf_counter()
        db.sync()
        sync_ms.append((time.perf_counter() - start) * 1e3)
    db.persist()
    start = time.perf_counter()
    db.persist()
    persist_unchanged_ms = (time.perf_counter() - start) * 1e3
    db.close()
    return bulk_s, sync_ms, persist_unchanged_ms


def dir_bytes(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--dir", default=None, help="store directory (default: a temporary one)")
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    n = 2_000 if args.tiny else args.points

    points = make_points(n)
    root = args.dir or tempfile.mkdtemp(prefix="vesko-bench-")
    store_dir = os.path.join(root, "store")
    shutil.rmtree(store_dir, ignore_errors=True)
    try:
        db = vesko.Vesko(store_dir)
        add = db.add
        latencies = []
        start = time.perf_counter()
        for p in points:
            t0 = time.perf_counter()
            add(*p)
            latencies.append(time.perf_counter() - t0)
        add_s = time.perf_counter() - start
        assert db.count() == n
        del db, add
        gc.collect()

        start = time.perf_counter()
        db = vesko.Vesko(store_dir)
        reopen_s = time.perf_counter() - start
        assert db.count() == n

        store_bytes = dir_bytes(store_dir)
        db.close()
        del db
        gc.collect()

        bulk_dir = os.path.join(root, "bulk")
        shutil.rmtree(bulk_dir, ignore_errors=True)
        bulk_s, sync_ms, persist_unchanged_ms = bulk_and_sync(bulk_dir, points,
                                                              extra=min(10_000, n))

        latencies.sort()
        figures = {
            "points": n,
            "adds_per_s": n / add_s,
            "add_p50_us": statistics.median(latencies) * 1e6,
            "add_p99_us": latencies[int(0.99 * (n - 1))] * 1e6,
            "reopen_s": reopen_s,
            "store_bytes": store_bytes,
            "add_many_points_per_s": n / bulk_s,
            "sync_after_10k_adds_ms": sync_ms,
            "persist_unchanged_ms": persist_unchanged_ms,
        }
    finally:
        if args.dir is None:
            shutil.rmtree(root, ignore_errors=True)

    print(f"| points | adds/s | add p50 µs | add p99 µs | reopen (replay) s | store MB |")
    print(f"|---:|---:|---:|---:|---:|---:|")
    print(f"| {n:,} | {figures['adds_per_s']:,.0f} | {figures['add_p50_us']:.1f} | "
          f"{figures['add_p99_us']:.1f} | {figures['reopen_s']:.3f} | "
          f"{figures['store_bytes'] / 1e6:.1f} |")
    print()
    sync = figures["sync_after_10k_adds_ms"]
    print("| add_many points/s | sync after 10,000 adds: median ms | max ms | "
          "persist, nothing changed ms |")
    print("|---:|---:|---:|---:|")
    print(f"| {figures['add_many_points_per_s']:,.0f} | {statistics.median(sync):.2f} | "
          f"{max(sync):.2f} | {figures['persist_unchanged_ms']:.3f} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=2)


if __name__ == "__main__":
    main()
