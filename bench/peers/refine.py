"""Turning the candidates of a rectangle index into exact answers, for peers whose index
knows only boxes (SQLite's R*Tree, libspatialindex): double-precision haversine for distances,
the even-odd rule for polygons, and an expanding box for nearest neighbours.
"""

import numpy as np

from harness import geometry


def radius_hits(lat, lon, radius_m, ids, lats, lons, metas):
    """(id, metres, metadata) of the candidates within radius_m, nearest first."""
    if not ids:
        return []
    dist = geometry.haversine_m(lat, lon, lats, lons)
    keep = np.flatnonzero(dist <= radius_m)
    keep = keep[np.argsort(dist[keep], kind="stable")]
    return [(ids[i], float(dist[i]), metas[i]) for i in keep.tolist()]


def knn_hits(window_candidates, lat, lon, k, start_m=2000.0):
    """The k nearest, from a function that returns (ids, lats, lons, metas) inside a window.

    The window is the one that holds a circle of growing radius; the answer is final once k
    candidates lie within that radius, since nothing outside the circle can be nearer.
    """
    reach_m = start_m
    while True:
        ids, lats, lons, metas = window_candidates(*geometry.radius_window(lat, lon, reach_m))
        if ids:
            dist = geometry.haversine_m(lat, lon, lats, lons)
            order = np.argsort(dist, kind="stable")[:k]
            if len(order) == k and dist[order[-1]] <= reach_m:
                return [(ids[i], float(dist[i]), metas[i]) for i in order.tolist()]
        if reach_m > 2.1e7:
            order = np.argsort(dist, kind="stable")[:k] if ids else []
            return [(ids[i], float(dist[i]), metas[i]) for i in list(order)]
        reach_m *= 4.0


def box_hits(top_left, bottom_right, ids, lats, lons, metas):
    if not ids:
        return []
    inside = geometry.in_box(np.asarray(lats), np.asarray(lons), top_left, bottom_right)
    return [(ids[i], metas[i]) for i in np.flatnonzero(inside).tolist()]


def polygon_hits(vertices, ids, lats, lons, metas):
    if not ids:
        return []
    inside = geometry.in_polygon(lats, lons, vertices)
    return [(ids[i], metas[i]) for i in np.flatnonzero(inside).tolist()]


class WindowedQueries:
    """Box and polygon for a peer whose `_window(lat_lo, lat_hi, lon_lo, lon_hi)` returns the
    (ids, lats, lons, metas) of the points in a rectangle."""

    def box(self, top_left, bottom_right):
        window = (bottom_right[0], top_left[0], top_left[1], bottom_right[1])
        return box_hits(top_left, bottom_right, *self._window(*window))

    def polygon(self, vertices):
        (north, west), (south, east) = geometry.polygon_box(vertices)
        return polygon_hits(vertices, *self._window(south, north, west, east))
