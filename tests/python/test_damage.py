"""Damaged store files. A snapshot or log holding bytes the store never writes stops the open
with OSError(EIO) naming the file, and leaves every file as it was; a log that merely ends
inside its last record is cut as before. Snapshots with gaps in their ids load. vesko.salvage
moves the damaged parts aside, never over an earlier one, and opens what the rest holds."""

import errno
import gc
import json
import os
import shutil
import struct

import pytest

import vesko
from snapshot_format import encode_snapshot, parse_snapshot
from support import (
    NEW_SLOT_FILE_BYTES,
    SLOT_FILES,
    Slots,
    delete_record,
    enc_str,
    file_digests,
    insert_record,
    live_ids,
    open_store,
    reopen,
    salvage_store,
    store_path,
    wal_bytes,
)

WORLD = ((90.0, -180.0), (-90.0, 180.0))
IDS = [f"p{n}" for n in range(8)] + ["late", "new", "far", "next"]


def contents(store):
    """Everything a caller sees: the count and every live point with its metadata."""
    return store.count(), sorted(store.search_box(*WORLD))


def close(store):
    """Drops the object (and with it its files) and returns its directory."""
    path = store_path(store)
    del store
    gc.collect()
    return path


def q(n):
    return struct.pack("<Q", n)


def quoted(path):
    return '"' + str(path) + '"'


def assert_damage_error(raised, path, *fragments):
    assert type(raised.value) is OSError
    assert raised.value.errno == errno.EIO
    message = str(raised.value)
    assert message.startswith(quoted(path) + " is damaged")
    assert "Nothing in the store was changed" in message
    assert "vesko.salvage(" + quoted(path.parent) + ")" in message
    assert message.endswith("(os error 5)")
    for fragment in fragments:
        assert fragment in message


@pytest.fixture(scope="module")
def persisted(tmp_path_factory):
    """A closed store whose snapshot holds p0..p5 with p2 deleted, and whose log holds an add
    of "late" and a delete of p3 made after the persist; and what it shows when opened."""
    store = open_store(tmp_path_factory.mktemp("persisted") / "store")
    for n in range(6):
        store.add(f"p{n}", n, -n, json.dumps({"c": "xy"[n % 2], "n": n}))
    store.delete("p2")
    store.persist()
    store.add("late", 9.0, 9.0, '{"c": "z"}')
    store.delete("p3")
    shown = contents(store)
    return close(store), shown


def copy_of(source, tmp_path):
    path = tmp_path / "copy"
    shutil.copytree(source, path)
    return path


def without_sums(path):
    """Removes wal.crc, so that the log is judged by its records alone, as in a store made
    before wal.crc: with it, bytes appended past what it vouches for are a torn tail."""
    (path / "wal.crc").unlink()
    return path


# A damaged snapshot: each kind refuses the open and leaves every file byte for byte.


def edited(edit):
    def damage(raw):
        snap = parse_snapshot(raw)
        edit(snap)
        return encode_snapshot(snap)

    return damage


def first_value(mapping):
    return next(iter(mapping.values()))


def share_one_id(snap):
    keys = sorted(snap["ext_to_int"])
    snap["ext_to_int"][keys[1]] = snap["ext_to_int"][keys[0]]


def point_at_deleted(snap):
    snap["ext_to_int"][min(snap["ext_to_int"])] = 2  # p2 was deleted


def numeric_bounds_contradict(snap):
    snap["num_index"]["n"]["top_bit"] = 3


def move_highest_live_id_to(new_id):
    def edit(snap):
        top = max(snap["valid_ids"])
        renumbered(snap, {i: (new_id if i == top else i)
                          for i in snap["valid_ids"] | snap["deleted"]})
    return edit


