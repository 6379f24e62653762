"""Reading and writing vesko stores in the formats other tools read: GeoJSON (RFC 7946) and
GeoParquet 1.0. Shipped beside the extension module, which imports it; pyarrow, needed only for
GeoParquet, is imported when first used.

Points go out as Features with the external id as the Feature's "id", a Point geometry of
[lon, lat] (the stored 32-bit values, written exactly, so they read back to the same bits), and
the metadata object as "properties". A point whose coordinates are not finite has a null
geometry, which reads back as NaN coordinates. GeoParquet holds the same as the columns id
(string), metadata (the compact JSON text) and geometry (WKB points, longitude/latitude on
WGS 84).
"""

import json
import math
import os
import struct

_FORMATS = {".geojson": "geojson", ".json": "geojson", ".parquet": "parquet",
            ".geoparquet": "parquet"}
_PARQUET_BATCH = 65536
_PYARROW_MISSING = (
    "GeoParquet needs the optional dependency pyarrow: pip install pyarrow"
)


def _format_of(path, format):
    if format is not None:
        if format not in ("geojson", "parquet"):
            raise ValueError(f"format must be 'geojson' or 'parquet', not {format!r}")
        return format
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in _FORMATS:
        raise ValueError(
            f"cannot tell the format of {path!r} from its suffix; use .geojson, .json or "
            ".parquet, or pass format='geojson' or format='parquet'"
        )
    return _FORMATS[suffix]


def _pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError as e:
        raise ImportError(_PYARROW_MISSING) from e
    return pyarrow


def export(db, path, format):
    """Vesko.export: writes every live point to path; returns how many were written."""
    kind = _format_of(path, format)
    if kind == "parquet":
        return _export_parquet(db, path, _pyarrow())
    return _export_geojson(db, path)


def _feature(ext_id, lat, lon, metadata):
    if math.isfinite(lat) and math.isfinite(lon):
        geometry = f'{{"type":"Point","coordinates":[{lon!r},{lat!r}]}}'
    else:
        geometry = "null"
    # The metadata text is already a compact JSON object: it goes in as it is.
    return (f'{{"type":"Feature","id":{json.dumps(ext_id, ensure_ascii=False)},'
            f'"geometry":{geometry},"properties":{metadata}}}')


def _export_geojson(db, path):
    count = 0
    with open(path, "w", encoding="utf-8") as out:
        out.write('{"type":"FeatureCollection","features":[')
        for ext_id, lat, lon, metadata in db.items():
            out.write(",\n" if count else "\n")
            out.write(_feature(ext_id, lat, lon, metadata))
            count += 1
        out.write("\n]}\n")
    return count


_GEO_METADATA = json.dumps({
    "version": "1.0.0",
    "primary_column": "geometry",
    # No "crs": GeoParquet then means longitude/latitude on WGS 84 (OGC:CRS84).
    "columns": {"geometry": {"encoding": "WKB", "geometry_types": ["Point"]}},
})


def _wkb_point(lat, lon):
    # Little-endian WKB: byte order 1, geometry type 1 (Point), x = lon, y = lat.
    return struct.pack("<BIdd", 1, 1, lon, lat)


def _wkb_points(pa, lats, lons):
    """A binary array of WKB points from float32 columns, built whole with numpy when it is
    there (the bytes are the same as _wkb_point's)."""
    try:
        import numpy as np
    except ImportError:
        return pa.array([_wkb_point(lat, lon) for lat, lon in
                         zip(lats.to_pylist(), lons.to_pylist())], pa.binary())
    n = len(lats)
    records = np.empty(n, dtype=[("order", "u1"), ("kind", "<u4"), ("x", "<f8"), ("y", "<f8")])
    records["order"], records["kind"] = 1, 1
    records["x"] = lons.to_numpy().astype(np.float64)
    records["y"] = lats.to_numpy().astype(np.float64)
    offsets = np.arange(0, 21 * (n + 1), 21, dtype=np.int32)
    return pa.Array.from_buffers(pa.binary(), n, [None, pa.py_buffer(offsets),
                                                  pa.py_buffer(records.view(np.uint8))])


