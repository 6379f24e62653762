"""A deliberately naive model of the store's spatial answers, for checking the searches.

Every number goes through IEEE single precision exactly as the store computes it: coordinates
are rounded to f32 when stored, each arithmetic step is rounded to f32, and sine, cosine and
the two-argument arc tangent come from the platform's own single-precision libm functions.
The searches are then answered by brute force over every point.
"""

import ctypes
import ctypes.util
import math
import struct

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sinf", "cosf", "sqrtf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]
_libm.atan2f.restype = ctypes.c_float
_libm.atan2f.argtypes = [ctypes.c_float, ctypes.c_float]

DEG = struct.unpack("<f", bytes.fromhex("35fa8e3c"))[0]
EARTH_RADIUS_M = 6371000.0


def f32(x):
    """x rounded to the nearest f32 (out of range gives infinity)."""
    return ctypes.c_float(x).value


def distance(lat_q, lon_q, lat_p, lon_p):
    """The store's single-precision haversine distance in metres."""
    cq = _libm.cosf(f32(lat_q * DEG))
    cp = _libm.cosf(f32(lat_p * DEG))
    hlon = _libm.sinf(f32(f32(f32(lon_p - lon_q) * DEG) * 0.5))
    hlat = _libm.sinf(f32(f32(f32(lat_p - lat_q) * DEG) * 0.5))
    a = f32(f32(f32(cq * cp) * f32(hlon * hlon)) + f32(hlat * hlat))
    c = _libm.atan2f(_libm.sqrtf(a), _libm.sqrtf(f32(1.0 - a)))
    return f32(f32(c + c) * EARTH_RADIUS_M)


class Model:
    """Points by internal id, as the store holds them: (ext id, f32 lat, f32 lon, metadata)."""

    def __init__(self):
        self.points = {}  # internal id -> (ext_id, lat, lon, meta dict)
        self.by_ext = {}
        self.next_id = 0

    def add(self, ext_id, lat, lon, meta):
        if ext_id in self.by_ext:
            return
        self.points[self.next_id] = (ext_id, f32(lat), f32(lon), meta)
        self.by_ext[ext_id] = self.next_id
        self.next_id += 1

    def delete(self, ext_id):
        int_id = self.by_ext.pop(ext_id, None)
        if int_id is not None:
            del self.points[int_id]

    def eligible(self, keep=None):
        return sorted(i for i, p in self.points.items() if keep is None or keep(p[3]))

    def radius(self, lat, lon, radius_m, keep=None):
        lat, lon, radius_m = f32(lat), f32(lon), f32(radius_m)
        hits = []
        for i in self.eligible(keep):
            d = distance(lat, lon, self.points[i][1], self.points[i][2])
            if d <= radius_m:
                hits.append((d, i))
        hits.sort(key=lambda h: h[0])  # stable: equal distances stay in id order
        return [(self.points[i][0], d) for d, i in hits]

    def knn_distances(self, lat, lon, k, keep=None):
        """The k smallest distances (the ids at a tie on the k-th place are not unique)."""
        lat, lon = f32(lat), f32(lon)
        ds = sorted(distance(lat, lon, self.points[i][1], self.points[i][2])
                    for i in self.eligible(keep))
        return ds[:k]

    def knn_by_distance(self, lat, lon, keep=None):
        lat, lon = f32(lat), f32(lon)
        return {self.points[i][0]: distance(lat, lon, self.points[i][1], self.points[i][2])
                for i in self.eligible(keep)}

    def box(self, top_left, bottom_right, keep=None):
        north, west = f32(top_left[0]), f32(top_left[1])
        south, east = f32(bottom_right[0]), f32(bottom_right[1])
        return [self.points[i][0] for i in self.eligible(keep)
                if south <= self.points[i][1] <= north and west <= self.points[i][2] <= east]

    def polygon(self, vertices, keep=None):
        poly = [(f32(a), f32(b)) for a, b in vertices]
        return [self.points[i][0] for i in self.eligible(keep)
                if inside(poly, self.points[i][1], self.points[i][2])]


def inside(poly, p_lat, p_lon):
    """Even-odd crossing test in f32, latitude as the ray's axis."""
    result = False
    n = len(poly)
    for i in range(n):
        lat_i, lon_i = poly[i]
        lat_j, lon_j = poly[i - 1]
        if (lon_i > p_lon) != (lon_j > p_lon):
            t = f32(lat_i + f32(f32(f32(p_lon - lon_i) * f32(lat_j - lat_i)) / f32(lon_j - lon_i)))
            if p_lat < t:
                result = not result
    return result


def destination(lat, lon, bearing_deg, dist_m):
    """The point dist_m from (lat, lon) along the initial bearing, on the sphere."""
    d = dist_m / EARTH_RADIUS_M
    phi, lam, theta = math.radians(lat), math.radians(lon), math.radians(bearing_deg)
    phi2 = math.asin(math.sin(phi) * math.cos(d) + math.cos(phi) * math.sin(d) * math.cos(theta))
    lam2 = lam + math.atan2(math.sin(theta) * math.sin(d) * math.cos(phi),
                            math.cos(d) - math.sin(phi) * math.sin(phi2))
    lon2 = (math.degrees(lam2) + 540.0) % 360.0 - 180.0
    return math.degrees(phi2), lon2
