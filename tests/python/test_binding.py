"""The Python surface of the module: what it exports, the order and text signatures of the
methods, the typing stub, argument binding, and what each argument conversion accepts."""

import ast
import collections
import inspect
import math
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest
import vesko

from support import ON_PYPY, Slots, file_digests, id_filter, store_path

# What introspection reads from the methods (text signatures, docstrings) comes from CPython's
# method descriptors; PyPy's emulation of them carries neither, so these checks are CPython's.
needs_method_introspection = pytest.mark.skipif(
    ON_PYPY, reason="PyPy's method descriptors carry no __text_signature__ or __doc__")

METHODS = [
    ("exists", "($self, filter_json)"),
    ("add", "($self, id, lat, lon, metadata, skip_index=None)"),
    ("persist", "($self)"),
    ("count", "($self)"),
    ("delete", "($self, id)"),
    ("delete_by_filter", "($self, filter_json)"),
    ("vacuum", "($self)"),
    ("search_knn", "($self, lat, lon, k, filter_json=None, answer=None)"),
    ("search_box", "($self, top_left, bottom_right, filter_json=None, answer=None)"),
    ("search_radius", "($self, lat, lon, radius_m, filter_json=None, answer=None)"),
    ("search_polygon", "($self, points, filter_json=None, answer=None)"),
    ("get", "($self, id)"),
    ("upsert", "($self, id, lat, lon, metadata, skip_index=None)"),
    ("items", "($self, filter_json=None, answer=None)"),
    ("export", "($self, path, format=None)"),
    ("refresh", "($self)"),
    ("close", "($self)"),
    ("sync", "($self)"),
    ("add_many", "($self, ids, lats, lons, metadatas, skip_index=None)"),
    ("delete_many", "($self, ids)"),
    ("get_many", "($self, ids, answer=None)"),
    ("search_knn_many", "($self, lats, lons, k, filter_json=None)"),
    ("search_radius_many", "($self, lats, lons, radius_m, filter_json=None)"),
]
# Registered after the named methods, in this order.
DUNDERS = [
    ("__contains__", "($self, id)"),
    ("__len__", "($self)"),
    ("__enter__", "($self)"),
    ("__exit__", "($self, exc_type, exc_value, traceback)"),
    ("__repr__", "($self)"),
]
# Registered after the dunders.
PROPERTIES = ["read_only"]
MODULE_FUNCTIONS = ["import_geojson", "import_parquet", "salvage"]


def test_module_exports_the_store_class_panic_exception_and_functions():
    assert sorted(n for n in dir(vesko) if not n.startswith("_")) == sorted(
        ["Columns", "ItemIterator", "PanicException", "Vesko"] + MODULE_FUNCTIONS
    )
    assert issubclass(vesko.PanicException, BaseException)
    assert not issubclass(vesko.PanicException, Exception)
    assert vesko.PanicException.__module__ == "vesko"
    assert vesko.Vesko.__module__ == "vesko"


def test_version_is_the_package_version():
    from importlib import metadata

    assert vesko.__version__ == metadata.version("vesko")


def test_methods_are_registered_in_documented_order():
    public = [name for name in vesko.Vesko.__dict__ if not name.startswith("_")]
    assert public == [name for name, _ in METHODS] + PROPERTIES
    dunders = [name for name in vesko.Vesko.__dict__ if name in dict(DUNDERS)]
    assert dunders == [name for name, _ in DUNDERS]


@needs_method_introspection
@pytest.mark.parametrize("name,signature", METHODS + DUNDERS, ids=[n for n, _ in METHODS + DUNDERS])
def test_method_text_signature_is_its_signature_line(name, signature):
    assert getattr(vesko.Vesko, name).__text_signature__ == signature


def parameters_after_self(text_signature):
    return text_signature[len("($self"):].lstrip(", ")


@needs_method_introspection
@pytest.mark.parametrize("name,signature", METHODS + DUNDERS, ids=[n for n, _ in METHODS + DUNDERS])
def test_introspection_shows_every_parameter_bound_and_unbound(store, name, signature):
    rest = parameters_after_self(signature)
    # Unbound, self is a real (positional-only) parameter; bound, it is gone and nothing else.
    unbound = "(self, /, " + rest if rest != ")" else "(self, /)"
    assert str(inspect.signature(getattr(vesko.Vesko, name))) == unbound
    assert str(inspect.signature(getattr(store, name))) == "(" + rest


@needs_method_introspection
@pytest.mark.parametrize("name,signature", METHODS, ids=[name for name, _ in METHODS])
def test_help_shows_the_parameters_of_a_bound_method(store, name, signature):
    text = pydoc_text(getattr(store, name))
    assert f"{name}({parameters_after_self(signature)}" in text


def test_method_called_on_another_type_raises_type_error():
    with pytest.raises(TypeError):
        vesko.Vesko.count(5)
    with pytest.raises(TypeError):
        vesko.Vesko.count()


