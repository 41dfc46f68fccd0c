"""Recordings in any format sox reads, turned into the engine's audio format: raw float32
little-endian mono samples at 16000 Hz."""

from __future__ import annotations

import os
import shutil
import stat

from . import arguments as _arguments
from . import process as _process
from .errors import ClientError, EngineTimeout, InputError, ToolMissing

SAMPLE_RATE_HZ = 16000


class AudioConversionError(ClientError):
    """sox could not turn the recording into the engine's audio format."""


class ConversionTimeout(EngineTimeout, AudioConversionError):
    """sox ran past the time limit and was stopped: a time limit that ran out (`EngineTimeout`) while
    converting the recording (`AudioConversionError`)."""

    def __init__(self, source: str, timeout_s: float, stderr: str):
        super().__init__(timeout_s, stderr, f"converting {source} with sox did not finish within {timeout_s:g} s "
                                            "and was stopped")
        self.source = source


def file_kind(path: str) -> str | None:
    """What `path` names when it is not a regular file ("a directory", "a character device", ...),
    None when it is a regular file; raises OSError when it cannot be looked up."""
    mode = os.stat(path).st_mode
    if stat.S_ISREG(mode):
        return None
    for test, kind in ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a named pipe"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "not a regular file"


def check_recording(source: str) -> None:
    """Raises InputError unless `source` is a regular file that can be looked up."""
    try:
        kind = file_kind(source)
    except FileNotFoundError:
        raise InputError(f"{source}: no such recording") from None
    except OSError as e:
        raise InputError(f"{source}: cannot read the recording: {e.strerror}") from None
    if kind is not None:
        raise InputError(f"{source}: {kind}, not a recording")


def convert_audio(source: str, target: str, timeout_s: float | None = None, tick=None) -> None:
    """Converts any recording sox reads into the engine's audio format (float32 LE mono 16 kHz).

    Raises ToolMissing (no sox), InputError (no such file, or not a regular file),
    AudioConversionError (sox failed; the message says what to do when sox cannot read the format),
    ConversionTimeout (sox ran past `timeout_s` seconds and was stopped; an AudioConversionError and
    an EngineTimeout), or InvalidArgument (a path that is not a str or os.PathLike, a time limit that
    is not a finite, non-negative number). `tick` is called a few times a second while sox runs."""
    source = _arguments.path(source, "source")
    target = _arguments.path(target, "target")
    timeout_s = _process.check_time_limit(timeout_s)
    sox = shutil.which("sox")
    if sox is None:
        raise ToolMissing("sox is not installed; it converts the recording (Debian package sox)")
    check_recording(source)
    argv = [sox, "-V1", source, "-t", "raw", "-e", "floating-point", "-b", "32", "-L", "-c", "1",
            "-r", str(SAMPLE_RATE_HZ), target]
    try:
        done = _process.run(argv, timeout_s=timeout_s, tick=tick)
    except _process.TimedOut as e:
        raise ConversionTimeout(source, timeout_s, e.stderr.decode("utf-8", "replace")) from None
    except OSError as e:
        raise ToolMissing(f"cannot start sox ({sox}): {e.strerror}") from None
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or f"sox exited with status {done.returncode}"
        raise AudioConversionError(f"sox cannot convert {source}: {message}{_what_to_do(source, message)}")


def _what_to_do(source: str, message: str) -> str:
    """What to do when sox cannot read a recording, as the end of the error message."""
    extension = os.path.splitext(source)[1].lower()
    if "no handler for file extension" in message:
        if extension in (".mp3", ".mp2"):
            return ("; this sox has no MP3 support: install it (Debian: apt-get install libsox-fmt-mp3) or convert "
                    f"the recording to WAV or FLAC first (for example ffmpeg -i IN{extension} OUT.wav)")
        return (f"; sox cannot read {extension} recordings: convert it to WAV or FLAC first (for example "
                f"ffmpeg -i IN{extension} OUT.wav) and give that file")
    if "can't determine type" in message or not extension:
        return "; sox tells the format by the file's extension: name the file .wav, .flac, .ogg ... as it is"
    if "can't open input file" in message:
        return f"; the file is damaged, or is not the {extension[1:].upper()} recording its name says"
    return ""
