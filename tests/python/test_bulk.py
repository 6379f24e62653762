"""add_many and delete_many: the same outcome as that many add and delete calls (points,
internal ids, metadata, indexes, log bytes), every refusal changing nothing, and lats/lons
given as buffers."""

import array
import json
import random

import pytest

from support import Slots, file_digests, f32, open_store, reopen, store_path, wal_bytes

np = pytest.importorskip("numpy")

WORLD = ((90.0, -180.0), (-90.0, 180.0))
KINDS = ["cafe", "bar", "shop"]


def make_batch(seed, n, id_pool):
    """n points drawn from id_pool (so some ids repeat), clustered so cells hold several."""
    rng = random.Random(seed)
    centres = [(rng.uniform(-80, 80), rng.uniform(-179, 179)) for _ in range(5)]
    ids, lats, lons, metas = [], [], [], []
    for _ in range(n):
        lat, lon = rng.choice(centres)
        meta = {"kind": rng.choice(KINDS), "rating": rng.randrange(50) / 10,
                "open": rng.random() < 0.5, "n": rng.randrange(-1000, 1000)}
        if rng.random() < 0.2:
            meta["extra"] = {"nested": [1, "two"]}
        ids.append(f"p{rng.randrange(id_pool)}")
        lats.append(lat + rng.gauss(0, 0.05))
        lons.append(lon + rng.gauss(0, 0.05))
        metas.append(json.dumps(meta))
    return ids, lats, lons, metas


def observe(store, ids):
    """What a caller can see of the store, in forms that do not depend on how it was built."""
    out = {"count": store.count(), "box": store.search_box(*WORLD)}
    for text in ['{"kind": "cafe"}', '{"open": true}', '{"rating": {"$gte": 2.5}}',
                 '{"n": {"$lt": 0}}', '{"$and": [{"kind": "bar"}, {"n": {"$gt": 100}}]}']:
        out[text] = store.search_box(*WORLD, text)
    out["knn"] = store.search_knn(0.0, 0.0, 25)
    out["radius"] = store.search_radius(10.0, 10.0, 20_000_000)
    out["exists"] = sorted(i for i in set(ids) if store.exists(json.dumps({"_id": i})))
    return out


def slots_of(store):
    """(external id, coordinates, metadata) by internal id, for every id handed out: each
    insertion appends exactly one record to ids.bin."""
    slots = Slots(store_path(store))
    inserted, at = 0, 0
    while at < len(slots.ids):
        at += 4 + int.from_bytes(slots.ids[at:at + 4], "little")
        inserted += 1
    return [(slots.ext_id(n), slots.lat_lon(n), slots.metadata(n)) for n in range(inserted)]


def sequential(store, ids, lats, lons, metas, skip_index=None):
    for args in zip(ids, lats, lons, metas):
        store.add(*args, skip_index=skip_index)


@pytest.mark.parametrize("seed,n,pool,skip_index", [
    (1, 300, 200, None),
    (2, 300, 100, ["kind"]),
    (3, 1, 1, None),
    (4, 500, 10_000, []),
    # Past the size from which a second thread reads the texts and files the indexes.
    (6, 12_000, 1_000_000, None),
    (7, 12_000, 9_000, ["rating"]),
], ids=["seed1-dups", "seed2-many-dups-skip-kind", "seed3-single", "seed4-no-dups-empty-skip",
        "seed6-threaded-no-dups", "seed7-threaded-dups-skip-rating"])
def test_add_many_matches_that_many_adds(tmp_path, seed, n, pool, skip_index):
    one = open_store(tmp_path / "one")
    many = open_store(tmp_path / "many")
    # The same earlier history: live, deleted and re-added ids before the batch.
    for store in (one, many):
        store.add("p0", 1.0, 2.0, '{"kind": "old"}')
        store.add("p1", 1.0, 2.0, "{}")
        store.delete("p1")
    ids, lats, lons, metas = make_batch(seed, n, pool)
    sequential(one, ids, lats, lons, metas, skip_index)
    assert many.add_many(ids, lats, lons, metas, skip_index=skip_index) is None

    assert wal_bytes(store_path(many)) == wal_bytes(store_path(one))
    assert slots_of(many) == slots_of(one)
    assert observe(many, ids) == observe(one, ids)
    one, many = reopen(one), reopen(many)
    assert observe(many, ids) == observe(one, ids)
    # Every file, the snapshot included: it records the order in which the indexes' fields,
    # values and grid blocks were created.
    one.persist()
    many.persist()
    assert file_digests(store_path(many)) == file_digests(store_path(one))
    many = reopen(many)
    assert observe(many, ids) == observe(one, ids)