def _export_parquet(db, path, pa):
    schema = pa.schema(
        [("id", pa.string()), ("metadata", pa.string()), ("geometry", pa.binary())],
        metadata={"geo": _GEO_METADATA},
    )
    # The points come as columns, never as a Python object each.
    points = pa.record_batch(db.items(answer="columns"))
    metadata = points.column("metadata")
    if isinstance(metadata, pa.ExtensionArray):
        metadata = metadata.storage
    table = pa.table([points.column("id"), metadata,
                      _wkb_points(pa, points.column("lat"), points.column("lon"))], schema=schema)
    with pa.parquet.ParquetWriter(path, schema) as writer:
        # Row groups of _PARQUET_BATCH points, and one empty one for an empty store.
        for start in range(0, max(len(table), 1), _PARQUET_BATCH):
            writer.write_table(table.slice(start, _PARQUET_BATCH))
    return len(table)


def _require_store(db):
    import vesko

    if not isinstance(db, vesko.Vesko):
        raise TypeError(f"argument 'db': expected a Vesko object, not {type(db).__name__}")
    if db.read_only:
        # The refusal every change of a reader raises, before the file is opened.
        db.add_many([], [], [], [])


def _feature_id(ext_id, position, where):
    """A Feature's "id" as the point's id: a string as it is, a whole number as its decimal
    text, none as the feature's position in the collection."""
    if ext_id is None:
        return str(position)
    if isinstance(ext_id, str):
        return ext_id
    if isinstance(ext_id, int) and not isinstance(ext_id, bool):
        return str(ext_id)
    if isinstance(ext_id, float) and ext_id.is_integer():
        return str(int(ext_id))
    raise ValueError(f'{where}: "id" must be a string or a whole number')


def _properties_text(properties, where):
    try:
        return json.dumps(properties, ensure_ascii=False, allow_nan=False)
    except ValueError:
        bad = next((k for k, v in properties.items()
                    if isinstance(v, float) and not math.isfinite(v)), None)
        named = f"property {bad!r}" if bad is not None else "a property"
        raise ValueError(f"{where}: {named} is NaN or infinite, which JSON cannot hold") from None


def _geojson_points(collection, path):
    if not isinstance(collection, dict) or collection.get("type") != "FeatureCollection":
        raise ValueError(f"{path}: not a GeoJSON FeatureCollection")
    ids, lats, lons, metadatas = [], [], [], []
    for i, feature in enumerate(collection.get("features") or []):
        where = f"{path}: feature {i}"
        if not isinstance(feature, dict):
            raise ValueError(f"{where}: not a Feature")
        ids.append(_feature_id(feature.get("id"), i, where))
        geometry = feature.get("geometry")
        if geometry is None:
            lat = lon = math.nan
        elif geometry.get("type") == "Point" and len(geometry.get("coordinates") or ()) >= 2:
            lon, lat = geometry["coordinates"][:2]
            if not all(isinstance(c, (int, float)) for c in (lon, lat)):
                raise ValueError(f"{where}: coordinates are not numbers")
        else:
            raise ValueError(f"{where}: geometry is not a Point")
        lats.append(lat)
        lons.append(lon)
        properties = feature.get("properties")
        if properties is None:
            properties = {}
        if not isinstance(properties, dict):
            raise ValueError(f"{where}: properties is not an object")
        metadatas.append(_properties_text(properties, where))
    return ids, lats, lons, metadatas


def import_geojson(path, db):
    """Adds the Point features of a GeoJSON FeatureCollection to db (the Feature "id" as the
    point's id, a number as its decimal text and none as the feature's position; "properties"
    as its metadata; a null geometry as NaN coordinates) as add_many would; ids already live
    are left unchanged. The whole file is checked first: a bad one raises and adds nothing.
    Returns how many features were read."""
    _require_store(db)
    path = os.fspath(path)
    with open(path, encoding="utf-8") as f:
        collection = json.load(f)
    ids, lats, lons, metadatas = _geojson_points(collection, path)
    if ids:
        db.add_many(ids, lats, lons, metadatas)
    return len(ids)


# Columns a point's id is taken from, in this order: a plain id, GDAL's feature id, the index
# GeoPandas writes when it is not a plain range. Without any, the row number is the id.
_ID_COLUMNS = ("id", "fid", "__index_level_0__")


def _geometry_column(table, path):
    name = "geometry"
    geo = (table.schema.metadata or {}).get(b"geo")
    if geo is not None:
        try:
            name = json.loads(geo).get("primary_column", name)
        except (ValueError, AttributeError):
            raise ValueError(f"{path}: its \"geo\" metadata is not JSON") from None
    if name not in table.column_names:
        raise ValueError(f"{path}: needs a point geometry column ({name!r})")
    return name


