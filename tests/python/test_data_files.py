"""The five data files: their sizes when a store is opened and when it grows, the bytes each
add writes, which slot (internal id) a point gets, and the stored form of metadata."""

import json
import struct

import pytest

from support import (
    DATA_FILES,
    NEW_SLOT_FILE_BYTES,
    SLOT_FILES,
    Slots,
    f32_bits,
    file_sizes,
    open_store,
    store_path,
)


def test_opening_a_new_path_creates_directory_and_sized_files(tmp_path):
    path = tmp_path / "a" / "b" / "store"
    open_store(path)
    assert file_sizes(path) == {
        "coords.bin": NEW_SLOT_FILE_BYTES,
        "ids.bin": 0,
        "meta.bin": 0,
        "meta_offsets.bin": NEW_SLOT_FILE_BYTES,
        "offsets.bin": NEW_SLOT_FILE_BYTES,
        "wal.bin": 0,
        "wal.crc": 0,
    }
    assert all(b == 0 for name in SLOT_FILES for b in (path / name).read_bytes())


def test_opening_an_existing_empty_directory_creates_the_files(tmp_path):
    open_store(tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        DATA_FILES + ("wal.ack", "wal.bin", "wal.crc"))


EXISTING_SIZES = [
    # files present before the open -> sizes of the three slot files after it
    ("coords_holds_125000_slots", {"coords.bin": 1_000_000},
     {"coords.bin": 1_000_000, "offsets.bin": 1_000_000, "meta_offsets.bin": 1_000_000}),
    ("coords_not_a_whole_slot", {"coords.bin": 1_000_003},
     {"coords.bin": 1_000_003, "offsets.bin": 1_000_000, "meta_offsets.bin": 1_000_000}),
    ("coords_below_minimum", {"coords.bin": 8_000},
     {"coords.bin": 800_000, "offsets.bin": 800_000, "meta_offsets.bin": 800_000}),
    ("offsets_longer_than_capacity", {"offsets.bin": 900_000},
     {"coords.bin": 800_000, "offsets.bin": 900_000, "meta_offsets.bin": 800_000}),
    ("others_shorter_than_coords",
     {"coords.bin": 1_000_000, "offsets.bin": 16, "meta_offsets.bin": 999_992},
     {"coords.bin": 1_000_000, "offsets.bin": 1_000_000, "meta_offsets.bin": 1_000_000}),
]


@pytest.mark.parametrize(
    "before,after", [c[1:] for c in EXISTING_SIZES], ids=[c[0] for c in EXISTING_SIZES]
)
def test_slot_files_are_sized_from_coords_and_keep_their_bytes(tmp_path, before, after):
    contents = {}
    for name, size in before.items():
        data = bytes((i * 7 + 1) % 251 for i in range(size))
        (tmp_path / name).write_bytes(data)
        contents[name] = data
    open_store(tmp_path)
    assert {name: (tmp_path / name).stat().st_size for name in SLOT_FILES} == after
    for name, data in contents.items():
        grown = (tmp_path / name).read_bytes()
        assert grown[: len(data)] == data
        assert set(grown[len(data):]) <= {0}


@pytest.mark.slow
def test_slot_files_grow_to_600000_slots_at_slot_100000(store):
    path = store_path(store)
    for n in range(100_000):
        store.add(f"p{n}", n * 1e-3, -n * 1e-3, "{}")
    assert {name: (path / name).stat().st_size for name in SLOT_FILES} == dict.fromkeys(
        SLOT_FILES, NEW_SLOT_FILE_BYTES
    )
    store.add("last", 45.0, 90.0, '{"k": "v"}')
    assert {name: (path / name).stat().st_size for name in SLOT_FILES} == dict.fromkeys(
        SLOT_FILES, 4_800_000
    )
    slots = Slots(path)
    assert slots.coords_bits(99_999) == (f32_bits(99_999e-3), f32_bits(-99_999e-3))
    assert (slots.ext_id(100_000), slots.metadata(100_000)) == ("last", '{"k":"v"}')
    assert slots.lat_lon(100_000) == (45.0, 90.0)
    assert store.count() == 100_001


def test_each_add_appends_id_and_metadata_records_and_fills_its_slots(store):
    store.add("abc", 1.0, 2.0, "{}")
    store.add("h\u00e9", -12.34, 181.5, '{"b": 1, "a": "x"}')
    store.add("", 0.0, -0.0, '{"k": true}')
    path = store_path(store)
    assert (path / "ids.bin").read_bytes() == (
        b"\x03\x00\x00\x00abc" + b"\x03\x00\x00\x00h\xc3\xa9" + b"\x00\x00\x00\x00"
    )
    assert (path / "meta.bin").read_bytes() == (
        b'\x02\x00\x00\x00{}' + b'\x0f\x00\x00\x00{"a":"x","b":1}' + b'\x0a\x00\x00\x00{"k":true}'
    )
    assert (path / "offsets.bin").read_bytes()[:32] == struct.pack("<4Q", 0, 7, 14, 0)
    assert (path / "meta_offsets.bin").read_bytes()[:32] == struct.pack("<4Q", 0, 6, 25, 0)
    assert (path / "coords.bin").read_bytes()[:32] == struct.pack(
        "<8I", 0x3F800000, 0x40000000, f32_bits(-12.34), f32_bits(181.5), 0, 0x80000000, 0, 0
    )


def test_adding_a_live_id_again_writes_no_data_records(store):
    store.add("p", 1, 2, '{"k": "v"}')
    path = store_path(store)
    before = {name: (path / name).read_bytes() for name in DATA_FILES}
    store.add("p", 3, 4, '{"k": "w"}')
    assert {name: (path / name).read_bytes() for name in DATA_FILES} == before


