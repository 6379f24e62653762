"""Answers as columns (answer="columns") and counts (answer="count"), held to the tuple answers
of the same calls on seeded random stores, and read by the Arrow consumers that are installed.
"""

import gc
import json
import random
import threading

import pytest
import vesko

from support import f32_bits, open_store

pa = pytest.importorskip("pyarrow")

DISTANCE_COLUMNS = ["id", "lat", "lon", "distance_m", "metadata"]
PLAIN_COLUMNS = ["id", "lat", "lon", "metadata"]


def random_points(rng, n):
    points = []
    for i in range(n):
        # Clustered near a few centres, one of them astride longitude 180, so that radius and
        # k-nearest answers hold many points; ids and texts of varied length, some not ASCII.
        clat, clon = rng.choice([(48.85, 2.35), (-33.9, 151.2), (0.0, 179.99), (89.9, 0.0)])
        lat = max(-90.0, min(90.0, clat + rng.gauss(0, 0.05)))
        lon = (clon + rng.gauss(0, 0.05) + 180.0) % 360.0 - 180.0
        meta = {"cat": rng.choice(["cafe", "bar", "äpfel"]), "n": rng.randrange(100),
                "pad": "x" * rng.randrange(40)}
        points.append((f"p{i}" + "é" * (i % 3), lat, lon, json.dumps(meta)))
    return points


@pytest.fixture(scope="module", params=[7, 31], ids=lambda seed: f"seed{seed}")
def world(request, tmp_path_factory):
    rng = random.Random(request.param)
    db = open_store(tmp_path_factory.mktemp("columns") / "store")
    points = random_points(rng, 3000)
    db.add_many(*map(list, zip(*points)))
    for ext_id, *_ in rng.sample(points, 200):
        db.delete(ext_id)
    yield db, rng
    db.close()


def searches(rng):
    """(name, callable taking answer=...) for every search, filtered and not."""
    calls = []
    for filter_json in (None, '{"cat": "bar"}'):
        for lat, lon in [(48.85, 2.35), (0.0, -179.99), (89.95, 120.0), (10.0, 10.0)]:
            calls.append((f"radius{lat},{lon},{filter_json}",
                          lambda db, a, q=(lat, lon, rng.choice([500.0, 5000.0, 2e5]),
                                           filter_json): db.search_radius(*q, answer=a)))
            calls.append((f"knn{lat},{lon},{filter_json}",
                          lambda db, a, q=(lat, lon, rng.choice([1, 17, 500]), filter_json):
                          db.search_knn(*q, answer=a)))
        calls.append(("box", lambda db, a, f=filter_json:
                      db.search_box((48.9, 2.3), (48.8, 2.4), f, answer=a)))
        calls.append(("polygon", lambda db, a, f=filter_json: db.search_polygon(
            [(-33.8, 151.1), (-34.0, 151.1), (-33.95, 151.3)], f, answer=a)))
    return calls


def assert_columns_equal_tuples(db, table, rows, distances):
    assert table.column_names == (DISTANCE_COLUMNS if distances else PLAIN_COLUMNS)
    assert table.schema.field("lat").type == pa.float32()
    columns = table.to_pydict()
    assert columns["id"] == [row[0] for row in rows]
    assert columns["metadata"] == [row[-1] for row in rows]
    if distances:
        got = table.column("distance_m").to_numpy().view("uint32").tolist()
        assert got == [f32_bits(row[1]) for row in rows]
    stored = [db.get(row[0]) for row in rows]
    for axis, at in (("lat", 0), ("lon", 1)):
        got = table.column(axis).to_numpy().view("uint32").tolist()
        assert got == [f32_bits(point[at]) for point in stored]


def test_every_search_answers_the_same_as_columns_and_counts(world):
    db, rng = world
    for name, call in searches(rng):
        rows = call(db, None)
        table = pa.table(call(db, "columns"))
        assert_columns_equal_tuples(db, table, rows, distances=len(rows[0]) == 3 if rows else
                                    "distance_m" in table.column_names)
        assert call(db, "count") == len(rows), name
        assert len(call(db, "columns")) == len(rows), name


