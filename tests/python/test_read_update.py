"""Reading a point back by id (get, in, len) and replacing it in one step (upsert): what each
returns, how upsert reaches the log and survives a reopen or a kill at any moment, what a reader
sees during it, and that bad input changes nothing."""

import json
import random
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import vesko

from support import (
    delete_record,
    enc_str,
    f32,
    file_digests,
    insert_record,
    open_store,
    reopen,
    store_path,
    wal_bytes,
)

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def upsert_record(ext_id, lat, lon, skip_index=None):
    """An Upsert record with empty metadata: variant 2, then the fields of Insert."""
    return struct.pack("<I", 2) + insert_record(ext_id, lat, lon, skip_index)[4:]


# get, in, len


def test_get_returns_the_stored_f32_position_and_compact_metadata(store):
    store.add("p", 12.34, -56.78, '{"b": 1,  "a": [true, null]}')
    assert store.get("p") == (f32(12.34), f32(-56.78), '{"a":[true,null],"b":1}')
    assert store.get("p")[0] != 12.34  # widened from the stored single precision


@pytest.mark.parametrize(
    "history,expected",
    [
        ([("add", "p")], True),
        ([], False),
        ([("add", "q")], False),
        ([("add", "p"), ("delete", "p")], False),
        ([("add", "p"), ("delete", "p"), ("add", "p")], True),
        ([("upsert", "p")], True),
    ],
    ids=["added", "never_added", "other_id", "deleted", "added_again", "upserted"],
)
def test_get_in_and_len_agree_on_what_is_live(store, history, expected):
    for op, ext_id in history:
        if op == "delete":
            store.delete(ext_id)
        else:
            getattr(store, op)(ext_id, 1, 2, "{}")
    assert ("p" in store) is expected
    assert (store.get("p") is not None) is expected
    assert len(store) == store.count()
    store = reopen(store)
    assert ("p" in store) is expected
    assert len(store) == store.count()


def test_get_of_a_live_id_ignores_a_later_add_and_follows_an_upsert(store):
    store.add("p", 1, 2, '{"v": 1}')
    store.add("p", 3, 4, '{"v": 2}')
    assert store.get("p") == (1.0, 2.0, '{"v":1}')
    store.upsert("p", 3, 4, '{"v": 2}')
    assert store.get("p") == (3.0, 4.0, '{"v":2}')


def test_len_counts_live_points(store):
    assert len(store) == 0
    for i in range(5):
        store.add(f"p{i}", i, i, "{}")
    store.delete("p3")
    assert len(store) == 4


# upsert


def test_upsert_replaces_position_metadata_and_every_index(store):
    store.add("p", 10, 10, '{"kind": "cafe", "rating": 4}')
    store.add("q", 10, 10.001, '{"kind": "cafe", "rating": 4}')
    assert store.upsert("p", -20, 30, '{"kind": "bar", "open": true}') is True
    assert store.get("p") == (-20.0, 30.0, '{"kind":"bar","open":true}')
    assert store.count() == 2
    # Old position, old string value and old number no longer find it; the new ones do.
    assert [h[0] for h in store.search_radius(10, 10, 1000)] == ["q"]
    assert [h[0] for h in store.search_radius(-20, 30, 10)] == ["p"]
    assert store.delete_by_filter('{"kind": "cafe", "rating": 4, "_id": "p"}') == 0
    assert store.exists('{"kind": "bar", "open": "true"}')
    assert not store.exists('{"rating": 4, "_id": "p"}')


def test_upsert_of_a_new_id_adds_it_and_returns_false(store):
    assert store.upsert("p", 1, 2, '{"a": "x"}') is False
    assert store.get("p") == (1.0, 2.0, '{"a":"x"}')
    assert store.exists('{"a": "x"}')


def test_upsert_honours_skip_index(store):
    store.upsert("p", 1, 2, '{"a": "x", "b": "y"}', ["a"])
    assert not store.exists('{"a": "x"}')
    assert store.exists('{"b": "y"}')
    assert store.get("p")[2] == '{"a":"x","b":"y"}'


def test_upserted_point_moves_after_earlier_points_in_id_order(store):
    for ext_id in "abc":
        store.add(ext_id, 1, 1, "{}")
    store.upsert("a", 1, 1, '{"v": 2}')
    box = ((2, 0), (0, 2))
    assert [h[0] for h in store.search_box(*box)] == ["b", "c", "a"]
    assert [item[0] for item in store.items()] == ["b", "c", "a"]
    store = reopen(store)
    assert [h[0] for h in store.search_box(*box)] == ["b", "c", "a"]


