"""Upsert latency while reader threads search without pause.

    python bench/lock_fairness.py [--points N] [--upserts U] [--readers 2,8] [--budget S] [--tiny]

N clustered points (bench/harness/workload.py); each reader thread runs k = 10 searches and
1 km radius searches over the workload's query centres in a loop, while one thread upserts U
times, one call after another, moving points of the workload, for at most S seconds per row.
Prints the upsert latency (median, 99th percentile, maximum) with no readers and with each
reader count, how many upserts finished and how many searches the readers answered. A writer
waits only for the reader calls already running, so the maximum stays near one search's
time however many readers there are.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import workload  # noqa: E402

import vesko  # noqa: E402


def reader(db, centres, stop, offset, answered):
    i = offset
    while not stop.is_set():
        lat, lon = centres[i % len(centres)]
        db.search_knn(lat, lon, 10)
        db.search_radius(lat, lon, 1000.0)
        answered[offset] = answered.get(offset, 0) + 2
        i += 1


def upsert_latencies(db, ds, upserts, readers, centres, budget_s, answered):
    stop = threading.Event()
    threads = [threading.Thread(target=reader, args=(db, centres, stop, t, answered))
               for t in range(readers)]
    for t in threads:
        t.start()
    time.sleep(0.05 if readers else 0)
    latencies = []
    # The readers stop when the budget ends, so an upsert they starve finishes then.
    watchdog = threading.Timer(budget_s, stop.set)
    watchdog.start()
    try:
        for u in range(upserts):
            if stop.is_set():
                break
            i = (u * 7919) % len(ds.ids)
            started = time.perf_counter()
            db.upsert(ds.ids[i], ds.lats[i] + 1e-4, ds.lons[i], ds.metas[i])
            latencies.append(time.perf_counter() - started)
    finally:
        watchdog.cancel()
        stop.set()
        for t in threads:
            t.join()
    return latencies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--upserts", type=int, default=2_000)
    parser.add_argument("--readers", default="2,8")
    parser.add_argument("--budget", type=float, default=30.0, help="seconds per row at most")
    parser.add_argument("--tiny", action="store_true", help="a quick run that checks it works")
    args = parser.parse_args()
    if args.tiny:
        args.points, args.upserts, args.budget = 2_000, 50, 5.0
    path = tempfile.mkdtemp(prefix="vesko-fairness-")
    try:
        ds = workload.make_clustered(args.points)
        db = vesko.Vesko(os.path.join(path, "store"))
        db.add_many(ds.ids, ds.lats, ds.lons, ds.metas)
        centres = workload.make_queries(ds, 2_000, 0).centres
        print(f"{args.points} points, {args.upserts} upserts, at most {args.budget:g} s a row")
        print(f"{'readers':>8} {'median ms':>10} {'p99 ms':>10} {'max ms':>10} {'upserts':>8} "
              f"{'searches':>9}")
        for readers in [0] + [int(r) for r in args.readers.split(",")]:
            answered = {}
            lat = sorted(
                upsert_latencies(db, ds, args.upserts, readers, centres, args.budget, answered))
            p99 = lat[min(len(lat) - 1, int(0.99 * len(lat)))]
            print(f"{readers:>8} {statistics.median(lat) * 1e3:>10.3f} {p99 * 1e3:>10.3f} "
                  f"{lat[-1] * 1e3:>10.3f} {len(lat):>8} {sum(answered.values()):>9}")
        db.close()
    finally:
        shutil.rmtree(path)


if __name__ == "__main__":
    main()