def test_class_text_signature_is_the_constructor_signature():
    assert vesko.Vesko.__text_signature__ == "(storage_path, *, read_only=False, timeout=0)"
    assert str(inspect.signature(vesko.Vesko)) == "(storage_path, *, read_only=False, timeout=0)"


# The stub shipped beside the module.


def installed_stub():
    path = Path(vesko.__file__).parent / "vesko-stubs" / "__init__.pyi"
    assert path.is_file(), f"stub not installed at {path}"
    assert (path.parent / "py.typed").is_file()
    return ast.parse(path.read_text())


def stub_class(tree, name):
    return next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name)


def stub_parameters(function):
    args = function.args
    defaults = [ast.literal_eval(d) for d in args.defaults]
    names = [a.arg for a in args.args]
    padded = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
    keyword_only = [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
                    for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [(n, d) for n, d in zip(names, padded) if n != "self"] + keyword_only


def module_parameters(callable_):
    parameters = inspect.signature(callable_).parameters.values()
    return [(p.name, p.default) for p in parameters if p.name != "self"]


@needs_method_introspection
def test_stub_declares_the_module_methods_in_order_with_their_parameters():
    cls = stub_class(installed_stub(), "Vesko")
    # An overloaded method is declared by its first overload, which has every parameter with
    # the module's defaults; the others narrow `answer` to give the answer's type.
    functions = []
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and node.name not in {f.name for f in functions}:
            if node.name not in PROPERTIES:
                functions.append(node)
    typed = [(name, module_parameters(getattr(vesko.Vesko, name))) for name, _ in METHODS + DUNDERS]
    assert [(f.name, stub_parameters(f)) for f in functions] == [
        ("__init__", module_parameters(vesko.Vesko))
    ] + [entry for entry in typed if entry[0] != "__repr__"]


def test_stub_declares_the_module_functions_with_their_parameters():
    tree = installed_stub()
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert sorted(functions) == MODULE_FUNCTIONS
    for name in MODULE_FUNCTIONS:
        assert stub_parameters(functions[name]) == module_parameters(getattr(vesko, name))


def test_stub_declares_salvage_with_the_module_parameters_returning_vesko():
    function = next(node for node in installed_stub().body
                    if isinstance(node, ast.FunctionDef) and node.name == "salvage")
    assert stub_parameters(function) == module_parameters(vesko.salvage) == [
        ("storage_path", inspect.Parameter.empty), ("rebuild", None)]
    kinds = [p.kind for p in inspect.signature(vesko.salvage).parameters.values()]
    assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY]
    assert ast.unparse(function.returns) == "Vesko"


def stub_docstrings():
    """Every docstring of the stub, or "" where it has none, by the dotted name of the object
    (the module is "")."""
    tree = installed_stub()
    out = {"": ast.get_docstring(tree) or ""}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            out[node.name] = ast.get_docstring(node) or ""
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    # an overloaded method's docstring stands on its first declaration
                    key = f"{node.name}.{member.name}"
                    out[key] = out.get(key) or ast.get_docstring(member) or ""
    return out


@needs_method_introspection
def test_every_docstring_at_run_time_is_the_stubs():
    # What help() and IPython's ? show is the module's own __doc__, so it must say what the
    # stub says; __init__ and the iterator protocol have none in either.
    shown = {}
    for name in stub_docstrings():
        target = vesko
        for part in filter(None, name.split(".")):
            target = getattr(target, part)
        shown[name] = inspect.cleandoc(target.__doc__ or "")
    assert shown == stub_docstrings()
    assert shown["Vesko.search_radius"]
    text = pydoc_text(vesko.Vesko.search_radius)
    assert shown["Vesko.search_radius"].splitlines()[0] in text


def pydoc_text(thing):
    import pydoc

    return pydoc.render_doc(thing, renderer=pydoc.plaintext)


def test_stub_declares_panic_exception_as_a_base_exception():
    cls = stub_class(installed_stub(), "PanicException")
    assert [ast.unparse(base) for base in cls.bases] == ["BaseException"]