def test_upsert_logs_one_record_of_variant_2_with_the_insert_fields(store):
    store.upsert("abc", 1.0, 2.0, "{}")
    store.upsert("abc", 1.0, 2.0, "{}", ["k"])
    assert wal_bytes(store_path(store)) == upsert_record("abc", 1.0, 2.0) + upsert_record(
        "abc", 1.0, 2.0, ["k"]
    )


@pytest.mark.parametrize("persist_between", [False, True], ids=["log_only", "after_persist"])
def test_upsert_survives_reopen(store, persist_between):
    store.add("p", 1, 2, '{"v": 1}')
    store.add("q", 3, 4, '{"v": 1}')
    if persist_between:
        store.persist()
    store.upsert("p", 5, 6, '{"v": 2}')
    store.upsert("r", 7, 8, '{"v": 3}')
    store.delete("q")
    store = reopen(store)
    assert store.get("p") == (5.0, 6.0, '{"v":2}')
    assert store.get("q") is None
    assert store.get("r") == (7.0, 8.0, '{"v":3}')
    assert store.count() == 2
    assert not store.exists('{"v": 1}')


def test_log_written_before_upsert_existed_still_opens(store_dir):
    store_dir.mkdir()
    log = insert_record("a", 1, 2) + insert_record("b", 3, 4) + delete_record("a")
    (store_dir / "wal.bin").write_bytes(log)
    store = open_store(store_dir)
    assert store.get("b") == (3.0, 4.0, "{}")
    assert "a" not in store


def test_upsert_record_cut_anywhere_reopens_to_the_old_version(tmp_path):
    full = tmp_path / "full"
    store = open_store(full)
    store.add("p", 1, 2, "{}")
    store.upsert("p", 3, 4, "{}")
    del store
    log = (full / "wal.bin").read_bytes()
    first = len(insert_record("p", 1, 2))
    assert log[first:] == upsert_record("p", 3, 4)
    for cut in range(first, len(log) + 1):
        path = tmp_path / f"cut{cut}"
        path.mkdir()
        (path / "wal.bin").write_bytes(log[:cut])
        expected = (3.0, 4.0, "{}") if cut == len(log) else (1.0, 2.0, "{}")
        cut_store = open_store(path)
        assert cut_store.get("p") == expected, cut
        assert cut_store.count() == 1


def test_reader_never_sees_an_upserted_id_missing(store):
    store.add("p", 0, 0, '{"v": 0}')
    stop = threading.Event()
    misses = []

    def read():
        while not stop.is_set():
            if store.get("p") is None or "p" not in store or not store.exists('{"_id": "p"}'):
                misses.append(1)

    reader = threading.Thread(target=read)
    reader.start()
    try:
        for v in range(1, 3000):
            store.upsert("p", v % 90, v % 180, json.dumps({"v": v}))
    finally:
        stop.set()
        reader.join()
    assert misses == []
    assert store.get("p")[2] == '{"v":2999}'


# A child upserts a fixed set of ids over and over, announcing each call before making it; the
# parent kills it at a random moment and checks that every id holds a version that was written,
# never none: the acknowledged one, or the one under way for the id in flight.
CHILD = textwrap.dedent("""
    import json, random, sys
    import vesko
    path, seed, ids = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    db = vesko.Vesko(path)
    rng = random.Random(seed)
    print("ready", flush=True)
    for step in range(10**7):
        ext_id = "p%d" % rng.randrange(ids)
        if rng.random() < 0.01:
            print("persist", flush=True)
            db.persist()
            continue
        print("begin", ext_id, step, flush=True)
        db.upsert(ext_id, rng.uniform(-80, 80), rng.uniform(-179, 179), json.dumps({"step": step}))
        print("done", flush=True)
""")


def run_and_kill(path, seed, ids, delay):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path), str(seed), str(ids)],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline().strip() == "ready"
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    out = child.stdout.read()
    child.wait(timeout=60)
    acknowledged, in_flight = {}, None
    for line in out.splitlines():
        parts = line.split()
        if parts and parts[0] == "begin" and len(parts) == 3:
            in_flight = (parts[1], int(parts[2]))
        elif parts == ["done"] and in_flight is not None:
            acknowledged[in_flight[0]] = in_flight[1]
            in_flight = None
    return acknowledged, in_flight


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(4))
def test_store_killed_while_upserting_holds_the_old_or_the_new_version(tmp_path, seed):
    path = tmp_path / "s"
    ids = 50
    store = open_store(path)
    for i in range(ids):
        store.add(f"p{i}", 0, 0, json.dumps({"step": -1}))
    del store
    version = {f"p{i}": -1 for i in range(ids)}
    rng = random.Random(seed)
    for round_no in range(3):
        acknowledged, in_flight = run_and_kill(path, seed * 10 + round_no, ids,
                                               rng.uniform(0.2, 1.0))
        assert acknowledged, "the child did not get going"
        version.update(acknowledged)
        store = open_store(path)
        seen = {e: json.loads(m)["step"] for e, m in store.search_box(*WORLD)}
        assert store.count() == ids and len(seen) == ids
        for ext_id, step in seen.items():
            allowed = {version[ext_id]}
            if in_flight is not None and in_flight[0] == ext_id:
                allowed.add(in_flight[1])
            assert step in allowed, (round_no, ext_id, step, allowed)
            assert store.get(ext_id)[2] == json.dumps({"step": step}, separators=(",", ":"))
        version.update(seen)
        del store


