"""The two shell commands: label-transcript and find-speakers.

What they print: results on standard output; notes, warnings and errors on standard error, each
line starting with the command's name. A note that repeats (10,000 overlapping cues give 9,999 of
one kind) is shown for its first few cues and then counted; long lists of lines are cut short;
every note and line is kept in full in the notes file of the run (or shown with --verbose). While
a long step runs, a progress line on a terminal says what is happening; nothing of it reaches a
file or a pipe, and --quiet turns it off.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import textwrap

from . import label as _label
from . import speakers as _speakers
from . import transcript as _transcript
from .engine import EngineError
from .errors import ClientError
from .progress import Progress

EX_USAGE = 64
EX_INTERRUPTED = 128 + signal.SIGINT
SHOWN_PER_KIND = 3  # notes of one kind shown in full before the rest are counted
LIST_CAP = 10  # line numbers listed before the rest are counted

LABEL_TRANSCRIPT_NOTES = f"""\
Speakers are numbered in the order they first speak in the transcript; speakers the engine heard
where the transcript has no cue are counted and appear only in the RTTM file.

{_transcript.VOICE_RULE}. A cue the engine left without a speaker stays unlabelled
(--fill-by-resemblance guesses those).

An earlier run in --out for a transcript of the same name is replaced when it is of the same
recording (same file name and size); one of another recording is refused unless --force is given.

Exit statuses: 0 done (also when the recording has one speaker or none, or no cue could be
labelled: the summary then says why); 64 bad arguments; 65 a transcript or recording that cannot be
used; 66 a missing or unreadable input; 69 no engine or no sox; the engine's own status (64 or 69)
when it refuses the job; 70 when the engine ended without its line; 73 when the output cannot be
written, or holds another recording's results; 75 when the time limit ran out or the job may
succeed when run again (the engine's status 75, or a model that could not be loaded for want of
memory or threads); 130 when interrupted (Ctrl-C).
"""

FIND_SPEAKERS_NOTES = """\
Each DIR is an output directory of label-transcript; a directory without results of its own whose
subdirectories hold some is read as those subdirectories.

Exit statuses: 0 done; 64 bad arguments; 65 a result that cannot be used (--skip-broken leaves it
out and reports it instead); 66 a missing directory or one without results; 69 no engine; the
engine's own status (64 or 69) when it refuses the job; 70 when the engine ended without its line;
75 when the time limit ran out or the engine's status is 75; 130 when interrupted (Ctrl-C).
"""


class _Parser(argparse.ArgumentParser):
    """A command's parser: its notes close its help, and a usage error exits with 64."""

    def __init__(self, prog: str, description: str, notes: str):
        paragraphs = [textwrap.fill(" ".join(p.split()), 79) for p in notes.strip().split("\n\n")]
        super().__init__(prog=prog, description=textwrap.fill(description, 79), epilog="\n\n".join(paragraphs),
                         formatter_class=argparse.RawDescriptionHelpFormatter)

    def error(self, message):
        self.print_usage(sys.stderr)
        print(f"{self.prog}: error: {message}", file=sys.stderr)
        sys.exit(EX_USAGE)


def _unwind_on_signals() -> None:
    """SIGTERM, SIGHUP (the terminal closed) and SIGINT (Ctrl-C) unwind like exceptions, so the
    engine or sox is stopped and private temporary directories are still removed; a second signal
    during that cleanup is ignored. A SIGINT or SIGHUP the command was started to ignore (nohup)
    stays ignored."""
    def on_ending_signal(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        raise SystemExit(128 + signum)

    def on_sigint(signum, frame):
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_ending_signal)
    if signal.getsignal(signal.SIGHUP) is not signal.SIG_IGN:
        signal.signal(signal.SIGHUP, on_ending_signal)
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, on_sigint)


def _interruptible(prog: str, command, argv) -> int:
    """Runs the command; when Ctrl-C stops it, ends with one line and status 130."""
    try:
        return command(argv, prog)
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return EX_INTERRUPTED


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if math.isnan(value) or math.isinf(value):
        raise argparse.ArgumentTypeError(f"the time limit must be a finite number of seconds, not {text!r}")
    if not value > 0:
        raise argparse.ArgumentTypeError("the time limit must be more than 0 seconds")
    return value


# The request fields an engine error may begin with, and the options of label-transcript that fill them.
_MODEL_OPTIONS = {"pyannote_segmentation_onnx_path": "--segmentation", "wespeaker_onnx_path": "--embedding"}
_MODEL_KINDS = {"pyannote_segmentation_onnx_path": "segmentation", "wespeaker_onnx_path": "embedding"}


