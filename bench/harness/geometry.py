"""Distances, windows and point-in-shape tests shared by the peers and the accuracy check.

Double-precision haversine on a sphere of radius 6371000 m is the reference model;
haversine_f32 and in_polygon(dtype=float32) follow vesko's own single-precision arithmetic, so
that a difference between the two can be told apart from a fault.
"""

import math

import numpy as np

earth_radius_m = 6371000.0
metres_per_deg_lat = math.pi * earth_radius_m / 180.0


def haversine_m(lat_deg, lon_deg, lats_deg, lons_deg, radius_m=earth_radius_m):
    """Great-circle distances in metres (double precision) from one position to arrays."""
    lat1 = math.radians(lat_deg)
    lat2 = np.radians(np.asarray(lats_deg, dtype=np.float64))
    dlat = lat2 - lat1
    dlon = np.radians(np.asarray(lons_deg, dtype=np.float64) - lon_deg)
    a = np.sin(dlat * 0.5) ** 2 + math.cos(lat1) * np.cos(lat2) * np.sin(dlon * 0.5) ** 2
    return 2.0 * radius_m * np.arcsin(np.sqrt(np.minimum(a, 1.0)))


def radius_window(lat_deg, lon_deg, radius_m):
    """(lat_lo, lat_hi, lon_lo, lon_hi) in degrees holding every point within radius_m.

    The longitude half-width grows with 1/cos(latitude) at the box's poleward edge; near a
    pole, or when the window would pass the antimeridian, it spans every longitude.
    """
    dlat = math.degrees(radius_m / earth_radius_m) * 1.000001 + 1e-9
    lat_lo, lat_hi = lat_deg - dlat, lat_deg + dlat
    poleward = max(abs(lat_lo), abs(lat_hi))
    if poleward >= 89.9:
        return max(lat_lo, -90.0), min(lat_hi, 90.0), -180.0, 180.0
    dlon = dlat / math.cos(math.radians(poleward))
    if dlon >= 180.0 or lon_deg - dlon < -180.0 or lon_deg + dlon > 180.0:
        return lat_lo, lat_hi, -180.0, 180.0
    return lat_lo, lat_hi, lon_deg - dlon, lon_deg + dlon


def in_box(lats, lons, top_left, bottom_right):
    """Mask of positions inside the box, every edge inclusive (corners are (lat, lon))."""
    return ((lats >= bottom_right[0]) & (lats <= top_left[0])
            & (lons >= top_left[1]) & (lons <= bottom_right[1]))


def in_polygon(lats, lons, vertices, dtype=np.float64):
    """Even-odd crossing test with latitude as the horizontal axis, in the given precision.

    With dtype float32 this is vesko's own rule (a ray toward increasing latitude, edges
    considered where their longitudes straddle the point's strictly); float64 is the reference.
    """
    lats = np.asarray(lats, dtype=dtype)
    lons = np.asarray(lons, dtype=dtype)
    v = np.asarray(vertices, dtype=dtype)
    inside = np.zeros(lats.shape, dtype=bool)
    n = len(v)
    for i in range(n):
        lat_i, lon_i = v[i]
        lat_j, lon_j = v[i - 1]
        straddles = (lon_i > lons) != (lon_j > lons)
        if not straddles.any() or lon_j == lon_i:
            continue
        with np.errstate(divide="ignore", invalid="ignore"):
            t = lat_i + ((lons - lon_i) * (lat_j - lat_i)) / (lon_j - lon_i)
        inside ^= straddles & (lats < t)
    return inside


def edge_distance_deg(lat, lon, vertices):
    """Planar distance in degrees from a position to the nearest edge of the polygon."""
    p = np.array([lat, lon], dtype=np.float64)
    best = math.inf
    for i in range(len(vertices)):
        a = np.asarray(vertices[i - 1], dtype=np.float64)
        b = np.asarray(vertices[i], dtype=np.float64)
        ab = b - a
        span = float(ab @ ab)
        t = 0.0 if span == 0.0 else min(1.0, max(0.0, float((p - a) @ ab) / span))
        best = min(best, float(np.linalg.norm(p - (a + t * ab))))
    return best


def polygon_box(vertices):
    """((north, west), (south, east)) corners of the polygon's bounding box."""
    lats = [p[0] for p in vertices]
    lons = [p[1] for p in vertices]
    return (max(lats), min(lons)), (min(lats), max(lons))


def box_circle(top_left, bottom_right):
    """(lat, lon, radius_m) of a circle that holds the whole box."""
    clat = (top_left[0] + bottom_right[0]) / 2.0
    clon = (top_left[1] + bottom_right[1]) / 2.0
    corners_lat = [top_left[0], top_left[0], bottom_right[0], bottom_right[0]]
    corners_lon = [top_left[1], bottom_right[1], top_left[1], bottom_right[1]]
    reach = float(haversine_m(clat, clon, corners_lat, corners_lon).max())
    return clat, clon, reach * 1.001 + 1.0


# vesko's single-precision model: the constants and the order of operations of its distance.
_deg_f32 = np.float32(0.017453292)
_radius_f32 = np.float32(6371000.0)
_half_f32 = np.float32(0.5)
_one_f32 = np.float32(1.0)


def haversine_f32(lat_deg, lon_deg, lats, lons):
    """vesko's single-precision distance from one position to arrays (metres, float32)."""
    lat_q = np.float32(lat_deg)
    lon_q = np.float32(lon_deg)
    lats = np.asarray(lats, dtype=np.float32)
    lons = np.asarray(lons, dtype=np.float32)
    cq = np.cos(lat_q * _deg_f32)
    cp = np.cos(lats * _deg_f32)
    hlon = np.sin(((lons - lon_q) * _deg_f32) * _half_f32)
    hlat = np.sin(((lats - lat_q) * _deg_f32) * _half_f32)
    a = (cq * cp) * (hlon * hlon) + hlat * hlat
    with np.errstate(invalid="ignore"):
        c = np.arctan2(np.sqrt(a), np.sqrt(_one_f32 - a))
    return (c + c) * _radius_f32


class PointIndex:
    """Positions sorted by latitude, so that a degree box is a slice plus a longitude mask."""

    def __init__(self, lats, lons):
        self.lats = np.asarray(lats, dtype=np.float32)
        self.lons = np.asarray(lons, dtype=np.float32)
        self.order = np.argsort(self.lats, kind="stable")
        self.sorted_lats = self.lats[self.order]

    def box(self, lat_lo, lat_hi, lon_lo, lon_hi):
        """Indices of the positions inside the box (inclusive), ascending."""
        lo = np.searchsorted(self.sorted_lats, lat_lo, side="left")
        hi = np.searchsorted(self.sorted_lats, lat_hi, side="right")
        idx = self.order[lo:hi]
        lons = self.lons[idx]
        return np.sort(idx[(lons >= lon_lo) & (lons <= lon_hi)])
