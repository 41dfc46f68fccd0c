"""Transcripts as WebVTT or SRT: reading cues and writing them back with a speaker on each.

A transcript is read into its lines (each with its own line ending) and its cues. Cue n (from 1, in
file order) is statement n of the analyze request; its times are the cue's start and end in seconds,
or None where the cue has no usable time. Writing keeps every byte of the file (byte order mark,
line endings, header, NOTE/STYLE/REGION blocks, cue identifiers, timing lines with their settings,
styling tags, unlabelled cues) and only adds the speaker to each labelled cue:

- WebVTT: the cue text starts with a voice tag `<v Speaker N>`, which covers the whole cue (a voice
  span may stay open to the end of the cue). A cue that already names a voice gets the engine's
  speaker instead: its voice tags (`<v ...>`, `</v>`) are removed, and the classes of its first
  voice tag are kept (`<v.loud Anna>` becomes `<v.loud Speaker 1>`).
- SRT: the first text line starts with "Speaker N: ", after any leading position override such as
  `{\\an8}`. A "Speaker N: " prefix already there (from an earlier run) is replaced.

Reading is lenient where the intent is clear and says so, naming the line. Every message about a
cue names the cue's timing line, or its first line when it has none (`Cue.line`).
- timestamps with or without hours, with "." or "," before the fraction, 1 to 9 fraction digits;
- a cue without a timing line, with a missing or unreadable time, or ending before it starts is
  kept as a statement without usable times (the engine skips it; its cue stays unlabelled);
- cues whose times overlap (in whatever order they are written) are kept, each labelled by its own
  times;
- a cue that starts without a blank line before it is still a cue of its own;
- an empty line ends a WebVTT cue; a line of only spaces or tabs does not (it is part of the cue's
  text). In SRT, as players read it, a line of only white space ends the cue like an empty line;
- UTF-8 with or without a byte order mark, UTF-16 with a byte order mark, anything else read
  byte for byte as Latin-1 (and written back the same way).
A file that is empty, holds no text, is binary, or holds no timing line (start --> end) at all is
refused with `TranscriptError`.
"""

from __future__ import annotations

import html
import os
import re
from dataclasses import dataclass, field

from .errors import ClientError

WEBVTT = "webvtt"
SRT = "srt"

_LINE = re.compile(r"([^\r\n]*)(\r\n|\n|\r|$)")
_TIMESTAMP = re.compile(r"(?:(\d+):)?(\d{1,2}):(\d{1,2})(?:[.,](\d{1,9}))?")
_VOICE_START = re.compile(r"<v((?:\.[^\s.>]+)*)(?:[ \t\f][^>]*)?>")
_VOICE_END = re.compile(r"</v\s*>")
_SRT_OVERRIDES = re.compile(r"(?:\{\\[^}]*\})*")
_SRT_SPEAKER = re.compile(r"Speaker \d+: ")
_TAG = re.compile(r"<[^>]*>")
_SRT_OVERRIDE_ANYWHERE = re.compile(r"\{\\[^}]*\}")


class TranscriptError(ClientError):
    """A transcript that cannot be read: `path`, the 1-based `line` and the `message`."""

    def __init__(self, path: str, line: int, message: str):
        super().__init__(f"{path}:{line}: {message}")
        self.path = path
        self.line = line
        self.message = message


@dataclass(frozen=True)
class TranscriptNote:
    """Something the reader noticed and how it handled it, at a 1-based line."""

    line: int
    message: str

    def format(self, path: str) -> str:
        return f"{path}:{self.line}: {self.message}"


@dataclass
class Cue:
    """One cue. `number` is its 1-based position among the cues, the statement id."""

    number: int
    first_line: int  # 1-based line of the cue's first line (identifier or timing line)
    timing_line: int | None  # 1-based line of its timing line, None when it has none
    identifier: str | None
    start_s: float | None
    end_s: float | None
    text_lines: list[int] = field(default_factory=list)  # 0-based indices into Transcript.lines

    @property
    def has_usable_times(self) -> bool:
        return self.start_s is not None and self.end_s is not None and self.end_s > self.start_s

    @property
    def line(self) -> int:
        """The 1-based line that names the cue in messages: its timing line, or its first line when it
        has none."""
        return self.timing_line if self.timing_line is not None else self.first_line


