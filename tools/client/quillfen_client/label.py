"""label-transcript: who said which cue of a transcript.

For a recording and its transcript (WebVTT or SRT) it runs the engine's analyze job with one
statement per cue and writes, into the output directory (NAME is the transcript's file name without
its extension):

  NAME.labelled.vtt / .srt   the transcript with a speaker on every labelled cue (transcript module;
                             the extension follows the format the content has)
  NAME.rttm                  the speaker intervals, one standard 10-column RTTM line each:
                             SPEAKER <file-id> 1 <onset> <duration> <NA> <NA> Speaker_<n> <NA> <NA>
                             (file id: the recording's file name without its extension; Speaker_<n>
                             is "Speaker <n>" of the transcript)
  NAME.statements.f32        the statement embeddings the engine wrote (row i: statement_ids[i])
  NAME.notes.txt             every note about the transcript and every unlabelled cue, in full (when
                             there are any; the commands show a few of each kind)
  NAME.run.json              what was labelled: the recording's name, path and size, the transcript's
                             format and encoding, and the speaker number of each engine cluster
  NAME.response.json         the engine's response line, as written; its payload path is
                             NAME.statements.f32, relative to the directory
  NAME.timeline.svg          with timeline=True: the response drawn as a picture (needs the
                             checkout's tools/demo/draw_timeline.py)

Speakers are numbered 1, 2, ... in the order they first speak in the transcript (by cue start); the
engine's clusters that no cue carries (someone heard only where the transcript has no cue) follow,
in the order of their first speaker interval, and appear only in the RTTM file.

A cue gets the speaker the engine gave its statement (the cluster of the speaker interval it
overlaps most); a cue the engine left without one (no speaker interval under it: a short cue at the
edge of a turn, a cue in crosstalk) stays unlabelled.

With `resemblance=True` such a cue, when it has a statement embedding, is filled in with the
speaker its embedding resembles: the speaker whose labelled statements' mean direction (unit-length
embeddings, averaged and scaled to unit length) has the highest cosine with it, when that beats
every other speaker's by at least RESEMBLANCE_MARGIN and at least two speakers are known. This is a
guess and can be wrong: the embedding of a cue in crosstalk mixes both voices and may resemble the
other speaker more than the one who says the cue's words.

A cue is left unlabelled for the first of these reasons that holds (`UNLABELLED_REASONS`): it has
no usable times; it starts after the recording ends (also noted at its line); the engine told no
speakers apart (one speaker or no speech); no speaker interval lies under it (and, with
`resemblance=True`, it resembles no speaker clearly); it has no text to carry a speaker. A cue
counts as labelled only when its speaker is written. When not a single cue lies in the recording
(or most cues start after its end), `LabelOutcome.problems` says what the likely causes are.

The response is written last, so a directory with NAME.response.json holds a complete run; that is
what find-speakers reads. A run replaces an earlier run of the same NAME and the same recording (by
file name and size) in the directory: the files of that run this one does not write (a
NAME.labelled.srt beside a new NAME.labelled.vtt, timeline pictures, notes) are removed before the
response is written. An earlier run of the same NAME on another recording is not replaced unless
`force=True`: OutputError, before anything runs. The output directory (with its missing parents) is
made once there are results to write: when the transcript, the recording or the engine fails,
nothing is written and no directory is made.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import sys
from dataclasses import dataclass, field

from . import arguments as _arguments
from . import payload as _payload
from . import transcript as _transcript
from .audio import SAMPLE_RATE_HZ, ConversionTimeout, check_recording, convert_audio, file_kind
from .engine import AnalyzeResult, Deadline, Engine, EngineTimeout, Span, place_file, private_temp_dir
from .errors import ClientError, InputError, InvalidArgument, OutputError, ToolMissing
from .progress import clock

RAW_AUDIO_SUFFIX = ".f32"
RESEMBLANCE_MARGIN = 0.1
RUN_SCHEMA = "quillfen-client-run-v1"

NO_USABLE_TIMES = "no usable times"
AFTER_THE_END = "after the end"
NO_SPEAKERS = "no speakers told apart"
NO_SPEAKER_INTERVAL = "no speaker interval"
NO_TEXT = "no text"
UNLABELLED_REASONS = (NO_USABLE_TIMES, AFTER_THE_END, NO_SPEAKERS, NO_SPEAKER_INTERVAL, NO_TEXT)  # in the order tried
NOTE_AFTER_THE_END = "after-the-end"


@dataclass(repr=False)
class LabelOutcome:
    """What a label_transcript run did. `transcript`: the transcript as read; `result`: the engine's
    answer (`AnalyzeResult`); `speakers`: cue number -> "Speaker N" for the cues written with a
    speaker; `speaker_numbers`: engine label (cluster + 1) -> the N of "Speaker N" (module
    description); `unlabelled`: cue number -> one of UNLABELLED_REASONS; `by_resemblance`: the cue
    numbers labelled by resemblance; `files`: "transcript", "rttm", "statements", "notes", "run",
    "response" (and "timeline") -> path; `summary`: what the engine found, one sentence;
    `uncued_speakers`: the speaker numbers no cue carries; `voice_names`: for each speaker, the
    voice names the transcript gave its cues (name -> cues), when it named any; `problems`: likely
    causes when the cues do not fit the recording; `notes`: notes about cues found by the run (beside
    the transcript's own); `duration_s`: the recording's length."""

    transcript: _transcript.Transcript
    result: AnalyzeResult
    speakers: dict[int, str]
    files: dict[str, str]
    summary: str
    by_resemblance: list[int] = field(default_factory=list)
    unlabelled: dict[int, str] = field(default_factory=dict)
    notes: list[_transcript.TranscriptNote] = field(default_factory=list)
    duration_s: float | None = None
    speaker_numbers: dict[int, int] = field(default_factory=dict)
    uncued_speakers: list[int] = field(default_factory=list)
    voice_names: dict[str, dict[str, int]] = field(default_factory=dict)
    problems: list[str] = field(default_factory=list)

    def __repr__(self) -> str:
        return (f"<LabelOutcome {os.path.basename(self.transcript.path)}: {self.summary}; labelled "
                f"{len(self.speakers)} of {len(self.transcript.cues)} cues>")


def speaker_name(number: int) -> str:
    return f"Speaker {number}"


def speaker_numbers(result: AnalyzeResult, shown=None) -> dict[int, int]:
    """The speaker number of each engine label (cluster + 1): the labels of the statements in
    `shown` (ids; every statement when None) are numbered 1, 2, ... in the order of their first
    statement in time (start, then request order); the labels no such statement carries follow, in
    the order of their first valid speaker interval."""
    diar = result.diarization
    labels = diar.statement_labels or [None] * len(result.statement_ids)
    order = sorted((start if start is not None else math.inf, position, label)
                   for position, (sid, (start, _), label) in enumerate(zip(result.statement_ids, result.spans, labels))
                   if label is not None and (shown is None or sid in shown))
    numbers: dict[int, int] = {}
    for _, _, label in order:
        numbers.setdefault(label, len(numbers) + 1)
    firsts = sorted((interval.start_s if interval.start_s is not None else math.inf, position, cluster + 1)
                    for position, (interval, cluster) in enumerate(zip(diar.valid_intervals or [],
                                                                       diar.cluster_labels or [])))
    for _, _, label in firsts:
        numbers.setdefault(label, len(numbers) + 1)
    return numbers


def recording_file_id(audio_path: str) -> str:
    """The RTTM file id: the recording's file name without its extension, blanks as underscores."""
    stem = os.path.splitext(os.path.basename(audio_path))[0]
    return "_".join(stem.split()) or "recording"


def rttm_lines(result: AnalyzeResult, file_id: str, numbers: dict[int, int] | None = None) -> list[str]:
    """One line per valid speaker interval, in time order; the speaker is numbers[cluster + 1]
    (cluster + 1 when no numbering is given)."""
    diar = result.diarization
    lines = []
    for interval, cluster in zip(diar.valid_intervals or [], diar.cluster_labels or []):
        if interval.start_s is None or interval.end_s is None:
            continue
        number = (numbers or {}).get(cluster + 1, cluster + 1)
        lines.append(f"SPEAKER {file_id} 1 {interval.start_s:.3f} {interval.end_s - interval.start_s:.3f} "
                     f"<NA> <NA> Speaker_{number} <NA> <NA>\n")
    return lines


def resemblance_labels(result: AnalyzeResult, margin: float = RESEMBLANCE_MARGIN) -> dict[int, int]:
    """Speaker labels for statements the engine left unlabelled, by embedding resemblance (module
    description). Sums run in 64-bit floats in row order."""
    labels = result.statement_labels()
    stmt = result.statement_embeddings
    unit, left_out = _payload.unit_rows(stmt.rows)
    kept_ids = [sid for i, sid in enumerate(stmt.statement_ids) if i not in set(left_out)]
    rows = {sid: [float(v) for v in row] for sid, row in zip(kept_ids, unit)}
    sums: dict[int, list[float]] = {}
    for sid, row in rows.items():
        label = labels.get(sid)
        if label is not None:
            total = sums.setdefault(label, [0.0] * len(row))
            for j, v in enumerate(row):
                total[j] += v
    directions = {}
    for label, total in sums.items():
        norm = math.sqrt(math.fsum(v * v for v in total))
        if norm > 0:
            directions[label] = [v / norm for v in total]
    if len(directions) < 2:
        return {}
    filled = {}
    for sid, row in rows.items():
        if labels.get(sid) is not None:
            continue
        ranked = sorted(((math.fsum(a * b for a, b in zip(row, d)), label) for label, d in directions.items()),
                        reverse=True)
        if ranked[0][0] - ranked[1][0] >= margin:
            filled[sid] = ranked[0][1]
    return filled


def _seconds(value: float) -> str:
    return f"{value:.3f}".rstrip("0").rstrip(".")


def summarize(result: AnalyzeResult) -> str:
    evidence = result.evidence.speaker_evidence
    diar = result.diarization
    if evidence == "none":
        return 'no speech found (speaker evidence "none"): the transcript is written without speakers'
    if evidence == "single":
        return 'one speaker found (speaker evidence "single"): the transcript is written without speakers'
    if not diar.intervals:
        return ('several speakers heard, but no stretch of at least 0.5 s with one speaker alone: the '
                'transcript is written without speakers')
    if not diar.effective_k:
        return 'several speakers heard, but no speaker interval could be embedded: the transcript is written ' \
               'without speakers'
    k = diar.effective_k
    return f"{k} speaker{'s' if k != 1 else ''} found"


def _time(seconds: float) -> str:
    """A transcript time as people read it: "45.7 s", "12:05.3", "1:00:02.5"."""
    tenths = round(seconds * 10)
    if tenths < 600:
        return f"{tenths / 10:.1f} s"
    whole, tenth = divmod(tenths, 10)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02}:{secs:02}.{tenth}" if hours else f"{minutes}:{secs:02}.{tenth}"


