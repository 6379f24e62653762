"""add, delete and delete_by_filter: which points are live afterwards, how their metadata is
indexed, and what each call appends to the log."""

import errno
import gc
import json
import struct

import pytest

from support import (Slots, delete_record, file_digests, id_filter, live_ids, open_store, reopen,
                     store_path, wal_bytes)


def test_new_store_is_empty(store):
    assert store.count() == 0
    assert store.exists("{}") is False
    assert store.delete_by_filter("{}") == 0


def test_added_point_is_live_and_counted(store):
    assert store.add("p", 1, 2, '{"k": "v"}') is None
    assert store.count() == 1
    assert store.exists(id_filter("p")) is True
    assert store.exists('{"k": "v"}') is True


def test_adding_a_live_id_keeps_the_first_point_and_logs_the_call(store):
    store.add("p", 1, 2, '{"k": "v"}')
    log = wal_bytes(store_path(store))
    store.add("p", 3, 4, '{"k": "w"}')
    assert store.count() == 1
    assert store.exists('{"k": "v"}') and not store.exists('{"k": "w"}')
    added = wal_bytes(store_path(store))[len(log):]
    assert added[:21] == struct.pack("<IQ1sff", 0, 1, b"p", 3.0, 4.0)
    assert len(added) == len(log)
    assert Slots(store_path(store)).lat_lon(0) == (1.0, 2.0)


def test_deleting_an_unknown_id_returns_none_and_logs_the_call(store):
    store.add("p", 1, 2, "{}")
    log = wal_bytes(store_path(store))
    assert store.delete("nope") is None
    assert store.count() == 1
    assert wal_bytes(store_path(store)) == log + delete_record("nope")


def test_deleted_point_is_gone_from_every_filter(store):
    store.add("p", 1, 2, '{"k": "v", "n": 5, "b": true}')
    store.add("q", 1, 2, '{"k": "v"}')
    store.delete("p")
    assert store.count() == 1
    for text in [id_filter("p"), '{"n": 5}', '{"n": {"$gte": 0}}', '{"b": true}',
                 '{"$and": [{"k": "v"}, {"_id": "p"}]}']:
        assert not store.exists(text), text
    assert live_ids(store, ["p", "q"]) == {"q"}
    store.delete("p")
    assert store.count() == 1


def test_readding_a_deleted_id_makes_a_new_point_with_the_new_data(store):
    store.add("p", 1, 2, '{"k": "old"}')
    store.delete("p")
    store.add("p", 3, 4, '{"k": "new"}')
    assert store.count() == 1
    assert not store.exists('{"k": "old"}')
    assert store.exists('{"k": "new", "_id": "p"}')
    data = Slots(store_path(store))
    assert (data.ext_id(1), data.lat_lon(1), data.metadata(1)) == ("p", (3.0, 4.0), '{"k":"new"}')


@pytest.mark.parametrize(
    "ext_id", ["", "h\u00e9 w\u00f6rld", "a\x00b", "\U0001f600", "x" * 1000],
    ids=["empty", "non_ascii", "nul_byte", "astral", "long"],
)
def test_any_str_works_as_an_id(store, ext_id):
    store.add(ext_id, 1, 2, "{}")
    store.add("other", 1, 2, "{}")
    assert store.exists(id_filter(ext_id))
    assert Slots(store_path(store)).ext_id(0) == ext_id
    store.delete(ext_id)
    assert live_ids(store, [ext_id, "other"]) == {"other"}


# Indexing of metadata fields. Each case stores one point and lists filters that must and
# must not find it.

INDEXING = [
    ("digits_are_only_a_string", '{"a": "5"}', None, ['{"a": "5"}'], ['{"a": 5}', '{"a": {"$gt": 0}}']),
    ("number_is_not_a_string", '{"a": 5}', None, ['{"a": 5}', '{"a": 5.0}'], ['{"a": "5"}']),
    ("integer_above_2_24_indexed_as_nearest_f32", '{"v": 16777217}', None,
     ['{"v": 16777216}', '{"v": 16777217}', '{"v": {"$gte": 16777216, "$lte": 16777216}}'],
     ['{"v": {"$gt": 16777216}}']),
    ("skipped_string_field", '{"a": "x", "b": "y"}', ["a"], ['{"b": "y"}'], ['{"a": "x"}']),
    ("skipped_numeric_field", '{"n": 5, "b": "y"}', ["n"], ['{"b": "y"}'],
     ['{"n": 5}', '{"n": {"$ne": 4}}']),
    ("empty_skip_list_skips_nothing", '{"a": "x"}', [], ['{"a": "x"}'], []),
    ("skip_names_match_exactly", '{"a": "x", "A": "y", "aa": "z"}', ["A", "a "],
     ['{"a": "x"}', '{"aa": "z"}'], ['{"A": "y"}']),
    ("skip_name_absent_from_metadata", '{"a": "x"}', ["zz"], ['{"a": "x"}'], []),
    ("duplicate_key_indexes_last_value", '{"a": "x", "a": "y"}', None, ['{"a": "y"}'], ['{"a": "x"}']),
]


