"""Durable-commit cost: persist time, snapshot size and reopen time (snapshot plus log).

    python bench/persist.py [--points N] [--dir DIR] [--json OUT] [--tiny]

Loads N points with metadata {category, rating, pop}, persists, reopens from the snapshot,
then adds 1% more points without persisting and reopens again (snapshot plus log replay).
"""

import argparse
import gc
import json
import os
import shutil
import tempfile
import time

import vesko
from add import make_points


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def reopen(path):
    gc.collect()
    return timed(lambda: vesko.Vesko(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--dir", default=None, help="store directory (default: a temporary one)")
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    n = 2_000 if args.tiny else args.points

    root = args.dir or tempfile.mkdtemp(prefix="vesko-bench-")
    path = os.path.join(root, "store")
    shutil.rmtree(path, ignore_errors=True)
    try:
        points = make_points(n + n // 100)
        db = vesko.Vesko(path)
        load_s, _ = timed(lambda: [db.add(*p) for p in points[:n]])
        persist_s, _ = timed(db.persist)
        snapshot_bytes = os.path.getsize(os.path.join(path, "snapshot.bin"))
        del db
        reopen_s, db = reopen(path)
        assert db.count() == n
        for p in points[n:]:
            db.add(*p)
        del db
        reopen_log_s, db = reopen(path)
        assert db.count() == len(points)
        vacuum_s = None
        if hasattr(db, "vacuum"):
            for p in points[: len(points) // 2]:
                db.delete(p[0])
            try:
                vacuum_s, _ = timed(db.vacuum)
            except NotImplementedError:
                vacuum_s = None
        figures = {
            "points": n,
            "load_s": load_s,
            "persist_s": persist_s,
            "snapshot_mb": snapshot_bytes / 1e6,
            "reopen_snapshot_s": reopen_s,
            "reopen_snapshot_plus_1pct_log_s": reopen_log_s,
            "vacuum_after_deleting_half_s": vacuum_s,
        }
    finally:
        if args.dir is None:
            shutil.rmtree(root, ignore_errors=True)

    print("| points | persist s | snapshot MB | reopen s | reopen + 1% log s | vacuum (half deleted) s |")
    print("|---:|---:|---:|---:|---:|---:|")
    vac = "n/a" if figures["vacuum_after_deleting_half_s"] is None else f"{figures['vacuum_after_deleting_half_s']:.2f}"
    print(f"| {n:,} | {figures['persist_s']:.2f} | {figures['snapshot_mb']:.1f} | "
          f"{figures['reopen_snapshot_s']:.2f} | {figures['reopen_snapshot_plus_1pct_log_s']:.2f} | {vac} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=2)


if __name__ == "__main__":
    main()
