"""The engine, `quillfen-core-speakers-analyze`, reached through its wire protocol only.

One job is one process: the client writes one JSON request to the engine's standard input and reads
exactly one line back: the response on standard output (exit status 0) or an error document on
standard error (exit status 64, 69 or 75). Raw float files carry audio and embeddings; the client
writes and reads them in a private temporary directory (mode 0700) that is always removed.

Failures:
- `EngineError`: the engine answered with its error line; `reason`, `detail` and `exit_status` are
  exactly what it said.
- `EngineCrashed`: the process ended without its one JSON line (for example a missing runtime
  library, a signal); `exit_status` (None when killed by a signal), `signal` and `stderr` tell why.
- `EngineTimeout` (an `EngineCrashed`): the engine ran past the caller's time limit and was killed
  with its process group (the engine runs in a session of its own).
- `EngineNotFound`: no engine at the given path, or none found.
- `InvalidArgument` (a ValueError): a time limit that is not a finite, non-negative number of
  seconds; a payload prefix that is not a plain file-name prefix; a statement id given twice.

Where the engine is looked for, first match wins:
1. the path the caller gives;
2. the environment variable QUILLFEN_ENGINE;
3. an installed layout around this package: PREFIX/bin/quillfen-core-speakers-analyze for any
   directory PREFIX that holds the package (PREFIX/lib/python3/dist-packages/quillfen_client,
   PREFIX/share/.../quillfen_client, ...);
4. `quillfen-core-speakers-analyze` on PATH;
5. the build tree of the checkout this package sits in (CHECKOUT/tools/client/quillfen_client):
   CHECKOUT/build/release/quillfen-core-speakers-analyze.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import shutil
import signal as _signal
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable

from . import payload as _payload
from . import process as _process
from .audio import SAMPLE_RATE_HZ
from .errors import ClientError, EngineCrashed, EngineTimeout, InputError, InvalidArgument, OutputError

ENGINE_NAME = "quillfen-core-speakers-analyze"
ENGINE_ENV = "QUILLFEN_ENGINE"
ANALYZE_REQUEST_SCHEMA = "quillfen-speaker-analyze-request-v1"
ANALYZE_RESPONSE_SCHEMA = "quillfen-speaker-analyze-response-v1"
DISCOVERY_REQUEST_SCHEMA = "quillfen-speaker-discovery-cluster-request-v1"
DISCOVERY_RESPONSE_SCHEMA = "quillfen-speaker-discovery-cluster-response-v1"
ERROR_SCHEMA = "quillfen-speaker-analyze-error-v1"
EMBEDDING_SIZE = 256
TEMP_PREFIX = "quillfen-client-"


class EngineNotFound(ClientError):
    cli_status = 69


class EngineError(ClientError):
    """The engine's own error line: `reason` (for example "model-unreadable"), `detail`, `exit_status`."""

    def __init__(self, reason: str, detail: str, exit_status: int):
        super().__init__(f"{reason}: {detail}")
        self.reason = reason
        self.detail = detail
        self.exit_status = exit_status
        self.cli_status = exit_status


def _executable(path: Path) -> bool:
    return path.is_file() and os.access(path, os.X_OK)


def locate_engine(path: str | os.PathLike | None = None) -> str:
    """The engine to run, by the order in the module description; raises EngineNotFound."""
    if path is not None:
        given = Path(path)
        if not _executable(given):
            raise EngineNotFound(f"no engine executable at {os.fspath(path)}")
        return str(given.absolute())
    from_env = os.environ.get(ENGINE_ENV)
    if from_env:
        if not _executable(Path(from_env)):
            raise EngineNotFound(f"no engine executable at {from_env} (from {ENGINE_ENV})")
        return str(Path(from_env).absolute())
    here = Path(__file__).resolve().parent
    for prefix in here.parents:
        candidate = prefix / "bin" / ENGINE_NAME
        if _executable(candidate):
            return str(candidate)
    on_path = shutil.which(ENGINE_NAME)
    if on_path:
        return str(Path(on_path).absolute())
    if here.parent.name == "client" and here.parent.parent.name == "tools":
        candidate = here.parents[2] / "build" / "release" / ENGINE_NAME
        if _executable(candidate):
            return str(candidate)
    raise EngineNotFound(f"{ENGINE_NAME} not found: give its path (--engine), set {ENGINE_ENV}, install it "
                         "on PATH, or build it (scripts/test or scripts/demo in the checkout)")


@dataclass(frozen=True)
class Span:
    """One statement: its id and its times in seconds (None when missing)."""

    statement_id: int
    start_s: float | None
    end_s: float | None

    def to_json(self) -> dict:
        """The request's span object; a missing or non-finite time is written as null."""
        def time(value):
            return float(value) if value is not None and math.isfinite(value) else None
        return {"statement_id": self.statement_id, "start_s": time(self.start_s), "end_s": time(self.end_s)}