SNAPSHOT_DAMAGE = [
    ("empty", lambda raw: b"", "it is empty"),
    ("cut_in_half", lambda raw: raw[: len(raw) // 2], "do not form a snapshot"),
    ("last_byte_cut", lambda raw: raw[:-1], "do not form a snapshot"),
    ("map_count_beyond_file", lambda raw: q(2**40) + raw[8:], "do not form a snapshot"),
    ("bad_bitmap_cookie",
     lambda raw: raw.replace(struct.pack("<I", 12346), struct.pack("<I", 12345), 1),
     "do not form a snapshot"),
    ("id_map_not_one_to_one", edited(share_one_id), "to two external ids"),
    ("id_map_points_at_deleted_id", edited(point_at_deleted), "id 2, which is not live"),
    ("id_map_points_beyond_every_id",
     edited(lambda s: s["ext_to_int"].update({12345: 999})), "id 999, which is not live"),
    ("ids_len_beyond_ids_bin",
     edited(lambda s: s.update(ids_file_len=10**6)), "used length of ids.bin is 1000000 bytes"),
    ("meta_len_beyond_meta_bin",
     edited(lambda s: s.update(meta_file_len=10**9)), "used length of meta.bin"),
    ("string_index_id_never_handed_out",
     edited(lambda s: s["str_index"]["c"]["x"].add(6)),
     'string index of field "c" holds id 6, above every id handed out'),
    ("grid_id_never_handed_out",
     edited(lambda s: first_value(s["grid"]).add(70000)), "a grid cell holds id 70000"),
    ("numeric_slice_outside_existence",
     edited(lambda s: s["num_index"]["n"]["slices"][0].add(2)), "slice bits"),
    ("numeric_bounds_contradict", edited(numeric_bounds_contradict), "bounds that contradict"),
    # Opening would grow coords.bin and offsets.bin to reach these ids (16 GiB each).
    ("live_id_beyond_the_slot_files", edited(move_highest_live_id_to(2**31)),
     "it names id 2147483648, but coords.bin, offsets.bin and meta_offsets.bin hold slots for"),
    ("deleted_id_beyond_the_slot_files", edited(lambda s: s["deleted"].add(2**31 + 5)),
     "it names id 2147483653"),
]


@pytest.mark.parametrize("damage,fragment", [(d, f) for _, d, f in SNAPSHOT_DAMAGE],
                         ids=[n for n, _, _ in SNAPSHOT_DAMAGE])
def test_damaged_snapshot_refuses_the_open_and_changes_no_file(persisted, tmp_path, damage,
                                                                fragment):
    path = copy_of(persisted[0], tmp_path)
    snapshot = path / "snapshot.bin"
    snapshot.write_bytes(damage(snapshot.read_bytes()))
    before = file_digests(path)
    for _ in range(2):
        with pytest.raises(OSError) as raised:
            vesko.Vesko(str(path))
        assert_damage_error(raised, snapshot, fragment)
        assert file_digests(path) == before


def test_damaged_snapshot_creates_no_missing_data_file(persisted, tmp_path):
    path = copy_of(persisted[0], tmp_path)
    (path / "snapshot.bin").write_bytes(b"\x01")
    (path / "coords.bin").unlink()
    before = file_digests(path)
    with pytest.raises(OSError):
        vesko.Vesko(str(path))
    assert file_digests(path) == before


# Snapshots this store never writes but that hold nothing wrong: gaps in the ids.


def renumbered(snap, table):
    """The snapshot with every internal id n replaced by table[n] (ids not in the table drop)."""
    def ids(values):
        return {table[i] for i in values if i in table}

    snap["valid_ids"] = ids(snap["valid_ids"])
    snap["deleted"] = ids(snap["deleted"])
    snap["ext_to_int"] = {k: table[v] for k, v in snap["ext_to_int"].items() if v in table}
    snap["grid"] = {k: ids(v) for k, v in snap["grid"].items()}
    snap["str_index"] = {f: {v: ids(b) for v, b in vals.items()}
                         for f, vals in snap["str_index"].items()}
    for bsi in snap["num_index"].values():
        bsi["existence"] = ids(bsi["existence"])
        bsi["slices"] = [ids(s) for s in bsi["slices"]]
    return snap


def test_snapshot_with_gaps_between_its_ids_loads(tmp_path):
    store = open_store(tmp_path / "s")
    for n in range(8):
        store.add(f"p{n}", n, n, json.dumps({"n": n}))
    store.delete("p4")
    store.persist()
    path = close(store)
    snap = parse_snapshot((path / "snapshot.bin").read_bytes())
    # Ids 0, 2, 5 and 6 become neither live nor deleted; the indexes still name them.
    snap["valid_ids"] = {1, 3, 7}
    snap["ext_to_int"] = {k: v for k, v in snap["ext_to_int"].items() if v in {1, 3, 7}}
    (path / "snapshot.bin").write_bytes(encode_snapshot(snap))
    store = open_store(path)
    assert live_ids(store, IDS) == {"p1", "p3", "p7"}
    assert contents(store) == (3, sorted((f"p{n}", json.dumps({"n": n}, separators=(",", ":")))
                                         for n in (1, 3, 7)))
    assert store.exists('{"n": {"$gte": 7}}') and not store.exists('{"n": 0}')
    store.add("new", 8.5, 8.5, '{"n": 8}')
    assert Slots(path).ext_id(8) == "new"
    shown = contents(store)
    store = reopen(store)
    assert contents(store) == shown
    store.persist()
    assert parse_snapshot((path / "snapshot.bin").read_bytes())["valid_ids"] == {1, 3, 7, 8}
    store = reopen(store)
    assert contents(store) == shown


@pytest.mark.parametrize("live_id,opens", [(99_999, True), (100_000, False), (250_000, False)],
                         ids=["last-slot-of-a-new-store", "first-slot-beyond", "far-beyond"])
def test_a_snapshot_id_needs_a_slot_that_opening_gives(tmp_path, live_id, opens):
    """A store never hands out an id without a slot: a snapshot naming one beyond the slot
    files (as opening sizes them: 100,000 slots at least) is damaged, and the open refuses it
    rather than growing the files to reach it and showing the first record there."""
    store = open_store(tmp_path / "s")
    store.add("far", 0.0, 0.0, '{"k": "v", "n": 1}')
    store.persist()
    path = close(store)
    snap = renumbered(parse_snapshot((path / "snapshot.bin").read_bytes()), {0: live_id})
    (path / "snapshot.bin").write_bytes(encode_snapshot(snap))
    if opens:
        store = open_store(path)
        assert store.count() == 1
        assert all((path / name).stat().st_size == NEW_SLOT_FILE_BYTES for name in SLOT_FILES)
        close(store)
        return
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        open_store(path)
    assert_damage_error(raised, path / "snapshot.bin", f"it names id {live_id}, but coords.bin")
    assert file_digests(path) == before


def cut_ids(path):
    os.truncate(path / "ids.bin", 3)


def rename_first_id(path):
    with open(path / "ids.bin", "r+b") as f:
        f.seek(4)
        f.write(b"z")


# Something outside the store changes ids.bin while it is open: a cut (the used length runs
# past its end), or the first id's record rewritten in place (the id map no longer finds it).
@pytest.mark.parametrize("damage,fragment", [
    (cut_ids, "used length of ids.bin is 10 bytes, but ids.bin holds 3"),
    (rename_first_id, "does not hold the hash of that id's record in ids.bin"),
], ids=["cut", "rewritten"])
def test_persist_refuses_to_write_a_snapshot_the_next_open_would_refuse(store, damage, fragment):
    store.add("a", 1.0, 2.0, '{"k": "v"}')
    store.persist()
    store.add("b", 3.0, 4.0, "{}")
    path = store_path(store)
    damage(path)
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        store.persist()
    assert type(raised.value) is OSError and raised.value.errno == errno.EIO
    assert "refusing to write a snapshot" in str(raised.value)
    assert fragment in str(raised.value)
    assert file_digests(path) == before


def test_snapshot_crc_spares_the_id_check_only_for_the_bytes_it_passed_on(persisted, tmp_path):
    """snapshot.crc (written by persist) lets an open skip hashing every id only while each
    byte that check reads is unchanged: an id record rewritten in place is still refused, and
    a damaged snapshot.crc costs the long check, never the store."""
    path = copy_of(persisted[0], tmp_path)
    assert (path / "snapshot.crc").read_bytes()[:8] == b"vksums01"
    sums = (path / "snapshot.crc").read_bytes()
    for damaged in (sums[:20], sums[:30] + bytes([sums[30] ^ 1]) + sums[31:], bytes(len(sums))):
        (path / "snapshot.crc").write_bytes(damaged)
        assert contents(vesko.Vesko(str(path), read_only=True)) == persisted[1]
        assert (path / "snapshot.crc").read_bytes() == damaged  # a reader writes nothing
    vesko.Vesko(str(path)).close()  # a writer's open makes the check, and records it again
    assert (path / "snapshot.crc").read_bytes()[:8] == b"vksums01"
    p1 = struct.unpack_from("<Q", (path / "offsets.bin").read_bytes(), 8)[0]
    (path / "snapshot.crc").write_bytes(sums)
    with open(path / "ids.bin", "r+b") as f:
        f.seek(p1 + 4)
        f.write(b"q")  # "p1" becomes "q1": its length and UTF-8 stay sound
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(path))
    assert_damage_error(raised, path / "snapshot.bin", "does not hold the hash")
    assert file_digests(path) == before


# The log: a torn last record is cut, damage refuses the open.


def meta_record(ext_id, meta_bytes):
    """An Insert record whose metadata part is given as raw bytes."""
    return struct.pack("<I", 0) + enc_str(ext_id) + struct.pack("<ff", 1, 2) + meta_bytes + b"\x00"


LOG_DAMAGE = [
    ("variant_7", struct.pack("<I", 7) + enc_str("x"), "unknown record variant 7"),
    ("variant_max", b"\xff\xff\xff\xff" + enc_str("x"), "unknown record variant 4294967295"),
    ("delete_id_not_utf8", struct.pack("<I", 1) + q(2) + b"\xc3\x28", "not UTF-8"),
    ("insert_id_not_utf8", insert_record("\udcff".encode("utf-8", "surrogatepass"), 1, 2),
     "not UTF-8"),
    ("id_length_of_2_pow_32", struct.pack("<I", 1) + q(2**32) + b"abc", "not UTF-8"),
    ("id_length_beyond_file_before_binary",
     struct.pack("<I", 1) + q(1000) + b"ab" + struct.pack("<f", 1.0), "not UTF-8"),
    ("skip_flag_2", insert_record("x", 1, 2)[:-1] + b"\x02", "skip_index flag"),
    ("skip_count_of_2_pow_40", insert_record("x", 1, 2)[:-1] + b"\x01" + q(2**40),
     "skip_index count"),
    ("skip_name_not_utf8", insert_record("x", 1, 2)[:-1] + b"\x01" + q(1) + q(1) + b"\xff",
     "skip_index name"),
    ("metadata_tag_9", meta_record("x", q(1) + enc_str("k") + b"\x09"), "metadata"),
    ("metadata_count_of_2_pow_40", meta_record("x", q(2**40)), "metadata"),
]

STEPS = [
    ("add", "p0", 1.0, 2.0, '{"k": "v", "n": 1}'),
    ("add", "p1", 3.0, 4.0, "{}"),
    ("delete", "p0"),
    ("add", "p2", 5.0, 6.0, '{"k": "w"}'),
    ("delete", "p1"),
]
# Live ids after the first j steps.
LIVE = [set(), {"p0"}, {"p0", "p1"}, {"p1"}, {"p1", "p2"}, {"p2"}]


@pytest.fixture(scope="module")
def logged(tmp_path_factory):
    """The log of STEPS and the end of each record in it."""
    store = open_store(tmp_path_factory.mktemp("logged") / "store")
    ends = []
    for method, *args in STEPS:
        getattr(store, method)(*args)
        ends.append(len(wal_bytes(store_path(store))))
    return wal_bytes(close(store)), ends


@pytest.mark.parametrize("after", [3, 5], ids=["middle", "end"])
@pytest.mark.parametrize("bad,fragment", [(b, f) for _, b, f in LOG_DAMAGE],
                         ids=[n for n, _, _ in LOG_DAMAGE])
def test_damaged_log_record_refuses_the_open_and_changes_no_file(logged, tmp_path, bad,
                                                                  fragment, after):
    log, ends = logged
    offset = ends[after - 1]
    path = tmp_path / "s"
    path.mkdir()
    (path / "wal.bin").write_bytes(log[:offset] + bad + log[offset:])
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(path))
    assert_damage_error(raised, path / "wal.bin", f"is damaged at byte {offset}: ", fragment)
    # Not even the data files that opening would create exist.
    assert file_digests(path) == before


