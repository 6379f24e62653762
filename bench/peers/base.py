"""What every engine in the comparison offers the harness.

An engine is driven in two processes: the build process creates the store, inserts every point
one call at a time, makes it durable and closes it; the serve process reopens it, answers the
queries and deletes. Results use vesko's shapes: (id, metres, metadata) for radius and nearest
neighbours, nearest first, and (id, metadata) for box and polygon.
"""

import os


class Skip(Exception):
    """The engine cannot run on this machine; the message says why."""


class Engine:
    name = ""
    label = ""
    distance_model = ""
    persistent = True          # False: in memory, built and served in one process
    concurrent_reads = False   # True: one engine object answers queries from several threads
    notes = ()
    differences = ""           # what explains this engine's differences from the reference

    def __init__(self, workdir, dataset_name, str_field, num_field, server=None):
        self.workdir = workdir
        self.dataset_name = dataset_name
        self.str_field = str_field
        self.num_field = num_field
        self.server = server

    # build process
    def create(self):
        raise NotImplementedError

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        raise NotImplementedError

    def finish_inserts(self):
        """Ends the insert run (the last batch's commit, an in-memory engine's build)."""

    def commit(self):
        """Makes everything inserted durable on disk."""
        raise NotImplementedError

    def bulk_load(self, ds):
        """Loads every point of the data set into the freshly created store through the
        engine's own bulk path (point i keeps row number i)."""
        raise NotImplementedError

    def quick_commit(self):
        """The cheapest call that makes every change so far survive a power loss."""
        self.commit()

    def close(self):
        raise NotImplementedError

    # serve process
    def reopen(self):
        raise NotImplementedError

    def count(self):
        raise NotImplementedError

    def radius(self, lat, lon, radius_m, flt=None):
        raise NotImplementedError

    def knn(self, lat, lon, k):
        raise NotImplementedError

    def radius_columns(self, lat, lon, radius_m):
        """The engine's cheapest whole answer (ids, coordinates or indexes, distances) in
        arrays; its length is the number of hits."""
        raise NotImplementedError

    def knn_many(self, lats, lons, k):
        """Every centre's k nearest in one call, as arrays."""
        raise NotImplementedError

    def radius_many(self, lats, lons, radius_m):
        """Every centre's radius answer in one call, as arrays."""
        raise NotImplementedError

    def export_parquet(self, path):
        """Writes every point to a GeoParquet file; returns how many."""
        raise NotImplementedError

    def knn_filtered(self, lat, lon, k, flt):
        """The k nearest points that pass the filter: filtered radius searches, widened
        fourfold until they hold k points or cover the earth."""
        radius_m = 1000.0
        while True:
            hits = self.radius(lat, lon, radius_m, flt)
            if len(hits) >= k or radius_m > 20_100_000.0:
                return hits[:k]
            radius_m *= 4.0

    def box(self, top_left, bottom_right):
        raise NotImplementedError

    def polygon(self, vertices):
        raise NotImplementedError

    def delete(self, index, ext_id, lat, lon):
        raise NotImplementedError

    def finish_deletes(self):
        """Ends the delete run (the last batch's commit)."""

    def disk_bytes(self):
        """Bytes the store takes on disk, or None for an in-memory engine."""
        return None

    def server_memory_bytes(self):
        """Resident memory of the engine's server processes, or None when it runs in-process."""
        return None

    def version(self):
        """The versions of what is measured, for the report."""
        return ""


def dir_bytes(path):
    """Allocated bytes of every file under path (sparse regions not counted)."""
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            try:
                total += os.stat(os.path.join(root, f)).st_blocks * 512
            except FileNotFoundError:
                pass
    return total


def fsync_files(*paths):
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


class BatchedCommits:
    """For SQL peers: one transaction per batch of `batch_rows` changes, committed on
    self.conn."""

    batch_rows = 1000
    _pending = 0

    def _changed(self):
        self._pending += 1
        if self._pending == self.batch_rows:
            self._end_batch()

    def _end_batch(self):
        self.conn.commit()
        self._pending = 0
