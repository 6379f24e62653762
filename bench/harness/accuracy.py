"""Does vesko answer what it should? Its hits against the exact answers: BallTree's for radius
and nearest neighbours (double-precision haversine, R = 6371000 m), an exact scan for boxes and
polygons. vesko's searches are exact for its own distance (single-precision haversine on the
same sphere), so a difference is explained only where the two precisions disagree: a point on
the radius, or points equally far to within single-precision resolution. Anything else is
counted as unexplained, with examples. The peers get the same comparison, counted per query.
"""

import numpy as np

from harness import geometry

reasons = {
    "boundary_rounding": "on the radius boundary: the single- and double-precision distances "
                         "fall on either side of the radius",
    "tie_at_kth": "near-tie for the k-th place: the exchanged points are equally far to within "
                  "single-precision resolution",
    "order_of_near_ties": "order among points equally far to within single-precision resolution",
    "polygon_edge": "on a polygon edge (within 1e-5 degrees): the single- and double-precision "
                    "crossing tests differ",
    "unexplained": "not explained by the distance model (a fault)",
}


# single-precision latitudes near 90 are 8e-6 degrees apart; crossing tests differ only closer
edge_tol_deg = 1e-5


def _tol_m(dist_m):
    return 1e-5 * dist_m + 1e-3


def reference_shapes(ds, queries, index):
    """Exact ids inside each box and each polygon (double precision on the stored floats)."""
    boxes, polygons = [], []
    for top_left, bottom_right in queries.boxes:
        boxes.append(index.box(bottom_right[0], top_left[0], top_left[1], bottom_right[1]))
    for vertices in queries.polygons:
        (north, west), (south, east) = geometry.polygon_box(vertices)
        cand = index.box(south, north, west, east)
        polygons.append(cand[geometry.in_polygon(ds.lats[cand], ds.lons[cand], vertices)])
    return {"box": boxes, "polygon": polygons}


def _dist_errors(got_ids, got_d, ref_ids, ref_d):
    """(max absolute, max relative) difference of the distances both report for the same ids."""
    max_abs = max_rel = 0.0
    for gi, gd, ri, rd in zip(got_ids, got_d, ref_ids, ref_d):
        common, g_at, r_at = np.intersect1d(gi, ri, return_indices=True)
        if len(common):
            diff = np.abs(gd[g_at] - rd[r_at])
            max_abs = max(max_abs, float(diff.max()))
            max_rel = max(max_rel, float((diff / np.maximum(rd[r_at], 1e-9)).max()))
    return max_abs, max_rel


def _empty_report(n):
    return {"queries": n, "agree": 0, "missing": 0, "extra": 0,
            "reasons": {}, "examples": []}


def _count(report, reason, example):
    report["reasons"][reason] = report["reasons"].get(reason, 0) + 1
    if reason == "unexplained" and len(report["examples"]) < 5:
        report["examples"].append(example)


def check_radius(ds, queries, got, ref, radius_m, filtered):
    """Id sets of one radius kind, each difference explained or counted as unexplained."""
    report = _empty_report(len(got["ids"]))
    for q, (g, r) in enumerate(zip(got["ids"], ref["ids"])):
        missing = np.setdiff1d(r, g)
        extra = np.setdiff1d(g, r)
        if not len(missing) and not len(extra):
            report["agree"] += 1
            continue
        lat, lon = queries.centres[q]
        report["missing"] += len(missing)
        report["extra"] += len(extra)
        for j in missing.tolist():
            plat, plon = ds.lats[j:j + 1], ds.lons[j:j + 1]
            d64 = float(geometry.haversine_m(lat, lon, plat, plon)[0])
            if (float(geometry.haversine_f32(lat, lon, plat, plon)[0]) > radius_m
                    or abs(d64 - radius_m) <= _tol_m(radius_m)):
                reason = "boundary_rounding"
            else:
                reason = "unexplained"
            _count(report, reason, {"query": q, "missing": j, "dist_m": d64})
        for j in extra.tolist():
            d64 = float(geometry.haversine_m(lat, lon, ds.lats[j:j + 1], ds.lons[j:j + 1])[0])
            matches = (not filtered
                       or queries.filters[q].mask(ds.str_vals[j:j + 1], ds.num_vals[j:j + 1])[0])
            reason = ("boundary_rounding" if matches and d64 - radius_m <= _tol_m(radius_m)
                      else "unexplained")
            _count(report, reason, {"query": q, "extra": j, "dist_m": d64})
    report["max_dist_abs_err_m"], report["max_dist_rel_err"] = _dist_errors(
        got["ids"], got["dists"], ref["ids"], ref["dists"])
    return report


