"""persist and snapshot.bin: the bytes written, reading them back, damage, and crashes."""

import errno
import json
import os
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from snapshot_format import (encode_snapshot, parse_portable, parse_snapshot, portable_bitmap,
                             remap_ids)
from support import file_digests, open_store, reopen, salvage_store, store_path

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def snapshot_bytes(store):
    return (store_path(store) / "snapshot.bin").read_bytes()


def contents(store):
    """Everything a caller can see: every live point with its metadata, in id order."""
    return store.count(), store.search_box(*WORLD)


def test_empty_store_snapshot_is_80_bytes_of_empty_maps_and_bitmaps(store):
    store.persist()
    empty_bitmap = struct.pack("<QII", 8, 12346, 0)
    expected = struct.pack("<QQQ", 0, 0, 0) + empty_bitmap * 2 + struct.pack("<QQQ", 0, 0, 0)
    assert snapshot_bytes(store) == expected
    assert len(expected) == 80
    assert (store_path(store) / "wal.bin").stat().st_size == 0
    assert not (store_path(store) / "snapshot.bin.tmp").exists()


def test_small_bitmap_is_one_array_container(store):
    for i in range(3):
        store.add(f"p{i}", 0.0, 0.0, "{}")
    store.persist()
    snap = snapshot_bytes(store)
    valid = struct.pack("<QIIHHI", 22, 12346, 1, 0, 2, 16) + struct.pack("<3H", 0, 1, 2)
    assert valid in snap
    parsed = parse_snapshot(snap)
    assert parsed["valid_ids"] == {0, 1, 2}
    assert parsed["grid"] == {0x0000232800004650: {0, 1, 2}}
    assert parsed["size"] == len(snap)


def test_bitmap_over_4096_ids_is_a_bitset_container(tmp_path):
    store = open_store(tmp_path / "s")
    for i in range(5000):
        store.add(f"p{i}", 10.0, 10.0, '{"k": "v"}')
    store.delete("p17")
    store.persist()
    parsed = parse_snapshot(snapshot_bytes(store))
    assert parsed["valid_ids"] == set(range(5000)) - {17}
    assert parsed["deleted"] == {17}
    assert parsed["str_index"] == {"k": {"v": set(range(5000))}}
    assert parsed["cookies"] == {12346}
    raw = portable_bitmap(set(range(5000)) - {17})
    assert struct.pack("<Q", len(raw)) + raw in snapshot_bytes(store)
    assert len(raw) == 8 + 4 + 4 + 8192


def test_non_ascii_keys_are_written_as_utf8_with_byte_lengths(store):
    store.add("ß", 1.0, 2.0, json.dumps({"straße": "grüß", "ñ": 1.5}))
    store.persist()
    snap = snapshot_bytes(store)
    key = "straße".encode()
    assert struct.pack("<Q", len(key)) + key in snap
    parsed = parse_snapshot(snap)
    assert parsed["str_index"] == {"straße": {"grüß": {0}}}
    assert set(parsed["num_index"]) == {"ñ"}
    assert parsed["ids_file_len"] == 4 + len("ß".encode())


def test_numeric_index_is_stored_with_its_bounds_even_when_emptied(store):
    store.add("a", 0.0, 0.0, '{"v": 1.0}')
    store.add("b", 0.0, 0.0, '{"v": -1.0}')
    store.delete("a")
    store.delete("b")
    store.persist()
    bsi = parse_snapshot(snapshot_bytes(store))["num_index"]["v"]
    assert bsi["existence"] == set() and all(s == set() for s in bsi["slices"])
    assert (bsi["min"], bsi["max"], bsi["top_bit"]) == (0x407FFFFF, 0xBF800000, 31)


def fill(store, n=300, seed=3):
    rng = random.Random(seed)
    for i in range(n):
        store.add(f"p{i}", rng.uniform(-60, 60), rng.uniform(-170, 170),
                  json.dumps({"c": rng.choice("xyz"), "n": rng.randrange(50)}))
    for i in range(0, n, 7):
        store.delete(f"p{i}")


def test_persist_then_reopen_gives_back_every_point_and_index(store):
    fill(store)
    before = contents(store)
    knn = store.search_knn(10.0, 10.0, 25, '{"c": "x", "n": {"$gte": 10}}')
    store.persist()
    store = reopen(store)
    assert contents(store) == before
    assert store.search_knn(10.0, 10.0, 25, '{"c": "x", "n": {"$gte": 10}}') == knn


def test_changes_after_a_persist_come_back_from_the_log(store):
    fill(store)
    store.persist()
    store.add("late", 1.0, 1.0, '{"c": "late"}')
    store.delete("p1")
    store.delete_by_filter('{"n": {"$lt": 5}}')
    before = contents(store)
    assert (store_path(store) / "wal.bin").stat().st_size > 0
    store = reopen(store)
    assert contents(store) == before
    store.add("later", 2.0, 2.0, "{}")
    before = contents(store)
    store = reopen(store)
    assert contents(store) == before


