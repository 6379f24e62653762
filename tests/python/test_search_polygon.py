"""search_polygon: even-odd membership in a polygon of (lat, lon) vertices."""

import pytest
import vesko

SQUARE = [(0.0, 0.0), (0.0, 1.0), (1.0, 1.0), (1.0, 0.0)]

# (point, inside the unit square): the southern and western edges belong to it, the northern
# and eastern ones do not.
SQUARE_CASES = [
    ((0.5, 0.5), True), ((1.5, 0.5), False), ((-0.5, 0.5), False),
    ((0.0, 0.5), True), ((0.5, 0.0), True), ((1.0, 0.5), False), ((0.5, 1.0), False),
    ((0.0, 0.0), True), ((0.0, 1.0), False), ((1.0, 1.0), False), ((1.0, 0.0), False),
]


@pytest.fixture
def db(tmp_path):
    return vesko.Vesko(str(tmp_path / "store"))


@pytest.mark.parametrize("vertices", [SQUARE, SQUARE[::-1]], ids=["clockwise", "reversed"])
def test_unit_square_membership(db, vertices):
    for i, (p, _) in enumerate(SQUARE_CASES):
        db.add(f"p{i}", p[0], p[1], "{}")
    expected = [f"p{i}" for i, (_, inside) in enumerate(SQUARE_CASES) if inside]
    assert [h[0] for h in db.search_polygon(vertices)] == expected


def test_closing_vertex_repeated_changes_nothing(db):
    db.add("in", 0.5, 0.5, "{}")
    assert db.search_polygon(SQUARE + [SQUARE[0]]) == db.search_polygon(SQUARE) == [("in", "{}")]


def test_self_intersecting_polygon_follows_the_even_odd_rule(db):
    # A star drawn in one stroke: its centre is covered twice and so lies outside.
    star = [(0.0, 2.0), (4.0, 3.2), (1.5, 0.0), (1.5, 4.0), (4.0, 0.8)]
    db.add("centre", 2.0, 2.0, "{}")
    db.add("tip", 0.5, 2.0, "{}")
    assert [h[0] for h in db.search_polygon(star)] == ["tip"]


@pytest.mark.parametrize("vertices", [[], [(0.0, 0.0)], [(0.0, 0.0), (1.0, 1.0)]],
                         ids=["none", "one", "two"])
def test_fewer_than_three_vertices_return_nothing_without_reading_the_filter(db, vertices):
    db.add("a", 0.5, 0.5, "{}")
    assert db.search_polygon(vertices, "not json") == []


def test_invalid_filter_with_a_real_polygon_raises(db):
    with pytest.raises(ValueError):
        db.search_polygon(SQUARE, "not json")


@pytest.mark.parametrize("points, error", [
    pytest.param("abc", TypeError, id="a str"),
    pytest.param([[0.0, 0.0], [0.0, 1.0], [1.0, 1.0]], TypeError, id="lists as vertices"),
    pytest.param(5, TypeError, id="not a sequence"),
    pytest.param([(0.0, 0.0, 1.0)] * 3, ValueError, id="triples"),
    pytest.param([(0.0, "x")] * 3, TypeError, id="non-numeric coordinate"),
])
def test_bad_vertices_are_refused(db, points, error):
    with pytest.raises(error) as err:
        db.search_polygon(points)
    if error is TypeError:
        assert str(err.value).startswith("argument 'points': ")


def test_hits_are_in_insertion_order_and_filtered(db):
    db.add("b", 0.2, 0.2, '{"k": "x"}')
    db.add("a", 0.8, 0.8, '{"k": "y"}')
    db.add("c", 0.5, 0.5, '{"k": "x"}')
    db.delete("c")
    assert [h[0] for h in db.search_polygon(SQUARE)] == ["b", "a"]
    assert db.search_polygon(SQUARE, '{"k": "y"}') == [("a", '{"k":"y"}')]
    assert db.search_polygon(tuple(SQUARE), '{"k": "z"}') == []


def test_polygon_with_nan_vertices_only_is_empty(db):
    db.add("a", 0.0, 0.0, "{}")
    nan = float("nan")
    assert db.search_polygon([(nan, nan)] * 3) == []
