"""find-speakers: which voices recur across recordings.

It reads what label-transcript left in each directory (every NAME.response.json with its statement
payload, and NAME.labelled.vtt/.srt for the cue texts), scales every statement embedding to unit
length (the embedding model's rows are unnormalised; rows of zero length are reported and left out),
stacks them into one payload and runs the engine's discovery-cluster job on it (HDBSCAN). Each
cluster is a voice; statements in no cluster are noise. Statements the engine did not embed (too
short, or without times) take no part and are reported as such, and so do all statements of a
recording in which the engine found no speech (speaker evidence "none").

A directory without results of its own is searched one level down: its subdirectories that hold
results are read instead (a warning says so). A result that cannot be used (a response that is
not a whole analyze response, a payload missing or of the wrong size, a value that is not a finite
number) is a `BrokenResult`; with `skip_broken=True` it is left out and listed in
`SpeakerReport.skipped` instead. The cue texts are taken from the labelled transcript only when
its cues are the run's statements (the same number, with the same times as the response's
diarization inputs, to the millisecond); a transcript that does not match, one left by another run
for example, is passed over with a warning and the texts are left out. Speakers are named as the
labelled transcript names them (the run record's numbering, NAME.run.json).
"""

from __future__ import annotations

import glob
import json
import os
from dataclasses import asdict, dataclass, field

from . import arguments as _arguments
from . import payload as _payload
from . import process as _process
from . import transcript as _transcript
from .engine import ANALYZE_RESPONSE_SCHEMA, EMBEDDING_SIZE, Engine, _analyze_result
from .errors import ClientError, InputError, InvalidArgument
from .payload import PayloadError
from .label import read_run_record, speaker_name, speaker_numbers

DEFAULT_MIN_CLUSTER_SIZE = 3
DEFAULT_MIN_SAMPLES = 1
RESPONSE_SUFFIX = ".response.json"
TIME_MATCH_S = 0.0005  # cue times written to the millisecond and the response's times agree this closely


class BrokenResult(PayloadError):
    """A label-transcript result that cannot be used: `path` names the file."""

    def __init__(self, path: str, message: str):
        super().__init__(f"{path}: {message}")
        self.path = path


@dataclass
class Statement:
    recording: str  # the recording's name in this report
    statement_id: int  # the cue number in its transcript
    start_s: float | None
    end_s: float | None
    speaker: str | None  # the speaker label-transcript gave it ("Speaker 1"), None when unlabelled
    text: str | None  # the cue's words, None when the transcript is not at hand


@dataclass
class Recording:
    name: str
    directory: str
    response_path: str
    transcript_path: str | None
    statement_count: int
    embedded_count: int
    speaker_evidence: str | None = None  # the engine's: "none", "single" or "multi"


@dataclass
class Voice:
    voice: int  # 1, 2, ... in order of the voice's first statement
    recordings: list[str]  # names, in order of first appearance
    statements: list[Statement] = field(default_factory=list)


@dataclass
class Skipped:
    path: str  # the file that could not be used
    reason: str


@dataclass(repr=False)
class SpeakerReport:
    """What find_speakers found: the `recordings` read, the `voices` (clusters of statements, each
    with the recordings it speaks in), the `noise` statements (in no voice), those left out
    (`zero_length` embeddings, `not_embedded` statements, `no_speech` recordings), the parameters,
    the results `skipped` as broken (with skip_broken=True) and the `warnings`."""

    recordings: list[Recording]
    voices: list[Voice]
    noise: list[Statement]  # embedded statements that fit no voice
    zero_length: list[Statement]  # embeddings of length zero, left out
    not_embedded: list[Statement]  # statements the engine skipped
    min_cluster_size: int
    min_samples: int
    no_speech: list[Statement] = field(default_factory=list)  # of recordings with speaker evidence "none"
    warnings: list[str] = field(default_factory=list)  # what was passed over, one sentence each
    skipped: list[Skipped] = field(default_factory=list)  # broken results left out (skip_broken=True)

    def __repr__(self) -> str:
        recurring = sum(1 for voice in self.voices if len(voice.recordings) > 1)
        return (f"<SpeakerReport {len(self.recordings)} recordings, {len(self.voices)} voices ({recurring} "
                f"recurring), {len(self.noise)} noise>")

    def to_json(self) -> dict:
        return {
            "recordings": [asdict(r) for r in self.recordings],
            "parameters": {"min_cluster_size": self.min_cluster_size, "min_samples": self.min_samples},
            "voices": [asdict(v) for v in self.voices],
            "noise": [asdict(s) for s in self.noise],
            "zero_length": [asdict(s) for s in self.zero_length],
            "not_embedded": [asdict(s) for s in self.not_embedded],
            "no_speech": [asdict(s) for s in self.no_speech],
            "warnings": list(self.warnings),
            "skipped": [asdict(s) for s in self.skipped],
        }


