"""Handles on a store: a second Vesko on a directory shares the store in this process and is
refused in another (after waiting up to its timeout), close() and the context manager close
one handle and the last of them hands the store over, an object inherited through fork() refuses to work in the child,
vacuum's failures are plain OSError, and a full disk is an error, never a crash."""

import gc
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import vesko

from support import file_digests, live_ids, open_reader, open_store, reopen, store_path

# One call per public method, with arguments that would succeed on an open store.
CALLS = {
    "exists": lambda s: s.exists("{}"),
    "add": lambda s: s.add("z", 1, 2, "{}"),
    "persist": lambda s: s.persist(),
    "sync": lambda s: s.sync(),
    "add_many": lambda s: s.add_many(["z"], [1], [2], ["{}"]),
    "delete_many": lambda s: s.delete_many(["a"]),
    "count": lambda s: s.count(),
    "delete": lambda s: s.delete("a"),
    "delete_by_filter": lambda s: s.delete_by_filter('{"k": "v"}'),
    "vacuum": lambda s: s.vacuum(),
    "search_knn": lambda s: s.search_knn(1, 2, 3),
    "search_box": lambda s: s.search_box((2, 1), (0, 3)),
    "search_radius": lambda s: s.search_radius(1, 2, 1000),
    "search_polygon": lambda s: s.search_polygon([(0, 0), (0, 3), (3, 3)]),
    "get": lambda s: s.get("a"),
    "get_many": lambda s: s.get_many(["a"]),
    "search_knn_many": lambda s: s.search_knn_many([1.0], [2.0], 3),
    "search_radius_many": lambda s: s.search_radius_many([1.0], [2.0], 1000),
    "upsert": lambda s: s.upsert("a", 1, 2, "{}"),
    "items": lambda s: s.items(),
    "export": lambda s: s.export(os.path.join(os.path.dirname(store_path(s)), "out.geojson")),
    "__enter__": lambda s: s.__enter__(),
    "refresh": lambda s: s.refresh(),
}
# The calls a reader refuses first, in any process, as read-only.
CHANGES = {"add", "persist", "sync", "add_many", "delete_many", "delete", "delete_by_filter",
           "vacuum", "upsert"}
# Methods that are allowed on a closed object, or in a forked child.
ALWAYS_ALLOWED = {"close", "__exit__"}


def public_methods():
    return sorted(
        name
        for name in vars(vesko.Vesko)
        if callable(getattr(vesko.Vesko, name))
        and (not name.startswith("_") or name in ("__enter__", "__exit__"))
    )


def test_every_method_has_a_call_in_the_refusal_tables():
    # A method added later must be added to CALLS, so that closing and forking cover it.
    assert set(public_methods()) == set(CALLS) | ALWAYS_ALLOWED


@pytest.fixture
def filled(store):
    store.add("a", 1, 2, '{"k": "v"}')
    store.add("b", 3, 4, '{"k": "w"}')
    return store


