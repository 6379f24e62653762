"""What a filter adds to a radius search, against the same search without it.

    python bench/filters.py [--points N] [--far M] [--interleave] [--tiny]

N points (seeded) uniformly in one square degree, each with one of 8 categories of skewed
frequencies and a rating from 0 to 5 with one decimal; then the same store with M more points
far away (another continent), added after the first ones, or with --interleave in between
them, so that the near points' ids spread over the whole store. Radius searches around the square's middle at 2, 5 and 10 km,
without a filter, with an equality on the category, with a range on the rating and with both:
each row is the best of 9 calls, in milliseconds, with the hits. A filter returns fewer hits,
so no filtered row should cost more than the unfiltered one of the same radius, and none
should grow with the points far away.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import vesko

LAT0, LON0 = 45.0, 7.0
CENTRE = (LAT0 + 0.5, LON0 + 0.5)
# Skewed: the most common category is ten times the rarest.
CATEGORIES = ["cafe", "restaurant", "bar", "bakery", "hotel", "museum", "park", "school"]
WEIGHTS = np.array([30, 20, 14, 10, 10, 7, 6, 3], dtype=float) / 100
FILTERS = [
    ("no filter", None),
    ("category = hotel", '{"category": "hotel"}'),
    ("rating >= 4", '{"rating": {"$gte": 4}}'),
    ("hotel, rating >= 4", '{"category": "hotel", "rating": {"$gte": 4}}'),
    ("rating != 3", '{"rating": {"$ne": 3}}'),
]
RADII_KM = [2, 5, 10]


def metadata(rng, n):
    cats = rng.choice(len(CATEGORIES), size=n, p=WEIGHTS)
    ratings = np.clip(np.round(rng.normal(3.5, 1.0, n), 1), 0, 5)
    return [f'{{"category": "{CATEGORIES[c]}", "rating": {r:.1f}}}'
            for c, r in zip(cats.tolist(), ratings.tolist())]


def points(rng, n, lat0, lon0, size_deg):
    lats = lat0 + size_deg * rng.random(n)
    lons = lon0 + size_deg * rng.random(n)
    return lats, lons, metadata(rng, n)


def build(path, near, far, interleave, seed=7):
    """A store of `near` points in the square and `far` points far away."""
    near_lats, near_lons, near_metas = points(np.random.default_rng(seed), near, LAT0, LON0, 1.0)
    far_lats, far_lons, far_metas = points(np.random.default_rng(seed + 1), far, -35.0, 140.0,
                                           10.0)
    lats = np.concatenate([near_lats, far_lats]).astype(np.float32)
    lons = np.concatenate([near_lons, far_lons]).astype(np.float32)
    metas = near_metas + far_metas
    # The near points keep their order among themselves (so both stores hold the same ones)
    # and land at seeded places among the far ones.
    rng = np.random.default_rng(seed + 2)
    order = list(range(near + far))
    if interleave:
        order = np.argsort(np.concatenate([np.sort(rng.random(near)), rng.random(far)]),
                           kind="stable").tolist()
    db = vesko.Vesko(path)
    db.add_many([f"p{i}" for i in order], lats[order], lons[order], [metas[i] for i in order])
    return db


def table(db, repeat=9):
    """Each row's best of `repeat` calls, in ms, and its hits. The rows take turns, one call
    each, so that a burst of load from elsewhere on the machine falls on all of them alike."""
    rows = {(km, name): (float("inf"), 0) for km in RADII_KM for name, _ in FILTERS}
    for _ in range(repeat):
        for km in RADII_KM:
            for name, flt in FILTERS:
                t0 = time.perf_counter()
                hits = len(db.search_radius(*CENTRE, km * 1000.0, flt))
                ms = (time.perf_counter() - t0) * 1e3
                rows[(km, name)] = (min(rows[(km, name)][0], ms), hits)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--far", type=int, default=1_800_000)
    parser.add_argument("--interleave", action="store_true",
                        help="add the far points in between the near ones")
    parser.add_argument("--tiny", action="store_true", help="a quick run that only checks it works")
    args = parser.parse_args()
    near, far = (5_000, 20_000) if args.tiny else (args.points, args.far)

    root = tempfile.mkdtemp(prefix="vesko-filters-")
    try:
        small = table(build(os.path.join(root, "near"), near, 0, False))
        large = table(build(os.path.join(root, "far"), near, far, args.interleave))
        print(f"radius searches around {CENTRE}: best of 9, ms (hits); "
              f"{near:,} points, then with {far:,} more far away"
              f"{' (interleaved)' if args.interleave else ''}")
        print(f"{'radius':>6}  {'filter':<20}{'near only':>18}{'with far':>18}{'ratio':>7}")
        for (km, name), (ms, hits) in small.items():
            ms_far, hits_far = large[(km, name)]
            if hits_far != hits:
                sys.exit(f"{km} km {name}: {hits} hits, {hits_far} with the far points")
            print(f"{km:>4} km  {name:<20}{ms:>10.3f} ({hits:>5,}){ms_far:>10.3f} ({hits:>5,})"
                  f"{ms_far / ms:>7.2f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
