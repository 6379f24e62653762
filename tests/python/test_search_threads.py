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