@dataclass(frozen=True)
class Interval:
    start_s: float | None
    end_s: float | None
    local_class: int


@dataclass(frozen=True)
class WindowStats:
    speech_frames: int
    active_slot_count: int
    overlap_frames: int


@dataclass(frozen=True)
class Evidence:
    speaker_evidence: str  # "none", "single" or "multi"
    multi_window_fraction: float | None
    mean_window_overlap_share: float | None
    overlap_fraction: float | None


@dataclass(frozen=True)
class StatementEmbeddings:
    audio_buffer: str
    encoder: str
    statement_ids: list[int]
    durations_s: list[float | None]
    admitted_count: int
    skipped_count: int
    rows: Any  # numpy float32 [admitted_count, 256] or a list of rows
    payload_path: str  # as the response names it
    kept_at: str | None  # where the payload file was kept, None when it was removed


@dataclass(frozen=True)
class Diarization:
    """The diarization object; every field is None when diarization did not run (evidence none or
    single), and all but `intervals` when no interval was found."""

    intervals: list[Interval] | None
    valid_intervals: list[Interval] | None
    cluster_labels: list[int] | None
    statement_labels: list[int | None] | None
    silhouette_k: int | None
    effective_k: int | None
    interval_rows: Any  # numpy float32 [valid intervals, 256], a list of rows, or None when not asked for
    interval_indices: list[int] | None


@dataclass(frozen=True)
class AnalyzeResult:
    response: dict  # the whole response document as parsed JSON
    response_line: str  # the engine's standard output, exactly as written
    statement_ids: list[int]  # of the diarization statements, request order
    spans: list[tuple[float | None, float | None]]
    statement_embeddings: StatementEmbeddings
    window_stats: list[WindowStats]
    evidence: Evidence
    diarization: Diarization

    def statement_labels(self) -> dict[int, int | None]:
        """Speaker label (cluster + 1) of every diarization statement by id; None when unlabelled."""
        labels = self.diarization.statement_labels or [None] * len(self.statement_ids)
        return dict(zip(self.statement_ids, labels))


@dataclass(frozen=True)
class DiscoveryResult:
    response: dict
    labels: list[int]  # one per row: cluster number from 0, or -1 for noise
    cluster_count: int
    noise_count: int
    min_cluster_size: int
    min_samples: int
    algorithm: str


class Deadline:
    """A time limit shared by the steps of one job; None means no limit. Raises InvalidArgument for
    a limit that is not a finite, non-negative number of seconds."""

    def __init__(self, timeout_s: float | None):
        timeout_s = _process.check_time_limit(timeout_s)
        self.timeout_s = timeout_s
        self._end = None if timeout_s is None else time.monotonic() + timeout_s

    def remaining(self) -> float | None:
        if self._end is None:
            return None
        return max(0.0, self._end - time.monotonic())


@contextlib.contextmanager
def private_temp_dir():
    """A directory only this user can enter (0700), removed with everything in it on the way out."""
    path = tempfile.mkdtemp(prefix=TEMP_PREFIX)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def place_file(src: str, dst: str) -> None:
    """Moves a finished file to `dst`; across file systems through a copy beside `dst` and a rename."""
    try:
        os.replace(src, dst)
    except OSError:
        partial = dst + ".partial"
        shutil.copyfile(src, partial)
        os.replace(partial, dst)


def _as_span(item) -> Span:
    if isinstance(item, Span):
        return item
    if isinstance(item, dict):
        return Span(int(item["statement_id"]), item.get("start_s"), item.get("end_s"))
    statement_id, start_s, end_s = item
    return Span(int(statement_id), start_s, end_s)


def _interval(obj: dict) -> Interval:
    return Interval(obj["start_s"], obj["end_s"], obj["local_class"])


