"""The client's exception types. Every one is a `ClientError`; `cli_status` is the exit status the
shell commands end with for it (sysexits values)."""

from __future__ import annotations

import signal as _signal


class ClientError(Exception):
    """Base of every error this client raises."""

    cli_status = 65  # data error


class InvalidArgument(ClientError, ValueError):
    """An argument the caller gave that cannot be used (a time limit that is not a finite number of
    seconds greater than 0, a file-name prefix with a directory in it, ...)."""

    cli_status = 64


class InputError(ClientError):
    """An input file or directory that is missing or cannot be read."""

    cli_status = 66


class OutputError(ClientError):
    """An output that cannot be written."""

    cli_status = 73


class ToolMissing(ClientError):
    """A program the client needs is not installed."""

    cli_status = 69


class EngineCrashed(ClientError):
    """The engine process ended without its JSON line."""

    cli_status = 70

    def __init__(self, message: str, exit_status: int | None, signal: int | None, stderr: str, stdout: str = ""):
        super().__init__(message)
        self.exit_status = exit_status
        self.signal = signal
        self.stderr = stderr
        self.stdout = stdout


class EngineTimeout(EngineCrashed):
    """A time limit ran out: the engine (or, for `ConversionTimeout`, sox) ran longer than
    `timeout_s` and was stopped with its process group."""

    cli_status = 75

    def __init__(self, timeout_s: float, stderr: str, message: str | None = None):
        super().__init__(message or f"the engine did not finish within {timeout_s:g} s and was stopped",
                         None, int(_signal.SIGKILL), stderr)
        self.timeout_s = timeout_s
