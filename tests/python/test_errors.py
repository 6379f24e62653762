"""Bad input gets a clear error and changes nothing; failures reach Python as the documented
exception classes."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest
import vesko

from support import file_digests, id_filter, open_store, store_path


@pytest.fixture
def filled(store):
    store.add("a", 1, 2, '{"k": "v", "n": 1}')
    store.add("b", 3, 4, '{"k": "w", "n": 2}')
    store.delete("b")
    return store


def assert_unchanged(store, before):
    assert file_digests(store_path(store)) == before
    assert store.count() == 1
    assert store.exists(id_filter("a"))


def cannot_convert(name, type_name, target="str"):
    return f"argument '{name}': '{type_name}' object cannot be converted to '{target}'"


OUT_OF_RANGE = "out of range integral type conversion attempted"
NOT_STR = "Can't extract `str` to `Vec`"

CONVERSION_ERRORS = [
    # binding, with the interpreter's wording
    ("add_missing_one", "add", ("c", 1, 2), {}, TypeError,
     "Vesko.add() missing 1 required positional argument: 'metadata'"),
    ("add_missing_all", "add", (), {}, TypeError,
     "Vesko.add() missing 4 required positional arguments: 'id', 'lat', 'lon', and 'metadata'"),
    ("add_surplus", "add", ("c", 1, 2, "{}", None, 0), {}, TypeError,
     "Vesko.add() takes from 5 to 6 positional arguments but 7 were given"),
    ("add_unknown_keyword", "add", ("c", 1, 2, "{}"), {"skip": []}, TypeError,
     "Vesko.add() got an unexpected keyword argument 'skip'"),
    ("add_keyword_repeats_positional", "add", ("c", 1, 2, "{}"), {"id": "d"}, TypeError,
     "Vesko.add() got multiple values for argument 'id'"),
    ("count_surplus", "count", (1,), {}, TypeError,
     "Vesko.count() takes 1 positional argument but 2 were given"),
    ("delete_by_filter_missing", "delete_by_filter", (), {}, TypeError,
     "Vesko.delete_by_filter() missing 1 required positional argument: 'filter_json'"),
    ("knn_surplus", "search_knn", (1, 2, 3, None, None, 6), {}, TypeError,
     "Vesko.search_knn() takes from 4 to 6 positional arguments but 7 were given"),
    ("radius_missing_all", "search_radius", (), {}, TypeError,
     "Vesko.search_radius() missing 3 required positional arguments: 'lat', 'lon', and 'radius_m'"),
    # str arguments
    ("add_id_int", "add", (1, 1, 2, "{}"), {}, TypeError, cannot_convert("id", "int")),
    ("add_id_bytes", "add", (b"a", 1, 2, "{}"), {}, TypeError, cannot_convert("id", "bytes")),
    ("add_metadata_dict", "add", ("c", 1, 2, {}), {}, TypeError, cannot_convert("metadata", "dict")),
    ("delete_id_int", "delete", (5,), {}, TypeError, cannot_convert("id", "int")),
    ("exists_filter_none", "exists", (None,), {}, TypeError, cannot_convert("filter_json", "NoneType")),
    ("delete_by_filter_list", "delete_by_filter", ([],), {}, TypeError,
     cannot_convert("filter_json", "list")),
    ("radius_filter_int", "search_radius", (1, 2, 3, 4), {}, TypeError,
     cannot_convert("filter_json", "int")),
    ("polygon_filter_int", "search_polygon", ([(1, 2)], 0), {}, TypeError,
     cannot_convert("filter_json", "int")),
    # float arguments
    ("add_lat_str", "add", ("c", "1", 2, "{}"), {}, TypeError,
     "argument 'lat': must be real number, not str"),
    ("add_lon_none", "add", ("c", 1, None, "{}"), {}, TypeError,
     "argument 'lon': must be real number, not NoneType"),
    ("radius_radius_list", "search_radius", (1, 2, [3]), {}, TypeError,
     "argument 'radius_m': must be real number, not list"),
    ("add_lat_int_beyond_double", "add", ("c", 10**400, 2, "{}"), {}, OverflowError,
     "int too large to convert to float"),
    # k
    ("knn_k_negative", "search_knn", (1, 2, -1), {}, OverflowError, OUT_OF_RANGE),
    ("knn_k_above_u32", "search_knn", (1, 2, 2**32), {}, OverflowError, OUT_OF_RANGE),
    ("knn_k_float", "search_knn", (1, 2, 1.0), {}, TypeError,
     "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("knn_k_str", "search_knn", (1, 2, "3"), {}, TypeError,
     "argument 'k': 'str' object cannot be interpreted as an integer"),
    # pairs
    ("box_corner_list", "search_box", ([1, 2], (3, 4)), {}, TypeError,
     cannot_convert("top_left", "list", "tuple")),
    ("box_corner_none", "search_box", ((1, 2), None), {}, TypeError,
     cannot_convert("bottom_right", "NoneType", "tuple")),
    ("box_corner_three_items", "search_box", ((1, 2, 3), (3, 4)), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("box_corner_str_item", "search_box", ((1, "a"), (3, 4)), {}, TypeError,
     "argument 'top_left': must be real number, not str"),
    ("polygon_str", "search_polygon", ("abc",), {}, TypeError, f"argument 'points': {NOT_STR}"),
    ("polygon_int", "search_polygon", (5,), {}, TypeError, cannot_convert("points", "int", "Sequence")),
    ("polygon_vertex_list", "search_polygon", ([(1, 2), [3, 4]],), {}, TypeError,
     cannot_convert("points", "list", "tuple")),
    ("polygon_vertex_one_item", "search_polygon", ([(1, 2), (3,)],), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    ("polygon_vertex_str_item", "search_polygon", ([(1, 2), (3, "x")],), {}, TypeError,
     "argument 'points': must be real number, not str"),
    # skip_index
    ("skip_index_str", "add", ("c", 1, 2, '{"k": "v"}', "k"), {}, TypeError,
     f"argument 'skip_index': {NOT_STR}"),
    ("skip_index_int", "add", ("c", 1, 2, "{}", 3), {}, TypeError,
     cannot_convert("skip_index", "int", "Sequence")),
    ("skip_index_int_item", "add", ("c", 1, 2, "{}", ["k", 1]), {}, TypeError,
     cannot_convert("skip_index", "int")),
]


@pytest.mark.parametrize(
    "method,args,kwargs,error,message",
    [c[1:] for c in CONVERSION_ERRORS],
    ids=[c[0] for c in CONVERSION_ERRORS],
)
def test_bad_argument_raises_and_changes_nothing(filled, method, args, kwargs, error, message):
    before = file_digests(store_path(filled))
    with pytest.raises(error) as raised:
        getattr(filled, method)(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert_unchanged(filled, before)


@pytest.mark.parametrize(
    "method,args",
    [
        ("add", ("\ud800", 1, 2, "{}")),
        ("add", ("c", 1, 2, "{}", ["\ud800"])),
        ("exists", ('{"_id": "\udfff"}',)),
    ],
    ids=["add_id", "add_skip_index", "exists_filter"],
)
def test_string_with_lone_surrogate_is_refused_and_changes_nothing(filled, method, args):
    before = file_digests(store_path(filled))
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        getattr(filled, method)(*args)
    assert_unchanged(filled, before)


class SpelledPath:
    """An os.PathLike that is not a pathlib.Path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize(
    "spell",
    [str, lambda p: p, os.fsencode, lambda p: SpelledPath(str(p))],
    ids=["str", "pathlib", "bytes", "pathlike"],
)
def test_every_path_spelling_opens_and_salvages_the_store(tmp_path, spell):
    path = tmp_path / "store"
    with vesko.Vesko(spell(path)) as db:
        db.add("a", 1, 2, "{}")
    with vesko.salvage(spell(path)) as db:
        assert db.count() == 1
        out = tmp_path / "out.geojson"
        db.export(spell(out))
    with vesko.Vesko(spell(tmp_path / "copy")) as copy:
        assert vesko.import_geojson(spell(out), copy) == 1