def _hint(error: ClientError) -> str | None:
    """What to do about an engine error, when the engine's own detail does not say it."""
    if not isinstance(error, EngineError):
        return None
    field = next((f for f in _MODEL_KINDS if error.detail.startswith(f + " ")), None)
    kind = _MODEL_KINDS.get(field, "segmentation|embedding")
    if error.resource_shortage:
        return ("the machine ran short of memory or threads while the model loaded: run the job again when more "
                "is free (fewer jobs at once, a higher memory limit)")
    if error.reason == "model-io-mismatch":
        return (f"a model whose input and output carry other names is fitted to the engine's contract by "
                f"tools/models/fit_model_contract.py of the source tree (/usr/bin/python3 "
                f"tools/models/fit_model_contract.py {kind} IN.onnx OUT.onnx), which also lists what else does "
                "not fit")
    if error.reason == "model-invalid":
        return "the file is not an ONNX model the runtime can load: check that the path names the model meant"
    return None


def _report_failure(prog: str, error: ClientError, options: dict[str, str] | None = None) -> int:
    """Prints the error and what to do; an engine error about a request field names the option
    that gave it."""
    if isinstance(error, EngineError):
        option = next((o for field, o in (options or {}).items() if error.detail.startswith(field + " ")), None)
        text = (f"the engine refused the job ({error.reason}, exit status {error.exit_status})"
                f"{' for ' + option if option else ''}: {error.detail.rstrip()}")
    else:
        text = str(error)
    print(f"{prog}: error: {text}", file=sys.stderr)
    hint = _hint(error)
    if hint:
        print(f"{prog}: {hint}", file=sys.stderr)
    return error.cli_status


def _plural(count: int, word: str, plural: str | None = None) -> str:
    return f"{count:,} {word if count == 1 else plural or word + 's'}"


def capped(items, cap: int = LIST_CAP) -> str:
    """"7, 12, 19" or, past `cap` items, "7, 12, ..., and 830 more"."""
    items = [str(item) for item in items]
    if len(items) <= cap:
        return ", ".join(items)
    return ", ".join(items[:cap]) + f", ... and {len(items) - cap:,} more"


_NOTE_KINDS = {
    _transcript.NOTE_OVERLAP: "cues overlapping another cue in time",
    _label.NOTE_AFTER_THE_END: "cues starting after the recording ends",
    _transcript.NOTE_UNREADABLE_TIME: "unreadable times",
    _transcript.NOTE_FRAME_TIME_CODE: "frame-based time codes",
    _transcript.NOTE_MISSING_TIME: "missing times",
    _transcript.NOTE_NO_TIMING_LINE: "cues without a timing line",
    _transcript.NOTE_BACKWARDS: "cues ending before they start",
    _transcript.NOTE_LAYOUT: "cues without a blank line before them",
}


def collapsed_notes(notes, path: str, verbose: bool, details: str) -> list[str]:
    """The notes as lines for standard error, in line order: every one with `verbose`; otherwise of
    each kind with more than SHOWN_PER_KIND + 2 notes, the first SHOWN_PER_KIND in full and then
    one line counting the rest, naming `details` (where every note is kept)."""
    notes = sorted(notes, key=lambda n: n.line)
    by_kind: dict[str, list] = {}
    for note in notes:
        by_kind.setdefault(note.kind or note.message, []).append(note)
    out, shown = [], {}
    for note in notes:
        key = note.kind or note.message
        group = by_kind[key]
        if verbose or len(group) <= SHOWN_PER_KIND + 2 or shown.get(key, 0) < SHOWN_PER_KIND:
            out.append(note.format(path))
            shown[key] = shown.get(key, 0) + 1
    for key, group in by_kind.items():
        rest = group[shown.get(key, 0):]
        if rest:
            what = _NOTE_KINDS.get(key, "notes of the same kind")
            lines = sorted({n.line for n in rest})
            out.append(f"{path}: {len(rest):,} more {what} (line{'s' if len(lines) != 1 else ''} {capped(lines)}); "
                       f"{details}")
    return out


def label_transcript_main(argv=None, prog: str = "label-transcript") -> int:
    return _interruptible(prog, _label_transcript, argv)