class Engine:
    """Runs engine jobs. `timeout_s` is the default time limit of each run (None: no limit); a time
    limit is a finite, non-negative number of seconds, however large."""

    def __init__(self, path: str | os.PathLike | None = None, timeout_s: float | None = None):
        self.timeout_s = _process.check_time_limit(timeout_s)
        self.path = locate_engine(path)

    def run(self, request: dict, command: str | None = None, timeout_s: float | None = None,
            cwd: str | None = None) -> tuple[dict, str]:
        """Runs one job; returns the parsed response and the response line as written."""
        argv = [self.path] + ([command] if command else [])
        limit = self.timeout_s if timeout_s is None else _process.check_time_limit(timeout_s)
        try:
            body = json.dumps(request, ensure_ascii=False, allow_nan=False).encode("utf-8")
        except UnicodeEncodeError:
            raise InputError("a path or text of the request is not valid UTF-8; the engine reads only UTF-8 "
                             "requests") from None
        try:
            done = _process.run(argv, input=body, timeout_s=limit, cwd=cwd)
        except _process.TimedOut as e:
            raise EngineTimeout(limit, e.stderr.decode("utf-8", "replace")) from None
        except (FileNotFoundError, PermissionError) as e:
            raise EngineNotFound(f"cannot start the engine {self.path}: {e.strerror}") from None
        except OSError as e:
            raise EngineCrashed(f"cannot start the engine {self.path}: {e.strerror}", None, None, "") from None
        stdout = done.stdout.decode("utf-8", "replace")
        stderr = done.stderr.decode("utf-8", "replace")
        status = done.returncode
        if status == 0:
            document = _one_json_line(stdout)
            if isinstance(document, dict):
                return document, stdout
            raise EngineCrashed("the engine exited 0 without a JSON response line", 0, None, stderr, stdout)
        error = _one_json_line(stderr)
        if isinstance(error, dict) and error.get("schema") == ERROR_SCHEMA and \
                isinstance(error.get("reason"), str) and isinstance(error.get("detail"), str):
            raise EngineError(error["reason"], error["detail"], status)
        if status < 0:
            name = _signal_name(-status)
            raise EngineCrashed(f"the engine was killed by signal {-status} ({name}) without its JSON line"
                                + _stderr_tail(stderr), None, -status, stderr, stdout)
        raise EngineCrashed(f"the engine exited with status {status} without its JSON line" + _stderr_tail(stderr),
                            status, None, stderr, stdout)

    def analyze(self, audio: str, statements: Iterable, segmentation: str, embedding: str, *,
                diarization: Iterable | None = None, reduced_audio: str | None = None,
                interval_embeddings: bool = False, keep_dir: str | None = None, payload_prefix: str = "",
                timeout_s: float | None = None, numpy: bool | None = None) -> AnalyzeResult:
        """Analyses one recording.

        `audio` (and `reduced_audio`) are raw float32 little-endian mono files at 16 kHz
        (`convert_audio` makes one from any recording sox reads). `statements` are `Span`s,
        (id, start_s, end_s) tuples or span dicts; `diarization` defaults to the same statements.
        The engine writes its payloads into a private temporary directory, named
        `{payload_prefix}statements.f32` and `{payload_prefix}intervals.f32` (the response names
        them so); their rows are read into the result. With `keep_dir` the payload files are moved
        there afterwards (it is created when missing), so the response's payload paths are relative
        to `keep_dir`.

        Raises InvalidArgument for a statement id given twice (results are told apart by id), a
        `payload_prefix` holding "/" (the payloads are files of the directory), or a time limit
        that is not a finite, non-negative number; OutputError when `keep_dir` cannot hold them."""
        spans = [_as_span(s) for s in statements]
        diar_spans = spans if diarization is None else [_as_span(s) for s in diarization]
        for listed in (spans, diar_spans):
            seen = set()
            for span in listed:
                if span.statement_id in seen:
                    raise InvalidArgument(f"statement id {span.statement_id} is given twice; each statement "
                                          "needs an id of its own")
                seen.add(span.statement_id)
        if "/" in payload_prefix or "\0" in payload_prefix:
            raise InvalidArgument(f"payload_prefix must be the start of a file name, without '/', not "
                                  f"{payload_prefix!r}")
        if keep_dir is not None and os.path.exists(keep_dir) and not os.path.isdir(keep_dir):
            raise OutputError(f"{keep_dir}: not a directory; the payloads cannot be kept there")
        statements_name = f"{payload_prefix}statements.f32"
        intervals_name = f"{payload_prefix}intervals.f32"
        request = {
            "schema": ANALYZE_REQUEST_SCHEMA,
            "sample_rate_hz": SAMPLE_RATE_HZ,
            "full_audio_f32le_path": os.path.abspath(audio),
            "reduced_audio_f32le_path": os.path.abspath(reduced_audio) if reduced_audio else None,
            "output_payload_f32le_path": statements_name,
            "interval_embedding_payload_f32le_path": intervals_name if interval_embeddings else None,
            "models": {
                "pyannote_segmentation_onnx_path": os.path.abspath(segmentation),
                "wespeaker_onnx_path": os.path.abspath(embedding),
            },
            "statement_embedding": {"spans": [s.to_json() for s in spans]},
            "diarization": {"spans": [s.to_json() for s in diar_spans]},
        }
        with private_temp_dir() as work:
            response, line = self.run(request, timeout_s=timeout_s, cwd=work)
            if response.get("schema") != ANALYZE_RESPONSE_SCHEMA:
                raise EngineCrashed(f"the engine answered with schema {response.get('schema')!r}", 0, None, "", line)
            stmt = response["statement_embeddings"]
            rows_count, cols = stmt["shape"]
            rows = _payload.read_payload(os.path.join(work, statements_name), rows_count, cols, numpy)
            diar = response["diarization"]
            interval_rows = None
            if diar.get("interval_embeddings"):
                irows, icols = diar["interval_embeddings"]["shape"]
                interval_rows = _payload.read_payload(os.path.join(work, intervals_name), irows, icols, numpy)
            kept_at = None
            if keep_dir is not None:
                try:
                    os.makedirs(keep_dir, exist_ok=True)
                    kept_at = os.path.join(keep_dir, statements_name)
                    place_file(os.path.join(work, statements_name), kept_at)
                    if interval_rows is not None:
                        place_file(os.path.join(work, intervals_name), os.path.join(keep_dir, intervals_name))
                except OSError as e:
                    raise OutputError(f"{keep_dir}: cannot keep the payloads there: {e.strerror}") from None
        return _analyze_result(response, line, rows, interval_rows, kept_at)

    def discovery_cluster(self, rows, min_cluster_size: int, min_samples: int,
                          timeout_s: float | None = None) -> DiscoveryResult:
        """Clusters unit-length rows (numpy array or list of rows) with the engine's discovery-cluster."""
        with private_temp_dir() as work:
            path = os.path.join(work, "embeddings.f32")
            shape = _payload.write_payload(path, rows)
            if shape[1] == 0:
                shape = (shape[0], EMBEDDING_SIZE)
            request = {
                "schema": DISCOVERY_REQUEST_SCHEMA,
                "embeddings_f32le_path": path,
                "shape": list(shape),
                "payload_format": _payload.PAYLOAD_FORMAT,
                "dtype": _payload.DTYPE,
                "min_cluster_size": min_cluster_size,
                "min_samples": min_samples,
            }
            response, line = self.run(request, command="discovery-cluster", timeout_s=timeout_s)
        if response.get("schema") != DISCOVERY_RESPONSE_SCHEMA:
            raise EngineCrashed(f"the engine answered with schema {response.get('schema')!r}", 0, None, "", line)
        parameters = response["parameters"]
        return DiscoveryResult(response, list(response["labels"]), response["cluster_count"],
                               response["noise_count"], parameters["min_cluster_size"],
                               parameters["min_samples"], response["algorithm"])


