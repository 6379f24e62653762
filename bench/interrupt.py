"""How soon Ctrl-C stops a long call: SIGINT is sent to the process while the call runs, and
the time from the signal to the KeyboardInterrupt is reported, with how much add_many's bulk
rate changes now that it polls for signals (it should not: the poll costs a clock read at each
chunk boundary and a microsecond every 20 ms).

    python bench/interrupt.py [--points N] [--repeat R] [--tiny]

Each call runs in a child process of its own, so the signal reaches only it. Figures are the
median and the largest delay over R runs, in milliseconds.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent("""
    import json, os, signal, sys, threading, time
    import vesko

    path, call, n, delay = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    db = vesko.Vesko(path)
    ids = [f"p{i}" for i in range(n)]
    lats = [((i * 7919) % 120000) / 1000.0 - 60.0 for i in range(n)]
    lons = [((i * 104729) % 340000) / 1000.0 - 170.0 for i in range(n)]
    metadatas = ['{"k":1}'] * n
    if call != "add_many":
        db.add_many(ids, lats, lons, metadatas)
    calls = {
        "add_many": lambda: db.add_many(ids, lats, lons, metadatas),
        "search_knn_many": lambda: db.search_knn_many(lats, lons, 10),
        "export": lambda: db.export(os.path.join(path, "out.parquet")),
    }
    if delay < 0:
        start = time.perf_counter()
        calls[call]()
        print(json.dumps({"rate": n / (time.perf_counter() - start)}))
        sys.exit()
    sent = []
    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(delay, interrupt).start()
    try:
        calls[call]()
        print(json.dumps({"late": None}))
    except KeyboardInterrupt:
        print(json.dumps({"late": time.monotonic() - sent[0]}))
""")


def child(call, n, delay):
    path = tempfile.mkdtemp(prefix="vesko-interrupt-")
    try:
        out = subprocess.run([sys.executable, "-c", CHILD, path, call, str(n), str(delay)],
                             capture_output=True, text=True, check=True)
        return json.loads(out.stdout)
    finally:
        shutil.rmtree(path, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--tiny", action="store_true", help="a quick run that checks it works")
    args = parser.parse_args()
    n, repeat = (20_000, 1) if args.tiny else (args.points, args.repeat)
    print(f"{n:,} points, {repeat} runs each")
    print(f"{'call':<18}{'median ms':>12}{'max ms':>10}{'runs stopped':>14}")
    for call, delay in (("add_many", 0.6), ("search_knn_many", 0.3), ("export", 0.1)):
        lates = [child(call, n, delay)["late"] for _ in range(repeat)]
        stopped = [1000 * late for late in lates if late is not None]
        if stopped:
            print(f"{call:<18}{statistics.median(stopped):>12.1f}{max(stopped):>10.1f}"
                  f"{len(stopped):>9} of {repeat}")
        else:
            print(f"{call:<18}{'finished first':>22}")
    rates = [child("add_many", n, -1)["rate"] for _ in range(repeat)]
    print(f"add_many, not interrupted: {max(rates):,.0f} points/s (best of {repeat})")


if __name__ == "__main__":
    main()
