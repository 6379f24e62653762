"""Does vesko answer what it should? Its hits against the exact answers: BallTree's for radius
and nearest neighbours (double-precision haversine, R = 6371000 m), an exact scan for boxes and
polygons. Every difference is put down to a known rule of vesko's distance model or counted as
unexplained; the peers get a count of queries whose answer differs from the same reference.
"""

import numpy as np

from harness import geometry, vesko_model

reasons = {
    "outside_window": "outside the radius search's candidate window: its longitude margin "
                      "(radius / 111 km x 1.1 degrees) is not widened by 1/cos(latitude), so "
                      "beyond about 25 degrees of latitude points near the east and west edge of "
                      "the circle are never examined",
    "boundary_rounding": "on the radius boundary: the single- and double-precision distances "
                         "fall on either side of the radius",
    "ring_stop_rule": "the ring walk stopped before reaching a nearer point: it stops once the "
                      "k-th distance is below 0.7 x (r + 1) x 1.11 km, which can exceed the "
                      "distance that r rings of 0.01-degree cells cover (near a cell edge at "
                      "small r, and everywhere beyond about 45.6 degrees, where cells narrow)",
    "tie_at_kth": "near-tie for the k-th place: the exchanged points are equally far to within "
                  "single-precision resolution",
    "order_of_near_ties": "order among points equally far to within single-precision resolution",
    "polygon_edge": "on a polygon edge: the single- and double-precision crossing tests differ",
    "unexplained": "not explained by the distance model (a fault)",
}


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


def differing_queries(got, ref, ordered=False):
    """How many queries have another answer (another id set, or another order when ordered)."""
    n = 0
    for g, r in zip(got, ref):
        if ordered:
            n += not np.array_equal(g, r)
        else:
            n += len(g) != len(r) or not np.array_equal(np.sort(g), np.sort(r))
    return n


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
            if not vesko_model.in_radius_window(lat, lon, radius_m, plat, plon)[0]:
                reason = "outside_window"
            elif (float(geometry.haversine_f32(lat, lon, plat, plon)[0]) > radius_m
                  or abs(float(geometry.haversine_m(lat, lon, plat, plon)[0]) - radius_m)
                  <= _tol_m(radius_m)):
                reason = "boundary_rounding"
            else:
                reason = "unexplained"
            _count(report, reason, {"query": q, "missing": j})
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


def check_knn(ds, queries, got, ref, index):
    """Ordered ids of the nearest-neighbour answers against the exact ones."""
    report = _empty_report(len(got["ids"]))
    report["same_set_other_order"] = 0
    for q, (g, r) in enumerate(zip(got["ids"], ref["ids"])):
        if np.array_equal(g, r):
            report["agree"] += 1
            continue
        lat, lon = queries.centres[q]
        ref_d = ref["dists"][q]
        if len(g) == len(r) and np.array_equal(np.sort(g), np.sort(r)):
            report["same_set_other_order"] += 1
            d_of = dict(zip(r.tolist(), ref_d.tolist()))
            swapped = [abs(d_of[a] - d_of[b]) for a, b in zip(g.tolist(), r.tolist()) if a != b]
            near = all(s <= _tol_m(max(ref_d[-1], 1.0)) for s in swapped)
            _count(report, "order_of_near_ties" if near else "unexplained",
                   {"query": q, "got": g.tolist(), "ref": r.tolist()})
            continue
        missing = np.setdiff1d(r, g)
        extra = np.setdiff1d(g, r)
        report["missing"] += len(missing)
        report["extra"] += len(extra)
        kth = float(ref_d[-1]) if len(ref_d) else 0.0
        exchanged = np.concatenate([missing, extra])
        d64 = geometry.haversine_m(lat, lon, ds.lats[exchanged], ds.lons[exchanged])
        if np.all(np.abs(d64 - kth) <= _tol_m(kth)):
            reason = "tie_at_kth"
        else:
            model_ids, stop_ring = vesko_model.knn(index, lat, lon, len(g) or queries.k)
            reason = ("ring_stop_rule" if np.array_equal(np.sort(model_ids), np.sort(g))
                      else "unexplained")
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
                f32 = geometry.in_polygon(ds.lats[j:j + 1], ds.lons[j:j + 1],
                                          queries.polygons[q], dtype=np.float32)[0]
                if f32 == (j in set(g.tolist())):
                    reason = "polygon_edge"
            _count(report, reason, {"query": q, "point": j})
    return report


def check_vesko(ds, queries, vesko_q, ref_q, shapes, index):
    """The accuracy report of every query kind that both vesko and the reference answered."""
    out = {}
    for kind, radius_m, filtered in (("radius_1km", queries.radii_m[0], False),
                                     ("radius_10km", queries.radii_m[1], False),
                                     ("radius_10km_filtered", queries.radii_m[1], True)):
        if _both(vesko_q, ref_q, kind):
            out[kind] = check_radius(ds, queries, vesko_q[kind], ref_q[kind], radius_m, filtered)
    if _both(vesko_q, ref_q, "knn_10"):
        out["knn_10"] = check_knn(ds, queries, vesko_q["knn_10"], ref_q["knn_10"], index)
    for kind in ("box", "polygon"):
        if vesko_q.get(kind, {}).get("available"):
            out[kind] = check_shape(ds, queries, vesko_q[kind]["ids"], shapes[kind], kind)
    return out


def _both(a, b, kind):
    return bool(a.get(kind, {}).get("available") and b and b.get(kind, {}).get("available"))


def peer_differences(engine_q, ref_q, shapes):
    """Per query kind, how many queries an engine answered with another id set."""
    out = {}
    for kind, result in engine_q.items():
        if not result.get("available"):
            continue
        if kind in shapes:
            out[kind] = differing_queries(result["ids"], shapes[kind])
        elif ref_q and ref_q.get(kind, {}).get("available"):
            out[kind] = differing_queries(result["ids"], ref_q[kind]["ids"],
                                          ordered=kind == "knn_10")
    return out
