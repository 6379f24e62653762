"""Opening a store replays its log: the same live points with the same internal ids, no
growth of the data files, a log that ends in a torn record is cut back to its last good record
so that later records replay, and a log holding bytes no writer writes is refused untouched."""

import errno
import json
import struct

import pytest
import vesko

from support import (
    DATA_FILES,
    Slots,
    delete_record,
    enc_str,
    file_digests,
    insert_record,
    live_ids,
    open_store,
    reopen,
    store_path,
    wal_bytes,
)

VARIED_METADATA = [
    '{"s": "text", "t": true, "f": false, "z": null}',
    '{"u": 18446744073709551615, "i": -9223372036854775808, "small": -1, "zero": 0}',
    '{"f": 1.0, "g": -0.0, "h": 1e-300, "big": 1.7976931348623157e308, "int_like": 3.0}',
    '{"arr": [1, "two", [3.5, null], {"b": false, "a": []}], "obj": {"y": {}, "x": {"k": [{}]}}}',
    '{"\u00e9": "\u00fc\U0001f600", "": "", "esc": "\\n\\t\\u0001"}',
    "{}",
    json.dumps({"long": "x" * 1000, "deep": [[[[{"k": [1, {"z": None}]}]]]]}),
    '{"d":' + "[" * 127 + "]" * 127 + "}",
]


def add_history(store):
    """Adds, re-adds and deletes covering every kind of record; returns the ids ever used."""
    for n, meta in enumerate(VARIED_METADATA):
        store.add(f"p{n}", n + 0.5, -n - 0.25, meta, ["s", "x"] if n % 2 else None)
    store.add("p1", 9, 9, '{"ignored": 1}')
    store.delete("p2")
    store.delete("never")
    store.add("p2", 7, 7, '{"again": 2}', [])
    store.delete("p4")
    store.add("long-" + "y" * 300, 1, 1, '{"k": "long id"}')
    return [f"p{n}" for n in range(len(VARIED_METADATA))] + ["never", "long-" + "y" * 300]


def test_reopen_gives_back_the_live_points_and_changes_no_file(store):
    ids = add_history(store)
    path = store_path(store)
    before = file_digests(path)
    live = live_ids(store, ids)
    store = reopen(store)
    assert file_digests(path) == before
    assert live_ids(store, ids) == live == set(ids) - {"p4", "never"}
    assert store.count() == len(ids) - 2
    assert store.exists('{"s": "text", "t": true}')
    assert store.exists('{"i": {"$lt": -9e18}, "u": {"$gt": 1e19}}')
    assert store.exists('{"again": 2}')
    assert not store.exists('{"ignored": 1}')
    assert not store.exists('{"int_like": 3}')
    assert not store.exists(json.dumps({"\u00e9": "\u00fc\U0001f600"}))


def test_reopen_keeps_internal_ids_and_the_next_id(store):
    for n, ext_id in enumerate("abc"):
        store.add(ext_id, n, n, "{}")
    store.delete("c")
    store = reopen(store)
    store.add("d", 3, 3, '{"k": "d"}')
    data = Slots(store_path(store))
    assert [data.ext_id(n) for n in range(4)] == ["a", "b", "c", "d"]
    assert data.lat_lon(3) == (3.0, 3.0)
    store = reopen(store)
    assert live_ids(store, "abcd") == {"a", "b", "d"}
    assert store.exists('{"k": "d", "_id": "d"}')


def test_reopening_again_and_again_grows_no_file(store):
    add_history(store)
    path = store_path(store)
    before = file_digests(path)
    for _ in range(3):
        store = reopen(store)
    assert file_digests(path) == before


def test_replay_rebuilds_the_data_files_from_the_log_alone(store):
    ids = add_history(store)
    path = store_path(store)
    data = {name: (path / name).read_bytes() for name in DATA_FILES}
    live = live_ids(store, ids)
    del store
    for name in DATA_FILES:
        (path / name).unlink()
    store = open_store(path)
    assert {name: (path / name).read_bytes() for name in DATA_FILES} == data
    assert live_ids(store, ids) == live


def test_missing_log_opens_an_empty_store(store):
    store.add("a", 1, 2, '{"k": "v"}')
    path = store_path(store)
    del store
    (path / "wal.bin").unlink()
    store = open_store(path)
    assert store.count() == 0
    assert (path / "wal.bin").stat().st_size == 0
    store.add("b", 1, 2, "{}")
    assert live_ids(reopen(store), ["a", "b"]) == {"b"}


def test_damaged_id_record_is_written_again_at_replay(store):
    store.add("abc", 1, 2, '{"k": "v"}')
    store.add("xyz", 3, 4, "{}")
    path = store_path(store)
    del store
    ids = (path / "ids.bin").read_bytes()
    (path / "ids.bin").write_bytes(ids[:4] + b"abd" + ids[7:])
    store = open_store(path)
    data = Slots(path)
    assert len(data.ids) == len(ids) + 7
    assert (data.ext_id(0), data.ext_id(1)) == ("abc", "xyz")
    log = wal_bytes(path)
    assert store.delete_by_filter('{"k": "v"}') == 1
    assert wal_bytes(path) == log + delete_record("abc")


