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
- `InvalidArgument` (a ValueError): an argument that cannot be used, found before the engine runs:
  a path that is not a str or os.PathLike, a statement that is not a `Span`, (id, start_s,
  end_s) tuple or span dict, an id that is not an integer, a time that is not a number, a statement
  id given twice, a recording (WAV, FLAC, ...) where the engine's raw samples belong, a time limit
  that is not a finite, non-negative number of seconds, a payload prefix with a "/" in it.

`EngineError.retryable` tells whether the same job may succeed when run again: exit status 75 (a
resource or runtime failure), and also a `model-invalid` (69) whose detail shows that the machine
ran short of memory or threads while the model loaded (the engine reports every failure to open a
model as `model-invalid`), and an `audio-unreadable` or `payload-unreadable` (69) whose cause is
a shortage of descriptors or memory ("Too many open files", os errors 23, 24 and 12).

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
import re
import shutil
import signal as _signal
import tempfile
import numbers
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable

from . import arguments as _arguments
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


# What the runtime says when the machine runs short of memory or threads while a model loads.
_RESOURCE_SHORTAGE = re.compile(r"bad_alloc|Cannot allocate memory|Resource temporarily unavailable|"
                                r"pthread_create|Failed to create thread|out of memory|Failed to allocate")
# The system errors of a file that could not be opened or read for want of descriptors or memory.
_FILE_SHORTAGE = re.compile(r"\(os error (?:12|23|24)\)$")
EX_TEMPFAIL = 75


class EngineNotFound(ClientError):
    """No engine executable at the path given, or none found where it is looked for."""

    cli_status = 69


class EngineError(ClientError):
    """The engine's own error line: `reason` (for example "model-unreadable"), `detail` and
    `exit_status` exactly as the engine gave them. `retryable`: whether running the same job again
    may succeed (module description); the commands then exit with 75."""

    def __init__(self, reason: str, detail: str, exit_status: int):
        super().__init__(f"{reason}: {detail}")
        self.reason = reason
        self.detail = detail
        self.exit_status = exit_status
        self.cli_status = EX_TEMPFAIL if self.retryable else exit_status

    @property
    def resource_shortage(self) -> bool:
        """A model or input file that could not be opened because memory, threads or descriptors ran short,
        not because of the file."""
        if self.reason == "model-invalid":
            return _RESOURCE_SHORTAGE.search(self.detail) is not None
        return (self.reason in ("audio-unreadable", "payload-unreadable")
                and _FILE_SHORTAGE.search(self.detail) is not None)

    @property
    def retryable(self) -> bool:
        return self.exit_status == EX_TEMPFAIL or self.resource_shortage


def _executable(path: Path) -> bool:
    return path.is_file() and os.access(path, os.X_OK)


def locate_engine(path: str | os.PathLike | None = None) -> str:
    """The engine to run, by the order in the module description; raises EngineNotFound."""
    path = _arguments.optional_path(path, "the engine path")
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


STATEMENT_ID_RANGE = range(-2 ** 63, 2 ** 63)  # a signed 64-bit integer, as the engine reads it


@dataclass(frozen=True)
class Span:
    """One statement: its id (an integer that fits in 64 bits, signed) and its start and end in
    seconds (numbers, or None when missing; a time that is not finite counts as missing). Raises
    InvalidArgument for anything else.

    >>> Span(1, 0.5, 2)
    Span(statement_id=1, start_s=0.5, end_s=2.0)
    """

    statement_id: int
    start_s: float | None = None
    end_s: float | None = None

    def __post_init__(self):
        sid = self.statement_id
        if isinstance(sid, bool) or not isinstance(sid, numbers.Integral):
            raise InvalidArgument(f"a statement id must be an integer, not {sid!r}")
        if int(sid) not in STATEMENT_ID_RANGE:
            raise InvalidArgument(f"statement id {sid} does not fit in a signed 64-bit integer")
        object.__setattr__(self, "statement_id", int(sid))
        for name in ("start_s", "end_s"):
            value = getattr(self, name)
            if value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise InvalidArgument(f"{name} of statement {sid} must be a number of seconds or None, not {value!r}")
            object.__setattr__(self, name, float(value))

    def to_json(self) -> dict:
        """The request's span object; a missing or non-finite time is written as null."""
        def time(value):
            return float(value) if value is not None and math.isfinite(value) else None
        return {"statement_id": self.statement_id, "start_s": time(self.start_s), "end_s": time(self.end_s)}