def placement_problems(parsed: _transcript.Transcript, duration_s: float, result: AnalyzeResult,
                       labelled: int) -> list[str]:
    """The likely causes, said plainly, when the cues do not fit the recording: none of them (or
    most) lies in it, none has readable times, or none got a speaker though the engine told several
    apart. Empty when the cues fit."""
    timed = [cue for cue in parsed.cues if cue.has_usable_times]
    inside = [cue for cue in timed if cue.start_s < duration_s]
    problems = []
    if not timed:
        frames = [n for n in parsed.notes if n.kind == _transcript.NOTE_FRAME_TIME_CODE]
        if frames:
            problems.append(f"no cue has times that can be read: they are frame-based time codes (HH:MM:SS:FF, "
                            f"line {frames[0].line}), which need the frame rate; write the times as "
                            "HH:MM:SS,mmm (SRT) or HH:MM:SS.mmm (WebVTT) and label again")
        else:
            problems.append("no cue has usable times (start --> end, the end after the start); the notes above "
                            "name the lines")
        return problems
    if len(inside) * 2 < len(timed):
        first = min(cue.start_s for cue in timed)
        last = max(cue.end_s for cue in timed)
        head = ("no cue lies in the recording" if not inside else
                f"{len(timed) - len(inside)} of {len(timed)} cues start after the recording ends")
        problems.append(f"{head}: the cues run from {_time(first)} to {_time(last)}, the recording lasts "
                        f"{_time(duration_s)}")
        hour = math.floor(first / 3600) * 3600
        if hour >= 3600 and last - hour <= duration_s + 1:
            problems.append(f"the times seem to carry an offset of {clock(hour)} (broadcast time codes often "
                            f"start at 1:00:00): subtract {clock(hour)} from every time of the transcript and "
                            "label again")
        else:
            problems.append("if the transcript's times carry an offset, subtract it from every time; otherwise "
                            "the transcript belongs to another recording")
        return problems
    diar = result.diarization
    if labelled == 0 and result.evidence.speaker_evidence == "multi" and diar.effective_k:
        problems.append(f"no speaker interval lies under any cue, though {diar.effective_k} speakers were told "
                        "apart: check that the transcript belongs to this recording")
    return problems


