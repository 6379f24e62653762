"""vesko.salvage of a snapshot whose points lost records: those points are set aside in
salvage-lost.jsonl with what the files still hold, the rest are served and persist; and
rebuild=True, which builds a snapshot that cannot be kept from the data files and the log."""

import json
import struct

import pytest

import vesko
from snapshot_format import encode_snapshot, parse_snapshot
from support import open_store, reopen, salvage_store, store_path

N = 50


def point(i):
    return (1.0 + i / 128, 2.0 - i / 64, json.dumps({"i": str(i), "n": i}, separators=(",", ":")))


def persisted(store):
    for i in range(N):
        store.add(f"p{i}", *point(i))
    store.persist()
    store.close()
    return store_path(store)


def slot_offset(path, name, i):
    return struct.unpack_from("<Q", (path / name).read_bytes(), 8 * i)[0]


def patch(path, name, at, data):
    with open(path / name, "r+b") as f:
        f.seek(at)
        f.write(data)


def cut(path, name, size):
    with open(path / name, "r+b") as f:
        f.truncate(size)


def lost_lines(path):
    lines = [json.loads(line) for line in (path / "salvage-lost.jsonl").read_text().splitlines()]
    return lines[0], {line["slot"]: line for line in lines[1:]}


# Each damage with the slots it loses and the members their lines must hold.
DAMAGE = {
    "coords_cut": (lambda p: cut(p, "coords.bin", 8 * 10), range(10, N), {"id", "metadata"}),
    "meta_cut": (lambda p: cut(p, "meta.bin", slot_offset(p, "meta_offsets.bin", 30) + 6),
                 range(30, N), {"id", "lat", "lon"}),
    "ids_cut": (lambda p: cut(p, "ids.bin", slot_offset(p, "offsets.bin", 45) + 5),
                range(45, N), {"lat", "lon", "metadata"}),
    "id_not_utf8": (lambda p: patch(p, "ids.bin", slot_offset(p, "offsets.bin", 7) + 4, b"\xff"),
                    [7], {"lat", "lon", "metadata"}),
    "offsets_cut": (lambda p: cut(p, "offsets.bin", 8 * 40), range(40, N), {"lat", "lon", "metadata"}),
    "meta_slot_past_end": (lambda p: patch(p, "meta_offsets.bin", 8 * 20, struct.pack("<Q", 2**40)),
                           [20], {"id", "lat", "lon"}),
}


@pytest.mark.parametrize("kind", DAMAGE)
def test_salvage_sets_aside_the_points_whose_records_are_lost_and_keeps_the_rest(store, kind):
    path = persisted(store)
    damage, lost, members = DAMAGE[kind]
    damage(path)
    with pytest.raises(OSError):
        vesko.Vesko(str(path))
    salvaged = salvage_store(path)
    heading, lines = lost_lines(path)
    assert heading["points"] == len(lost) and sorted(lines) == list(lost)
    for i, line in lines.items():
        assert set(line) - {"slot", "why"} == members, line
        assert line.get("id", f"p{i}") == f"p{i}"
        assert line.get("metadata", point(i)[2]) == point(i)[2]
        assert (line.get("lat", point(i)[0]), line.get("lon", point(i)[1])) == point(i)[:2]
    kept = {f"p{i}": point(i) for i in range(N) if i not in lost}
    assert {f"p{i}": salvaged.get(f"p{i}") for i in range(N) if f"p{i}" in salvaged} == kept
    assert salvaged.count() == len(kept)
    assert sorted(salvaged.search_box((90, -180), (-90, 180), '{"i": {"$ne": "x"}}')) == sorted(
        (k, v[2]) for k, v in kept.items())
    salvaged.add("new", 5.0, 6.0, "{}")
    salvaged.persist()
    salvaged = reopen(salvaged)
    assert salvaged.count() == len(kept) + 1 and salvaged.get("new") == (5.0, 6.0, "{}")


def flip_id_map_hash(path):
    snap = parse_snapshot((path / "snapshot.bin").read_bytes())
    key, int_id = next(iter(snap["ext_to_int"].items()))
    del snap["ext_to_int"][key]
    snap["ext_to_int"][key ^ 1] = int_id
    (path / "snapshot.bin").write_bytes(encode_snapshot(snap))
    return int_id


