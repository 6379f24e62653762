#!/usr/bin/env python3
"""One writer killed at random moments and restarted, and reader processes querying all the
while, checked against the in-memory model.

The writer makes a seeded mix of every mutating call, writing to a journal when each call
begins and when it returned (with CLOCK_MONOTONIC times, which every process shares), and, after
each open, what the store it opened holds. The parent kills it (SIGKILL) at random moments and
starts it again. Each reader process queries the store in a loop (the whole world box, or the
count) and records each call's start and end times and a digest of its answer.

Afterwards the writer's journal gives the sequence of states the store went through: the model
after each call, and the state found at each reopen (which must be the model before or after the
call a kill interrupted, or for a batch a part of it). Each reader answer must equal the state
after some prefix k of that sequence, with k at least the number of calls acknowledged before
the reader's call began, at most the number begun before it ended, and never less than the k of
that reader's previous call.

    python tests/torture/many_processes.py --seconds 300 --readers 2 --seed 1

prints its figures and exits non-zero when any reader answer was a fault. Every child dies with
the parent (however the parent ends), and the parent gives up, killing them, when the run
overstays --seconds by --grace seconds.
"""

import argparse
import ctypes
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle as model  # noqa: E402

CALLS = [("add", 30), ("upsert", 12), ("delete", 12), ("delete_by_filter", 3), ("add_many", 5),
         ("delete_many", 3), ("sync", 2), ("persist", 2), ("vacuum", 1)]
BATCH_CALLS = ("add_many", "delete_many", "delete_by_filter")


def digest(pairs):
    """The digest of a state given as (id, metadata text) pairs."""
    canonical = sorted((e, json.dumps(json.loads(m), sort_keys=True)) for e, m in pairs)
    return hashlib.sha1(json.dumps(canonical).encode()).hexdigest()


def oracle_digest(oracle):
    return digest((e, json.dumps(p.meta)) for e, p in oracle.points.items())


def world(store):
    return store.search_box(*model.WORLD)


def journal_line(journal, *fields):
    # One write per line, so that a kill never leaves half of a line followed by another.
    os.write(journal, (json.dumps([time.monotonic(), *fields]) + "\n").encode())


def die_with_parent():
    """Asks the kernel to kill this child when the parent ends (Linux), so that a parent killed
    by a timeout leaves no writer or reader behind."""
    parent = os.getppid()
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:
        os._exit(1)  # the parent ended before the request was made