def test_delete_leaves_the_data_files_as_they_are(store):
    store.add("p", 1, 2, '{"k": "v"}')
    path = store_path(store)
    before = {name: (path / name).read_bytes() for name in DATA_FILES}
    store.delete("p")
    store.delete_by_filter("{}")
    assert {name: (path / name).read_bytes() for name in DATA_FILES} == before


# Internal ids: one more than the largest id handed out so far, never reused after a delete.
# Each step adds (+) or deletes (-) an id; step i adds at (i, -i) with metadata {"step": i}.
# The table maps each used slot to the id and the step that wrote it.

ID_ASSIGNMENT = [
    ("first_point_gets_slot_0", ["+a"], {0: ("a", 0)}),
    ("slots_follow_insertion_order", ["+a", "+b", "+c"], {0: ("a", 0), 1: ("b", 1), 2: ("c", 2)}),
    ("deleted_last_slot_is_not_reused", ["+a", "+b", "+c", "-c", "+d"],
     {0: ("a", 0), 1: ("b", 1), 2: ("c", 2), 3: ("d", 4)}),
    ("deleted_middle_slot_is_not_reused", ["+a", "+b", "+c", "-b", "+d"],
     {0: ("a", 0), 1: ("b", 1), 2: ("c", 2), 3: ("d", 4)}),
    ("emptied_store_does_not_restart_at_0", ["+a", "+b", "-a", "-b", "+c"],
     {0: ("a", 0), 1: ("b", 1), 2: ("c", 4)}),
    ("readded_id_takes_a_new_slot", ["+a", "-a", "+a"], {0: ("a", 0), 1: ("a", 2)}),
    ("live_id_added_again_takes_no_slot", ["+a", "+a", "+b"], {0: ("a", 0), 1: ("b", 2)}),
    ("unknown_id_deleted_takes_no_slot", ["-x", "+a"], {0: ("a", 1)}),
]


@pytest.mark.parametrize("steps,slots", [c[1:] for c in ID_ASSIGNMENT], ids=[c[0] for c in ID_ASSIGNMENT])
def test_internal_id_assignment(store, steps, slots):
    for i, step in enumerate(steps):
        if step[0] == "+":
            store.add(step[1:], float(i), float(-i), json.dumps({"step": i}))
        else:
            store.delete(step[1:])
    data = Slots(store_path(store))
    for n, (ext_id, i) in slots.items():
        assert (data.ext_id(n), data.lat_lon(n), data.metadata(n)) == (
            ext_id, (float(i), float(-i)), f'{{"step":{i}}}'
        )
    unused = len(slots)
    assert data.coords[8 * unused : 8 * unused + 8] == bytes(8)
    assert data.offsets[8 * unused : 8 * unused + 8] == bytes(8)


# Metadata is stored as compact JSON with the keys of every object in ascending byte order.

METADATA_TEXT = [
    ("empty_object", "{}", "{}"),
    ("empty_object_with_whitespace", "{ \n\t }", "{}"),
    ("keys_sorted_at_every_level", '{"b": 1, "a": {"d": 1, "c": 2}}', '{"a":{"c":2,"d":1},"b":1}'),
    ("objects_inside_arrays_sorted", '{"x": [ {"b": 1, "a": 2} , 3 ]}', '{"x":[{"a":2,"b":1},3]}'),
    ("byte_order_of_keys", '{"b":0, "B":0, "\u00e9":0, "a":0, "":0, "\u00e8":0, "aa":0}',
     '{"":0,"B":0,"a":0,"aa":0,"b":0,"\u00e8":0,"\u00e9":0}'),
    ("last_duplicate_wins", '{"a": 1, "b": 2, "a": 3}', '{"a":3,"b":2}'),
    ("nested_duplicate_wins", '{"o": {"k": "x", "k": {"z": 1}}}', '{"o":{"k":{"z":1}}}'),
    ("literals", '{"t": true, "f": false, "n": null}', '{"f":false,"n":null,"t":true}'),
    ("whitespace_inside_strings_kept", '{"a": " x  y "}', '{"a":" x  y "}'),
    ("escapes", '{"e": "\\u00e9\\n\\"\\/\\u0001\\t"}', '{"e":"\u00e9\\n\\"/\\u0001\\t"}'),
    ("integers", '{"u": 18446744073709551615, "i": -9223372036854775808, "z": -0}',
     '{"i":-9223372036854775808,"u":18446744073709551615,"z":0}'),
]


@pytest.mark.parametrize("text,stored", [c[1:] for c in METADATA_TEXT], ids=[c[0] for c in METADATA_TEXT])
def test_metadata_is_stored_as_compact_sorted_json(store, text, stored):
    store.add("p", 1, 2, text)
    assert Slots(store_path(store)).metadata(0) == stored


def test_stored_floats_parse_back_to_the_same_values(store):
    values = [1.5, 100.0, -0.0, 1e-7, 123456789.125, 0.1, 1e300, -2.5e-300, 5e-324, 1e16]
    store.add("p", 1, 2, json.dumps({f"k{i}": v for i, v in enumerate(values)}))
    stored = Slots(store_path(store)).metadata(0)
    assert " " not in stored
    parsed = json.loads(stored)
    assert list(parsed) == sorted(parsed)
    for i, v in enumerate(values):
        got = parsed[f"k{i}"]
        assert isinstance(got, float) and struct.pack("<d", got) == struct.pack("<d", v), (i, got)