def _label_transcript(argv, prog: str) -> int:
    parser = _Parser(prog, "Labels every cue of a WebVTT or SRT transcript with its speaker and keeps the "
                     "statement embeddings for find-speakers.", LABEL_TRANSCRIPT_NOTES)
    parser.add_argument("audio", metavar="AUDIO", help="the recording: any format sox reads; a .f32 file "
                        "is taken as raw float32 little-endian mono at 16 kHz")
    parser.add_argument("transcript", metavar="TRANSCRIPT", help="WebVTT or SRT (told apart by the content); "
                        "UTF-8, UTF-16 or Windows-1252")
    parser.add_argument("--segmentation", required=True, metavar="SEG.onnx", help="speaker-segmentation model")
    parser.add_argument("--embedding", required=True, metavar="EMB.onnx", help="speaker-embedding model")
    parser.add_argument("--out", required=True, metavar="DIR", help="where NAME.labelled.vtt/.srt, NAME.rttm, "
                        "NAME.statements.f32, NAME.notes.txt, NAME.run.json and NAME.response.json are written")
    parser.add_argument("--engine", metavar="PATH", help="the engine executable (default: the one installed "
                        "beside this command, or looked for)")
    parser.add_argument("--timeout", type=_positive_seconds, metavar="SECONDS",
                        help="time limit of the whole job (default: none)")
    parser.add_argument("--timeline", action="store_true", help="also draw NAME.timeline.svg")
    parser.add_argument("--force", action="store_true", help="replace results of another recording that "
                        "--out holds under the same name")
    talk = parser.add_mutually_exclusive_group()
    talk.add_argument("-q", "--quiet", action="store_true", help="no progress line and no notes on standard "
                      "error (the notes file keeps them); the summary stays")
    talk.add_argument("-v", "--verbose", action="store_true", help="every note and every line number in full")
    fill = parser.add_mutually_exclusive_group()
    fill.add_argument("--fill-by-resemblance", action="store_true",
                      help="also label the cues no speaker interval lies under with the speaker their voice "
                      "resembles most: a guess, which can be wrong, above all in crosstalk")
    fill.add_argument("--interval-labels-only", action="store_true",
                      help="label only the cues a speaker interval lies under (the default)")
    args = parser.parse_args(argv)
    _unwind_on_signals()
    progress = Progress(prog, enabled=not args.quiet)
    try:
        outcome = _label.label_transcript(args.audio, args.transcript, args.segmentation, args.embedding,
                                          args.out, engine=args.engine, timeout_s=args.timeout,
                                          timeline=args.timeline, resemblance=args.fill_by_resemblance,
                                          force=args.force, progress=progress)
    except ClientError as e:
        progress.stop()
        return _report_failure(prog, e, _MODEL_OPTIONS)
    parsed = outcome.transcript
    if not args.quiet:
        details = (f"every note is in {outcome.files['notes']}" if "notes" in outcome.files else
                   "--verbose shows them all")
        for line in collapsed_notes(parsed.notes + outcome.notes, args.transcript, args.verbose, details):
            print(f"{prog}: {line}", file=sys.stderr)
    for line in _summary(outcome, args):
        print(line)
    return 0


