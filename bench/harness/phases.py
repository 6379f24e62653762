"""What one child process does for one engine: build (insert one by one, make durable, close),
serve (reopen, answer the queries, delete), bulk (load a fresh store through the engine's bulk
path, then insert more one by one and time the cheapest durable commit), and, for an
in-memory engine, build and serve at once.

Each phase writes its figures and the ids it answered to a pickle for the parent. A method
that raises NotImplementedError makes its row "not available" instead of failing the run.
"""

import gc
import pickle
import sys
import time

import numpy as np

from harness import extra_queries, servers
from peers import engine_class

query_kinds = [
    ("radius_1km", "radius 1 km"),
    ("radius_10km", "radius 10 km"),
    ("knn_10", "k = 10 nearest"),
    ("box", "0.1-degree box"),
    ("polygon", "12-vertex polygon"),
    ("radius_10km_filtered", "radius 10 km + filter"),
]
warmup_queries = 20


def rss_bytes():
    return servers.rss_bytes("self")


def _engine(name, ds_info, workdir, address):
    cls = engine_class(name)
    return cls(workdir, ds_info["name"], ds_info["str_field"], ds_info["num_field"],
               server=servers.from_address(address))


def _timed(fn):
    """(seconds, None) or (None, reason) when the engine does not offer the operation."""
    start = time.perf_counter()
    try:
        fn()
    except NotImplementedError as e:
        return None, f"not available: {e}" if str(e) else "not available"
    return time.perf_counter() - start, None


