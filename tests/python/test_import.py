"""The importers read what other tools write: points as WKB or GeoArrow, ids as texts, whole
numbers or row numbers, property columns gathered into the metadata object; a refused file
adds nothing."""

import json
import math
import struct

import pytest

import vesko
from support import file_digests, store_path

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

XS = [13.5, -179.25, 0.0]
YS = [52.5, -89.0, 0.0]


def wkb(order):
    return [struct.pack(order + "BIdd", 1 if order == "<" else 0, 1, x, y) for x, y in zip(XS, YS)]


def interleaved():
    flat = pa.array([v for xy in zip(XS, YS) for v in xy], pa.float64())
    return pa.FixedSizeListArray.from_arrays(flat, 2)


GEOMETRIES = {
    "wkb_little_endian": lambda: pa.array(wkb("<"), pa.binary()),
    "wkb_big_endian": lambda: pa.array(wkb(">"), pa.large_binary()),
    "geoarrow_struct": lambda: pa.StructArray.from_arrays(
        [pa.array(XS), pa.array(YS)], names=["x", "y"]),
    "geoarrow_interleaved": interleaved,
}


@pytest.mark.parametrize("layout", sorted(GEOMETRIES))
def test_every_point_layout_imports_its_points_and_properties(store, tmp_path, layout):
    table = pa.table({
        "fid": pa.array([10, 11, 12], pa.int64()),
        "name": ["a\"b", "tab\tnew\nline", None],
        "n": pa.array([1, None, -3], pa.int32()),
        "f": [1.5, 2.0, None],
        "ok": [True, None, False],
        "geometry": GEOMETRIES[layout](),
    })
    path = tmp_path / "in.parquet"
    pq.write_table(table, path)
    assert vesko.import_parquet(path, store) == 3
    got = {ext_id: (lat, lon, json.loads(meta)) for ext_id, lat, lon, meta in store.items()}
    # Null cells are left out of the metadata object.
    assert got == {
        "10": (52.5, 13.5, {"name": 'a"b', "n": 1, "f": 1.5, "ok": True}),
        "11": (-89.0, -179.25, {"name": "tab\tnew\nline", "f": 2.0}),
        "12": (0.0, 0.0, {"n": -3, "ok": False}),
    }


def test_a_file_without_an_id_column_takes_row_numbers_and_nulls_as_nan(store, tmp_path):
    geometry = pa.array([wkb("<")[0], None])
    pq.write_table(pa.table({"label": ["x", "y"], "geometry": geometry}), tmp_path / "a.parquet")
    vesko.import_parquet(tmp_path / "a.parquet", store)
    points = list(store.items())
    assert [(p[0], p[3]) for p in points] == [("0", '{"label":"x"}'), ("1", '{"label":"y"}')]
    assert math.isnan(points[1][1]) and math.isnan(points[1][2])


def test_a_control_character_in_a_property_is_escaped(store, tmp_path):
    geometry = pa.array(wkb("<")[:1])
    pq.write_table(pa.table({"id": ["a"], "s": ["\x01\\"], "geometry": geometry}),
                   tmp_path / "c.parquet")
    vesko.import_parquet(tmp_path / "c.parquet", store)
    assert json.loads(store.get("a")[2]) == {"s": "\x01\\"}


BAD_FILES = [
    ("nan_property", {"id": ["a", "b"], "v": [1.0, math.nan]},
     "row 1: column 'v' is NaN or infinite"),
    ("infinite_property", {"id": ["a", "b"], "v": [math.inf, 1.0]},
     "row 0: column 'v' is NaN or infinite"),
    ("null_id", {"id": ["a", None]}, "row 1: id is null"),
    ("float_id", {"id": [1.5, 2.5]}, "column 'id' must hold texts or whole numbers"),
    ("binary_property", {"id": ["a", "b"], "v": [b"x", b"y"]}, "column 'v' holds binary"),
]


@pytest.mark.parametrize("columns, message", [c[1:] for c in BAD_FILES],
                         ids=[c[0] for c in BAD_FILES])
def test_a_refused_parquet_file_adds_nothing(store, tmp_path, columns, message):
    store.add("z", 1, 2, "{}")
    path = tmp_path / "bad.parquet"
    pq.write_table(pa.table({**columns, "geometry": pa.array(wkb("<")[:2])}), path)
    before = file_digests(store_path(store))
    with pytest.raises(ValueError, match=message):
        vesko.import_parquet(path, store)
    assert file_digests(store_path(store)) == before
    assert [p[0] for p in store.items()] == ["z"]


def test_a_line_in_a_wkb_column_is_refused(store, tmp_path):
    line = struct.pack("<BII4d", 1, 2, 2, 0, 0, 1, 1)
    pq.write_table(pa.table({"geometry": pa.array([wkb("<")[0], line])}), tmp_path / "l.parquet")
    with pytest.raises(ValueError, match="row 1: column 'geometry' is not a 2D WKB point"):
        vesko.import_parquet(tmp_path / "l.parquet", store)
    assert len(store) == 0


def test_geojson_takes_numeric_ids_as_decimal_text_and_missing_ones_as_positions(store,
                                                                                  tmp_path):
    features = [{"type": "Feature", "id": 7, "geometry": None, "properties": {"a": None}},
                {"type": "Feature", "geometry": {"type": "Point", "coordinates": [1, 2]},
                 "properties": None}]
    path = tmp_path / "f.geojson"
    path.write_text(json.dumps({"type": "FeatureCollection", "features": features}))
    assert vesko.import_geojson(path, store) == 2
    assert [(p[0], p[3]) for p in store.items()] == [("7", '{"a":null}'), ("1", "{}")]


@pytest.mark.parametrize("encoding", ["WKB", "geoarrow"])
def test_what_geopandas_writes_imports(store, tmp_path, encoding):
    gpd = pytest.importorskip("geopandas")
    frame = gpd.GeoDataFrame(
        {"name": ["a", "b"], "pop": [3, 4]},
        geometry=gpd.points_from_xy(XS[:2], YS[:2]), crs="EPSG:4326", index=[5, 9])
    path = tmp_path / "g.parquet"
    frame.to_parquet(path, geometry_encoding=encoding)
    vesko.import_parquet(path, store)
    assert list(store.items()) == [("5", 52.5, 13.5, '{"name":"a","pop":3}'),
                                   ("9", -89.0, -179.25, '{"name":"b","pop":4}')]


def test_what_duckdb_writes_imports(store, tmp_path):
    duckdb = pytest.importorskip("duckdb")
    path = tmp_path / "d.parquet"
    try:
        duckdb.sql("install spatial; load spatial")
    except duckdb.Error as e:  # the extension is downloaded, and this machine may be offline
        pytest.skip(f"DuckDB's spatial extension is not at hand: {str(e).splitlines()[0]}")
    duckdb.sql(f"copy (select 1 as id, 'x' as name, st_point(13.5, 52.5) as geometry) "
               f"to '{path}' (format parquet)")
    vesko.import_parquet(path, store)
    assert list(store.items()) == [("1", 52.5, 13.5, '{"name":"x"}')]
