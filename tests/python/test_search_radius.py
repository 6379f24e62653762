"""search_radius: every live point within the radius, nearest first, with f32 distances."""

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


def test_distances_are_the_exact_single_precision_values(db):
    db.add("origin", 0.0, 0.0, "{}")
    db.add("east", 0.0, 1.0, "{}")
    db.add("north", 1.0, 0.0, '{"k": 1}')
    hits = db.search_radius(0.0, 0.0, 200000.0)
    assert hits == [("origin", 0.0, "{}"), ("east", 111194.9296875, "{}"),
                    ("north", 111194.9296875, '{"k":1}')]
    assert all(type(h) is tuple and len(h) == 3 for h in hits)
    assert [type(x) for x in hits[0]] == [str, float, str]


def test_equal_distances_keep_insertion_order(db):
    for ext_id, lat, lon in [("b", 0.0, -1.0), ("a", -1.0, 0.0), ("c", 0.0, 1.0)]:
        db.add(ext_id, lat, lon, "{}")
    assert [h[0] for h in db.search_radius(0.0, 0.0, 120000.0)] == ["b", "a", "c"]


@pytest.mark.parametrize("radius_m, expected", [
    pytest.param(0.0, ["here", "here-too"], id="zero radius keeps exact matches"),
    pytest.param(-1.0, [], id="negative radius"),
    pytest.param(float("nan"), [], id="nan radius"),
    pytest.param(float("inf"), ["here", "here-too", "near"], id="infinite radius"),
])
def test_degenerate_radii(db, radius_m, expected):
    db.add("here", 10.0, 10.0, "{}")
    db.add("near", 10.0, 10.001, "{}")
    db.add("here-too", 10.0, 10.0, "{}")
    assert [h[0] for h in db.search_radius(10.0, 10.0, radius_m)] == expected


@pytest.mark.parametrize("lat", [0.0, 30.0, 45.0, 60.0, 75.0, 85.0, -60.0, -85.0])
@pytest.mark.parametrize("bearing", [90.0, 270.0, 45.0, 135.0])
def test_points_near_the_edge_of_the_circle_are_found_at_every_latitude(db, lat, bearing):
    # 9 km from the centre of a 10 km circle: east and west of the centre the circle is wider
    # in degrees of longitude than in degrees of latitude, increasingly so toward the poles.
    plat, plon = destination(lat, 20.0, bearing, 9000.0)
    db.add("edge", plat, plon, "{}")
    hits = db.search_radius(lat, 20.0, 10000.0)
    assert [h[0] for h in hits] == ["edge"]
    assert hits[0][1] == distance(f32(lat), f32(20.0), f32(plat), f32(plon))


def test_the_point_9_km_due_east_at_latitude_60_is_found(db):
    db.add("east", 60.0, 0.162, "{}")
    assert db.search_radius(60.0, 0.0, 10000.0) == [("east", 9006.787109375, "{}")]


@pytest.mark.parametrize("centre_lon, point_lon", [
    pytest.param(179.995, -179.995, id="east of the centre, across 180"),
    pytest.param(-179.995, 179.995, id="west of the centre, across 180"),
    pytest.param(180.0, -179.99, id="centre on 180"),
    pytest.param(-180.0, 179.99, id="centre on -180"),
])
def test_circles_across_the_antimeridian_find_points_on_the_other_side(db, centre_lon, point_lon):
    db.add("across", 10.0, point_lon, "{}")
    db.add("far", 10.0, 170.0, "{}")
    assert [h[0] for h in db.search_radius(10.0, centre_lon, 5000.0)] == ["across"]


@pytest.mark.parametrize("pole", [90.0, -90.0])
def test_circles_around_a_pole_find_points_at_every_longitude(db, pole):
    sign = 1.0 if pole > 0 else -1.0
    for i, lon in enumerate(range(-180, 180, 30)):
        db.add(f"p{i}", sign * 89.95, float(lon), "{}")
    db.add("outside", sign * 89.5, 0.0, "{}")
    hits = db.search_radius(sign * 89.96, 0.0, 15000.0)
    assert sorted(h[0] for h in hits) == sorted(f"p{i}" for i in range(12))
    assert [h[1] for h in hits] == sorted(h[1] for h in hits)


def test_filter_narrows_and_a_filter_matching_nothing_returns_nothing(db):
    db.add("cafe", 0.0, 0.0, '{"kind": "cafe", "rating": 4.5}')
    db.add("bar", 0.0, 0.001, '{"kind": "bar", "rating": 4.9}')
    db.add("cafe2", 0.0, 0.002, '{"kind": "cafe", "rating": 3.0}')
    search = lambda f: [h[0] for h in db.search_radius(0.0, 0.0, 1000.0, f)]
    assert search(None) == ["cafe", "bar", "cafe2"]
    assert search('{"kind": "cafe"}') == ["cafe", "cafe2"]
    assert search('{"kind": "cafe", "rating": {"$gte": 4}}') == ["cafe"]
    assert search('{"kind": "pub"}') == []
    assert search("[]") == []
    assert search("{}") == ["cafe", "bar", "cafe2"]


