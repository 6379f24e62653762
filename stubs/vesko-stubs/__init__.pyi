"""Embedded, file-backed geospatial point store.

A store is a directory. Each point has a caller-chosen string id, a latitude and longitude
(held as 32-bit floats) and a JSON-object metadata text. Every change is written to a
write-ahead log before it is applied; ``persist`` writes a snapshot; ``vacuum`` compacts.
"""

import os
from types import TracebackType
from typing import (
    Iterator,
    List,
    Literal,
    Optional,
    Sequence,
    Tuple,
    Type,
    Union,
    overload,
)

from typing_extensions import Buffer, TypeAlias

__version__: str

class PanicException(BaseException):
    """An internal failure of the store engine (a broken invariant or an unusable data file)."""

class ItemIterator(Iterator[Tuple[str, float, float, str]]):
    """Iterator over (id, lat, lon, metadata) of the live points, in internal-id order."""

    def __iter__(self) -> "ItemIterator": ...
    def __next__(self) -> Tuple[str, float, float, str]: ...

# An Arrow array handed over through the PyCapsule interface (__arrow_c_array__), such as a
# pyarrow.Array; typed loosely, since vesko does not depend on pyarrow.
_ArrowArrayExportable: TypeAlias = object

class Columns:
    """An answer as columns: id, lat, lon, distance_m (radius and k-nearest) and metadata, in the
    order of the tuple answer (answer="geoarrow" adds geometry, GeoArrow points), handed to
    pyarrow, polars, duckdb, pandas or GeoPandas through the Arrow PyCapsule interface
    (pyarrow.table(c), geopandas.GeoDataFrame.from_arrow(c)) without copying a column. It
    owns its buffers: it stays valid after the store changes or closes."""

    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(
        self,
        requested_schema: Optional[object] = None,
    ) -> Tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def __len__(self) -> int:
        """The number of rows."""

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

