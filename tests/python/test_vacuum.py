"""vacuum: compaction of the data files, renumbering, rebuilt indexes, and its commit."""

import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest
import vesko

from snapshot_format import parse_snapshot
from support import Slots, file_sizes, open_store, reopen, store_path

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def visible(store):
    """What callers see, independent of internal ids."""
    return sorted(store.search_box(*WORLD))


def test_store_without_live_points_is_rewritten_empty(store):
    store.add("a", 1.0, 1.0, '{"k": "x", "n": 5}')
    store.delete("a")
    store.vacuum()
    path = store_path(store)
    sizes = file_sizes(path)
    assert {n: sizes[n] for n in ("coords.bin", "offsets.bin", "meta_offsets.bin", "ids.bin",
                                  "meta.bin", "wal.bin")} == {
        "coords.bin": 800000, "offsets.bin": 800000, "meta_offsets.bin": 800000,
        "ids.bin": 0, "meta.bin": 0, "wal.bin": 0}
    assert not any(name.endswith(".vac") or name.startswith("vacuum") for name in sizes)
    snap = parse_snapshot((path / "snapshot.bin").read_bytes())
    assert snap["valid_ids"] == snap["deleted"] == set()
    assert snap["grid"] == snap["str_index"] == snap["ext_to_int"] == {}
    bsi = snap["num_index"]["n"]
    assert (bsi["existence"], bsi["min"], bsi["max"], bsi["top_bit"]) == (set(), 0xFFFFFFFF, 0, 0)
    assert store.count() == 0
    store.add("b", 2.0, 2.0, "{}")
    assert Slots(path).ext_id(0) == "b"


