"""The comparison as a Markdown table per data set (engines as columns, the ratio of vesko to
the fastest peer as the last column) and as JSON with every figure.
"""

import json
import os
import platform

from harness import accuracy, extra_queries
from harness.phases import query_kinds

# (key, label, which way is better); None: informative only, no ratio
base_rows = [
    ("inserts_per_s", "inserts/s, single-insert path", "higher"),
    ("commit_s", "durable commit, s", "lower"),
    ("reopen_s", "reopen to first count, s", "lower"),
    ("disk_mb", "bytes on disk, MB", "lower"),
    ("memory_mb", "resident memory, MB", "lower"),
]
tail_rows = [
    ("deletes_per_s", "deletes/s", "higher"),
    ("bulk_points_per_s", "points/s, bulk path", "higher"),
    ("quick_commit_ms", "durable commit after 10,000 more inserts, ms", "lower"),
]


def rows():
    out = list(base_rows)
    for kind, label in query_kinds:
        out += [(f"{kind}.p50_ms", f"{label}: p50, ms", "lower"),
                (f"{kind}.p99_ms", f"{label}: p99, ms", "lower"),
                (f"{kind}.qps", f"{label}: queries/s", "higher"),
                (f"{kind}.mean_hits", f"{label}: mean hits", None)]
    return out + extra_queries.report_rows() + tail_rows


def value(result, key):
    """(number or None, text shown when there is no number)."""
    if result["status"] != "ok":
        return None, result["status"]
    build, serve = result.get("build", {}), result.get("serve", {})
    persistent = result.get("persistent", True)
    if key == "inserts_per_s":
        if not persistent:
            return None, f"n/a (bulk build {fmt(build.get('insert_s'))} s)"
        return build.get("inserts_per_s"), "—"
    if key == "commit_s":
        if not persistent:
            return None, "n/a"
        return build.get("commit_s"), "not available"
    if key == "reopen_s":
        return (serve.get("reopen_s"), "—") if persistent else (None, "n/a")
    if key == "disk_mb":
        b = build.get("disk_bytes")
        return (b / 1e6 if b is not None else None), "n/a"
    if key == "memory_mb":
        figures = serve if persistent else build
        client = figures.get("client_memory_bytes") or 0
        server = figures.get("server_memory_bytes") or 0
        return (client + server) / 1e6, "—"
    if key == "bulk_points_per_s":
        bulk = result.get("bulk", {})
        return bulk.get("bulk_points_per_s"), bulk.get("bulk_note") or "—"
    if key == "quick_commit_ms":
        if not persistent:
            return None, "n/a"
        bulk = result.get("bulk", {})
        seconds = bulk.get("quick_commit_s")
        return (seconds * 1e3 if seconds is not None else None,
                bulk.get("quick_commit_note") or "—")
    if key == "deletes_per_s":
        if not persistent:
            return None, "n/a"
        return serve.get("deletes_per_s"), "not available"
    if key.startswith(("extra.", "threads.", "batch.")):
        return extra_queries.value(serve if persistent else build, key)
    kind, field = key.split(".")
    queries = (serve if persistent else build).get("queries", {})
    q = queries.get(kind)
    if q is None:
        return None, "—"
    if not q["available"]:
        return None, "not available"
    return q[field], "—"


def fmt(v):
    if v is None:
        return "—"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    if abs(v) >= 1:
        return f"{v:.2f}"
    return f"{v:.3g}"


def ratio_cell(results, key, better):
    if better is None:
        return ""
    mine, why = value(results["vesko"], key) if "vesko" in results else (None, "skipped")
    peers = [value(r, key)[0] for name, r in results.items() if name != "vesko"]
    peers = [p for p in peers if p is not None]
    if mine is None:
        return why
    if not peers:
        return "no peer"
    best = max(peers) if better == "higher" else min(peers)
    if best == 0:
        return "—"
    return f"{mine / best:.2f}×"


def table(results):
    names = list(results)
    head = "| figure | " + " | ".join(results[n]["label"] for n in names) + " | vesko ÷ best peer |"
    lines = [head, "|---|" + "---:|" * (len(names) + 1)]
    for key, label, better in rows():
        hint = {"higher": " ↑", "lower": " ↓", None: ""}[better]
        cells = []
        for n in names:
            v, why = value(results[n], key)
            cells.append(fmt(v) if v is not None else why)
        lines.append(f"| {label}{hint} | " + " | ".join(cells) + f" | "
                     f"{ratio_cell(results, key, better)} |")
    return "\n".join(lines)