def test_invalid_filter_raises_the_bare_parser_message(db):
    db.add("a", 0.0, 0.0, "{}")
    with pytest.raises(ValueError) as err:
        db.search_radius(0.0, 0.0, 10.0, "{nope")
    assert not str(err.value).startswith(("Invalid JSON", "Invalid Filter"))
    assert "line 1 column" in str(err.value)


def test_deleted_points_are_never_returned(db):
    db.add("gone", 0.0, 0.0, "{}")
    db.add("kept", 0.0, 0.0001, "{}")
    db.delete("gone")
    db.add("gone", 5.0, 5.0, "{}")  # same id again, elsewhere
    assert [h[0] for h in db.search_radius(0.0, 0.0, 100.0)] == ["kept"]


def test_empty_store_returns_nothing(db):
    assert db.search_radius(0.0, 0.0, 1e7) == []


def test_a_continent_wide_circle_finds_every_point_in_it(db):
    points = [(f"p{i}", -40.0 + i * 0.8, -170.0 + i * 3.4) for i in range(100)]
    for ext_id, lat, lon in points:
        db.add(ext_id, lat, lon, json.dumps({"i": ext_id}))
    hits = db.search_radius(0.0, 0.0, 2.1e7)
    assert sorted(h[0] for h in hits) == sorted(p[0] for p in points)
    assert all(not math.isnan(h[1]) for h in hits)


@pytest.fixture(scope="module")
def crowded(tmp_path_factory):
    """Points stacked on a few hundred spots (many exactly equal distances), some deleted."""
    rng = random.Random(41)
    db = vesko.Vesko(str(tmp_path_factory.mktemp("crowded") / "store"))
    model = Model()
    spots = [destination(10.0, 20.0, rng.uniform(0, 360), rng.uniform(0, 30000))
             for _ in range(300)]
    for n in range(6000):
        lat, lon = rng.choice(spots) if n % 3 else destination(10.0, 20.0, rng.uniform(0, 360),
                                                               rng.uniform(0, 30000))
        meta = {"n": n, "even": n % 2 == 0}
        db.add(f"c{n}", lat, lon, json.dumps(meta))
        model.add(f"c{n}", lat, lon, meta)
    for n in rng.sample(range(6000), 400):
        db.delete(f"c{n}")
        model.delete(f"c{n}")
    return db, model


# Radii whose answers hold from a handful to thousands of hits: small answers and large ones
# are ordered by different code, and both must give the model's order, ties in id order.
@pytest.mark.parametrize("radius_m", [500.0, 3000.0, 8000.0, 15000.0, 40000.0],
                         ids=["handful", "hundreds", "about-a-thousand", "thousands", "all"])
@pytest.mark.parametrize("flt, keep", [(None, None), ('{"even": true}', lambda m: m["even"])],
                         ids=["unfiltered", "half-filter"])
def test_large_answers_with_many_equal_distances_match_the_model(crowded, radius_m, flt, keep):
    db, model = crowded
    got = [(h[0], h[1]) for h in db.search_radius(10.0, 20.0, radius_m, flt)]
    assert got == model.radius(10.0, 20.0, radius_m, keep)
    assert all(json.loads(h[2])["n"] == int(h[0][1:]) for h in db.search_radius(10.0, 20.0,
                                                                                 radius_m, flt))


@pytest.mark.parametrize("distance_m", [20.0, 300.0, 2_000.0, 150_000.0, 5_000_000.0, 19_000_000.0])
def test_a_radius_equal_to_a_distance_keeps_that_point_and_one_float_less_drops_it(db, distance_m):
    # Points far outside the circle skip the distance step: at the circle's edge, where the
    # shortcut's bound is nearest, the answer must still be decided by the f32 distance.
    rng = random.Random(distance_m)
    for i in range(40):
        lat, lon = rng.uniform(-80, 80), rng.uniform(-180, 180)
        plat, plon = destination(lat, lon, rng.uniform(0, 360), distance_m * rng.uniform(0.5, 1))
        db.add(f"p{i}", plat, plon, "{}")
        d = distance(f32(lat), f32(lon), f32(plat), f32(plon))
        assert (f"p{i}", d, "{}") in db.search_radius(lat, lon, d)
        bits = struct.unpack("<I", struct.pack("<f", d))[0]
        below = struct.unpack("<f", struct.pack("<I", bits - 1))[0]
        assert f"p{i}" not in [h[0] for h in db.search_radius(lat, lon, below)]
        db.delete(f"p{i}")
