"""Helpers shared by the Python tests: opening and reopening stores, reading the data files
back by slot, building log records whose layout is fixed, and observing which points a
filter matches."""

import gc
import hashlib
import json
import os
import platform
import struct
import weakref
from pathlib import Path

import pytest

import vesko

ON_PYPY = platform.python_implementation() == "PyPy"

DATA_FILES = ("coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin")
SLOT_FILES = ("coords.bin", "offsets.bin", "meta_offsets.bin")
NEW_SLOT_FILE_BYTES = 800_000  # 100000 slots of 8 bytes

_paths = weakref.WeakKeyDictionary()
# The last store opened through open_store per directory, while it is alive.
_open_by_path = weakref.WeakValueDictionary()


def open_store(path):
    """Opens the store at `path`, first closing the one this module last opened there: a
    directory takes one Vesko at a time, and a test that reopens must not depend on when the
    fixture lets go of its object. Closing persists nothing, exactly like dropping it."""
    earlier = _open_by_path.get(str(Path(path)))
    if earlier is not None:
        earlier.close()
    store = vesko.Vesko(str(path))
    _paths[store] = Path(path)
    _open_by_path[str(Path(path))] = store
    return store


def salvage_store(path, **keywords):
    """vesko.salvage(path), registered like open_store so that a later open_store takes over."""
    earlier = _open_by_path.get(str(Path(path)))
    if earlier is not None:
        earlier.close()
    store = vesko.salvage(str(path), **keywords)
    _paths[store] = Path(path)
    _open_by_path[str(Path(path))] = store
    return store


def open_reader(path):
    """A reader (read_only=True) of the store at `path`, known to store_path."""
    store = vesko.Vesko(str(path), read_only=True)
    _paths[store] = Path(path)
    return store


def store_path(store):
    return _paths[store]


def reopen(store):
    """Opens the directory of `store` again; callers rebind (`store = reopen(store)`) so that
    the old object is garbage once this function lets go of it."""
    path = _paths[store]
    del store
    gc.collect()
    return open_store(path)


# What a writer shares with readers (how far its log is acknowledged); every writer's open
# rewrites it, and it holds no data of the store.
SHARED_STATE_FILE = "wal.ack"


def file_digests(path):
    """Size and SHA-256 of every file of the store's data in its directory, for "nothing
    changed" checks."""
    out = {}
    for name in sorted(set(os.listdir(path)) - {SHARED_STATE_FILE}):
        data = (Path(path) / name).read_bytes()
        out[name] = (len(data), hashlib.sha256(data).hexdigest())
    return out


def file_sizes(path):
    return {name: os.path.getsize(Path(path) / name)
            for name in sorted(set(os.listdir(path)) - {SHARED_STATE_FILE})}


def f32(x):
    """x rounded to the nearest single-precision float, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def read_u64(data, at):
    return struct.unpack_from("<Q", data, at)[0]


def read_record(data, offset):
    """A u32-length-prefixed record of ids.bin or meta.bin."""
    (n,) = struct.unpack_from("<I", data, offset)
    return data[offset + 4 : offset + 4 + n].decode("utf-8")


class Slots:
    """The data files of a store directory read back by internal id (slot n at byte 8n)."""

    def __init__(self, path):
        path = Path(path)
        self.coords = (path / "coords.bin").read_bytes()
        self.offsets = (path / "offsets.bin").read_bytes()
        self.ids = (path / "ids.bin").read_bytes()
        self.meta_offsets = (path / "meta_offsets.bin").read_bytes()
        self.meta = (path / "meta.bin").read_bytes()

    def coords_bits(self, n):
        return struct.unpack_from("<II", self.coords, 8 * n)

    def lat_lon(self, n):
        return struct.unpack_from("<ff", self.coords, 8 * n)

    def ext_id(self, n):
        return read_record(self.ids, read_u64(self.offsets, 8 * n))

    def metadata(self, n):
        return read_record(self.meta, read_u64(self.meta_offsets, 8 * n))


# Log records. The layout of everything but metadata values is fixed; records with
# metadata are taken from what the engine wrote.


def enc_str(text):
    raw = text.encode("utf-8") if isinstance(text, str) else text
    return struct.pack("<Q", len(raw)) + raw


def delete_record(ext_id):
    return struct.pack("<I", 1) + enc_str(ext_id)


def insert_record(ext_id, lat, lon, skip_index=None):
    """An Insert record with empty metadata."""
    out = struct.pack("<I", 0) + enc_str(ext_id) + struct.pack("<ff", lat, lon)
    out += struct.pack("<Q", 0)
    if skip_index is None:
        return out + b"\x00"
    out += b"\x01" + struct.pack("<Q", len(skip_index))
    return out + b"".join(enc_str(name) for name in skip_index)


def wal_bytes(path):
    return (Path(path) / "wal.bin").read_bytes()


# Observing filters without searches.


def id_filter(ext_id):
    return json.dumps({"_id": ext_id})


def live_ids(store, candidates):
    return {i for i in candidates if store.exists(id_filter(i))}


def populate(path, points):
    """A fresh store at `path` holding `points`, a list of (id, metadata dict) added in order
    at distinct coordinates."""
    store = open_store(path)
    for n, (ext_id, meta) in enumerate(points):
        store.add(ext_id, n * 0.5, -n * 0.25, json.dumps(meta))
    return store


def deletion_refused(store, filter_json, candidates):
    """Checks that delete_by_filter refuses the filter (a member or operator the searches skip)
    with ValueError "Invalid Filter: ...", deleting nothing and changing no file; returns what
    the searches match among the candidates."""
    before = file_digests(store_path(store))
    live = live_ids(store, candidates)
    with pytest.raises(ValueError, match="^Invalid Filter: "):
        store.delete_by_filter(filter_json)
    assert file_digests(store_path(store)) == before
    assert live_ids(store, candidates) == live
    world = ((90.0, -180.0), (-90.0, 180.0))
    return {e for e, _ in store.search_box(*world, filter_json)} & set(candidates)


def deleted_by(store, filter_json, candidates):
    """Runs delete_by_filter and returns (its count, the candidates it removed)."""
    before = live_ids(store, candidates)
    count = store.delete_by_filter(filter_json)
    return count, before - live_ids(store, candidates)