def test_items_and_get_many_answer_the_same_as_columns(world):
    db, rng = world
    for filter_json in (None, '{"cat": "cafe"}'):
        rows = list(db.items(filter_json))
        table = pa.table(db.items(filter_json, answer="columns"))
        assert table.column_names == PLAIN_COLUMNS
        assert table.column("id").to_pylist() == [row[0] for row in rows]
        assert table.column("metadata").to_pylist() == [row[3] for row in rows]
        for axis, at in (("lat", 1), ("lon", 2)):
            got = table.column(axis).to_numpy().view("uint32").tolist()
            assert got == [f32_bits(row[at]) for row in rows]
    ids = [row[0] for row in rng.sample(rows, 50)] + ["absent", rows[0][0]]
    singles = [db.get(ext_id) for ext_id in ids]
    assert db.get_many(ids) == singles
    table = pa.table(db.get_many(ids, answer="columns"))
    live = [(ext_id, point) for ext_id, point in zip(ids, singles) if point is not None]
    assert table.column("id").to_pylist() == [ext_id for ext_id, _ in live]
    assert table.column("metadata").to_pylist() == [point[2] for _, point in live]
    assert table.column("lat").to_numpy().view("uint32").tolist() == [
        f32_bits(point[0]) for _, point in live]


def test_a_geoarrow_answer_is_the_columnar_one_with_its_points_last(world):
    db, rng = world
    calls = searches(rng) + [("items", lambda db, a: db.items(answer=a)),
                             ("get_many", lambda db, a: db.get_many(["p1", "p2", "x"], answer=a))]
    for name, call in calls:
        plain = pa.table(call(db, "columns"))
        table = pa.table(call(db, "geoarrow"))
        assert table.drop_columns(["geometry"]).equals(plain), name
        field = table.schema.field("geometry")
        assert field.metadata[b"ARROW:extension:name"] == b"geoarrow.point"
        assert json.loads(field.metadata[b"ARROW:extension:metadata"]) == {"crs": "OGC:CRS84"}
        points = table.column("geometry").combine_chunks()
        assert points.field("x").to_pylist() == plain.column("lon").cast(pa.float64()).to_pylist()
        assert points.field("y").to_pylist() == plain.column("lat").cast(pa.float64()).to_pylist()


def test_an_empty_answer_has_the_columns_and_no_rows(store):
    answer = store.search_radius(1.0, 2.0, 10.0, answer="columns")
    table = pa.table(answer)
    assert (table.num_rows, table.column_names) == (0, DISTANCE_COLUMNS)
    assert pa.table(store.items(answer="columns")).num_rows == 0
    assert store.search_polygon([(1, 2)], answer="count") == 0


def test_the_capsule_protocols_give_the_same_batch(store):
    store.add_many(["a", "b", "c"], [1.0, 1.001, 1.002], [2.0, 2.0, 2.0], ["{}", '{"k":1}', "{}"])
    answer = store.search_knn(1.0, 2.0, 3, answer="columns")
    batch = pa.record_batch(answer)  # through __arrow_c_array__
    assert batch.to_pydict() == pa.table(answer).to_pydict()  # through __arrow_c_stream__
    assert pa.schema(answer) == batch.schema  # through __arrow_c_schema__
    assert pa.table(answer).to_pandas()["id"].tolist() == ["a", "b", "c"]
    assert "3 rows" in repr(answer)
    # Capsules that are never imported release what they hold when they are dropped.
    answer.__arrow_c_array__(), answer.__arrow_c_stream__(), answer.__arrow_c_schema__()


def test_metadata_is_marked_as_json_text(store):
    store.add("a", 1.0, 2.0, '{"k": [1, 2]}')
    field = pa.schema(store.search_box((2, 1), (0, 3), answer="columns")).field("metadata")
    assert field.type.extension_name == "arrow.json"
    assert field.type.storage_type == pa.utf8()


def test_a_columnar_answer_outlives_changes_vacuum_and_close_of_its_store(store):
    store.add_many([f"p{i}" for i in range(100)], [1.0] * 100, [float(i) / 1e4 for i in range(100)],
                   ['{"i": %d}' % i for i in range(100)])
    answer = store.search_radius(1.0, 0.0, 1e6, answer="columns")
    stream = answer.__arrow_c_stream__()
    expected = pa.table(answer)
    store.delete_many([f"p{i}" for i in range(50)])
    store.vacuum()
    store.add("new", 1.0, 0.0, "{}")
    store.close()
    del store
    gc.collect()
    assert pa.table(answer) == expected
    assert pa.RecordBatchReader._import_from_c_capsule(stream).read_all() == expected


