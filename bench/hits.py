"""What a search's answer costs per hit as answers grow.

    python bench/hits.py [--points N] [--queries Q] [--tiny]

N points (seeded) uniformly in one square degree, radius searches around its middle sized to
return about 100, 2,000 and 8,000 hits (and a box with about 8,000). Prints microseconds per
hit for each, beside the cost of building the same result tuples in pure Python from bytes
already in memory, which is what any answer costs at the least. Times are medians of the
wall-clock time of one call with the cyclic garbage collector paused, so that collections
triggered by earlier answers do not blur the cost of one answer; the process's CPU time is
printed beside them, as answers of thousands of hits are gathered by two threads.
"""

import argparse
import gc
import json
import math
import os
import random
import shutil
import statistics
import tempfile
import time

import vesko

LAT0, LON0 = 45.0, 7.0
CATEGORIES = ["cafe", "restaurant", "bar", "bakery", "museum", "park", "school", "hotel"]


def fill(db, n, seed=3):
    rng = random.Random(seed)
    for i in range(n):
        meta = {"category": rng.choice(CATEGORIES), "pop": rng.randrange(1_000_000),
                "rating": rng.randrange(51) / 10}
        db.add(f"p{i}", LAT0 + rng.random(), LON0 + rng.random(), json.dumps(meta))


def radius_for(hits, n):
    """Radius in metres whose circle holds about `hits` of n points spread over the degree."""
    area_km2 = 111.195 * 111.195 * math.cos(math.radians(LAT0 + 0.5))
    return 1000.0 * math.sqrt(hits / (math.pi * n / area_km2))


def per_call_s(call, repeat):
    """Median seconds of one call: wall-clock time and the process's CPU time."""
    walls, cpus = [], []
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            w0, c0 = time.perf_counter(), time.process_time()
            call()
            walls.append(time.perf_counter() - w0)
            cpus.append(time.process_time() - c0)
    finally:
        gc.enable()
    return statistics.median(walls), statistics.median(cpus)


def python_floor_s(answer, repeat):
    """Seconds to build the same tuples in Python from bytes (the least any answer costs)."""
    raw = [(e.encode(), d, m.encode()) for e, d, m in answer]
    return per_call_s(lambda: [(e.decode(), d, m.decode()) for e, d, m in raw], repeat)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=30, help="repetitions per figure")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    n, repeat = (5_000, 3) if args.tiny else (args.points, args.queries)

    root = tempfile.mkdtemp(prefix="vesko-hits-")
    try:
        db = vesko.Vesko(os.path.join(root, "store"))
        fill(db, n)
        lat, lon = LAT0 + 0.5, LON0 + 0.5
        print(f"{n:,} points in one square degree; median of {repeat} calls each")
        print(f"{'search':<22}{'hits':>8}{'us/call':>11}{'us/hit':>9}{'cpu us/hit':>12}"
              f"{'python us/hit':>15}")
        for target in (100, 2_000, 8_000):
            r = radius_for(target, n)
            answer = db.search_radius(lat, lon, r)
            s, cpu = per_call_s(lambda: db.search_radius(lat, lon, r), repeat)
            floor = python_floor_s(answer, repeat)
            hits = max(1, len(answer))
            print(f"{'radius %.0f m' % r:<22}{len(answer):>8,}{s * 1e6:>11.0f}"
                  f"{s * 1e6 / hits:>9.3f}{cpu * 1e6 / hits:>12.3f}{floor * 1e6 / hits:>15.3f}")
        half = math.sqrt(8_000 / n) / 2
        tl, br = (lat + half, lon - half), (lat - half, lon + half)
        answer = db.search_box(tl, br)
        s, cpu = per_call_s(lambda: db.search_box(tl, br), repeat)
        raw = [(e.encode(), m.encode()) for e, m in answer]
        floor = per_call_s(lambda: [(e.decode(), m.decode()) for e, m in raw], repeat)[0]
        hits = max(1, len(answer))
        print(f"{'box %.3f deg' % (2 * half):<22}{len(answer):>8,}{s * 1e6:>11.0f}"
              f"{s * 1e6 / hits:>9.3f}{cpu * 1e6 / hits:>12.3f}{floor * 1e6 / hits:>15.3f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