@pytest.mark.slow
def test_sizes_after_vacuum_of_200000_live_points(store):
    for i in range(200_100):
        store.add(f"p{i}", (i % 1000) * 0.1 - 50, (i // 1000) * 0.1, "{}")
    for i in range(0, 200_100, 2001):
        store.delete(f"p{i}")
    assert store.count() == 200_000
    store.vacuum()
    sizes = file_sizes(store_path(store))
    assert sizes["coords.bin"] == 1_600_000
    assert sizes["offsets.bin"] == sizes["meta_offsets.bin"] == 1_608_000
    assert sizes["ids.bin"] == sum(4 + len(f"p{i}") for i in range(200_100) if i % 2001)
    assert sizes["meta.bin"] == 200_000 * 6
    store.add("next", 0.0, 0.0, "{}")
    assert Slots(store_path(store)).ext_id(200_000) == "next"
    # Capacity was 200000 slots: the next id grows the files by 500000 slots.
    assert os.path.getsize(store_path(store) / "coords.bin") == 5_600_000


def test_live_points_are_renumbered_densely_in_their_order(store):
    for i in range(10):
        store.add(f"p{i}", i * 0.5, -i * 0.5, json.dumps({"i": i, "k": "even" if i % 2 == 0 else "odd"}))
    for i in (0, 1, 2, 4, 5, 6, 8):
        store.delete(f"p{i}")
    queries = [
        lambda s: s.search_box(*WORLD),
        lambda s: s.search_radius(3.5, -3.5, 1e6),
        lambda s: s.search_knn(4.5, -4.5, 2, '{"k": "odd"}'),
        lambda s: s.search_polygon([(0, 0), (5, 0), (5, -5), (0, -5)]),
        lambda s: s.exists('{"i": {"$gte": 9}}'),
        lambda s: s.count(),
    ]
    before = [q(store) for q in queries]
    store.vacuum()
    slots = Slots(store_path(store))
    assert [slots.ext_id(n) for n in range(3)] == ["p3", "p7", "p9"]
    assert slots.lat_lon(1) == (3.5, -3.5)
    assert slots.metadata(2) == '{"i":9,"k":"odd"}'
    assert [q(store) for q in queries] == before
    store = reopen(store)
    assert [q(store) for q in queries] == before
    store.add("p10", 0.0, 0.0, '{"i": 10}')
    store.delete("p3")
    store = reopen(store)
    assert [h[0] for h in store.search_box(*WORLD)] == ["p7", "p9", "p10"]


def test_indexes_drop_values_nobody_holds_but_keep_every_numeric_field(store):
    store.add("a", 0.0, 0.0, '{"k": "gone", "only": "a", "n": 100, "m": -5}')
    store.add("b", 0.0, 0.0, '{"k": "kept", "n": 3}')
    store.add("c", 0.0, 0.0, '{"k": "kept", "n": 7.5}')
    store.delete("a")
    store.vacuum()
    snap = parse_snapshot((store_path(store) / "snapshot.bin").read_bytes())
    assert snap["str_index"] == {"k": {"kept": {0, 1}}}
    assert set(snap["num_index"]) == {"n", "m"}
    n = snap["num_index"]["n"]
    assert n["existence"] == {0, 1}
    assert (n["min"], n["max"]) == (struct.unpack("<I", struct.pack("<f", 3.0))[0] ^ 0x80000000,
                                    struct.unpack("<I", struct.pack("<f", 7.5))[0] ^ 0x80000000)
    assert snap["num_index"]["m"]["existence"] == set()
    assert store.delete_by_filter('{"n": {"$gt": 50}}') == 0
    assert store.delete_by_filter('{"n": {"$lt": 5}}') == 1


def test_unreadable_records_are_written_as_the_readers_fallbacks(store):
    store.add("a", 1.0, 1.0, '{"k": "x"}')
    store.add("b", 2.0, 2.0, '{"k": "y"}')
    path = store_path(store)
    # Point a's id record at a length the file cannot hold and its metadata past the end.
    with open(path / "ids.bin", "r+b") as f:
        f.write(struct.pack("<I", 0xFFFFFF))
    with open(path / "meta_offsets.bin", "r+b") as f:
        f.write(struct.pack("<Q", 10 ** 9))
    store.vacuum()
    slots = Slots(path)
    assert (slots.ext_id(0), slots.metadata(0)) == ("", "{}")
    assert (slots.ext_id(1), slots.metadata(1)) == ("b", '{"k":"y"}')


def test_vacuum_after_persist_and_with_a_log_reopens_to_the_same_store(store):
    rng = random.Random(5)
    for i in range(500):
        store.add(f"p{i}", rng.uniform(-80, 80), rng.uniform(-170, 170), json.dumps({"n": i % 17}))
    store.persist()
    for i in range(0, 500, 3):
        store.delete(f"p{i}")
    store.add("late", 1.0, 2.0, '{"n": 99}')
    before = visible(store)
    store.vacuum()
    path = store_path(store)
    assert (path / "wal.bin").stat().st_size == 0
    assert visible(store) == before
    # snapshot.crc now names the vacuum's snapshot, so the next open may skip the id check.
    assert struct.unpack_from("<Q", (path / "snapshot.crc").read_bytes(), 8)[0] == \
        (path / "snapshot.bin").stat().st_size
    store = reopen(store)
    assert visible(store) == before
    assert store.search_knn(1.0, 2.0, 1) == [("late", 0.0, '{"n":99}')]


def test_undeletable_destination_fails_with_the_retry_message_then_the_object_refuses_calls(store):
    store.add("a", 1.0, 1.0, '{"k": "x"}')
    store.add("b", 2.0, 2.0, '{"k": "y"}')
    store.delete("a")
    path = store_path(store)
    # offsets.bin turns into a directory that cannot be unlinked while the store is open.
    os.remove(path / "offsets.bin")
    (path / "offsets.bin").mkdir()
    (path / "offsets.bin" / "keep").write_text("x")
    started = time.monotonic()
    with pytest.raises(OSError) as failure:
        store.vacuum()
    assert str(failure.value) == f'Failed to remove old DB file "{path / "offsets.bin"}" after retries'
    assert time.monotonic() - started >= 21 * 0.05
    for call in (store.count, lambda: store.add("c", 0, 0, "{}"), lambda: store.search_box(*WORLD),
                 store.persist, store.vacuum):
        with pytest.raises(OSError, match="must be reopened"):
            call()
    # Once the obstacle is gone, opening the directory finishes the committed vacuum.
    shutil.rmtree(path / "offsets.bin")
    del store
    again = open_store(path)
    assert again.search_box(*WORLD) == [("b", '{"k":"y"}')]
    assert Slots(path).ext_id(0) == "b"
    assert not (path / "vacuum.commit").exists()


def test_leftover_temporary_files_without_the_marker_are_ignored(store):
    store.add("a", 1.0, 1.0, "{}")
    path = store_path(store)
    for name in ("coords.bin.vac", "ids.bin.vac", "snapshot.bin.vac"):
        (path / name).write_bytes(b"junk")
    store = reopen(store)
    assert store.search_box(*WORLD) == [("a", "{}")]
    store.vacuum()
    assert store.search_box(*WORLD) == [("a", "{}")]
    assert not any(name.endswith(".vac") for name in os.listdir(path))


VACUUM_CHILD = textwrap.dedent("""
    import sys
    import vesko
    db = vesko.Vesko(sys.argv[1])
    print("start", flush=True)
    db.vacuum()
    print("done", flush=True)
""")


@pytest.mark.slow
def test_store_killed_during_vacuum_opens_to_the_same_points(tmp_path):
    template = tmp_path / "template"
    store = open_store(template)
    rng = random.Random(17)
    for i in range(30000):
        store.add(f"p{i}", rng.uniform(-80, 80), rng.uniform(-170, 170), json.dumps({"i": i, "c": i % 7}))
    for i in range(0, 30000, 3):
        store.delete(f"p{i}")
    store.persist()
    for i in range(1, 3000, 5):
        store.delete(f"p{i}")  # some changes in the log too
    expected = visible(store)
    filtered = sorted(store.search_radius(10.0, 10.0, 2e6, '{"c": 3}'))
    del store
    # Time one vacuum, then kill others at points spread over that time.
    probe = tmp_path / "probe"
    shutil.copytree(template, probe)
    started = time.monotonic()
    subprocess.run([sys.executable, "-c", VACUUM_CHILD, str(probe)], check=True, timeout=120)
    duration = time.monotonic() - started
    outcomes = set()
    for attempt in range(12):
        path = tmp_path / f"kill{attempt}"
        shutil.copytree(template, path)
        child = subprocess.Popen([sys.executable, "-c", VACUUM_CHILD, str(path)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "start"
        time.sleep(rng.uniform(0, duration))
        child.send_signal(signal.SIGKILL)
        out = child.communicate(timeout=60)[0]
        reopened = open_store(path)
        assert visible(reopened) == expected, attempt
        assert sorted(reopened.search_radius(10.0, 10.0, 2e6, '{"c": 3}')) == filtered
        outcomes.add("after" if Slots(path).ext_id(0) == "p2" else "before")
        assert not (path / "vacuum.commit").exists()
        reopened.add("x", 0.0, 0.0, "{}")
        assert reopened.count() == len(expected) + 1
        del reopened
    assert outcomes, "no attempt ran"