TORN = [
    ("variant_cut", b"\x01\x00"),
    ("delete_cut_inside_its_id", delete_record("abc")[:-1]),
    ("insert_cut_inside_its_coordinates", insert_record("x", 1, 2)[:18]),
    ("length_beyond_the_end_of_valid_text", struct.pack("<I", 1) + q(1000) + b"abc"),
    ("cut_inside_a_two_byte_character", struct.pack("<I", 1) + q(2) + b"\xc3"),
    ("insert_cut_before_its_skip_byte", insert_record("x", 1, 2)[:-1]),
]


@pytest.mark.parametrize("tail", [t for _, t in TORN], ids=[n for n, _ in TORN])
def test_torn_last_record_is_cut_and_the_records_before_it_replay(logged, tmp_path, tail):
    log, _ = logged
    path = tmp_path / "s"
    path.mkdir()
    (path / "wal.bin").write_bytes(log + tail)
    store = open_store(path)
    assert live_ids(store, IDS) == LIVE[-1]
    assert wal_bytes(path) == log
    store.add("new", 1.0, 1.0, "{}")
    store = reopen(store)
    assert live_ids(store, IDS) == LIVE[-1] | {"new"}


# Salvage.


def test_salvage_of_a_damaged_snapshot_gives_the_points_of_the_log(persisted, tmp_path):
    path = copy_of(persisted[0], tmp_path)
    damaged = (path / "snapshot.bin").read_bytes()[:-5]
    (path / "snapshot.bin").write_bytes(damaged)
    log = wal_bytes(path)
    store = salvage_store(path)
    assert type(store) is vesko.Vesko
    assert live_ids(store, IDS) == {"late"}
    assert (path / "snapshot.bin.damaged").read_bytes() == damaged
    assert not (path / "snapshot.bin").exists()
    assert wal_bytes(path) == log
    shown = contents(store)
    del store
    gc.collect()
    store = open_store(path)  # an ordinary open now finds nothing damaged
    assert contents(store) == shown
    store.persist()
    store = reopen(store)
    assert contents(store) == shown