def test_an_imported_answer_can_be_released_on_another_thread(store):
    store.add_many([f"p{i}" for i in range(5000)], [1.0] * 5000,
                   [float(i) / 1e5 for i in range(5000)], ["{}"] * 5000)
    tables = [pa.table(store.search_box((2, 0), (0, 1), answer="columns")) for _ in range(8)]
    del store
    gc.collect()
    threads = [threading.Thread(target=tables.pop) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert tables == []


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda db: db.search_radius(1, 2, 3, answer="rows"), ValueError,
         "argument 'answer': must be None, 'columns', 'geoarrow' or 'count', not 'rows'"),
        (lambda db: db.search_box((1, 2), (0, 3), answer=True), TypeError, "argument 'answer'"),
        (lambda db: db.items(answer="count"), ValueError,
         "argument 'answer': must be None, 'columns' or 'geoarrow', not 'count'"),
        (lambda db: db.get_many("ab"), TypeError, "argument 'ids'"),
        (lambda db: db.get_many(["a", 1]), TypeError, "argument 'ids': item 1"),
    ],
    ids=["unknown_form", "not_a_str", "items_count", "ids_str", "ids_item"],
)
def test_bad_answer_and_ids_arguments_raise_and_change_nothing(store, call, error, message):
    store.add("a", 1.0, 2.0, "{}")
    with pytest.raises(error, match=message):
        call(store)
    assert list(store.items()) == [("a", 1.0, 2.0, "{}")]


@pytest.mark.parametrize("module", ["polars", "duckdb"])
def test_other_consumers_read_an_answer(store, module):
    consumer = pytest.importorskip(module)
    store.add_many(["a", "b"], [1.0, 1.001], [2.0, 2.0], ['{"k":1}', "{}"])
    answer = store.search_knn(1.0, 2.0, 2, answer="columns")
    if module == "polars":
        assert consumer.DataFrame(answer)["id"].to_list() == ["a", "b"]
    else:
        assert consumer.sql("select id from answer order by distance_m").fetchall() == [
            ("a",), ("b",)]


def test_the_readme_one_liner_makes_a_geodataframe(store):
    geopandas = pytest.importorskip("geopandas")
    store.add_many(["a", "b"], [52.52, -33.9], [13.40, 151.2], ['{"k":1}', "{}"])
    table = pa.table(store.items(answer="columns"))
    gdf = geopandas.GeoDataFrame(table.to_pandas(), crs="EPSG:4326",
                                 geometry=geopandas.points_from_xy(table["lon"], table["lat"]))
    assert gdf["id"].tolist() == ["a", "b"]
    assert gdf.geometry.x.tolist() == [store.get("a")[1], store.get("b")[1]]
    assert gdf.geometry.y.tolist() == [store.get("a")[0], store.get("b")[0]]
    assert gdf.crs.to_epsg() == 4326


def test_geopandas_reads_a_geoarrow_answer_in_one_call(store):
    geopandas = pytest.importorskip("geopandas")
    store.add_many(["a", "b"], [52.52, -33.9], [13.40, 151.2], ['{"k":1}', "{}"])
    gdf = geopandas.GeoDataFrame.from_arrow(store.search_knn(0, 0, 2, answer="geoarrow"))
    assert sorted(gdf["id"]) == ["a", "b"]
    by_id = dict(zip(gdf["id"], gdf.geometry))
    assert (by_id["a"].x, by_id["a"].y) == (store.get("a")[1], store.get("a")[0])
    assert gdf.crs.to_string() == "OGC:CRS84"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.slow
def test_a_hundred_thousand_answers_leave_memory_flat(store):
    store.add_many([f"p{i}" for i in range(200)], [1.0] * 200, [i / 1e4 for i in range(200)],
                   ['{"name": "a place"}'] * 200)

    def answer_many(n):
        for _ in range(n):
            answer = store.search_radius(1.0, 0.01, 300.0, answer="columns")
            pa.table(answer)
            answer.__arrow_c_array__()

    answer_many(10_000)
    before = resident_bytes()
    answer_many(100_000)
    # A leak of even one small buffer per answer would show as megabytes.
    assert resident_bytes() - before < 2 << 20


