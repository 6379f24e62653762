"""vesko against the engines a user would pick instead, on the same data and the same queries,
in one run on one machine.

    python bench/compare.py [--points N] [--queries Q] [--engines a,b] [--no-install] [--tiny]

Engines: vesko, SQLite's R*Tree, the rtree package (libspatialindex, on disk), scikit-learn's
BallTree (in memory, the exact reference), Redis GEO and PostGIS (throwaway servers on
127.0.0.1, stopped at the end). Data: N points clustered around real places (seeded), then the
demo's real places. Each engine is built in one process (single inserts, durable commit),
served in a fresh one (reopen, the queries, deletes), and loaded again through its bulk path in
a third (then 10,000 more single inserts and its cheapest durable commit: vesko's sync); the
bulk process runs three times and the best figures are kept.
Results go to bench/out/ as Markdown and JSON; an engine that cannot be set up is reported as
skipped with the reason.

A --tiny run (what CI runs) uses 2,000 points and 50 queries and installs no system
packages, so the server peers are skipped unless they are already installed.
"""

import argparse
import datetime
import os
import pickle
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import phases  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--deletes", type=int, default=10_000)
    parser.add_argument("--places-limit", type=int, default=None,
                        help="use a seeded sample of this many real places (default: all)")
    parser.add_argument("--engines", default="vesko,sqlite,rtree,balltree,redis,postgis")
    parser.add_argument("--datasets", default="clustered,places")
    parser.add_argument("--no-install", action="store_true",
                        help="never install Debian packages for the server peers")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out"))
    parser.add_argument("--workdir", default=None, help="scratch directory (default: a temp one)")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    parser.add_argument("--child", nargs=6, help=argparse.SUPPRESS)
    args = parser.parse_args()
    from peers import engines
    for name in args.engines.split(","):
        if name.strip() not in engines:
            parser.error(f"unknown engine {name!r}; the engines are {', '.join(engines)}")
    for name in args.datasets.split(","):
        if name not in ("clustered", "places"):
            parser.error(f"unknown data set {name!r}; the data sets are clustered, places")
    if args.tiny:
        args.points, args.queries, args.deletes = 2000, 50, 200
        args.places_limit = args.places_limit or 3000
        args.no_install = True
    return args


class ChildFailed(Exception):
    pass


def run_child(phase, name, payload, address, workdir):
    result = os.path.join(workdir, f"{name}-{phase}.result")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", phase, name, payload,
           address or "-", result, workdir]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=None, text=True)
    if proc.returncode != 0:
        raise ChildFailed(f"the {phase} process exited with status {proc.returncode} "
                          f"(its error is printed above)")
    with open(result, "rb") as f:
        figures = pickle.load(f)
    os.remove(result)
    return figures


def prepare_engines(names, allow_install):
    """{name: (class or None, server maker or None, skip reason or None)}."""
    from harness import servers, system
    from peers import engine_class
    from peers.base import Skip
    out = {}
    for name in names:
        try:
            cls = engine_class(name)
        except ImportError as e:
            out[name] = (None, None, f"Python package missing ({e.name}); install the "
                                     f"bench extra: pip install '.[bench]'")
            continue
        try:
            if name == "redis":
                binary = system.redis_binary(allow_install)
                out[name] = (cls, lambda b=binary: servers.RedisServer.create(b), None)
            elif name == "postgis":
                bindir = system.postgis_bindir(allow_install)
                out[name] = (cls, lambda d=bindir: servers.PostgresCluster.create(d), None)
            else:
                out[name] = (cls, None, None)
        except Skip as e:
            out[name] = (cls, None, str(e))
    return out


def run_engine(name, cls, make_server, ds, files, workdir):
    """Build and serve one engine; returns its result entry for the report."""
    entry = {"label": cls.label, "distance_model": cls.distance_model,
             "persistent": cls.persistent, "notes": list(cls.notes), "run_notes": [],
             "differences": cls.differences}
    engine_dir = os.path.join(workdir, ds.name, name)
    os.makedirs(engine_dir, exist_ok=True)
    server = None
    try:
        server_file = None
        if make_server is not None:
            server = make_server()
            server.start()
            server_file = os.path.join(engine_dir, "server.address")
            with open(server_file, "wb") as f:
                pickle.dump(server.address(), f)
        print(f"== {ds.name}: {cls.label}", file=sys.stderr, flush=True)
        if cls.persistent:
            entry["build"] = run_child("build", name, files["build"], server_file, engine_dir)
            if server is not None:
                server.stop()
            entry["serve"] = run_child("serve", name, files["serve"], server_file, engine_dir)
        else:
            entry["build"] = run_child("memory", name, files["memory"], None, engine_dir)
        # The serve process left the server running (its reopen started it); each bulk process
        # creates a fresh store on it.
        entry["bulk"] = best_bulk([run_child("bulk", name, files["build"], server_file, engine_dir)
                                   for _ in range(bulk_runs)])
        entry["version"] = entry["build"].get("version", "")
        entry["status"] = "ok"
        _check_counts(entry, len(ds), len(files["deletes"]))
    except ChildFailed as e:
        entry.update(status="failed", reason=str(e))
    except Exception as e:
        entry.update(status="skipped", reason=f"set-up failed: {e}")
    finally:
        if server is not None:
            server.stop()
            server.remove()
        shutil.rmtree(engine_dir, ignore_errors=True)
    return entry


# The bulk path is timed in this many fresh processes. One load per engine is a single sample
# of a figure that varies between processes far more than the query rates do (a first load in a
# process has run at half the speed of the next on the same machine), so every engine's row
# shows its best load, and its best durable commit after the inserts that follow.
bulk_runs = 3


