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


def _load(db, points):
    """Adds (id, lat, lon, metadata) points to db through add_many, which checks every point
    before it adds any, so a bad one (metadata that is not a JSON object, say) adds nothing;
    ids already live are left unchanged, as add leaves them. Returns how many points were
    read."""
    if points:
        ids, lats, lons, metadatas = (list(column) for column in zip(*points))
        db.add_many(ids, lats, lons, metadatas)
    return len(points)


def _require_store(db):
    import vesko

    if not isinstance(db, vesko.Vesko):
        raise TypeError(f"argument 'db': expected a Vesko object, not {type(db).__name__}")
    if db.read_only:
        # The refusal every change of a reader raises, before the file is opened.
        db.add_many([], [], [], [])


def _geojson_points(collection, path):
    if not isinstance(collection, dict) or collection.get("type") != "FeatureCollection":
        raise ValueError(f"{path}: not a GeoJSON FeatureCollection")
    points = []
    for i, feature in enumerate(collection.get("features") or []):
        where = f"{path}: feature {i}"
        ext_id = feature.get("id") if isinstance(feature, dict) else None
        if not isinstance(ext_id, str):
            raise ValueError(f"{where}: needs a string \"id\"")
        geometry = feature.get("geometry")
        if geometry is None:
            lat = lon = math.nan
        elif geometry.get("type") == "Point" and len(geometry.get("coordinates") or ()) >= 2:
            lon, lat = geometry["coordinates"][:2]
            if not all(isinstance(c, (int, float)) for c in (lon, lat)):
                raise ValueError(f"{where}: coordinates are not numbers")
        else:
            raise ValueError(f"{where}: geometry is not a Point")
        properties = feature.get("properties")
        if properties is None:
            properties = {}
        if not isinstance(properties, dict):
            raise ValueError(f"{where}: properties is not an object")
        points.append((ext_id, lat, lon, json.dumps(properties, ensure_ascii=False)))
    return points


def import_geojson(path, db):
    """Adds the Point features of a GeoJSON FeatureCollection to db (the Feature "id" as the
    point's id, "properties" as its metadata, a null geometry as NaN coordinates) as add_many
    would; ids already live are left unchanged. The whole file is checked first: a bad one
    raises and adds nothing. Returns how many features were read."""
    _require_store(db)
    path = os.fspath(path)
    with open(path, encoding="utf-8") as f:
        collection = json.load(f)
    return _load(db, _geojson_points(collection, path))


def _parquet_points(table, path):
    columns = set(table.column_names)
    if not {"id", "geometry"} <= columns:
        raise ValueError(f"{path}: needs the columns id and geometry")
    ids = table.column("id").to_pylist()
    geoms = table.column("geometry").to_pylist()
    metas = (table.column("metadata").to_pylist() if "metadata" in columns
             else ["{}"] * len(ids))
    points = []
    for i, (ext_id, geom, metadata) in enumerate(zip(ids, geoms, metas)):
        if not isinstance(ext_id, str):
            raise ValueError(f"{path}: row {i}: needs a string id")
        if not isinstance(geom, bytes) or len(geom) != 21:
            raise ValueError(f"{path}: row {i}: geometry is not a WKB point")
        order = "<" if geom[0] == 1 else ">"
        kind, lon, lat = struct.unpack(order + "Idd", geom[1:])
        if kind != 1:
            raise ValueError(f"{path}: row {i}: geometry is not a WKB point")
        points.append((ext_id, lat, lon, metadata if metadata is not None else "{}"))
    return points


def import_parquet(path, db):
    """Adds the rows of a GeoParquet file written by Vesko.export (columns id, metadata and a
    WKB point geometry) to db as add_many would; ids already live are left unchanged. The whole
    file is checked first: a bad one raises and adds nothing. Returns how many rows were read."""
    _require_store(db)
    path = os.fspath(path)
    pa = _pyarrow()
    table = pa.parquet.read_table(path)
    return _load(db, _parquet_points(table, path))