def knn_equivalent(ds, lat, lon, got_ids, ref_dists):
    """True when the i-th point returned is as far as the i-th exact neighbour, for every i, to
    within single-precision resolution: the same answer up to the order of near-ties."""
    if len(got_ids) != len(ref_dists) or len(np.unique(got_ids)) != len(got_ids):
        return False
    if not len(got_ids):
        return True
    d64 = geometry.haversine_m(lat, lon, ds.lats[got_ids], ds.lons[got_ids])
    return bool(np.all(np.abs(d64 - ref_dists) <= _tol_m(ref_dists)))


def check_knn(ds, queries, got, ref):
    """Ordered ids of the nearest-neighbour answers against the exact ones."""
    report = _empty_report(len(got["ids"]))
    report["same_set_other_order"] = 0
    for q, (g, r) in enumerate(zip(got["ids"], ref["ids"])):
        if np.array_equal(g, r):
            report["agree"] += 1
            continue
        lat, lon = queries.centres[q]
        same_set = len(g) == len(r) and np.array_equal(np.sort(g), np.sort(r))
        if same_set:
            report["same_set_other_order"] += 1
        else:
            report["missing"] += len(np.setdiff1d(r, g))
            report["extra"] += len(np.setdiff1d(g, r))
        if knn_equivalent(ds, lat, lon, g, ref["dists"][q]):
            reason = "order_of_near_ties" if same_set else "tie_at_kth"
        else:
            reason = "unexplained"
        _count(report, reason, {"query": q, "got": g.tolist(), "ref": r.tolist()})
    report["max_dist_abs_err_m"], report["max_dist_rel_err"] = _dist_errors(
        got["ids"], got["dists"], ref["ids"], ref["dists"])
    return report


def check_shape(ds, queries, got_ids, ref_ids, kind):
    """Id sets of box or polygon answers against the exact scan."""
    report = _empty_report(len(got_ids))
    for q, (g, r) in enumerate(zip(got_ids, ref_ids)):
        missing = np.setdiff1d(r, g)
        extra = np.setdiff1d(g, r)
        if not len(missing) and not len(extra):
            report["agree"] += 1
            continue
        report["missing"] += len(missing)
        report["extra"] += len(extra)
        for j in np.concatenate([missing, extra]).tolist():
            reason = "unexplained"
            if kind == "polygon":
                vertices = queries.polygons[q]
                f32 = geometry.in_polygon(ds.lats[j:j + 1], ds.lons[j:j + 1], vertices,
                                          dtype=np.float32)[0]
                near = geometry.edge_distance_deg(float(ds.lats[j]), float(ds.lons[j]),
                                                  vertices) <= edge_tol_deg
                if near and f32 == (j in set(g.tolist())):
                    reason = "polygon_edge"
            _count(report, reason, {"query": q, "point": j})
    return report


def check_vesko(ds, queries, vesko_q, ref_q, shapes):
    """The accuracy report of every query kind that both vesko and the reference answered."""
    out = {}
    for kind, radius_m, filtered in (("radius_1km", queries.radii_m[0], False),
                                     ("radius_10km", queries.radii_m[1], False),
                                     ("radius_10km_filtered", queries.radii_m[1], True)):
        if _both(vesko_q, ref_q, kind):
            out[kind] = check_radius(ds, queries, vesko_q[kind], ref_q[kind], radius_m, filtered)
    if _both(vesko_q, ref_q, "knn_10"):
        out["knn_10"] = check_knn(ds, queries, vesko_q["knn_10"], ref_q["knn_10"])
    for kind in ("box", "polygon"):
        if vesko_q.get(kind, {}).get("available"):
            out[kind] = check_shape(ds, queries, vesko_q[kind]["ids"], shapes[kind], kind)
    return out


def _both(a, b, kind):
    return bool(a.get(kind, {}).get("available") and b and b.get(kind, {}).get("available"))


def peer_differences(ds, queries, engine_q, ref_q, shapes):
    """Per query kind, how many queries an engine answered otherwise than the exact reference,
    beyond what single-precision resolution allows (points on the radius, near-ties)."""
    out = {}
    radii = {"radius_1km": queries.radii_m[0], "radius_10km": queries.radii_m[1],
             "radius_10km_filtered": queries.radii_m[1]}
    for kind, result in engine_q.items():
        if not result.get("available"):
            continue
        if kind in shapes:
            out[kind] = sum(not np.array_equal(np.sort(g), r)
                            for g, r in zip(result["ids"], shapes[kind]))
            continue
        if not (ref_q and ref_q.get(kind, {}).get("available")):
            continue
        n = 0
        for q, (g, r) in enumerate(zip(result["ids"], ref_q[kind]["ids"])):
            lat, lon = queries.centres[q]
            if kind == "knn_10":
                n += not knn_equivalent(ds, lat, lon, g, ref_q[kind]["dists"][q])
                continue
            exchanged = np.setdiff1d(np.union1d(g, r), np.intersect1d(g, r))
            d64 = geometry.haversine_m(lat, lon, ds.lats[exchanged], ds.lons[exchanged])
            n += bool(np.any(np.abs(d64 - radii[kind]) > _tol_m(radii[kind])))
        out[kind] = n
    return out