def best_bulk(attempts):
    """One bulk entry from several attempts: the fastest load and the quickest commit."""
    def best(key, pick):
        seen = [a[key] for a in attempts if a.get(key) is not None]
        return pick(seen) if seen else None

    out = dict(attempts[0])
    for key, pick in (("bulk_s", min), ("quick_commit_s", min), ("bulk_points_per_s", max)):
        if key in out:
            out[key] = best(key, pick)
    out["bulk_attempts"] = len(attempts)
    out["counts_after_bulk"] = [a.get("count_after_bulk") for a in attempts]
    return out


def _check_counts(entry, n, n_deletes):
    build, serve = entry["build"], entry.get("serve", {})
    if build.get("count_after_build") not in (None, n):
        entry["run_notes"].append(f"count after inserts is {build['count_after_build']:,}, "
                                  f"not {n:,}")
    if serve.get("count_after_reopen") not in (None, n):
        entry["run_notes"].append(f"count after reopen is {serve['count_after_reopen']:,}, "
                                  f"not {n:,}")
    if serve.get("count_after_deletes") not in (None, n - n_deletes):
        entry["run_notes"].append(f"count after {n_deletes:,} deletes is "
                                  f"{serve['count_after_deletes']:,}, not {n - n_deletes:,}")
    wrong = [c for c in entry.get("bulk", {}).get("counts_after_bulk", []) if c not in (None, n)]
    if wrong:
        entry["run_notes"].append(f"count after a bulk load is {wrong[0]:,}, not {n:,}")
    if entry["persistent"] and build.get("commit_s") is None:
        entry["run_notes"].append(f"durable commit {build.get('commit_note')}; reopen "
                                  "therefore replays the whole log")


def run_dataset(ds, args, engines, workdir):
    from harness import accuracy, extra_queries, geometry, workload
    queries = extra_queries.make(ds, workload.make_queries(ds, args.queries, args.deletes))
    ds_info = {"name": ds.name, "str_field": ds.str_field, "num_field": ds.num_field}
    files = {"build": os.path.join(workdir, f"{ds.name}-build.pkl"),
             "serve": os.path.join(workdir, f"{ds.name}-serve.pkl"),
             "memory": os.path.join(workdir, f"{ds.name}-memory.pkl"),
             "deletes": queries.deletes}
    for key, payload in (("build", {"dataset": ds}),
                         ("serve", {"queries": queries, "ds_info": ds_info}),
                         ("memory", {"dataset": ds, "queries": queries})):
        with open(files[key], "wb") as f:
            pickle.dump(payload, f, protocol=pickle.HIGHEST_PROTOCOL)
    results = {}
    for name, (cls, make_server, reason) in engines.items():
        if reason is not None:
            label = cls.label if cls is not None else name
            results[name] = {"label": label, "status": "skipped", "reason": reason}
            continue
        results[name] = run_engine(name, cls, make_server, ds, files, workdir)
    for key in ("build", "serve", "memory"):
        os.remove(files[key])

    flt = queries.filters[0]
    entry = {"dataset": ds.name, "description": ds.description, "points": len(ds),
             "queries": len(queries.centres), "engines": results,
             "filter_text": f"{flt.str_field} == one value per query centre and "
                            f"{flt.num_field} >= {flt.num_min:g}"}
    print(f"== {ds.name}: checking answers", file=sys.stderr, flush=True)
    index = geometry.PointIndex(ds.lats, ds.lons)
    shapes = accuracy.reference_shapes(ds, queries, index)
    ref = _queries_of(results.get("balltree"))
    mine = _queries_of(results.get("vesko"))
    if mine:
        entry["accuracy"] = accuracy.check_vesko(ds, queries, mine, ref, shapes)
    entry["peer_differences"] = {
        name: accuracy.peer_differences(ds, queries, _queries_of(r), ref, shapes)
        for name, r in results.items() if _queries_of(r) and name != "balltree"}
    return entry


def _queries_of(result):
    if not result or result.get("status") != "ok":
        return None
    figures = result["serve"] if result.get("persistent", True) else result["build"]
    return figures.get("queries")


def main():
    args = parse_args()
    if args.child:
        phase, name, payload, address, result, workdir = args.child
        phases.child_main(phase, name, payload, address, result, workdir)
        return
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    from harness import report, workload

    started = time.time()
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    names = [n.strip() for n in args.engines.split(",") if n.strip()]
    engines = prepare_engines(names, allow_install=not args.no_install)
    workdir = args.workdir or tempfile.mkdtemp(prefix="vesko-bench-")
    run = {"machine": report.describe_machine(when), "datasets": [],
           "settings": {"points": args.points, "queries": args.queries,
                        "deletes": args.deletes, "tiny": args.tiny}}
    try:
        for which in args.datasets.split(","):
            if which == "clustered":
                ds = workload.make_clustered(args.points)
            else:
                ds = workload.load_places_dataset(limit=args.places_limit)
            deletes = args.deletes if which == "clustered" else min(args.deletes, len(ds) // 10)
            run["datasets"].append(run_dataset(ds, argparse.Namespace(
                queries=args.queries, deletes=deletes), engines, workdir))
            del ds
    finally:
        if args.workdir is None:
            shutil.rmtree(workdir, ignore_errors=True)
    run["seconds"] = time.time() - started
    stem = "compare-tiny" if args.tiny else "compare"
    text, md_path, json_path = report.write(run, args.out, stem)
    print(text)
    print(f"\nwritten: {md_path}, {json_path} ({run['seconds']:.0f} s)")


if __name__ == "__main__":
    main()