def _shape(rows) -> str:
    """"10 x 256" for a matrix given as a numpy array or a list of rows; "none" for None."""
    if rows is None:
        return "none"
    if hasattr(rows, "shape"):
        return " x ".join(str(n) for n in rows.shape)
    return f"{len(rows)} x {len(rows[0]) if len(rows) else 0}"


@dataclass(frozen=True)
class Interval:
    """A speaker interval: `start_s` and `end_s` in seconds and the segmentation model's local speaker
    slot (`local_class`, 1 to 3) it belongs to, which is no speaker identity."""

    start_s: float | None
    end_s: float | None
    local_class: int


@dataclass(frozen=True)
class WindowStats:
    """One 10 s segmentation window: frames of speech, local speaker slots active (0 to 3) and frames
    of overlapping speech."""

    speech_frames: int
    active_slot_count: int
    overlap_frames: int


@dataclass(frozen=True)
class Evidence:
    """How many speakers the recording holds: `speaker_evidence` is "none" (no speech), "single"
    or "multi"; the three shares it was decided from are None when not finite."""

    speaker_evidence: str
    multi_window_fraction: float | None
    mean_window_overlap_share: float | None
    overlap_fraction: float | None


@dataclass(frozen=True)
class StatementEmbeddings:
    """The statement embeddings: `rows` (numpy float32 [admitted_count, 256], or a list of rows), row i
    being the embedding of `statement_ids[i]`, unnormalised; `durations_s` per row; `admitted_count`
    rows and `skipped_count` statements not embedded (shorter than 0.3 s or without times);
    `audio_buffer` ("full" or "reduced") and `encoder` as the engine reports them; `payload_path`
    as the response names the payload file, and `kept_at`, where it was kept (None: removed)."""

    audio_buffer: str
    encoder: str
    statement_ids: list[int]
    durations_s: list[float | None]
    admitted_count: int
    skipped_count: int
    rows: Any
    payload_path: str
    kept_at: str | None

    def __repr__(self) -> str:
        return (f"<StatementEmbeddings {self.admitted_count} embedded, {self.skipped_count} skipped, rows "
                f"{_shape(self.rows)}{', kept at ' + repr(self.kept_at) if self.kept_at else ''}>")


@dataclass(frozen=True)
class Diarization:
    """Who spoke when. `intervals`: every speaker interval found, in time order; `valid_intervals`:
    those that yielded an embedding, with `cluster_labels` (the speaker cluster of each, from 0);
    `statement_labels`: per diarization statement, its speaker (cluster + 1) or None;
    `silhouette_k`, `effective_k`: the cluster count chosen and used; `interval_rows`: the interval
    embeddings when asked for (`interval_embeddings=True`), with `interval_indices` (each row's
    position in `intervals`). Every field is None when diarization did not run (evidence "none" or
    "single"), and all but `intervals` (then []) when no interval was found."""

    intervals: list[Interval] | None
    valid_intervals: list[Interval] | None
    cluster_labels: list[int] | None
    statement_labels: list[int | None] | None
    silhouette_k: int | None
    effective_k: int | None
    interval_rows: Any
    interval_indices: list[int] | None

    def __repr__(self) -> str:
        if self.intervals is None:
            return "<Diarization not run>"
        return (f"<Diarization {len(self.intervals)} intervals, {len(self.valid_intervals or [])} embedded, "
                f"effective_k {self.effective_k}>")