@dataclass
class _Run:
    name: str
    directory: str
    response_path: str
    response: dict
    rows: object
    transcript: _transcript.Transcript | None
    transcript_path: str | None
    warnings: list[str]
    numbers: dict[int, int]  # engine label -> speaker number, as the labelled transcript has it


def _check_finite(matrix, payload_path: str, statement_ids: list[int]) -> None:
    bad = _payload.non_finite_rows(matrix)
    if bad:
        raise BrokenResult(payload_path, f"the embedding of statement {statement_ids[bad[0]]} (row {bad[0]}) "
                                         "holds a value that is not a finite number")


def _matches(transcript: _transcript.Transcript, inputs: dict) -> bool:
    """Whether the transcript's cues are the statements of the response's diarization inputs."""
    if [cue.number for cue in transcript.cues] != inputs["statement_ids"]:
        return False

    def same(a, b):
        return (a is None) == (b is None) and (a is None or abs(a - b) <= TIME_MATCH_S)

    return all(same(cue.start_s, start) and same(cue.end_s, end)
               for cue, (start, end) in zip(transcript.cues, inputs["spans"]))


def _load_run(directory: str, response_path: str, numpy: bool | None) -> _Run:
    name = os.path.basename(response_path)[:-len(RESPONSE_SUFFIX)]
    try:
        with open(response_path, encoding="utf-8") as f:
            response = json.load(f)
    except OSError as e:
        raise BrokenResult(response_path, f"cannot read it: {e.strerror}") from None
    except ValueError as e:
        raise BrokenResult(response_path, f"not a JSON document: {e}") from None
    if not isinstance(response, dict) or response.get("schema") != ANALYZE_RESPONSE_SCHEMA:
        raise BrokenResult(response_path, "not an analyze response")
    try:
        result = _analyze_result(response, "", None, None, None)  # every part the report reads is there
        stmt = response["statement_embeddings"]
        rows, cols = stmt["shape"]
        payload_path = stmt["payload_path"]
        if len(result.statement_ids) != len(result.spans) or len(stmt["statement_ids"]) != rows:
            raise ValueError("lists of different lengths")
    except (KeyError, TypeError, ValueError, AttributeError):
        raise BrokenResult(response_path, "not a whole analyze response (a part is missing or malformed)") from None
    if not os.path.isabs(payload_path):
        payload_path = os.path.join(directory, payload_path)
    try:
        matrix = _payload.read_payload(payload_path, rows, cols, numpy)
    except OSError as e:
        raise BrokenResult(payload_path, f"cannot read the statement embeddings of {response_path}: "
                                         f"{e.strerror}") from None
    except PayloadError as e:
        raise BrokenResult(payload_path, f"{e} (the statement embeddings of {response_path})") from None
    _check_finite(matrix, payload_path, stmt["statement_ids"])
    try:
        record = read_run_record(os.path.join(directory, f"{name}.run.json")) or {}
        numbers = {int(label): int(number) for label, number in record.get("speaker_numbers", {}).items()}
    except (ClientError, ValueError, TypeError, AttributeError):
        numbers = {}
    # The texts are a courtesy, taken only from the transcript of this very run; the times come
    # from the response.
    passed_over, transcript, transcript_path = [], None, None
    for extension in (".vtt", ".srt"):
        candidate = os.path.join(directory, f"{name}.labelled{extension}")
        if not os.path.isfile(candidate):
            continue
        try:
            parsed = _transcript.read_transcript(candidate)
        except OSError as e:
            passed_over.append(f"{candidate}: cannot read it ({e.strerror})")
            continue
        except _transcript.TranscriptError as e:
            passed_over.append(str(e))
            continue
        if _matches(parsed, response["inputs"]["diarization"]):
            transcript, transcript_path = parsed, candidate
            break
        passed_over.append(f"{candidate}: its cues are not the statements of {response_path} (a transcript of "
                           "another run?)")
    then = "passed over" if transcript is not None else f"the cue texts of {name} are left out"
    if not numbers:  # results of a client that kept no numbering: the cues' order decides
        shown = {cue.number for cue in transcript.cues if transcript.has_text(cue)} if transcript else None
        numbers = speaker_numbers(result, shown)
    return _Run(name, directory, response_path, response, matrix, transcript, transcript_path,
                [f"{text}; {then}" for text in passed_over], numbers)