class Vesko:
    """One open store directory, created with its files when missing. A second object on the
    same directory in this process shares the open store (it closes with the last of them);
    a second writer in another process raises BlockingIOError, after waiting up to timeout
    seconds for the other to close it. An object is used only by the process that opened it
    (not a child made by fork()); calls from elsewhere raise ValueError.

    read_only=True opens an existing store for reading beside its writer and any number of
    other readers, in any processes, writing nothing in its directory (which may be read-only);
    a path that holds no store raises FileNotFoundError. Each call on a reader first catches up
    with the writer, so it sees every change whose call had returned in the writer before it
    began (a microsecond's check when nothing changed). Changes, sync, persist and vacuum raise
    io.UnsupportedOperation."""

    def __init__(
        self, storage_path: _Path, *, read_only: bool = False, timeout: float = 0
    ) -> None: ...
    @property
    def read_only(self) -> bool:
        """True for a reader (opened with read_only=True)."""
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
        """Makes every change durable in a snapshot and empties the log; writes nothing when
        no change was applied since the last snapshot."""
    def count(self) -> int:
        """The number of live points."""
    def delete(self, id: str) -> None:
        """Deletes the point with this id, if there is one."""
    def delete_by_filter(self, filter_json: str) -> int:
        """Deletes every live point that matches the filter; returns how many."""
    def vacuum(self) -> None:
        """Compacts the data files to the live points, renumbering them in their order."""
    @overload
    def search_knn(
        self, lat: float, lon: float, k: int, filter_json: Optional[str] = None, answer: None = None
    ) -> List[Tuple[str, float, str]]:
        """The k nearest points as (id, metres, metadata), nearest first; answer="columns" gives
        them as Columns, answer="count" their number alone."""
    @overload
    def search_knn(
        self,
        lat: float,
        lon: float,
        k: int,
        filter_json: Optional[str] = None,
        *,
        answer: Literal["columns", "geoarrow"],
    ) -> Columns: ...
    @overload
    def search_knn(
        self,
        lat: float,
        lon: float,
        k: int,
        filter_json: Optional[str] = None,
        *,
        answer: Literal["count"],
    ) -> int: ...
    @overload
    def search_box(
        self,
        top_left: Tuple[float, float],
        bottom_right: Tuple[float, float],
        filter_json: Optional[str] = None,
        answer: None = None,
    ) -> List[Tuple[str, str]]:
        """Points inside the box (north-west and south-east corners) as (id, metadata);
        answer="columns" gives them as Columns, answer="count" their number alone."""
    @overload
    def search_box(
        self,
        top_left: Tuple[float, float],
        bottom_right: Tuple[float, float],
        filter_json: Optional[str] = None,
        *,
        answer: Literal["columns", "geoarrow"],
    ) -> Columns: ...
    @overload
    def search_box(
        self,
        top_left: Tuple[float, float],
        bottom_right: Tuple[float, float],
        filter_json: Optional[str] = None,
        *,
        answer: Literal["count"],
    ) -> int: ...
    @overload
    def search_radius(
        self,
        lat: float,
        lon: float,
        radius_m: float,
        filter_json: Optional[str] = None,
        answer: None = None,
    ) -> List[Tuple[str, float, str]]:
        """Points within radius_m metres as (id, metres, metadata), nearest first;
        answer="columns" gives them as Columns, answer="count" their number alone."""
    @overload
    def search_radius(
        self,
        lat: float,
        lon: float,
        radius_m: float,
        filter_json: Optional[str] = None,
        *,
        answer: Literal["columns", "geoarrow"],
    ) -> Columns: ...
    @overload
    def search_radius(
        self,
        lat: float,
        lon: float,
        radius_m: float,
        filter_json: Optional[str] = None,
        *,
        answer: Literal["count"],
    ) -> int: ...
    @overload
    def search_polygon(
        self,
        points: Sequence[Tuple[float, float]],
        filter_json: Optional[str] = None,
        answer: None = None,
    ) -> List[Tuple[str, str]]:
        """Points inside the polygon of (lat, lon) vertices as (id, metadata);
        answer="columns" gives them as Columns, answer="count" their number alone."""
    @overload
    def search_polygon(
        self,
        points: Sequence[Tuple[float, float]],
        filter_json: Optional[str] = None,
        *,
        answer: Literal["columns", "geoarrow"],
    ) -> Columns: ...
    @overload
    def search_polygon(
        self,
        points: Sequence[Tuple[float, float]],
        filter_json: Optional[str] = None,
        *,
        answer: Literal["count"],
    ) -> int: ...
    def get(self, id: str) -> Optional[Tuple[float, float, str]]:
        """(lat, lon, metadata) of the live point with this id, or None."""
    def upsert(
        self,
        id: str,
        lat: float,
        lon: float,
        metadata: str,
        skip_index: Optional[Sequence[str]] = None,
    ) -> bool:
        """Replaces the live point with this id, or adds it, in one step; True when a point
        was replaced. The new version comes after earlier points in id-ordered results."""
    @overload
    def items(
        self, filter_json: Optional[str] = None, answer: None = None
    ) -> ItemIterator:
        """Iterates the live points (matching the filter) as (id, lat, lon, metadata), a
        chunk at a time; each point as it was when its chunk was read. answer="columns"
        reads them all at once as Columns (id, lat, lon, metadata)."""
    @overload
    def items(
        self,
        filter_json: Optional[str] = None,
        *,
        answer: Literal["columns", "geoarrow"],
    ) -> Columns: ...
    def export(
        self,
        path: Union[str, "os.PathLike[str]"],
        format: Optional[Literal["geojson", "parquet"]] = None,
    ) -> int:
        """Writes the live points as GeoJSON or GeoParquet (by suffix unless format is
        given); returns how many. GeoParquet needs pyarrow."""
    def refresh(self) -> None:
        """Catches a reader up with its writer now, as every call on a reader does first; for a
        caller that wants to pay for that at a moment of its choosing. Does nothing on a writer."""
    def close(self) -> None:
        """Releases the directory's lock, the mappings and the files, persisting nothing; every
        later call raises ValueError("store is closed"). Closing again does nothing."""
    def sync(self) -> None:
        """Makes every change so far survive a power loss by forcing the log to disk, without
        writing a snapshot; cheaper than persist."""
    def add_many(
        self,
        ids: Union[Sequence[str], _ArrowArrayExportable],
        lats: Union[Sequence[float], Buffer],
        lons: Union[Sequence[float], Buffer],
        metadatas: Union[Sequence[str], _ArrowArrayExportable],
        skip_index: Optional[Sequence[str]] = None,
    ) -> None:
        """Adds the points as that many add calls would, in order, logged and applied 65,536
        at a time. lats and lons may be float32/float64 buffers (numpy arrays). Every item is
        checked first: a bad one raises, naming its index, and adds nothing. A failed log
        write, or Ctrl-C, raises (OSError, KeyboardInterrupt) with the chunks before it added.
        ids and metadatas may be Arrow utf8 arrays (pyarrow.array)."""
    def delete_many(self, ids: Sequence[str]) -> int:
        """Deletes the points with these ids as that many delete calls would; returns how many
        live points were deleted."""
    @overload
    def get_many(
        self, ids: Sequence[str], answer: None = None
    ) -> List[Optional[Tuple[float, float, str]]]:
        """What get gives for each id, in order; answer="columns" gives the live ones as Columns
        (id, lat, lon, metadata), in the order asked."""
    @overload
    def get_many(self, ids: Sequence[str], answer: Literal["columns", "geoarrow"]) -> Columns: ...
    def search_knn_many(
        self,
        lats: Union[Sequence[float], Buffer],
        lons: Union[Sequence[float], Buffer],
        k: int,
        filter_json: Optional[str] = None,
    ) -> Columns:
        """search_knn for every centre (lats[i], lons[i]) at once, on every core, as Columns
        with a query column (the centre's position) first, rows grouped by query."""
    def search_radius_many(
        self,
        lats: Union[Sequence[float], Buffer],
        lons: Union[Sequence[float], Buffer],
        radius_m: Union[float, Sequence[float], Buffer],
        filter_json: Optional[str] = None,
    ) -> Columns:
        """search_radius for every centre at once (one radius, or one per centre), on every
        core, as Columns with a query column first, rows grouped by query."""
    def __contains__(self, id: str) -> bool:
        """True when a live point has this id."""
    def __len__(self) -> int:
        """The number of live points, as count()."""
    def __enter__(self) -> "Vesko":
        """Returns the store itself; leaving the with block closes it."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]:
        """Closes the store."""

def import_geojson(path: Union[str, "os.PathLike[str]"], db: Vesko) -> int:
    """Adds the Point features of a GeoJSON FeatureCollection to db (the Feature "id" as the
    point's id, a number as its decimal text and none as the feature's position; "properties"
    as its metadata; a null geometry as NaN coordinates) as add_many would; ids already live
    are left unchanged. The whole file is checked first: a bad one raises and adds nothing.
    Returns how many features were read."""

def import_parquet(path: Union[str, "os.PathLike[str]"], db: Vesko) -> int:
    """Adds the rows of a GeoParquet file to db as add_many would: points as WKB or GeoArrow,
    the id from an id column (numbers as their decimal text) or the row number, every other
    column gathered into the metadata object. Ids already live are left unchanged. The whole
    file is checked first: a bad one raises and adds nothing. Returns how many rows were
    read."""

def salvage(storage_path: _Path, *, rebuild: Optional[bool] = None) -> Vesko:
    """Opens a store that Vesko() refused as damaged, after setting its damaged parts aside: the
    log from its damaged record on to wal.bin.damaged; the points whose records are lost to
    salvage-lost.jsonl, the snapshot kept without them (a copy in snapshot.bin.damaged), or,
    when it cannot be kept, rebuilt from the data files with rebuild=True and else moved to
    snapshot.bin.damaged."""