def test_constructor_refuses_a_value_that_is_not_a_path(tmp_path):
    with pytest.raises(TypeError) as raised:
        vesko.Vesko(5)
    assert str(raised.value) == (
        "argument 'storage_path': expected str, bytes or os.PathLike object, not int")


@pytest.mark.parametrize(
    "timeout,error,message",
    [
        (None, ValueError, "argument 'timeout': a number of seconds is needed, not None"),
        (-1, ValueError, "argument 'timeout': must be at least 0 seconds"),
        (float("nan"), ValueError, "argument 'timeout': must be at least 0 seconds"),
        ("1", TypeError, "argument 'timeout': must be real number, not str"),
    ],
    ids=["none", "negative", "nan", "str"],
)
def test_bad_timeout_is_refused_before_anything_is_touched(tmp_path, store, timeout, error,
                                                           message):
    store.add("a", 1, 2, "{}")
    before = file_digests(store_path(store))
    for path in (tmp_path / "new", store_path(store)):
        with pytest.raises(error) as raised:
            vesko.Vesko(str(path), timeout=timeout)
        assert str(raised.value) == message
    assert not (tmp_path / "new").exists()
    assert_unchanged(store, before)


# Failed file operations at open: each names the file (and a store the process may not write
# says how to read it), never an internal failure.

