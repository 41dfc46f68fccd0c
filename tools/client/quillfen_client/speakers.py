"""find-speakers: which voices recur across recordings.

It reads what label-transcript left in each directory (every NAME.response.json with its statement
payload, and NAME.labelled.vtt/.srt for the cue texts), scales every statement embedding to unit
length (the embedding model's rows are unnormalised; rows of zero length are reported and left out),
stacks them into one payload and runs the engine's discovery-cluster job on it (HDBSCAN). Each
cluster is a voice; statements in no cluster are noise. Statements the engine did not embed (too
short, or without times) take no part and are reported as such, and so do all statements of a
recording in which the engine found no speech (speaker evidence "none").

A payload value that is not a finite number is a PayloadError. The cue texts are taken from the
labelled transcript only when its cues are the run's statements (the same number, with the same
times as the response's diarization inputs, to the millisecond); a transcript that does not match,
one left by another run for example, is passed over with a warning and the texts are left out.
"""

from __future__ import annotations

import glob
import json
import os
from dataclasses import asdict, dataclass, field

from . import payload as _payload
from . import process as _process
from . import transcript as _transcript
from .engine import ANALYZE_RESPONSE_SCHEMA, EMBEDDING_SIZE, Engine
from .errors import ClientError, InputError
from .payload import PayloadError
from .label import speaker_name

DEFAULT_MIN_CLUSTER_SIZE = 3
DEFAULT_MIN_SAMPLES = 1
RESPONSE_SUFFIX = ".response.json"
TIME_MATCH_S = 0.0005  # cue times written to the millisecond and the response's times agree this closely


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
class SpeakerReport:
    recordings: list[Recording]
    voices: list[Voice]
    noise: list[Statement]  # embedded statements that fit no voice
    zero_length: list[Statement]  # embeddings of length zero, left out
    not_embedded: list[Statement]  # statements the engine skipped
    min_cluster_size: int
    min_samples: int
    no_speech: list[Statement] = field(default_factory=list)  # of recordings with speaker evidence "none"
    warnings: list[str] = field(default_factory=list)  # what was passed over, one sentence each

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


def _check_finite(matrix, payload_path: str, statement_ids: list[int]) -> None:
    bad = _payload.non_finite_rows(matrix)
    if bad:
        raise PayloadError(f"{payload_path}: the embedding of statement {statement_ids[bad[0]]} (row {bad[0]}) "
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
        raise InputError(f"{response_path}: cannot read: {e.strerror}") from None
    except ValueError as e:
        raise ClientError(f"{response_path}: not a JSON document: {e}") from None
    if not isinstance(response, dict) or response.get("schema") != ANALYZE_RESPONSE_SCHEMA:
        raise ClientError(f"{response_path}: not an analyze response")
    stmt = response["statement_embeddings"]
    rows, cols = stmt["shape"]
    payload_path = stmt["payload_path"]
    if not os.path.isabs(payload_path):
        payload_path = os.path.join(directory, payload_path)
    try:
        matrix = _payload.read_payload(payload_path, rows, cols, numpy)
    except OSError as e:
        raise InputError(f"{payload_path}: cannot read the statement embeddings of {response_path}: "
                         f"{e.strerror}") from None
    _check_finite(matrix, payload_path, stmt["statement_ids"])
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
    return _Run(name, directory, response_path, response, matrix, transcript, transcript_path,
                [f"{text}; {then}" for text in passed_over])


def _load_runs(directories, numpy) -> list[_Run]:
    runs, seen = [], set()
    for directory in directories:
        if not os.path.isdir(directory):
            if os.path.lexists(directory):
                raise InputError(f"{directory}: not a directory; give the output directories of label-transcript")
            raise InputError(f"{directory}: no such directory")
        found = sorted(glob.glob(os.path.join(glob.escape(directory), "*" + RESPONSE_SUFFIX)))
        if not found:
            raise InputError(f"{directory}: no label-transcript results here (NAME{RESPONSE_SUFFIX})")
        for path in found:
            if os.path.realpath(path) not in seen:  # a directory given twice counts once
                seen.add(os.path.realpath(path))
                runs.append(_load_run(directory, path, numpy))
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
        speaker = None if label is None else speaker_name(label)
        statements.setdefault(sid, Statement(run.name, sid, start, end, speaker, text))
    return statements


def find_speakers(directories, *, engine: Engine | str | None = None,
                  min_cluster_size: int = DEFAULT_MIN_CLUSTER_SIZE, min_samples: int = DEFAULT_MIN_SAMPLES,
                  timeout_s: float | None = None, numpy: bool | None = None) -> SpeakerReport:
    """Clusters the statements of the label-transcript runs in `directories` (a list of paths, or
    one path); see the module text.

    Raises ClientError for missing or unreadable runs, EngineError / EngineCrashed from the engine,
    InvalidArgument for a time limit that is not a finite, non-negative number of seconds."""
    timeout_s = _process.check_time_limit(timeout_s)
    if isinstance(directories, (str, os.PathLike)):
        directories = [directories]
    directories = [os.fspath(directory) for directory in directories]
    runs = _load_runs(directories, numpy)
    if not isinstance(engine, Engine):
        engine = Engine(engine)
    stacked, owners = [], []  # owners[i]: the Statement of stacked row i
    zero_length, not_embedded, no_speech, recordings, warnings = [], [], [], [], []
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
                         min_cluster_size, min_samples, no_speech, warnings)


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
    return "\n".join(out) + "\n"


def report_json(report: SpeakerReport) -> str:
    return json.dumps(report.to_json(), indent=2, ensure_ascii=False) + "\n"


__all__ = ["find_speakers", "format_report", "report_json", "SpeakerReport", "Voice", "Statement",
           "Recording", "DEFAULT_MIN_CLUSTER_SIZE", "DEFAULT_MIN_SAMPLES", "EMBEDDING_SIZE"]
