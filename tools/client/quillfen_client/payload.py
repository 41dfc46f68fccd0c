"""Raw float payloads ("raw-f32le-row-major-v1"): rows x cols float32 values, little-endian, row
after row, no header. Read as a numpy array of float32 [rows, cols] when numpy is installed (and not
refused), else as a list of rows, each a list of Python floats (the float32 values widened exactly).
"""

from __future__ import annotations

import array
import math
import numbers
import os
import sys

from .errors import ClientError, InvalidArgument

PAYLOAD_FORMAT = "raw-f32le-row-major-v1"
DTYPE = "float32-le"

try:
    import numpy as _np
except ImportError:  # the client works without numpy
    _np = None


class PayloadError(ClientError):
    """A payload file that does not hold what its descriptor says."""


def numpy_available() -> bool:
    return _np is not None


def _use_numpy(numpy: bool | None) -> bool:
    if numpy and _np is None:
        raise PayloadError("numpy was asked for but is not installed")
    return _np is not None if numpy is None else bool(numpy)


def read_payload(path: str, rows: int, cols: int, numpy: bool | None = None):
    """Reads rows x cols float32 values from `path`; `numpy` None means "when installed"."""
    expected = rows * cols * 4
    size = os.stat(path).st_size
    if size != expected:
        raise PayloadError(f"payload {path} holds {size} bytes, expected {expected} for shape [{rows}, {cols}]")
    if _use_numpy(numpy):
        return _np.fromfile(path, dtype="<f4", count=rows * cols).astype(_np.float32).reshape(rows, cols)
    values = array.array("f")
    with open(path, "rb") as f:
        values.frombytes(f.read())
    if sys.byteorder == "big":
        values.byteswap()
    return [values[r * cols:(r + 1) * cols].tolist() for r in range(rows)]


def write_payload(path: str, rows) -> tuple[int, int]:
    """Writes a matrix (numpy array or sequence of equally long rows) as float32; returns its shape.

    Values are rounded to float32 (round to nearest)."""
    if _np is not None and isinstance(rows, _np.ndarray):
        matrix = _np.ascontiguousarray(rows, dtype="<f4")
        if matrix.ndim != 2:
            raise PayloadError(f"a payload matrix has two dimensions, not {matrix.ndim}")
        matrix.tofile(path)
        return int(matrix.shape[0]), int(matrix.shape[1])
    try:
        rows = [list(row) for row in rows]
    except TypeError:
        raise InvalidArgument("a payload matrix is a numpy array or a list of rows of numbers") from None
    cols = len(rows[0]) if rows else 0
    values = array.array("f")
    for r, row in enumerate(rows):
        if len(row) != cols:
            raise InvalidArgument(f"row {r} of the payload matrix has {len(row)} values, row 0 has {cols}")
        if any(isinstance(v, bool) or not isinstance(v, numbers.Real) for v in row):
            raise InvalidArgument(f"row {r} of the payload matrix holds a value that is not a number")
        values.extend(row)
    if sys.byteorder == "big":
        values.byteswap()
    with open(path, "wb") as f:
        f.write(values.tobytes())
    return len(rows), cols


def non_finite_rows(rows) -> list[int]:
    """Indices of the rows (numpy array or sequence of rows) holding a NaN or an infinity."""
    if _np is not None and isinstance(rows, _np.ndarray):
        return [int(i) for i in _np.flatnonzero(~_np.isfinite(rows).all(axis=1))]
    return [i for i, row in enumerate(rows) if not all(math.isfinite(float(v)) for v in row)]


def unit_rows(rows):
    """Each row scaled to unit length.

    The length is the square root of the correctly rounded sum of the squares (64-bit floats), each
    value is divided by it in 64-bit floats and rounded to float32; the numpy and the plain path give
    the same values.
    Returns (kept, left_out): the scaled rows, as a float32 numpy array when given one and as lists
    otherwise, and the indices of rows left out because their length is zero (or not finite)."""
    def length(row) -> float:
        return math.sqrt(math.fsum(v * v for v in map(float, row)))

    if _np is not None and isinstance(rows, _np.ndarray):
        wide = rows.astype(_np.float64)
        norms = _np.array([length(row) for row in wide], dtype=_np.float64)
        usable = _np.isfinite(norms) & (norms > 0)
        kept = (wide[usable] / norms[usable, None]).astype(_np.float32).reshape(-1, rows.shape[1])
        return kept, [int(i) for i in _np.flatnonzero(~usable)]
    kept, left_out = [], []
    for i, row in enumerate(rows):
        norm = length(row)
        if norm > 0 and math.isfinite(norm):
            kept.append(array.array("f", [float(v) / norm for v in row]).tolist())
        else:
            left_out.append(i)
    return kept, left_out