def _analyze_result(response: dict, line: str, rows, interval_rows, kept_at) -> AnalyzeResult:
    inputs = response["inputs"]["diarization"]
    stmt = response["statement_embeddings"]
    ev = response["evidence"]
    diar = response["diarization"]

    def intervals(key):
        value = diar.get(key)
        return None if value is None else [_interval(i) for i in value]

    iv = diar.get("interval_embeddings")
    return AnalyzeResult(
        response=response,
        response_line=line,
        statement_ids=list(inputs["statement_ids"]),
        spans=[tuple(s) for s in inputs["spans"]],
        statement_embeddings=StatementEmbeddings(
            stmt["audio_buffer"], stmt["encoder"], list(stmt["statement_ids"]), list(stmt["durations_s"]),
            stmt["admitted_count"], stmt["skipped_count"], rows, stmt["payload_path"], kept_at),
        window_stats=[WindowStats(w["speech_frames"], w["active_slot_count"], w["overlap_frames"])
                      for w in response["pyannote"]["window_stats"]],
        evidence=Evidence(ev["speaker_evidence"], ev["multi_window_fraction"], ev["mean_window_overlap_share"],
                          ev["overlap_fraction"]),
        diarization=Diarization(
            intervals("intervals"), intervals("valid_intervals"), diar.get("cluster_labels"),
            diar.get("statement_labels"), diar.get("silhouette_k"), diar.get("effective_k"),
            interval_rows, None if iv is None else list(iv["interval_indices"])),
    )


def _one_json_line(text: str):
    """The JSON value of a stream that holds exactly one line, else None."""
    if not text.endswith("\n") or "\n" in text[:-1]:
        return None
    try:
        return json.loads(text)
    except ValueError:
        return None


def _signal_name(number: int) -> str:
    try:
        return _signal.Signals(number).name
    except ValueError:
        return "unknown signal"


def _stderr_tail(stderr: str) -> str:
    text = stderr.strip()
    if not text:
        return ""
    if len(text) > 2000:
        text = "..." + text[-2000:]
    return ": " + text