@dataclass
class Transcript:
    path: str
    format: str  # WEBVTT or SRT
    encoding: str  # "utf-8", "utf-16-le", "utf-16-be" or "latin-1"
    bom: bytes  # the byte order mark the file began with, written back as it was; b"" when none
    lines: list[tuple[str, str]]  # (content, line ending) in file order
    cues: list[Cue]
    notes: list[TranscriptNote]

    @property
    def extension(self) -> str:
        return ".vtt" if self.format == WEBVTT else ".srt"

    @property
    def format_name(self) -> str:
        return "WebVTT" if self.format == WEBVTT else "SRT"

    def cue_text(self, cue: Cue) -> str:
        """The cue's text as plain words: tags removed, entities decoded, lines joined by spaces."""
        parts = []
        for index in cue.text_lines:
            text = _TAG.sub("", self.lines[index][0])
            if self.format == SRT:
                text = _SRT_OVERRIDE_ANYWHERE.sub("", text)
                speaker = _SRT_SPEAKER.match(text) if index == cue.text_lines[0] else None
                if speaker:
                    text = text[speaker.end():]
            else:
                text = html.unescape(text)
            parts.append(text.strip())
        return " ".join(p for p in parts if p)

    def has_text(self, cue: Cue) -> bool:
        """Whether the cue has a text line that is not blank: only such a cue can carry a speaker."""
        return any(self.lines[index][0].strip() for index in cue.text_lines)

    def labelled(self, speakers: dict[int, str]) -> bytes:
        """The file's bytes with `speakers[cue.number]` added to each cue that has one.

        Cues without an entry (or with None) and cues without text (`has_text`) are written
        unchanged."""
        contents = [content for content, _ in self.lines]
        for cue in self.cues:
            speaker = speakers.get(cue.number)
            if speaker is None or not self.has_text(cue):
                continue
            if self.format == WEBVTT:
                _label_webvtt_cue(contents, cue.text_lines, speaker)
            else:
                _label_srt_cue(contents, cue.text_lines[0], speaker)
        text = "".join(content + ending for content, (_, ending) in zip(contents, self.lines))
        return self.bom + text.encode(self.encoding)


def _label_webvtt_cue(contents: list[str], text_lines: list[int], speaker: str) -> None:
    classes = None
    for index in text_lines:
        for match in _VOICE_START.finditer(contents[index]):
            if classes is None:
                classes = match.group(1)
    for index in text_lines:
        contents[index] = _VOICE_END.sub("", _VOICE_START.sub("", contents[index]))
    first = text_lines[0]
    contents[first] = f"<v{classes or ''} {speaker}>" + contents[first]


def _label_srt_cue(contents: list[str], index: int, speaker: str) -> None:
    line = contents[index]
    overrides = _SRT_OVERRIDES.match(line).group(0)
    rest = line[len(overrides):]
    previous = _SRT_SPEAKER.match(rest)
    if previous:
        rest = rest[previous.end():]
    contents[index] = f"{overrides}{speaker}: {rest}"


def parse_timestamp(token: str) -> float | None:
    """Seconds of a WebVTT or SRT timestamp ([hours:]minutes:seconds[.fraction]), or None."""
    match = _TIMESTAMP.fullmatch(token)
    if not match:
        return None
    hours, minutes, seconds, fraction = match.groups()
    if int(minutes) >= 60 or int(seconds) >= 60:
        return None
    # Whole milliseconds count exactly; the sum is formed once, in 64-bit floats.
    whole = (int(hours or 0) * 60 + int(minutes)) * 60 + int(seconds)
    return whole + (int(fraction) / 10 ** len(fraction) if fraction else 0.0)


def read_transcript(path: str) -> Transcript:
    """Reads a WebVTT or SRT file; raises `TranscriptError` or OSError."""
    with open(path, "rb") as f:
        data = f.read()
    return parse_transcript(data, path)