@pytest.mark.slow
def test_add_many_across_log_chunks_matches_that_many_adds(tmp_path):
    """More points than one chunk of the log, so the batch is logged and filed in parts."""
    ids, lats, lons, metas = make_batch(5, 140_000, 120_000)
    one = open_store(tmp_path / "one")
    many = open_store(tmp_path / "many")
    sequential(one, ids, lats, lons, metas)
    many.add_many(ids, lats, lons, metas)
    assert wal_bytes(store_path(many)) == wal_bytes(store_path(one))
    assert observe(many, ids) == observe(one, ids)
    assert many.search_radius(lats[7], lons[7], 5_000) == one.search_radius(lats[7], lons[7], 5_000)


def test_empty_batch_logs_nothing(store):
    store.add("a", 1, 2, "{}")
    before = file_digests(store_path(store))
    assert store.add_many([], [], [], []) is None
    assert store.add_many((), np.array([], dtype=np.float32), array.array("d"), ()) is None
    assert store.delete_many([]) == 0
    assert file_digests(store_path(store)) == before


GOOD = (["a", "b", "c", "d", "e"], [1.0, 2.0, 3.0, 4.0, 5.0], [6.0, 7.0, 8.0, 9.0, 10.0],
        ['{"k": 1}', "{}", '{"k": "v"}', '{"n": null}', "{}"])


def spoiled(argument, position, value):
    args = [list(a) for a in GOOD]
    args[["ids", "lats", "lons", "metadatas"].index(argument)][position] = value
    return args


REFUSALS = [
    # (argument, bad value, exception, message with {i} for the item)
    ("ids", 7, TypeError, "argument 'ids': item {i}: 'int' object cannot be converted to 'str'"),
    ("ids", "\ud800", UnicodeEncodeError, None),
    ("lats", "north", TypeError, "argument 'lats': item {i}: must be real number, not str"),
    ("lons", None, TypeError, "argument 'lons': item {i}: must be real number, not NoneType"),
    ("metadatas", b"{}", TypeError,
     "argument 'metadatas': item {i}: 'bytes' object cannot be converted to 'str'"),
    ("metadatas", "{nope", ValueError, "Invalid JSON: item {i}: "),
    ("metadatas", "[1, 2]", ValueError,
     "Invalid JSON: item {i}: expected a JSON object, found an array"),
    ("metadatas", '{"a": 1e999}', ValueError, "Invalid JSON: item {i}: number overflow"),
]


@pytest.mark.parametrize("position", [0, 2, 4], ids=["first", "middle", "last"])
@pytest.mark.parametrize("argument,value,error,message", REFUSALS,
                         ids=[f"{r[0]}-{type(r[1]).__name__}-{r[2].__name__}" for r in REFUSALS])
def test_add_many_with_one_bad_item_raises_and_changes_nothing(
        store, position, argument, value, error, message):
    store.add("x", 0.0, 0.0, '{"k": 1}')
    before = file_digests(store_path(store))
    with pytest.raises(error) as caught:
        store.add_many(*spoiled(argument, position, value))
    if message is not None:
        assert str(caught.value).startswith(message.format(i=position))
    assert file_digests(store_path(store)) == before
    assert store.count() == 1
    assert not store.exists('{"k": "v"}')


# A batch of 300,000: its first chunk is parsed while it is checked, the rest is checked in
# two shares on two threads (the second from about 84,000 on).
@pytest.mark.parametrize("bad", [
    {290_000: "{nope"},
    {100_000: "[1]", 290_000: "{nope"},
    {100: "{nope", 200_000: "[1]"},
    {70_000: "[1]", 250_000: "{nope"},
    {65_535: "{nope", 65_536: "[1]"},
    {84_463: "[1]", 84_464: "{nope"},
    {150_000: "{nope", 299_999: "[1]"},
], ids=["one-late", "two-late", "first-chunk-and-late", "both-shares",
        "either-side-of-the-first-chunk", "either-side-of-the-shares", "middle-and-last"])