def writer_main(path, seed, id_space, journal_path):
    import vesko

    journal = os.open(journal_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    store = vesko.Vesko(path)
    journal_line(journal, "opened", [[e, m] for e, m in world(store)])
    rng = random.Random(seed)
    names = [name for name, _ in CALLS]
    weights = [weight for _, weight in CALLS]

    def some_id():
        return f"p{rng.randrange(id_space)}"

    while True:
        kind = rng.choices(names, weights)[0]
        op = model.random_op(rng, kind, some_id)
        journal_line(journal, "begin", op)
        result = model.call(store, op)
        journal_line(journal, "done", result)


def reader_main(path, out_path, stop_path, seed):
    import vesko

    rng = random.Random(seed)
    out = open(out_path, "w")
    store = None
    while not os.path.exists(stop_path):
        if store is None:
            try:
                store = vesko.Vesko(path, read_only=True)
            except FileNotFoundError:
                time.sleep(0.01)
                continue
        began = time.monotonic()
        if rng.random() < 0.8:
            answer = ["world", digest(world(store))]
        else:
            answer = ["count", store.count()]
        out.write(json.dumps([began, time.monotonic(), *answer]) + "\n")
    out.close()


def read_journal(journal_path):
    """The sequence of states and when each became acknowledged and possible: a list of
    (digest, count, acknowledged_at, begun_at), plus the findings about the reopens."""
    states = []
    findings = []
    oracle = model.Oracle()
    in_flight = None  # (op, begun_at)
    lines = Path(journal_path).read_text().split("\n")[:-1]
    for line in lines:
        try:
            at, kind, payload = json.loads(line)
        except ValueError:
            continue  # cut by the kill
        if kind == "begin":
            in_flight = (payload, at)
            after = oracle.copy()
            after.apply(payload)
            # The state after this call may be seen from its beginning on; it is acknowledged
            # only when the call returns.
            states.append([oracle_digest(after), len(after.points), None, at, after])
        elif kind == "done":
            op, _ = in_flight
            expected = oracle.apply(op)
            if op[0] in ("delete_by_filter", "upsert") and expected != payload:
                findings.append(f"{op[0]} returned {payload}, the model {expected}")
            states[-1][2] = at
            in_flight = None
        elif kind == "opened":
            found = {e: json.dumps(json.loads(m), sort_keys=True) for e, m in payload}
            before = oracle
            after = states[-1][4] if in_flight is not None else oracle

            def text(o):
                return {e: json.dumps(p.meta, sort_keys=True) for e, p in o.points.items()}

            # Each state's texts once: a reopen's check runs for every one of its points.
            before_text, after_text = text(before), text(after)
            if found not in (before_text, after_text):
                partial = in_flight is not None and in_flight[0][0] in BATCH_CALLS
                if not partial or any(e not in before.points and e not in after.points
                                      for e in found):
                    findings.append("a reopened store holds neither the state before nor "
                                    "after the interrupted call")
            # The model goes on from what the store holds.
            rebuilt = model.Oracle()
            for e in found:
                source = after if after_text.get(e) == found[e] else before
                rebuilt.points[e] = source.points.get(e) or after.points[e]
            oracle = rebuilt
            in_flight = None
            states.append([oracle_digest(oracle), len(oracle.points), at, at, oracle])
    return [(d, n, ack, begun) for d, n, ack, begun, _ in states], findings


def check_reader(states, calls):
    """The faults of one reader's answers against the states; returns (checked, faults)."""
    by_digest = {}
    for k, (d, _, _, _) in enumerate(states):
        by_digest.setdefault(d, []).append(k)
    acked = [(ack, k) for k, (_, _, ack, _) in enumerate(states) if ack is not None]
    acked.sort()
    begun = [begun for _, _, _, begun in states]
    faults = []
    last_k = 0
    checked = 0
    ack_i = 0
    lowest = -1
    for began, ended, kind, value in calls:
        while ack_i < len(acked) and acked[ack_i][0] < began:
            lowest = max(lowest, acked[ack_i][1])
            ack_i += 1
        # Every state whose call had begun before this call ended.
        highest = -1
        lo, hi = 0, len(begun)
        while lo < hi:
            mid = (lo + hi) // 2
            if begun[mid] <= ended:
                lo = mid + 1
            else:
                hi = mid
        highest = lo - 1
        floor = max(lowest, last_k)
        checked += 1
        if kind == "world":
            fits = [k for k in by_digest.get(value, ()) if floor <= k <= highest]
            if not fits:
                faults.append(f"a world answer at {began:.6f} fits no state in "
                              f"[{floor}, {highest}]")
                continue
            last_k = fits[0]
        else:
            if not any(states[k][1] == value for k in range(max(floor, 0), highest + 1)):
                faults.append(f"count {value} at {began:.6f} fits no state in "
                              f"[{floor}, {highest}]")
    return checked, faults


def run_processes(args, work, children):
    """Runs the writer and the readers, each started process appended to `children`; returns
    the number of writer kills, or what went wrong as a text."""
    store = work / "store"
    journal = work / "journal"
    stop = work / "stop"
    rng = random.Random(args.seed)
    me = [sys.executable, os.path.abspath(__file__)]
    started = time.monotonic()
    deadline = started + args.seconds + args.grace

    def overdue():
        return time.monotonic() > deadline

    def start(role, *role_args, log):
        # stderr to a file: a pipe nobody reads fills up and stops the child.
        with open(work / log, "ab") as err:
            child = subprocess.Popen(me + [role, *map(str, role_args)], stderr=err)
        children.append(child)
        return child

    def errors(log):
        return (work / log).read_text(errors="replace")[-4000:]

    def start_writer(round_no):
        return start("--writer", store, args.seed * 100003 + round_no, args.id_space, journal,
                     log="writer.err")

    # The first writer makes the store before the readers come.
    writer = start_writer(0)
    while not journal.exists() or not journal.read_text():
        if writer.poll() is not None:
            return errors("writer.err")
        if overdue():
            return "the first writer never opened the store"
        time.sleep(0.01)
    readers = [start("--reader", store, work / f"reader{i}", stop, args.seed * 7 + i,
                     log=f"reader{i}.err")
               for i in range(args.readers)]
    kills = 0
    round_no = 0
    seen = {"bytes": 0, "opens": 0}

    def opens_so_far():
        with open(journal, "rb") as f:
            f.seek(seen["bytes"])
            new = f.read()
        # Only whole lines are counted; the rest is read again next time.
        new = new[:new.rfind(b"\n") + 1]
        seen["bytes"] += len(new)
        seen["opens"] += new.count(b'"opened"')
        return seen["opens"]

    opens = 1
    while time.monotonic() - started < args.seconds:
        # Mostly once the writer has opened the store; sometimes while it opens (finishing a
        # vacuum, cutting a torn tail, replaying).
        if rng.random() < 0.8:
            while opens_so_far() < opens and writer.poll() is None:
                if overdue():
                    return f"writer round {round_no} never opened the store"
                time.sleep(0.005)
        for i, reader in enumerate(readers):
            if reader.poll() is not None:
                return f"reader {i} ended early:\n" + errors(f"reader{i}.err")
        time.sleep(rng.uniform(0.0, args.max_delay))
        opens = opens_so_far() + 1
        writer.kill()
        writer.wait()
        kills += 1
        round_no += 1
        writer = start_writer(round_no)
    stop.touch()
    for i, reader in enumerate(readers):
        try:
            code = reader.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            return f"reader {i} did not stop"
        if code != 0:
            return f"reader {i} failed:\n" + errors(f"reader{i}.err")
    writer.kill()
    writer.wait()
    return kills


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--readers", type=int, default=2)
    parser.add_argument("--id-space", type=int, default=150)
    parser.add_argument("--max-delay", type=float, default=0.3,
                        help="longest time a writer runs before it is killed")
    parser.add_argument("--dir", default=None)
    parser.add_argument("--grace", type=float, default=120.0,
                        help="seconds past --seconds after which the run is given up as hung")
    parser.add_argument("--writer", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--reader", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.writer or args.reader:
        die_with_parent()
    if args.writer:
        path, seed, id_space, journal = args.writer
        writer_main(path, int(seed), int(id_space), journal)
        return 0
    if args.reader:
        path, out, stop, seed = args.reader
        reader_main(path, out, stop, int(seed))
        return 0

    # A parent stopped by SIGTERM (timeout's) still reaches the `finally` that ends the children.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = Path(tempfile.mkdtemp(prefix="vesko-many-", dir=args.dir))
    children = []
    try:
        kills = run_processes(args, work, children)
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
    if isinstance(kills, str):
        print(kills, file=sys.stderr)
        print(f"kept for inspection: {work}", file=sys.stderr)
        return 1
    started = time.monotonic()
    journal = work / "journal"
    states, findings = read_journal(journal)
    checked = 0
    faults = list(findings)
    for i in range(args.readers):
        calls = [json.loads(line) for line in (work / f"reader{i}").read_text().splitlines()]
        n, found = check_reader(states, calls)
        checked += n
        faults += found
    acknowledged = sum(1 for _, _, ack, _ in states if ack is not None)
    print(f"seed {args.seed}: {args.seconds:.0f} s, checked in {time.monotonic() - started:.1f} s, "
          f"writer kills: {kills}, "
          f"acknowledged calls: {acknowledged}, reader calls checked: {checked}, "
          f"faults: {len(faults)}")
    for fault in faults[:20]:
        print("  " + fault)
    if faults:
        print(f"kept for inspection: {work}")
        return 1
    subprocess.run(["rm", "-rf", str(work)], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