@dataclass(frozen=True)
class AnalyzeResult:
    """The answer of one analyze job. `evidence`, `window_stats`, `statement_embeddings` and
    `diarization` hold the response's parts as typed values; `statement_ids` and `spans` are the
    diarization statements as the request gave them; `response` is the whole response as parsed
    JSON and `response_line` the engine's standard output exactly as written.
    `statement_labels()` gives each statement's speaker by id."""

    response: dict
    response_line: str
    statement_ids: list[int]
    spans: list[tuple[float | None, float | None]]
    statement_embeddings: StatementEmbeddings
    window_stats: list[WindowStats]
    evidence: Evidence
    diarization: Diarization

    def __repr__(self) -> str:
        speakers = "" if self.diarization.effective_k is None else f", {self.diarization.effective_k} speakers"
        return (f"<AnalyzeResult {self.evidence.speaker_evidence}{speakers}, {len(self.statement_ids)} statements, "
                f"{self.statement_embeddings.admitted_count} embedded>")

    def statement_labels(self) -> dict[int, int | None]:
        """Speaker label (cluster + 1) of every diarization statement by id; None when unlabelled."""
        labels = self.diarization.statement_labels or [None] * len(self.statement_ids)
        return dict(zip(self.statement_ids, labels))


@dataclass(frozen=True)
class DiscoveryResult:
    """The answer of a discovery-cluster job: `labels`, one per row (a cluster number from 0, or -1
    for noise), `cluster_count`, `noise_count`, the parameters used and the `algorithm`;
    `response` is the whole response as parsed JSON."""

    response: dict
    labels: list[int]
    cluster_count: int
    noise_count: int
    min_cluster_size: int
    min_samples: int
    algorithm: str

    def __repr__(self) -> str:
        return f"<DiscoveryResult {len(self.labels)} rows, {self.cluster_count} clusters, {self.noise_count} noise>"


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


_SPAN_KEYS = {"statement_id", "start_s", "end_s"}


def _as_span(item, where: str) -> Span:
    """A statement given as a Span, an (id, start_s, end_s) tuple or list, or a span dict."""
    try:
        if isinstance(item, Span):
            return item
        if isinstance(item, dict):
            unknown = sorted(map(str, set(item) - _SPAN_KEYS))
            if unknown or "statement_id" not in item:
                what = f"unknown keys {', '.join(unknown)}" if unknown else "no statement_id"
                raise InvalidArgument(f"a span dict has the keys statement_id, start_s and end_s; this one has {what}")
            return Span(item["statement_id"], item.get("start_s"), item.get("end_s"))
        if isinstance(item, (tuple, list)):
            if len(item) != 3:
                raise InvalidArgument(f"a statement tuple is (id, start_s, end_s), not {len(item)} values")
            return Span(*item)
        raise InvalidArgument("a statement is a Span, an (id, start_s, end_s) tuple or a span dict, not "
                              f"{type(item).__name__} {item!r}")
    except InvalidArgument as e:
        raise InvalidArgument(f"{where}: {e}") from None


def _spans(items, what: str) -> list[Span]:
    """The statements of `items`, each checked; raises InvalidArgument naming the first bad one."""
    spans = [_as_span(item, f"{what}[{i}]") for i, item in enumerate(_arguments.sequence(items, what))]
    seen = set()
    for span in spans:
        if span.statement_id in seen:
            raise InvalidArgument(f"statement id {span.statement_id} is given twice; each statement needs an id "
                                  "of its own")
        seen.add(span.statement_id)
    return spans


def _raw_audio(value, what: str) -> str:
    """An audio path for the engine; a recording in a container format is refused with what to do."""
    audio = _arguments.path(value, what)
    container = _arguments.recording_container(audio)
    if container is not None:
        raise InvalidArgument(f"{what} {audio} is a {container} recording, but the engine reads raw float32 "
                              "little-endian mono samples at 16 kHz: convert it first with "
                              f"convert_audio({audio!r}, 'recording.f32') and analyse that file")
    return audio


def _interval(obj: dict) -> Interval:
    return Interval(obj["start_s"], obj["end_s"], obj["local_class"])


