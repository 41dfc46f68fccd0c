"""label-transcript: who said which cue of a transcript.

For a recording and its transcript (WebVTT or SRT) it runs the engine's analyze job with one
statement per cue and writes, into the output directory (NAME is the transcript's file name without
its extension):

  NAME.labelled.vtt / .srt   the transcript with a speaker on every labelled cue (transcript module)
  NAME.rttm                  the speaker intervals by cluster, one standard 10-column RTTM line each:
                             SPEAKER <file-id> 1 <onset> <duration> <NA> <NA> Speaker_<n> <NA> <NA>
                             (file id: the recording's file name without its extension; Speaker_<n>
                             is "Speaker <n>" of the transcript)
  NAME.statements.f32        the statement embeddings the engine wrote (row i: statement_ids[i])
  NAME.response.json         the engine's response line, as written; its payload path is
                             NAME.statements.f32, relative to the directory
  NAME.timeline.svg          with timeline=True: the response drawn as a picture (needs the
                             checkout's tools/demo/draw_timeline.py)

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
no usable times; it starts after the recording ends (also noted at its line); no speaker interval
lies under it (and, with `resemblance=True`, it resembles no speaker clearly); it has no text to
carry a speaker. A cue counts as labelled only when its speaker is written.

The response is written last, so a directory with NAME.response.json holds a complete run; that is
what find-speakers reads. A run replaces an earlier run of the same NAME in the directory: the files
of that run this one does not write (a NAME.labelled.srt beside a new NAME.labelled.vtt, timeline
pictures) are removed before the response is written. The output directory (with its missing
parents) is made once there are results to write: when the transcript, the recording or the engine
fails, nothing is written and no directory is made.
"""

from __future__ import annotations

import dataclasses
import math
import os
import sys
from dataclasses import dataclass, field

from . import payload as _payload
from . import transcript as _transcript
from .audio import SAMPLE_RATE_HZ, ConversionTimeout, check_recording, convert_audio, file_kind
from .engine import AnalyzeResult, Deadline, Engine, EngineTimeout, Span, place_file, private_temp_dir
from .errors import InputError, InvalidArgument, OutputError, ToolMissing

RAW_AUDIO_SUFFIX = ".f32"
RESEMBLANCE_MARGIN = 0.1

NO_USABLE_TIMES = "no usable times"
AFTER_THE_END = "after the end"
NO_SPEAKER_INTERVAL = "no speaker interval"
NO_TEXT = "no text"
UNLABELLED_REASONS = (NO_USABLE_TIMES, AFTER_THE_END, NO_SPEAKER_INTERVAL, NO_TEXT)  # in the order they are tried


@dataclass
class LabelOutcome:
    transcript: _transcript.Transcript
    result: AnalyzeResult
    speakers: dict[int, str]  # cue number -> "Speaker N", the cues written with a speaker only
    files: dict[str, str]  # "transcript", "rttm", "statements", "response" (and "timeline") -> path
    summary: str  # what the engine found, one sentence
    by_resemblance: list[int] = field(default_factory=list)  # cue numbers labelled by resemblance
    unlabelled: dict[int, str] = field(default_factory=dict)  # cue number -> one of UNLABELLED_REASONS
    notes: list[_transcript.TranscriptNote] = field(default_factory=list)  # about cues, found by the run
    duration_s: float | None = None  # of the recording


def speaker_name(label: int) -> str:
    return f"Speaker {label}"


def recording_file_id(audio_path: str) -> str:
    """The RTTM file id: the recording's file name without its extension, blanks as underscores."""
    stem = os.path.splitext(os.path.basename(audio_path))[0]
    return "_".join(stem.split()) or "recording"


def rttm_lines(result: AnalyzeResult, file_id: str) -> list[str]:
    """One line per valid speaker interval, in time order, speaker = cluster + 1."""
    diar = result.diarization
    lines = []
    for interval, cluster in zip(diar.valid_intervals or [], diar.cluster_labels or []):
        if interval.start_s is None or interval.end_s is None:
            continue
        lines.append(f"SPEAKER {file_id} 1 {interval.start_s:.3f} {interval.end_s - interval.start_s:.3f} "
                     f"<NA> <NA> Speaker_{cluster + 1} <NA> <NA>\n")
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
    """Raises InvalidArgument for an empty path, OutputError for a path that is there but is no
    directory. The directory itself is made only when there are results to write into it."""
    if not out_dir:
        raise InvalidArgument("the output directory is an empty path; name a directory")
    try:
        kind = file_kind(out_dir)
    except FileNotFoundError:
        return
    except OSError as e:
        raise OutputError(f"{out_dir}: cannot use it as the output directory: {e.strerror}") from None
    if kind != "a directory":
        raise OutputError(f"{out_dir}: {kind or 'a file'}, not a directory; the results cannot be written there")


