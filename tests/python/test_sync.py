"""sync (the log forced to disk, no snapshot written) and persist leaving an unchanged snapshot
alone."""

import os
import subprocess
import sys
import textwrap

import pytest

from support import file_digests, open_store, reopen, store_path, wal_bytes

WORLD = ((90.0, -180.0), (-90.0, 180.0))


def snapshot_identity(store):
    """Inode, modification time and bytes of snapshot.bin: persist writes a new file and renames
    it over the old one, so a rewrite changes the inode even when the bytes come out the same."""
    path = store_path(store) / "snapshot.bin"
    st = path.stat()
    return st.st_ino, st.st_mtime_ns, path.read_bytes()


def fill(store):
    store.add("a", 1, 3, '{"kind": "x", "n": 1}')
    store.add("b", 2, 4, "{}")


def test_sync_writes_no_snapshot_and_leaves_the_log_as_it_is(store):
    fill(store)
    log = wal_bytes(store_path(store))
    assert store.sync() is None
    assert not (store_path(store) / "snapshot.bin").exists()
    assert wal_bytes(store_path(store)) == log
    store = reopen(store)
    assert store.count() == 2 and store.exists('{"kind": "x"}')


def test_changes_synced_after_a_persist_survive_a_killed_process(tmp_path):
    """The child persists, changes more, syncs and is killed without closing; the next open
    holds the snapshot plus the synced changes, replayed from the log alone."""
    path = tmp_path / "s"
    child = textwrap.dedent(f"""
        import os, signal, vesko
        db = vesko.Vesko({str(path)!r})
        for n, ext_id in enumerate("abc"):
            db.add(ext_id, n + 1, n + 4, "{{}}")
        db.persist()
        db.delete("b")
        db.add("d", 7, 8, '{{"k": "v"}}')
        db.upsert("a", 9, 9, '{{"k": "w"}}')
        db.sync()
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    result = subprocess.run([sys.executable, "-c", child], timeout=60)
    assert result.returncode == -9
    store = open_store(path)
    assert [hit[0] for hit in store.search_box(*WORLD)] == ["c", "d", "a"]
    assert store.get("a") == (9.0, 9.0, '{"k":"w"}')
    assert store.exists('{"k": "v"}') and not store.exists('{"_id": "b"}')


@pytest.mark.parametrize("depth", [1, 3], ids=["store-dir", "nested-new-dirs"])
def test_sync_works_on_a_new_store_before_and_after_changes(tmp_path, depth):
    path = tmp_path.joinpath(*[f"level{n}" for n in range(depth)])
    store = open_store(path)
    store.sync()
    store.add("a", 1, 2, "{}")
    store.sync()
    store.persist()
    store.sync()
    store.add("b", 1, 2, "{}")
    store.sync()
    store = reopen(store)
    assert store.count() == 2


# persist leaves an unchanged snapshot alone


def add_new(store):
    store.add("new", 5, 5, "{}")


def delete_live(store):
    store.delete("a")


def upsert_live(store):
    store.upsert("a", 9, 9, '{"kind": "y"}')


def delete_by_filter_some(store):
    assert store.delete_by_filter('{"kind": "x"}') == 1


def vacuum(store):
    store.vacuum()


def delete_missing(store):
    store.delete("never-added")


def add_live(store):
    store.add("a", 9, 9, '{"other": 1}')


def delete_by_filter_none(store):
    assert store.delete_by_filter('{"kind": "nothing"}') == 0


def reads_and_sync(store):
    store.search_radius(1, 2, 1000)
    store.count()
    store.get("a")
    store.sync()


CHANGES = [
    (add_new, True),
    (delete_live, True),
    (upsert_live, True),
    (delete_by_filter_some, True),
    (vacuum, True),
    (delete_missing, False),
    (add_live, False),
    (delete_by_filter_none, False),
    (reads_and_sync, False),
]


@pytest.mark.parametrize("change,rewrites", CHANGES, ids=[c.__name__ for c, _ in CHANGES])
def test_persist_rewrites_the_snapshot_only_after_a_change(store, change, rewrites):
    fill(store)
    store.persist()
    before = snapshot_identity(store)
    store.persist()
    assert snapshot_identity(store) == before
    change(store)
    store.persist()
    assert (snapshot_identity(store) != before) == rewrites
    # Either way the log is empty afterwards, and the store reopens with what it held.
    assert wal_bytes(store_path(store)) == b""
    seen = store.search_box(*WORLD)
    store = reopen(store)
    assert store.search_box(*WORLD) == seen


@pytest.mark.parametrize("record_after_persist,rewrites", [
    (None, False),
    ("add", True),
    ("add-live", True),
], ids=["empty-log", "records-replayed", "no-op-record-replayed"])
def test_store_reopened_with_records_in_its_log_persists_again(store, record_after_persist,
                                                               rewrites):
    """An open that replayed any record rewrites the snapshot at the next persist; one that
    loaded the snapshot and replayed nothing does not."""
    fill(store)
    store.persist()
    if record_after_persist == "add":
        store.add("c", 1, 2, "{}")
    elif record_after_persist == "add-live":
        store.add("a", 1, 2, "{}")
    store = reopen(store)
    before = snapshot_identity(store)
    store.persist()
    assert (snapshot_identity(store) != before) == rewrites
    assert store.count() == (3 if record_after_persist == "add" else 2)


def test_first_persist_of_a_new_empty_store_writes_the_snapshot(store):
    store.persist()
    assert (store_path(store) / "snapshot.bin").stat().st_size == 80


def test_unchanged_persist_leaves_every_file_alone(store):
    fill(store)
    store.persist()
    before = file_digests(store_path(store))
    identity = snapshot_identity(store)
    store.persist()
    assert file_digests(store_path(store)) == before
    assert snapshot_identity(store) == identity


def test_persist_after_only_no_op_records_empties_the_log_and_keeps_the_state(store):
    fill(store)
    store.persist()
    store.add("a", 50, 50, "{}")
    store.delete("missing")
    assert wal_bytes(store_path(store)) != b""
    store.persist()
    assert wal_bytes(store_path(store)) == b""
    store = reopen(store)
    assert store.get("a") == (1.0, 3.0, '{"kind":"x","n":1}')
    assert store.count() == 2
