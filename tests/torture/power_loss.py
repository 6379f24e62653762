#!/usr/bin/env python3
"""Power loss: crash images of a store made from what its files held when each was last forced
to disk, checked against the in-memory model.

A writer makes a seeded stream of calls (add, upsert, delete, delete_by_filter, add_many,
delete_many, sync, persist). After each returned sync() the bytes of wal.bin and wal.crc count
as on disk, after each returned persist() those of every file. At chosen moments, with the store
still open, a crash image is made: for each file, what was written since it was last on disk is
lost, zero-filled, written only in its first pages (the later ones as they were on disk) or
written whole, chosen per file. Each image is opened and read back through the public API: it must show
every change made before the last returned sync() or persist(), and a prefix of the log records
written since (each record one point added, replaced or deleted, in the order written), nothing
else; it must then accept a persist().

    python tests/torture/power_loss.py --images 1000 --seed 1

prints its figures and exits non-zero when any image broke the rule, naming its seed and image.
"""

import argparse
import json
import os
import random
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracle as model  # noqa: E402

PAGE = 4096
CALLS = [("add", 30), ("upsert", 14), ("delete", 8), ("delete_by_filter", 2), ("add_many", 4),
         ("delete_many", 3), ("sync", 8), ("persist", 2)]


def read_files(path):
    return {name: (Path(path) / name).read_bytes() for name in os.listdir(path)
            if (Path(path) / name).is_file()}


