#!/usr/bin/env python3
"""Damaged files and a full disk, checked against an in-memory model.

Three sweeps over a store built from a seeded mix of calls (a snapshot, then a log on top):

cut    the log cut at every byte of its last records: the store must open with exactly the
       complete records applied.
flip   random bytes changed in each file (snapshot.bin, wal.bin and every data file; a changed
       snapshot.crc must open exactly as before): the open
       either refuses with OSError, leaving every file byte-identical (and with errno EIO once
       the module can salvage), or opens a store that agrees with itself, differs from the
       model on no more points than one damaged byte can reach, and can still be written,
       persisted and reopened.
full   the store on a small tmpfs (a stand-in when mounting is not possible is said so): filling
       it must raise OSError (ENOSPC) from a call, never kill the process, and a reopen shows
       every acknowledged point.

Every open runs in a worker process, so that a crash is seen as the signal that ended it.

    python tests/torture/damage_sweep.py --size 1000 --seed 1

prints its figures and exits non-zero on the first failure of each sweep.
"""

import argparse
import ast
import collections
import errno
import gc
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle as model  # noqa: E402

FILES = ("snapshot.bin", "snapshot.crc", "wal.bin", "wal.crc", "coords.bin", "offsets.bin",
         "ids.bin", "meta_offsets.bin", "meta.bin")
SLOT_FILES = ("coords.bin", "offsets.bin", "meta_offsets.bin")

# How many points one damaged byte can reach in a store that still opens, by file: a data file
# loses or garbles one record or slot (the point shows another's id, or none: two ids off); a
# log record stays decodable with another id (that point and the one named instead, and what a
# later record of either does); a snapshot bitmap changes one byte of an array value or of a
# bitset (eight ids). Each finding of observe() (count against listing, an id that its own
# filter does not find) counts as one more point.
FLIP_REACH = {"snapshot.bin": 8, "wal.bin": 4, "wal.crc": 4}
# snapshot.crc only spares the open a check: damaged, it costs that check and never a point.
FLIP_REACH["snapshot.crc"] = None
FLIP_REACH_DATA_FILE = 2


def digests(path):
    out = {}
    for name in sorted(os.listdir(path)):
        with open(os.path.join(path, name), "rb") as f:
            out[name] = hashlib.sha256(f.read()).hexdigest()
    return out


# ---------------------------------------------------------------------------------------------
# Worker: opens one store per job, in its own process.


def worker_main():
    import vesko

    for line in sys.stdin:
        job = json.loads(line)
        print(json.dumps(run_job(vesko, job)), flush=True)


def run_job(vesko, job):
    path = job["dir"]
    hint = {e: [tuple(c) for c in cs] for e, cs in job["hint"].items()}
    before = digests(path)
    result = {}
    try:
        store = vesko.Vesko(path)
    except OSError as e:
        result["refused"] = {"type": type(e).__name__, "errno": e.errno, "message": str(e)}
        result["unchanged"] = digests(path) == before
        return result
    except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
        result["raised"] = f"{type(e).__name__}: {e}"
        return result
    try:
        state, answers, problems = model.observe(store, hint)
        result["state"] = {e: list(v) for e, v in state.items()}
        result["answers"] = {f: sorted(v) for f, v in answers.items()}
        result["problems"] = problems
        if job.get("write"):
            # The store keeps working: a write, a persist and a reopen.
            store.add("written-after-open", 1.5, 2.5, '{"c": "x"}')
            store.persist()
            close(store)
            store = vesko.Vesko(path)
            if not store.exists('{"_id": "written-after-open"}'):
                result["problems"].append("a point added and persisted after the open is gone")
    except BaseException as e:  # noqa: B902
        result["raised"] = f"{type(e).__name__}: {e}"
    finally:
        close(store)
    return result


def close(store):
    if hasattr(store, "close"):
        store.close()
    del store
    gc.collect()


class Worker:
    """A worker process that outlives jobs until one kills it."""

    def __init__(self):
        self.proc = None

    def run(self, job):
        if self.proc is None:
            self.proc = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--worker"], stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.proc.stdin.write(json.dumps(job) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if line:
            return json.loads(line)
        self.proc.stdin.close()
        err = self.proc.stderr.read()
        code = self.proc.wait(timeout=60)
        self.proc = None
        what = f"signal {signal.Signals(-code).name}" if code < 0 else f"exit status {code}"
        return {"died": what, "stderr": err[-2000:]}

    def stop(self):
        if self.proc is not None:
            self.proc.stdin.close()
            self.proc.wait(timeout=60)
            self.proc = None


# ---------------------------------------------------------------------------------------------
# Building the store under test.