def test_two_persists_in_a_row_hold_the_same_content(store):
    fill(store)
    store.persist()
    first = parse_snapshot(snapshot_bytes(store))
    store.persist()
    second = parse_snapshot(snapshot_bytes(store))
    assert (store_path(store) / "wal.bin").stat().st_size == 0
    assert first == second


def test_a_snapshot_written_by_one_process_is_read_by_another(tmp_path):
    path = tmp_path / "s"
    script = textwrap.dedent(f"""
        import vesko
        db = vesko.Vesko({str(path)!r})
        for i in range(200):
            db.add(f"p{{i}}", i * 0.1, -i * 0.1, '{{"i": %d}}' % i)
        db.delete("p3")
        db.persist()
    """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)
    store = open_store(path)
    assert store.count() == 199
    assert store.search_radius(0.4, -0.4, 100.0) == [("p4", 0.0, '{"i":4}')]
    assert not store.exists('{"id": "p3"}')


def test_run_container_snapshot_is_accepted(store):
    fill(store, n=100)
    store.persist()
    before = contents(store)
    parsed = parse_snapshot(snapshot_bytes(store))
    (store_path(store) / "snapshot.bin").write_bytes(encode_snapshot(parsed, runs=True))
    assert 12347 in parse_snapshot(snapshot_bytes(store))["cookies"]
    store = reopen(store)
    assert contents(store) == before
    # Written again after a change, the bitmaps come back without runs.
    store.add("extra", 1.0, 2.0, "{}")
    store.delete("extra")
    store.persist()
    assert parse_snapshot(snapshot_bytes(store))["cookies"] == {12346}
    assert contents(store) == before


