"""A small program that uses every part of the module the way the stub describes it; mypy
checks it against the installed stub package (tests/python/test_typing.py)."""

import os
from array import array
from pathlib import Path
from typing import Iterator, List, Optional, Tuple

import vesko


def nearest_names(db: vesko.Vesko, lat: float, lon: float) -> List[str]:
    return [ext_id for ext_id, dist_m, _meta in db.search_knn(lat, lon, 3) if dist_m >= 0.0]


def position(db: vesko.Vesko, ext_id: str) -> Optional[Tuple[float, float]]:
    point = db.get(ext_id)
    if point is None:
        return None
    lat, lon, _metadata = point
    return lat, lon


def walk(db: vesko.Vesko) -> Iterator[Tuple[str, float, float, str]]:
    return db.items('{"kind": "cafe"}')


def main(directory: str) -> int:
    version: str = vesko.__version__
    db = vesko.Vesko(os.path.join(directory, "store"))
    db.add("a", 1.0, 2, '{"kind": "cafe"}', skip_index=["name"])
    replaced: bool = db.upsert("a", 1.5, 2.5, '{"kind": "cafe"}')
    present: bool = "a" in db
    total: int = len(db) + db.count() + db.delete_by_filter('{"kind": "bar"}')
    found: bool = db.exists('{"kind": "cafe"}')
    box: List[Tuple[str, str]] = db.search_box((2.0, 1.0), (1.0, 3.0))
    ring = db.search_radius(1.0, 2.0, 500.0, filter_json=None)
    shape = db.search_polygon([(0.0, 0.0), (0.0, 3.0), (3.0, 3.0)])
    for ext_id, lat, lon, metadata in walk(db):
        print(ext_id, lat + lon, metadata.upper())
    written: int = db.export(Path(directory) / "points.geojson")
    db.export(os.path.join(directory, "points.data"), format="geojson")
    copy = vesko.Vesko(os.path.join(directory, "copy"))
    read: int = vesko.import_geojson(Path(directory) / "points.geojson", copy)
    db.add_many(["b", "c"], [1.0, 2.0], array("d", [3.0, 4.0]), ["{}", '{"kind": "bar"}'])
    removed: int = db.delete_many(["b", "zz"])
    db.sync()
    db.delete("a")
    db.persist()
    db.vacuum()
    try:
        db.search_knn(0.0, 0.0, -1)
    except OverflowError:
        pass
    except vesko.PanicException:
        raise
    print(version, replaced, present, total, found, box, ring, shape, written, read, removed)
    print(nearest_names(db, 0.0, 0.0), position(db, "a"))
    return 0


if __name__ == "__main__":
    import sys
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        sys.exit(main(tmp))
