"""Walking the live points (items) and carrying them out and back in: GeoJSON and GeoParquet
export, the two importers, what the walk sees while the store changes, and bad input."""

import json
import math
import random
import struct
import subprocess
import sys

import pytest
import vesko

from support import Slots, f32, file_digests, open_store, reopen, store_path


def fill(store, n, seed=0):
    rng = random.Random(seed)
    for i in range(n):
        meta = {"i": i, "kind": rng.choice(["cafe", "bar", "park"]), "name": f"place \u00e9{i}"}
        if i % 7 == 0:
            meta["tags"] = [1, None, {"x": True}]
        store.add(f"p{i}", rng.uniform(-89, 89), rng.uniform(-179.9, 179.9), json.dumps(meta))


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0] if not math.isnan(x) else "nan"


def exact(items):
    """Items with coordinates as f32 bit patterns, so that equality is bit-exact."""
    return [(e, bits(lat), bits(lon), m) for e, lat, lon, m in items]


# items


def test_items_yields_every_live_point_in_internal_id_order(store):
    fill(store, 30)
    store.delete("p3")
    store.upsert("p5", 1, 2, '{"moved": true}')
    slots = Slots(store_path(store))
    int_ids = [n for n in range(30) if n not in (3, 5)] + [30]  # the upsert took slot 30
    assert list(store.items()) == [
        (slots.ext_id(n), *slots.lat_lon(n), slots.metadata(n)) for n in int_ids
    ]
    items = list(store.items())
    assert items[-1] == ("p5", 1.0, 2.0, '{"moved":true}')


@pytest.mark.parametrize(
    "filter_json",
    ['{"kind": "cafe"}', '{"i": {"$gte": 1500}}', '{"kind": "none"}', "{}", None],
    ids=["string_field", "numeric_range", "matches_nothing", "empty_filter", "no_filter"],
)
def test_items_with_a_filter_yields_what_the_filter_matches_across_chunks(store, filter_json):
    fill(store, 2600)
    for i in range(0, 2600, 3):
        store.delete(f"p{i}")
    everything = list(store.items())
    assert len(everything) == store.count()
    if filter_json is None:
        expected = everything
    else:
        model = json.loads(filter_json)

        def matches(meta):
            meta = json.loads(meta)
            if not model:
                return True  # the empty filter matches every live point
            (field, want), = model.items()
            if isinstance(want, dict):
                return meta[field] >= want["$gte"]
            return meta.get(field) == want

        expected = [item for item in everything if matches(item[3])]
    assert list(store.items(filter_json)) == expected
    assert list(store.items(filter_json=filter_json)) == expected


def test_items_is_lazy_and_sees_each_point_as_its_chunk_was_read(store):
    for i in range(3000):
        store.add(f"p{i}", 0, 0, json.dumps({"v": 0}))
    walk = store.items()
    first = next(walk)
    assert first[0] == "p0"
    # Changes beyond the first chunk (1,000 points) are seen; the first chunk was read already.
    store.delete("p2500")
    store.delete("p10")
    store.upsert("p2000", 1, 1, json.dumps({"v": 1}))
    store.add("late", 0, 0, "{}")
    rest = [e for e, *_ in walk]
    assert "p10" in rest and "p2500" not in rest
    assert rest.count("p2000") == 1 and rest[-2:] == ["p2000", "late"]
    with pytest.raises(StopIteration):
        next(walk)


def test_items_keeps_its_store_alive(tmp_path):
    store = open_store(tmp_path / "s")
    fill(store, 1500)
    walk = store.items()
    del store
    assert sum(1 for _ in walk) == 1500


def test_items_of_an_empty_store_is_empty(store):
    assert list(store.items()) == []
    assert iter(store.items()) is not None


# Export and import


def test_geojson_export_is_an_rfc_7946_feature_collection(store, tmp_path):
    store.add("a", 52.52, 13.40, '{"kind": "cafe", "n": 1}')
    store.add("b\u00e9", -33.9, 151.2, "{}")
    path = tmp_path / "out.geojson"
    assert store.export(path) == 2
    collection = json.loads(path.read_text(encoding="utf-8"))
    assert collection["type"] == "FeatureCollection"
    first, second = collection["features"]
    assert first == {
        "type": "Feature",
        "id": "a",
        "geometry": {"type": "Point", "coordinates": [f32(13.40), f32(52.52)]},
        "properties": {"kind": "cafe", "n": 1},
    }
    assert second["id"] == "b\u00e9" and second["properties"] == {}


