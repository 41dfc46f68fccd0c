"""The two shell commands: label-transcript and find-speakers.

Exit statuses: 0 done (also when the recording has one speaker or none); 64 bad arguments;
65 a transcript, recording or result that cannot be used; 66 a missing or unreadable input;
69 no engine or no sox; the engine's own status (64, 69 or 75) when it answers with an error line;
70 when the engine ended without its line; 73 when the output cannot be written; 75 when the time
limit ran out; 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import math
import signal
import sys

from . import label as _label
from . import speakers as _speakers
from .engine import EngineError
from .errors import ClientError

EX_USAGE = 64
_NOTES = __doc__.split("\n\n", 1)[1]
EX_INTERRUPTED = 128 + signal.SIGINT


class _Parser(argparse.ArgumentParser):
    """A command's parser: the module's notes close its help, and a usage error exits with 64."""

    def __init__(self, prog: str, description: str):
        super().__init__(prog=prog, description=description, epilog=_NOTES)

    def error(self, message):
        self.print_usage(sys.stderr)
        print(f"{self.prog}: error: {message}", file=sys.stderr)
        sys.exit(EX_USAGE)


def _unwind_on_signals() -> None:
    """SIGTERM and SIGINT (Ctrl-C) unwind like exceptions, so the engine or sox is stopped and
    private temporary directories are still removed; a second signal during that cleanup is
    ignored. A SIGINT the command was started to ignore stays ignored."""
    def on_sigterm(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        raise SystemExit(128 + signum)

    def on_sigint(signum, frame):
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_sigterm)
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


def _report_failure(prog: str, error: ClientError, options: dict[str, str] | None = None) -> int:
    """Prints the error; an engine error about a request field names the option that gave it."""
    if isinstance(error, EngineError):
        option = next((o for field, o in (options or {}).items() if error.detail.startswith(field + " ")), None)
        text = (f"the engine refused the job ({error.reason}, exit status {error.exit_status})"
                f"{' for ' + option if option else ''}: {error.detail}")
    else:
        text = str(error)
    print(f"{prog}: error: {text}", file=sys.stderr)
    return error.cli_status


def _them(count: int) -> str:
    return "them" if count != 1 else "it"


def _lines(transcript, numbers) -> str:
    """"line 7" or "lines 7, 12": the lines that name the cues numbered `numbers`."""
    lines = ", ".join(str(transcript.cues[n - 1].line) for n in sorted(numbers))
    return f"line{'s' if len(numbers) != 1 else ''} {lines}"


def label_transcript_main(argv=None, prog: str = "label-transcript") -> int:
    return _interruptible(prog, _label_transcript, argv)


def _label_transcript(argv, prog: str) -> int:
    parser = _Parser(prog, "Labels every cue of a WebVTT or SRT transcript with its speaker and keeps the "
                     "statement embeddings for find-speakers.")
    parser.add_argument("audio", metavar="AUDIO", help="the recording: any format sox reads; a .f32 file "
                        "is taken as raw float32 little-endian mono at 16 kHz")
    parser.add_argument("transcript", metavar="TRANSCRIPT", help="WebVTT (.vtt) or SRT (.srt)")
    parser.add_argument("--segmentation", required=True, metavar="SEG.onnx", help="speaker-segmentation model")
    parser.add_argument("--embedding", required=True, metavar="EMB.onnx", help="speaker-embedding model")
    parser.add_argument("--out", required=True, metavar="DIR", help="where NAME.labelled.vtt/.srt, NAME.rttm, "
                        "NAME.statements.f32 and NAME.response.json are written")
    parser.add_argument("--engine", metavar="PATH", help="the engine executable (default: looked for)")
    parser.add_argument("--timeout", type=_positive_seconds, metavar="SECONDS",
                        help="time limit of the whole job (default: none)")
    parser.add_argument("--timeline", action="store_true", help="also draw NAME.timeline.svg")
    fill = parser.add_mutually_exclusive_group()
    fill.add_argument("--fill-by-resemblance", action="store_true",
                      help="also label the cues no speaker interval lies under with the speaker their voice "
                      "resembles most: a guess, which can be wrong, above all in crosstalk")
    fill.add_argument("--interval-labels-only", action="store_true",
                      help="label only the cues a speaker interval lies under (the default)")
    args = parser.parse_args(argv)
    _unwind_on_signals()
    try:
        outcome = _label.label_transcript(args.audio, args.transcript, args.segmentation, args.embedding,
                                          args.out, engine=args.engine, timeout_s=args.timeout,
                                          timeline=args.timeline, resemblance=args.fill_by_resemblance)
    except ClientError as e:
        return _report_failure(prog, e, _MODEL_OPTIONS)
    parsed = outcome.transcript
    for note in sorted(parsed.notes + outcome.notes, key=lambda n: n.line):
        print(f"{prog}: {note.format(args.transcript)}", file=sys.stderr)
    print(f"transcript: {args.transcript} ({parsed.format_name}, {len(parsed.cues)} cues)")
    print(outcome.summary)
    if outcome.speakers:
        counts = {}
        for name in outcome.speakers.values():
            counts[name] = counts.get(name, 0) + 1
        parts = ", ".join(f"{name}: {counts[name]}" for name in sorted(counts, key=lambda n: int(n.split()[1])))
        print(f"labelled {len(outcome.speakers)} of {len(parsed.cues)} cues ({parts})")
        if outcome.by_resemblance:
            count = len(outcome.by_resemblance)
            print(f"{count} of them guessed by voice resemblance, no speaker interval lying under "
                  f"{_them(count)} ({_lines(parsed, outcome.by_resemblance)}); a guess can be wrong, above all "
                  "in crosstalk")
        for reason in _label.UNLABELLED_REASONS:
            numbers = [n for n, why in outcome.unlabelled.items() if why == reason]
            if numbers:
                count = len(numbers)
                what = {_label.NO_USABLE_TIMES: "without usable times",
                        _label.AFTER_THE_END: "starting after the recording ends",
                        _label.NO_SPEAKER_INTERVAL: f"with no speaker interval under {_them(count)}"
                                                    + (" and no clear resemblance" if args.fill_by_resemblance
                                                       else ""),
                        _label.NO_TEXT: "without text"}[reason]
                print(f"left unlabelled: {count} cue{'s' if count != 1 else ''} {what} "
                      f"({_lines(parsed, numbers)})")
    for key in ("transcript", "rttm", "statements", "response", "timeline", "timeline_png"):
        if key in outcome.files:
            print(f"wrote {outcome.files[key]}")
    return 0


def find_speakers_main(argv=None, prog: str = "find-speakers") -> int:
    return _interruptible(prog, _find_speakers, argv)


def _find_speakers(argv, prog: str) -> int:
    parser = _Parser(prog, "Finds the voices that recur across recordings labelled by label-transcript "
                     "(every NAME.response.json in each DIR).")
    parser.add_argument("dirs", nargs="+", metavar="DIR", help="output directories of label-transcript")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument("--min-cluster-size", type=int, default=_speakers.DEFAULT_MIN_CLUSTER_SIZE,
                        metavar="N", help="fewest statements that make a voice (default "
                        f"{_speakers.DEFAULT_MIN_CLUSTER_SIZE}, at least 2)")
    parser.add_argument("--min-samples", type=int, default=_speakers.DEFAULT_MIN_SAMPLES, metavar="N",
                        help=f"HDBSCAN min_samples (default {_speakers.DEFAULT_MIN_SAMPLES})")
    parser.add_argument("--engine", metavar="PATH", help="the engine executable (default: looked for)")
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
                                         min_samples=args.min_samples, timeout_s=args.timeout)
    except ClientError as e:
        return _report_failure(prog, e)
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