def test_second_object_in_another_process_is_refused_and_changes_nothing(filled):
    path = store_path(filled)
    before = file_digests(path)
    script = textwrap.dedent(
        """
        import sys, vesko
        try:
            vesko.Vesko(sys.argv[1])
        except BlockingIOError as e:
            print(type(e).__name__, e.errno, e)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script, str(path)], capture_output=True, text=True, check=True
    ).stdout
    assert out.startswith("BlockingIOError 11 ")
    assert str(path) in out and "open elsewhere" in out
    assert file_digests(path) == before
    assert filled.count() == 2


def test_close_hands_the_store_over(filled):
    path = store_path(filled)
    filled.close()
    filled.close()  # closing twice is fine
    other = vesko.Vesko(str(path))
    assert live_ids(other, ["a", "b"]) == {"a", "b"}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_closed_store_refuses_every_call_and_changes_nothing(filled, name):
    path = store_path(filled)
    filled.close()
    before = file_digests(path)
    with pytest.raises(ValueError, match="^store is closed$"):
        CALLS[name](filled)
    assert file_digests(path) == before
    assert live_ids(open_store(path), ["a", "b", "z"]) == {"a", "b"}


def test_with_block_closes_the_store_and_lets_the_exception_through(store_dir):
    with pytest.raises(KeyError):
        with vesko.Vesko(str(store_dir)) as db:
            db.add("a", 1, 2, "{}")
            raise KeyError("boom")
    with pytest.raises(ValueError, match="store is closed"):
        db.count()
    with vesko.Vesko(str(store_dir)) as again:
        assert again.count() == 1
        assert again.__exit__(None, None, None) is False


# fork(): the child shares the parent's lock and files, so the object refuses to work there.

FORK_ERROR = "opened by another process"


def in_child(body):
    """Runs body() in a forked child; returns what it wrote to the pipe."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            os.write(write_end, body().encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        out = pipe.read()
    os.waitpid(pid, 0)
    return out


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.parametrize("read_only", [False, True], ids=["writer", "reader"])
def test_object_used_after_fork_refuses_every_call_in_the_child(filled, read_only):
    path = store_path(filled)
    inherited = open_reader(path) if read_only else filled
    before = file_digests(path)

    def every_call():
        lines = []
        for name, call in sorted(CALLS.items()):
            try:
                call(inherited)
                lines.append(f"{name}: no error")
            except ValueError as e:
                expected = "read_only=True" if read_only and name in CHANGES else FORK_ERROR
                lines.append(f"{name}: {'ok' if expected in str(e) else e}")
        return "\n".join(lines)

    assert in_child(every_call).splitlines() == [f"{name}: ok" for name in sorted(CALLS)]
    assert file_digests(path) == before
    filled.add("c", 5, 6, "{}")
    assert live_ids(inherited, ["a", "b", "c", "z"]) == {"a", "b", "c"}
    assert live_ids(reopen(filled), ["a", "b", "c", "z"]) == {"a", "b", "c"}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_child_opens_the_store_itself_once_the_parent_closed_it(filled):
    path = store_path(filled)

    def open_after_parent():
        # The inherited object is dropped here without harming the parent's files.
        filled.close()
        import time

        for _ in range(200):
            try:
                own = vesko.Vesko(str(path))
            except BlockingIOError:
                time.sleep(0.01)
                continue
            own.add("from-child", 7, 8, "{}")
            own.close()
            return "added"
        return "never got the store"

    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            os.write(write_end, open_after_parent().encode())
        finally:
            os._exit(0)
    os.close(write_end)
    filled.add("from-parent", 9, 10, "{}")
    filled.close()
    with os.fdopen(read_end) as pipe:
        assert pipe.read() == "added"
    os.waitpid(pid, 0)
    assert live_ids(open_store(path), ["a", "b", "from-parent", "from-child"]) == {
        "a",
        "b",
        "from-parent",
        "from-child",
    }


def test_vacuum_of_a_removed_directory_raises_plain_oserror(filled):
    shutil.rmtree(store_path(filled))
    with pytest.raises(OSError) as raised:
        filled.vacuum()
    assert type(raised.value) is OSError
    assert str(raised.value) == "No such file or directory (os error 2)"
    assert raised.value.errno == 2


# A full disk, on a small tmpfs mounted in a user namespace of its own.

FULL_DISK_SCRIPT = textwrap.dedent(
    """
    import sys, vesko
    path = sys.argv[1]
    db = vesko.Vesko(path)
    acknowledged = []
    failure = None
    for i in range(300000):
        try:
            db.add(f"p{i}", i % 80, i % 170, "{}")
        except OSError as e:
            failure = e
            break
        acknowledged.append(f"p{i}")
    print(type(failure).__name__, failure.errno, len(acknowledged))
    # The store keeps working: what it holds is what was acknowledged.
    assert db.count() == len(acknowledged)
    db.close()
    again = vesko.Vesko(path)
    assert again.count() == len(acknowledged), (again.count(), len(acknowledged))
    box = again.search_box((90, -180), (-90, 180))
    assert sorted(i for i, _ in box) == sorted(acknowledged)
    print("reopened", again.count())
    """
)


def run_on_small_tmpfs(tmp_path, size, script):
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    mount = tmp_path / "small"
    mount.mkdir()
    # Root mounts in a mount namespace of its own; anyone else needs a user namespace too,
    # which some sandboxes and emulators (qemu-user's process has a thread of its own) refuse.
    unshare = ["unshare", "--mount"]
    if os.geteuid() != 0:
        unshare[1:1] = ["--user", "--map-root-user"]
    probe = subprocess.run([*unshare, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {probe.stderr.strip()}")
    command = (
        f"mount -t tmpfs -o size={size} tmpfs {mount} && "
        f"exec {sys.executable} -c \"$0\" {mount}/store"
    )
    return subprocess.run(
        [*unshare, "sh", "-c", command, script],
        capture_output=True,
        text=True,
        timeout=600,
    )


@pytest.mark.parametrize(
    "size,where",
    [("10m", "growing the slot files"), ("3m", "writing records")],
    ids=["slot-growth", "records"],
)
def test_full_disk_fails_the_add_and_the_store_keeps_every_acknowledged_point(tmp_path, size, where):
    done = run_on_small_tmpfs(tmp_path, size, FULL_DISK_SCRIPT)
    assert done.returncode == 0, (where, done.returncode, done.stderr[-2000:])
    first, second = done.stdout.splitlines()
    kind, errno, acknowledged = first.split()
    assert (kind, errno) == ("OSError", "28")
    assert second == f"reopened {acknowledged}"
    if where == "growing the slot files":
        assert int(acknowledged) == 100000


# Handles in one process share the open store.


@pytest.mark.parametrize(
    "spelling",
    [
        lambda p: str(p),
        lambda p: p,
        lambda p: f"{p.parent}/./{p.name}/",
        lambda p: str(p.parent / "link"),
    ],
    ids=["same_text", "pathlib", "other_text", "symlink"],
)
def test_second_object_in_the_process_shares_the_store(filled, spelling):
    path = store_path(filled)
    os.symlink(path, path.parent / "link")
    second = vesko.Vesko(spelling(path))
    second.add("c", 5, 6, "{}")
    assert live_ids(filled, ["a", "b", "c"]) == {"a", "b", "c"}
    filled.delete("a")
    assert second.count() == 2
    filled.close()
    with pytest.raises(ValueError, match="^store is closed$"):
        filled.count()
    assert second.count() == 2  # the other handle goes on
    with pytest.raises(BlockingIOError):
        subprocess_open(path)  # still open: the last handle holds the directory
    with second:
        second.add("d", 7, 8, "{}")
    with pytest.raises(ValueError, match="^store is closed$"):
        second.count()
    assert subprocess_open(path) == "opened 3"


def subprocess_open(path):
    """Opens the store in another process; raises BlockingIOError as that process saw it."""
    script = textwrap.dedent(
        """
        import sys, vesko
        try:
            print("opened", vesko.Vesko(sys.argv[1]).count())
        except BlockingIOError as e:
            print("refused", e)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script, str(path)], capture_output=True, text=True, check=True
    ).stdout.strip()
    if out.startswith("refused"):
        raise BlockingIOError(out)
    return out


def test_store_closes_when_its_last_handle_is_collected(filled):
    path = store_path(filled)
    second = vesko.Vesko(str(path))
    filled.close()
    del second
    gc.collect()
    assert subprocess_open(path) == "opened 2"


def test_threads_opening_one_new_directory_at_once_share_one_store(tmp_path):
    path = tmp_path / "new" / "store"
    handles, errors = [], []
    start = threading.Barrier(8)

    def open_one(i):
        start.wait()
        try:
            db = vesko.Vesko(str(path))
            db.add(f"p{i}", 1, 2, "{}")
            handles.append(db)
        except Exception as e:  # collected for the assertion below
            errors.append(e)

    threads = [threading.Thread(target=open_one, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert {db.count() for db in handles} == {8}


def test_salvage_of_a_directory_open_in_the_process_is_refused(filled):
    path = store_path(filled)
    before = file_digests(path)
    with pytest.raises(BlockingIOError, match="is open in this process") as refused:
        vesko.salvage(str(path))
    assert str(path) in str(refused.value)
    assert file_digests(path) == before
    assert filled.count() == 2


# timeout=: waiting for another process's handle.

HOLDER = textwrap.dedent(
    """
    import sys, time, vesko
    db = vesko.Vesko(sys.argv[1])
    print("holding", flush=True)
    hold_s = float(sys.argv[2])
    if hold_s >= 0:
        time.sleep(hold_s)
        db.close()
    else:
        sys.stdin.read()
    """
)


def start_holder(path, hold_s):
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLDER, str(path), str(hold_s)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )
    assert holder.stdout.readline() == "holding\n"
    return holder


def test_timeout_waits_for_another_process_to_close(store_dir):
    holder = start_holder(store_dir, 0.3)
    try:
        started = time.monotonic()
        with vesko.Vesko(str(store_dir), timeout=5) as db:
            waited = time.monotonic() - started
            assert db.count() == 0
        assert 0.1 < waited < 5
    finally:
        holder.wait()


def test_timeout_that_passes_raises_blocking_io_error_saying_how_long(store_dir):
    holder = start_holder(store_dir, -1)
    try:
        before = file_digests(store_dir)
        started = time.monotonic()
        with pytest.raises(BlockingIOError, match=r"waited 0\.1 s") as refused:
            vesko.Vesko(str(store_dir), timeout=0.1)
        assert 0.09 < time.monotonic() - started < 2
        assert refused.value.errno == 11 and str(store_dir) in str(refused.value)
        assert file_digests(store_dir) == before
    finally:
        holder.communicate("")
    # The helper that went on waiting let the lock go once it got it.
    assert subprocess_open(store_dir) == "opened 0"


LOOPER = textwrap.dedent(
    """
    import sys, time, vesko
    end = time.monotonic() + float(sys.argv[2])
    print("looping", flush=True)
    while time.monotonic() < end:
        vesko.Vesko(sys.argv[1]).close()
    """
)


def test_timeout_is_not_locked_out_by_a_process_opening_and_closing_in_a_loop(store_dir):
    vesko.Vesko(str(store_dir)).close()
    looper = subprocess.Popen(
        [sys.executable, "-c", LOOPER, str(store_dir), "30"], stdout=subprocess.PIPE, text=True
    )
    try:
        assert looper.stdout.readline() == "looping\n"
        for _ in range(5):
            started = time.monotonic()
            vesko.Vesko(str(store_dir), timeout=10).close()
            assert time.monotonic() - started < 5
    finally:
        looper.kill()
        looper.wait()