def _responses(directory: str) -> list[str]:
    return sorted(glob.glob(os.path.join(glob.escape(directory), "*" + RESPONSE_SUFFIX)))


def _result_dirs(directory: str, warnings: list[str]) -> list[str]:
    """`directory` when it holds results, else its subdirectories that do (said in `warnings`)."""
    if not os.path.isdir(directory):
        if os.path.lexists(directory):
            raise InputError(f"{directory}: not a directory; give the output directories of label-transcript")
        raise InputError(f"{directory}: no such directory")
    if _responses(directory):
        return [directory]
    try:
        entries = sorted(os.listdir(directory))
    except OSError as e:
        raise InputError(f"{directory}: cannot read the directory: {e.strerror}") from None
    below = [os.path.join(directory, entry) for entry in entries
             if os.path.isdir(os.path.join(directory, entry)) and _responses(os.path.join(directory, entry))]
    if not below:
        raise InputError(f"{directory}: no label-transcript results here (NAME{RESPONSE_SUFFIX}), nor in its "
                         "subdirectories; give the --out directories of label-transcript")
    warnings.append(f"{directory} holds no results itself; read its {len(below)} subdirector"
                    f"{'y' if len(below) == 1 else 'ies'} with results: "
                    + ", ".join(os.path.basename(b) for b in below))
    return below


def _load_runs(directories, numpy, skip_broken: bool, skipped: list[Skipped], warnings: list[str]) -> list[_Run]:
    runs, seen = [], set()
    for given in directories:
        for directory in _result_dirs(given, warnings):
            for path in _responses(directory):
                if os.path.realpath(path) in seen:  # a directory given twice counts once
                    continue
                seen.add(os.path.realpath(path))
                try:
                    runs.append(_load_run(directory, path, numpy))
                except BrokenResult as e:
                    if not skip_broken:
                        raise
                    skipped.append(Skipped(e.path, str(e)[len(e.path) + 2:]))
    names = [run.name for run in runs]
    for run in runs:
        if names.count(run.name) > 1:
            run.name = os.path.join(os.path.normpath(run.directory), run.name)
    return runs


def _statements_of(run: _Run) -> dict[int, Statement]:
    inputs = run.response["inputs"]["diarization"]
    labels = run.response["diarization"].get("statement_labels") or [None] * len(inputs["statement_ids"])
    cues = {cue.number: cue for cue in run.transcript.cues} if run.transcript else {}
    statements = {}
    for sid, (start, end), label in zip(inputs["statement_ids"], inputs["spans"], labels):
        cue = cues.get(sid)
        text = run.transcript.cue_text(cue) if cue is not None else None
        speaker = None if label is None else speaker_name(run.numbers.get(label, label))
        statements.setdefault(sid, Statement(run.name, sid, start, end, speaker, text))
    return statements