@pytest.mark.parametrize(
    "metadata,skip_index,found_by,missed_by",
    [c[1:] for c in INDEXING],
    ids=[c[0] for c in INDEXING],
)
def test_metadata_indexing(store, metadata, skip_index, found_by, missed_by):
    store.add("p", 1, 2, metadata, skip_index)
    assert [f for f in found_by if not store.exists(f)] == []
    assert [f for f in missed_by if store.exists(f)] == []


def test_skipped_and_unindexed_fields_stay_in_the_stored_metadata(store):
    store.add("p", 1, 2, '{"a": "x", "n": [1], "z": null}', skip_index=["a"])
    assert Slots(store_path(store)).metadata(0) == '{"a":"x","n":[1],"z":null}'


def test_skip_index_is_kept_across_reopen(store):
    store.add("p", 1, 2, '{"a": "x", "b": "y"}', skip_index=["a"])
    store.add("q", 1, 2, '{"a": "x", "b": "y"}', skip_index=[])
    store = reopen(store)
    assert store.delete_by_filter('{"a": "x"}') == 1
    assert live_ids(store, ["p", "q"]) == {"p"}


def test_metadata_of_exactly_ten_million_bytes_is_stored(store):
    text = '{"k":"' + "x" * (10_000_000 - 8) + '"}'
    store.add("p", 1, 2, text)
    padded = "{ " + text[1:-1] + " \n}"
    store.add("q", 1, 2, padded)
    assert store.count() == 2
    path = store_path(store)
    assert (path / "meta.bin").stat().st_size == 2 * 10_000_004
    assert Slots(path).metadata(1) == text


# delete_by_filter


def test_delete_by_filter_deletes_the_matches_in_internal_id_order(store):
    for ext_id, kind in [("c", "x"), ("a", "y"), ("b", "x"), ("d", "x")]:
        store.add(ext_id, 1, 2, json.dumps({"kind": kind}))
    store.delete("b")
    log = wal_bytes(store_path(store))
    assert store.delete_by_filter('{"kind": "x"}') == 2
    assert wal_bytes(store_path(store)) == log + delete_record("c") + delete_record("d")
    assert live_ids(store, "abcd") == {"a"}
    assert store.count() == 1


def test_delete_by_filter_matching_nothing_logs_nothing(store):
    store.add("p", 1, 2, '{"kind": "x"}')
    log = wal_bytes(store_path(store))
    assert store.delete_by_filter('{"kind": "y"}') == 0
    assert wal_bytes(store_path(store)) == log


def test_delete_by_filter_writes_large_batches_whole(store):
    ids = [f"p{n:05d}" for n in range(2000)]
    for ext_id in ids:
        store.add(ext_id, 1, 2, "{}")
    log = wal_bytes(store_path(store))
    assert store.delete_by_filter("{}") == 2000
    assert wal_bytes(store_path(store)) == log + b"".join(delete_record(i) for i in ids)
    assert store.count() == 0
    assert reopen(store).count() == 0


# An id record that cannot be read back (damaged ids.bin): the open refuses the store, as its
# point could never be found by id or deleted.

def length_beyond_file(ids, offset):
    return ids[:offset] + struct.pack("<I", 0xFFFFFF00) + ids[offset + 4 :]


def invalid_utf8(ids, offset):
    return ids[: offset + 4] + b"\xff" + ids[offset + 5 :]


@pytest.mark.parametrize("damage", [length_beyond_file, invalid_utf8], ids=lambda f: f.__name__)
def test_a_live_point_whose_id_cannot_be_read_refuses_the_open(store, damage):
    for ext_id in ["p1", "q22", "r333"]:
        store.add(ext_id, 1, 2, '{"k": "v"}')
    path = store_path(store)
    ids = (path / "ids.bin").read_bytes()
    last = Slots(path).offsets
    offset = struct.unpack_from("<Q", last, 16)[0]
    # Damage the file of a closed store (an open store owns its files), after a persist so
    # that no log replay rewrites the record.
    store.persist()
    del store
    (path / "ids.bin").write_bytes(damage(ids, offset))
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        open_store(path)
    assert raised.value.errno == errno.EIO
    assert "the id map's entry for id 2 does not hold the hash" in str(raised.value)
    assert file_digests(path) == before


def test_ids_bin_cut_below_what_the_snapshot_counts_refuses_the_open(store):
    # A record cut off at the end of ids.bin is not one bad id but records gone that the
    # snapshot counts on, and the next append would leave a hole: the store is damaged.
    for ext_id in ["p1", "q22", "r333"]:
        store.add(ext_id, 1, 2, '{"k": "v"}')
    store.persist()
    path = store_path(store)
    del store
    gc.collect()
    ids = (path / "ids.bin").read_bytes()
    (path / "ids.bin").write_bytes(ids[:-2])
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        open_store(path)
    assert raised.value.errno == errno.EIO
    assert f"used length of ids.bin is {len(ids)} bytes, but ids.bin holds {len(ids) - 2}" in str(
        raised.value)
    assert file_digests(path) == before
