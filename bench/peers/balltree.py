"""scikit-learn's BallTree with the haversine metric, in memory: the exact reference for radius
and nearest-neighbour answers (double precision, R = 6371000 m). It has no insert, delete or
persistence: the points are gathered and the tree is built once. Boxes and polygons are asked
as the circle around them, then tested exactly.
"""

import numpy as np
from sklearn.neighbors import BallTree

from harness import geometry

from .base import Engine


class BallTreeEngine(Engine):
    name = "balltree"
    label = "BallTree (in memory)"
    concurrent_reads = True
    distance_model = "double-precision haversine, R = 6371000 m (reference)"
    persistent = False
    notes = ("no single-insert path: the points are gathered and the tree built once; "
             "no durable commit, reopen or delete",)

    def create(self):
        self._ids, self._lats, self._lons, self._metas = [], [], [], []
        self._str_vals, self._num_vals = [], []

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        self._ids.append(ext_id)
        self._lats.append(lat)
        self._lons.append(lon)
        self._metas.append(meta_json)
        self._str_vals.append(str_val)
        self._num_vals.append(num_val)

    def finish_inserts(self):
        self.lats = np.array(self._lats)
        self.lons = np.array(self._lons)
        self.str_vals = np.array(self._str_vals, dtype=object)
        self.num_vals = np.array(self._num_vals, dtype=np.float64)
        self.ids, self.metas = self._ids, self._metas
        del self._lats, self._lons, self._str_vals, self._num_vals
        self.tree = BallTree(np.radians(np.column_stack([self.lats, self.lons])),
                             metric="haversine")

    def bulk_load(self, ds):
        self._ids, self._metas = list(ds.ids), list(ds.metas)
        self._lats, self._lons = ds.lats.astype(np.float64), ds.lons.astype(np.float64)
        self._str_vals, self._num_vals = ds.str_vals, ds.num_vals
        self.finish_inserts()

    def count(self):
        return len(self.ids)

    def _within(self, lat, lon, radius_m):
        ind, dist = self.tree.query_radius(np.radians([[lat, lon]]),
                                           r=radius_m / geometry.earth_radius_m,
                                           return_distance=True, sort_results=True)
        return ind[0], dist[0] * geometry.earth_radius_m

    def radius_columns(self, lat, lon, radius_m):
        # Its own best path: bare index and distance arrays, unsorted.
        ind, dist = self.tree.query_radius(np.radians([[lat, lon]]),
                                           r=radius_m / geometry.earth_radius_m,
                                           return_distance=True)
        return ind[0]

    def knn_many(self, lats, lons, k):
        dist, ind = self.tree.query(np.radians(np.column_stack([lats, lons])), k=k)
        return ind

    def radius_many(self, lats, lons, radius_m):
        return self.tree.query_radius(np.radians(np.column_stack([lats, lons])),
                                      r=radius_m / geometry.earth_radius_m)

    def radius(self, lat, lon, radius_m, flt=None):
        ind, dist = self._within(lat, lon, radius_m)
        if flt is not None:
            keep = flt.mask(self.str_vals[ind], self.num_vals[ind])
            ind, dist = ind[keep], dist[keep]
        ids, metas = self.ids, self.metas
        return [(ids[i], d, metas[i]) for i, d in zip(ind.tolist(), dist.tolist())]

    def knn(self, lat, lon, k):
        dist, ind = self.tree.query(np.radians([[lat, lon]]), k=min(k, len(self.ids)))
        ids, metas = self.ids, self.metas
        return [(ids[i], d * geometry.earth_radius_m, metas[i])
                for i, d in zip(ind[0].tolist(), dist[0].tolist())]

    def _circle_candidates(self, top_left, bottom_right):
        ind, _ = self._within(*geometry.box_circle(top_left, bottom_right))
        ind = np.sort(ind)
        return ind, self.lats[ind], self.lons[ind]

    def box(self, top_left, bottom_right):
        ind, lats, lons = self._circle_candidates(top_left, bottom_right)
        keep = ind[geometry.in_box(lats, lons, top_left, bottom_right)]
        return [(self.ids[i], self.metas[i]) for i in keep.tolist()]

    def polygon(self, vertices):
        ind, lats, lons = self._circle_candidates(*geometry.polygon_box(vertices))
        keep = ind[geometry.in_polygon(lats, lons, vertices)]
        return [(self.ids[i], self.metas[i]) for i in keep.tolist()]

    def version(self):
        import sklearn
        return "scikit-learn " + sklearn.__version__