def test_salvage_of_a_damaged_log_keeps_the_records_before_the_damage(logged, tmp_path):
    log, ends = logged
    path = tmp_path / "s"
    path.mkdir()
    bad = struct.pack("<I", 7) + enc_str("x")
    original = log[: ends[2]] + bad + log[ends[2]:]
    (path / "wal.bin").write_bytes(original)
    store = salvage_store(path)
    assert live_ids(store, IDS) == LIVE[3]
    assert wal_bytes(path) == log[: ends[2]]
    assert (path / "wal.bin.damaged").read_bytes() == original[ends[2]:]
    store.add("new", 1.0, 1.0, "{}")
    store = reopen(store)
    assert live_ids(store, IDS) == LIVE[3] | {"new"}


def test_salvage_with_snapshot_and_log_damaged_keeps_the_log_before_the_damage(persisted,
                                                                              tmp_path):
    path = without_sums(copy_of(persisted[0], tmp_path))
    (path / "snapshot.bin").write_bytes(b"")
    log = wal_bytes(path)
    (path / "wal.bin").write_bytes(log + b"\x07\x00\x00\x00" + delete_record("late"))
    store = salvage_store(path)
    assert live_ids(store, IDS) == {"late"}
    assert (path / "snapshot.bin.damaged").read_bytes() == b""
    assert (path / "wal.bin.damaged").read_bytes() == b"\x07\x00\x00\x00" + delete_record("late")
    assert wal_bytes(path) == log


