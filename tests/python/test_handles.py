"""One handle per store: a second Vesko on a directory is refused, close() and the context
manager hand a store over, an object inherited through fork() refuses to work in the child,
vacuum's failures are plain OSError, and a full disk is an error, never a crash."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import vesko

from support import file_digests, live_ids, open_store, reopen, store_path

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
def test_object_used_after_fork_refuses_every_call_in_the_child(filled):
    path = store_path(filled)
    before = file_digests(path)

    def every_call():
        lines = []
        for name, call in sorted(CALLS.items()):
            try:
                call(filled)
                lines.append(f"{name}: no error")
            except ValueError as e:
                lines.append(f"{name}: {'ok' if FORK_ERROR in str(e) else e}")
        return "\n".join(lines)

    assert in_child(every_call).splitlines() == [f"{name}: ok" for name in sorted(CALLS)]
    assert file_digests(path) == before
    filled.add("c", 5, 6, "{}")
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
    probe = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--mount", "true"], capture_output=True
    )
    if probe.returncode != 0:
        pytest.skip("user namespaces are not available")
    command = (
        f"mount -t tmpfs -o size={size} tmpfs {mount} && "
        f"exec {sys.executable} -c \"$0\" {mount}/store"
    )
    return subprocess.run(
        ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", command, script],
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
