"""The write-ahead log: the bytes of each record, what each call appends, and what a failed
write leaves behind (provoked in a child process with a file-size limit)."""

import json
import struct
import subprocess
import sys

import pytest

from support import (
    delete_record,
    enc_str,
    file_digests,
    id_filter,
    insert_record,
    live_ids,
    open_store,
    reopen,
    store_path,
    wal_bytes,
)


def test_insert_record_of_the_reference_point_is_32_bytes(store):
    store.add("abc", 1.0, 2.0, "{}")
    assert wal_bytes(store_path(store)) == bytes.fromhex(
        "00000000 0300000000000000 616263 0000803f 00000040 0000000000000000 00"
    )


def test_delete_record_of_the_reference_id_is_15_bytes(store):
    store.delete("abc")
    assert wal_bytes(store_path(store)) == bytes.fromhex("01000000 0300000000000000 616263")


@pytest.mark.parametrize(
    "ext_id,lat,lon,skip_index",
    [
        ("h\u00e9", -12.34, 181.5, None),
        ("", 0.0, -0.0, None),
        ("p", 1, 2, []),
        ("p", 1, 2, ["a", "bc", "\u00e9"]),
        ("p", 1, 2, ("a", "a")),
    ],
    ids=["non_ascii_id", "empty_id_and_zeros", "empty_skip_list", "skip_names",
         "repeated_skip_name"],
)
def test_insert_record_layout(store, ext_id, lat, lon, skip_index):
    store.add(ext_id, lat, lon, "{}", skip_index)
    skipped = None if skip_index is None else list(skip_index)
    assert wal_bytes(store_path(store)) == insert_record(ext_id, lat, lon, skipped)


def test_insert_record_holds_metadata_entries_in_key_order(store):
    store.add("p", 1, 2, '{"b": "y", "a": "x"}', ["b"])
    record = wal_bytes(store_path(store))
    head = struct.pack("<I", 0) + enc_str("p") + struct.pack("<ff", 1, 2)
    assert record.startswith(head + struct.pack("<Q", 2) + enc_str("a"))
    assert record.index(enc_str("b"), len(head)) > record.index(enc_str("a"))
    assert record.endswith(b"\x01" + struct.pack("<Q", 1) + enc_str("b"))


def test_delete_record_layout_for_non_ascii_id(store):
    store.delete("\u00e9\U0001f600")
    assert wal_bytes(store_path(store)) == struct.pack("<IQ", 1, 6) + "\u00e9\U0001f600".encode()


def test_add_then_delete_logs_insert_then_delete(store):
    store.add("abc", 1.0, 2.0, "{}")
    store.delete("abc")
    assert wal_bytes(store_path(store)) == insert_record("abc", 1.0, 2.0) + delete_record("abc")
    store = reopen(store)
    assert store.count() == 0
    assert not store.exists(id_filter("abc"))


# Failed writes. The child opens the store, lowers its file-size limit to the log's size plus
# `room` bytes, runs the steps and reports each outcome.

CHILD = r"""
import json, os, resource, signal, sys
import vesko

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
path, steps = sys.argv[1], json.loads(sys.argv[2])
wal = os.path.join(path, "wal.bin")
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
store = vesko.Vesko(path)
out = []
for step in steps:
    if step[0] == "limit":
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(wal) + step[1], hard))
    elif step[0] == "unlimit":
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    elif step[0] == "live":
        out.append(sorted(i for i in step[1] if store.exists(json.dumps({"_id": i}))))
    else:
        try:
            out.append(["ok", getattr(store, step[0])(*step[1:])])
        except BaseException as e:
            out.append([type(e).__name__, str(e), getattr(e, "errno", None)])
        out.append({"wal": os.path.getsize(wal), "count": store.count()})
print(json.dumps(out))
"""


def run_child(path, steps):
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), json.dumps(steps)],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    return json.loads(result.stdout)


FILE_TOO_LARGE = ["OSError", "File too large (os error 27)", 27]


