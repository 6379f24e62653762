"""Power loss and the checks that keep a store from losing or inventing data: wal.crc vouches
for the log's bytes, the id map and slot files are held to the records, and delete_by_filter
refuses a filter that the searches would read with members skipped. A power loss is made by
copying the store directory while its object is still open, then changing the copy's unsynced
bytes as a disk may leave them."""

import errno
import shutil

import pytest

import vesko
from snapshot_format import encode_snapshot, parse_snapshot
from support import file_digests, open_store, reopen, store_path

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def power_loss(store, tmp_path, edit=None):
    """A copy of the store's directory as a power loss may leave it, `edit` applied to it."""
    path = tmp_path / "after-power-loss"
    shutil.copytree(store_path(store), path)
    if edit is not None:
        edit(path)
    return path


def points(store):
    return sorted(store.search_box(*WORLD))


def zero(path, name, start, length):
    data = bytearray((path / name).read_bytes())
    data[start:start + length] = bytes(len(data[start:start + length]))
    (path / name).write_bytes(bytes(data))


def test_a_synced_point_survives_an_upsert_torn_by_a_power_loss(store, tmp_path):
    store.add("a", 1.0, 2.0, "{}")
    store.sync()
    synced = (store_path(store) / "wal.bin").stat().st_size
    store.upsert("a", 3.0, 4.0, '{"s":"xyz"}')
    copy = power_loss(store, tmp_path, lambda p: zero(p, "wal.bin", synced + 20, 64))
    assert open_store(copy).get("a") == (1.0, 2.0, "{}")


@pytest.mark.parametrize("fate", ["zero-filled", "both-zero-filled", "cut", "whole"])
def test_unsynced_log_tail_opens_as_a_prefix_and_invents_nothing(store, tmp_path, fate):
    for n in range(5):
        store.add(f"s{n}", 10.0 + n, 20.0, '{"k": "v"}')
    store.sync()
    synced = (store_path(store) / "wal.bin").stat().st_size
    synced_sums = (store_path(store) / "wal.crc").stat().st_size
    for n in range(5):
        store.add(f"u{n}", -10.0 - n, 20.0, "{}")
    written = (store_path(store) / "wal.bin").stat().st_size

    def edit(path):
        if fate in ("zero-filled", "both-zero-filled"):
            zero(path, "wal.bin", synced, written)
        if fate == "both-zero-filled":
            zero(path, "wal.crc", synced_sums, 1000)
        elif fate == "cut":
            with open(path / "wal.bin", "r+b") as f:
                f.truncate(synced + 7)

    reopened = open_store(power_loss(store, tmp_path, edit))
    ids = {e for e, _ in reopened.search_box(*WORLD)}
    assert "" not in ids
    assert {f"s{n}" for n in range(5)} <= ids
    unsynced = sorted(ids - {f"s{n}" for n in range(5)})
    # A prefix of the records written after the sync, never one of them half.
    assert unsynced == [f"u{n}" for n in range(len(unsynced))]
    assert len(unsynced) == (5 if fate == "whole" else 0)


def test_damage_in_synced_log_bytes_is_refused_and_changes_no_file(store, tmp_path):
    for n in range(3):
        store.add(f"p{n}", 1.0, 2.0 + n, "{}")
    store.sync()
    path = power_loss(store, tmp_path, lambda p: zero(p, "wal.bin", 30, 8))
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(path))
    assert raised.value.errno == errno.EIO
    assert "wal.bin" in str(raised.value) and "wal.crc" in str(raised.value)
    assert file_digests(path) == before


def test_store_without_wal_crc_opens_as_before_and_gets_one(store, tmp_path):
    for n in range(3):
        store.add(f"p{n}", 1.0, 2.0 + n, "{}")
    path = power_loss(store, tmp_path, lambda p: (p / "wal.crc").unlink())
    reopened = open_store(path)
    assert [e for e, _ in points(reopened)] == ["p0", "p1", "p2"]
    assert (path / "wal.crc").stat().st_size == 20
    reopened.add("p3", 0.0, 0.0, "{}")
    reopened = reopen(reopened)
    assert reopened.count() == 4


def persisted_with_points(store, n=50):
    for i in range(n):
        store.add(f"p{i}", 1.0 + i / 100, 2.0, f'{{"i": "{i}"}}')
    store.persist()
    return store_path(store)


@pytest.mark.parametrize("name", ["offsets.bin", "meta_offsets.bin", "coords.bin"])
def test_slot_file_cut_below_the_live_ids_is_refused(store, tmp_path, name):
    persisted_with_points(store)
    store.close()
    path = store_path(store)
    with open(path / name, "r+b") as f:
        f.truncate(8 * 10)
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(path))
    assert raised.value.errno == errno.EIO
    assert "it names id 49, but coords.bin, offsets.bin and meta_offsets.bin hold slots for 10" \
        in str(raised.value)
    assert file_digests(path) == before


def flip_id_map_hash(data):
    snap = parse_snapshot(data)
    key, int_id = next(iter(snap["ext_to_int"].items()))
    del snap["ext_to_int"][key]
    snap["ext_to_int"][key ^ 1] = int_id
    return encode_snapshot(snap)


def drop_id_map_entry(data):
    snap = parse_snapshot(data)
    del snap["ext_to_int"][next(iter(snap["ext_to_int"]))]
    return encode_snapshot(snap)


