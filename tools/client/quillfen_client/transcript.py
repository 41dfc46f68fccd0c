"""Transcripts as WebVTT or SRT: reading cues and writing them back with a speaker on each.

A transcript is read into its lines (each with its own line ending) and its cues. Cue n (from 1, in
file order) is statement n of the analyze request; its times are the cue's start and end in seconds,
or None where the cue has no usable time. Writing keeps every byte of the file (byte order mark,
line endings, header, NOTE/STYLE/REGION blocks, cue identifiers, timing lines with their settings,
styling tags, unlabelled cues) and only adds the speaker to each labelled cue:

- WebVTT: the cue text starts with a voice tag `<v Speaker N>`, which covers the whole cue (a voice
  span may stay open to the end of the cue).
- SRT: the first text line starts with "Speaker N: ", after any leading position override such as
  `{\\an8}`.

Voices the file names already are replaced, never mixed with the speakers found (`VOICE_RULE`):
when at least one cue gets a speaker, every voice tag of a WebVTT file (`<v Anna>`, `</v>`) and
every "Speaker N: " prefix of an SRT file (from an earlier run) is removed, on every cue; a
labelled cue's new voice tag keeps the classes of its first old one (`<v.loud Anna>` becomes
`<v.loud Speaker 1>`). When no cue gets a speaker, the file is written as it was.

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
- UTF-8 with or without a byte order mark; UTF-16 and UTF-32 with a byte order mark; UTF-16
  without one, recognised by its NUL bytes; anything else is read as Windows-1252 (a superset of
  Latin-1's printable characters; its five unassigned bytes keep their Latin-1 meaning) and
  written back byte for byte, with a note naming the encoding assumed.
The format comes from the content: a first line "WEBVTT" makes a WebVTT file; otherwise timing lines
with a comma before the fraction (00:00:01,000) make an SRT file; otherwise the file name decides
(.vtt WebVTT, anything else SRT). A note says so when the content and the file name disagree.
A file that is empty, holds no text, is binary, or holds no timing line (start --> end) at all is
refused with `TranscriptError`, which names what the file seems to be instead (an RTTM file, ASS,
TTML, SBV or JSON) and what to do.
"""

from __future__ import annotations

import codecs
import html
import os
import re
from dataclasses import dataclass, field

from .errors import ClientError, InvalidArgument

WEBVTT = "webvtt"
SRT = "srt"
WINDOWS_1252 = "windows-1252"

VOICE_RULE = ("Voice names the transcript already has are replaced, never mixed with the speakers found: when "
              "any cue gets a speaker, every voice tag of a WebVTT file (<v Anna>) and every \"Speaker N: \" "
              "prefix of an SRT file is removed, so cues left without a speaker carry no voice; when no "
              "cue gets one, the file is written as it was")

# Kinds of notes: the commands show a few notes of each kind and count the rest.
NOTE_ENCODING = "encoding"
NOTE_FORMAT = "format"
NOTE_LAYOUT = "layout"
NOTE_NO_TIMING_LINE = "no-timing-line"
NOTE_MISSING_TIME = "missing-time"
NOTE_UNREADABLE_TIME = "unreadable-time"
NOTE_FRAME_TIME_CODE = "frame-time-code"
NOTE_BACKWARDS = "ends-before-start"
NOTE_OVERLAP = "overlap"

_LINE = re.compile(r"([^\r\n]*)(\r\n|\n|\r|$)")
_TIMESTAMP = re.compile(r"(?:(\d+):)?(\d{1,2}):(\d{1,2})(?:[.,](\d{1,9}))?")
_VOICE_START = re.compile(r"<v((?:\.[^\s.>]+)*)(?:[ \t\f][^>]*)?>")
_VOICE_END = re.compile(r"</v\s*>")
_SRT_OVERRIDES = re.compile(r"(?:\{\\[^}]*\})*")
_SRT_SPEAKER = re.compile(r"(?:Speaker \d+: )+")
_TAG = re.compile(r"<[^>]*>")
_SRT_OVERRIDE_ANYWHERE = re.compile(r"\{\\[^}]*\}")
_FRAME_TIME_CODE = re.compile(r"\d{1,2}:\d{2}:\d{2}[:;]\d{2}")
_SRT_TIMESTAMP = re.compile(r"\s*\d+:\d{1,2}:\d{1,2},\d")
_RTTM_LINE = re.compile(r"SPEAKER\s+\S+\s+\S+\s+-?[\d.]+\s+[\d.]+(\s|$)")
_SBV_TIMING = re.compile(r"\d+:\d{2}:\d{2}\.\d+,\d+:\d{2}:\d{2}\.\d+")