def _row_of_first(pa, mask):
    """The position of the first true value of a boolean array."""
    return pa.compute.index(mask, True).as_py()


def _wkb_coordinates(pa, np, column, path, name):
    """Longitudes and latitudes of a column of WKB points (either byte order; a null or an
    empty point as NaN), read as arrays."""
    nan_point = struct.pack("<BIdd", 1, 1, math.nan, math.nan)
    column = pa.compute.fill_null(column.cast(pa.large_binary()), pa.scalar(nan_point,
                                                                          pa.large_binary()))
    not_point = pa.compute.not_equal(pa.compute.binary_length(column), 21)
    if pa.compute.any(not_point).as_py():
        raise ValueError(f"{path}: row {_row_of_first(pa, not_point)}: column {name!r} is not "
                         "a 2D WKB point")
    if not len(column):
        return np.empty(0), np.empty(0)
    _, offsets, data = column.buffers()
    # Every value has 21 bytes, so they lie back to back from the first one's offset.
    first = int(np.frombuffer(offsets, dtype=np.int64, count=1, offset=8 * column.offset)[0])
    raw = np.frombuffer(data, dtype=np.uint8, count=21 * len(column), offset=first)
    little = np.frombuffer(raw, dtype=[("order", "u1"), ("kind", "<u4"), ("x", "<f8"),
                                       ("y", "<f8")])
    big = np.frombuffer(raw, dtype=[("order", "u1"), ("kind", ">u4"), ("x", ">f8"),
                                    ("y", ">f8")])
    is_little = little["order"] == 1
    kinds = np.where(is_little, little["kind"], big["kind"])
    bad = ((little["order"] > 1) | (kinds != 1)).nonzero()[0]
    if len(bad):
        raise ValueError(f"{path}: row {bad[0]}: column {name!r} is not a 2D WKB point")
    return (np.where(is_little, little["x"], big["x"].astype(np.float64)),
            np.where(is_little, little["y"], big["y"].astype(np.float64)))


def _coordinates(pa, np, column, path, name):
    """Longitudes and latitudes of a point column: WKB, GeoArrow's separated struct<x, y> or
    its interleaved fixed-size list of two values (a null point as NaN)."""
    kind = column.type
    if isinstance(kind, pa.ExtensionType):
        column, kind = column.storage, kind.storage_type
    if pa.types.is_binary(kind) or pa.types.is_large_binary(kind):
        return _wkb_coordinates(pa, np, column, path, name)
    if pa.types.is_struct(kind) and {"x", "y"} <= {f.name for f in kind}:
        xs, ys = column.field("x"), column.field("y")
    elif pa.types.is_fixed_size_list(kind) and kind.list_size in (2, 3, 4):
        values = column.flatten()
        xs = values.take(np.arange(0, len(values), kind.list_size))
        ys = values.take(np.arange(1, len(values), kind.list_size))
    else:
        raise ValueError(f"{path}: column {name!r} holds neither WKB nor GeoArrow points")
    valid = column.is_valid()
    nan = pa.scalar(math.nan, pa.float64())
    return tuple(pa.compute.if_else(valid, v.cast(pa.float64()), nan)
                 .to_numpy(zero_copy_only=False) for v in (xs, ys))


def _ids(pa, table, path):
    name = next((c for c in _ID_COLUMNS if c in table.column_names), None)
    if name is None:
        return pa.array(range(len(table)), pa.int64()).cast(pa.string()), None
    column = table.column(name).combine_chunks()
    if column.null_count:
        raise ValueError(f"{path}: row {_row_of_first(pa, column.is_null())}: id is null")
    kind = column.type
    if pa.types.is_integer(kind):
        return column.cast(pa.string()), name
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return column, name
    raise ValueError(f"{path}: column {name!r} must hold texts or whole numbers, not {kind}")


_JSON_ESCAPES = (("\\", "\\\\"), ('"', '\\"'), ("\n", "\\n"), ("\r", "\\r"), ("\t", "\\t"),
                 ("\b", "\\b"), ("\f", "\\f"))


