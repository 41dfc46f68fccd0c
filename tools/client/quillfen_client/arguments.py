"""Checks of the arguments the public functions take: each returns the value in the form the client
uses, or raises InvalidArgument naming the argument and what it must be, before anything runs."""

from __future__ import annotations

import numbers
import os

from .errors import InvalidArgument

# The magic numbers of the recording formats people pass where the engine's raw samples belong.
_CONTAINERS = ((0, b"RIFF", "WAV"), (0, b"RF64", "WAV"), (0, b"fLaC", "FLAC"), (0, b"OggS", "Ogg"),
               (0, b"ID3", "MP3"), (0, b"FORM", "AIFF"), (4, b"ftyp", "MP4/M4A"),
               (0, b"\x1aE\xdf\xa3", "WebM/Matroska"))


def path(value, what: str) -> str:
    """A file or directory path: a non-empty str or os.PathLike without NUL characters."""
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, bytes):
        value = os.fsdecode(value)
    if not isinstance(value, str):
        raise InvalidArgument(f"{what} must be a path (str or os.PathLike), not {_shown(value)}")
    if not value:
        raise InvalidArgument(f"{what} must be a path, not an empty string")
    if "\0" in value:
        raise InvalidArgument(f"{what} must be a path without NUL characters, not {value!r}")
    return value


def optional_path(value, what: str) -> str | None:
    return None if value is None else path(value, what)


# The largest integer the engine's requests take (a signed 64-bit one).
LARGEST_INTEGER = 2**63 - 1


def integer(value, what: str, minimum: int | None = None) -> int:
    """An integer (not a bool), at least `minimum` when given, at most LARGEST_INTEGER."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise InvalidArgument(f"{what} must be an integer, not {_shown(value)}")
    value = int(value)
    if minimum is not None and value < minimum:
        raise InvalidArgument(f"{what} must be at least {minimum}, not {value}")
    if value > LARGEST_INTEGER:
        raise InvalidArgument(f"{what} must be at most {LARGEST_INTEGER}, not {value}")
    return value


def flag(value, what: str) -> bool:
    if not isinstance(value, bool):
        raise InvalidArgument(f"{what} must be True or False, not {_shown(value)}")
    return value


def optional_flag(value, what: str) -> bool | None:
    if value is not None and not isinstance(value, bool):
        raise InvalidArgument(f"{what} must be None, True or False, not {_shown(value)}")
    return value


def text(value, what: str) -> str:
    if not isinstance(value, str):
        raise InvalidArgument(f"{what} must be a str, not {_shown(value)}")
    return value


def sequence(value, what: str) -> list:
    """The items of an iterable that is not a text, a mapping or a set of bytes."""
    if isinstance(value, (str, bytes, bytearray, dict)) or not hasattr(value, "__iter__"):
        raise InvalidArgument(f"{what} must be a list (or other iterable) of items, not {_shown(value)}")
    return list(value)


def recording_container(path_: str) -> str | None:
    """The name of the recording format the file's first bytes show ("WAV", "FLAC", ...), None when
    they show none of them or the file cannot be read."""
    try:
        with open(path_, "rb") as f:
            head = f.read(12)
    except OSError:
        return None
    for offset, magic, name in _CONTAINERS:
        if head[offset:offset + len(magic)] == magic:
            return name
    return None


def _shown(value) -> str:
    shown = repr(value)
    if len(shown) > 60:
        shown = shown[:57] + "..."
    return f"{type(value).__name__} {shown}"
