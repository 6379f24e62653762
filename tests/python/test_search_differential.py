"""Every search against a brute-force answer over the same stored f32 values.

Seeded random stores, clustered like real places and uniform over the whole sphere, with
queries everywhere including the poles and longitude 180; the seed is in the test id.
"""

import json
import math
import random

import pytest
import vesko

from spatial_model import Model, destination, f32

CATEGORIES = ["cafe", "bar", "park", "museum"]
FILTERS = [
    (None, None),
    ('{"cat": "cafe"}', lambda m: m["cat"] == "cafe"),
    ('{"cat": "bar", "rating": {"$gte": 2.5}}', lambda m: m["cat"] == "bar" and m["rating"] >= 2.5),
]


def make_points(rng, layout, n):
    points, seen = [], set()
    if layout == "clustered":
        centres = [(rng.uniform(-80, 80), rng.uniform(-180, 180)) for _ in range(12)]
        centres += [(88.5, 0.0), (0.0, 179.95), (-60.0, -179.9)]
    while len(points) < n:
        if layout == "clustered":
            clat, clon = rng.choice(centres)
            lat, lon = destination(clat, clon, rng.uniform(0, 360), abs(rng.gauss(0, 15000)))
        else:
            lat = math.degrees(math.asin(rng.uniform(-1, 1)))
            lon = rng.uniform(-180, 180)
        key = (f32(lat), f32(lon))
        if key in seen:
            continue  # distinct positions keep the expected order free of ties
        seen.add(key)
        meta = {"cat": rng.choice(CATEGORIES), "rating": round(rng.uniform(0, 5), 1)}
        points.append((f"p{len(points)}", lat, lon, meta))
    return points


def make_queries(rng, points, n):
    queries = [(90.0, 0.0), (-90.0, 0.0), (0.0, 180.0), (0.0, -180.0), (89.9, 179.99)]
    while len(queries) < n:
        if rng.random() < 0.6:
            _, lat, lon, _ = rng.choice(points)
            lat, lon = destination(lat, lon, rng.uniform(0, 360), rng.uniform(0, 20000))
        else:
            lat, lon = math.degrees(math.asin(rng.uniform(-1, 1))), rng.uniform(-180, 180)
        queries.append((lat, lon))
    return queries


@pytest.fixture(scope="module", params=[("clustered", 11), ("uniform", 23)],
                ids=lambda p: f"{p[0]}-seed{p[1]}")
def world(request, tmp_path_factory):
    layout, seed = request.param
    rng = random.Random(seed)
    db = vesko.Vesko(str(tmp_path_factory.mktemp(layout) / "store"))
    model = Model()
    points = make_points(rng, layout, 3000)
    for ext_id, lat, lon, meta in points:
        db.add(ext_id, lat, lon, json.dumps(meta))
        model.add(ext_id, lat, lon, meta)
    for ext_id, *_ in rng.sample(points, 300):
        db.delete(ext_id)
        model.delete(ext_id)
    return db, model, make_queries(rng, points, 30), rng


@pytest.mark.parametrize("flt, keep", FILTERS, ids=["unfiltered", "category", "category+rating"])
def test_radius_matches_brute_force(world, flt, keep):
    db, model, queries, rng = world
    for lat, lon in queries:
        radius = rng.choice([500.0, 5000.0, 40000.0, 300000.0])
        got = [(h[0], h[1]) for h in db.search_radius(lat, lon, radius, flt)]
        assert got == model.radius(lat, lon, radius, keep), (lat, lon, radius)


@pytest.mark.parametrize("flt, keep", FILTERS, ids=["unfiltered", "category", "category+rating"])
def test_knn_matches_brute_force(world, flt, keep):
    db, model, queries, rng = world
    for lat, lon in queries:
        k = rng.choice([1, 10, 40])
        got = db.search_knn(lat, lon, k, flt)
        truth = model.knn_by_distance(lat, lon, keep)
        expected = sorted(truth, key=truth.get)[:k]
        assert [h[0] for h in got] == expected, (lat, lon, k)
        assert [h[1] for h in got] == [truth[e] for e in expected]


def test_box_and_polygon_match_brute_force(world):
    db, model, queries, rng = world
    for lat, lon in queries:
        half_lat, half_lon = rng.uniform(0.01, 3.0), rng.uniform(0.01, 6.0)
        tl, br = (lat + half_lat, lon - half_lon), (lat - half_lat, lon + half_lon)
        assert [h[0] for h in db.search_box(tl, br)] == model.box(tl, br)
        ring = [destination(lat, lon, b + rng.uniform(-10, 10), rng.uniform(2000, 80000))
                for b in range(0, 360, 30)]
        assert [h[0] for h in db.search_polygon(ring)] == model.polygon(ring)
        flt, keep = FILTERS[1]
        assert [h[0] for h in db.search_polygon(ring, flt)] == model.polygon(ring, keep)
