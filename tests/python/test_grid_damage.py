"""A snapshot that contradicts what the data files determine is refused at open with
OSError(EIO), leaving every file as it was: a grid that does not file the live points where
coords.bin puts them (a damaged cell key, or damaged ids inside a cell), or a used length of
ids.bin or meta.bin below a live point's record (the log's replay would overwrite it).
vesko.salvage keeps a copy of it aside and repairs it from the data files, which gives back
every point. Grids that only misfile ids that are not live open as before, and so do the
stores the store itself writes."""

import errno
import gc
import json
import math
import os
import shutil
import struct

import pytest

import vesko
from snapshot_format import encode_snapshot, parse_snapshot
from support import (
    Slots,
    f32,
    file_digests,
    open_store,
    read_u64,
    reopen,
    salvage_store,
    store_path,
)

WORLD = ((90.0, -180.0), (-90.0, 180.0))

# (external id, latitude, longitude): "a" and "b" share a cell; the "far" ones lie off the
# usual chart, where the grid files them under saturated or out-of-range cells.
POINTS = [
    ("a", 45.0, 7.0),
    ("b", 45.001, 7.001),
    ("c", -33.9, 151.2),
    ("d", 51.5, -0.12),
    ("e", 0.0, 0.0),
    ("polar", 89.995, 10.0),
    ("far_lat", 95.0, 10.0),
    ("far_lon", 10.0, 200.0),
    ("gone", 12.0, 12.0),
]


METADATA = dict({e: json.dumps({"n": n}, separators=(",", ":"))
                 for n, (e, _, _) in enumerate(POINTS)}, late="{}")


def cell(lat, lon):
    """The grid's cell numbers of stored coordinates: (deg + offset) * 100 in double precision
    on the f32 value, truncated and saturated to [0, 2^32 - 1]."""
    def number(deg, offset):
        v = (f32(deg) + offset) * 100.0
        if not v > 0.0:
            return 0
        return min(int(v), 2**32 - 1)

    return number(lat, 90.0), number(lon, 180.0)


def key(lat_cell, lon_cell):
    return lat_cell << 32 | lon_cell


def observe(store, model):
    """What searches that go through the grid say about each point of `model` (and the count):
    whether a 5 m radius and the nearest point around its position find it, and the ids a box
    over the whole chart gives."""
    found = {}
    for ext_id, (lat, lon) in model.items():
        radius = {hit[0] for hit in store.search_radius(lat, lon, 5.0)}
        nearest = store.search_knn(lat, lon, 1)
        found[ext_id] = (ext_id in radius, bool(nearest) and nearest[0][1] == 0.0)
    box = sorted(hit[0] for hit in store.search_box(*WORLD))
    return store.count(), found, box


def expected_view(model):
    on_chart = sorted(e for e, (lat, lon) in model.items()
                      if -90 <= lat <= 90 and -180 <= lon <= 180)
    return len(model), {e: (True, True) for e in model}, on_chart


@pytest.fixture(scope="module")
def gridded(tmp_path_factory):
    """A closed store whose snapshot holds POINTS with "gone" deleted, and whose log adds
    "late" and deletes "d" after the persist; with its model, its snapshot and the internal id
    of every point."""
    path = tmp_path_factory.mktemp("gridded") / "store"
    store = open_store(path)
    for n, (ext_id, lat, lon) in enumerate(POINTS):
        store.add(ext_id, lat, lon, json.dumps({"n": n}))
    store.delete("gone")
    store.persist()
    store.add("late", 1.5, 2.5, "{}")
    store.delete("d")
    model = {e: (lat, lon) for e, lat, lon in POINTS if e not in ("gone", "d")}
    model["late"] = (1.5, 2.5)
    assert observe(store, model) == expected_view(model)
    store.close()
    del store
    gc.collect()
    snap = parse_snapshot((path / "snapshot.bin").read_bytes())
    slots = Slots(path)
    int_ids = {slots.ext_id(i): i for i in snap["valid_ids"] | snap["deleted"]}
    return path, model, snap, int_ids


def copy_of(source, tmp_path):
    path = tmp_path / "copy"
    shutil.copytree(source, path)
    return path


def cell_of(point):
    _, lat, lon = next(p for p in POINTS if p[0] == point)
    return cell(lat, lon)


