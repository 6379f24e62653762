"""The engines of the comparison, by name, in the order of the report's columns.

Each module is imported only when its engine runs, so that a missing library skips that
engine alone.
"""

import importlib

engines = {
    "vesko": ("peers.vesko_store", "VeskoEngine"),
    "sqlite": ("peers.sqlite_rtree", "SqliteRtreeEngine"),
    "rtree": ("peers.rtree_index", "RtreeEngine"),
    "balltree": ("peers.balltree", "BallTreeEngine"),
    "redis": ("peers.redis_geo", "RedisGeoEngine"),
    "postgis": ("peers.postgis", "PostgisEngine"),
}

servers = {"redis": "redis", "postgis": "postgres"}


def engine_class(name):
    module, cls = engines[name]
    return getattr(importlib.import_module(module), cls)