def test_path_that_is_a_file_is_refused_naming_it(store_dir):
    store_dir.write_text("")
    with pytest.raises(FileExistsError) as raised:
        vesko.Vesko(str(store_dir))
    assert f'"{store_dir}"' in str(raised.value)


def run_as_nobody(script, *args):
    """Runs a Python script as the user nobody; skips when this machine cannot."""
    if shutil.which("setpriv") is None or os.geteuid() != 0:
        pytest.skip("needs root and setpriv to run as another user")
    command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
               sys.executable, "-c", script, *args]
    env = dict(os.environ, PYTHONPATH=os.path.dirname(vesko.__file__))
    probe = subprocess.run(command[:-2 - len(args)] + ["-c", "import vesko"], env=env,
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip("the user nobody cannot import the module here")
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


OPEN_AS_NOBODY = """
import sys, vesko
try:
    vesko.Vesko(sys.argv[1])
except OSError as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize(
    "mode,names",
    [(0o644, "coords.bin"), (0o555, "store")],
    ids=["read_only_files", "read_only_missing_directory"],
)
def test_store_the_process_may_not_write_is_a_permission_error_naming_the_file(mode, names):
    root = tempfile.mkdtemp(dir="/tmp")
    try:
        os.chmod(root, 0o755)
        path = os.path.join(root, "store")
        if names == "coords.bin":
            with vesko.Vesko(path) as db:
                db.add("a", 1, 2, "{}")
            for name in os.listdir(path):
                os.chmod(os.path.join(path, name), mode)
        else:
            os.chmod(root, mode)
        before = {n: open(os.path.join(path, n), "rb").read() for n in os.listdir(path)} \
            if os.path.isdir(path) else None
        done = run_as_nobody(OPEN_AS_NOBODY, path)
        assert done.returncode == 0, done.stderr
        kind, _, message = done.stdout.strip().partition(" ")
        assert kind == "PermissionError"
        if names == "coords.bin":
            # The first of the store's files that the open could not write.
            assert any(os.path.join(path, n) in message for n in os.listdir(path)), message
        else:
            assert path in message
        if names == "coords.bin":
            assert "read_only=True" in message
            after = {n: open(os.path.join(path, n), "rb").read() for n in os.listdir(path)}
            assert after == before
    finally:
        os.chmod(root, 0o755)
        shutil.rmtree(root)


@pytest.mark.parametrize("name", ["s\0x", "s\0/x"], ids=["nul", "nul_then_slash"])
def test_path_with_nul_is_refused_before_anything_is_created(tmp_path, name):
    with pytest.raises(Exception):
        vesko.Vesko(str(tmp_path / name))
    assert list(tmp_path.iterdir()) == []


# Text that is not JSON: the message is the parser's description with its position, behind
# a prefix that depends on the method.

PARSE_ERRORS = [
    ("empty", "",
     "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"
     " at line 1 column 1"),
    ("unclosed_object", "{",
     "syntax error while parsing object key - unexpected end of input; expected string literal"
     " at line 1 column 2"),
    ("trailing_text", '{"a":1} x',
     "syntax error while parsing value - invalid literal; last read: '1} x'; expected end of input"
     " at line 1 column 9"),
    ("second_line", '{\n"a": }',
     "syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal"
     " at line 2 column 6"),
    ("leading_zero", '{"a": 01}',
     "syntax error while parsing object - unexpected number literal; expected '}' at line 1 column 8"),
    ("lone_surrogate_escape", '{"a": "\\ud800"}',
     "syntax error while parsing value - invalid string: surrogate U+D800..U+DBFF must be followed"
     " by U+DC00..U+DFFF; last read: '\"\\ud800\"' at line 1 column 14"),
    ("array_129_deep", "[" * 129 + "]" * 129, "recursion limit exceeded at line 1 column 129"),
    ("object_129_deep", '{"a":' * 129 + "1" + "}" * 129,
     "recursion limit exceeded at line 1 column 641"),
    ("deep_on_later_line", "[\n" * 129 + "]" * 129, "recursion limit exceeded at line 129 column 1"),
]
PREFIXES = [("add", "Invalid JSON: "), ("exists", "Invalid Filter: "), ("delete_by_filter", "")]


def call_with_text(store, method, text):
    if method == "add":
        return store.add("c", 1, 2, text)
    return getattr(store, method)(text)


@pytest.mark.parametrize(
    "method,text,message",
    [
        pytest.param(method, text, prefix + message, id=f"{method}-{name}")
        for name, text, message in PARSE_ERRORS
        for method, prefix in PREFIXES
    ],
)
def test_text_that_is_not_json_raises_value_error_with_parser_message(filled, method, text, message):
    before = file_digests(store_path(filled))
    with pytest.raises(ValueError) as raised:
        call_with_text(filled, method, text)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert_unchanged(filled, before)


@pytest.mark.parametrize(
    "text",
    ['{"a": 1e400}', '{"a": [-1e999]}'],
    ids=["overflow", "negative_overflow_in_array"],
)
def test_parse_error_for_number_overflow_ends_with_its_position(filled, text):
    with pytest.raises(ValueError) as raised:
        filled.add("c", 1, 2, text)
    assert re.fullmatch(r"Invalid JSON: .* at line \d+ column \d+", str(raised.value))


@pytest.mark.parametrize(
    "text", ["[]", "[1, 2]", "5", '"text"', "null", "true"],
    ids=["empty_array", "array", "number", "string", "null", "boolean"],
)
def test_metadata_that_is_not_an_object_is_refused_and_logs_nothing(filled, text):
    before = file_digests(store_path(filled))
    with pytest.raises(ValueError, match="^Invalid JSON: "):
        filled.add("c", 1, 2, text)
    assert_unchanged(filled, before)


@pytest.mark.parametrize("method", ["add", "exists", "delete_by_filter"])
def test_nesting_of_128_levels_is_accepted(store, method):
    text = '{"a":' * 127 + "[" + "]" + "}" * 127
    call_with_text(store, method, text)
    assert store.count() == (1 if method == "add" else 0)


def test_brackets_inside_strings_do_not_count_as_nesting(store):
    store.add("p", 1, 2, '{"a": "' + "[{" * 300 + '\\"' + "[" * 200 + '"}')
    assert store.count() == 1


def test_metadata_over_ten_million_bytes_is_refused_and_nothing_is_logged(filled):
    before = file_digests(store_path(filled))
    text = '{"k":"' + "x" * (10_000_001 - 8) + '"}'
    with pytest.raises(ValueError):
        filled.add("c", 1, 2, text)
    assert_unchanged(filled, before)


# Filters that are JSON but mean nothing match nothing, and delete_by_filter then leaves the
# store and its log as they were.

MEANINGLESS_FILTERS = [
    ("array", "[]"),
    ("string", '"k"'),
    ("null", "null"),
    ("unknown_operator", '{"k": {"$regex": "v"}}'),
    ("range_on_string_operand", '{"n": {"$gt": "0"}}'),
    ("empty_or", '{"$or": []}'),
    ("not_of_everything", '{"$not": {}}'),
    ("field_never_numeric", '{"k": {"$ne": 1}}'),
    ("deleted_point_only", '{"k": "w"}'),
]


@pytest.mark.parametrize(
    "text", [t for _, t in MEANINGLESS_FILTERS], ids=[n for n, _ in MEANINGLESS_FILTERS]
)
def test_meaningless_filter_matches_nothing_and_changes_nothing(filled, text):
    before = file_digests(store_path(filled))
    assert filled.exists(text) is False
    if "$regex" in text:  # an operator it does not know: refused, not read as matching nothing
        with pytest.raises(ValueError, match="^Invalid Filter: "):
            filled.delete_by_filter(text)
    else:
        assert filled.delete_by_filter(text) == 0
    assert_unchanged(filled, before)


# Failures while opening a store.


def test_path_that_is_a_file_raises_file_exists_error(tmp_path):
    path = tmp_path / "plain"
    path.write_bytes(b"x")
    with pytest.raises(FileExistsError) as raised:
        vesko.Vesko(str(path))
    assert raised.value.errno == 17
    assert str(raised.value) == (
        f'cannot create the store directory "{path}": {os.strerror(17)} (os error 17)')
    assert path.read_bytes() == b"x"


def test_empty_path_raises_file_not_found_error():
    with pytest.raises(FileNotFoundError) as raised:
        vesko.Vesko("")
    assert raised.value.errno == 2
    assert str(raised.value) == f'cannot create the store directory "": {os.strerror(2)} (os error 2)'


@pytest.mark.parametrize(
    "name,verb",
    [("wal.bin", "read"), ("coords.bin", "open"), ("offsets.bin", "open"), ("ids.bin", "open"),
     ("meta_offsets.bin", "open"), ("meta.bin", "open")],
)
def test_store_file_that_cannot_be_opened_raises_os_error_naming_it(tmp_path, name, verb):
    (tmp_path / name).mkdir()
    with pytest.raises(OSError) as raised:
        vesko.Vesko(str(tmp_path))
    assert raised.value.errno == 21
    assert str(raised.value) == f"cannot {verb} {tmp_path / name}: {os.strerror(21)} (os error 21)"


def test_store_still_opens_after_a_failed_open(tmp_path):
    (tmp_path / "meta.bin").mkdir()
    with pytest.raises(OSError, match="meta.bin"):
        vesko.Vesko(str(tmp_path))
    (tmp_path / "meta.bin").rmdir()
    store = open_store(tmp_path)
    store.add("p", 1, 2, "{}")
    assert store.count() == 1
