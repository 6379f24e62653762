"""vesko's search rules replayed in numpy, to explain where its answers differ from the exact
ones: the radius search's candidate window, and the nearest-neighbour ring walk with its
stopping bound, both on the grid of 0.01-degree cells with single-precision distances.
"""

import heapq

import numpy as np

from harness import geometry

_f32 = np.float32


def radius_window_cells(lat, lon, radius_m):
    """(lat_cell_lo, lat_cell_hi, lon_cell_lo, lon_cell_hi) that the radius search examines."""
    margin = (_f32(radius_m) / _f32(111000.0)) * _f32(1.1)
    lat_lo, lat_hi = _f32(lat) - margin, _f32(lat) + margin
    lon_lo, lon_hi = _f32(lon) - margin, _f32(lon) + margin
    lat_cells = geometry.lat_cells([lat_lo, lat_hi])
    lon_cells = geometry.lon_cells([lon_lo, lon_hi])
    return lat_cells[0], lat_cells[1], lon_cells[0], lon_cells[1]


def in_radius_window(lat, lon, radius_m, plats, plons):
    """Mask of the points that the radius search examines at all."""
    y_lo, y_hi, x_lo, x_hi = radius_window_cells(lat, lon, radius_m)
    y = geometry.lat_cells(plats)
    x = geometry.lon_cells(plons)
    return (y >= y_lo) & (y <= y_hi) & (x >= x_lo) & (x <= x_hi)


def ring_bound_m(r):
    return float(_f32(_f32((r + 1) * 0.01 * 111111.0) * _f32(0.7)))


def _centre_cell(lat, lon):
    cx = int(np.trunc((float(_f32(lon)) + 180.0) * 100.0))
    cy = int(np.trunc((float(_f32(lat)) + 90.0) * 100.0))
    return cx, cy


def knn(index, lat, lon, k, allowed=None):
    """(ids, stop ring) of vesko's k nearest by its ring walk, from a geometry.PointIndex.

    allowed, if given, is a boolean mask over every point (the filter's result set).
    Ties at equal single-precision distance are broken by examination order, as vesko does.
    """
    cx, cy = _centre_cell(lat, lon)
    reach = 8
    while True:
        lat_lo = (cy - reach) / 100.0 - 90.0 - 0.01
        lat_hi = (cy + reach + 1) / 100.0 - 90.0 + 0.01
        lon_lo = (cx - reach) / 100.0 - 180.0 - 0.01
        lon_hi = (cx + reach + 1) / 100.0 - 180.0 + 0.01
        cand = index.box(lat_lo, lat_hi, lon_lo, lon_hi)
        if allowed is not None:
            cand = cand[allowed[cand]]
        x = geometry.lon_cells(index.lons[cand])
        y = geometry.lat_cells(index.lats[cand])
        ring = np.maximum(np.abs(x - cx), np.abs(y - cy))
        keep = ring <= reach
        cand, x, y, ring = cand[keep], x[keep], y[keep], ring[keep]
        dist = geometry.haversine_f32(lat, lon, index.lats[cand], index.lons[cand])
        # examination order: ring, then cell row (dy), then cell column (dx), then id
        order = np.lexsort((cand, x, y, ring))
        stop = _walk(cand[order], dist[order], ring[order], k, reach)
        if stop is not None:
            return stop
        if reach >= 199:
            break
        reach = min(199, reach * 3)
    # fewer than k within 200 rings: every allowed point is considered
    every = np.arange(len(index.lats)) if allowed is None else np.flatnonzero(allowed)
    dist = geometry.haversine_f32(lat, lon, index.lats[every], index.lons[every])
    order = np.argsort(dist, kind="stable")[:k]
    return every[order], 200


def _walk(ids, dists, rings, k, reach):
    """Replays the rings 0..reach; returns (ids, stop ring) or None if no stop within reach."""
    best = []                    # max-heap through negated distances: (-dist, seq, id)
    pos = 0
    n = len(ids)
    for r in range(reach + 1):
        found = False
        while pos < n and rings[pos] == r:
            found = True
            d = float(dists[pos])
            if len(best) < k:
                heapq.heappush(best, (-d, pos, int(ids[pos])))
            elif d < -best[0][0]:
                heapq.heapreplace(best, (-d, pos, int(ids[pos])))
            pos += 1
        if len(best) == k:
            top = -best[0][0]
            if r > 198 or top < ring_bound_m(r) or (r >= 5 and not found):
                ranked = sorted(best, key=lambda e: (-e[0], e[1]))
                return np.array([e[2] for e in ranked], dtype=np.int64), r
        elif r >= 199:
            return None
    return None