# Bad input: refused before anything is touched.


def cannot_convert(name, type_name, target="str"):
    return f"argument '{name}': '{type_name}' object cannot be converted to '{target}'"


BAD_CALLS = [
    ("get_missing", "get", (), {}, TypeError,
     "Vesko.get() missing 1 required positional argument: 'id'"),
    ("get_surplus", "get", ("a", "b"), {}, TypeError,
     "Vesko.get() takes 2 positional arguments but 3 were given"),
    ("get_id_int", "get", (1,), {}, TypeError, cannot_convert("id", "int")),
    ("contains_id_int", "__contains__", (1,), {}, TypeError, cannot_convert("id", "int")),
    ("contains_id_none", "__contains__", (None,), {}, TypeError, cannot_convert("id", "NoneType")),
    ("len_surplus", "__len__", (1,), {}, TypeError,
     "Vesko.__len__() takes 1 positional argument but 2 were given"),
    ("upsert_missing", "upsert", ("a", 1, 2), {}, TypeError,
     "Vesko.upsert() missing 1 required positional argument: 'metadata'"),
    ("upsert_unknown_keyword", "upsert", ("a", 1, 2, "{}"), {"skip": []}, TypeError,
     "Vesko.upsert() got an unexpected keyword argument 'skip'"),
    ("upsert_id_bytes", "upsert", (b"a", 1, 2, "{}"), {}, TypeError, cannot_convert("id", "bytes")),
    ("upsert_lat_str", "upsert", ("a", "1", 2, "{}"), {}, TypeError,
     "argument 'lat': must be real number, not str"),
    ("upsert_metadata_dict", "upsert", ("a", 1, 2, {}), {}, TypeError,
     cannot_convert("metadata", "dict")),
    ("upsert_skip_index_str", "upsert", ("a", 1, 2, "{}", "k"), {}, TypeError,
     "argument 'skip_index': Can't extract `str` to `Vec`"),
    ("upsert_metadata_not_json", "upsert", ("a", 1, 2, "{"), {}, ValueError, "Invalid JSON: ..."),
    ("upsert_metadata_array", "upsert", ("a", 1, 2, "[1]"), {}, ValueError,
     "Invalid JSON: expected a JSON object, found an array"),
    ("upsert_metadata_too_long", "upsert", ("a", 1, 2, json.dumps({"k": "x" * 10_000_000})), {},
     ValueError,
     "metadata is 10000008 bytes as compact JSON; at most 10000000 bytes can be stored"),
]


@pytest.mark.parametrize(
    "method,args,kwargs,error,message",
    [c[1:] for c in BAD_CALLS],
    ids=[c[0] for c in BAD_CALLS],
)
def test_bad_argument_raises_and_changes_nothing(store, method, args, kwargs, error, message):
    store.add("a", 1, 2, '{"k": "v"}')
    before = file_digests(store_path(store))
    with pytest.raises(error) as raised:
        getattr(store, method)(*args, **kwargs)
    assert type(raised.value) is error
    if message.endswith("..."):
        assert str(raised.value).startswith(message[:-3])
    else:
        assert str(raised.value) == message
    assert file_digests(store_path(store)) == before
    assert store.get("a") == (1.0, 2.0, '{"k":"v"}')
    assert store.count() == 1


def test_in_with_a_non_str_raises_type_error_like_the_other_id_arguments(store):
    with pytest.raises(TypeError):
        1 in store  # noqa: B015


def test_repr_of_a_store_is_unchanged_by_the_new_methods(store):
    assert repr(store) == f"Vesko({str(store_path(store))!r})"


def test_methods_on_an_unopened_instance_raise_type_error():
    o = vesko.Vesko.__new__(vesko.Vesko)
    for call in (lambda: o.get("a"), lambda: "a" in o, lambda: len(o),
                 lambda: o.upsert("a", 1, 2, "{}"), lambda: o.items()):
        with pytest.raises(TypeError, match="never opened"):
            call()
    assert repr(o) == "<Vesko, not opened>"
