"""The rtree package (libspatialindex), disk-backed: each point a degenerate box keyed by its
row number, with (id, metadata, filter values) stored as the entry's object. Distances,
filters and polygons are refined in Python; nearest neighbours start from the index's own
planar nearest, whose farthest great-circle distance bounds the window to search.
"""

import os

from rtree import index as rtree_index

from . import refine
from .base import Engine, dir_bytes, fsync_files


class RtreeEngine(refine.WindowedQueries, Engine):
    name = "rtree"
    label = "rtree (libspatialindex)"
    distance_model = "double-precision haversine in Python, R = 6371000 m"
    notes = ("disk storage; durable commit = flush then fsync of both files; "
             "deletes are by row number and position, which the caller keeps",)

    def _base(self):
        return os.path.join(self.workdir, "rtree", "points")

    def _open(self, overwrite):
        props = rtree_index.Property()
        props.dimension = 2
        props.overwrite = overwrite
        self.idx = rtree_index.Index(self._base(), properties=props)

    def create(self):
        os.makedirs(os.path.dirname(self._base()), exist_ok=True)
        self._open(overwrite=True)
        self._insert = self.idx.insert

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        self._insert(index, (lon, lat, lon, lat), obj=(ext_id, meta_json, str_val, num_val))

    def bulk_load(self, ds):
        # The stream constructor sorts and packs the whole set at once (sort-tile-recursive).
        self.idx.close()
        props = rtree_index.Property()
        props.dimension = 2
        props.overwrite = True
        lats, lons = ds.lats.tolist(), ds.lons.tolist()
        stream = ((i, (lons[i], lats[i], lons[i], lats[i]),
                   (ds.ids[i], ds.metas[i], ds.str_vals[i], float(ds.num_vals[i])))
                  for i in range(len(ds)))
        self.idx = rtree_index.Index(self._base(), stream, properties=props)
        self._insert = self.idx.insert

    def commit(self):
        self.idx.flush()
        fsync_files(self._base() + ".dat", self._base() + ".idx")

    def close(self):
        self.idx.close()
        self.idx = self._insert = None

    def reopen(self):
        self._open(overwrite=False)

    def count(self):
        return len(self.idx)

    def _window(self, lat_lo, lat_hi, lon_lo, lon_hi, flt=None):
        ids, lats, lons, metas = [], [], [], []
        for item in self.idx.intersection((lon_lo, lat_lo, lon_hi, lat_hi), objects=True):
            ext_id, meta, str_val, num_val = item.object
            if flt is not None and (str_val != flt.str_value or num_val < flt.num_min):
                continue
            bbox = item.bbox
            ids.append(ext_id)
            lons.append(bbox[0])
            lats.append(bbox[1])
            metas.append(meta)
        return ids, lats, lons, metas

    def radius(self, lat, lon, radius_m, flt=None):
        window = refine.geometry.radius_window(lat, lon, radius_m)
        return refine.radius_hits(lat, lon, radius_m, *self._window(*window, flt=flt))

    def knn(self, lat, lon, k):
        near = list(self.idx.nearest((lon, lat, lon, lat), k, objects=True))
        if not near:
            return []
        lats = [item.bbox[1] for item in near]
        lons = [item.bbox[0] for item in near]
        reach_m = float(refine.geometry.haversine_m(lat, lon, lats, lons).max())
        return refine.knn_hits(self._window, lat, lon, k, start_m=reach_m * 1.0001 + 0.01)

    def delete(self, index, ext_id, lat, lon):
        self.idx.delete(index, (lon, lat, lon, lat))

    def finish_deletes(self):
        self.idx.flush()

    def disk_bytes(self):
        return dir_bytes(os.path.dirname(self._base()))

    def version(self):
        import rtree
        return f"rtree {rtree.__version__}, libspatialindex {rtree.core.rt.SIDX_Version().decode()}"