def parse_transcript(data: bytes, path: str = "transcript") -> Transcript:
    notes: list[TranscriptNote] = []
    text, encoding, bom = _decode(data, path, notes)
    lines = [(m.group(1), m.group(2)) for m in _LINE.finditer(text)]
    if lines and lines[-1] == ("", ""):
        lines.pop()  # the empty match after the last line ending
    if not lines:
        raise TranscriptError(path, 1, "the file is empty; there is nothing to label")
    if all(not content.strip() for content, _ in lines):
        raise TranscriptError(path, 1, "the file holds only blank lines; there is nothing to label")

    first = lines[0][0]
    if _is_webvtt_header(first):
        fmt = WEBVTT
    elif os.path.splitext(path)[1].lower() == ".vtt":
        fmt = WEBVTT
        notes.append(TranscriptNote(1, 'no "WEBVTT" header line; read as WebVTT all the same'))
    else:
        fmt = SRT
    cues = _read_cues(lines, fmt, path, notes)
    if all(cue.timing_line is None for cue in cues):
        raise TranscriptError(path, len(lines), f"no cues found: this {'WebVTT' if fmt == WEBVTT else 'SRT'}"
                              " file has no timed text to label")
    _note_overlaps(cues, notes)
    notes.sort(key=lambda n: n.line)
    return Transcript(path, fmt, encoding, bom, lines, cues, notes)


