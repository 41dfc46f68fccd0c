"""Running the programs the client needs (the engine, sox) as child processes under a time limit.

Each program runs in a session and process group of its own, so that stopping it stops whatever it
started too (a wrapper script's children), and a Ctrl-C at the terminal reaches only the client,
which then stops the group. A time limit may be any number of seconds, however large: the wait is
made in steps the operating system accepts.
"""

from __future__ import annotations

import math
import numbers
import os
import signal
import subprocess
import sys
import time

from .errors import InvalidArgument

_WAIT_STEP_S = 3600.0  # the longest single wait: far below what the system's poll calls take
_TICK_S = 0.25  # how often `tick` is called while the program runs
_DRAIN_S = 5.0  # after the group is killed, how long its output is still read


def check_time_limit(timeout_s, what: str = "timeout_s") -> float | None:
    """`timeout_s` as a float, or None for no limit; raises InvalidArgument unless it is a finite,
    non-negative number of seconds (0 is a limit that has run out already)."""
    if timeout_s is None:
        return None
    if isinstance(timeout_s, bool) or not isinstance(timeout_s, numbers.Real):
        raise InvalidArgument(f"{what} must be a number of seconds, not {timeout_s!r}")
    try:
        value = float(timeout_s)
    except OverflowError:  # an integer beyond the floats: as long a limit as there is
        value = sys.float_info.max if timeout_s > 0 else -sys.float_info.max
    if not math.isfinite(value) or value < 0:
        raise InvalidArgument(f"{what} must be a finite, non-negative number of seconds, not {timeout_s!r}")
    return value


class TimedOut(Exception):
    """The program ran past its time limit; its process group was killed. `stdout`, `stderr`: what
    it had written."""

    def __init__(self, stdout: bytes, stderr: bytes):
        super().__init__("time limit")
        self.stdout = stdout
        self.stderr = stderr


def run(argv: list[str], input: bytes | None = None, timeout_s: float | None = None,
        cwd: str | None = None, tick=None) -> subprocess.CompletedProcess:
    """Runs `argv` to its end with `input` on its standard input (none when None) and returns its
    status and output. Raises TimedOut after `timeout_s` seconds (None: no limit), OSError when it
    cannot start. `tick`, when given, is called a few times a second while the program runs.
    Whatever ends the wait early (KeyboardInterrupt, SystemExit) kills the group first."""
    end = None if timeout_s is None else time.monotonic() + timeout_s
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, start_new_session=True)
    try:
        pending = input
        while True:
            step = None if end is None else min(max(0.0, end - time.monotonic()), _WAIT_STEP_S)
            if tick is not None:
                step = _TICK_S if step is None else min(step, _TICK_S)
            try:
                stdout, stderr = process.communicate(pending, timeout=step)
                return subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)
            except subprocess.TimeoutExpired:
                pending = None  # the input is being written; it is not given twice
                if tick is not None:
                    tick()
                if end is not None and time.monotonic() >= end:
                    stdout, stderr = _stop(process)
                    raise TimedOut(stdout, stderr) from None
    except BaseException:
        if process.returncode is None:
            _stop(process)
        raise


def _stop(process: subprocess.Popen) -> tuple[bytes, bytes]:
    """Kills the process group and reaps the process; returns what is left of its output."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:  # the group is gone already
        pass
    try:
        return process.communicate(timeout=_DRAIN_S)
    except subprocess.TimeoutExpired:  # something outside the group holds the pipes open
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream is not None:
                stream.close()
        process.wait()
        return b"", b""
    except BaseException:
        process.wait()
        raise
