"""vesko itself, through its public Python methods only."""

import gc
import os
import shutil

import vesko

from .base import Engine, dir_bytes


class VeskoEngine(Engine):
    name = "vesko"
    label = "vesko"
    concurrent_reads = True
    distance_model = "single-precision haversine, R = 6371000 m"
    notes = ("each add and delete is written to the log before it returns (no fsync); "
             "durable commit = persist; bulk path = one add_many call with numpy coordinates; "
             "commit after more inserts = sync",)

    def _path(self):
        return os.path.join(self.workdir, "vesko-store")

    def create(self):
        shutil.rmtree(self._path(), ignore_errors=True)
        self.db = vesko.Vesko(self._path())
        self._add = self.db.add

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        self._add(ext_id, lat, lon, meta_json)

    def commit(self):
        self.db.persist()

    def bulk_load(self, ds):
        self.db.add_many(ds.ids, ds.lats, ds.lons, ds.metas)

    def quick_commit(self):
        self.db.sync()

    def close(self):
        self.db = self._add = None
        gc.collect()

    def reopen(self):
        self.db = vesko.Vesko(self._path())

    def count(self):
        return self.db.count()

    def radius(self, lat, lon, radius_m, flt=None):
        return self.db.search_radius(lat, lon, radius_m, flt.json() if flt else None)

    def knn(self, lat, lon, k):
        return self.db.search_knn(lat, lon, k)

    def knn_filtered(self, lat, lon, k, flt):
        return self.db.search_knn(lat, lon, k, flt.json())

    def box(self, top_left, bottom_right):
        return self.db.search_box(top_left, bottom_right)

    def polygon(self, vertices):
        return self.db.search_polygon(vertices)

    def delete(self, index, ext_id, lat, lon):
        self.db.delete(ext_id)

    def disk_bytes(self):
        return dir_bytes(self._path())

    def version(self):
        # The module's own version: a build run from its build directory has no installed
        # distribution to ask.
        return "vesko " + vesko.__version__
