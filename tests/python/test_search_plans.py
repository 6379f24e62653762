"""Searches answer the same whichever plan finds their candidates.

A filter that matches few points is evaluated first and only its points are examined; a query
near a pole walks whole rows of the grid. Both must give exactly the brute-force answer, on a
store large enough for the plans to be chosen (the window of a search must hold thousands of
points before the filter is evaluated over the whole store).
"""

import json
import math
import random

import pytest
import vesko

from spatial_model import Model, destination

RARE = '{"tag": "rare"}'
RARE_AND_RATED = '{"$and": [{"tag": "rare"}, {"rating": {"$gte": 2}}]}'
COMMON = '{"tag": "common"}'
KEEP = {
    RARE: lambda m: m["tag"] == "rare",
    RARE_AND_RATED: lambda m: m["tag"] == "rare" and m["rating"] >= 2,
    COMMON: lambda m: m["tag"] == "common",
}


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    rng = random.Random(31)
    db = vesko.Vesko(str(tmp_path_factory.mktemp("plans") / "store"))
    model = Model()
    centres = [(rng.uniform(-70, 70), rng.uniform(-180, 180)) for _ in range(8)]
    centres += [(89.95, 10.0), (-89.9, -100.0), (10.0, 179.99)]
    for n in range(14000):
        if n % 5 == 0:  # a uniform fifth over the sphere, poles included
            lat, lon = math.degrees(math.asin(rng.uniform(-1, 1))), rng.uniform(-180, 180)
        else:
            clat, clon = rng.choice(centres)
            lat, lon = destination(clat, clon, rng.uniform(0, 360), abs(rng.gauss(0, 30000)))
        tag = "rare" if rng.random() < 0.004 else rng.choice(["common", "other"])
        meta = {"tag": tag, "rating": rng.randint(0, 5)}
        db.add(f"p{n}", lat, lon, json.dumps(meta))
        model.add(f"p{n}", lat, lon, meta)
    for n in rng.sample(range(14000), 700):
        db.delete(f"p{n}")
        model.delete(f"p{n}")
    return db, model


WIDE_RADII = [(0.0, 0.0, 2.1e7), (45.0, 10.0, 3e6), (-30.0, 179.0, 1.5e6), (89.9, 0.0, 200000.0)]


@pytest.mark.parametrize("flt", [RARE, RARE_AND_RATED, COMMON, None],
                         ids=["rare", "rare+rated", "common", "unfiltered"])
@pytest.mark.parametrize("lat, lon, radius", WIDE_RADII,
                         ids=["whole-earth", "continent", "across-180", "polar-cap"])
def test_wide_radius_is_exact_with_any_filter(world, flt, lat, lon, radius):
    db, model = world
    got = [(h[0], h[1]) for h in db.search_radius(lat, lon, radius, flt)]
    assert got == model.radius(lat, lon, radius, KEEP.get(flt))


@pytest.mark.parametrize("flt", [RARE, RARE_AND_RATED, COMMON],
                         ids=["rare", "rare+rated", "common"])
def test_wide_box_and_polygon_are_exact_with_a_filter(world, flt):
    db, model = world
    keep = KEEP[flt]
    for tl, br in [((80.0, -170.0), (-80.0, 170.0)), ((90.0, -180.0), (40.0, 180.0))]:
        assert [h[0] for h in db.search_box(tl, br, flt)] == model.box(tl, br, keep)
    ring = [(60.0, -150.0), (70.0, 0.0), (60.0, 150.0), (-60.0, 150.0), (-70.0, 0.0),
            (-60.0, -150.0)]
    assert [h[0] for h in db.search_polygon(ring, flt)] == model.polygon(ring, keep)


QUERIES = [(89.99, 45.0), (-89.99, -100.0), (90.0, 0.0), (-90.0, 180.0), (88.0, -179.99),
           (86.0, 30.0), (0.0, 179.999), (12.0, -40.0), (-45.0, 100.0)]


@pytest.mark.parametrize("flt", [RARE, RARE_AND_RATED, COMMON, None],
                         ids=["rare", "rare+rated", "common", "unfiltered"])
@pytest.mark.parametrize("k", [1, 10, 60])
def test_knn_is_exact_near_poles_and_with_selective_filters(world, flt, k):
    db, model = world
    keep = KEEP.get(flt)
    for lat, lon in QUERIES:
        got = db.search_knn(lat, lon, k, flt)
        truth = model.knn_by_distance(lat, lon, keep)
        expected = sorted(truth, key=truth.get)[:k]
        assert [h[1] for h in got] == [truth[e] for e in expected], (lat, lon)
        assert [h[0] for h in got] == expected, (lat, lon)