def find_speakers(directories, *, engine: Engine | str | None = None,
                  min_cluster_size: int = DEFAULT_MIN_CLUSTER_SIZE, min_samples: int = DEFAULT_MIN_SAMPLES,
                  timeout_s: float | None = None, numpy: bool | None = None,
                  skip_broken: bool = False) -> SpeakerReport:
    """Clusters the statements of the label-transcript runs in `directories` (a list of paths, or
    one path); see the module text.

    Raises InputError for missing directories or ones without results, BrokenResult for a result
    that cannot be used (unless `skip_broken`), EngineError / EngineCrashed from the engine, and
    InvalidArgument for an argument that cannot be used (a path that is not a str or os.PathLike,
    parameters that are not integers of at least 2 and 1, a time limit that is not a finite,
    non-negative number of seconds)."""
    timeout_s = _process.check_time_limit(timeout_s)
    min_cluster_size = _arguments.integer(min_cluster_size, "min_cluster_size", 2)
    min_samples = _arguments.integer(min_samples, "min_samples", 1)
    skip_broken = _arguments.flag(skip_broken, "skip_broken")
    numpy = _arguments.optional_flag(numpy, "numpy")
    if isinstance(directories, (str, bytes, os.PathLike)):
        directories = [directories]
    directories = [_arguments.path(d, f"directories[{i}]")
                   for i, d in enumerate(_arguments.sequence(directories, "directories"))]
    if not directories:
        raise InvalidArgument("directories must name at least one directory")
    if engine is not None and not isinstance(engine, Engine):
        engine = _arguments.path(engine, "engine")
    zero_length, not_embedded, no_speech, recordings, warnings, skipped = [], [], [], [], [], []
    runs = _load_runs(directories, numpy, skip_broken, skipped, warnings)
    if not isinstance(engine, Engine):
        engine = Engine(engine)
    stacked, owners = [], []  # owners[i]: the Statement of stacked row i
    use_numpy = None
    for run in runs:
        statements = _statements_of(run)
        payload_ids = run.response["statement_embeddings"]["statement_ids"]
        evidence = run.response["evidence"]["speaker_evidence"]
        warnings.extend(run.warnings)
        recordings.append(Recording(run.name, run.directory, run.response_path, run.transcript_path,
                                    len(statements), len(payload_ids), evidence))
        if evidence == "none":  # the segmentation model heard no speech: its embeddings are of no voice
            no_speech.extend(statements.values())
            continue
        kept, left_out = _payload.unit_rows(run.rows)
        left = set(left_out)
        zero_length.extend(statements[payload_ids[i]] for i in left_out)
        kept_ids = [sid for i, sid in enumerate(payload_ids) if i not in left]
        owners.extend(statements[sid] for sid in kept_ids)
        if len(kept_ids):
            stacked.append(kept)
            use_numpy = not isinstance(kept, list)
        embedded = set(payload_ids)
        not_embedded.extend(s for sid, s in statements.items() if sid not in embedded)
    if use_numpy:
        import numpy as np
        matrix = np.vstack(stacked)
    else:
        matrix = [row for part in stacked for row in part]
    if len(owners) == 0:
        labels = []
    else:
        labels = engine.discovery_cluster(matrix, min_cluster_size, min_samples, timeout_s=timeout_s).labels
    voices: dict[int, Voice] = {}
    noise = []
    for statement, label in zip(owners, labels):
        if label < 0:
            noise.append(statement)
            continue
        voice = voices.setdefault(label, Voice(label + 1, []))
        voice.statements.append(statement)
        if statement.recording not in voice.recordings:
            voice.recordings.append(statement.recording)
    return SpeakerReport(recordings, [voices[k] for k in sorted(voices)], noise, zero_length, not_embedded,
                         min_cluster_size, min_samples, no_speech, warnings, skipped)


def _time(value: float | None) -> str:
    if value is None:
        return "-"
    minutes, seconds = divmod(value, 60.0)
    return f"{int(minutes)}:{seconds:05.2f}"


def format_report(report: SpeakerReport, width: int = 60) -> str:
    """The report as a plain-text table."""
    out = []
    total = sum(r.embedded_count for r in report.recordings if r.speaker_evidence != "none")
    out.append(f"{len(report.recordings)} recording{'s' if len(report.recordings) != 1 else ''}, "
               f"{total} embedded statements (min_cluster_size {report.min_cluster_size}, "
               f"min_samples {report.min_samples})")
    name_width = max([len("recording")] + [len(r.name) for r in report.recordings])

    def rows(statements):
        for s in statements:
            text = s.text if s.text is not None else ""
            if len(text) > width:
                text = text[:width - 1] + "\u2026"
            out.append(f"  {s.recording:<{name_width}}  #{s.statement_id:<4} {_time(s.start_s):>8} - "
                       f"{_time(s.end_s):<8}  {s.speaker or '-':<10}  {text}".rstrip())

    for voice in report.voices:
        recurring = "recurring voice" if len(voice.recordings) > 1 else "voice"
        out.append("")
        out.append(f"voice {voice.voice}: {len(voice.statements)} statements in {len(voice.recordings)} "
                   f"recording{'s' if len(voice.recordings) != 1 else ''} ({', '.join(voice.recordings)}) "
                   f"[{recurring}]")
        rows(voice.statements)
    if not report.voices:
        out.append("")
        out.append("no voice found")
    for title, group in (("noise (fits no voice)", report.noise),
                         ("left out: embedding of length zero", report.zero_length),
                         ("not embedded (too short or without times)", report.not_embedded),
                         ('left out: no speech in the recording (speaker evidence "none")', report.no_speech)):
        if group:
            out.append("")
            out.append(f"{title}: {len(group)} statement{'s' if len(group) != 1 else ''}")
            rows(group)
    if report.skipped:
        out.append("")
        out.append(f"skipped, broken: {len(report.skipped)} result{'s' if len(report.skipped) != 1 else ''}")
        out.extend(f"  {skipped.path}: {skipped.reason}" for skipped in report.skipped)
    return "\n".join(out) + "\n"


def report_json(report: SpeakerReport) -> str:
    return json.dumps(report.to_json(), indent=2, ensure_ascii=False) + "\n"


__all__ = ["find_speakers", "format_report", "report_json", "BrokenResult", "SpeakerReport", "Skipped", "Voice",
           "Statement", "Recording", "DEFAULT_MIN_CLUSTER_SIZE", "DEFAULT_MIN_SAMPLES", "EMBEDDING_SIZE"]
