"""Parquet files written by the package itself (Debian has no Arrow or Parquet library for Python).

    from corvane.export.parquet import Column, ParquetWriter

    columns = [Column("index", "int64"), Column("action", "float32", is_list=True)]
    with ParquetWriter("data.parquet", columns, compression="zstd") as writer:
        writer.write({"index": numpy.arange(3), "action": numpy.zeros((3, 7), numpy.float32)})

What it writes: version 1 data pages, PLAIN values, repetition and definition levels in the RLE/bit-packed
hybrid, vectors as the LIST logical type in the three-level form (``<name>.list.element``), strings as BYTE_ARRAY
with the STRING logical type, Snappy, zstd or no compression, min/max/null count in each column chunk's
metadata, and the footer in Thrift's compact protocol. Each ``write`` becomes one page per column; pages are
held (encoded and compressed) until the row group reaches ``row_group_bytes``, then written out, so memory
is bounded by a row group, not the file.

Column kinds: ``bool``, ``int32``, ``int64``, ``float32``, ``float64``, ``string``. A scalar column takes a
1-D array or a sequence; a list column a 2-D array (every row the same length) or a sequence of rows. With
``nullable=True``, None is a null (a null row for list columns); list elements are never null.
"""

from __future__ import annotations

import struct
from typing import IO, Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy
from numpy.typing import NDArray

__all__ = ["COMPRESSIONS", "Column", "ParquetWriter", "write_table"]

Array = NDArray[Any]

COMPRESSIONS = ("none", "snappy", "zstd")

# Values from the format's Thrift definitions.
_BOOLEAN, _INT32, _INT64, _FLOAT, _DOUBLE, _BYTE_ARRAY = 0, 1, 2, 4, 5, 6
_REQUIRED, _OPTIONAL, _REPEATED = 0, 1, 2
_PLAIN, _RLE = 0, 3
_CODECS = {"none": 0, "snappy": 1, "zstd": 6}
_CONVERTED_UTF8, _CONVERTED_LIST = 0, 3
_DATA_PAGE = 0
_KINDS: Dict[str, Tuple[int, Optional[str]]] = {
    "bool": (_BOOLEAN, None), "int32": (_INT32, "<i4"), "int64": (_INT64, "<i8"),
    "float32": (_FLOAT, "<f4"), "float64": (_DOUBLE, "<f8"), "string": (_BYTE_ARRAY, None),
}


class Column(NamedTuple):
    name: str
    kind: str  # one of bool, int32, int64, float32, float64, string
    is_list: bool = False
    nullable: bool = False


# --- Thrift compact protocol --------------------------------------------------------------------------------
# A struct is a list of (field id, type, value); a list's type is (_T_LIST, element type). None fields are
# left out, as optional fields are.
_T_I32, _T_I64, _T_BINARY, _T_LIST, _T_STRUCT = 5, 6, 8, 9, 12
Field = Tuple[int, Any, Any]


def _varint(out: bytearray, n: int) -> None:
    while n > 0x7F:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)


def _zigzag(n: int) -> int:
    return (n << 1) ^ (n >> 63)


def _thrift_value(out: bytearray, kind: Any, value: Any) -> None:
    if kind in (_T_I32, _T_I64):
        _varint(out, _zigzag(int(value)))
    elif kind == _T_BINARY:
        data = value.encode("utf-8") if isinstance(value, str) else bytes(value)
        _varint(out, len(data))
        out += data
    elif kind == _T_STRUCT:
        thrift_struct(out, value)
    elif isinstance(kind, tuple):
        element = kind[1]
        out.append((len(value) << 4 | element) if len(value) < 15 else (0xF0 | element))
        if len(value) >= 15:
            _varint(out, len(value))
        for item in value:
            _thrift_value(out, element, item)
    else:
        raise ValueError(f"no Thrift type {kind}")