def _write_atomically(path: str, data: bytes) -> None:
    partial = os.path.join(os.path.dirname(path) or ".", "." + os.path.basename(path) + ".partial")
    try:
        with open(partial, "wb") as f:
            f.write(data)
        os.replace(partial, path)
    except BaseException:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise


def _timeline_drawer():
    """draw_timeline.draw from the checkout's tools/demo, or None when this client has no checkout."""
    demo = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "demo")
    if not os.path.isfile(os.path.join(demo, "draw_timeline.py")):
        return None
    sys.path.insert(0, demo)
    try:
        import draw_timeline
    finally:
        sys.path.remove(demo)
    return draw_timeline


def _check_output_dir(out_dir: str) -> None:
    """Raises OutputError for a path that is there but is no directory. The directory itself is
    made only when there are results to write into it."""
    try:
        kind = file_kind(out_dir)
    except FileNotFoundError:
        return
    except OSError as e:
        raise OutputError(f"{out_dir}: cannot use it as the output directory: {e.strerror}") from None
    if kind != "a directory":
        raise OutputError(f"{out_dir}: {kind or 'a file'}, not a directory; the results cannot be written there")


def _recording_identity(audio: str) -> dict:
    return {"name": os.path.basename(audio), "path": os.path.abspath(audio), "size_bytes": os.path.getsize(audio)}


