"""Search throughput with 1 and 2 (or more) threads while a writer adds points.

    python bench/threads.py [--points N] [--seconds S] [--threads 1,2] [--write-rate R] [--tiny]

N clustered points (bench/harness/workload.py); each searcher thread runs the same query kind
over the workload's query centres for S seconds, while one more thread adds R points a second
far from them. Prints queries per second and the speed-up over one thread, for k = 10 and
radii of 1 and 10 km, then for a 1 km radius over N/5 points in one square degree (about 70
hits). The searches release the interpreter lock while the engine works, so on a machine with
two free cores two threads should come close to twice one; a call of a few microseconds keeps
it, and runs at the rate of one thread.
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import workload  # noqa: E402

import vesko  # noqa: E402


def build(path, n):
    ds = workload.make_clustered(n)
    db = vesko.Vesko(path)
    db.add_many(ds.ids, ds.lats, ds.lons, ds.metas)
    return db, workload.make_queries(ds, 2_000, 0)


def build_dense(path, n, seed=3):
    """n points spread evenly over one square degree, and query centres inside it: a 1 km
    radius there holds about 70 hits per 200,000 points, enough for the search to let go of
    the interpreter lock while its tuples are still built under it."""
    rng = random.Random(seed)
    db = vesko.Vesko(path)
    db.add_many([f"d{i}" for i in range(n)], [45.0 + rng.random() for _ in range(n)],
                [7.0 + rng.random() for _ in range(n)], ['{"category": "dense"}'] * n)
    return db, [(45.05 + 0.9 * rng.random(), 7.05 + 0.9 * rng.random()) for _ in range(2_000)]


def writer(db, stop, rate):
    n = 0
    start = time.perf_counter()
    while not stop.is_set():
        db.add(f"w{n}", -60.0 + (n % 1000) * 1e-4, -120.0, '{"category": "writer"}')
        n += 1
        ahead = n / rate - (time.perf_counter() - start)
        if ahead > 0:
            time.sleep(ahead)


def run(db, call, centres, threads, seconds, rate):
    stop = threading.Event()
    counts = [0] * threads

    def search(slot):
        i = slot
        while not stop.is_set():
            call(*centres[i % len(centres)])
            i += threads
            counts[slot] += 1

    # A rate of 0 runs the searches without a writer.
    writers = [threading.Thread(target=writer, args=(db, stop, rate))] if rate > 0 else []
    workers = [threading.Thread(target=search, args=(t,)) for t in range(threads)]
    for w in writers + workers:
        w.start()
    time.sleep(seconds)
    stop.set()
    for w in workers + writers:
        w.join()
    return sum(counts) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--write-rate", type=float, default=1_000.0, help="adds per second")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    n, seconds = (20_000, 0.3) if args.tiny else (args.points, args.seconds)
    counts = [int(t) for t in args.threads.split(",")]

    root = tempfile.mkdtemp(prefix="vesko-threads-")
    try:
        db, queries = build(os.path.join(root, "store"), n)
        centres = queries.centres
        kinds = [("knn k=10", lambda lat, lon: db.search_knn(lat, lon, 10)),
                 ("radius 1 km", lambda lat, lon: db.search_radius(lat, lon, 1000.0)),
                 ("radius 10 km", lambda lat, lon: db.search_radius(lat, lon, 10000.0))]
        hits = [sum(len(db.search_radius(lat, lon, r)) for lat, lon in centres[:200]) / 200
                for r in (1000.0, 10000.0)]
        print(f"{n:,} clustered points, a writer adding {args.write_rate:,.0f} points/s; "
              f"radius 1 km averages {hits[0]:.1f} hits, 10 km {hits[1]:.0f}; "
              f"{os.cpu_count()} cores")
        print(f"{'query':<14}" + "".join(f"{f'{t} thr q/s':>14}" for t in counts) + f"{'speed-up':>10}")
        for name, call in kinds:
            qps = [run(db, call, centres, t, seconds, args.write_rate) for t in counts]
            print(f"{name:<14}" + "".join(f"{q:>14,.0f}" for q in qps) + f"{qps[-1] / qps[0]:>9.2f}x")
        db.close()
        dense, dense_centres = build_dense(os.path.join(root, "dense"), max(n // 5, 1_000))
        dense_hits = sum(len(dense.search_radius(lat, lon, 1000.0))
                         for lat, lon in dense_centres[:200]) / 200
        print(f"{max(n // 5, 1_000):,} points in one square degree: radius 1 km averages "
              f"{dense_hits:.0f} hits")
        qps = [run(dense, lambda lat, lon: dense.search_radius(lat, lon, 1000.0), dense_centres,
                   t, seconds, args.write_rate) for t in counts]
        print(f"{'radius 1 km':<14}" + "".join(f"{q:>14,.0f}" for q in qps)
              + f"{qps[-1] / qps[0]:>9.2f}x")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