def thrift_struct(out: bytearray, fields: Sequence[Field]) -> None:
    """Appends a struct in the compact protocol: field headers by delta when they can, then the stop byte."""
    last = 0
    for field_id, kind, value in fields:
        if value is None:
            continue
        code = _T_LIST if isinstance(kind, tuple) else kind
        if 0 < field_id - last <= 15:
            out.append((field_id - last) << 4 | code)
        else:
            out.append(code)
            _varint(out, _zigzag(field_id))
        _thrift_value(out, kind, value)
        last = field_id
    out.append(0)


# --- levels and values ----------------------------------------------------------------------------------------

def _bit_packed(values: Array, bit_width: int) -> bytes:
    """A bit-packed run (values LSB first, padded to a group of 8) with its header."""
    groups = (len(values) + 7) // 8
    padded = numpy.zeros(groups * 8, dtype=numpy.uint8)
    padded[:len(values)] = values
    bits = (padded[:, None] >> numpy.arange(bit_width, dtype=numpy.uint8)) & 1
    out = bytearray()
    _varint(out, groups << 1 | 1)
    return bytes(out) + numpy.packbits(bits.reshape(-1), bitorder="little").tobytes()


def _rle_run(value: int, count: int, bit_width: int) -> bytes:
    out = bytearray()
    _varint(out, count << 1)
    return bytes(out) + int(value).to_bytes((bit_width + 7) // 8, "little")


def encode_levels(levels: Array, bit_width: int) -> bytes:
    """The RLE/bit-packed hybrid: runs of 16 or more equal levels as RLE runs, what lies between bit-packed
    (a bit-packed run other than the last holds a multiple of 8 values)."""
    n = len(levels)
    out = bytearray()
    if n == 0:
        return bytes(out)
    change = numpy.flatnonzero(levels[1:] != levels[:-1]) + 1
    starts: Array = numpy.concatenate((numpy.zeros(1, numpy.int64), change))
    ends: Array = numpy.concatenate((change, numpy.full(1, n, numpy.int64)))
    long = (ends - starts) >= 16
    pos = 0
    for start, end in zip(starts[long].tolist(), ends[long].tolist()):
        start = pos + (start - pos + 7) // 8 * 8  # the literal values before it fill whole groups
        if end - start < 8:
            continue
        if start > pos:
            out += _bit_packed(levels[pos:start], bit_width)
        out += _rle_run(int(levels[start]), end - start, bit_width)
        pos = end
    if pos < n:
        out += _bit_packed(levels[pos:], bit_width)
    return bytes(out)


def _plain(kind: str, values: Any) -> bytes:
    if kind == "string":
        return b"".join(struct.pack("<I", len(v)) + v for v in values)
    if kind == "bool":
        return numpy.packbits(numpy.asarray(values, dtype=bool), bitorder="little").tobytes()
    return numpy.ascontiguousarray(values, dtype=_KINDS[kind][1]).tobytes()


def _text(value: Any) -> bytes:
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8")
    raise TypeError(f"a string column holds str or bytes, not {type(value).__name__}")


def _leaf_array(kind: str, values: Any) -> Any:
    """The column's non-null leaf values: a numpy array, or a list of bytes for strings."""
    if kind == "string":
        return [_text(v) for v in values]
    dtype = bool if kind == "bool" else _KINDS[kind][1]
    array = numpy.asarray(values)
    if kind != "bool" and array.dtype.kind in "iub" and numpy.dtype(dtype).kind == "i":
        info = numpy.iinfo(numpy.dtype(dtype))
        if array.size and (array.min() < info.min or array.max() > info.max):
            raise OverflowError(f"a value does not fit {kind}")
    return array.astype(dtype, copy=False).reshape(-1)


class _Leaf(NamedTuple):
    """A column's part of one page: its values and levels (None where the column has none)."""
    values: Any
    repetition: Optional[Array]
    definition: Optional[Array]
    entries: int  # level entries: values, nulls and empty lists


def _scalar_leaf(column: Column, values: Any) -> _Leaf:
    if not column.nullable:
        if not isinstance(values, numpy.ndarray) and any(v is None for v in values):
            raise ValueError(f"column {column.name}: None in a column that is not nullable")
        leaf = _leaf_array(column.kind, values)
        return _Leaf(leaf, None, None, len(leaf))
    present = numpy.array([v is not None for v in values], dtype=bool)
    leaf = _leaf_array(column.kind, [v for v in values if v is not None])
    return _Leaf(leaf, None, present.astype(numpy.uint8), len(present))


def _list_leaf(column: Column, rows: Any) -> _Leaf:
    """Levels of the three-level list: a null row defines 0, an empty one max-1, each element max."""
    top = 2 if column.nullable else 1
    if isinstance(rows, numpy.ndarray) and rows.ndim == 2:
        lengths = numpy.full(rows.shape[0], rows.shape[1], dtype=numpy.int64)
        present = numpy.ones(rows.shape[0], dtype=bool)
        leaf = _leaf_array(column.kind, rows)
    else:
        present = numpy.array([r is not None for r in rows], dtype=bool)
        if not column.nullable and not present.all():
            raise ValueError(f"column {column.name}: None in a column that is not nullable")
        items: List[Any] = [list(r) if column.kind == "string" else numpy.asarray(r).reshape(-1)
                            for r in rows if r is not None]
        lengths = numpy.zeros(len(present), dtype=numpy.int64)
        lengths[present] = [len(r) for r in items]
        flat: Any = [v for r in items for v in r] if column.kind == "string" else (
            numpy.concatenate(items) if items else numpy.zeros(0))
        leaf = _leaf_array(column.kind, flat)
    entries = numpy.maximum(lengths, 1)
    first = numpy.concatenate(([0], numpy.cumsum(entries)[:-1])).astype(numpy.int64)
    total = int(entries.sum())
    repetition = numpy.ones(total, dtype=numpy.uint8)
    repetition[first] = 0
    definition = numpy.full(total, top, dtype=numpy.uint8)
    definition[first[lengths == 0]] = top - 1
    definition[first[~present]] = 0
    return _Leaf(leaf, repetition, definition, total)


# --- statistics -----------------------------------------------------------------------------------------------

def _bounds(kind: str, values: Any) -> Optional[Tuple[Any, Any]]:
    """The least and greatest value (NaN ignored), or None when there is none."""
    if len(values) == 0:
        return None
    if kind == "string":
        return min(values), max(values)
    if kind in ("float32", "float64"):
        values = values[~numpy.isnan(values)]
        if len(values) == 0:
            return None
    return values.min().item(), values.max().item()


def _stat_bytes(kind: str, value: Any) -> bytes:
    if kind == "string":
        return bytes(value)
    if kind == "bool":
        return b"\x01" if value else b"\x00"
    return numpy.array([value], dtype=_KINDS[kind][1]).tobytes()


class _Chunk:
    """One column's pages of the row group being filled, and what its metadata needs."""

    def __init__(self) -> None:
        self.pages: List[bytes] = []
        self.entries = 0
        self.uncompressed = 0
        self.compressed = 0
        self.nulls = 0
        self.bounds: Optional[Tuple[Any, Any]] = None

    def add_bounds(self, bounds: Optional[Tuple[Any, Any]]) -> None:
        if bounds is not None:
            low, high = bounds if self.bounds is None else (min(self.bounds[0], bounds[0]),
                                                           max(self.bounds[1], bounds[1]))
            self.bounds = (low, high)

    def statistics(self, kind: str) -> List[Field]:
        low, high = self.bounds if self.bounds is not None else (None, None)
        if kind in ("float32", "float64") and self.bounds is not None:
            low, high = (-0.0 if low == 0 else low), (0.0 if high == 0 else high)  # zero's sign is unknown
        return [(3, _T_I64, self.nulls),
                (5, _T_BINARY, None if high is None else _stat_bytes(kind, high)),
                (6, _T_BINARY, None if low is None else _stat_bytes(kind, low))]


# --- the writer -------------------------------------------------------------------------------------------------

def _compressor(name: str) -> Any:
    if name == "none":
        return lambda data: data
    if name == "snappy":
        import snappy  # Debian: python3-snappy

        return snappy.compress
    if name == "zstd":
        import zstandard  # Debian: python3-zstandard

        return zstandard.ZstdCompressor(level=3).compress
    raise ValueError(f"compression is one of {', '.join(COMPRESSIONS)}, not {name!r}")


def _schema(columns: Sequence[Column]) -> List[List[Field]]:
    """The flattened schema tree: the root, then each column (a list column as its three levels)."""
    elements: List[List[Field]] = [[(4, _T_BINARY, "schema"), (5, _T_I32, len(columns))]]
    for column in columns:
        physical = _KINDS[column.kind][0]
        string = column.kind == "string"
        repetition = _OPTIONAL if column.nullable else _REQUIRED
        leaf = [(1, _T_I32, physical), (3, _T_I32, _REQUIRED if column.is_list else repetition),
                (4, _T_BINARY, "element" if column.is_list else column.name),
                (6, _T_I32, _CONVERTED_UTF8 if string else None),
                (10, _T_STRUCT, [(1, _T_STRUCT, [])] if string else None)]
        if column.is_list:
            elements.append([(3, _T_I32, repetition), (4, _T_BINARY, column.name), (5, _T_I32, 1),
                             (6, _T_I32, _CONVERTED_LIST), (10, _T_STRUCT, [(3, _T_STRUCT, [])])])
            elements.append([(3, _T_I32, _REPEATED), (4, _T_BINARY, "list"), (5, _T_I32, 1)])
        elements.append(leaf)
    return elements


class ParquetWriter:
    """Writes one Parquet file: ``write`` a batch of rows as often as needed, then ``close`` (or use ``with``).

    ``metadata`` is the footer's key/value metadata (e.g. pandas' ``"pandas"`` entry)."""

    def __init__(self, path: Any, columns: Sequence[Column], compression: str = "zstd",
                 row_group_bytes: int = 64 << 20, metadata: Optional[Mapping[str, str]] = None) -> None:
        for column in columns:
            if column.kind not in _KINDS:
                raise ValueError(f"column {column.name}: no kind {column.kind!r}")
        if len({c.name for c in columns}) != len(columns):
            raise ValueError("column names repeat")
        self.columns = list(columns)
        self._codec = _CODECS.get(compression, -1)
        self._compress = _compressor(compression)
        self._row_group_bytes = row_group_bytes
        self._metadata = dict(metadata or {})
        self._file: Optional[IO[bytes]] = open(path, "wb")
        self._file.write(b"PAR1")
        self._chunks = [_Chunk() for _ in self.columns]
        self._group_rows = 0
        self._rows = 0
        self._row_groups: List[List[Field]] = []

    @property
    def rows(self) -> int:
        return self._rows

    @property
    def size(self) -> int:
        """Bytes written so far plus those held for the row group being filled."""
        assert self._file is not None
        return self._file.tell() + sum(c.compressed for c in self._chunks)

    def write(self, batch: Mapping[str, Any]) -> None:
        """Adds rows: every column by name, all the same length."""
        if self._file is None:
            raise ValueError("the Parquet file is closed")
        missing = [c.name for c in self.columns if c.name not in batch]
        if missing:
            raise ValueError(f"columns missing from the batch: {', '.join(missing)}")
        counts = {len(batch[c.name]) for c in self.columns}
        if len(counts) > 1:
            raise ValueError(f"columns of different lengths: {sorted(counts)}")
        rows = counts.pop() if counts else 0
        if rows == 0:
            return
        for column, chunk in zip(self.columns, self._chunks):
            self._add_page(column, chunk, batch[column.name])
        self._group_rows += rows
        self._rows += rows
        if sum(c.compressed for c in self._chunks) >= self._row_group_bytes:
            self._flush_row_group()

    def _add_page(self, column: Column, chunk: _Chunk, values: Any) -> None:
        leaf = _list_leaf(column, values) if column.is_list else _scalar_leaf(column, values)
        body = bytearray()
        for levels, top in ((leaf.repetition, 1), (leaf.definition, 2 if column.is_list and column.nullable else 1)):
            if levels is not None:
                encoded = encode_levels(levels, top.bit_length())
                body += struct.pack("<I", len(encoded)) + encoded
        body += _plain(column.kind, leaf.values)
        compressed = self._compress(bytes(body))
        header = bytearray()
        thrift_struct(header, [(1, _T_I32, _DATA_PAGE), (2, _T_I32, len(body)), (3, _T_I32, len(compressed)),
                               (5, _T_STRUCT, [(1, _T_I32, leaf.entries), (2, _T_I32, _PLAIN),
                                               (3, _T_I32, _RLE), (4, _T_I32, _RLE)])])
        chunk.pages.append(bytes(header) + compressed)
        chunk.entries += leaf.entries
        chunk.uncompressed += len(header) + len(body)
        chunk.compressed += len(header) + len(compressed)
        chunk.nulls += leaf.entries - len(leaf.values)
        chunk.add_bounds(_bounds(column.kind, leaf.values))

    def _flush_row_group(self) -> None:
        assert self._file is not None
        if self._group_rows == 0:
            return
        chunks: List[Tuple[int, List[Field]]] = []
        start = self._file.tell()
        for column, chunk in zip(self.columns, self._chunks):
            offset = self._file.tell()
            for page in chunk.pages:
                self._file.write(page)
            path = [column.name, "list", "element"] if column.is_list else [column.name]
            levels = column.is_list or column.nullable
            meta: List[Field] = [
                (1, _T_I32, _KINDS[column.kind][0]), (2, (_T_LIST, _T_I32), [_PLAIN, _RLE] if levels else [_PLAIN]),
                (3, (_T_LIST, _T_BINARY), path), (4, _T_I32, self._codec), (5, _T_I64, chunk.entries),
                (6, _T_I64, chunk.uncompressed), (7, _T_I64, chunk.compressed), (9, _T_I64, offset),
                (12, _T_STRUCT, chunk.statistics(column.kind))]
            chunks.append((chunk.uncompressed, [(2, _T_I64, offset), (3, _T_STRUCT, meta)]))
        self._row_groups.append([
            (1, (_T_LIST, _T_STRUCT), [c for _, c in chunks]), (2, _T_I64, sum(u for u, _ in chunks)),
            (3, _T_I64, self._group_rows), (5, _T_I64, start), (6, _T_I64, self._file.tell() - start),
            (7, _T_I32, len(self._row_groups))])
        self._chunks = [_Chunk() for _ in self.columns]
        self._group_rows = 0

    def close(self) -> None:
        """Writes the last row group and the footer."""
        if self._file is None:
            return
        self._flush_row_group()
        footer = bytearray()
        thrift_struct(footer, [
            (1, _T_I32, 1), (2, (_T_LIST, _T_STRUCT), _schema(self.columns)), (3, _T_I64, self._rows),
            (4, (_T_LIST, _T_STRUCT), self._row_groups),
            (5, (_T_LIST, _T_STRUCT), [[(1, _T_BINARY, k), (2, _T_BINARY, v)] for k, v in self._metadata.items()]
             or None),
            (6, _T_BINARY, "corvane"),
            (7, (_T_LIST, _T_STRUCT), [[(1, _T_STRUCT, [])] for _ in self.columns])])  # min/max by type order
        self._file.write(bytes(footer) + struct.pack("<I", len(footer)) + b"PAR1")
        self._file.close()
        self._file = None

    def __enter__(self) -> "ParquetWriter":
        return self

    def __exit__(self, *args: object) -> None:
        self.close()


def write_table(path: Any, columns: Sequence[Column], table: Mapping[str, Any], **options: Any) -> None:
    """Writes one batch of rows as a whole file (options as ParquetWriter's)."""
    with ParquetWriter(path, columns, **options) as writer:
        writer.write(table)