# Batch queries: one call for many centres, equal row for row to the single calls.


def centres(rng, n):
    # Near the points, anywhere, and on the poles and longitude 180.
    out = [(90.0, 0.0), (-90.0, 10.0), (0.0, 180.0), (0.0, -180.0), (89.95, 179.99)]
    while len(out) < n:
        if rng.random() < 0.7:
            clat, clon = rng.choice([(48.85, 2.35), (-33.9, 151.2), (0.0, 179.99), (89.9, 0.0)])
            out.append((max(-90.0, min(90.0, clat + rng.gauss(0, 0.05))),
                        (clon + rng.gauss(0, 0.05) + 180.0) % 360.0 - 180.0))
        else:
            out.append((rng.uniform(-90, 90), rng.uniform(-180, 180)))
    return out


def rows_by_query(table, queries):
    grouped = [[] for _ in range(queries)]
    columns = table.to_pydict()
    distances = table.column("distance_m").to_numpy().view("uint32").tolist()
    for q, ext_id, dist, meta in zip(columns["query"], columns["id"], distances,
                                     columns["metadata"]):
        grouped[q].append((ext_id, dist, meta))
    return grouped


@pytest.mark.parametrize("kind", ["knn", "radius", "radius_per_centre"])
def test_a_batch_query_equals_its_single_calls(world, kind):
    np = pytest.importorskip("numpy")
    db, rng = world
    where = centres(rng, 3000)
    lats = np.array([lat for lat, _ in where])
    lons = np.array([lon for _, lon in where], dtype=np.float32)
    filter_json = rng.choice([None, '{"cat": "bar"}'])
    if kind == "knn":
        table = pa.table(db.search_knn_many(lats, lons, 7, filter_json))
        singles = [db.search_knn(lat, lon, 7, filter_json) for lat, lon in where]
    else:
        radii = [rng.choice([100.0, 2000.0, 20000.0]) for _ in where]
        radius = radii if kind == "radius_per_centre" else 3000.0
        table = pa.table(db.search_radius_many(lats, lons, radius, filter_json=filter_json))
        if kind == "radius":
            radii = [3000.0] * len(where)
        singles = [db.search_radius(lat, lon, r, filter_json)
                   for (lat, lon), r in zip(where, radii)]
    assert table.column_names == ["query"] + DISTANCE_COLUMNS
    assert table.schema.field("query").type == pa.int32()
    assert sum(map(len, singles)) > 3000
    expected = [[(ext_id, f32_bits(dist), meta) for ext_id, dist, meta in rows] for rows in singles]
    assert rows_by_query(table, len(where)) == expected
    assert table.column("query").to_pylist() == sorted(table.column("query").to_pylist())


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda db, np: db.search_knn_many(np.zeros(3, np.int64), np.zeros(3), 1), TypeError,
         "argument 'lats': a buffer must hold float32 or float64"),
        (lambda db, np: db.search_knn_many(np.zeros(3), np.zeros((3, 1)), 1), TypeError,
         "argument 'lons': a buffer must have one dimension"),
        (lambda db, np: db.search_radius_many(np.zeros(3), np.zeros(2), 10.0), ValueError,
         "argument 'lons': holds 2 items where 'lats' holds 3"),
        (lambda db, np: db.search_radius_many([1.0], [2.0], [1.0, 2.0]), ValueError,
         "argument 'radius_m': holds 2 items where 'lats' holds 1"),
        (lambda db, np: db.search_radius_many([1.0], [2.0], "far"), TypeError,
         "argument 'radius_m'"),
        (lambda db, np: db.search_knn_many([1.0], [2.0], 1, "{"), ValueError,
         "syntax error"),
        # The filter is parsed once, before any search: no centre is needed to refuse it.
        (lambda db, np: db.search_radius_many([], [], 1.0, "{"), ValueError, "syntax error"),
    ],
    ids=["integer_dtype", "two_dimensions", "lengths_differ", "radii_length", "radius_str",
         "bad_filter", "bad_filter_no_centres"],
)
def test_bad_centres_raise_naming_the_argument_and_change_nothing(store, call, error, message):
    np = pytest.importorskip("numpy")
    store.add("a", 1.0, 2.0, "{}")
    with pytest.raises(error, match=message):
        call(store, np)
    assert list(store.items()) == [("a", 1.0, 2.0, "{}")]
