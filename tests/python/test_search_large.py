"""Answers of thousands of hits against a brute-force answer over the same stored f32 values.

Answers this large are gathered in runs by two threads, and their candidate lists examined in
two halves at once; each hit must still come with its own id, distance and metadata, in the
order a small answer keeps (distance, then insertion order at a tie).
"""

import json
import math
import os
import random
import signal
import time

import pytest
import vesko

from spatial_model import Model, destination, f32

LAT0, LON0 = 45.0, 7.0
SIDE_DEG = 0.6


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    rng = random.Random(41)
    db = vesko.Vesko(str(tmp_path_factory.mktemp("large") / "store"))
    model = Model()
    metas = {}
    seen = set()
    points = []
    while len(points) < 40_000:
        lat, lon = LAT0 + rng.random() * SIDE_DEG, LON0 + rng.random() * SIDE_DEG
        if (f32(lat), f32(lon)) in seen:
            continue
        seen.add((f32(lat), f32(lon)))
        n = len(points)
        # Metadata of varied length, so that a text handed to the wrong hit cannot match; now
        # and then an id or a text beyond ASCII, so that some runs of an answer hold one and
        # others none.
        meta = {"n": n, "cat": rng.choice(["a", "b"]), "pad": "x" * (n % 29)}
        if n % 701 == 3:
            meta["pad"] = "ü日😀" * (n % 5)
        points.append((f"q{n}é" if n % 997 == 5 else f"q{n}", lat, lon, meta))
    db.add_many([p[0] for p in points], [p[1] for p in points], [p[2] for p in points],
                [json.dumps(p[3], ensure_ascii=False) for p in points])
    for ext_id, lat, lon, meta in points:
        model.add(ext_id, lat, lon, meta)
        metas[ext_id] = meta
    for ext_id, *_ in rng.sample(points, 2000):
        db.delete(ext_id)
        model.delete(ext_id)
    # Some points twice at one position, so that equal distances occur in large answers too.
    for n in range(0, 300, 3):
        ext_id, lat, lon, meta = points[n]
        if ext_id in model.by_ext:
            twin = (f"t{n}", lat, lon, {"n": -n, "cat": "a", "pad": ""})
            db.add(twin[0], lat, lon, json.dumps(twin[3]))
            model.add(*twin)
            metas[twin[0]] = twin[3]
    return db, model, metas


MID = (LAT0 + SIDE_DEG / 2, LON0 + SIDE_DEG / 2)
CAT_A = ('{"cat": "a"}', lambda m: m["cat"] == "a")


@pytest.mark.parametrize("radius_m, flt", [
    (8_000.0, None), (16_000.0, None), (30_000.0, None), (20_000.0, CAT_A),
], ids=["2k-hits", "10k-hits", "whole-square", "filtered-8k"])
def test_large_radius_matches_brute_force(world, radius_m, flt):
    db, model, metas = world
    got = db.search_radius(*MID, radius_m, flt[0] if flt else None)
    expected = model.radius(*MID, radius_m, flt[1] if flt else None)
    assert len(expected) >= 2048
    assert [(h[0], h[1]) for h in got] == expected
    assert all(json.loads(h[2]) == metas[h[0]] for h in got)


def test_large_knn_matches_brute_force(world):
    db, model, metas = world
    k = 6000
    got = db.search_knn(*MID, k)
    truth = model.knn_by_distance(*MID)
    # The order among equal distances follows the search's examination, not the id.
    dists = [h[1] for h in got]
    assert dists == sorted(truth.values())[:k]
    last = dists[-1]
    assert {h[0] for h in got if h[1] < last} == {e for e, d in truth.items() if d < last}
    assert all(truth[h[0]] == h[1] for h in got)
    assert all(json.loads(h[2]) == metas[h[0]] for h in got)


def test_large_box_and_polygon_match_brute_force(world):
    db, model, metas = world
    tl, br = (LAT0 + 0.5, LON0 + 0.05), (LAT0 + 0.1, LON0 + 0.45)
    got = db.search_box(tl, br)
    assert len(got) >= 8192
    assert [h[0] for h in got] == model.box(tl, br)
    assert all(json.loads(h[1]) == metas[h[0]] for h in got)
    ring = [destination(*MID, bearing, 20_000 + 5_000 * math.sin(bearing))
            for bearing in range(0, 360, 20)]
    got = db.search_polygon(ring, CAT_A[0])
    assert len(got) >= 2048
    assert [h[0] for h in got] == model.polygon(ring, CAT_A[1])
    assert all(json.loads(h[1]) == metas[h[0]] for h in got)


def test_a_forked_child_gets_large_answers_without_its_parents_helper(world, tmp_path):
    # After a large answer here the helper thread runs; a child made by fork() has no such
    # thread, and its own large answers must neither wait for it nor differ.
    db, _, _ = world
    assert len(db.search_radius(*MID, 16_000.0)) > 8_000
    rng = random.Random(5)
    path = str(tmp_path / "for-child")
    other = vesko.Vesko(path)
    other.add_many([f"c{i}" for i in range(30_000)],
                   [LAT0 + rng.random() * 0.3 for _ in range(30_000)],
                   [LON0 + rng.random() * 0.3 for _ in range(30_000)], ["{}"] * 30_000)
    expected = other.search_radius(LAT0 + 0.15, LON0 + 0.15, 12_000.0)
    assert len(expected) > 8_000
    other.close()
    pid = os.fork()
    if pid == 0:
        ok = False
        try:
            child = vesko.Vesko(path)
            ok = all(child.search_radius(LAT0 + 0.15, LON0 + 0.15, 12_000.0) == expected
                     for _ in range(3))
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.05)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the child's large search did not return")
    assert os.waitstatus_to_exitcode(status) == 0