def _summary(outcome, args) -> list[str]:
    """What label-transcript says on standard output when it is done: always the transcript, the
    recording, what was found, how many cues got a speaker and why the others did not, the likely
    causes when the cues do not fit the recording, and the files written."""
    parsed = outcome.transcript
    cap = math.inf if args.verbose else LIST_CAP

    def lines_of(numbers):
        listed = capped([parsed.cues[n - 1].line for n in sorted(numbers)], cap)
        return f"line{'s' if len(numbers) != 1 else ''} {listed}"

    out = [f"transcript: {args.transcript} ({parsed.format_name}, {parsed.encoding_name}, "
           f"{_plural(len(parsed.cues), 'cue')})",
           f"recording: {args.audio} ({_label._time(outcome.duration_s)})"]
    found = outcome.summary
    if outcome.uncued_speakers:
        uncued = ", ".join(_label.speaker_name(n) for n in outcome.uncued_speakers)
        count = len(outcome.uncued_speakers)
        found += (f"; {count} of them {'has' if count == 1 else 'have'} no cue in the transcript ({uncued}: in "
                  f"{os.path.basename(outcome.files['rttm'])} only)")
    out.append(found)
    counts = {}
    for name in outcome.speakers.values():
        counts[name] = counts.get(name, 0) + 1
    parts = ", ".join(f"{name}: {counts[name]:,}" for name in sorted(counts, key=lambda n: int(n.split()[1])))
    out.append(f"labelled {len(outcome.speakers):,} of {_plural(len(parsed.cues), 'cue')}"
               + (f" ({parts})" if parts else ""))
    if outcome.by_resemblance:
        count = len(outcome.by_resemblance)
        out.append(f"{count:,} of them guessed by voice resemblance, no speaker interval lying under "
                   f"{'them' if count != 1 else 'it'} ({lines_of(outcome.by_resemblance)}); a guess can be wrong, "
                   "above all in crosstalk")
    for reason in _label.UNLABELLED_REASONS:
        numbers = [n for n, why in outcome.unlabelled.items() if why == reason]
        if not numbers or reason == _label.NO_SPEAKERS:  # the finding above says why
            continue
        what = _label.UNLABELLED_TEXTS[reason]
        if len(numbers) == 1:
            what = what.replace("them", "it")
        if reason == _label.NO_SPEAKER_INTERVAL and args.fill_by_resemblance:
            what += " and no clear resemblance"
        out.append(f"left unlabelled: {_plural(len(numbers), 'cue')} {what} ({lines_of(numbers)})")
    if outcome.voice_names:
        named = [f"{speaker}: " + ", ".join(f"{name} {count}" for name, count in
                                            sorted(names.items(), key=lambda item: -item[1])[:3])
                 + (", ..." if len(names) > 3 else "")
                 for speaker, names in sorted(outcome.voice_names.items(), key=lambda i: int(i[0].split()[1]))]
        lost = sum(1 for cue in parsed.cues if cue.number not in outcome.speakers and parsed.voice_name(cue))
        out.append("the transcript's own voice names are replaced by the speakers found (--help); its labelled "
                   "cues had " + "; ".join(named)
                   + (f"; {_plural(lost, 'cue')} left without a speaker lost {'its' if lost == 1 else 'theirs'}"
                      if lost else ""))
    out.extend(outcome.problems)
    for key in ("transcript", "rttm", "statements", "notes", "run", "response", "timeline", "timeline_png"):
        if key in outcome.files:
            out.append(f"wrote {outcome.files[key]}")
    return out


def find_speakers_main(argv=None, prog: str = "find-speakers") -> int:
    return _interruptible(prog, _find_speakers, argv)


def _find_speakers(argv, prog: str) -> int:
    parser = _Parser(prog, "Finds the voices that recur across recordings labelled by label-transcript "
                     "(every NAME.response.json in each DIR).", FIND_SPEAKERS_NOTES)
    parser.add_argument("dirs", nargs="+", metavar="DIR", help="output directories of label-transcript, or a "
                        "directory holding them")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument("--min-cluster-size", type=int, default=_speakers.DEFAULT_MIN_CLUSTER_SIZE,
                        metavar="N", help="fewest statements that make a voice (default "
                        f"{_speakers.DEFAULT_MIN_CLUSTER_SIZE}, at least 2)")
    parser.add_argument("--min-samples", type=int, default=_speakers.DEFAULT_MIN_SAMPLES, metavar="N",
                        help=f"HDBSCAN min_samples (default {_speakers.DEFAULT_MIN_SAMPLES})")
    parser.add_argument("--skip-broken", action="store_true", help="leave out results that cannot be read "
                        "and report them, instead of stopping at the first")
    parser.add_argument("--engine", metavar="PATH", help="the engine executable (default: the one installed "
                        "beside this command, or looked for)")
    parser.add_argument("--timeout", type=_positive_seconds, metavar="SECONDS",
                        help="time limit of the clustering job (default: none)")
    args = parser.parse_args(argv)
    if args.min_cluster_size < 2:
        parser.error("--min-cluster-size must be at least 2")
    if args.min_samples < 1:
        parser.error("--min-samples must be at least 1")
    _unwind_on_signals()
    try:
        report = _speakers.find_speakers(args.dirs, engine=args.engine, min_cluster_size=args.min_cluster_size,
                                         min_samples=args.min_samples, timeout_s=args.timeout,
                                         skip_broken=args.skip_broken)
    except ClientError as e:
        code = _report_failure(prog, e)
        if isinstance(e, _speakers.BrokenResult):
            print(f"{prog}: --skip-broken leaves such results out and reports them", file=sys.stderr)
        return code
    for warning in report.warnings:
        print(f"{prog}: warning: {warning}", file=sys.stderr)
    sys.stdout.write(_speakers.report_json(report) if args.json else _speakers.format_report(report))
    return 0


COMMANDS = {"label-transcript": label_transcript_main, "find-speakers": find_speakers_main}


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] not in COMMANDS:
        print("usage: python3 -m quillfen_client {label-transcript,find-speakers} ...", file=sys.stderr)
        return EX_USAGE
    return COMMANDS[argv[0]](argv[1:], prog=argv[0])