def open_store(path):
    import vesko

    return vesko.Vesko(str(path))


def build(path, rng, n_before, n_after, sync=False):
    """A store from seeded calls: n_before calls, a persist, then n_after logged calls (add and
    delete only, one log record each), then a sync() when asked. Returns the model after the
    persist, and for each logged call the log's length and the model after it."""
    store = open_store(path)
    oracle = model.Oracle()
    space = max(20, n_before // 2)

    def one_call(with_filters):
        r = rng.random() if with_filters else rng.random() * 0.95
        ext_id = f"p{rng.randrange(space)}"
        if r < 0.65:
            lat, lon = model.random_coords(rng)
            meta, skip = model.random_meta(rng), model.random_skip(rng)
            store.add(ext_id, lat, lon, json.dumps(meta), skip)
            oracle.apply(["add", ext_id, lat, lon, meta, skip])
        elif r < 0.95:
            store.delete(ext_id)
            oracle.apply(["delete", ext_id])
        else:
            f = rng.choice(model.DELETE_FILTERS)
            count = store.delete_by_filter(f)
            assert count == oracle.apply(["delete_by_filter", f]), f

    for _ in range(n_before):
        one_call(True)
    store.persist()
    base = oracle.copy()
    log = []  # (wal length after the call, model after it)
    for _ in range(n_after):
        one_call(False)
        log.append((os.path.getsize(path / "wal.bin"), oracle.copy()))
    if sync:
        store.sync()
    close(store)
    return base, log


def fresh_copy(source, target):
    if target.exists():
        shutil.rmtree(target)
    shutil.copytree(source, target)


def _named_ids(finding):
    """The ids a finding quotes (as Python literals)."""
    return [ast.literal_eval(m.group(0))
            for m in re.finditer(r"'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\"", finding)]


def _follows_from(finding, diff, missing):
    if not finding.startswith(("items ", "the world box ")):
        return False
    named = _named_ids(finding)
    if not named:
        return False
    if finding.endswith(" twice") and missing:
        return True
    return all(e in diff for e in named)


def judge(result, expected, reach):
    """None when the result is acceptable, else why not. With reach None the store must open
    and match the model exactly, filter answers included; else it may refuse (leaving every
    file as it was) or differ on at most `reach` points."""
    if "died" in result:
        return f"the open killed the worker ({result['died']}): {result['stderr'][-300:]}"
    if "raised" in result:
        return f"raised {result['raised']}"
    if "refused" in result:
        if reach is None:
            return f"refused an open that must succeed: {result['refused']}"
        if not result["unchanged"]:
            return f"a refused open changed files: {result['refused']}"
        return None
    seen = {e: tuple(v) for e, v in result["state"].items()}
    diff = model.differences(expected.state(), seen)
    if reach is None:
        if result["problems"]:
            return "the store contradicts itself: " + "; ".join(result["problems"][:3])
        if diff:
            return f"differs from the model on {len(diff)} points, e.g. {sorted(diff)[:5]}"
        answers = {f: set(v) for f, v in result["answers"].items()}
        if answers != expected.filter_answers():
            return "filter answers differ from the model"
        return None
    # A damaged point is counted once, as a point off the model, and not again for what its
    # damage makes the store's answers say about it: a finding that names only points off the
    # model, or that names an id listed twice while another id is missing (a garbled id record
    # that now reads as another point's id).
    missing = set(expected.state()) - set(seen)
    findings = [p for p in result["problems"] if not _follows_from(p, diff, missing)]
    off = len(diff) + len(findings)
    if off > reach:
        return (f"differs from the model on {len(diff)} points, with {len(findings)} "
                f"findings ({'; '.join(findings[:2])}): more than one byte reaches")
    return None


# ---------------------------------------------------------------------------------------------
# The sweeps.


def sweep_cut(work, rng, worker, records, figures):
    source = work / "cut-source"
    base, log = build(source, rng, 60, max(records + 2, 8))
    wal = (source / "wal.bin").read_bytes()
    ends = [0] + [length for length, _ in log]
    states = [base] + [o for _, o in log]
    first = ends[max(0, len(ends) - 1 - records)]
    failures = 0
    hint = model.coords_hint(base, *states)
    for cut in range(first, len(wal)):
        complete = max(i for i, end in enumerate(ends) if end <= cut)
        target = work / "cut"
        fresh_copy(source, target)
        with open(target / "wal.bin", "r+b") as f:
            f.truncate(cut)
        result = worker.run({"dir": str(target), "hint": hint, "write": True})
        why = judge(result, states[complete], None)
        figures["cut opens"] += 1
        if why is not None:
            failures += 1
            print(f"FAILED cut at byte {cut} of {len(wal)}: {why}", file=sys.stderr)
            break
    print(f"cut: {figures['cut opens']} cuts over the last {records} log records"
          f" ({len(wal) - first} bytes): {'failed' if failures else 'all opened exactly'}")
    return failures


def flip_position(rng, name, size, used):
    """Mostly inside the bytes that hold something (live slots, used records); sometimes
    anywhere in the file."""
    if used > 0 and rng.random() < 0.85:
        return rng.randrange(used)
    return rng.randrange(size)


def sweep_flip(work, rng, worker, per_file, figures, strict_refusal, files, keep_going):
    source = work / "flip-source"
    # Synced: a changed byte of the log is damage only where wal.crc says the bytes had been
    # forced to disk; past that it cannot be told from a torn write, which opening cuts.
    base, log = build(source, rng, 150, 40, sync=True)
    expected = log[-1][1]
    hint = model.coords_hint(base, expected)
    slots = max(1, len(expected.points) + 200)  # generous: deleted points hold slots too
    target = work / "flip"
    fresh_copy(source, target)
    why = judge(worker.run({"dir": str(target), "hint": hint, "write": True}), expected, None)
    if why is not None:
        print(f"FAILED the undamaged store: {why}", file=sys.stderr)
        return 1
    failures = 0
    for name in files:
        data = (source / name).read_bytes()
        used = min(len(data), 8 * slots) if name in SLOT_FILES else len(data)
        outcomes = collections.Counter()
        for trial in range(per_file):
            at = flip_position(rng, name, len(data), used)
            mask = rng.randrange(1, 256)
            target = work / "flip"
            fresh_copy(source, target)
            with open(target / name, "r+b") as f:
                f.seek(at)
                f.write(bytes([data[at] ^ mask]))
            result = worker.run({"dir": str(target), "hint": hint, "write": True})
            why = judge(result, expected, FLIP_REACH.get(name, FLIP_REACH_DATA_FILE))
            if why is None and "refused" in result and strict_refusal:
                if name in ("snapshot.bin", "wal.bin", "wal.crc") and \
                        result["refused"]["errno"] != errno.EIO:
                    why = f"refused with errno {result['refused']['errno']}, not EIO"
            if why is not None:
                failures += 1
                outcomes["FAILED"] += 1
                if outcomes["FAILED"] <= 3:
                    print(f"FAILED flip of byte {at} (mask {mask:#04x}) in {name}: {why}",
                          file=sys.stderr)
                if not keep_going:
                    break
                continue
            if "refused" in result:
                outcomes[f"refused ({errno.errorcode.get(result['refused']['errno'], '?')})"] += 1
            else:
                seen = {e: tuple(v) for e, v in result["state"].items()}
                n = len(model.differences(expected.state(), seen))
                outcomes["opened, exact" if n == 0 else "opened, points differ"] += 1
        figures[f"flips {name}"] = sum(outcomes.values())
        print(f"flip {name:17} {sum(outcomes.values()):6} flips: " +
              ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items())))
    return failures