def rekeyed(point, d_lat=0, d_lon=0):
    """Moves the whole cell that holds `point` to another key, as a damaged key byte does."""
    def edit(snap, ids):
        lat_cell, lon_cell = cell_of(point)
        snap["grid"][key(lat_cell + d_lat, lon_cell + d_lon)] = snap["grid"].pop(
            key(lat_cell, lon_cell))
    return edit


def moved(point, into):
    """Files the id of `point` under the cell of `into` instead of its own."""
    def edit(snap, ids):
        snap["grid"][key(*cell_of(point))].discard(ids[point])
        snap["grid"][key(*cell_of(into))].add(ids[point])
    return edit


def unfiled(point):
    def edit(snap, ids):
        snap["grid"][key(*cell_of(point))].discard(ids[point])
    return edit


def filed_twice(point, also):
    def edit(snap, ids):
        snap["grid"][key(*cell_of(also))].add(ids[point])
    return edit


def expect_wrong_cell(point, filed_under):
    def fragments(ids):
        lat_cell, lon_cell = cell_of(point)
        return [f"the grid files id {ids[point]} under cell {filed_under}, but its coordinates "
                f"in coords.bin", f"lie in cell ({lat_cell}, {lon_cell})"]
    return fragments


def shifted(point, d_lat=0, d_lon=0):
    lat_cell, lon_cell = cell_of(point)
    return f"({lat_cell + d_lat}, {lon_cell + d_lon})"


def flip_key_bit(point, mask):
    """Changes one bit of the stored key of the cell that holds `point`, in the file's bytes:
    the low byte of the key is the low byte of its longitude cell."""
    def damage(raw, ids):
        needle = struct.pack("<Q", key(*cell_of(point)))
        at = raw.index(needle)
        return raw[:at] + bytes([raw[at] ^ mask]) + raw[at + 1:]
    return damage


def edited(edit):
    def damage(raw, ids):
        snap = parse_snapshot(raw)
        edit(snap, ids)
        snap["grid"] = {k: v for k, v in snap["grid"].items() if v}
        return encode_snapshot(snap)
    return damage


def lowered(field, value):
    def edit(snap, ids):
        snap[field] = value
    return edit


def flip_top_bit_of_meta_len(raw, ids):
    """Clears the highest set bit of the low byte of meta.bin's used length (the file's last
    eight bytes), as one damaged bit does."""
    at = len(raw) - 8
    return raw[:at] + bytes([raw[at] ^ (1 << (raw[at].bit_length() - 1))]) + raw[at + 1:]


def used_length_fragments(name, used):
    return lambda ids: [f"the used length of {name} is {used} bytes, but a live point's record "
                        "there ends at byte "]


# (name, damage of the snapshot's bytes, fragments of the refusal given the internal ids)
REPAIRABLE = [
    ("ids_used_length_lowered", edited(lowered("ids_file_len", 3)),
     used_length_fragments("ids.bin", 3)),
    ("meta_used_length_lowered", edited(lowered("meta_file_len", 10)),
     used_length_fragments("meta.bin", 10)),
    ("meta_used_length_bit_flipped", flip_top_bit_of_meta_len,
     lambda ids: ["the used length of meta.bin is ", "which the next record appended would "
                  "overwrite"]),
    ("cell_key_bit_flipped", flip_key_bit("c", 0x08),
     expect_wrong_cell("c", f"({cell_of('c')[0]}, {cell_of('c')[1] ^ 0x08})")),
    ("cell_of_one_point_rekeyed", edited(rekeyed("c", d_lon=1)),
     expect_wrong_cell("c", shifted("c", d_lon=1))),
    ("cell_of_two_points_rekeyed", edited(rekeyed("a", d_lat=-1)),
     expect_wrong_cell("a", shifted("a", d_lat=-1))),
    ("off_chart_cell_rekeyed", edited(rekeyed("far_lon", d_lat=2)),
     expect_wrong_cell("far_lon", shifted("far_lon", d_lat=2))),
    ("live_id_moved_between_cells", edited(moved("e", into="c")),
     expect_wrong_cell("e", shifted("c"))),
    ("live_id_filed_under_no_cell", edited(unfiled("polar")),
     lambda ids: [f"the grid files the live id {ids['polar']} under no cell",
                  "lie in cell (17999, 19000)"]),
    ("live_id_filed_twice", edited(filed_twice("b", also="e")),
     lambda ids: [f"the grid files id {ids['b']} under more than one cell, cell (9000, 18000) "
                  f"and cell {shifted('b')}"]),
]