@pytest.mark.parametrize("taken", [1, 2, 3], ids=["damaged", "damaged_1", "damaged_2"])
@pytest.mark.parametrize("name", ["snapshot.bin", "wal.bin"])
def test_salvage_never_overwrites_a_file_set_aside_before(persisted, tmp_path, name, taken):
    path = without_sums(copy_of(persisted[0], tmp_path))
    names = [f"{name}.damaged"] + [f"{name}.damaged.{n}" for n in range(1, taken)]
    for n, earlier in enumerate(names):
        (path / earlier).write_bytes(f"earlier {n}".encode())
    if name == "snapshot.bin":
        bad = b"\x00"
        (path / name).write_bytes(bad)
    else:
        bad = b"\x07\x00\x00\x00"
        (path / name).write_bytes(wal_bytes(path) + bad)
    salvage_store(path)
    for n, earlier in enumerate(names):
        assert (path / earlier).read_bytes() == f"earlier {n}".encode()
    assert (path / f"{name}.damaged.{taken}").read_bytes() == bad


def test_salvage_of_a_sound_store_changes_no_file(persisted, tmp_path):
    path = copy_of(persisted[0], tmp_path)
    before = file_digests(path)
    store = salvage_store(path)
    assert contents(store) == persisted[1]
    assert file_digests(path) == before


