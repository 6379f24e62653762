#!/usr/bin/env python3
"""kill -9 at random moments during a seeded mix of every mutating call, checked against an
in-memory model.

A child process opens the store and makes calls from a seeded stream (add, delete,
delete_by_filter, persist, vacuum, and add_many, delete_many, upsert, sync where the module has
them), announcing each call before making it and acknowledging it with its result once it
returned. The parent kills the child at a random moment (sometimes while it is still opening the
store), reopens the store and checks ids, coordinates (as f32), metadata and the answers of a
set of filters against the model: every acknowledged change must be there, and the call under
way may be there or not (a batch call may be there in part, which is counted). Each returned
delete_by_filter count and upsert flag is checked against the model as well.

    python tests/torture/kill_torture.py --size 1000 --seed 1

prints its figures and exits non-zero at the first disagreement, naming the seed and round.
"""

import argparse
import collections
import gc
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

BATCH_CALLS = ("add_many", "delete_many", "delete_by_filter")


def child_main(path, seed, id_space):
    import vesko

    store = vesko.Vesko(path)
    rng = random.Random(seed)
    calls = [("add", 40), ("delete", 14), ("delete_by_filter", 3), ("persist", 2), ("vacuum", 1)]
    optional = [("add_many", 5), ("delete_many", 3), ("upsert", 12), ("sync", 2)]
    calls += [(name, weight) for name, weight in optional if hasattr(store, name)]
    names = [name for name, _ in calls]
    weights = [weight for _, weight in calls]
    out = sys.stdout
    out.write("ready\n")
    out.flush()

    def some_id():
        return f"p{rng.randrange(id_space)}"

    while True:
        kind = rng.choices(names, weights)[0]
        op = model.random_op(rng, kind, some_id)
        out.write("begin " + json.dumps(op) + "\n")
        out.flush()
        result = model.call(store, op)
        out.write("done " + json.dumps(result) + "\n")
        out.flush()


def run_child(path, seed, id_space, delay, before_ready):
    """Starts a child, kills it, and returns (acknowledged calls with results, call under way or
    None, whether the store was open when the kill came)."""
    child = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--child", str(path), "--seed", str(seed),
         "--id-space", str(id_space)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if before_ready:
        time.sleep(delay)
        opened = False
    else:
        first = child.stdout.readline()
        if first.strip() != "ready":
            child.kill()
            raise RuntimeError("child failed to open the store: " + first + child.stderr.read())
        time.sleep(delay)
        opened = True
    child.send_signal(signal.SIGKILL)
    out = child.stdout.read()
    err = child.stderr.read()
    child.wait(timeout=60)
    if child.returncode != -signal.SIGKILL:
        raise RuntimeError(f"child ended with {child.returncode} before the kill:\n{err}")
    done, in_flight = [], None
    # The kill can land while the child writes a line: a line without its newline was never
    # wholly said (a torn "begin" means the call had not started, a torn "done" that it was
    # not acknowledged), so it is dropped.
    lines = out.split("\n")[:-1]
    for line in lines:
        if line == "ready":
            opened = True
        elif line.startswith("begin "):
            in_flight = json.loads(line[6:])
        elif line.startswith("done ") and in_flight is not None:
            done.append((in_flight, json.loads(line[5:])))
            in_flight = None
    return done, in_flight, opened


def open_store(path):
    import vesko

    return vesko.Vesko(str(path))


def release(store):
    if hasattr(store, "close"):
        store.close()
    del store
    gc.collect()


class Figures:
    def __init__(self):
        self.kills = 0
        self.kills_while_opening = 0
        self.acknowledged = collections.Counter()
        self.in_flight = collections.Counter()  # (call, outcome)
        self.largest_store = 0
        self.stores = 0

    def report(self, elapsed):
        print(f"kills: {self.kills} ({self.kills_while_opening} while the store was opening),"
              f" {self.stores} store directories, largest store {self.largest_store} points")
        print(f"acknowledged calls: {sum(self.acknowledged.values())}")
        for kind, n in sorted(self.acknowledged.items()):
            print(f"  {kind:18} {n}")
        print("calls under way at the kill, by what the reopened store showed:")
        for (kind, outcome), n in sorted(self.in_flight.items()):
            print(f"  {kind:18} {outcome:12} {n}")
        print(f"elapsed: {elapsed:.1f} s")


