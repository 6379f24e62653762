"""Readers (read_only=True) beside a writer: what opening one costs, what it holds in memory,
what catching up costs, and what a call costs when nothing changed.

    python bench/readers.py [--points N] [--dir DIR] [--json OUT]

Builds a store of N points (add_many, then persist) with a writer that stays open, then in a
process of its own opens a reader and reports: its open time; its resident memory (VmRSS, and
the part of it that is private, RssAnon) beside the writer's; the time a call takes when
nothing changed (count() on an empty store, and the check alone measured as refresh()); the
time for its next call after the writer added 10,000 points one by one, and after the writer
persisted (a reload); and the same call cost on a store without wal.ack (watched by stat).
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import vesko

READER = textwrap.dedent("""
    import json, sys, time, vesko
    path = sys.argv[1]
    t = time.perf_counter()
    r = vesko.Vesko(path, read_only=True)
    opened = time.perf_counter() - t
    n = len(r)

    def memory():
        fields = {}
        for line in open("/proc/self/status"):
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile"):
                fields[key] = int(value.split()[0]) * 1024
        return fields

    def per_call(fn, rounds=200_000):
        t = time.perf_counter()
        for _ in range(rounds):
            fn()
        return (time.perf_counter() - t) / rounds

    print(json.dumps({"open_s": opened, "points": n, "memory": memory(),
                      "refresh_s": per_call(r.refresh), "get_s": per_call(lambda: r.get("p1"))}),
          flush=True)
    for line in sys.stdin:
        t = time.perf_counter()
        n = len(r)
        print(json.dumps({"catch_up_s": time.perf_counter() - t, "points": n}), flush=True)
""")


def memory_of(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile"):
                fields[key] = int(value.split()[0]) * 1024
    return fields


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--json", default=None)
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    if args.tiny:
        args.points = 2_000
    work = tempfile.mkdtemp(prefix="vesko-bench-readers-", dir=args.dir)
    path = os.path.join(work, "store")
    rng = random.Random(3)
    n = args.points
    w = vesko.Vesko(path)
    w.add_many([f"p{i}" for i in range(n)], [rng.uniform(-60, 70) for _ in range(n)],
               [rng.uniform(-180, 180) for _ in range(n)],
               [json.dumps({"c": f"c{i % 20}", "n": i % 1000}) for i in range(n)])
    w.persist()
    w.search_knn(0, 0, 10)
    reader = subprocess.Popen([sys.executable, "-c", READER, path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    first = json.loads(reader.stdout.readline())

    def catch_up():
        reader.stdin.write("\n")
        reader.stdin.flush()
        return json.loads(reader.stdout.readline())

    results = {"points": n, "reader_open_s": first["open_s"],
               "reader_memory": memory_of(reader.pid), "writer_memory": memory_of(os.getpid()),
               "nothing_new_refresh_s": first["refresh_s"], "nothing_new_get_s": first["get_s"]}
    for i in range(10_000):
        w.add(f"new{i}", rng.uniform(-60, 70), rng.uniform(-180, 180), '{"c": "new"}')
    after_adds = catch_up()
    assert after_adds["points"] == n + 10_000
    results["catch_up_10000_adds_s"] = after_adds["catch_up_s"]
    w.persist()
    after_persist = catch_up()
    results["catch_up_after_persist_s"] = after_persist["catch_up_s"]
    results["reader_memory_after"] = memory_of(reader.pid)
    reader.stdin.close()
    reader.wait()
    w.close()
    # A store no writer of this version opened: the reader watches its files by stat.
    os.remove(os.path.join(path, "wal.ack"))
    reader = subprocess.Popen([sys.executable, "-c", READER, path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    watched = json.loads(reader.stdout.readline())
    results["watched_refresh_s"] = watched["refresh_s"]
    reader.stdin.close()
    reader.wait()
    shutil.rmtree(work)
    for key, value in results.items():
        print(f"{key}: {value}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
