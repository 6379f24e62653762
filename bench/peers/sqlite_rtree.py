"""SQLite's R*Tree module (Python's sqlite3): positions in an rtree virtual table, metadata in
an ordinary table with an index over the two filter fields, WAL journal with full sync, one
transaction per batch of inserts or deletes. Distances and polygons are refined in Python.
"""

import os
import sqlite3

from . import refine
from .base import BatchedCommits, Engine



class SqliteRtreeEngine(refine.WindowedQueries, BatchedCommits, Engine):
    name = "sqlite"
    label = "SQLite R*Tree"
    distance_model = "double-precision haversine in Python, R = 6371000 m"
    notes = ("journal_mode=WAL, synchronous=FULL; durable commit = COMMIT then "
             "wal_checkpoint(TRUNCATE); quick commit = COMMIT of the inserts held in one "
             "transaction",)

    def _path(self):
        return os.path.join(self.workdir, "sqlite", "points.db")

    def _connect(self):
        self.conn = sqlite3.connect(self._path())
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute("PRAGMA synchronous=FULL")
        s, x = self.str_field, self.num_field
        self._window_sql = (
            "SELECT p.ext_id, p.lat, p.lon, p.meta FROM geo g JOIN points p ON p.pk = g.pk "
            "WHERE g.min_lat >= ? AND g.max_lat <= ? AND g.min_lon >= ? AND g.max_lon <= ?")
        # the unary + keeps the R*Tree as the driving index: left to itself the planner
        # walks the filter index and probes the R*Tree once per matching row, 50 times slower
        self._filtered_sql = self._window_sql + f" AND +p.{s} = ? AND +p.{x} >= ?"

    def create(self):
        os.makedirs(os.path.dirname(self._path()), exist_ok=True)
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self._path() + suffix):
                os.remove(self._path() + suffix)
        self._connect()
        s, x = self.str_field, self.num_field
        self.conn.executescript(f"""
            CREATE TABLE points (pk INTEGER PRIMARY KEY, ext_id TEXT NOT NULL UNIQUE,
                                 lat REAL NOT NULL, lon REAL NOT NULL,
                                 {s} TEXT, {x} REAL, meta TEXT NOT NULL);
            CREATE INDEX points_filter ON points ({s}, {x});
            CREATE VIRTUAL TABLE geo USING rtree (pk, min_lat, max_lat, min_lon, max_lon);
        """)
        self._insert_point = (f"INSERT INTO points (pk, ext_id, lat, lon, {s}, {x}, meta) "
                              "VALUES (?, ?, ?, ?, ?, ?, ?)")

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        execute = self.conn.execute
        execute(self._insert_point, (index, ext_id, lat, lon, str_val, num_val, meta_json))
        execute("INSERT INTO geo VALUES (?, ?, ?, ?, ?)", (index, lat, lat, lon, lon))
        self._changed()

    def finish_inserts(self):
        self._end_batch()

    def bulk_load(self, ds):
        lats, lons = ds.lats.tolist(), ds.lons.tolist()
        with self.conn:
            self.conn.executemany(self._insert_point, zip(
                range(len(ds)), ds.ids, lats, lons, ds.str_vals.tolist(), ds.num_vals.tolist(),
                ds.metas))
            self.conn.executemany("INSERT INTO geo VALUES (?, ?, ?, ?, ?)",
                                  zip(range(len(ds)), lats, lats, lons, lons))

    def commit(self):
        self.conn.commit()
        self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def quick_commit(self):
        # In WAL mode with synchronous=FULL a COMMIT forces the log to disk: durable without
        # a checkpoint, as vesko's sync is without a snapshot.
        self.conn.commit()

    def close(self):
        self.conn.close()
        self.conn = None

    def reopen(self):
        self._connect()

    def count(self):
        return self.conn.execute("SELECT count(*) FROM points").fetchone()[0]

    def _window(self, lat_lo, lat_hi, lon_lo, lon_hi, flt=None):
        if flt is None:
            rows = self.conn.execute(self._window_sql, (lat_lo, lat_hi, lon_lo, lon_hi))
        else:
            rows = self.conn.execute(self._filtered_sql, (lat_lo, lat_hi, lon_lo, lon_hi,
                                                          flt.str_value, flt.num_min))
        rows = rows.fetchall()
        if not rows:
            return [], [], [], []
        ids, lats, lons, metas = zip(*rows)
        return ids, lats, lons, metas

    def radius(self, lat, lon, radius_m, flt=None):
        window = refine.geometry.radius_window(lat, lon, radius_m)
        return refine.radius_hits(lat, lon, radius_m, *self._window(*window, flt=flt))

    def knn(self, lat, lon, k):
        return refine.knn_hits(self._window, lat, lon, k)

    def delete(self, index, ext_id, lat, lon):
        row = self.conn.execute("SELECT pk FROM points WHERE ext_id = ?", (ext_id,)).fetchone()
        if row is not None:
            self.conn.execute("DELETE FROM geo WHERE pk = ?", row)
            self.conn.execute("DELETE FROM points WHERE pk = ?", row)
        self._changed()

    def finish_deletes(self):
        self._end_batch()

    def disk_bytes(self):
        total = 0
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self._path() + suffix):
                total += os.stat(self._path() + suffix).st_blocks * 512
        return total

    def version(self):
        return "SQLite " + sqlite3.sqlite_version
