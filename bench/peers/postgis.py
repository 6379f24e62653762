"""PostGIS on a throwaway PostgreSQL cluster (default settings: fsync and synchronous commit
on), through psycopg on loopback. One table: a geography point with a GiST index, a GiST
index on its geometry cast for boxes and polygons, a B-tree over the two filter fields and the
metadata as text. One INSERT or DELETE per point, one transaction per batch of 1,000.
Distances are on PostGIS's sphere (use_spheroid false); nearest neighbours use the index's
distance ordering (<->).
"""

from .base import BatchedCommits, Engine



class PostgisEngine(BatchedCommits, Engine):
    name = "postgis"
    label = "PostGIS"
    distance_model = "PostGIS sphere (R = 6371008.8 m), double precision"
    notes = ("durable commit = COMMIT then CHECKPOINT; reopen = restart the cluster until it "
             "answers; bytes on disk = table with its indexes",)

    def _connect(self):
        self.conn = self.server.connect()
        s, x = self.str_field, self.num_field
        point = "ST_SetSRID(ST_MakePoint(%s, %s), 4326)::geography"
        self._radius_sql = (f"SELECT ext_id, ST_Distance(geog, q, false) AS d, meta "
                            f"FROM pts, (SELECT {point} AS q) s "
                            f"WHERE ST_DWithin(geog, q, %s, false)")
        self._filtered_sql = self._radius_sql + f" AND {s} = %s AND {x} >= %s ORDER BY d"
        self._radius_sql += " ORDER BY d"
        self._knn_sql = (f"SELECT ext_id, ST_Distance(geog, q, false), meta "
                         f"FROM pts, (SELECT {point} AS q) s ORDER BY geog <-> q LIMIT %s")
        self._box_sql = ("SELECT ext_id, meta FROM pts WHERE "
                         "ST_Intersects(ST_MakeEnvelope(%s, %s, %s, %s, 4326), geog::geometry)")
        self._polygon_sql = ("SELECT ext_id, meta FROM pts WHERE "
                             "ST_Intersects(ST_GeomFromText(%s, 4326), geog::geometry)")

    def create(self):
        self._connect()
        s, x = self.str_field, self.num_field
        with self.conn.cursor() as cur:
            cur.execute("CREATE EXTENSION IF NOT EXISTS postgis")
            cur.execute("DROP TABLE IF EXISTS pts")
            cur.execute(f"CREATE TABLE pts (ext_id text PRIMARY KEY, "
                        f"geog geography(Point, 4326) NOT NULL, {s} text, {x} real, "
                        f"meta text NOT NULL)")
            cur.execute("CREATE INDEX pts_geog ON pts USING gist (geog)")
            cur.execute("CREATE INDEX pts_geom ON pts USING gist ((geog::geometry))")
            cur.execute(f"CREATE INDEX pts_filter ON pts ({s}, {x})")
        self.conn.commit()
        self.cur = self.conn.cursor()
        self._insert_sql = (f"INSERT INTO pts (ext_id, geog, {s}, {x}, meta) VALUES "
                            f"(%s, ST_SetSRID(ST_MakePoint(%s, %s), 4326)::geography, %s, %s, %s)")

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        self.cur.execute(self._insert_sql, (ext_id, lon, lat, str_val, num_val, meta_json))
        self._changed()

    def finish_inserts(self):
        self._end_batch()

    def bulk_load(self, ds):
        s, x = self.str_field, self.num_field
        lats, lons = ds.lats.tolist(), ds.lons.tolist()
        with self.cur.copy(f"COPY pts (ext_id, geog, {s}, {x}, meta) FROM STDIN") as copy:
            for i in range(len(ds)):
                copy.write_row((ds.ids[i], f"SRID=4326;POINT({lons[i]!r} {lats[i]!r})",
                                ds.str_vals[i], float(ds.num_vals[i]), ds.metas[i]))
        self.conn.commit()

    def commit(self):
        self.conn.commit()
        self.conn.autocommit = True
        self.conn.execute("CHECKPOINT")
        self.conn.execute("ANALYZE pts")
        self.conn.autocommit = False

    def close(self):
        self.conn.close()

    def reopen(self):
        self.server.start()
        self._connect()
        self.cur = self.conn.cursor()

    def count(self):
        return self.conn.execute("SELECT count(*) FROM pts").fetchone()[0]

    def radius(self, lat, lon, radius_m, flt=None):
        if flt is None:
            return self.cur.execute(self._radius_sql, (lon, lat, radius_m)).fetchall()
        return self.cur.execute(self._filtered_sql, (lon, lat, radius_m, flt.str_value,
                                                     flt.num_min)).fetchall()

    def knn(self, lat, lon, k):
        return self.cur.execute(self._knn_sql, (lon, lat, k)).fetchall()

    def box(self, top_left, bottom_right):
        return self.cur.execute(self._box_sql, (top_left[1], bottom_right[0], bottom_right[1],
                                                top_left[0])).fetchall()

    def polygon(self, vertices):
        ring = vertices + vertices[:1]
        wkt = "POLYGON((" + ", ".join(f"{lon!r} {lat!r}" for lat, lon in ring) + "))"
        return self.cur.execute(self._polygon_sql, (wkt,)).fetchall()

    def delete(self, index, ext_id, lat, lon):
        self.cur.execute("DELETE FROM pts WHERE ext_id = %s", (ext_id,))
        self._changed()

    def finish_deletes(self):
        self._end_batch()

    def disk_bytes(self):
        return self.conn.execute("SELECT pg_total_relation_size('pts')").fetchone()[0]

    def server_memory_bytes(self):
        return self.server.memory_bytes()

    def version(self):
        import psycopg
        pg = self.conn.execute("SHOW server_version").fetchone()[0].split()[0]
        gis = self.conn.execute("SELECT postgis_lib_version()").fetchone()[0]
        return f"PostgreSQL {pg}, PostGIS {gis}, psycopg {psycopg.__version__}"
