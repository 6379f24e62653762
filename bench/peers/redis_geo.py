"""Redis GEO: positions in one geo set, metadata as one string key per point, through redis-py
on loopback. One round trip per insert or delete (GEOADD and SET, or ZREM and DEL, pipelined
together); every answer fetches its metadata with one MGET. Redis filters nothing by
metadata, so the filtered radius parses each candidate's metadata in Python; boxes are asked
in metres around their centre, wide enough for the box's widest edge, then tested in degrees.
"""

import json
import math
import os
import time

import numpy as np

from harness import geometry

from .base import Engine, dir_bytes

geo_key = "pts"
redis_earth_radius_m = 6372797.560856


class RedisGeoEngine(Engine):
    name = "redis"
    label = "Redis GEO"
    concurrent_reads = True
    distance_model = "Redis haversine, R = 6372797.56 m, positions as 52-bit geohashes"
    differences = ("its Earth radius is 6372797.56 m, so its distances are 0.028 % longer and "
                   "points just inside a radius (within 3 m of 10 km) fall out; its 52-bit "
                   "geohash positions are up to about 0.6 m off, which moves points on a box edge")
    notes = ("appendonly yes, appendfsync everysec; durable commit = BGREWRITEAOF until done; "
             "reopen = restart the server until it has loaded",)

    def create(self):
        self.r = self.server.client()
        self.r.flushall()

    def insert(self, index, ext_id, lat, lon, meta_json, str_val, num_val):
        pipe = self.r.pipeline(transaction=False)
        pipe.geoadd(geo_key, (lon, lat, ext_id))
        pipe.set("m:" + ext_id, meta_json)
        pipe.execute()

    def bulk_load(self, ds, batch=10_000):
        pipe = self.r.pipeline(transaction=False)
        lats, lons = ds.lats.tolist(), ds.lons.tolist()
        for start in range(0, len(ds), batch):
            end = min(start + batch, len(ds))
            values = []
            for i in range(start, end):
                values += (lons[i], lats[i], ds.ids[i])
            pipe.geoadd(geo_key, values)
            pipe.mset({"m:" + ds.ids[i]: ds.metas[i] for i in range(start, end)})
            pipe.execute()

    def commit(self):
        self.r.bgrewriteaof()
        while True:
            info = self.r.info("persistence")
            if not info["aof_rewrite_in_progress"] and not info["aof_rewrite_scheduled"]:
                break
            time.sleep(0.005)
        if info.get("aof_last_bgrewrite_status") != "ok":
            raise RuntimeError("BGREWRITEAOF failed")

    def close(self):
        self.r.close()

    def reopen(self):
        self.server.start()
        self.r = self.server.client()

    def count(self):
        return self.r.zcard(geo_key)

    def _metas(self, ids):
        return self.r.mget(["m:" + i for i in ids]) if ids else []

    def radius(self, lat, lon, radius_m, flt=None):
        found = self.r.geosearch(geo_key, longitude=lon, latitude=lat, radius=radius_m,
                                 unit="m", sort="ASC", withdist=True)
        metas = self._metas([f[0] for f in found])
        hits = [(f[0], f[1], m) for f, m in zip(found, metas)]
        if flt is None:
            return hits
        keep = []
        for hit in hits:
            meta = json.loads(hit[2])
            if (meta.get(flt.str_field) == flt.str_value
                    and meta.get(flt.num_field, -1) >= flt.num_min):
                keep.append(hit)
        return keep

    def knn(self, lat, lon, k):
        reach_m = 2000.0
        while True:
            found = self.r.geosearch(geo_key, longitude=lon, latitude=lat, radius=reach_m,
                                     unit="m", sort="ASC", count=k, withdist=True)
            if len(found) >= k or reach_m > 2.1e7:
                break
            reach_m *= 4.0
        metas = self._metas([f[0] for f in found])
        return [(f[0], f[1], m) for f, m in zip(found, metas)]

    def _box_candidates(self, top_left, bottom_right):
        (north, west), (south, east) = top_left, bottom_right
        clat, clon = (north + south) / 2.0, (west + east) / 2.0
        widest_lat = min(abs(north), abs(south)) if north * south > 0 else 0.0
        half_lon = math.radians((east - west) / 2.0)
        width_m = 2.0 * redis_earth_radius_m * half_lon * math.cos(math.radians(widest_lat))
        height_m = redis_earth_radius_m * math.radians(north - south)
        found = self.r.geosearch(geo_key, longitude=clon, latitude=clat,
                                 width=width_m * 1.01 + 1.0, height=height_m * 1.01 + 1.0,
                                 unit="m", withcoord=True)
        ids = [f[0] for f in found]
        lons = [f[1][0] for f in found]
        lats = [f[1][1] for f in found]
        return ids, lats, lons

    def box(self, top_left, bottom_right):
        ids, lats, lons = self._box_candidates(top_left, bottom_right)
        inside = [i for i, keep in zip(ids, geometry.in_box(
            np.asarray(lats), np.asarray(lons), top_left, bottom_right)) if keep]
        return list(zip(inside, self._metas(inside)))

    def polygon(self, vertices):
        ids, lats, lons = self._box_candidates(*geometry.polygon_box(vertices))
        if not ids:
            return []
        inside = [i for i, keep in zip(ids, geometry.in_polygon(lats, lons, vertices)) if keep]
        return list(zip(inside, self._metas(inside)))

    def delete(self, index, ext_id, lat, lon):
        pipe = self.r.pipeline(transaction=False)
        pipe.zrem(geo_key, ext_id)
        pipe.delete("m:" + ext_id)
        pipe.execute()

    def disk_bytes(self):
        return dir_bytes(self.server.root) - _log_bytes(self.server.root)

    def server_memory_bytes(self):
        return self.server.memory_bytes()

    def version(self):
        import redis
        return f"Redis {self.r.info('server')['redis_version']}, redis-py {redis.__version__}"


def _log_bytes(root):
    total = 0
    for name in ("redis.log", "redis.conf"):
        try:
            total += os.stat(os.path.join(root, name)).st_blocks * 512
        except FileNotFoundError:
            pass
    return total