# Opens the store, adds `prefill` points, fills the file system with a filler file and frees
# `spare` bytes of it again, then adds (persisting now and then) until a call fails. Every
# acknowledged add is printed; the failure's errno ends the output.
FULL_CHILD = r"""
import json, os, sys, vesko
path, filler, prefill, spare = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
try:
    db = vesko.Vesko(path)
    for n in range(prefill):
        db.add("pre-%d" % n, (n % 170) - 85.0, (n % 350) - 175.0, "{}")
        print("ok", "pre-%d" % n)
except OSError as e:
    print("open-refused", e.errno, flush=True)
    sys.exit(0)
fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
try:
    while True:
        os.write(fd, bytes(4096))
except OSError:
    pass
os.close(fd)
os.truncate(filler, max(0, os.path.getsize(filler) - spare))
print("filled", flush=True)
n = 0
while True:
    ext_id = "full-%d" % n
    try:
        if n % 300 == 299:
            db.persist()
        db.add(ext_id, (n % 170) - 85.0, (n % 350) - 175.0, json.dumps({"n": n, "pad": "x" * 40}))
    except OSError as e:
        print("error", e.errno, ext_id, flush=True)
        break
    print("ok", ext_id, flush=True)
    n += 1
"""


def mount_small_fs(mountpoint, megabytes):
    mountpoint.mkdir(parents=True, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={megabytes}m", "tmpfs",
                           str(mountpoint)], capture_output=True, text=True)
    return done.returncode == 0, done.stderr.strip()