@pytest.mark.parametrize("suffix", [".geojson", ".parquet"], ids=["geojson", "geoparquet"])
def test_ten_thousand_points_round_trip_bit_exact(tmp_path, suffix):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    source = open_store(tmp_path / "source")
    fill(source, 10_000, seed=1)
    source.add("nan", float("nan"), float("nan"), '{"where": "nowhere"}')
    path = tmp_path / ("points" + suffix)
    assert source.export(str(path)) == 10_001
    target = open_store(tmp_path / "target")
    importer = vesko.import_parquet if suffix == ".parquet" else vesko.import_geojson
    assert importer(path, target) == 10_001
    assert exact(target.items()) == exact(source.items())
    target = reopen(target)
    assert target.count() == 10_001
    assert target.search_knn(10, 10, 5) == source.search_knn(10, 10, 5)


def test_geoparquet_reads_in_geopandas_with_points_in_lon_lat(store, tmp_path):
    gpd = pytest.importorskip("geopandas")
    fill(store, 1000)
    path = tmp_path / "points.parquet"
    store.export(path)
    frame = gpd.read_parquet(path)
    assert len(frame) == 1000
    assert frame.crs is not None and frame.crs.is_geographic
    assert list(frame["id"]) == [e for e, *_ in store.items()]
    for (ext_id, lat, lon, metadata), point, meta in zip(
        store.items(), frame.geometry, frame["metadata"]
    ):
        assert (point.x, point.y) == (lon, lat)
        assert meta == metadata
    inside = frame.cx[0:10, 0:10]
    box = store.search_box((10, 0), (0, 10))
    assert sorted(inside["id"]) == sorted(e for e, _ in box)


@pytest.mark.parametrize(
    "name,format,kind",
    [
        ("a.geojson", None, "geojson"),
        ("a.JSON", None, "geojson"),
        ("a.parquet", None, "parquet"),
        ("a.data", "geojson", "geojson"),
        ("a.geojson", "parquet", "parquet"),
    ],
    ids=["geojson_suffix", "json_suffix_any_case", "parquet_suffix", "format_without_suffix",
         "format_over_suffix"],
)
def test_export_format_comes_from_the_suffix_or_the_format_argument(store, tmp_path, name,
                                                                     format, kind):
    if kind == "parquet":
        pytest.importorskip("pyarrow")
    store.add("a", 1, 2, "{}")
    path = tmp_path / name
    store.export(path, format)
    head = path.read_bytes()[:4]
    assert head == (b"PAR1" if kind == "parquet" else b'{"ty')


def test_existing_ids_are_left_unchanged_by_an_import(store, tmp_path):
    store.add("a", 1, 2, '{"v": 1}')
    store.add("b", 3, 4, '{"v": 1}')
    path = tmp_path / "x.geojson"
    store.export(path)
    other = open_store(tmp_path / "other")
    other.add("a", 9, 9, '{"v": 2}')
    assert vesko.import_geojson(str(path), other) == 2
    assert other.get("a") == (9.0, 9.0, '{"v":2}')
    assert other.get("b") == (3.0, 4.0, '{"v":1}')


