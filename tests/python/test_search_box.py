"""search_box: points inside an inclusive latitude/longitude box, in insertion order."""

import pytest
import vesko


@pytest.fixture
def db(tmp_path):
    return vesko.Vesko(str(tmp_path / "store"))


@pytest.fixture
def grid_points(db):
    # A 3 x 3 lattice around the box (10..11, 20..21), with points on its edges and corners.
    names = []
    for lat in (9.5, 10.0, 10.5, 11.0, 11.5):
        for lon in (19.5, 20.0, 20.5, 21.0, 21.5):
            name = f"{lat}/{lon}"
            db.add(name, lat, lon, "{}")
            names.append((name, lat, lon))
    return names


def test_edges_and_corners_are_inside(db, grid_points):
    hits = db.search_box((11.0, 20.0), (10.0, 21.0))
    expected = [n for n, lat, lon in grid_points if 10.0 <= lat <= 11.0 and 20.0 <= lon <= 21.0]
    assert [h[0] for h in hits] == expected
    assert len(expected) == 9
    assert all(type(h) is tuple and len(h) == 2 for h in hits)


@pytest.mark.parametrize("top_left, bottom_right", [
    pytest.param((10.0, 20.0), (11.0, 21.0), id="top below bottom"),
    pytest.param((11.0, 21.0), (10.0, 20.0), id="west east of east"),
    pytest.param((11.0, 179.0), (10.0, -179.0), id="across the antimeridian"),
])
def test_boxes_given_the_wrong_way_round_are_empty(db, grid_points, top_left, bottom_right):
    db.add("date-line", 10.5, 179.5, "{}")
    assert db.search_box(top_left, bottom_right) == []


def test_point_box_finds_the_point_exactly_there(db, grid_points):
    assert [h[0] for h in db.search_box((10.5, 20.5), (10.5, 20.5))] == ["10.5/20.5"]


def test_hits_come_in_insertion_order_and_carry_metadata(db):
    db.add("z", 1.0, 1.0, '{"b": 2, "a": 1}')
    db.add("a", 0.5, 0.5, "{}")
    db.add("m", 0.7, 0.2, '{"x": [1, 2]}')
    assert db.search_box((2.0, 0.0), (0.0, 2.0)) == [
        ("z", '{"a":1,"b":2}'), ("a", "{}"), ("m", '{"x":[1,2]}')]


def test_filter_and_deletion_narrow_the_box(db):
    db.add("cafe", 1.0, 1.0, '{"kind": "cafe"}')
    db.add("bar", 1.0, 1.1, '{"kind": "bar"}')
    db.add("cafe2", 1.1, 1.0, '{"kind": "cafe"}')
    db.delete("cafe2")
    box = ((2.0, 0.0), (0.0, 2.0))
    assert [h[0] for h in db.search_box(*box)] == ["cafe", "bar"]
    assert [h[0] for h in db.search_box(*box, '{"kind": "cafe"}')] == ["cafe"]
    assert db.search_box(*box, filter_json='{"kind": "pub"}') == []


def test_a_whole_world_box_returns_everything(db):
    for i in range(50):
        db.add(f"p{i}", -89.0 + i * 3.6, -179.0 + i * 7.2, "{}")
    assert len(db.search_box((90.0, -180.0), (-90.0, 180.0))) == 50
