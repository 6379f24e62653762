"""The in-memory model that the torture scripts hold a store to: the live points with their
coordinates as the store keeps them (f32), their metadata and skip lists, the answers of a fixed
set of filters, and a reading of the same things from a store through the public API only.

Everything here works with whichever optional methods the installed module has (get, items,
add_many, delete_many, upsert, sync): the scripts look them up with hasattr.
"""

import json
import math
import struct

WORLD = ((90.0, -180.0), (-90.0, 180.0))

# Filters whose answers are compared after every reopen. Together they reach string equality,
# booleans, numeric ranges, $in, $or, $and, $not and the external id.
FILTERS = [
    '{"c": "x"}',
    '{"c": {"$in": ["y", "z"]}}',
    '{"n": {"$gte": 50}}',
    '{"n": {"$lt": 10}}',
    '{"flag": true}',
    '{"$or": [{"c": "z"}, {"n": 7}]}',
    '{"$not": {"c": "x"}}',
    '{"$and": [{"flag": false}, {"n": {"$gte": 20}}]}',
]

# Filters for delete_by_filter: each removes a few percent of the points.
DELETE_FILTERS = [
    '{"n": {"$gte": 97}}',
    '{"c": "w", "n": {"$lt": 12}}',
    '{"$and": [{"flag": true}, {"n": 3}]}',
    '{"c": {"$in": ["q"]}}',
]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Point:
    __slots__ = ("lat", "lon", "meta", "skip")

    def __init__(self, lat, lon, meta, skip):
        self.lat, self.lon, self.meta, self.skip = f32(lat), f32(lon), meta, frozenset(skip or ())

    def key(self):
        return (self.lat, self.lon, json.dumps(self.meta, sort_keys=True))


def random_meta(rng):
    meta = {"c": rng.choice("xyzwq"), "n": rng.randrange(100), "flag": rng.random() < 0.5}
    if rng.random() < 0.3:
        meta["note"] = rng.choice(["é", "✓ ok", "a\"b", "", "long " * rng.randrange(1, 40)])
    if rng.random() < 0.1:
        meta["nested"] = {"k": [1, 2.5, None, True]}
    return meta


def random_skip(rng):
    r = rng.random()
    if r < 0.85:
        return None
    return rng.choice([[], ["c"], ["n", "flag"], ["absent"]])


def random_coords(rng):
    return rng.uniform(-89.0, 89.0), rng.uniform(-179.9, 179.9)


def random_op(rng, kind, some_id):
    """A call of `kind` with random arguments, as the list the torture scripts announce;
    `some_id()` picks an id."""
    if kind in ("add", "upsert"):
        lat, lon = random_coords(rng)
        return [kind, some_id(), lat, lon, random_meta(rng), random_skip(rng)]
    if kind == "delete":
        return [kind, some_id()]
    if kind == "delete_by_filter":
        return [kind, rng.choice(DELETE_FILTERS)]
    if kind == "add_many":
        n = rng.randrange(1, 40)
        coords = [random_coords(rng) for _ in range(n)]
        return [kind, [some_id() for _ in range(n)], [c[0] for c in coords],
                [c[1] for c in coords], [random_meta(rng) for _ in range(n)], random_skip(rng)]
    if kind == "delete_many":
        return [kind, [some_id() for _ in range(rng.randrange(1, 30))]]
    return [kind]


class Oracle:
    """Live points by external id, changed exactly as the store's calls change them."""

    def __init__(self):
        self.points = {}

    def copy(self):
        other = Oracle()
        other.points = dict(self.points)
        return other

    def apply(self, op):
        """Applies one call, given as the list the torture child announces; returns the value
        the call must return (None for calls without one)."""
        kind, args = op[0], op[1:]
        if kind == "add":
            ext_id, lat, lon, meta, skip = args
            if ext_id not in self.points:
                self.points[ext_id] = Point(lat, lon, meta, skip)
            return None
        if kind == "upsert":
            ext_id, lat, lon, meta, skip = args
            replaced = ext_id in self.points
            self.points[ext_id] = Point(lat, lon, meta, skip)
            return replaced
        if kind == "delete":
            self.points.pop(args[0], None)
            return None
        if kind == "add_many":
            ids, lats, lons, metas, skip = args
            for ext_id, lat, lon, meta in zip(ids, lats, lons, metas):
                if ext_id not in self.points:
                    self.points[ext_id] = Point(lat, lon, meta, skip)
            return None
        if kind == "delete_many":
            for ext_id in args[0]:
                self.points.pop(ext_id, None)
            return None
        if kind == "delete_by_filter":
            hits = self.matching(args[0])
            for ext_id in hits:
                del self.points[ext_id]
            return len(hits)
        if kind in ("persist", "vacuum", "sync"):
            return None
        raise ValueError(f"unknown call {kind}")

    def matching(self, filter_json):
        condition = json.loads(filter_json)
        return {e for e, p in self.points.items() if _matches(e, p, condition)}

    def state(self):
        return {e: p.key() for e, p in self.points.items()}

    def filter_answers(self):
        return {f: self.matching(f) for f in FILTERS}


def call(store, op):
    """Makes the call `op` (a list as the torture scripts announce it) on the store; returns
    its result."""
    kind, args = op[0], op[1:]
    if kind in ("add", "upsert"):
        ext_id, lat, lon, meta, skip = args
        return getattr(store, kind)(ext_id, lat, lon, json.dumps(meta), skip)
    if kind == "add_many":
        ids, lats, lons, metas, skip = args
        return store.add_many(ids, lats, lons, [json.dumps(m) for m in metas], skip)
    if kind in ("delete", "delete_by_filter"):
        return getattr(store, kind)(args[0])
    if kind == "delete_many":
        return store.delete_many(args[0])
    return getattr(store, kind)()