@pytest.mark.parametrize("damage,fragments", [(d, f) for _, d, f in REPAIRABLE],
                         ids=[n for n, _, _ in REPAIRABLE])
def test_contradicted_snapshot_refuses_the_open_and_changes_no_file(gridded, tmp_path, damage,
                                                            fragments):
    source, _, _, int_ids = gridded
    path = copy_of(source, tmp_path)
    snapshot = path / "snapshot.bin"
    snapshot.write_bytes(damage(snapshot.read_bytes(), int_ids))
    before = file_digests(path)
    for _ in range(2):
        with pytest.raises(OSError) as raised:
            vesko.Vesko(str(path))
        assert type(raised.value) is OSError and raised.value.errno == errno.EIO
        message = str(raised.value)
        assert message.startswith(f'"{snapshot}" is damaged: ')
        assert "Nothing in the store was changed" in message
        assert (f'vesko.salvage("{path}") sets a copy of the snapshot aside and repairs it from '
                'the data files') in message
        for fragment in fragments(int_ids):
            assert fragment in message
        assert file_digests(path) == before


def live_records_end(slots, snap, records, offsets):
    """Where the last record of a live point ends in ids.bin or meta.bin."""
    ends = []
    for n in snap["valid_ids"]:
        at = read_u64(getattr(slots, offsets), 8 * n)
        ends.append(at + 4 + struct.unpack_from("<I", getattr(slots, records), at)[0])
    return max(ends)


@pytest.mark.parametrize("damage", [d for _, d, _ in REPAIRABLE],
                         ids=[n for n, _, _ in REPAIRABLE])
def test_salvage_repairs_the_snapshot_and_keeps_every_point(gridded, tmp_path, damage):
    source, model, snap, int_ids = gridded
    path = copy_of(source, tmp_path)
    damaged = damage((path / "snapshot.bin").read_bytes(), int_ids)
    (path / "snapshot.bin").write_bytes(damaged)
    log = (path / "wal.bin").read_bytes()
    slots = Slots(path)
    store = salvage_store(path)
    assert observe(store, model) == expected_view(model)
    # The records the log's replay appended went after the live ones, overwriting none.
    assert {e: store.get(e)[2] for e in model} == {e: METADATA[e] for e in model}
    assert (path / "snapshot.bin.damaged").read_bytes() == damaged
    assert not (path / "snapshot.bin.tmp").exists()
    assert (path / "wal.bin").read_bytes() == log
    # The grid files exactly the live points of the snapshot where they were, the used lengths
    # reach at least the live records, and nothing else changed.
    repaired = parse_snapshot((path / "snapshot.bin").read_bytes())
    live = snap["valid_ids"]
    assert repaired["grid"] == {k: ids & live for k, ids in snap["grid"].items() if ids & live}
    before = parse_snapshot(damaged)
    assert repaired["ids_file_len"] == max(before["ids_file_len"],
                                           live_records_end(slots, snap, "ids", "offsets"))
    assert repaired["meta_file_len"] == max(before["meta_file_len"],
                                            live_records_end(slots, snap, "meta", "meta_offsets"))
    unrepaired = ("grid", "size", "ids_file_len", "meta_file_len")
    assert {k: v for k, v in repaired.items() if k not in unrepaired} == \
        {k: v for k, v in snap.items() if k not in unrepaired}
    # An ordinary open now finds nothing damaged, and the store keeps working.
    store = reopen(store)
    assert observe(store, model) == expected_view(model)
    store.add("new", -10.0, -10.0, "{}")
    store.persist()
    store = reopen(store)
    assert observe(store, dict(model, new=(-10.0, -10.0))) == \
        expected_view(dict(model, new=(-10.0, -10.0)))
    store.close()


def test_salvage_never_overwrites_an_earlier_copy(gridded, tmp_path):
    source, model, _, int_ids = gridded
    path = copy_of(source, tmp_path)
    (path / "snapshot.bin.damaged").write_bytes(b"earlier")
    damaged = edited(rekeyed("c", d_lon=1))((path / "snapshot.bin").read_bytes(), int_ids)
    (path / "snapshot.bin").write_bytes(damaged)
    store = salvage_store(path)
    assert (path / "snapshot.bin.damaged").read_bytes() == b"earlier"
    assert (path / "snapshot.bin.damaged.1").read_bytes() == damaged
    assert observe(store, model) == expected_view(model)
    store.close()