def test_add_many_names_the_first_bad_item_of_a_large_batch(store, bad):
    """The texts of a large batch are checked in parts at once; the error still names the
    first bad item, and nothing is added."""
    n = 300_000
    metas = ['{"k": 1}'] * n
    for position, text in bad.items():
        metas[position] = text
    first = min(bad)
    expected = {"{nope": "Invalid JSON: item {i}: ",
                "[1]": "Invalid JSON: item {i}: expected a JSON object, found an array"}
    before = file_digests(store_path(store))
    with pytest.raises(ValueError) as caught:
        store.add_many([f"p{i}" for i in range(n)], np.zeros(n), np.zeros(n), metas)
    assert str(caught.value).startswith(expected[bad[first]].format(i=first))
    assert file_digests(store_path(store)) == before
    assert store.count() == 0


@pytest.mark.parametrize("args,kwargs,error,message", [
    ((GOOD[0], GOOD[1][:4], GOOD[2], GOOD[3]), {}, ValueError,
     "argument 'lats': holds 4 items where 'ids' holds 5"),
    ((GOOD[0], GOOD[1], GOOD[2], GOOD[3] + ["{}"]), {}, ValueError,
     "argument 'metadatas': holds 6 items where 'ids' holds 5"),
    ((GOOD[0], GOOD[1], np.zeros(3), GOOD[3]), {}, ValueError,
     "argument 'lons': holds 3 items where 'ids' holds 5"),
    (("abcde", GOOD[1], GOOD[2], GOOD[3]), {}, TypeError,
     "argument 'ids': Can't extract `str` to `Vec`"),
    ((GOOD[0], 1.5, GOOD[2], GOOD[3]), {}, TypeError,
     "argument 'lats': 'float' object cannot be converted to 'Sequence'"),
    ((GOOD[0], np.zeros((5, 1)), GOOD[2], GOOD[3]), {}, TypeError,
     "argument 'lats': a buffer must have one dimension, not 2"),
    ((GOOD[0], GOOD[1], np.arange(5, dtype=np.int64), GOOD[3]), {}, TypeError,
     "argument 'lons': a buffer must hold float32 or float64 values, not format '"),
    ((GOOD[0], np.array(GOOD[1], dtype=">f8"), GOOD[2], GOOD[3]), {}, TypeError,
     "argument 'lats': a buffer must hold float32 or float64 values, not format '>d'"),
    ((GOOD[0], np.array(GOOD[1], dtype=np.float16), GOOD[2], GOOD[3]), {}, TypeError,
     "argument 'lats': a buffer must hold float32 or float64 values, not format 'e'"),
    ((GOOD[0], b"\x00" * 5, GOOD[2], GOOD[3]), {}, TypeError,
     "argument 'lats': a buffer must hold float32 or float64 values, not format 'B'"),
    (GOOD, {"skip_index": "k"}, TypeError, "argument 'skip_index': Can't extract `str` to `Vec`"),
    (GOOD[:3], {}, TypeError, "Vesko.add_many() missing 1 required positional argument: "
     "'metadatas'"),
], ids=["short-lats", "long-metadatas", "short-buffer", "ids-str", "lats-float", "lats-2d-buffer",
        "int-buffer", "big-endian-buffer", "f16-buffer", "bytes-buffer", "skip-index-str",
        "missing-metadatas"])
def test_add_many_with_mismatched_arguments_raises_and_changes_nothing(store, args, kwargs, error,
                                                                       message):
    store.add("x", 0.0, 0.0, "{}")
    before = file_digests(store_path(store))
    with pytest.raises(error) as caught:
        store.add_many(*args, **kwargs)
    assert str(caught.value).startswith(message)
    assert file_digests(store_path(store)) == before
    assert store.count() == 1


COORDS = [0.1, -45.25, 89.999, 1e-3, 179.5, -180.0]