def check_round(path, oracle, done, in_flight):
    """Applies the acknowledged calls to `oracle`, reopens the store and compares. Returns the
    outcome of the call under way ("applied", "not applied", "partial", "no effect") and
    updates `oracle` to what the store showed."""
    for op, result in done:
        expected = oracle.apply(op)
        if op[0] in ("delete_by_filter", "upsert") and result != expected:
            raise AssertionError(f"{op[0]} returned {result!r}, the model says {expected!r}")
    after = None
    if in_flight is not None:
        after = oracle.copy()
        after.apply(in_flight)
    store = open_store(path)
    try:
        hint = model.coords_hint(oracle, after) if after else model.coords_hint(oracle)
        seen, answers, problems = model.observe(store, hint)
    finally:
        release(store)
    if problems:
        raise AssertionError("the reopened store contradicts itself: " + "; ".join(problems[:5]))
    before_state = oracle.state()
    missing_before = model.differences(before_state, seen)
    if not missing_before:
        outcome, final = "not applied", oracle
    elif after is not None and not model.differences(after.state(), seen):
        outcome, final = "applied", after
    elif after is not None and in_flight[0] in BATCH_CALLS and all(
            seen.get(e) in (before_state.get(e), after.state().get(e)) for e in missing_before):
        outcome = "partial"
        final = model.Oracle()
        for ext_id in seen:
            final.points[ext_id] = (after if seen[ext_id] == after.state().get(ext_id)
                                    else oracle).points[ext_id]
    else:
        wrong = sorted(missing_before)[:5]
        detail = {e: (before_state.get(e), seen.get(e)) for e in wrong}
        raise AssertionError(f"store differs from the model (call under way: {in_flight}) on "
                             f"{len(missing_before)} points, e.g. {detail}")
    if after is not None and outcome == "not applied" and not model.differences(
            after.state(), before_state):
        outcome = "no effect"
    expected_answers = final.filter_answers()
    for f in model.FILTERS:
        if answers[f] != expected_answers[f]:
            diff = sorted(answers[f] ^ expected_answers[f])[:5]
            raise AssertionError(f"filter {f} answers differ from the model on {diff}")
    oracle.points = final.points
    return outcome


def run(size, seed, workdir, id_space, max_delay, rounds_per_store):
    rng = random.Random(seed)
    figures = Figures()
    start = time.monotonic()
    oracle = model.Oracle()
    path = None
    for kill_no in range(size):
        if kill_no % rounds_per_store == 0:
            path = Path(workdir) / f"store{kill_no // rounds_per_store}"
            oracle = model.Oracle()
            figures.stores += 1
        before_ready = rng.random() < 0.1
        delay = rng.uniform(0.0, 0.25 if before_ready else max_delay)
        child_seed = rng.randrange(2**32)
        done, in_flight, opened = run_child(path, child_seed, id_space, delay, before_ready)
        figures.kills += 1
        figures.kills_while_opening += not opened
        for op, _ in done:
            figures.acknowledged[op[0]] += 1
        try:
            outcome = check_round(path, oracle, done, in_flight)
        except AssertionError as failure:
            print(f"FAILED at kill {kill_no} (seed {seed}, child seed {child_seed}, store {path}):"
                  f" {failure}", file=sys.stderr)
            figures.report(time.monotonic() - start)
            return 1
        if in_flight is not None:
            figures.in_flight[(in_flight[0], outcome)] += 1
        figures.largest_store = max(figures.largest_store, len(oracle.points))
    figures.report(time.monotonic() - start)
    print("result: every acknowledged change survived every kill")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=100, help="number of kills")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", help="work directory (default: a temporary one, removed)")
    parser.add_argument("--id-space", type=int, default=400,
                        help="external ids are p0..p<id-space - 1>, so ids come back")
    parser.add_argument("--max-delay", type=float, default=0.4,
                        help="longest time in seconds between the open and the kill")
    parser.add_argument("--rounds-per-store", type=int, default=50,
                        help="kills before starting over in a fresh directory")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child, args.seed, args.id_space)
        return 0
    if args.dir:
        return run(args.size, args.seed, args.dir, args.id_space, args.max_delay,
                   args.rounds_per_store)
    with tempfile.TemporaryDirectory(prefix="kill_torture") as workdir:
        return run(args.size, args.seed, workdir, args.id_space, args.max_delay,
                   args.rounds_per_store)


if __name__ == "__main__":
    sys.exit(main())