def _field_value(point, field):
    if field in point.skip or field not in point.meta:
        return None
    return point.meta[field]


def _string_eq(value, operand):
    """String index equality: strings by text, booleans as "true"/"false"."""
    if isinstance(value, bool):
        text = "true" if value else "false"
    elif isinstance(value, str):
        text = value
    else:
        return False
    other = ("true" if operand else "false") if isinstance(operand, bool) else operand
    return text == other


def _number(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return f32(float(value))


def _condition(ext_id, point, field, condition):
    if field in ("_id", "id") and isinstance(condition, (str, bool)):
        text = condition if isinstance(condition, str) else ("true" if condition else "false")
        return ext_id == text
    value = _field_value(point, field)
    if isinstance(condition, (str, bool)):
        return _string_eq(value, condition)
    if isinstance(condition, (int, float)):
        number = _number(value)
        return number is not None and number == f32(float(condition))
    if isinstance(condition, dict):
        for operator, operand in condition.items():
            number = _number(value)
            if operator == "$in":
                if not any(_condition(ext_id, point, field, e) for e in operand):
                    return False
            elif operator == "$gte":
                if number is None or not number >= f32(float(operand)):
                    return False
            elif operator == "$lt":
                if number is None or not number < f32(float(operand)):
                    return False
            else:
                raise ValueError(f"the model has no operator {operator}")
        return True
    return False


def _matches(ext_id, point, condition):
    if "$and" in condition:
        return all(_matches(ext_id, point, c) for c in condition["$and"])
    if "$or" in condition:
        return any(_matches(ext_id, point, c) for c in condition["$or"])
    if "$not" in condition:
        return not _matches(ext_id, point, condition["$not"])
    return all(_condition(ext_id, point, field, c) for field, c in condition.items()
               if not field.startswith("$"))


def observe(store, coords_hint):
    """What a store holds, read through the public API: {ext_id: (lat, lon, metadata as
    canonical JSON)}, the answers of FILTERS, and a list of inconsistencies between the store's
    own answers (count against listing, exists against searches).

    Coordinates come from get or items when the module has them; otherwise each point is looked
    for at the positions `coords_hint` lists for its id, and its coordinates are None when it is
    at none of them. A point that its own {"_id": ...} filter does not find has that noted in
    its metadata, so that it differs from any model."""
    problems = []
    listed = {}
    items_listed = 0
    if hasattr(store, "items"):
        for ext_id, lat, lon, meta in store.items():
            items_listed += 1
            if ext_id in listed:
                problems.append(f"items lists {ext_id!r} twice")
            listed[ext_id] = (lat, lon, meta)
    box = store.search_box(*WORLD)
    box_ids = [e for e, _ in box]
    seen_in_box = set()
    for ext_id in box_ids:
        if ext_id in seen_in_box:
            problems.append(f"the world box lists {ext_id!r} twice")
        seen_in_box.add(ext_id)
    # Findings name the ids they are about (quoted), so that a judge of a damaged store can
    # tell the ones that follow from a damaged point from the ones that reach further.
    if hasattr(store, "items") and seen_in_box != set(listed):
        problems.append("items and the world box differ on "
                        + ", ".join(repr(e) for e in sorted(seen_in_box ^ set(listed))))
    count = store.count()
    if hasattr(store, "items"):
        if count != items_listed:
            problems.append(f"count() is {count} but items lists {items_listed} points")
    elif count != len(box_ids):
        problems.append(f"count() is {count} but the world box lists {len(box_ids)} points")
    state = {}
    for ext_id, meta_text in box:
        try:
            meta = json.dumps(json.loads(meta_text), sort_keys=True)
        except ValueError:
            meta = "<not JSON: %r>" % meta_text[:40]
        if hasattr(store, "get"):
            got = store.get(ext_id)
            if got is None:
                # Listed under an id that does not find it: its id record is damaged, and its
                # {"_id": ...} check below marks it as differing, as it does for the filters.
                lat = lon = None
            else:
                lat, lon = got[0], got[1]
        elif ext_id in listed:
            lat, lon = listed[ext_id][0], listed[ext_id][1]
        else:
            lat = lon = None
            for hint_lat, hint_lon in coords_hint.get(ext_id, ()):
                if not (math.isfinite(hint_lat) and math.isfinite(hint_lon)):
                    continue
                near = store.search_radius(hint_lat, hint_lon, 0.0)
                if any(e == ext_id for e, _, _ in near):
                    lat, lon = hint_lat, hint_lon
                    break
        if not store.exists(json.dumps({"_id": ext_id})):
            meta += " <not found by its _id>"
        state[ext_id] = (lat, lon, meta)
    answers = {}
    for f in FILTERS:
        hits = {e for e, _ in store.search_box(*WORLD, f)}
        answers[f] = hits
        if store.exists(f) != bool(hits):
            problems.append(f"exists({f}) disagrees with the search")
    return state, answers, problems


def differences(expected_state, seen_state):
    """The points (by id) that are missing, extra or different."""
    out = set()
    for ext_id in set(expected_state) | set(seen_state):
        if expected_state.get(ext_id) != seen_state.get(ext_id):
            out.add(ext_id)
    return out


def coords_hint(*oracles):
    """Every position each id has in any of the models, for observe()."""
    hint = {}
    for oracle in oracles:
        for ext_id, p in oracle.points.items():
            if (p.lat, p.lon) not in hint.setdefault(ext_id, []):
                hint[ext_id].append((p.lat, p.lon))
    return hint
