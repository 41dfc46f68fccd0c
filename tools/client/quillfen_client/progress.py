"""What a long job is doing, shown on one line of a terminal while it runs.

The engine prints nothing while it works, so the commands show what they can: the phase
(converting the recording, analysing it), the recording's length, the time elapsed and an estimate
of the time left. The estimate comes from the rate (seconds of analysis per second of audio) this
user's last run with the same engine and models measured, kept in
`${XDG_CACHE_HOME:-~/.cache}/quillfen-client/rates.json`; without one it uses a stated typical
rate, `TYPICAL_RATE`, and says so. Nothing is shown, and no rate is kept, when the output is not a
terminal or the caller asks for quiet.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import sys
import time

# About 3 minutes of analysis per hour of audio: the trained int8 segmentation model and an embedding
# model of the ResNet34's size on one x86-64 core, as measured for this project. Models and machines
# differ; the first run with a pair of models measures its own rate.
TYPICAL_RATE = 3.0 / 60.0
_REDRAW_S = 0.5
_RATES_FILE = ("quillfen-client", "rates.json")


def clock(seconds: float) -> str:
    """"0:07", "12:05", "1:02:03": a duration in whole seconds."""
    whole = int(max(0.0, seconds) + 0.5)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02}:{secs:02}" if hours else f"{minutes}:{secs:02}"


def _rates_path() -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, *_RATES_FILE)


def _models_key(files) -> str:
    """One key for an engine and its models: their resolved paths, sizes and modification times."""
    parts = []
    for path in files:
        try:
            info = os.stat(path)
            parts.append([os.path.realpath(path), info.st_size, info.st_mtime_ns])
        except OSError:
            parts.append([os.fspath(path), None, None])
    return hashlib.sha256(json.dumps(parts).encode()).hexdigest()[:32]


def _read_rates() -> dict:
    try:
        with open(_rates_path(), encoding="utf-8") as f:
            rates = json.load(f)
        return rates if isinstance(rates, dict) else {}
    except (OSError, ValueError):
        return {}


class Progress:
    """One progress line on `stream` (standard error), redrawn while a step runs: `phase` starts a
    step, `tick` (called while waiting for a program) redraws it at most twice a second, `stop`
    clears the line. Disabled, it does nothing at all: when `stream` is no terminal or `enabled`
    is False."""

    def __init__(self, prog: str, stream=None, enabled: bool = True):
        self.stream = stream if stream is not None else sys.stderr
        try:
            terminal = self.stream.isatty()
        except (AttributeError, ValueError):
            terminal = False
        self.enabled = enabled and terminal
        self.prog = prog
        self._text = None
        self._started = 0.0
        self._drawn = 0.0
        self._estimate_s = None
        self._basis = ""
        self._audio_s = None
        self._key = None

    def phase(self, text: str) -> None:
        """A step without an estimate, such as converting the recording."""
        self._begin(text, None, "")

    def analysing(self, audio_s: float, files) -> None:
        """The analysis of `audio_s` seconds of audio by the engine and models of `files` (paths)."""
        if not self.enabled:
            return
        self._audio_s = audio_s
        self._key = _models_key(files)
        rate = _read_rates().get(self._key)
        if isinstance(rate, (int, float)) and rate > 0:
            basis = "at the rate these models had on the last run"
        else:
            rate, basis = TYPICAL_RATE, "at a typical rate"
        self._begin(f"analysing {clock(audio_s)} of audio", audio_s * rate, basis)

    def analysed(self) -> None:
        """The analysis ended well: its rate is kept for the next estimate."""
        if not self.enabled or not self._audio_s or self._key is None:
            return
        rate = (time.monotonic() - self._started) / self._audio_s
        rates = _read_rates()
        rates[self._key] = rate
        path = _rates_path()
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            partial = f"{path}.{os.getpid()}.partial"
            with open(partial, "w", encoding="utf-8") as f:
                json.dump(rates, f)
            os.replace(partial, path)
        except OSError:
            pass  # an estimate is a courtesy; no cache, no estimate next time

    def tick(self) -> None:
        if self.enabled and self._text is not None and time.monotonic() - self._drawn >= _REDRAW_S:
            self._draw()

    def stop(self) -> None:
        if self.enabled and self._text is not None:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
        self._text = None

    def _begin(self, text: str, estimate_s: float | None, basis: str) -> None:
        if not self.enabled:
            return
        self._text, self._estimate_s, self._basis = text, estimate_s, basis
        self._started = time.monotonic()
        self._draw()

    def _draw(self) -> None:
        now = time.monotonic()
        self._drawn = now
        elapsed = now - self._started
        line = f"{self.prog}: {self._text}: {clock(elapsed)} elapsed"
        if self._estimate_s is not None:
            left = self._estimate_s - elapsed
            line += (f", about {clock(max(left, 1.0))} left ({self._basis})" if left > 0 else
                     f", longer than estimated ({self._basis})")
        try:
            width = os.get_terminal_size(self.stream.fileno()).columns or 100
        except (OSError, ValueError, AttributeError):
            width = shutil.get_terminal_size((100, 24)).columns
        self.stream.write("\r" + line[:max(10, width - 1)] + "\x1b[K")
        self.stream.flush()
