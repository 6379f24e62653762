"""Readers (read_only=True): in other processes they see each acknowledged change, they refuse
every change before looking at its arguments, and they write nothing, even where they could."""

import hashlib
import io
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

import vesko

# A reader in a process of its own: it prints what it sees for each line the test sends it.
READER = textwrap.dedent("""
    import json, sys, vesko
    r = vesko.Vesko(sys.argv[1], read_only=True)
    for line in sys.stdin:
        pts = sorted([e, m] for e, m in r.search_box((90, -180), (-90, 180)))
        print(json.dumps([len(r), pts, r.get("a")]), flush=True)
""")


class ReaderProcess:
    def __init__(self, path, user=None, prefix=()):
        prefix = list(prefix)
        if user is not None:
            prefix += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        self.child = subprocess.Popen(prefix + [sys.executable, "-c", READER, str(path)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, env=env)

    def ask(self):
        self.child.stdin.write("?\n")
        self.child.stdin.flush()
        line = self.child.stdout.readline()
        assert line, self.child.stderr.read()
        return json.loads(line)

    def close(self):
        self.child.stdin.close()
        assert self.child.wait(timeout=30) == 0, self.child.stderr.read()


def seen_by_writer(w):
    return [len(w), sorted([e, m] for e, m in w.search_box((90, -180), (-90, 180))),
            None if w.get("a") is None else list(w.get("a"))]


def checksums(path):
    return {p.name: (hashlib.sha256(p.read_bytes()).hexdigest(), p.stat().st_mtime_ns)
            for p in sorted(Path(path).iterdir())}


# Each step changes the store as one of the writer's calls does; the reader must see the result
# at its next call, whatever the call replaced or cut.
STEPS = [
    lambda w: w.add("a", 1.5, 2.5, '{"k": "v"}'),
    lambda w: w.add_many([f"m{i}" for i in range(50)], [0.1 * i for i in range(50)],
                         [0.2 * i for i in range(50)], ['{"n": %d}' % i for i in range(50)]),
    lambda w: w.upsert("a", 3.0, 4.0, '{"k": "w"}'),
    lambda w: w.persist(),
    lambda w: w.delete_many([f"m{i}" for i in range(0, 50, 2)]),
    lambda w: w.delete_by_filter('{"n": {"$gte": 40}}'),
    lambda w: w.vacuum(),
    lambda w: w.delete("m1"),
    lambda w: w.sync(),
]


def test_a_reader_in_another_process_sees_each_acknowledged_change(tmp_path):
    path = tmp_path / "s"
    w = vesko.Vesko(str(path))
    reader = ReaderProcess(path)
    try:
        assert reader.ask() == seen_by_writer(w)
        for step in STEPS:
            step(w)
            assert reader.ask() == seen_by_writer(w)
        # A new writer (replaying the log, cutting nothing) and the reader follows it too.
        w.add("after", 5, 5, "{}")
        w.close()
        with open(path / "wal.bin", "ab") as log:
            log.write(b"\x01\x02torn")
        w = vesko.Vesko(str(path))
        w.add("again", 6, 6, "{}")
        assert reader.ask() == seen_by_writer(w)
    finally:
        reader.close()
        w.close()


MUTATIONS = {
    "add": lambda r: r.add("x", 1, 1, "not json"),
    "upsert": lambda r: r.upsert("x", 1, 1, "{}"),
    "delete": lambda r: r.delete(7),
    "delete_by_filter": lambda r: r.delete_by_filter("{}"),
    "add_many": lambda r: r.add_many(["x"], [1], [1], ["{}"]),
    "delete_many": lambda r: r.delete_many(["a"]),
    "sync": lambda r: r.sync(),
    "persist": lambda r: r.persist(),
    "vacuum": lambda r: r.vacuum(),
    "import_geojson": lambda r: vesko.import_geojson("/nonexistent.json", r),
    "import_parquet": lambda r: vesko.import_parquet("/nonexistent.parquet", r),
}


@pytest.mark.parametrize("name", sorted(MUTATIONS))
def test_every_change_on_a_reader_is_refused_first_and_changes_nothing(tmp_path, name):
    path = tmp_path / "s"
    with vesko.Vesko(str(path)) as w:
        w.add("a", 1, 2, '{"k": 1}')
        w.delete("a")
        w.add("b", 1, 2, "{}")
    before = checksums(path)
    r = vesko.Vesko(str(path), read_only=True)
    with pytest.raises(io.UnsupportedOperation, match="read_only=True") as raised:
        MUTATIONS[name](r)
    assert isinstance(raised.value, OSError) and str(path) in str(raised.value)
    assert r.get("b") is not None and len(r) == 1
    r.close()
    assert checksums(path) == before


def test_a_path_that_is_not_a_store_is_refused_and_nothing_is_made(tmp_path):
    (tmp_path / "empty").mkdir()
    for path in (tmp_path / "missing", tmp_path / "empty", tmp_path / "missing" / "deeper"):
        with pytest.raises(FileNotFoundError, match=str(path)):
            vesko.Vesko(str(path), read_only=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty"]
    assert list((tmp_path / "empty").iterdir()) == []
    with pytest.raises(TypeError, match="read_only"):
        vesko.Vesko(str(tmp_path / "empty"), read_only="yes")


def test_a_reader_refuses_damage_and_keeps_its_state_until_it_is_gone(tmp_path):
    path = tmp_path / "s"
    w = vesko.Vesko(str(path))
    w.add("a", 1, 2, "{}")
    w.persist()
    r = vesko.Vesko(str(path), read_only=True)
    w.close()
    good = (path / "snapshot.bin").read_bytes()
    (path / "snapshot.bin").write_bytes(good[:-3])
    with pytest.raises(OSError, match="damaged") as raised:
        vesko.Vesko(str(path), read_only=True)
    assert raised.value.errno == 5
    # The reader has its state; it does not notice the damage until a writer's event asks it
    # to read the files again, and a writer refuses the damaged store as well.
    assert r.get("a") is not None
    (path / "snapshot.bin").write_bytes(good)
    with vesko.Vesko(str(path)) as w:
        w.add("b", 3, 4, "{}")
    assert len(r) == 2
    r.close()


def _non_root_user():
    if os.geteuid() != 0:
        return None
    if shutil.which("setpriv") is None:
        return None
    return 65534  # nobody


def test_readers_on_a_read_only_directory_keep_up_and_write_nothing():
    # Outside pytest's own folders, which only their owner may enter.
    base = Path(tempfile.mkdtemp(prefix="vesko-readers-"))
    os.chmod(base, 0o755)
    path = base / "s"
    w = vesko.Vesko(str(path))
    w.add("a", 1, 2, '{"k": 1}')
    w.persist()
    w.add("b", 3, 4, "{}")
    modes = {p: p.stat().st_mode for p in [path, *path.iterdir()]}
    subprocess.run(["chmod", "-R", "a-w", str(path)], check=True)
    user = _non_root_user()
    readers = [ReaderProcess(path)] + ([ReaderProcess(path, user)] if user is not None else [])
    try:
        before = {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in path.iterdir()}
        for reader in readers:
            assert reader.ask() == seen_by_writer(w)
        # The owner's writer goes on (root writes through the modes; the files' contents are
        # what the readers must follow, and they must not be what changes them).
        w.add("c", 5, 6, "{}")
        w.persist()
        w.upsert("a", 7, 8, "{}")
        for reader in readers:
            assert reader.ask() == seen_by_writer(w)
        after_writer = {p.name: hashlib.sha256(p.read_bytes()).hexdigest()
                        for p in path.iterdir()}
        assert after_writer != before
        for reader in readers:
            reader.close()
        readers = []
        assert {p.name: hashlib.sha256(p.read_bytes()).hexdigest()
                for p in path.iterdir()} == after_writer
    finally:
        for reader in readers:
            reader.child.kill()
        w.close()
        for p, mode in modes.items():
            if p.exists():
                os.chmod(p, stat.S_IMODE(mode))
        shutil.rmtree(base)
    if user is None:
        pytest.skip("no non-root user to run a reader as (needs root and setpriv)")


def test_readers_on_a_read_only_bind_mount_keep_up_and_write_nothing(tmp_path):
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    path, view = tmp_path / "s", tmp_path / "ro"
    view.mkdir()
    w = vesko.Vesko(str(path))
    w.add("a", 1, 2, '{"k": 1}')
    w.persist()
    w.add("b", 3, 4, "{}")
    # Each reader in a mount namespace of its own, where `view` shows the store read-only
    # (anyone but root needs a user namespace too, which some sandboxes refuse).
    unshare = ["unshare", "--mount"] + (["--user", "--map-root-user"] if os.geteuid() else [])
    mounted = ('mount --bind "$1" "$2" && mount -o remount,ro,bind "$2" && '
               '! touch "$2/probe" 2>/dev/null && shift 2 && exec "$@"')
    probe = subprocess.run([*unshare, "sh", "-c", mounted, "sh", path, view, "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot make a read-only bind mount here: {probe.stderr.strip()}")
    readers = [ReaderProcess(view, prefix=[*unshare, "sh", "-c", mounted, "sh", path, view])
               for _ in range(2)]
    try:
        for reader in readers:
            assert reader.ask() == seen_by_writer(w)
        for step in (lambda: w.add("c", 5, 6, "{}"), w.persist,
                     lambda: w.upsert("a", 7, 8, "{}"), w.vacuum, lambda: w.delete("b")):
            step()
            for reader in readers:
                assert reader.ask() == seen_by_writer(w)
        written = checksums(path)
        for reader in readers:
            reader.close()
        readers = []
        assert checksums(path) == written
    finally:
        for reader in readers:
            reader.child.kill()
        w.close()


def test_refresh_is_the_catch_up_and_a_writer_has_nothing_to_catch(tmp_path):
    path = tmp_path / "s"
    w = vesko.Vesko(str(path))
    r = vesko.Vesko(str(path), read_only=True)
    assert w.refresh() is None and not w.read_only and r.read_only
    w.add("a", 1, 2, "{}")
    assert r.refresh() is None
    assert r.get("a") == (1.0, 2.0, "{}")
    assert repr(r) == f"Vesko({str(path)!r}, read_only=True)"
    r.close()
    with pytest.raises(ValueError, match="closed"):
        r.refresh()
    w.close()