class TranscriptError(ClientError):
    """A transcript that cannot be read: `path`, the 1-based `line` and the `message`."""

    def __init__(self, path: str, line: int, message: str):
        super().__init__(f"{path}:{line}: {message}")
        self.path = path
        self.line = line
        self.message = message


@dataclass(frozen=True)
class TranscriptNote:
    """Something the reader (or a run) noticed and how it was handled, at a 1-based line; `kind`
    groups notes of one sort (NOTE_OVERLAP, ...)."""

    line: int
    message: str
    kind: str = ""

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


@dataclass(repr=False)
class Transcript:
    """A transcript read from `path`: its `format` (WEBVTT or SRT), the `encoding` its bytes are
    decoded and written back with ("utf-8", "utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be" or
    "windows-1252"), the byte order mark it began with (b"" when none), its `lines` as (content,
    line ending) pairs, its `cues` in file order and the `notes` made while reading it."""

    path: str
    format: str
    encoding: str
    bom: bytes
    lines: list[tuple[str, str]]
    cues: list[Cue]
    notes: list[TranscriptNote]

    def __repr__(self) -> str:
        return f"<Transcript {self.path!r}: {self.format_name}, {self.encoding_name}, {len(self.cues)} cues>"

    @property
    def extension(self) -> str:
        return ".vtt" if self.format == WEBVTT else ".srt"

    @property
    def format_name(self) -> str:
        return "WebVTT" if self.format == WEBVTT else "SRT"

    @property
    def encoding_name(self) -> str:
        """The encoding as people name it: "UTF-8", "UTF-8 with BOM", "UTF-16 LE", "Windows-1252", ..."""
        name = {"utf-8": "UTF-8", "utf-16-le": "UTF-16 LE", "utf-16-be": "UTF-16 BE", "utf-32-le": "UTF-32 LE",
                "utf-32-be": "UTF-32 BE", WINDOWS_1252: "Windows-1252"}[self.encoding]
        if self.encoding == "utf-8" and self.bom:
            return name + " with BOM"
        if self.encoding.startswith("utf-16") and not self.bom:
            return name + " without BOM"
        return name

    def voice_name(self, cue: Cue) -> str | None:
        """The name the cue's first WebVTT voice tag gives (`<v Anna>` -> "Anna"), None when it has none."""
        if self.format != WEBVTT:
            return None
        for index in cue.text_lines:
            match = _VOICE_START.search(self.lines[index][0])
            if match:
                name = match.group(0)[2 + len(match.group(1)):-1].strip()
                return name or None
        return None

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
        """The file's bytes with `speakers[cue.number]` added to each cue that has one, by
        `VOICE_RULE`: when any cue gets a speaker, the voices the file names are removed from the
        cues without one. Cues without text (`has_text`) never get a speaker."""
        contents = [content for content, _ in self.lines]
        chosen = {cue.number: speakers.get(cue.number) for cue in self.cues
                  if speakers.get(cue.number) is not None and self.has_text(cue)}
        for cue in self.cues:
            speaker = chosen.get(cue.number)
            if self.format == WEBVTT:
                if speaker is not None:
                    _label_webvtt_cue(contents, cue.text_lines, speaker)
                elif chosen:
                    _remove_voice_tags(contents, cue.text_lines)
            elif cue.text_lines and (speaker is not None or chosen):
                _label_srt_cue(contents, cue.text_lines[0], speaker)
        text = "".join(content + ending for content, (_, ending) in zip(contents, self.lines))
        return self.bom + _encode(text, self.encoding)


def _remove_voice_tags(contents: list[str], text_lines: list[int]) -> None:
    for index in text_lines:
        contents[index] = _VOICE_END.sub("", _VOICE_START.sub("", contents[index]))


def _label_webvtt_cue(contents: list[str], text_lines: list[int], speaker: str) -> None:
    classes = None
    for index in text_lines:
        for match in _VOICE_START.finditer(contents[index]):
            if classes is None:
                classes = match.group(1)
    _remove_voice_tags(contents, text_lines)
    first = text_lines[0]
    contents[first] = f"<v{classes or ''} {speaker}>" + contents[first]


