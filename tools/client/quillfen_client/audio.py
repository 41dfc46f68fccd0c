"""Recordings in any format sox reads, turned into the engine's audio format: raw float32
little-endian mono samples at 16000 Hz."""

from __future__ import annotations

import os
import shutil
import subprocess

from .errors import ClientError, InputError, ToolMissing

SAMPLE_RATE_HZ = 16000


class AudioConversionError(ClientError):
    """sox could not turn the recording into the engine's audio format."""


def convert_audio(source: str, target: str, timeout_s: float | None = None) -> None:
    """Converts any recording sox reads into the engine's audio format (float32 LE mono 16 kHz).

    Raises ToolMissing (no sox), InputError (no such file) or AudioConversionError (sox failed or
    ran past the time limit)."""
    sox = shutil.which("sox")
    if sox is None:
        raise ToolMissing("sox is not installed; it converts the recording (Debian package sox)")
    if not os.path.isfile(source):
        raise InputError(f"{source}: no such recording")
    argv = [sox, "-V1", source, "-t", "raw", "-e", "floating-point", "-b", "32", "-L", "-c", "1",
            "-r", str(SAMPLE_RATE_HZ), target]
    try:
        done = subprocess.run(argv, capture_output=True, timeout=timeout_s)
    except subprocess.TimeoutExpired:
        error = AudioConversionError(f"converting {source} with sox did not finish within the time limit")
        error.cli_status = 75
        raise error from None
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or f"sox exited with status {done.returncode}"
        raise AudioConversionError(f"sox cannot convert {source}: {message}")