def test_salvage_sets_aside_a_point_whose_id_map_hash_is_not_its_records(store):
    path = persisted(store)
    int_id = flip_id_map_hash(path)
    salvaged = salvage_store(path)
    _, lines = lost_lines(path)
    assert list(lines) == [int_id]
    assert (lines[int_id]["id"], lines[int_id]["metadata"]) == (f"p{int_id}", point(int_id)[2])
    assert salvaged.count() == N - 1 and f"p{int_id}" not in salvaged
    salvaged.add(f"p{int_id}", *point(int_id))
    assert reopen(salvaged).get(f"p{int_id}") == point(int_id)


def history(store):
    """Points persisted, some deleted or upserted before the persist and after it, then the
    snapshot is lost: what a rebuild restores, and what it cannot know."""
    for i in range(20):
        store.add(f"p{i}", *point(i))
    store.delete("p1")  # deleted before the persist: comes back
    store.upsert("p2", 9.0, 9.0, '{"v":2}')
    store.delete("p3")
    store.add("p3", 3.0, 3.0, '{"v":3}')
    store.persist()
    store.delete("p4")  # in the log: stays deleted
    store.upsert("p5", 5.0, 5.0, '{"v":5}')
    store.add("late", 7.0, 7.0, '{"v":7}')
    store.sync()
    store.close()
    expected = {f"p{i}": point(i) for i in range(20) if i != 4}
    expected.update(p2=(9.0, 9.0, '{"v":2}'), p3=(3.0, 3.0, '{"v":3}'),
                    p5=(5.0, 5.0, '{"v":5}'), late=(7.0, 7.0, '{"v":7}'))
    return store_path(store), expected


def contents(store, ids):
    return {k: store.get(k) for k in ids if k in store}


@pytest.mark.parametrize("snapshot", [b"", b"\x00" * 7, b"garbage" * 20],
                         ids=["empty", "zeros", "garbage"])
def test_rebuild_restores_every_intact_point_and_replays_the_log(store, snapshot):
    path, expected = history(store)
    (path / "snapshot.bin").write_bytes(snapshot)
    ids = list(expected) + ["p4"]
    salvaged = salvage_store(path, rebuild=True)
    assert contents(salvaged, ids) == expected
    assert (path / "snapshot.bin.damaged").read_bytes() == snapshot
    assert not (path / "salvage-lost.jsonl").exists()
    assert sorted(k for k, _ in salvaged.search_box((90, -180), (-90, 180), '{"v": 2}')) == ["p2"]
    salvaged.persist()
    assert contents(reopen(salvaged), ids) == expected


def test_rebuild_sets_aside_the_newest_version_it_cannot_restore(store):
    path, expected = history(store)
    (path / "snapshot.bin").write_bytes(b"")
    slot = 20  # p2's upsert: its metadata cut
    patch(path, "meta.bin", slot_offset(path, "meta_offsets.bin", slot) + 4, b"\x00")
    salvaged = salvage_store(path, rebuild=True)
    _, lines = lost_lines(path)
    assert list(lines) == [slot] and lines[slot]["id"] == "p2"
    del expected["p2"]
    assert contents(salvaged, list(expected) + ["p2", "p4"]) == expected


@pytest.mark.parametrize("value", [1, "yes", 0.0], ids=["int", "str", "float"])
def test_salvage_refuses_a_rebuild_that_is_not_a_bool_before_touching_anything(store, value):
    path = persisted(store)
    (path / "snapshot.bin").write_bytes(b"")
    with pytest.raises(TypeError, match="argument 'rebuild'"):
        vesko.salvage(str(path), rebuild=value)
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        vesko.salvage(str(path), True)
    assert (path / "snapshot.bin").read_bytes() == b""
    assert not (path / "snapshot.bin.damaged").exists()


@pytest.mark.parametrize("slots_file", ["offsets.bin", "meta_offsets.bin"])
@pytest.mark.parametrize("damaged, owner", [(12, 6), (6, 12)], ids=["back", "forward"])
def test_rebuild_sets_aside_a_slot_pointing_at_another_points_record(store, slots_file,
                                                                       damaged, owner):
    path, expected = history(store)
    (path / "snapshot.bin").write_bytes(b"")
    patch(path, slots_file, 8 * damaged, struct.pack("<Q", slot_offset(path, slots_file, owner)))
    salvaged = salvage_store(path, rebuild=True)
    _, lines = lost_lines(path)
    assert list(lines) == [damaged]
    assert ("id" in lines[damaged]) == (slots_file == "meta_offsets.bin")
    del expected[f"p{damaged}"]
    assert contents(salvaged, list(expected) + [f"p{damaged}", "p4"]) == expected
