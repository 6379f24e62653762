"""Embedded, file-backed geospatial point store.

A store is a directory. Each point has a caller-chosen string id, a latitude and longitude
(held as 32-bit floats) and a JSON-object metadata text. Every change is written to a
write-ahead log before it is applied; ``persist`` writes a snapshot; ``vacuum`` compacts.
"""

from typing import List, Optional, Sequence, Tuple

class PanicException(BaseException):
    """An internal failure of the store engine (a broken invariant or an unusable data file)."""

class Vesko:
    """One open store directory, created with its files when missing."""

    def __init__(self, storage_path: str) -> None: ...
    def exists(self, filter_json: str) -> bool:
        """True when at least one live point matches the filter."""
    def add(
        self,
        id: str,
        lat: float,
        lon: float,
        metadata: str,
        skip_index: Optional[Sequence[str]] = None,
    ) -> None:
        """Adds a point; a live id is left unchanged. Fields named in skip_index are stored
        but not indexed. Raises ValueError for metadata that is not a JSON object."""
    def persist(self) -> None:
        """Makes every change durable in a snapshot and empties the log."""
    def count(self) -> int:
        """The number of live points."""
    def delete(self, id: str) -> None:
        """Deletes the point with this id, if there is one."""
    def delete_by_filter(self, filter_json: str) -> int:
        """Deletes every live point that matches the filter; returns how many."""
    def vacuum(self) -> None:
        """Compacts the data files to the live points, renumbering them in their order."""
    def search_knn(
        self, lat: float, lon: float, k: int, filter_json: Optional[str] = None
    ) -> List[Tuple[str, float, str]]:
        """The k nearest points as (id, metres, metadata), nearest first."""
    def search_box(
        self,
        top_left: Tuple[float, float],
        bottom_right: Tuple[float, float],
        filter_json: Optional[str] = None,
    ) -> List[Tuple[str, str]]:
        """Points inside the box (north-west and south-east corners) as (id, metadata)."""
    def search_radius(
        self, lat: float, lon: float, radius_m: float, filter_json: Optional[str] = None
    ) -> List[Tuple[str, float, str]]:
        """Points within radius_m metres as (id, metres, metadata), nearest first."""
    def search_polygon(
        self, points: Sequence[Tuple[float, float]], filter_json: Optional[str] = None
    ) -> List[Tuple[str, str]]:
        """Points inside the polygon of (lat, lon) vertices as (id, metadata)."""

def salvage(storage_path: str) -> Vesko:
    """Opens a store that Vesko() refused as damaged, after moving the damaged snapshot to
    snapshot.bin.damaged and the log from its damaged record on to wal.bin.damaged."""
