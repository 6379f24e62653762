"""The data and the queries every engine gets: points clustered like real places (seeded) and
the real places of the demo, each with the same kinds of query centres, boxes and polygons.

Coordinates are rounded to 32-bit floats here, once, so that every engine stores exactly the
same positions as vesko does and the accuracy check compares distance models, not inputs.
"""

import json
import math
import os
import sys
from dataclasses import dataclass, field

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
import places as real_places  # noqa: E402

categories = ["cafe", "restaurant", "bar", "bakery", "museum", "park", "school", "hospital",
              "pharmacy", "hotel", "bank", "library", "cinema", "theatre", "market", "station",
              "church", "gym", "garage", "post_office"]

radii_m = (1000.0, 10000.0)
knn_k = 10
box_side_deg = 0.1
polygon_vertices = 12


@dataclass
class Filter:
    """One string field equal to a value and one numeric field at least a minimum."""
    str_field: str
    str_value: str
    num_field: str
    num_min: float

    def json(self):
        return ('{"%s": "%s", "%s": {"$gte": %r}}'
                % (self.str_field, self.str_value, self.num_field, self.num_min))

    def mask(self, str_vals, num_vals):
        return (str_vals == self.str_value) & (num_vals >= self.num_min)


@dataclass
class Dataset:
    """Points in insertion order; point i has external id ids[i]."""
    name: str
    description: str
    ids: list
    lats: np.ndarray          # float32
    lons: np.ndarray          # float32
    metas: list               # compact JSON object text, keys sorted
    str_field: str
    num_field: str
    str_vals: np.ndarray      # the str_field of each point
    num_vals: np.ndarray      # the num_field of each point, float64

    def __len__(self):
        return len(self.ids)


@dataclass
class Queries:
    """The same query shapes for every engine, one entry per query centre."""
    dataset: str
    centres: list             # (lat, lon), float32-exact
    boxes: list               # (top_left, bottom_right)
    polygons: list            # 12 (lat, lon) vertices each
    filters: list             # Filter per centre
    deletes: list             # (index, id, lat, lon) of points to delete at the end
    radii_m: tuple = radii_m
    k: int = knn_k
    extra: dict = field(default_factory=dict)


def _f32(x):
    return float(np.float32(x))


def load_places_dataset(limit=None, seed=11):
    """The demo's real places; with limit, a seeded sample of that many."""
    rows = real_places.load_places()
    if limit is not None and limit < len(rows):
        rng = np.random.default_rng(seed)
        keep = np.sort(rng.choice(len(rows), size=limit, replace=False))
        rows = [rows[i] for i in keep]
    lats = np.array([r[1] for r in rows], dtype=np.float32)
    lons = np.array([r[2] for r in rows], dtype=np.float32)
    metas, countries, pops = [], [], []
    for _, _, _, meta in rows:
        metas.append('{"admin1": %s, "country": %s, "name": %s, "population": %d}'
                     % (_json_str(meta["admin1"]), _json_str(meta["country"]),
                        _json_str(meta["name"]), meta["population"]))
        countries.append(meta["country"])
        pops.append(meta["population"])
    return Dataset(
        name="places",
        description=f"{len(rows):,} real places (GeoNames towns of 1,000+ people)",
        ids=[f"g{i}" for i in range(len(rows))], lats=lats, lons=lons, metas=metas,
        str_field="country", num_field="population",
        str_vals=np.array(countries, dtype=object), num_vals=np.array(pops, dtype=np.float64))


def _json_str(text):
    return json.dumps(text, ensure_ascii=False)


def make_clustered(n, seed=7):
    """n points scattered around real places, more around bigger ones, seeded.

    A point picks a town with probability proportional to population^0.7 and lands at a
    Gaussian offset whose spread grows with the town (0.8 km for 1,000 people, 8 km for a
    million); latitudes stay within +-85 degrees, the range every peer accepts.
    """
    rows = real_places.load_places()
    town_lat = np.array([r[1] for r in rows])
    town_lon = np.array([r[2] for r in rows])
    town_pop = np.array([r[3]["population"] for r in rows], dtype=np.float64)
    rng = np.random.default_rng(seed)
    weight = town_pop ** 0.7
    town = rng.choice(len(rows), size=n, p=weight / weight.sum())
    sigma_km = np.clip(0.3 + 1.2 * (town_pop[town] / 1e4) ** 0.4, 0.3, 20.0)
    km_per_deg = math.pi * 6371.0 / 180.0
    lat = town_lat[town] + rng.normal(0.0, 1.0, n) * sigma_km / km_per_deg
    lat = np.clip(lat, -85.0, 85.0)
    lon = town_lon[town] + (rng.normal(0.0, 1.0, n) * sigma_km
                            / (km_per_deg * np.cos(np.radians(lat))))
    lon = (lon + 180.0) % 360.0 - 180.0
    cat = rng.integers(0, len(categories), n)
    rating = rng.integers(0, 51, n) / 10.0
    pop = rng.integers(0, 1_000_000, n)
    metas = ['{"category": "%s", "pop": %d, "rating": %r}' % (categories[c], p, r)
             for c, p, r in zip(cat.tolist(), pop.tolist(), rating.tolist())]
    return Dataset(
        name="clustered",
        description=f"{n:,} points clustered around real places (seed {seed})",
        ids=[f"p{i}" for i in range(n)],
        lats=lat.astype(np.float32), lons=lon.astype(np.float32), metas=metas,
        str_field="category", num_field="rating",
        str_vals=np.array(categories, dtype=object)[cat], num_vals=rating)


def make_queries(ds, n_queries, n_deletes, seed=13):
    """Query centres near data (a random point, moved by about 200 m), with a 0.1-degree box
    and a 12-vertex star-shaped polygon (2 to 6 km from the centre) around each."""
    rng = np.random.default_rng(seed)
    pick = rng.choice(len(ds), size=n_queries, replace=len(ds) < n_queries)
    km_per_deg = math.pi * 6371.0 / 180.0
    centres, boxes, polygons, filters = [], [], [], []
    for q, i in enumerate(pick.tolist()):
        lat = _f32(np.clip(ds.lats[i] + rng.normal(0.0, 0.002), -85.0, 85.0))
        lon = _f32(ds.lons[i] + rng.normal(0.0, 0.002))
        centres.append((lat, lon))
        half = box_side_deg / 2.0
        boxes.append(((_f32(lat + half), _f32(lon - half)), (_f32(lat - half), _f32(lon + half))))
        coslat = math.cos(math.radians(lat))
        vertices = []
        for v in range(polygon_vertices):
            angle = 2.0 * math.pi * (v + rng.uniform(-0.3, 0.3)) / polygon_vertices
            reach_km = rng.uniform(2.0, 6.0)
            vertices.append((_f32(lat + reach_km * math.cos(angle) / km_per_deg),
                             _f32(lon + reach_km * math.sin(angle) / (km_per_deg * coslat))))
        polygons.append(vertices)
        if ds.name == "clustered":
            filters.append(Filter("category", categories[q % len(categories)], "rating", 4.0))
        else:
            filters.append(Filter("country", ds.str_vals[i], "population", 10000.0))
    doomed = rng.choice(len(ds), size=min(n_deletes, len(ds)), replace=False).tolist()
    deletes = [(i, ds.ids[i], float(ds.lats[i]), float(ds.lons[i])) for i in doomed]
    return Queries(dataset=ds.name, centres=centres, boxes=boxes, polygons=polygons,
                   filters=filters, deletes=deletes)