def test_salvage_refuses_a_directory_that_does_not_exist(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        vesko.salvage(str(tmp_path / "missing"))
    assert str(raised.value) == f"{os.strerror(2)} (os error 2)"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "args,error,message",
    [
        ((), TypeError, "salvage() missing 1 required positional argument: 'storage_path'"),
        ((1,), TypeError,
         "argument 'storage_path': expected str, bytes or os.PathLike object, not int"),
        (("a\0b",), ValueError, "embedded null byte"),
    ],
    ids=["missing", "not_str", "nul"],
)
def test_salvage_refuses_bad_arguments_before_touching_anything(tmp_path, monkeypatch, args,
                                                                error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as raised:
        vesko.salvage(*args)
    assert str(raised.value) == message
    assert list(tmp_path.iterdir()) == []


# A vacuum that committed but was not finished: its own snapshot is the one judged.


def committed_vacuum(source, tmp_path):
    """A copy of the store as a vacuum leaves it at its commit point: each replaced file
    under its temporary name, the marker written, the log not yet emptied."""
    path = copy_of(source, tmp_path)
    for name in ("coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin",
                 "snapshot.bin"):
        (path / name).rename(path / f"{name}.vac")
    (path / "vacuum.commit").write_bytes(b"vacuum\n")
    return path


def test_damaged_snapshot_of_a_committed_vacuum_refuses_the_open(persisted, tmp_path):
    path = committed_vacuum(persisted[0], tmp_path)
    (path / "snapshot.bin.vac").write_bytes(b"\x00" * 7)
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(path))
    assert_damage_error(raised, path / "snapshot.bin.vac", "do not form a snapshot")
    assert file_digests(path) == before


def test_salvage_of_a_committed_vacuum_with_a_damaged_snapshot_replays_the_log(persisted,
                                                                              tmp_path):
    path = committed_vacuum(persisted[0], tmp_path)
    (path / "snapshot.bin.vac").write_bytes(b"\x00" * 7)
    store = salvage_store(path)
    assert live_ids(store, IDS) == {"late"}
    assert (path / "snapshot.bin.damaged").read_bytes() == b"\x00" * 7
    assert not (path / "vacuum.commit").exists()
    assert not any(p.name.endswith(".vac") for p in path.iterdir())