def unsynced_image(rng, synced, current):
    """One file after a power loss: `synced` was on disk, `current` is what was written since.
    Bytes written since are lost, zero-filled, written only in the first pages (the later ones
    keep what was on disk), or written whole; bytes that were on disk stay."""
    if synced == current:
        return current
    fate = rng.choice(["lost", "zeros", "pages", "whole"])
    if fate == "lost" or (fate != "whole" and len(current) < len(synced)):
        return synced
    if fate == "whole":
        return current
    old = synced.ljust(len(current), b"\0")
    if fate == "zeros":
        out = bytearray(old)
        for start in range(0, len(current), PAGE):
            new, was = current[start:start + PAGE], old[start:start + PAGE]
            if new != was:
                out[start:start + len(new)] = bytes(n if n == w else 0 for n, w in zip(new, was))
        return bytes(out)
    first = rng.randrange(len(current) // PAGE + 1) * PAGE
    return current[:first] + old[first:]


def crash_image(rng, synced_files, current_files, target):
    os.makedirs(target)
    for name, current in current_files.items():
        synced = synced_files.get(name)
        data = current if synced is None else unsynced_image(rng, synced, current)
        (Path(target) / name).write_bytes(data)


def make_op(rng, id_space):
    kind = rng.choices([c for c, _ in CALLS], [w for _, w in CALLS])[0]

    def some_id():
        return f"p{rng.randrange(id_space)}"

    if kind in ("add", "upsert"):
        lat, lon = model.random_coords(rng)
        return [kind, some_id(), lat, lon, model.random_meta(rng), model.random_skip(rng)]
    if kind == "delete":
        return [kind, some_id()]
    if kind == "delete_by_filter":
        return [kind, rng.choice(model.DELETE_FILTERS)]
    if kind == "add_many":
        n = rng.randrange(1, 60)
        coords = [model.random_coords(rng) for _ in range(n)]
        return [kind, [some_id() for _ in range(n)], [c[0] for c in coords],
                [c[1] for c in coords], [model.random_meta(rng) for _ in range(n)],
                model.random_skip(rng)]
    if kind == "delete_many":
        return [kind, [some_id() for _ in range(rng.randrange(1, 30))]]
    return [kind]


def record_events(store, oracle, op):
    """The log records `op` writes, as (ext_id, point key or None) in the order written, with
    the records that change nothing left out; applies `op` to the oracle."""
    kind, args = op[0], op[1:]
    if kind == "delete_by_filter":
        # Its records follow the internal ids of the matches, the box's order too.
        ids = [e for e, _ in store.search_box(*model.WORLD, args[0])]
    elif kind == "delete_many":
        ids = list(dict.fromkeys(args[0]))
    elif kind == "delete":
        ids = [args[0]]
    else:
        ids = []
    events = []
    if kind in ("add", "upsert"):
        before = args[0] in oracle.points
        oracle.apply(op)
        if kind == "upsert" or not before:
            events.append((args[0], oracle.points[args[0]].key()))
        return events
    if kind == "add_many":
        for ext_id, lat, lon, meta in zip(*args[:4]):
            if ext_id not in oracle.points:
                oracle.apply(["add", ext_id, lat, lon, meta, args[4]])
                events.append((ext_id, oracle.points[ext_id].key()))
        return events
    for ext_id in ids:
        if ext_id in oracle.points:
            del oracle.points[ext_id]
            events.append((ext_id, None))
    return events


def judge(synced_state, events, seen):
    """'ok' when `seen` is the synced state with a prefix of `events` applied; otherwise what
    is wrong: 'invented', 'synced-lost' or 'not-a-prefix'."""
    state = dict(synced_state)
    wrong = {e for e in set(state) | set(seen) if state.get(e) != seen.get(e)}
    if not wrong:
        return "ok"
    for ext_id, value in events:
        if value is None:
            state.pop(ext_id, None)
        else:
            state[ext_id] = value
        if state.get(ext_id) == seen.get(ext_id):
            wrong.discard(ext_id)
        else:
            wrong.add(ext_id)
        if not wrong:
            return "ok"
    history = {}
    for ext_id, value in [(e, v) for e, v in synced_state.items()] + events:
        history.setdefault(ext_id, set()).add(value)
    for ext_id, value in seen.items():
        if value not in history.get(ext_id, set()):
            return "invented"
    touched = {e for e, _ in events}
    for ext_id, value in synced_state.items():
        if ext_id not in touched and seen.get(ext_id) != value:
            return "synced-lost"
    return "not-a-prefix"


def observe_image(path, hint):
    import vesko

    store = vesko.Vesko(str(path))
    try:
        state, _answers, problems = model.observe(store, hint)
        seen = {e: (lat, lon, meta) for e, (lat, lon, meta) in state.items()}
        store.persist()
        return seen, problems
    finally:
        store.close()


def run_store(rng, work, images, ops_per_store, id_space, figures, verbose):
    import vesko

    path = Path(work) / "store"
    shutil.rmtree(path, ignore_errors=True)
    store = vesko.Vesko(str(path))
    oracle = model.Oracle()
    synced_files = read_files(path)
    synced_state, events = oracle.state(), []
    hint_oracles = [oracle.copy()]
    made = 0
    try:
        for step in range(ops_per_store):
            op = make_op(rng, id_space)
            new_events = record_events(store, oracle, op)
            model.call(store, op)
            hint_oracles.append(oracle.copy())
            if op[0] == "sync":
                synced_state, events = oracle.state(), []
                for name, data in read_files(path).items():
                    if name.startswith("wal."):
                        synced_files[name] = data
            elif op[0] == "persist":
                synced_state, events = oracle.state(), []
                synced_files = read_files(path)
            else:
                events += new_events
            if made < images and rng.random() < images / ops_per_store:
                made += 1
                image = Path(work) / f"image{made}"
                crash_image(rng, synced_files, read_files(path), image)
                try:
                    seen, problems = observe_image(image, model.coords_hint(*hint_oracles))
                    verdict = "problems" if problems else judge(synced_state, events, seen)
                except OSError as e:
                    verdict, problems = "refused", [str(e)]
                figures[verdict] = figures.get(verdict, 0) + 1
                if verdict != "ok":
                    figures.setdefault("first", f"step {step}: {verdict} {problems[:3]}")
                    if verbose:
                        print(f"image {made} at step {step}: {verdict} {problems[:3]}")
                shutil.rmtree(image)
    finally:
        store.close()
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--images", type=int, default=1000)
    parser.add_argument("--per-store", type=int, default=20, help="crash images per store")
    parser.add_argument("--ops", type=int, default=120, help="calls per store")
    parser.add_argument("--id-space", type=int, default=150)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    work = args.dir or tempfile.mkdtemp(prefix="vesko-power-")
    rng = random.Random(args.seed)
    figures = {}
    made = 0
    while made < args.images:
        made += run_store(rng, work, min(args.per_store, args.images - made), args.ops,
                          args.id_space, figures, args.verbose)
    if args.dir is None:
        shutil.rmtree(work, ignore_errors=True)
    bad = made - figures.get("ok", 0)
    print(f"power-loss images: {made} (seed {args.seed}), opened exactly: {figures.get('ok', 0)}, "
          f"invented: {figures.get('invented', 0)}, synced lost: "
          f"{figures.get('synced-lost', 0)}, not a prefix: {figures.get('not-a-prefix', 0)}, "
          f"refused: {figures.get('refused', 0)}, inconsistent: {figures.get('problems', 0)}")
    if bad:
        print("first:", figures["first"])
        sys.exit(1)


if __name__ == "__main__":
    main()
