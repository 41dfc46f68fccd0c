"""The client's exception types. Every one is a `ClientError`; `cli_status` is the exit status the
shell commands end with for it (sysexits values)."""


class ClientError(Exception):
    """Base of every error this client raises."""

    cli_status = 65  # data error


class InputError(ClientError):
    """An input file or directory that is missing or cannot be read."""

    cli_status = 66


class OutputError(ClientError):
    """An output that cannot be written."""

    cli_status = 73


class ToolMissing(ClientError):
    """A program the client needs is not installed."""

    cli_status = 69