class Engine:
    """Runs engine jobs. `timeout_s` is the default time limit of each run (None: no limit); a time
    limit is a finite, non-negative number of seconds, however large."""

    def __init__(self, path: str | os.PathLike | None = None, timeout_s: float | None = None):
        self.timeout_s = _process.check_time_limit(timeout_s)
        self.path = locate_engine(path)

    def __repr__(self) -> str:
        return f"Engine({self.path!r}{'' if self.timeout_s is None else f', timeout_s={self.timeout_s:g}'})"

    def run(self, request: dict, command: str | None = None, timeout_s: float | None = None,
            cwd: str | None = None, tick=None) -> tuple[dict, str]:
        """Runs one job; returns the parsed response and the response line as written. `tick`, when
        given, is called a few times a second while the engine runs (to show progress)."""
        argv = [self.path] + ([command] if command else [])
        limit = self.timeout_s if timeout_s is None else _process.check_time_limit(timeout_s)
        try:
            body = json.dumps(request, ensure_ascii=False, allow_nan=False).encode("utf-8")
        except UnicodeEncodeError:
            raise InputError("a path or text of the request is not valid UTF-8; the engine reads only UTF-8 "
                             "requests") from None
        try:
            done = _process.run(argv, input=body, timeout_s=limit, cwd=cwd, tick=tick)
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
                timeout_s: float | None = None, numpy: bool | None = None, tick=None) -> AnalyzeResult:
        """Analyses one recording.

        `audio` (and `reduced_audio`) are raw float32 little-endian mono files at 16 kHz
        (`convert_audio` makes one from any recording sox reads). `statements` are `Span`s,
        (id, start_s, end_s) tuples or span dicts; `diarization` defaults to the same statements.
        The engine writes its payloads into a private temporary directory, named
        `{payload_prefix}statements.f32` and `{payload_prefix}intervals.f32` (the response names
        them so); their rows are read into the result. With `keep_dir` the payload files are moved
        there afterwards (it is created when missing), so the response's payload paths are relative
        to `keep_dir`.

        Raises InvalidArgument, before the engine runs, for an argument that cannot be used: a path
        that is not a str or os.PathLike, a recording in a container format (WAV, FLAC, ...) as
        audio, a statement that is not a `Span`, (id, start_s, end_s) tuple or span dict, a
        statement id given twice (results are told apart by id), `diarization` spans whose ids differ
        from the statements' (the same ids in the same order), a `payload_prefix` holding "/"
        (the payloads are files of the directory), a flag that is not a bool, or a time limit that
        is not a finite, non-negative number; OutputError when `keep_dir` cannot hold them."""
        audio = _raw_audio(audio, "audio")
        reduced_audio = None if reduced_audio is None else _raw_audio(reduced_audio, "reduced_audio")
        segmentation = _arguments.path(segmentation, "segmentation")
        embedding = _arguments.path(embedding, "embedding")
        spans = _spans(statements, "statements")
        diar_spans = spans if diarization is None else _spans(diarization, "diarization")
        if [s.statement_id for s in diar_spans] != [s.statement_id for s in spans]:
            raise InvalidArgument("diarization must name the same statement ids as statements, in the same "
                                  "order (only the times may differ)")
        interval_embeddings = _arguments.flag(interval_embeddings, "interval_embeddings")
        keep_dir = _arguments.optional_path(keep_dir, "keep_dir")
        payload_prefix = _arguments.text(payload_prefix, "payload_prefix")
        numpy = _arguments.optional_flag(numpy, "numpy")
        _process.check_time_limit(timeout_s)
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
            response, line = self.run(request, timeout_s=timeout_s, cwd=work, tick=tick)
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
        """Clusters unit-length rows (numpy array or list of equally long rows of numbers) with the
        engine's discovery-cluster: HDBSCAN with `min_cluster_size` (at least 2) and `min_samples` (at
        least 1). Raises InvalidArgument for arguments that cannot be used, EngineError for what the
        engine refuses (rows not of unit length, min_samples above the row count, ...)."""
        min_cluster_size = _arguments.integer(min_cluster_size, "min_cluster_size", 2)
        min_samples = _arguments.integer(min_samples, "min_samples", 1)
        _process.check_time_limit(timeout_s)
        with private_temp_dir() as work:
            path = os.path.join(work, "embeddings.f32")
            shape = _payload.write_payload(path, rows)
            if shape[1] == 0 and shape[0] > 0:
                raise InvalidArgument("rows must hold at least one value each, not none")
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