@pytest.mark.parametrize("make", [
    lambda v: np.array(v, dtype=np.float32),
    lambda v: np.array(v, dtype=np.float64),
    lambda v: np.array([x for pair in zip(v, v) for x in pair], dtype=np.float64)[::2],
    lambda v: np.array(v, dtype=np.float32)[::-1][::-1],
    lambda v: array.array("f", v),
    lambda v: array.array("d", v),
    lambda v: memoryview(array.array("d", v)),
    lambda v: [np.float64(x) for x in v],
    lambda v: tuple(v),
], ids=["numpy-f32", "numpy-f64", "numpy-strided", "numpy-reversed-view", "array-f", "array-d",
        "memoryview", "list-of-numpy-scalars", "tuple"])
def test_coordinates_from_buffers_and_sequences_are_stored_as_f32(store, make):
    lats = COORDS
    lons = [-x / 2 for x in COORDS]
    lat_arg, lon_arg = make(lats), make(lons)
    expected = [(f32(float(a)), f32(float(b))) for a, b in zip(lat_arg, lon_arg)]
    store.add_many([f"p{i}" for i in range(len(lats))], lat_arg, lon_arg, ["{}"] * len(lats))
    slots = Slots(store_path(store))
    assert [slots.lat_lon(n) for n in range(len(lats))] == expected


def test_buffer_of_doubles_is_narrowed_like_single_add(tmp_path):
    values = [0.1, 1 / 3, 1e39, -1e39, 2.0 ** -149]
    one = open_store(tmp_path / "one")
    many = open_store(tmp_path / "many")
    for i, v in enumerate(values):
        one.add(f"p{i}", v, -v, "{}")
    many.add_many([f"p{i}" for i in range(len(values))], np.array(values),
                  -np.array(values), ["{}"] * len(values))
    assert wal_bytes(store_path(many)) == wal_bytes(store_path(one))


# delete_many


@pytest.mark.parametrize("seed", [1, 2, 3], ids=lambda s: f"seed{s}")
def test_delete_many_matches_that_many_deletes_and_counts_live_ones(tmp_path, seed):
    rng = random.Random(seed)
    ids, lats, lons, metas = make_batch(seed, 200, 150)
    one = open_store(tmp_path / "one")
    many = open_store(tmp_path / "many")
    for store in (one, many):
        store.add_many(ids, lats, lons, metas)
        store.delete(ids[0])
    doomed = [f"p{rng.randrange(200)}" for _ in range(120)] + [ids[0], "never-added"]
    rng.shuffle(doomed)
    live_before = one.count()
    for ext_id in doomed:
        one.delete(ext_id)
    assert many.delete_many(doomed) == live_before - one.count()
    assert wal_bytes(store_path(many)) == wal_bytes(store_path(one))
    assert observe(many, ids) == observe(one, ids)
    one, many = reopen(one), reopen(many)
    assert observe(many, ids) == observe(one, ids)


@pytest.mark.parametrize("ids,error,message", [
    (["a", 3, "b"], TypeError, "argument 'ids': item 1: 'int' object cannot be converted to 'str'"),
    (["a", "b", None], TypeError,
     "argument 'ids': item 2: 'NoneType' object cannot be converted to 'str'"),
    ("ab", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ([b"a"], TypeError, "argument 'ids': item 0: 'bytes' object cannot be converted to 'str'"),
], ids=["int-middle", "none-last", "bare-str", "bytes-first"])
def test_delete_many_with_a_bad_item_raises_and_changes_nothing(store, ids, error, message):
    store.add_many(["a", "b"], [1, 2], [3, 4], ["{}", "{}"])
    before = file_digests(store_path(store))
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        store.delete_many(ids)
    assert file_digests(store_path(store)) == before
    assert store.count() == 2


def test_other_threads_run_python_while_a_batch_is_applied(store):
    """The interpreter lock is released while the engine checks and applies the batch: a
    thread counting in Python keeps counting through the call."""
    import threading

    n = 200_000
    ids = [f"p{i}" for i in range(n)]
    lats = np.linspace(-60, 60, n)
    metas = ['{"kind": "cafe", "n": 1}'] * n
    counted = [0]
    running = [True]

    def count():
        while running[0]:
            counted[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = counted[0]
        store.add_many(ids, lats, lats, metas)
        during = counted[0] - before
    finally:
        running[0] = False
        counter.join()
    assert store.count() == n
    assert during > 1000