def _json_texts(pa, column):
    """JSON strings of a text column, quoted and escaped column-wise. A column with control
    characters other than the common ones (which need a \\u escape each) goes value by value."""
    pc = pa.compute
    escaped = column.cast(pa.large_string())
    if not pc.any(pc.match_substring_regex(escaped, '[\\\\"\\x00-\\x1f]')).as_py():
        return pc.binary_join_element_wise(_text('"'), escaped, _text('"'), _text(""))
    for raw, escape in _JSON_ESCAPES:
        escaped = pc.replace_substring(escaped, raw, escape)
    if pc.any(pc.match_substring_regex(escaped, "[\\x00-\\x1f]")).as_py():
        return pa.array([None if v is None else json.dumps(v, ensure_ascii=False)
                         for v in column.to_pylist()], pa.string())
    return pc.binary_join_element_wise(_text('"'), escaped, _text('"'), _text(""))


def _text(value):
    """A large_string scalar: every text the importer joins has that one type."""
    import pyarrow

    return pyarrow.scalar(value, pyarrow.large_string())


def _member_values(pa, column, path, name):
    """The JSON text (large_string) of each value of a property column, null where the value is
    null."""
    return _member_texts(pa, column, path, name).cast(pa.large_string())


def _member_texts(pa, column, path, name):
    pc = pa.compute
    kind = column.type
    if pa.types.is_dictionary(kind):
        column, kind = column.dictionary_decode(), kind.value_type
    if pa.types.is_boolean(kind) or pa.types.is_integer(kind):
        return column.cast(pa.string())
    if pa.types.is_decimal(kind):
        column, kind = column.cast(pa.float64()), pa.float64()
    if pa.types.is_floating(kind):
        finite = pc.is_finite(column)
        if pc.any(pc.and_(pc.invert(finite), column.is_valid())).as_py():
            row = _row_of_first(pa, pc.and_(pc.invert(finite), column.is_valid()))
            raise ValueError(f"{path}: row {row}: column {name!r} is NaN or infinite, which "
                             "JSON cannot hold")
        return column.cast(pa.string())
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return _json_texts(pa, column)
    if (pa.types.is_temporal(kind)):
        return _json_texts(pa, column.cast(pa.string()))
    if pa.types.is_null(kind):
        return column.cast(pa.string())
    raise ValueError(f"{path}: column {name!r} holds {kind}, which the importer does not read")


def _metadata_texts(pa, table, skip, path):
    """Each row's properties as a JSON object: every column but the id and the geometry, a
    null cell left out. A file of vesko's own layout (a text column "metadata" and no other
    property) gives its metadata texts as they are."""
    names = [c for c in table.column_names if c not in skip]
    kind = table.schema.field("metadata").type if "metadata" in names else None
    if names == ["metadata"] and (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        column = table.column("metadata").combine_chunks()
        return pa.compute.fill_null(column, "{}")
    members = []
    for name in names:
        values = _member_values(pa, table.column(name).combine_chunks(), path, name)
        key = _text(json.dumps(name, ensure_ascii=False) + ":")
        members.append(pa.compute.binary_join_element_wise(key, values, _text("")))
    if not members:
        return pa.array(["{}"] * len(table), pa.string())
    joined = pa.compute.binary_join_element_wise(*members, _text(","), null_handling="skip")
    return pa.compute.binary_join_element_wise(_text("{"), joined, _text("}"), _text(""))


def _parquet_points(pa, np, table, path):
    geometry = _geometry_column(table, path)
    lons, lats = _coordinates(pa, np, table.column(geometry).combine_chunks(), path, geometry)
    ids, id_column = _ids(pa, table, path)
    metadatas = _metadata_texts(pa, table, {geometry, id_column}, path)
    return ids, lats, lons, metadatas


def import_parquet(path, db):
    """Adds the rows of a GeoParquet file to db as add_many would: points as WKB or GeoArrow,
    the id from an id column (numbers as their decimal text) or the row number, every other
    column gathered into the metadata object. Ids already live are left unchanged. The whole
    file is checked first: a bad one raises and adds nothing. Returns how many rows were
    read."""
    _require_store(db)
    path = os.fspath(path)
    pa = _pyarrow()
    import numpy as np
    import pyarrow.compute  # noqa: F401

    table = pa.parquet.read_table(path)
    ids, lats, lons, metadatas = _parquet_points(pa, np, table, path)
    if len(ids):
        db.add_many(ids, lats, lons, metadatas)
    return len(ids)