def accuracy_section(check, n_queries):
    if not check:
        return ["vesko's answers were not checked: vesko or the BallTree reference did not "
                "answer any query kind in this run."]
    lines = ["| query | same answer | points missing | points extra | explained by | "
             "max distance difference |", "|---|---:|---:|---:|---|---:|"]
    labels = dict(query_kinds)
    for kind, _ in query_kinds:
        rep = check.get(kind)
        if rep is None:
            lines.append(f"| {labels[kind]} | not available | | | | |")
            continue
        why = ", ".join(f"{reason} ({n})" for reason, n in sorted(rep["reasons"].items())) or "—"
        dist = ""
        if "max_dist_abs_err_m" in rep:
            dist = f"{rep['max_dist_abs_err_m'] * 1000:.2f} mm ({rep['max_dist_rel_err']:.1e})"
        same = f"{rep['agree']} of {rep['queries']}"
        if rep.get("same_set_other_order"):
            same += f" ({rep['same_set_other_order']} more in another order)"
        lines.append(f"| {labels[kind]} | {same} | {rep['missing']} | {rep['extra']} | {why} "
                     f"| {dist} |")
    used = sorted({r for rep in check.values() for r in rep["reasons"]})
    lines.append("")
    for reason in used:
        lines.append(f"- **{reason}**: {accuracy.reasons[reason]}.")
    return lines


def peer_section(diffs, results):
    names = [n for n in results if n in diffs]
    if not names:
        return []
    lines = ["Queries answered differently from the exact reference (BallTree for radius and "
             "nearest neighbours, an exact scan for box and polygon):", "",
             "| query | " + " | ".join(results[n]["label"] for n in names) + " |",
             "|---|" + "---:|" * len(names)]
    for kind, label in query_kinds:
        lines.append(f"| {label} | " + " | ".join(str(diffs[n].get(kind, "—")) for n in names)
                     + " |")
    lines.append("")
    for n in names:
        if results[n].get("differences") and any(diffs[n].values()):
            lines.append(f"- {results[n]['label']}: {results[n]['differences']}.")
    return lines


def markdown(run):
    out = ["# vesko against its peers", "", machine_line(run["machine"]), ""]
    for ds in run["datasets"]:
        results = ds["engines"]
        out += [f"## {ds['description']}, {ds['queries']:,} query centres", "",
                table(results), "",
                "↑ higher is better, ↓ lower is better; the last column is vesko's figure "
                "divided by the best peer's, so above 1 on an ↑ row and below 1 on a ↓ row "
                "vesko is ahead. Resident memory is the serving process's growth from reopen "
                "through the queries, plus the server's own (RSS for Redis, PSS summed over "
                "PostgreSQL's processes). The bulk path and the durable commit after it are "
                "the best of three fresh processes, each loading a fresh store. The filter is "
                f"{ds['filter_text']}.", ""]
        notes = []
        for name, r in results.items():
            if r["status"] != "ok":
                notes.append(f"- **{r['label']}**: {r['status']}: {r['reason']}")
            else:
                extra = "; ".join(r.get("notes", []) + r.get("run_notes", []))
                notes.append(f"- **{r['label']}** ({r.get('version', '')}): distances: "
                             f"{r['distance_model']}" + (f"; {extra}" if extra else ""))
        out += ["Engines:", ""] + notes + [""]
        out += ["### Does vesko answer what it should?", ""]
        out += accuracy_section(ds.get("accuracy"), ds["queries"]) + [""]
        out += peer_section(ds.get("peer_differences", {}), results) + [""]
    return "\n".join(out)


def machine_line(m):
    return (f"One run on one machine: {m['cpu']}, {m['cores']} cores, {m['memory_gb']:.0f} GB; "
            f"{m['os']}; Python {m['python']}; {m['when']}.")


def describe_machine(when):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory_gb = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    os_name = platform.platform()
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip().split("=", 1) for line in f if "=" in line)
            os_name = fields.get("PRETTY_NAME", os_name).strip('"')
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_gb": memory_gb, "os": os_name,
            "python": platform.python_version(), "when": when}


def strip_arrays(run):
    """The run without the per-query id and distance arrays, for JSON."""
    def clean(obj):
        if isinstance(obj, dict):
            return {k: clean(v) for k, v in obj.items() if k not in ("ids", "dists")}
        if isinstance(obj, list):
            return [clean(v) for v in obj]
        if hasattr(obj, "item"):
            return obj.item()
        return obj
    return clean(run)


def write(run, out_dir, stem):
    os.makedirs(out_dir, exist_ok=True)
    md_path = os.path.join(out_dir, stem + ".md")
    json_path = os.path.join(out_dir, stem + ".json")
    text = markdown(run)
    with open(md_path, "w") as f:
        f.write(text + "\n")
    with open(json_path, "w") as f:
        json.dump(strip_arrays(run), f, indent=2)
    return text, md_path, json_path
