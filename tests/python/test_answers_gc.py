"""Answers and the cyclic collector: a search builds its answer with the collector held off and
leaves it as it found it, on or off; the answer's tuples are off the collector's lists, and the
list itself stays on them, since a caller may put it in a cycle."""

import gc
import weakref

import pytest
import vesko

from support import ON_PYPY

SEARCHES = {
    "radius": lambda db: db.search_radius(10.0, 10.0, 50_000.0),
    "knn": lambda db: db.search_knn(10.0, 10.0, 1500),
    "box": lambda db: db.search_box((10.2, 9.8), (9.8, 10.2)),
    "polygon": lambda db: db.search_polygon([(10.2, 9.8), (10.2, 10.2), (9.8, 10.2), (9.8, 9.8)]),
}


@pytest.fixture(scope="module")
def crowded(tmp_path_factory):
    # More hits than the collector's first threshold, so that a collection would start
    # while an answer is built.
    db = vesko.Vesko(str(tmp_path_factory.mktemp("answers") / "store"))
    n = 1500
    db.add_many([f"p{i}" for i in range(n)], [10.0 + (i % 39 - 19) * 0.01 for i in range(n)],
                [10.0 + (i // 39 - 19) * 0.01 for i in range(n)], ['{"k": 1}'] * n)
    yield db
    db.close()


@pytest.mark.parametrize("enabled", [True, False], ids=["collector-on", "collector-off"])
@pytest.mark.parametrize("kind", sorted(SEARCHES))
def test_a_search_leaves_the_collector_as_it_found_it(crowded, kind, enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        answer = SEARCHES[kind](crowded)
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
    assert len(answer) > 1000


@pytest.mark.skipif(ON_PYPY, reason="PyPy's collector keeps no lists of tracked objects")
@pytest.mark.parametrize("kind", sorted(SEARCHES))
def test_an_answers_tuples_are_off_the_collectors_lists(crowded, kind):
    answer = SEARCHES[kind](crowded)
    assert len(answer) > gc.get_threshold()[0]
    assert gc.is_tracked(answer)
    assert not any(gc.is_tracked(hit) for hit in answer)


def test_an_answer_in_a_cycle_is_collected(crowded):
    class Marker:
        pass

    answer = SEARCHES["box"](crowded)
    marker = Marker()
    answer += [answer, marker]
    gone = weakref.ref(marker)
    del answer, marker
    gc.collect()
    assert gone() is None