# Ids that are not live may sit anywhere in the grid: deletion leaves them in their cells and
# every search intersects with the live ids, so such a snapshot loads as it always did.
HARMLESS = [
    ("deleted_id_moved", moved("gone", into="a")),
    ("deleted_id_unfiled", unfiled("gone")),
    ("deleted_id_filed_twice", filed_twice("gone", also="c")),
]


@pytest.mark.parametrize("edit", [e for _, e in HARMLESS], ids=[n for n, _ in HARMLESS])
def test_grid_oddities_of_ids_that_are_not_live_load(gridded, tmp_path, edit):
    source, model, _, int_ids = gridded
    path = copy_of(source, tmp_path)
    snapshot = path / "snapshot.bin"
    snapshot.write_bytes(edited(edit)(snapshot.read_bytes(), int_ids))
    store = open_store(path)
    assert observe(store, model) == expected_view(model)
    store.close()


# Stores as the store writes them open as before, whatever their points and history.


def off_chart(store):
    for n, (lat, lon) in enumerate([(95.0, 10.0), (-95.0, 10.0), (10.0, 200.0), (10.0, -400.0),
                                    (math.nan, 1.0), (1.0, math.inf), (-1e30, 5.0)]):
        store.add(f"off{n}", lat, lon, "{}")
    store.add("on", 12.5, 12.5, "{}")


def many_deleted(store):
    for n in range(300):
        store.add(f"p{n}", (n % 170) - 85.0 + n / 1000, (n % 350) - 175.0, json.dumps({"n": n}))
    for n in range(0, 300, 3):
        store.delete(f"p{n}")


def vacuumed(store):
    many_deleted(store)
    store.vacuum()
    store.add("after", 3.0, 3.0, "{}")


def moved_by_upsert(store):
    many_deleted(store)
    for n in range(1, 300, 7):
        store.upsert(f"p{n}", -float(n % 80), float(n % 170), "{}")


def bulk(store):
    n = 2000
    store.add_many([f"b{i}" for i in range(n)], [(i % 160) - 80.0 for i in range(n)],
                   [(i * 7 % 340) - 170.0 for i in range(n)], ["{}"] * n)
    store.delete_many([f"b{i}" for i in range(0, n, 5)])


SOUND = [("off_chart", off_chart), ("deleted", many_deleted), ("vacuumed", vacuumed),
         ("moved_by_upsert", moved_by_upsert), ("bulk", bulk)]


@pytest.mark.parametrize("history", [h for _, h in SOUND], ids=[n for n, _ in SOUND])
def test_stores_the_store_writes_open_as_before(tmp_path, history):
    store = open_store(tmp_path / "s")
    history(store)
    store.persist()
    model = {e: (lat, lon) for e, lat, lon, _ in store.items()}
    shown = observe(store, model)
    store = reopen(store)
    assert observe(store, model) == shown
    # Every live point is where the grid says: a radius and the nearest point find each one
    # whose position a distance can reach (NaN and infinite coordinates give no distance).
    finite = {e for e, (lat, lon) in model.items() if math.isfinite(lat) and math.isfinite(lon)}
    assert {e for e, seen in shown[1].items() if seen == (True, True)} == finite
    store.close()


def test_persist_refuses_a_grid_that_coords_bin_contradicts(store):
    """coords.bin changed by something outside the store while it is open: the grid no longer
    agrees, and persist will not write a snapshot the next open would refuse."""
    store.add("a", 10.0, 20.0, "{}")
    store.add("b", 30.0, 40.0, "{}")
    path = store_path(store)
    with open(path / "coords.bin", "r+b") as f:
        f.seek(8)  # id 1
        f.write(struct.pack("<ff", 31.0, 40.0))
    before = file_digests(path)
    with pytest.raises(OSError) as raised:
        store.persist()
    assert type(raised.value) is OSError and raised.value.errno == errno.EIO
    message = str(raised.value)
    assert "refusing to write a snapshot" in message
    assert "the grid files id 1 under cell (12000, 22000), but its coordinates in coords.bin, " \
           "(31, 40), lie in cell (12100, 22000)" in message
    assert file_digests(path) == before
    assert not os.path.exists(path / "snapshot.bin")