# Argument binding: positional or keyword (mistakes are in test_errors.py).


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "Vesko() missing 1 required positional argument: 'storage_path'"),
        (("a", "b"), {}, "Vesko() takes 1 positional argument but 2 were given"),
        ((), {"path": "a"}, "Vesko() got an unexpected keyword argument 'path'"),
    ],
    ids=["missing", "surplus", "unknown_keyword"],
)
def test_constructor_binding_mistakes_raise_type_error(tmp_path, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        vesko.Vesko(*args, **kwargs)
    assert str(raised.value) == message
    assert list(tmp_path.iterdir()) == []


def test_every_argument_binds_by_keyword(tmp_path):
    store = vesko.Vesko(storage_path=str(tmp_path / "kw"))
    store.add(skip_index=["k"], metadata='{"k": "v", "j": "w"}', lon=2, lat=1, id="p")
    assert store.exists(filter_json=id_filter("p"))
    assert not store.exists(filter_json='{"k": "v"}')
    assert store.exists(filter_json='{"j": "w"}')
    store.delete(id="p")
    assert store.count() == 0
    store.add("q", 1, 2, "{}")
    assert store.delete_by_filter(filter_json="{}") == 1


# Conversions that succeed, observed through what reaches the data files.


class IndexLike:
    def __index__(self):
        return 7


HALFWAY_ABOVE_FLT_MAX = 3.4028235677973366e38

FLOAT_NARROWING = [
    ("int", 1, 0x3F800000),
    ("rounds_to_nearest", 12.34, 0x414570A4),
    ("tie_rounds_to_even", 16777217.0, 0x4B800000),
    ("fraction", Fraction(1, 4), 0x3E800000),
    ("dunder_index", IndexLike(), 0x40E00000),
    ("beyond_range_is_infinity", 1e300, 0x7F800000),
    ("beyond_negative_range_is_minus_infinity", -1e300, 0xFF800000),
    ("halfway_above_largest_is_infinity", HALFWAY_ABOVE_FLT_MAX, 0x7F800000),
    ("just_below_halfway_is_largest", math.nextafter(HALFWAY_ABOVE_FLT_MAX, 0), 0x7F7FFFFF),
    ("negative_underflow_is_minus_zero", -1e-50, 0x80000000),
    ("smallest_subnormal", 1e-45, 0x00000001),
]


@pytest.mark.parametrize(
    "value,bits", [c[1:] for c in FLOAT_NARROWING], ids=[c[0] for c in FLOAT_NARROWING]
)
def test_coordinates_are_narrowed_to_f32_by_rounding(store, value, bits):
    store.add("p", value, value, "{}")
    assert Slots(store_path(store)).coords_bits(0) == (bits, bits)


def test_nan_coordinates_are_stored_as_nan(store):
    store.add("p", float("nan"), 1.0, "{}")
    lat, lon = Slots(store_path(store)).lat_lon(0)
    assert math.isnan(lat) and lon == 1.0


class NameList(collections.abc.Sequence):
    def __init__(self, *names):
        self.names = names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        return self.names[i]


@pytest.mark.parametrize(
    "skip_index",
    [["a"], ("a",), NameList("a"), ["zz", "a"]],
    ids=["list", "tuple", "custom_sequence", "several_names"],
)
def test_skip_index_accepts_any_sequence_of_str(store, skip_index):
    store.add("p", 1, 2, '{"a": "x", "b": "y"}', skip_index)
    assert not store.exists('{"a": "x"}')
    assert store.exists('{"b": "y"}')


def test_str_subclass_is_accepted_as_str(store):
    class Name(str):
        pass

    store.add(Name("p"), 1, 2, Name('{"a": "x"}'))
    assert store.exists(Name('{"_id": "p"}'))


def test_method_on_uninitialised_instance_raises_instead_of_crashing():
    # Vesko.__new__ without __init__ leaves an object with no store behind it.
    code = (
        "import vesko\n"
        "o = vesko.Vesko.__new__(vesko.Vesko)\n"
        "for call in (o.count, lambda: o.exists('{}'), lambda: o.add('a', 1, 2, '{}'),\n"
        "             lambda: o.delete('a'), lambda: o.delete_by_filter('{}')):\n"
        "    try:\n"
        "        call()\n"
        "    except Exception:\n"
        "        pass\n"
        "    else:\n"
        "        raise SystemExit('no exception')\n"
        "print('all raised')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, f"exit status {result.returncode}: {result.stderr[-500:]}"
    assert result.stdout.strip() == "all raised"


@pytest.mark.parametrize(
    "method,plain,other",
    [
        ("search_knn", ((1, 2, 7), {}), ((1, 2, IndexLike()), {})),
        ("search_knn", ((1, 2, 7), {}), ((), {"k": 7, "lon": 2, "lat": 1.0, "filter_json": None})),
        ("search_radius", ((1, 2, 500), {}), ((Fraction(1), 2, 500.0, None), {})),
        ("search_box", (((1.5, 1.5), (0.5, 2.5)), {}),
         ((collections.namedtuple("LatLon", "lat lon")(1.5, 1.5), (0.5, 2.5)), {})),
        ("search_polygon", (([(0, 0), (0, 3), (3, 3)],), {}), ((((0, 0), (0, 3), (3, 3)), None), {})),
    ],
    ids=["k_by_index", "keywords_and_none_filter", "radius_fraction", "corner_tuple_subclass",
         "polygon_tuple_of_vertices"],
)
def test_search_arguments_in_other_accepted_forms_give_the_same_hits(store, method, plain, other):
    store.add("a", 1, 2, '{"k": "v"}')
    store.add("b", 1.001, 2.001, "{}")
    expected = getattr(store, method)(*plain[0], **plain[1])
    assert expected
    assert getattr(store, method)(*other[0], **other[1]) == expected


