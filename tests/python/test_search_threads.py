"""Searches on several threads while another thread writes: every answer is the one a serial
run gives over the same points, and no thread waits forever.

The writer adds (and deletes) points far from the region the searches look at and with a tag
their filters exclude, so the serial answers computed before the threads start stay right
throughout, while the writer keeps taking the index lock exclusively in between.
"""

import json
import random
import threading
import time

import pytest
import vesko

from spatial_model import destination

BASE = '{"tag": "base"}'
SEARCHERS = 4
ROUNDS = 60
# Enough points for answers that are gathered, and candidates examined, by two threads.
BASE_POINTS = 10_000
JOIN_TIMEOUT_S = 120


@pytest.fixture
def store(tmp_path):
    rng = random.Random(5)
    db = vesko.Vesko(str(tmp_path / "store"))
    for n in range(BASE_POINTS):
        lat, lon = destination(40.0, 10.0, rng.uniform(0, 360), abs(rng.gauss(0, 5000)))
        db.add(f"b{n}", lat, lon, json.dumps({"tag": "base", "n": n}))
    return db


def queries():
    """(name, call) pairs over the base region; each call takes the store."""
    return [
        ("radius", lambda db: db.search_radius(40.0, 10.0, 3000.0)),
        ("radius-filtered", lambda db: db.search_radius(40.01, 10.01, 20000.0, BASE)),
        ("knn", lambda db: db.search_knn(40.0, 10.0, 10)),
        ("knn-filtered-wide", lambda db: db.search_knn(-50.0, -120.0, 25, BASE)),
        ("box", lambda db: db.search_box((40.05, 9.95), (39.95, 10.05))),
        ("polygon", lambda db: db.search_polygon(
            [(39.98, 9.98), (40.03, 9.99), (40.02, 10.04), (39.97, 10.03)], BASE)),
        ("radius-large", lambda db: db.search_radius(40.0, 10.0, 12000.0)),
        ("box-large", lambda db: db.search_box((40.2, 9.8), (39.8, 10.2))),
        ("exists", lambda db: db.exists('{"n": {"$gte": 2999}}')),
    ]


def writer(db, stop, errors):
    rng = random.Random(9)
    n = 0
    try:
        while not stop.is_set():
            lat, lon = -50.0 + rng.uniform(-1, 1), -120.0 + rng.uniform(-1, 1)
            db.add(f"w{n}", lat, lon, '{"tag": "writer"}')
            if n % 7 == 3:
                db.delete(f"w{n - 2}")
            if n % 50 == 49:
                db.delete_by_filter('{"tag": "gone"}')
            if n % 5 == 4:
                # Let go of the interpreter lock by other means than a call into the store,
                # right after taking it back from one.
                time.sleep(0.0001)
            n += 1
    except BaseException as e:  # reported by the test, never swallowed
        errors.append(("writer", e))


def searcher(db, expected, rounds, mismatches, errors, seed):
    rng = random.Random(seed)
    calls = queries()
    try:
        for _ in range(rounds):
            name, call = rng.choice(calls)
            got = call(db)
            if got != expected[name]:
                mismatches.append(name)
    except BaseException as e:
        errors.append(("searcher", e))


def test_concurrent_searches_match_serial_answers_while_a_writer_runs(store):
    expected = {name: call(store) for name, call in queries()}
    assert all(expected[name] for name in expected), "every query finds something"
    stop, mismatches, errors = threading.Event(), [], []
    write = threading.Thread(target=writer, args=(store, stop, errors), daemon=True)
    searchers = [threading.Thread(target=searcher,
                                  args=(store, expected, ROUNDS, mismatches, errors, s),
                                  daemon=True) for s in range(SEARCHERS)]
    write.start()
    for t in searchers:
        t.start()
    deadline = time.monotonic() + JOIN_TIMEOUT_S
    for t in searchers:
        t.join(max(0.0, deadline - time.monotonic()))
    stop.set()
    write.join(max(1.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in searchers + [write]), "a thread is stuck (deadlock?)"
    assert errors == []
    assert mismatches == []
    assert store.count() > BASE_POINTS, "the writer ran alongside the searches"
    assert {name: call(store) for name, call in queries()} == expected



# Writers are not starved: upserts go through while eight threads search without pause.

MOVERS = 10
UPSERTS = 200
WRITER_DEADLINE_S = 60


def mover_places(j):
    """Where mover j may be: 1 km or 3 km north of its centre, told apart by distance."""
    centre = (10.0 + j * 0.5, 20.0)
    return centre, [destination(*centre, 0.0, 1000.0), destination(*centre, 0.0, 3000.0)]


def test_upserts_finish_while_eight_threads_search_and_every_answer_holds_each_point_once(
    tmp_path,
):
    db = vesko.Vesko(str(tmp_path / "store"))
    rng = random.Random(9)
    n = 20_000
    db.add_many([f"b{i}" for i in range(n)], [10 + rng.uniform(-1, 6) for _ in range(n)],
                [20 + rng.uniform(-1, 1) for _ in range(n)], [BASE] * n)
    for j in range(MOVERS):
        _, places = mover_places(j)
        db.upsert(f"m{j}", *places[0], json.dumps({"m": f"m{j}"}))
    writer_done = threading.Event()
    faults, latencies, answers = [], [], [0]

    def check(j, hits):
        _, places = mover_places(j)
        found = [h for h in hits if h[0] == f"m{j}"]
        if len(found) != 1 or min(abs(found[0][1] - d) for d in (1000.0, 3000.0)) > 5.0:
            faults.append((j, hits))

    def search(seed):
        r = random.Random(seed)
        while not writer_done.is_set():
            j = r.randrange(MOVERS)
            centre, _ = mover_places(j)
            only = json.dumps({"m": f"m{j}"})
            check(j, db.search_knn(*centre, 1, only))
            check(j, db.search_radius(*centre, 5000.0, only))
            answers[0] += 1

    def write():
        try:
            for r in range(UPSERTS):
                j = r % MOVERS
                _, places = mover_places(j)
                started = time.monotonic()
                db.upsert(f"m{j}", *places[(r // MOVERS + 1) % 2], json.dumps({"m": f"m{j}"}))
                latencies.append(time.monotonic() - started)
        finally:
            writer_done.set()

    searchers = [threading.Thread(target=search, args=(s,)) for s in range(8)]
    for t in searchers:
        t.start()
    writer = threading.Thread(target=write)
    writer.start()
    writer.join(WRITER_DEADLINE_S)
    finished = not writer.is_alive()
    writer_done.set()
    for t in searchers:
        t.join(JOIN_TIMEOUT_S)
    assert finished, f"the writer managed {len(latencies)} of {UPSERTS} upserts"
    assert len(latencies) == UPSERTS
    assert faults == []
    assert answers[0] > 0
    db.close()