def read_run_record(path: str) -> dict | None:
    """The run record (NAME.run.json) at `path`; None when there is none; ClientError when it is
    there but unreadable or not a run record."""
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise ClientError(f"{path}: not a readable run record ({e})") from None
    if not isinstance(record, dict) or record.get("schema") != RUN_SCHEMA:
        raise ClientError(f"{path}: not a run record of label-transcript")
    return record


def _check_replacing(out_dir: str, name: str, audio: str, force: bool) -> None:
    """Refuses (OutputError) to replace the results of another recording under the same NAME."""
    if force:
        return
    path = os.path.join(out_dir, f"{name}.run.json")
    try:
        record = read_run_record(path)
    except ClientError:
        record = {}
    if record is None:
        return
    mine = _recording_identity(audio)
    theirs = record.get("recording") if isinstance(record.get("recording"), dict) else {}
    if (theirs.get("name"), theirs.get("size_bytes")) == (mine["name"], mine["size_bytes"]):
        return
    held = (f"{theirs['name']} ({theirs.get('size_bytes')} bytes)" if theirs.get("name") else
            "a recording its run record does not name")
    raise OutputError(f"{out_dir} already holds results for {name} of another recording, {held}; this one is "
                      f"{mine['name']} ({mine['size_bytes']} bytes): give another --out, or --force to replace "
                      "them")


def _voice_names(parsed: _transcript.Transcript, speakers: dict[int, str]) -> dict[str, dict[str, int]]:
    """For each speaker written, how many of its cues each voice name of the transcript had."""
    table: dict[str, dict[str, int]] = {}
    for number, speaker in speakers.items():
        name = parsed.voice_name(parsed.cues[number - 1])
        if name is not None:
            names = table.setdefault(speaker, {})
            names[name] = names.get(name, 0) + 1
    return table