def sweep_full(work, rng, trials, megabytes, figures):
    """Fills a small tmpfs at varied moments: after varied numbers of points (so that the next
    slot is at varied places in its page), with varied space left."""
    mountpoint = work / "full"
    mounted, why = mount_small_fs(mountpoint, megabytes)
    if not mounted:
        print(f"full: cannot mount a tmpfs here ({why}); the full-disk sweep is skipped")
        return 0
    outcomes = collections.Counter()
    failures = 0
    try:
        for trial in range(trials):
            store = mountpoint / "store"
            shutil.rmtree(store, ignore_errors=True)
            prefill = rng.randrange(0, 2000)
            spare = rng.randrange(0, 24) * 4096
            outcome, why = fill_once(store, mountpoint / "filler", prefill, spare)
            (mountpoint / "filler").unlink(missing_ok=True)
            outcomes[outcome] += 1
            if why is not None:
                print(f"FAILED full tmpfs, trial {trial} (prefill {prefill}, spare {spare}): {why}",
                      file=sys.stderr)
                failures += 1
                break
    finally:
        subprocess.run(["umount", str(mountpoint)], check=False)
    figures["full trials"] = sum(outcomes.values())
    print(f"full {megabytes} MB tmpfs: {sum(outcomes.values())} fills: " +
          ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items())))
    return failures


def fill_once(path, filler, prefill, spare):
    """(outcome, None) or (outcome, why it failed)."""
    child = subprocess.run([sys.executable, "-c", FULL_CHILD, str(path), str(filler),
                            str(prefill), str(spare)], capture_output=True, text=True, timeout=600)
    lines = child.stdout.splitlines()
    if child.returncode != 0:
        name = (signal.Signals(-child.returncode).name if child.returncode < 0
                else f"status {child.returncode}")
        return "died", f"the writer died ({name}) after {len(lines)} lines: {child.stderr[-300:]}"
    if lines and lines[0].startswith("open-refused"):
        code = int(lines[0].split()[1])
        return "open refused", None if code == errno.ENOSPC else f"open refused with {code}"
    acked = [line.split()[1] for line in lines if line.startswith("ok ")]
    last = lines[-1].split() if lines else []
    if not last or last[0] != "error":
        return "no error", f"the writer stopped without an error: {lines[-3:]}"
    code = int(last[1])
    outcome = f"{errno.errorcode.get(code, code)} from a call"
    if code != errno.ENOSPC:
        return outcome, f"the failing call gave {errno.errorcode.get(code, code)}, not ENOSPC"
    worker = Worker()
    result = worker.run({"dir": str(path), "hint": {}, "write": False})
    worker.stop()
    if "died" in result or "raised" in result or "refused" in result:
        detail = result.get("died") or result.get("raised") or result.get("refused")
        return outcome, f"the store did not reopen: {detail}"
    seen = set(result["state"])
    missing = [e for e in acked if e not in seen]
    extra = seen - set(acked) - {last[2]}
    if missing or extra:
        return outcome, f"reopened without {missing[:5]} and with {sorted(extra)[:5]}"
    return outcome, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=100, help="flips per file")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--records", type=int, default=3,
                        help="log records at the end whose every byte is cut")
    parser.add_argument("--sweeps", default="cut,flip,full")
    parser.add_argument("--files", default=",".join(FILES), help="files the flip sweep damages")
    parser.add_argument("--full-mb", type=int, default=4, help="tmpfs size for the full sweep")
    parser.add_argument("--fills", type=int, default=None,
                        help="fills of the small file system (default: size / 10, at least 3)")
    parser.add_argument("--strict-refusal", choices=("auto", "yes", "no"), default="auto",
                        help="require errno EIO for a refused snapshot or log (auto: when the "
                             "module has salvage)")
    parser.add_argument("--keep-going", action="store_true",
                        help="count every failing flip instead of stopping at a file's first")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker_main()
        return 0
    import vesko

    strict = args.strict_refusal == "yes" or (args.strict_refusal == "auto" and
                                              hasattr(vesko, "salvage"))
    sweeps = args.sweeps.split(",")
    rng = random.Random(args.seed)
    figures = collections.Counter()
    failures = 0
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="damage_sweep") as tmp:
        work = Path(tmp)
        worker = Worker()
        try:
            if "cut" in sweeps:
                failures += sweep_cut(work, rng, worker, args.records, figures)
            if "flip" in sweeps:
                failures += sweep_flip(work, rng, worker, args.size, figures, strict,
                                       args.files.split(","), args.keep_going)
        finally:
            worker.stop()
        if "full" in sweeps:
            fills = args.fills if args.fills is not None else max(3, args.size // 10)
            failures += sweep_full(work, rng, fills, args.full_mb, figures)
    print(f"elapsed: {time.monotonic() - start:.1f} s")
    print("result: " + ("FAILED" if failures else "every damaged store was refused or sound"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