def damage_id_record(path):
    data = bytearray((path / "ids.bin").read_bytes())
    data[4] ^= 0x01  # the first character of the first id record
    (path / "ids.bin").write_bytes(bytes(data))


@pytest.mark.parametrize("damage,fragment", [
    (lambda p: (p / "snapshot.bin").write_bytes(flip_id_map_hash((p / "snapshot.bin")
                                                                 .read_bytes())),
     "does not hold the hash of that id's record"),
    (lambda p: (p / "snapshot.bin").write_bytes(drop_id_map_entry((p / "snapshot.bin")
                                                                  .read_bytes())),
     "the id map holds 49 entries for 50 live ids"),
    (damage_id_record, "does not hold the hash of that id's record"),
], ids=["hash-bit-flipped", "entry-missing", "id-record-damaged"])
def test_id_map_that_disagrees_with_the_id_records_is_refused(store, tmp_path, damage, fragment):
    path = persisted_with_points(store)
    store.close()
    damage(path)
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(path))
    assert raised.value.errno == errno.EIO
    assert fragment in str(raised.value)
    assert file_digests(path) == before


def test_open_that_fails_leaves_the_directory_as_it_found_it(tmp_path):
    path = tmp_path / "s"
    (path / "meta.bin").mkdir(parents=True)
    before = sorted(p.name for p in path.iterdir())
    with pytest.raises(BaseException):
        vesko.Vesko(str(path))
    assert sorted(p.name for p in path.iterdir()) == before


# A filter that the searches read with a member skipped deletes nothing.
REFUSED_FILTERS = [
    ('{"$and": {"k": "x"}}', '"$and" needs an array of objects'),
    ('{"$or": {"k": "x"}}', '"$or" needs an array of objects'),
    ('{"$and": [{"k": "x"}, 3]}', '"$and" needs an array of objects at $and[1]'),
    ('{"$not": [{"k": "x"}]}', '"$not" needs an object'),
    ('{"n": {"$gte ": 3}}', 'unknown operator "$gte " at n'),
    ('{"k": {"$regex": "x"}}', 'unknown operator "$regex" at k'),
    ('{"$or": [{"n": {"$nin": "x"}}]}', '"$nin" needs an array at $or[0].n'),
    ('{"k": {"$nin": [{"$foo": 1}]}}', 'unknown operator "$foo"'),
    ('{"$where": "x"}', 'unknown member "$where"'),
    ('{"$and": [{"k": "x"}], "$or": [{"k": "y"}]}', "stands beside other members"),
    ('{"$not": {"k": "x"}, "n": 1}', "stands beside other members"),
]


@pytest.mark.parametrize("filter_json,fragment", REFUSED_FILTERS,
                         ids=[f for f, _ in REFUSED_FILTERS])
def test_delete_by_filter_refuses_a_filter_with_a_skipped_member(store, filter_json, fragment):
    for i in range(4):
        store.add(f"p{i}", 1.0, 2.0 + i, f'{{"k": "{"xy"[i % 2]}", "n": {i}}}')
    store.sync()
    before = file_digests(store_path(store))
    with pytest.raises(ValueError) as raised:
        store.delete_by_filter(filter_json)
    assert str(raised.value).startswith("Invalid Filter: ")
    assert fragment in str(raised.value)
    assert store.count() == 4
    assert file_digests(store_path(store)) == before
    # The searches and exists keep their reading of the same filter.
    assert store.exists(filter_json) == bool(store.search_box(*WORLD, filter_json))


def test_delete_by_filter_still_takes_every_well_formed_filter(store):
    for i in range(6):
        store.add(f"p{i}", 1.0, 2.0 + i, f'{{"k": "{"xy"[i % 2]}", "n": {i}}}')
    assert store.delete_by_filter('{"$and": [{"k": "x"}, {"n": {"$gte": 2, "$in": [2, 4]}}]}') \
        == 2
    assert store.delete_by_filter('{"$not": {"k": "y"}}') == 1
    assert store.delete_by_filter('{"k": "y", "other": {"nested": 1}}') == 0
    assert store.count() == 3



KILLED_BATCH = """
import sys, vesko
n = int(sys.argv[2])
store = vesko.Vesko(sys.argv[1])
ids = [f"b{i}" for i in range(n)]
lats = [i % 80 for i in range(n)]
print("ready", flush=True)
store.add_many(ids, lats, [0.0] * n, ["{}"] * n)
print("done", flush=True)
"""


@pytest.mark.slow
def test_add_many_killed_midway_keeps_a_prefix_of_whole_chunks(tmp_path):
    """A batch logs and applies 65,536 points at a time: kill -9 during one leaves a prefix of
    whole chunks, never part of one."""
    import os
    import signal
    import subprocess
    import sys
    import time

    chunk = 65536
    path = tmp_path / "s"
    child = subprocess.Popen([sys.executable, "-c", KILLED_BATCH, str(path), str(6 * chunk)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    deadline = time.monotonic() + 60
    # Until the first chunk's records are in the log and vouched for by wal.crc, then kill.
    while time.monotonic() < deadline and (
            not (path / "wal.crc").exists() or (path / "wal.crc").stat().st_size == 0):
        time.sleep(0.001)
    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    store = open_store(path)
    count = store.count()
    assert count % chunk == 0 and count > 0
    assert all(f"b{i}" in store for i in (0, count - 1))
    assert f"b{count}" not in store