def label_transcript(audio: str, transcript: str, segmentation: str, embedding: str, out_dir: str, *,
                     engine: Engine | str | None = None, timeout_s: float | None = None,
                     timeline: bool = False, resemblance: bool = False, numpy: bool | None = None,
                     force: bool = False, progress=None) -> LabelOutcome:
    """Labels `transcript` by the speakers of `audio`; see the module description for the files.

    `audio` is any recording sox reads; a file ending in .f32 is taken as the engine's own format
    (raw float32 little-endian mono at 16 kHz) and used as it is. `timeout_s` limits the whole job
    (conversion and analysis): when it runs out, the step running is stopped and EngineTimeout
    raised (ConversionTimeout, also an AudioConversionError, while sox converts the recording).
    `force` replaces the results of another recording under the same name in `out_dir`.
    `progress` (a `progress.Progress`) shows the steps on a terminal.
    Raises TranscriptError, AudioConversionError, EngineError, EngineCrashed (EngineTimeout),
    EngineNotFound, InvalidArgument (before anything runs), OutputError, or ClientError for files it
    cannot read."""
    audio = _arguments.path(audio, "audio")
    transcript = _arguments.path(transcript, "transcript")
    segmentation = _arguments.path(segmentation, "segmentation")
    embedding = _arguments.path(embedding, "embedding")
    if out_dir == "":
        raise InvalidArgument("the output directory is an empty path; name a directory")
    out_dir = _arguments.path(out_dir, "out_dir")
    for value, what in ((timeline, "timeline"), (resemblance, "resemblance"), (force, "force")):
        _arguments.flag(value, what)
    numpy = _arguments.optional_flag(numpy, "numpy")
    if engine is not None and not isinstance(engine, Engine):
        engine = _arguments.path(engine, "engine")
    deadline = Deadline(timeout_s)
    timeout_s = deadline.timeout_s
    try:
        kind = file_kind(transcript)
        if kind is not None:
            raise InputError(f"{transcript}: {kind}, not a transcript")
        parsed = _transcript.read_transcript(transcript)
    except OSError as e:
        raise InputError(f"{transcript}: cannot read the transcript: {e.strerror}") from None
    check_recording(audio)
    _check_output_dir(out_dir)
    name = os.path.splitext(os.path.basename(transcript))[0] or "transcript"
    _check_replacing(out_dir, name, audio, force)
    drawer = None
    if timeline:
        drawer = _timeline_drawer()
        if drawer is None:
            raise ToolMissing("the timeline needs tools/demo/draw_timeline.py, which this installation lacks")
    if not isinstance(engine, Engine):
        engine = Engine(engine)
    spans = [Span(cue.number, cue.start_s, cue.end_s) for cue in parsed.cues]
    tick = progress.tick if progress is not None else None

    with private_temp_dir() as work:
        if audio.lower().endswith(RAW_AUDIO_SUFFIX):
            audio_f32 = audio
        else:
            audio_f32 = os.path.join(work, "audio.f32")
            if progress is not None:
                progress.phase(f"converting {os.path.basename(audio)} with sox")
            try:
                convert_audio(audio, audio_f32, timeout_s=deadline.remaining(), tick=tick)
            except ConversionTimeout as e:
                raise ConversionTimeout(audio, timeout_s, e.stderr) from None
            finally:
                if progress is not None:
                    progress.stop()
        duration_s = os.path.getsize(audio_f32) / 4 / SAMPLE_RATE_HZ
        if progress is not None:
            progress.analysing(duration_s, (engine.path, segmentation, embedding))
        try:
            result = engine.analyze(audio_f32, spans, segmentation, embedding, payload_prefix=f"{name}.",
                                    keep_dir=work, timeout_s=deadline.remaining(), numpy=numpy, tick=tick)
        except EngineTimeout as e:
            if timeout_s is None or e.timeout_s == timeout_s:
                raise
            raise EngineTimeout(timeout_s, e.stderr) from None
        finally:
            if progress is not None:
                progress.stop()
        if progress is not None:
            progress.analysed()

        labels = result.statement_labels()
        filled = resemblance_labels(result) if resemblance else {}
        told_apart = result.evidence.speaker_evidence == "multi" and bool(result.diarization.effective_k)
        chosen, unlabelled, notes = {}, {}, []
        for cue in parsed.cues:
            label = labels.get(cue.number)
            if label is None:
                label = filled.get(cue.number)
            if not cue.has_usable_times:
                unlabelled[cue.number] = NO_USABLE_TIMES
            elif cue.start_s >= duration_s:
                unlabelled[cue.number] = AFTER_THE_END
                notes.append(_transcript.TranscriptNote(cue.line, "the cue starts after the recording ends "
                                                                  f"({_seconds(duration_s)} s)", NOTE_AFTER_THE_END))
            elif not told_apart:
                unlabelled[cue.number] = NO_SPEAKERS
            elif label is None:
                unlabelled[cue.number] = NO_SPEAKER_INTERVAL
            elif not parsed.has_text(cue):
                unlabelled[cue.number] = NO_TEXT
            else:
                chosen[cue.number] = label
        numbers = speaker_numbers(result, shown=set(n for n in chosen if n not in filled))
        for label in sorted(set(chosen.values()) - set(numbers)):
            numbers[label] = len(numbers) + 1
        speakers = {n: speaker_name(numbers[label]) for n, label in chosen.items()}
        uncued = sorted(numbers[label] for label in numbers if label not in set(chosen.values()))
        problems = placement_problems(parsed, duration_s, result, len(speakers))
        files = {
            "transcript": os.path.join(out_dir, f"{name}.labelled{parsed.extension}"),
            "rttm": os.path.join(out_dir, f"{name}.rttm"),
            "statements": os.path.join(out_dir, f"{name}.statements.f32"),
            "run": os.path.join(out_dir, f"{name}.run.json"),
            "response": os.path.join(out_dir, f"{name}.response.json"),
        }
        outcome = LabelOutcome(parsed, result, speakers, files, summarize(result),
                               sorted(n for n in filled if n in speakers), unlabelled, notes, duration_s, numbers,
                               uncued, _voice_names(parsed, speakers), problems)
        details = notes_text(outcome)
        if details:
            files["notes"] = os.path.join(out_dir, f"{name}.notes.txt")
        record = {
            "schema": RUN_SCHEMA,
            "recording": dict(_recording_identity(audio), duration_s=duration_s),
            "transcript": {"name": os.path.basename(transcript), "path": os.path.abspath(transcript),
                           "format": parsed.format, "encoding": parsed.encoding, "cues": len(parsed.cues)},
            "speaker_numbers": {str(label): number for label, number in sorted(numbers.items())},
            "labelled_cues": len(speakers),
        }
        try:
            os.makedirs(out_dir, exist_ok=True)
        except OSError as e:
            raise OutputError(f"{out_dir}: cannot create the output directory: {e.strerror}") from None
        try:
            _write_atomically(files["transcript"], parsed.labelled(speakers))
            _write_atomically(files["rttm"],
                              "".join(rttm_lines(result, recording_file_id(audio), numbers)).encode("utf-8"))
            place_file(result.statement_embeddings.kept_at, files["statements"])
            if details:
                _write_atomically(files["notes"], details.encode("utf-8"))
            if drawer is not None:
                pictures = drawer.draw(result.response, os.path.join(out_dir, f"{name}.timeline.svg"),
                                       audio=drawer.read_audio(audio_f32),
                                       title=f"{os.path.basename(transcript)}: {summarize(result)}")
                files["timeline"] = pictures[0]
                if len(pictures) > 1:
                    files["timeline_png"] = pictures[1]
            _write_atomically(files["run"], (json.dumps(record, indent=2, ensure_ascii=False) + "\n").encode())
            written = {os.path.basename(path) for path in files.values()}
            for leftover in (f"{name}.labelled.vtt", f"{name}.labelled.srt", f"{name}.timeline.svg",
                             f"{name}.timeline.png", f"{name}.notes.txt"):
                if leftover not in written and os.path.lexists(os.path.join(out_dir, leftover)):
                    os.unlink(os.path.join(out_dir, leftover))
            _write_atomically(files["response"], result.response_line.encode("utf-8"))
        except OSError as e:
            raise OutputError(f"cannot write into {out_dir}: {e.strerror} ({e.filename})") from None
    return dataclasses.replace(outcome, result=dataclasses.replace(result, statement_embeddings=dataclasses.replace(
        result.statement_embeddings, kept_at=files["statements"])))


UNLABELLED_TEXTS = {
    NO_USABLE_TIMES: "without usable times",
    AFTER_THE_END: "starting after the recording ends",
    NO_SPEAKERS: "in a recording whose speakers were not told apart",
    NO_SPEAKER_INTERVAL: "with no speaker interval under them",
    NO_TEXT: "without text",
}


def notes_text(outcome: LabelOutcome) -> str:
    """Every note and every unlabelled cue of the run, in full, one per line, as the notes file holds
    them ("" when there are none)."""
    parsed = outcome.transcript
    path = parsed.path
    lines = [note.format(path) for note in sorted(parsed.notes + outcome.notes, key=lambda n: n.line)]
    for reason in UNLABELLED_REASONS:
        numbers = sorted(n for n, why in outcome.unlabelled.items() if why == reason)
        if numbers:
            lines.append(f"left unlabelled, {UNLABELLED_TEXTS[reason]}: {len(numbers)} cues, lines "
                         + ", ".join(str(parsed.cues[n - 1].line) for n in numbers))
    return "".join(line + "\n" for line in lines)
