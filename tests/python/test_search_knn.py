"""search_knn: the k nearest live points, nearest first."""

import json
import math
import random
import struct

import pytest
import vesko

from spatial_model import Model, destination, distance, f32


@pytest.fixture
def db(tmp_path):
    return vesko.Vesko(str(tmp_path / "store"))


def fill(db, model, points):
    for ext_id, lat, lon in points:
        db.add(ext_id, lat, lon, "{}")
        model.add(ext_id, lat, lon, {})


def assert_exact_knn(db, model, lat, lon, k, flt=None, keep=None):
    hits = db.search_knn(lat, lon, k, flt)
    assert [h[1] for h in hits] == model.knn_distances(lat, lon, k, keep)
    truth = model.knn_by_distance(lat, lon, keep)
    assert all(truth[ext_id] == d for ext_id, d, _ in hits)
    assert len({h[0] for h in hits}) == len(hits)


def test_k_zero_returns_nothing(db):
    db.add("a", 0.0, 0.0, "{}")
    assert db.search_knn(0.0, 0.0, 0) == []


def test_fewer_points_than_k_returns_them_all_nearest_first_however_far(db):
    model = Model()
    fill(db, model, [("antipode", -10.0, -170.0), ("near", 10.0, 10.01), ("far", 40.0, 60.0)])
    hits = db.search_knn(10.0, 10.0, 10)
    assert [h[0] for h in hits] == ["near", "far", "antipode"]
    assert [h[1] for h in hits] == model.knn_distances(10.0, 10.0, 10)
    assert all(type(h) is tuple and len(h) == 3 for h in hits)


def test_equally_distant_points_in_one_cell_go_to_the_one_added_first(db):
    db.add("second-id-first", 0.001, 0.0, "{}")
    db.add("first-id-second", -0.001, 0.0, "{}")
    assert [h[0] for h in db.search_knn(0.0, 0.0, 1)] == ["second-id-first"]
    assert [h[0] for h in db.search_knn(0.0, 0.0, 2)] == ["second-id-first", "first-id-second"]


@pytest.mark.parametrize("lat", [0.0, 45.0, 70.0, 89.0, -89.0])
def test_knn_is_exact_at_every_latitude(db, lat):
    # Points in rings around the query at growing distances and all bearings: the nearest
    # can sit several grid rings away in longitude while a farther one sits in the next ring.
    rng = random.Random(int(lat * 10) + 1000)
    model = Model()
    points = []
    for i in range(400):
        plat, plon = destination(lat, 30.0, rng.uniform(0, 360), rng.uniform(0, 60000) ** 1.2)
        points.append((f"p{i}", plat, plon))
    fill(db, model, points)
    for k in (1, 5, 17):
        for qlat, qlon in [(lat, 30.0), destination(lat, 30.0, 77.0, 3000.0)]:
            assert_exact_knn(db, model, qlat, qlon, k)


@pytest.mark.parametrize("qlon", [179.999, -179.999, 180.0, -180.0])
def test_knn_reaches_across_longitude_180(db, qlon):
    model = Model()
    fill(db, model, [("east-side", 0.0, -179.998), ("west-side", 0.0, 179.997),
                     ("far-west", 0.0, 179.9), ("far-east", 0.0, -179.5)])
    assert_exact_knn(db, model, 0.0, qlon, 2)
    assert {h[0] for h in db.search_knn(0.0, qlon, 2)} == {"east-side", "west-side"}


def test_fallback_scan_finds_points_far_beyond_the_rings(db):
    model = Model()
    fill(db, model, [("here", 0.0, 0.0)] + [(f"far{i}", 30.0 + i, 100.0 - i) for i in range(5)])
    assert_exact_knn(db, model, 0.0, 0.0, 4)


def test_filter_deletion_and_empty_results(db):
    db.add("cafe-near", 0.0, 0.001, '{"kind": "cafe"}')
    db.add("bar-nearest", 0.0, 0.0005, '{"kind": "bar"}')
    db.add("cafe-far", 0.0, 0.01, '{"kind": "cafe"}')
    db.add("cafe-gone", 0.0, 0.0, '{"kind": "cafe"}')
    db.delete("cafe-gone")
    assert [h[0] for h in db.search_knn(0.0, 0.0, 2, '{"kind": "cafe"}')] == ["cafe-near", "cafe-far"]
    assert [h[0] for h in db.search_knn(0.0, 0.0, 1)] == ["bar-nearest"]
    assert db.search_knn(0.0, 0.0, 3, '{"kind": "pub"}') == []
    with pytest.raises(ValueError):
        db.search_knn(0.0, 0.0, 3, "{")