def test_missing_pyarrow_is_named_with_its_install_command(tmp_path):
    code = (
        "import sys\n"
        "sys.modules['pyarrow'] = None\n"
        "import vesko\n"
        f"db = vesko.Vesko({str(tmp_path / 's')!r})\n"
        "db.add('a', 1, 2, '{}')\n"
        "try:\n"
        f"    db.export({str(tmp_path / 'x.parquet')!r})\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "pip install pyarrow" in out.stdout, out.stderr[-500:]
    assert not (tmp_path / "x.parquet").exists()


# Bad input changes nothing: neither the store nor the file system.

BAD_EXPORTS = [
    ("unknown_suffix", ("x.txt",), {}, ValueError, "cannot tell the format of"),
    ("no_suffix", ("x",), {}, ValueError, "cannot tell the format of"),
    ("unknown_format", ("x.geojson", "csv"), {}, ValueError, "format must be 'geojson' or"),
    ("format_int", ("x.geojson", 1), {}, TypeError,
     "argument 'format': 'int' object cannot be converted to 'str'"),
    ("path_int", (5,), {}, TypeError, "argument 'path': expected str, bytes or os.PathLike"),
    ("missing_path", (), {}, TypeError,
     "Vesko.export() missing 1 required positional argument: 'path'"),
    ("items_filter_not_json", None, {"filter_json": "{"}, ValueError, ""),
    ("items_filter_int", None, {"filter_json": 3}, TypeError,
     "argument 'filter_json': 'int' object cannot be converted to 'str'"),
    ("items_surplus", None, {"filter_json": None, "x": 1}, TypeError,
     "Vesko.items() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize(
    "args,kwargs,error,message",
    [c[1:] for c in BAD_EXPORTS],
    ids=[c[0] for c in BAD_EXPORTS],
)
def test_bad_export_or_items_argument_changes_nothing(store, tmp_path, monkeypatch, args,
                                                      kwargs, error, message):
    store.add("a", 1, 2, '{"k": "v"}')
    before = file_digests(store_path(store))
    work = tmp_path / "cwd"
    work.mkdir()
    monkeypatch.chdir(work)
    with pytest.raises(error) as raised:
        if args is None:
            store.items(**kwargs)
        else:
            store.export(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value).startswith(message)
    assert list(work.iterdir()) == []
    assert file_digests(store_path(store)) == before
    assert list(store.items()) == [("a", 1.0, 2.0, '{"k":"v"}')]


BAD_IMPORTS = [
    ("not_a_collection", '{"type": "Feature"}', "not a GeoJSON FeatureCollection"),
    ("id_list", '{"type": "FeatureCollection", "features": [{"type": "Feature", "id": [7], '
     '"geometry": {"type": "Point", "coordinates": [1, 2]}, "properties": {}}]}',
     'feature 0: "id" must be a string or a whole number'),
    ("line_geometry", '{"type": "FeatureCollection", "features": [{"type": "Feature", '
     '"id": "a", "geometry": {"type": "LineString", "coordinates": [[1, 2], [3, 4]]}}]}',
     "feature 0: geometry is not a Point"),
    ("properties_list", '{"type": "FeatureCollection", "features": [{"type": "Feature", '
     '"id": "a", "geometry": null, "properties": [1]}]}', "feature 0: properties is not an"),
    ("coordinate_text", '{"type": "FeatureCollection", "features": [{"type": "Feature", '
     '"id": "a", "geometry": {"type": "Point", "coordinates": ["1", 2]}}]}',
     "feature 0: coordinates are not numbers"),
    # Python's reader takes NaN; JSON cannot hold it.
    ("properties_nan", '{"type": "FeatureCollection", "features": [{"type": "Feature", '
     '"id": "a", "geometry": null, "properties": {"v": NaN}}]}',
     "feature 0: property 'v' is NaN or infinite"),
]


@pytest.mark.parametrize(
    "text,message", [c[1:] for c in BAD_IMPORTS], ids=[c[0] for c in BAD_IMPORTS]
)
def test_bad_geojson_is_refused_before_any_point_is_added(store, tmp_path, text, message):
    store.add("z", 1, 2, "{}")
    good = '{"type": "Feature", "id": "ok", "geometry": null, "properties": {}}'
    if '"features": [' in text:
        text = text.replace('"features": [', '"features": [' + good + ", ", 1)
        message = message.replace("feature 0", "feature 1")
    path = tmp_path / "bad.geojson"
    path.write_text(text)
    before = file_digests(store_path(store))
    with pytest.raises(ValueError, match=message):
        vesko.import_geojson(path, store)
    assert file_digests(store_path(store)) == before
    assert [p[0] for p in store.items()] == ["z"]


def test_bad_geoparquet_metadata_is_refused_before_any_point_is_added(store, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet  # noqa: F401

    store.add("z", 1, 2, "{}")
    point = struct.pack("<BIdd", 1, 1, 2.0, 1.0)
    path = tmp_path / "bad.parquet"
    pa.parquet.write_table(pa.table({"id": ["ok", "bad"], "metadata": ["{}", "[1]"],
                                     "geometry": [point, point]}), path)
    before = file_digests(store_path(store))
    with pytest.raises(ValueError, match="Invalid JSON: item 1: expected a JSON object"):
        vesko.import_parquet(path, store)
    assert file_digests(store_path(store)) == before
    assert [p[0] for p in store.items()] == ["z"]


def test_importer_refuses_something_that_is_not_a_store(tmp_path):
    path = tmp_path / "x.geojson"
    path.write_text('{"type": "FeatureCollection", "features": []}')
    with pytest.raises(TypeError, match="argument 'db': expected a Vesko object"):
        vesko.import_geojson(path, {})