def test_run_container_ending_at_id_65535_is_persisted_again_without_runs(tmp_path):
    # The live ids are moved to the top of the first container, above a run of deleted ids, so
    # that every bitmap holds a run ending at 65535: flattening such a run through the bitmap
    # library (0.2 series) wrote past its buffer and killed the process at the next persist.
    path = tmp_path / "s"
    store = open_store(path)
    for i in range(3):
        store.add(f"p{i}", 10.0 + i, 20.0 + i, json.dumps({"c": "xyz"[i], "n": i}))
    store.persist()
    before = contents(store)
    del store
    top = {i: 65533 + i for i in range(3)}
    snap = remap_ids(parse_snapshot((path / "snapshot.bin").read_bytes()), top)
    snap["deleted"] = set(range(65533))
    (path / "snapshot.bin").write_bytes(encode_snapshot(snap, runs=True))
    for name in ("coords.bin", "offsets.bin", "meta_offsets.bin"):
        slots = bytearray((path / name).read_bytes())
        for old, new in top.items():
            slots[8 * new:8 * new + 8] = slots[8 * old:8 * old + 8]
        (path / name).write_bytes(bytes(slots))
    script = textwrap.dedent(f"""
        import vesko
        db = vesko.Vesko({str(path)!r})
        db.persist()
        db.add("after", 1.0, 2.0, "{{}}")
        db.persist()
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr[-1000:]
    written = parse_snapshot((path / "snapshot.bin").read_bytes())
    assert written["cookies"] == {12346}
    assert written["valid_ids"] == {65533, 65534, 65535, 65536}
    assert written["deleted"] == set(range(65533))
    store = open_store(path)
    assert store.count() == 4
    assert contents(store)[1][:3] == before[1]


def test_leftover_temporary_snapshot_is_ignored_and_replaced(store):
    fill(store, n=50)
    before = contents(store)
    (store_path(store) / "snapshot.bin.tmp").write_bytes(b"garbage from a persist that died")
    store = reopen(store)
    assert contents(store) == before
    store.persist()
    assert not (store_path(store) / "snapshot.bin.tmp").exists()


def exercise(store):
    """Every kind of call works on a store salvaged from a damaged snapshot."""
    store.count()
    store.search_box(*WORLD)
    store.search_radius(10.0, 10.0, 5e5, '{"c": "x"}')
    store.search_knn(0.0, 0.0, 5, '{"n": {"$gte": 3}}')
    store.search_polygon([(0, 0), (0, 50), (50, 50)])
    store.exists('{"c": {"$in": ["x", "y"]}}')
    store.add("new-after-damage", 5.0, 5.0, '{"c": "x", "n": 1}')
    store.delete_by_filter('{"n": 2}')
    store.persist()


def listing(path):
    return {name: os.path.getsize(path / name) for name in os.listdir(path)}


def open_or_refuse(path, full_check):
    """Opens the store, or checks that the open refused it as damaged without changing a file
    (every byte when full_check, else names, sizes and the snapshot) and salvages it."""
    before = file_digests(path) if full_check else (listing(path), snapshot_bytes_at(path))
    try:
        return open_store(path)
    except OSError as refused:
        assert type(refused) is OSError and refused.errno == errno.EIO
        assert f"{path / 'snapshot.bin'}\" is damaged" in str(refused)
        after = file_digests(path) if full_check else (listing(path), snapshot_bytes_at(path))
        assert after == before
    return salvage_store(path)


def snapshot_bytes_at(path):
    return (path / "snapshot.bin").read_bytes()


def test_snapshot_cut_at_every_offset_is_refused_and_salvaged(tmp_path):
    source = open_store(tmp_path / "source")
    source.add("a", 1.0, 2.0, '{"c": "x", "n": 3}')
    source.add("b", 3.0, 4.0, '{"c": "y", "n": 4.5}')
    source.delete("a")
    source.persist()
    full = snapshot_bytes(source)
    files = {name: (store_path(source) / name).read_bytes()
             for name in ("coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin")}
    for cut in range(len(full)):
        path = tmp_path / f"cut{cut}"
        path.mkdir()
        for name, data in files.items():
            (path / name).write_bytes(data)
        (path / "snapshot.bin").write_bytes(full[:cut])
        with pytest.raises(OSError) as refused:
            open_store(path)
        assert refused.value.errno == errno.EIO, cut
        store = open_or_refuse(path, full_check=cut % 32 == 0)
        assert store.count() == 0, cut  # the snapshot is set aside and the log is empty
        assert (path / "snapshot.bin.damaged").read_bytes() == full[:cut]
        exercise(store)
        del store


@pytest.mark.parametrize("seed", range(6))
def test_random_byte_flips_never_crash_the_store(tmp_path, seed):
    rng = random.Random(seed)
    source = open_store(tmp_path / "source")
    fill(source, n=60, seed=seed)
    source.persist()
    good = snapshot_bytes(source)
    for trial in range(40):
        damaged = bytearray(good)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        path = tmp_path / f"flip{trial}"
        path.mkdir()
        for name in os.listdir(store_path(source)):
            if name != "snapshot.bin":
                (path / name).write_bytes((store_path(source) / name).read_bytes())
        (path / "snapshot.bin").write_bytes(bytes(damaged))
        store = open_or_refuse(path, full_check=trial % 8 == 0)
        exercise(store)
        del store


# The child adds, deletes and persists, announcing each call before making it and
# acknowledging it once it returned; the parent kills it at a random moment and checks that
# the store holds every acknowledged change, nothing unacknowledged but the call under way,
# and the right metadata for each point.
CHILD = textwrap.dedent("""
    import json, random, sys
    import vesko
    path, prefix, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    db = vesko.Vesko(path)
    rng = random.Random(seed)
    print("ready", flush=True)
    for step in range(1000000):
        r = rng.random()
        if r < 0.02:
            op = ("persist", "")
        elif r < 0.25:
            op = ("delete", "%s%d" % (prefix, rng.randrange(step + 1)))
        else:
            op = ("add", "%s%d" % (prefix, step))
        print("begin", *op, flush=True)
        if op[0] == "persist":
            db.persist()
        elif op[0] == "delete":
            db.delete(op[1])
        else:
            db.add(op[1], rng.uniform(-80, 80), rng.uniform(-179, 179), json.dumps({"step": step}))
        print("done", flush=True)
""")


def run_and_kill(path, prefix, seed, delay):
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path), prefix, str(seed)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"  # the clock starts once the store is open
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    # Read through the same buffered stream as the first line: lines it already buffered
    # belong to the output too.
    out = child.stdout.read()
    child.wait(timeout=60)
    done, in_flight = [], None
    for line in out.splitlines():
        parts = line.split()
        if parts and parts[0] == "begin" and len(parts) >= 2:
            in_flight = (parts[1], parts[2] if len(parts) > 2 else "")
        elif parts == ["done"] and in_flight is not None:
            done.append(in_flight)
            in_flight = None
    return done, in_flight


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(6))
def test_store_killed_at_any_moment_keeps_every_acknowledged_change(tmp_path, seed):
    path = tmp_path / "s"
    rng = random.Random(seed)
    live = {}  # ext id -> step of its add
    for round_no in range(3):
        prefix = f"r{round_no}-"
        done, in_flight = run_and_kill(path, prefix, seed * 10 + round_no, rng.uniform(0.3, 1.5))
        assert len(done) > 10, "the child did not get going"
        for op, ext_id in done:
            if op == "add":
                live.setdefault(ext_id, int(ext_id[len(prefix):]))
            elif op == "delete":
                live.pop(ext_id, None)
        store = open_store(path)
        seen = {e: json.loads(m)["step"] for e, m in store.search_box(*WORLD)}
        assert store.count() == len(seen)
        extra = set(seen) - set(live)
        missing = set(live) - set(seen)
        if in_flight is not None and in_flight[0] == "add" and in_flight[1] in extra:
            extra.discard(in_flight[1])
            live[in_flight[1]] = seen[in_flight[1]]
        if in_flight is not None and in_flight[0] == "delete" and in_flight[1] in missing:
            missing.discard(in_flight[1])
            live.pop(in_flight[1])
        assert not extra and not missing, (round_no, in_flight, sorted(extra)[:5], sorted(missing)[:5])
        assert all(seen[e] == step for e, step in live.items())
        del store