def _decode(data: bytes, path: str, notes: list[TranscriptNote]) -> tuple[str, str, bytes]:
    """The text, the encoding to write it back in, and whether it began with a byte order mark."""
    for mark, encoding in ((b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")):
        if data.startswith(mark):
            try:
                return data[2:].decode(encoding), encoding, data[:2]
            except UnicodeDecodeError as e:
                raise TranscriptError(path, 1, f"not readable as UTF-16 text: {e.reason}") from None
    bom = data[:3] if data.startswith(b"\xef\xbb\xbf") else b""
    body = data[len(bom):]
    nul = body.find(b"\x00")
    if nul >= 0:
        line = body.count(b"\n", 0, nul) + 1
        raise TranscriptError(path, line, "a NUL byte: this is not a text file (expected WebVTT or SRT)")
    try:
        return body.decode("utf-8"), "utf-8", bom
    except UnicodeDecodeError as e:
        line = body.count(b"\n", 0, e.start) + 1
        notes.append(TranscriptNote(line, f"byte 0x{body[e.start]:02x} is not UTF-8; the file is read as "
                                          "Latin-1 and written back byte for byte"))
        return body.decode("latin-1"), "latin-1", bom


def _is_webvtt_header(line: str) -> bool:
    return line.startswith("WEBVTT") and (len(line) == 6 or line[6] in " \t")


def _blocks(lines: list[tuple[str, str]], fmt: str) -> list[list[int]]:
    """Runs of lines between blank lines, as 0-based line indices. A blank line is an empty one in
    WebVTT, and one of only white space in SRT as well."""
    blocks, current = [], []
    for i, (content, _) in enumerate(lines):
        if content.strip() if fmt == SRT else content:
            current.append(i)
        elif current:
            blocks.append(current)
            current = []
    if current:
        blocks.append(current)
    return blocks


def _starts_with_word(content: str, word: str) -> bool:
    return content == word or (content.startswith(word) and content[len(word)] in " \t")


def _read_cues(lines, fmt, path, notes) -> list[Cue]:
    cues: list[Cue] = []
    blocks = _blocks(lines, fmt)
    if fmt == WEBVTT and blocks and _is_webvtt_header(lines[blocks[0][0]][0]):
        header = blocks.pop(0)
        # A cue written right under the header, without the blank line between them.
        arrow = next((k for k in range(1, len(header)) if "-->" in lines[header[k]][0]), None)
        if arrow is not None:
            start = arrow - 1 if arrow >= 2 else arrow
            notes.append(TranscriptNote(header[arrow] + 1, "a cue starts without a blank line after the "
                                                           "header; read as a cue"))
            blocks.insert(0, header[start:])
    for block in blocks:
        head = lines[block[0]][0]
        if fmt == WEBVTT and any(_starts_with_word(head, w) for w in ("NOTE", "STYLE", "REGION")):
            continue
        _read_cue_block(lines, block, fmt, cues, notes)
    return cues


def _is_digits(content: str) -> bool:
    return content.strip().isdigit()


def _read_cue_block(lines, block, fmt, cues, notes) -> None:
    """Splits one block into cues. A line holding "-->" is a timing line; its cue starts there, or
    one line earlier at an identifier (the block's first line; in SRT also a cue number written
    right under the previous cue without a blank line)."""
    contents = [lines[i][0] for i in block]
    arrows = [k for k, content in enumerate(contents) if "-->" in content]
    starts = []
    for j, k in enumerate(arrows):
        start = k
        if k >= 1 and (j == 0 or arrows[j - 1] != k - 1):
            if (j == 0 and k == 1) or (fmt == SRT and _is_digits(contents[k - 1])):
                start = k - 1
        starts.append(start)
    if not starts or starts[0] != 0:
        starts.insert(0, 0)
    bounds = starts + [len(block)]
    for a, b in zip(bounds, bounds[1:]):
        _read_cue(lines, block[a:b], fmt, cues, notes)
        if a > 0:
            notes.append(TranscriptNote(cues[-1].line, "a cue starts without a blank line before it; "
                                                       "read as a cue of its own"))


def _read_cue(lines, part, fmt, cues, notes) -> None:
    contents = [lines[i][0] for i in part]
    number = len(cues) + 1
    if "-->" in contents[0]:
        identifier, timing = None, 0
    elif len(contents) > 1 and "-->" in contents[1]:
        identifier, timing = contents[0], 1
    else:
        identifier, timing = None, None
    if timing is None:
        text_from = 1 if fmt == SRT and _is_digits(contents[0]) else 0
        if text_from:
            identifier = contents[0]
        cues.append(Cue(number, part[0] + 1, None, identifier, None, None, part[text_from:]))
        what = "cue number " + identifier.strip() if identifier else "this cue"
        notes.append(TranscriptNote(part[0] + 1, f"{what} has no timing line (start --> end); it is "
                                                 "passed without times and left unlabelled"))
        return
    line_no = part[timing] + 1
    left, right = contents[timing].split("-->", 1)
    start_token = left.strip()
    end_token = right.strip().split(maxsplit=1)[0] if right.strip() else ""
    start = _read_time(start_token, "start", line_no, fmt, notes)
    end = _read_time(end_token, "end", line_no, fmt, notes)
    if start is not None and end is not None and end <= start:
        notes.append(TranscriptNote(line_no, f"the cue ends ({end_token}) "
                                             f"{'before' if end < start else 'when'} it starts ({start_token}); "
                                             "it is passed as written and left unlabelled"))
    cues.append(Cue(number, part[0] + 1, line_no, identifier, start, end, part[timing + 1:]))


def _read_time(token: str, which: str, line_no: int, fmt: str, notes) -> float | None:
    if not token:
        notes.append(TranscriptNote(line_no, f"the cue has no {which} time; it is passed without it "
                                             "and left unlabelled"))
        return None
    seconds = parse_timestamp(token)
    if seconds is None:
        form = "[HH:]MM:SS.mmm" if fmt == WEBVTT else "HH:MM:SS,mmm"
        notes.append(TranscriptNote(line_no, f'unreadable {which} time "{token}" (expected {form}); the cue '
                                             "is passed without it and left unlabelled"))
    return seconds


def _note_overlaps(cues: list[Cue], notes: list[TranscriptNote]) -> None:
    """Notes each cue whose times overlap those of a cue that starts no later (earlier in the file
    when both start together), naming the one of those that ends last."""
    timed = sorted((cue for cue in cues if cue.has_usable_times), key=lambda cue: cue.start_s)
    reaching = None  # of the cues so far, the one that ends last
    for cue in timed:
        if reaching is not None and cue.start_s < reaching.end_s:
            notes.append(TranscriptNote(cue.line, f"the cue overlaps the cue of line {reaching.line} in time; "
                                                  "each is labelled by its own times"))
        if reaching is None or cue.end_s > reaching.end_s:
            reaching = cue