def _progress(name, what, done, total):
    if total >= 100_000 and done % (total // 10) == 0:
        print(f"   {name}: {what} {done:,} of {total:,}", file=sys.stderr, flush=True)


def build(name, ds, workdir, address):
    """Insert every point through the single-insert path, then commit; returns figures."""
    engine = _engine(name, _ds_info(ds), workdir, address)
    engine.create()
    insert = engine.insert
    ids, metas, str_vals = ds.ids, ds.metas, ds.str_vals
    lats, lons, num_vals = ds.lats.tolist(), ds.lons.tolist(), ds.num_vals.tolist()
    n = len(ds)
    gc.collect()
    gc.disable()
    start = time.perf_counter()
    for i in range(n):
        insert(i, ids[i], lats[i], lons[i], metas[i], str_vals[i], num_vals[i])
        if i % 1000 == 999:
            _progress(name, "inserted", i + 1, n)
    engine.finish_inserts()
    insert_s = time.perf_counter() - start
    gc.enable()
    figures = {"points": n, "insert_s": insert_s, "inserts_per_s": n / insert_s,
               "version": engine.version()}
    if engine.persistent:
        figures["commit_s"], figures["commit_note"] = _timed(engine.commit)
        figures["count_after_build"] = engine.count()
        figures["disk_bytes"] = engine.disk_bytes()
        engine.close()
    return figures, engine


commit_after_inserts = 10_000


def bulk(name, ds, workdir, address):
    """A fresh store loaded through the engine's bulk path; then more single inserts and the
    engine's cheapest durable commit. Returns figures."""
    engine = _engine(name, _ds_info(ds), workdir, address)
    engine.create()
    n = len(ds)
    gc.collect()
    figures = {}
    seconds, why = _timed(lambda: engine.bulk_load(ds))
    figures["bulk_s"], figures["bulk_note"] = seconds, why
    if seconds is None:
        return figures
    figures["bulk_points_per_s"] = n / seconds
    figures["count_after_bulk"] = engine.count()
    if not engine.persistent:
        return figures
    # The loaded points made durable first, so that the commit timed below covers only the
    # inserts after them.
    engine.commit()
    extra = min(commit_after_inserts, n)
    # The commit timed below must make all of these inserts durable, as vesko's sync does: a
    # peer that commits in batches holds them in one transaction, whose commit (in
    # finish_inserts) is timed with the rest; batches committed inside the loop would leave
    # it only an empty commit to time.
    if hasattr(engine, "batch_rows"):
        engine.batch_rows = extra + 1
    lats, lons, num_vals = ds.lats.tolist(), ds.lons.tolist(), ds.num_vals.tolist()
    for i in range(extra):
        engine.insert(n + i, "x" + ds.ids[i], lats[i], lons[i], ds.metas[i], ds.str_vals[i],
                      num_vals[i])
    figures["quick_commit_inserts"] = extra

    def commit_inserts():
        engine.finish_inserts()
        engine.quick_commit()

    figures["quick_commit_s"], figures["quick_commit_note"] = _timed(commit_inserts)
    engine.close()
    return figures


def _ds_info(ds):
    return {"name": ds.name, "str_field": ds.str_field, "num_field": ds.num_field}


def _hit_index(ext_id):
    return int(ext_id[1:])


def run_queries(name, engine, queries):
    """Every query kind over every centre: latencies, hit counts and the ids answered."""
    out = {}
    calls = {
        "radius_1km": lambda q: engine.radius(*queries.centres[q], queries.radii_m[0]),
        "radius_10km": lambda q: engine.radius(*queries.centres[q], queries.radii_m[1]),
        "knn_10": lambda q: engine.knn(*queries.centres[q], queries.k),
        "box": lambda q: engine.box(*queries.boxes[q]),
        "polygon": lambda q: engine.polygon(queries.polygons[q]),
        "radius_10km_filtered": lambda q: engine.radius(*queries.centres[q], queries.radii_m[1],
                                                        queries.filters[q]),
    }
    n = len(queries.centres)
    for kind, _ in query_kinds:
        call = calls[kind]
        try:
            for q in range(min(warmup_queries, n)):
                call(q)
        except NotImplementedError as e:
            out[kind] = {"available": False, "reason": str(e) or "not available"}
            continue
        latencies = np.empty(n, dtype=np.int64)
        answers = []
        clock = time.perf_counter_ns
        wall = clock()
        for q in range(n):
            t0 = clock()
            answer = call(q)
            latencies[q] = clock() - t0
            answers.append(answer)
        wall = clock() - wall
        with_dist = kind.startswith("radius") or kind.startswith("knn")
        ids = [np.array([_hit_index(h[0]) for h in a], dtype=np.int64) for a in answers]
        dists = ([np.array([h[1] for h in a], dtype=np.float64) for a in answers]
                 if with_dist else None)
        out[kind] = {
            "available": True,
            "p50_ms": float(np.percentile(latencies, 50)) / 1e6,
            "p99_ms": float(np.percentile(latencies, 99)) / 1e6,
            "qps": n / (wall / 1e9),
            "mean_hits": float(np.mean([len(a) for a in answers])),
            "ids": ids,
            "dists": dists,
        }
        print(f"   {name}: {kind} p50 {out[kind]['p50_ms']:.3f} ms, "
              f"{out[kind]['mean_hits']:.1f} hits", file=sys.stderr, flush=True)
    return out


def serve(name, queries, ds_info, workdir, address):
    """Reopen the built store, answer every query, then delete; returns figures."""
    engine = _engine(name, ds_info, workdir, address)
    gc.collect()
    rss_before = rss_bytes()
    start = time.perf_counter()
    engine.reopen()
    count = engine.count()
    reopen_s = time.perf_counter() - start
    figures = {"reopen_s": reopen_s, "count_after_reopen": count}
    figures["queries"] = run_queries(name, engine, queries)
    figures["extra_queries"] = extra_queries.run(name, engine, queries)
    gc.collect()
    figures["client_memory_bytes"] = rss_bytes() - rss_before
    figures["server_memory_bytes"] = engine.server_memory_bytes()
    figures.update(_deletes(name, engine, queries))
    engine.close()
    return figures


def _deletes(name, engine, queries):
    doomed = queries.deletes
    before = engine.count()
    try:
        start = time.perf_counter()
        for index, ext_id, lat, lon in doomed:
            engine.delete(index, ext_id, lat, lon)
        engine.finish_deletes()
        delete_s = time.perf_counter() - start
    except NotImplementedError as e:
        return {"deletes_per_s": None, "delete_note": str(e) or "not available"}
    return {"deletes": len(doomed), "delete_s": delete_s,
            "deletes_per_s": len(doomed) / delete_s if delete_s > 0 else None,
            "count_after_deletes": engine.count(), "count_before_deletes": before}


def in_memory(name, payload, workdir, rss_before):
    """Build and serve an in-memory engine in one process; its memory is the growth from
    before the data was loaded, less the data that the engine does not keep."""
    queries = payload["queries"]
    figures, engine = build(name, payload.pop("dataset"), workdir, None)
    gc.collect()
    figures["client_memory_bytes"] = rss_bytes() - rss_before
    figures["count_after_build"] = engine.count()
    figures["queries"] = run_queries(name, engine, queries)
    figures["extra_queries"] = extra_queries.run(name, engine, queries)
    return figures


def child_main(phase, name, data_file, server_file, result_file, workdir):
    """Entry point of a child process (see compare.py --child)."""
    engine_class(name)          # its libraries are not the engine's memory
    gc.collect()
    rss_before = rss_bytes()
    address = None
    if server_file != "-":
        with open(server_file, "rb") as f:
            address = pickle.load(f)
    with open(data_file, "rb") as f:
        payload = pickle.load(f)
    if phase == "build":
        figures, _ = build(name, payload["dataset"], workdir, address)
    elif phase == "serve":
        figures = serve(name, payload["queries"], payload["ds_info"], workdir, address)
    elif phase == "bulk":
        figures = bulk(name, payload["dataset"], workdir, address)
    else:
        figures = in_memory(name, payload, workdir, rss_before)
    with open(result_file, "wb") as f:
        pickle.dump(figures, f, protocol=pickle.HIGHEST_PROTOCOL)