def _label_srt_cue(contents: list[str], index: int, speaker: str | None) -> None:
    """Puts "speaker: " in front of the line (after its position overrides) in place of an earlier
    "Speaker N: "; with None only removes that earlier one."""
    line = contents[index]
    overrides = _SRT_OVERRIDES.match(line).group(0)
    rest = line[len(overrides):]
    previous = _SRT_SPEAKER.match(rest)
    if previous:
        rest = rest[previous.end():]
    contents[index] = overrides + (f"{speaker}: " if speaker is not None else "") + rest


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
    """Reads the bytes of a WebVTT or SRT file; `path` names it in messages and its extension
    decides the format when the content does not. Raises `TranscriptError`."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise InvalidArgument(f"parse_transcript reads the bytes of a file, not {type(data).__name__}")
    data = bytes(data)
    notes: list[TranscriptNote] = []
    text, encoding, bom = _decode(data, path, notes)
    lines = [(m.group(1), m.group(2)) for m in _LINE.finditer(text)]
    if lines and lines[-1] == ("", ""):
        lines.pop()  # the empty match after the last line ending
    if not lines:
        raise TranscriptError(path, 1, "the file is empty; there is nothing to label")
    if all(not content.strip() for content, _ in lines):
        raise TranscriptError(path, 1, "the file holds only blank lines; there is nothing to label")

    fmt = _choose_format(lines, path, notes)
    cues = _read_cues(lines, fmt, path, notes)
    if all(cue.timing_line is None for cue in cues):
        raise TranscriptError(path, len(lines), _no_cues_message(lines, fmt))
    _note_overlaps(cues, notes)
    notes.sort(key=lambda n: n.line)
    return Transcript(path, fmt, encoding, bom, lines, cues, notes)


def _cp1252_table() -> str:
    """Windows-1252 by byte; the five bytes it leaves unassigned keep their Latin-1 meaning (as
    Windows itself reads them), so every byte reads as a character and writes back as itself."""
    chars = []
    for byte in range(256):
        try:
            chars.append(bytes([byte]).decode("cp1252"))
        except UnicodeDecodeError:
            chars.append(chr(byte))
    return "".join(chars)


_CP1252_DECODING = _cp1252_table()
_CP1252_ENCODING = codecs.charmap_build(_CP1252_DECODING)
_BYTE_ORDER_MARKS = ((b"\xff\xfe\x00\x00", "utf-32-le"), (b"\x00\x00\xfe\xff", "utf-32-be"),
                     (b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be"))


def _encode(text: str, encoding: str) -> bytes:
    if encoding == WINDOWS_1252:
        return codecs.charmap_encode(text, "strict", _CP1252_ENCODING)[0]
    return text.encode(encoding)


def _utf16_without_mark(data: bytes) -> str | None:
    """"utf-16-le" or "utf-16-be" when the bytes have the NUL pattern of UTF-16 text without a byte
    order mark (mostly ASCII characters: every other byte is NUL), None otherwise."""
    sample = data[:8192]
    pairs = len(sample) // 2
    if pairs < 2:
        return None
    odd, even = sample[1::2].count(0), sample[0::2].count(0)
    if odd * 4 >= pairs and even * 8 <= odd:
        return "utf-16-le"
    if even * 4 >= pairs and odd * 8 <= even:
        return "utf-16-be"
    return None


def _decode(data: bytes, path: str, notes: list[TranscriptNote]) -> tuple[str, str, bytes]:
    """The text, the encoding to write it back in, and the byte order mark it began with."""
    for mark, encoding in _BYTE_ORDER_MARKS:
        if data.startswith(mark):
            try:
                return data[len(mark):].decode(encoding), encoding, mark
            except UnicodeDecodeError as e:
                raise TranscriptError(path, 1, f"not readable as {encoding.upper()[:6]} text (it begins with "
                                               f"that byte order mark): {e.reason}") from None
    guess = _utf16_without_mark(data)
    if guess is not None:
        try:
            text = data.decode(guess)
        except UnicodeDecodeError as e:
            raise TranscriptError(path, 1, f"its NUL bytes look like UTF-16 text without a byte order mark, but "
                                           f"it is not readable as such: {e.reason}") from None
        order = "little" if guess.endswith("le") else "big"
        notes.append(TranscriptNote(1, f"no byte order mark: read as UTF-16 ({order}-endian) by its pattern "
                                       "of NUL bytes, and written back the same way", NOTE_ENCODING))
        return text, guess, b""
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
        notes.append(TranscriptNote(line, f"byte 0x{body[e.start]:02x} is not UTF-8: the file is read as "
                                          "Windows-1252 (which holds Latin-1's letters) and written back byte "
                                          "for byte; if its text is in another encoding, convert it to UTF-8 "
                                          "first (iconv -f ENCODING -t UTF-8)", NOTE_ENCODING))
        return codecs.charmap_decode(body, "strict", _CP1252_DECODING)[0], WINDOWS_1252, bom


def _first_text_line(lines) -> tuple[int, str]:
    """The 0-based index and content of the first line that is not blank."""
    return next((i, content) for i, (content, _) in enumerate(lines) if content.strip())


def _choose_format(lines, path: str, notes: list[TranscriptNote]) -> str:
    """WebVTT or SRT, by the content first and the file name after (module description)."""
    extension = os.path.splitext(path)[1].lower()
    index, first = _first_text_line(lines)
    if _is_webvtt_header(first):
        if extension == ".srt":
            notes.append(TranscriptNote(index + 1, "WebVTT content (a WEBVTT header) in a file named .srt: read "
                                                   "and written as WebVTT", NOTE_FORMAT))
        return WEBVTT
    srt_time = next((i for i, (content, _) in enumerate(lines)
                     if "-->" in content and _SRT_TIMESTAMP.match(content)), None)
    if srt_time is not None:
        if extension == ".vtt":
            notes.append(TranscriptNote(srt_time + 1, "SRT content (no WEBVTT header, times written as "
                                                      "00:00:01,000) in a file named .vtt: read and written as "
                                                      "SRT", NOTE_FORMAT))
        return SRT
    if extension == ".vtt":
        notes.append(TranscriptNote(index + 1, 'no "WEBVTT" header line; read as WebVTT all the same',
                                    NOTE_FORMAT))
        return WEBVTT
    return SRT


def _no_cues_message(lines, fmt: str) -> str:
    """Why a file without a single timing line cannot be labelled: what it seems to be instead."""
    contents = [content.strip() for content, _ in lines]
    first = contents[_first_text_line(lines)[0]]
    if first == "[Script Info]" or any(c.startswith("Dialogue:") for c in contents):
        return ("an ASS/SSA subtitle file, not WebVTT or SRT: convert it to SRT first (for example "
                "ffmpeg -i IN.ass OUT.srt) and label that")
    if first.startswith("<?xml") or first.startswith("<tt"):
        return "an XML subtitle file (TTML, DFXP), not WebVTT or SRT: convert it to WebVTT or SRT first"
    if any(_RTTM_LINE.match(c) for c in contents):
        return ("an RTTM file (speaker turns: SPEAKER lines), not a transcript: give the recording's transcript "
                "as WebVTT or SRT, whose cues are then labelled with the speakers found")
    if any(_SBV_TIMING.fullmatch(c) for c in contents):
        return ("an SBV file (times written as 0:00:01.000,0:00:03.000), not WebVTT or SRT: convert it to "
                "SRT or WebVTT first")
    if first.startswith(("{", "[")):
        return "a JSON document, not a transcript: export the transcript as WebVTT or SRT and label that"
    if fmt == WEBVTT and _is_webvtt_header(first):
        return "no cues found: this WebVTT file has no timed text to label"
    return ("no cues found: not a single timing line (00:00:01,000 --> 00:00:03,000) in this file; "
            "label-transcript reads WebVTT and SRT transcripts")


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
                                                           "header; read as a cue", NOTE_LAYOUT))
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
                                                       "read as a cue of its own", NOTE_LAYOUT))


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
                                                 "passed without times and left unlabelled",
                                    NOTE_NO_TIMING_LINE))
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
                                             "it is passed as written and left unlabelled", NOTE_BACKWARDS))
    cues.append(Cue(number, part[0] + 1, line_no, identifier, start, end, part[timing + 1:]))


def _read_time(token: str, which: str, line_no: int, fmt: str, notes) -> float | None:
    if not token:
        notes.append(TranscriptNote(line_no, f"the cue has no {which} time; it is passed without it "
                                             "and left unlabelled", NOTE_MISSING_TIME))
        return None
    seconds = parse_timestamp(token)
    if seconds is None and _FRAME_TIME_CODE.fullmatch(token):
        notes.append(TranscriptNote(line_no, f'unreadable {which} time "{token}": a frame-based time code '
                                             "(HH:MM:SS:FF), which cannot be read without the frame rate; the cue "
                                             "is passed without it and left unlabelled", NOTE_FRAME_TIME_CODE))
    elif seconds is None:
        form = "[HH:]MM:SS.mmm" if fmt == WEBVTT else "HH:MM:SS,mmm"
        notes.append(TranscriptNote(line_no, f'unreadable {which} time "{token}" (expected {form}); the cue '
                                             "is passed without it and left unlabelled", NOTE_UNREADABLE_TIME))
    return seconds


def _note_overlaps(cues: list[Cue], notes: list[TranscriptNote]) -> None:
    """Notes each cue whose times overlap those of a cue that starts no later (earlier in the file
    when both start together), naming the one of those that ends last."""
    timed = sorted((cue for cue in cues if cue.has_usable_times), key=lambda cue: cue.start_s)
    reaching = None  # of the cues so far, the one that ends last
    for cue in timed:
        if reaching is not None and cue.start_s < reaching.end_s:
            notes.append(TranscriptNote(cue.line, f"the cue overlaps the cue of line {reaching.line} in time; "
                                                  "each is labelled by its own times", NOTE_OVERLAP))
        if reaching is None or cue.end_s > reaching.end_s:
            reaching = cue