def label_transcript(audio: str, transcript: str, segmentation: str, embedding: str, out_dir: str, *,
                     engine: Engine | str | None = None, timeout_s: float | None = None,
                     timeline: bool = False, resemblance: bool = False, numpy: bool | None = None) -> LabelOutcome:
    """Labels `transcript` by the speakers of `audio`; see the module description for the files.

    `audio` is any recording sox reads; a file ending in .f32 is taken as the engine's own format
    (raw float32 little-endian mono at 16 kHz) and used as it is. `timeout_s` limits the whole job
    (conversion and analysis): when it runs out, the step running is stopped and EngineTimeout
    raised (ConversionTimeout, also an AudioConversionError, while sox converts the recording).
    Raises TranscriptError, AudioConversionError, EngineError, EngineCrashed (EngineTimeout),
    EngineNotFound, InvalidArgument, or ClientError for files it cannot read or write."""
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
    drawer = None
    if timeline:
        drawer = _timeline_drawer()
        if drawer is None:
            raise ToolMissing("the timeline needs tools/demo/draw_timeline.py, which this installation lacks")
    if not isinstance(engine, Engine):
        engine = Engine(engine)
    name = os.path.splitext(os.path.basename(transcript))[0] or "transcript"
    spans = [Span(cue.number, cue.start_s, cue.end_s) for cue in parsed.cues]

    with private_temp_dir() as work:
        if audio.lower().endswith(RAW_AUDIO_SUFFIX):
            audio_f32 = audio
        else:
            audio_f32 = os.path.join(work, "audio.f32")
            try:
                convert_audio(audio, audio_f32, timeout_s=deadline.remaining())
            except ConversionTimeout as e:
                raise ConversionTimeout(audio, timeout_s, e.stderr) from None
        try:
            result = engine.analyze(audio_f32, spans, segmentation, embedding, payload_prefix=f"{name}.",
                                    keep_dir=work, timeout_s=deadline.remaining(), numpy=numpy)
        except EngineTimeout as e:
            if timeout_s is None or e.timeout_s == timeout_s:
                raise
            raise EngineTimeout(timeout_s, e.stderr) from None

        duration_s = os.path.getsize(audio_f32) / 4 / SAMPLE_RATE_HZ
        labels = result.statement_labels()
        filled = resemblance_labels(result) if resemblance else {}
        speakers, unlabelled, notes = {}, {}, []
        for cue in parsed.cues:
            label = labels.get(cue.number)
            if label is None:
                label = filled.get(cue.number)
            if not cue.has_usable_times:
                unlabelled[cue.number] = NO_USABLE_TIMES
            elif cue.start_s >= duration_s:
                unlabelled[cue.number] = AFTER_THE_END
                notes.append(_transcript.TranscriptNote(cue.line, "the cue starts after the recording ends "
                                                                  f"({_seconds(duration_s)} s)"))
            elif label is None:
                unlabelled[cue.number] = NO_SPEAKER_INTERVAL
            elif not parsed.has_text(cue):
                unlabelled[cue.number] = NO_TEXT
            else:
                speakers[cue.number] = speaker_name(label)
        files = {
            "transcript": os.path.join(out_dir, f"{name}.labelled{parsed.extension}"),
            "rttm": os.path.join(out_dir, f"{name}.rttm"),
            "statements": os.path.join(out_dir, f"{name}.statements.f32"),
            "response": os.path.join(out_dir, f"{name}.response.json"),
        }
        try:
            os.makedirs(out_dir, exist_ok=True)
        except OSError as e:
            raise OutputError(f"{out_dir}: cannot create the output directory: {e.strerror}") from None
        try:
            _write_atomically(files["transcript"], parsed.labelled(speakers))
            _write_atomically(files["rttm"],
                              "".join(rttm_lines(result, recording_file_id(audio))).encode("utf-8"))
            place_file(result.statement_embeddings.kept_at, files["statements"])
            if drawer is not None:
                pictures = drawer.draw(result.response, os.path.join(out_dir, f"{name}.timeline.svg"),
                                       audio=drawer.read_audio(audio_f32),
                                       title=f"{os.path.basename(transcript)}: {summarize(result)}")
                files["timeline"] = pictures[0]
                if len(pictures) > 1:
                    files["timeline_png"] = pictures[1]
            written = {os.path.basename(path) for path in files.values()}
            for leftover in (f"{name}.labelled.vtt", f"{name}.labelled.srt", f"{name}.timeline.svg",
                             f"{name}.timeline.png"):
                if leftover not in written and os.path.lexists(os.path.join(out_dir, leftover)):
                    os.unlink(os.path.join(out_dir, leftover))
            _write_atomically(files["response"], result.response_line.encode("utf-8"))
        except OSError as e:
            raise OutputError(f"cannot write into {out_dir}: {e.strerror} ({e.filename})") from None
    result = dataclasses.replace(result, statement_embeddings=dataclasses.replace(
        result.statement_embeddings, kept_at=files["statements"]))
    return LabelOutcome(parsed, result, speakers, files, summarize(result), sorted(n for n in filled if n in speakers),
                        unlabelled, notes, duration_s)