# A log that ends early or in bytes that are not a record.

# Each step is applied to the store; LIVE[j] and SLOTS[j] are the live ids and the number of
# slots used after the first j steps.
STEPS = [
    ("add", "a", 1.0, 2.0, '{"k": "v", "n": 1}', None),
    ("add", "b", 3.0, 4.0, "{}", ["k"]),
    ("delete", "a"),
    ("add", "c", 5.0, 6.0, '{"k": "w"}', []),
    ("delete", "zz"),
    ("add", "a", 7.0, 8.0, '{"n": 2}', None),
]
LIVE = [set(), {"a"}, {"a", "b"}, {"b"}, {"b", "c"}, {"b", "c"}, {"a", "b", "c"}]
SLOTS = [0, 1, 2, 2, 3, 3, 4]
IDS = ["a", "b", "c", "zz", "new", "after"]


def write_steps(path):
    store = open_store(path)
    ends = []
    for method, *args in STEPS:
        getattr(store, method)(*args)
        ends.append(len(wal_bytes(path)))
    return wal_bytes(path), ends


def check_prefix_replay(path, complete, good_length):
    store = open_store(path)
    assert live_ids(store, IDS) == LIVE[complete]
    assert store.count() == len(LIVE[complete])
    assert (path / "wal.bin").stat().st_size == good_length
    store.add("new", 10, 10, "{}")
    store = reopen(store)
    assert live_ids(store, IDS) == LIVE[complete] | {"new"}
    assert Slots(path).ext_id(SLOTS[complete]) == "new"


@pytest.mark.slow
@pytest.mark.parametrize("keep_data_files", [False, True], ids=["log_only", "with_data_files"])
def test_log_cut_at_every_byte_replays_exactly_the_complete_records(tmp_path, keep_data_files):
    # With the data files of the uncut run beside it, replay meets records written for
    # points it will not re-insert and slots that point at them.
    log, ends = write_steps(tmp_path / "full")
    for cut in range(len(log) + 1):
        path = tmp_path / f"cut{cut}"
        path.mkdir()
        if keep_data_files:
            # Only the first slots are used; opening extends the slot files with zeros.
            for name in DATA_FILES:
                (path / name).write_bytes((tmp_path / "full" / name).read_bytes()[:4096])
        (path / "wal.bin").write_bytes(log[:cut])
        complete = sum(1 for end in ends if end <= cut)
        good = ends[complete - 1] if complete else 0
        check_prefix_replay(path, complete, good)


def q(n):
    return struct.pack("<Q", n)


BAD_RECORDS = [
    ("variant_7", struct.pack("<I", 7) + enc_str("x")),
    ("variant_max", b"\xff\xff\xff\xff" + enc_str("x")),
    ("skip_flag_2", insert_record("x", 1, 2)[:-1] + b"\x02"),
    ("id_length_beyond_file", struct.pack("<I", 1) + q(1000) + b"abc"),
    ("id_length_beyond_any_size", struct.pack("<I", 1) + q(2**63 + 5) + b"abc"),
    ("id_not_utf8", struct.pack("<I", 1) + q(2) + b"\xc3\x28"),
    ("insert_id_not_utf8", struct.pack("<I", 0) + q(1) + b"\xff" + struct.pack("<ff", 1, 2) + q(0) + b"\x00"),
    ("skip_name_not_utf8", insert_record("x", 1, 2)[:-1] + b"\x01" + q(1) + q(1) + b"\xff"),
    ("skip_count_beyond_file", insert_record("x", 1, 2)[:-1] + b"\x01" + q(2**40)),
    ("metadata_count_beyond_file", struct.pack("<I", 0) + enc_str("x") + struct.pack("<ff", 1, 2) + q(2**40)),
]


def assert_refused_unchanged(path, offset):
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        open_store(path)
    assert raised.value.errno == errno.EIO
    assert f"wal.bin\" is damaged at byte {offset}: " in str(raised.value)
    assert file_digests(path) == before


@pytest.mark.parametrize("bad", [t for _, t in BAD_RECORDS], ids=[n for n, _ in BAD_RECORDS])
def test_bad_record_before_a_whole_one_refuses_the_open_and_changes_nothing(tmp_path, bad):
    # Bytes follow the bad record, so it is no torn tail: replaying up to it and cutting it
    # off would drop the records behind it for good.
    log, ends = write_steps(tmp_path / "full")
    path = tmp_path / "damaged"
    path.mkdir()
    (path / "wal.bin").write_bytes(log + bad + insert_record("after", 1, 2))
    assert_refused_unchanged(path, len(log))


def test_bad_record_in_the_middle_refuses_the_open_and_changes_nothing(tmp_path):
    log, ends = write_steps(tmp_path / "full")
    path = tmp_path / "damaged"
    path.mkdir()
    bad = log[: ends[2]] + struct.pack("<I", 7) + log[ends[2] :]
    (path / "wal.bin").write_bytes(bad)
    assert_refused_unchanged(path, ends[2])