@pytest.mark.parametrize("room", [0, 1, 10, 31], ids=lambda r: f"room{r}")
def test_failed_add_leaves_store_and_log_unchanged(store, room):
    store.add("a", 1, 2, '{"k": "v"}')
    path = store_path(store)
    log = wal_bytes(path)
    store.close()
    out = run_child(path, [
        ["limit", room], ["add", "abc", 1.0, 2.0, "{}"], ["live", ["a", "abc"]],
        ["unlimit"], ["add", "later", 3, 4, "{}"],
    ])
    assert out[0] == FILE_TOO_LARGE
    assert out[1] == {"wal": len(log), "count": 1}
    assert out[2] == ["a"]
    assert out[3][0] == "ok"
    assert wal_bytes(path) == log + insert_record("later", 3, 4)
    store = open_store(path)
    assert live_ids(store, ["a", "abc", "later"]) == {"a", "later"}


def test_failed_add_changes_no_data_file(store):
    store.add("a", 1, 2, '{"k": "v"}')
    path = store_path(store)
    before = file_digests(path)
    store.close()
    out = run_child(path, [["limit", 5], ["add", "b", 1.0, 2.0, '{"k": "w"}'],
                           ["delete", "a"], ["add", "a", 1.0, 2.0, "{}"]])
    assert [out[0], out[2], out[4]] == [FILE_TOO_LARGE] * 3
    assert file_digests(path) == before


def test_failed_delete_keeps_the_point(store):
    store.add("a", 1, 2, "{}")
    store.add("b", 1, 2, "{}")
    path = store_path(store)
    log = wal_bytes(path)
    store.close()
    out = run_child(path, [
        ["limit", 7], ["delete", "a"], ["live", ["a", "b"]], ["unlimit"], ["delete", "b"],
    ])
    assert out[:3] == [FILE_TOO_LARGE, {"wal": len(log), "count": 2}, ["a", "b"]]
    assert out[3:] == [["ok", None], {"wal": len(log) + 13, "count": 1}]
    assert wal_bytes(path) == log + delete_record("b")
    assert live_ids(open_store(path), ["a", "b"]) == {"a"}


@pytest.mark.slow
@pytest.mark.parametrize("batches_written", [0, 1, 2], ids=lambda n: f"{n}_batches_written")
def test_failed_delete_by_filter_deletes_nothing_and_cuts_its_records_back(store, batches_written):
    ids = [f"p{n:05d}" for n in range(1500)]
    for ext_id in ids:
        store.add(ext_id, 1, 2, '{"k": "v"}')
    path = store_path(store)
    log = wal_bytes(path)
    store.close()
    record = len(delete_record(ids[0]))
    # Records reach the file a buffer-full at a time (the fewest whole records that fill 8192
    # bytes); the write that fails comes after `batches_written` of them, and the call then
    # cuts every one of its records back and applies no deletion.
    batch = -(-8192 // record)
    room = batches_written * batch * record + 2 * record
    out = run_child(path, [["limit", room], ["delete_by_filter", '{"k": "v"}'], ["live", ids]])
    assert out[0] == FILE_TOO_LARGE
    assert wal_bytes(path) == log
    assert out[1:] == [{"wal": len(log), "count": 1500}, ids]
    store = open_store(path)
    assert sorted(live_ids(store, ids)) == ids
    assert store.delete_by_filter('{"k": "v"}') == 1500
    assert reopen(store).count() == 0


def test_failed_data_file_write_fails_the_add_before_anything_is_logged(store_dir):
    # meta.bin already holds more bytes than the limit allows: the metadata record cannot be
    # written, and since records are written before the log record, the add leaves no trace.
    store_dir.mkdir()
    (store_dir / "meta.bin").write_bytes(bytes(100_000))
    out = run_child(store_dir, [
        ["limit", 50_000], ["add", "a", 1.0, 2.0, '{"k": "v"}'], ["live", ["a"]],
        ["unlimit"], ["add", "b", 3.0, 4.0, "{}"], ["live", ["a", "b"]],
    ])
    assert out[0] == FILE_TOO_LARGE
    assert out[1:3] == [{"wal": 0, "count": 0}, []]
    assert out[3:] == [["ok", None], {"wal": len(insert_record("b", 3, 4)), "count": 1}, ["b"]]
    assert wal_bytes(store_dir) == insert_record("b", 3, 4)
    assert (store_dir / "ids.bin").read_bytes() == struct.pack("<I", 1) + b"b"
    assert live_ids(open_store(store_dir), ["a", "b"]) == {"b"}