@pytest.mark.parametrize("k, error", [(-1, OverflowError), (2 ** 32, OverflowError),
                                      (1.5, TypeError), ("3", TypeError)])
def test_bad_k_is_refused_before_the_search(db, k, error):
    with pytest.raises(error):
        db.search_knn(0.0, 0.0, k, "not even json")


def test_nan_query_ends_in_order_with_nan_distances_last(db):
    db.add("a", 0.0, 0.0, "{}")
    db.add("b", 1.0, 1.0, "{}")
    hits = db.search_knn(float("nan"), 0.0, 5)
    assert [h[0] for h in hits] == ["a", "b"]
    assert all(math.isnan(h[1]) for h in hits)


def test_points_stored_off_the_chart_are_still_ranked_by_their_distance(db):
    # Longitude 190 is longitude -170 to the distance formula; its grid cell is elsewhere.
    model = Model()
    fill(db, model, [("wrapped", 0.0, 190.0), ("regular", 0.0, -169.0)])
    model_points = [(f"fill{i}", 0.0, -169.5 + i * 0.0001) for i in range(20)]
    fill(db, model, model_points)
    assert_exact_knn(db, model, 0.0, -170.0, 3)
    assert db.search_knn(0.0, -170.0, 1)[0][0] == "wrapped"


@pytest.mark.parametrize("points, query", [
    ([("on180", 0.0, 180.0), ("east", 0.0, -150.0)], (29.6875, -179.6)),
    ([("on-180", 0.0, -180.0), ("west", 0.0, 150.0)], (29.6875, 179.6)),
    ([("on180", -40.0, 180.0), ("east", -40.0, -152.0)], (-10.0, -179.9)),
], ids=["lon180-from-east", "lon-180-from-west", "south"])
def test_nearest_point_on_longitude_180_is_found_from_across_it(db, points, query):
    model = Model()
    fill(db, model, points)
    truth = model.knn_by_distance(*query)
    assert [h[0] for h in db.search_knn(*query, 1)] == [min(truth, key=truth.get)]


def next_f32(x, direction):
    """The single-precision neighbour of f32(x) (x positive): about 40 cm of latitude here."""
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    return struct.unpack("<f", struct.pack("<I", bits + direction))[0]


@pytest.fixture(scope="module")
def stacks(tmp_path_factory):
    """Stacks of points at identical coordinates, each with a twin one float step away.

    Equal distances then fall only within a stack, whose points share a cell, so the nearest
    k are the k smallest (distance, insertion order) pairs. A tenth of the stacks are tagged
    rare: a filter on the tag leaves so few points that they are ranked directly instead of
    walked to, and both plans must give the same answer.
    """
    rng = random.Random(23)
    db = vesko.Vesko(str(tmp_path_factory.mktemp("stacks") / "store"))
    model = Model()
    n = 0
    for spot in range(600):
        lat, lon = destination(35.0, 139.0, rng.uniform(0, 360), rng.uniform(0, 60000))
        tag = "rare" if spot % 10 == 0 else "common"
        twin_lat = next_f32(lat, rng.choice([-1, 1]))
        for plat in [lat] * rng.randint(1, 6) + [twin_lat]:
            db.add(f"s{n}", plat, lon, json.dumps({"tag": tag}))
            model.add(f"s{n}", plat, lon, {"tag": tag})
            n += 1
    return db, model


def nearest_by_distance_then_id(model, lat, lon, k, keep=None):
    lat, lon = f32(lat), f32(lon)
    ranked = sorted((distance(lat, lon, p[1], p[2]), i) for i, p in model.points.items()
                    if keep is None or keep(p[3]))
    return [(model.points[i][0], d) for d, i in ranked[:k]]


@pytest.mark.parametrize("flt, keep", [(None, None),
                                       ('{"tag": "rare"}', lambda m: m["tag"] == "rare"),
                                       ('{"tag": "common"}', lambda m: m["tag"] == "common")],
                         ids=["walked", "rare-ranked-directly", "common-walked"])
@pytest.mark.parametrize("k", [1, 3, 10, 37, 200])
def test_ties_at_the_kth_place_keep_insertion_order_in_every_plan(stacks, flt, keep, k):
    db, model = stacks
    rng = random.Random(k)
    for _ in range(8):
        lat, lon = destination(35.0, 139.0, rng.uniform(0, 360), rng.uniform(0, 50000))
        got = [(h[0], h[1]) for h in db.search_knn(lat, lon, k, flt)]
        assert got == nearest_by_distance_then_id(model, lat, lon, k, keep), (lat, lon)
