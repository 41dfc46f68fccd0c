"""Reading WebVTT and SRT transcripts and writing them back with speakers: the shapes real files take
and the malformed ones (no engine needed)."""

import unittest

import client_support  # noqa: F401  (puts the client on sys.path)

from quillfen_client.transcript import SRT, WEBVTT, TranscriptError, parse_timestamp, parse_transcript


def times(transcript):
    return [(c.start_s, c.end_s) for c in transcript.cues]


def parsed(test, text, name, transcript_format, cue_times, identifiers):
    """text parsed as the transcript file name, checked for its format, cue times and identifiers."""
    t = parse_transcript(text.encode(), name)
    test.assertEqual(t.format, transcript_format)
    test.assertEqual(times(t), cue_times)
    test.assertEqual([c.identifier for c in t.cues], identifiers)
    return t


def notes(transcript):
    return [(n.line, n.message) for n in transcript.notes]


class TimestampTest(unittest.TestCase):
    def test_forms_that_real_files_use(self):
        self.assertEqual(parse_timestamp("00:00:01.500"), 1.5)
        self.assertEqual(parse_timestamp("01:02.250"), 62.25)  # WebVTT without hours
        self.assertEqual(parse_timestamp("01:00:00,001"), 3600.001)  # SRT comma
        self.assertEqual(parse_timestamp("123:00:00.000"), 442800.0)  # more than two hour digits
        self.assertEqual(parse_timestamp("0:0:7,5"), 7.5)  # short fields and fraction
        self.assertEqual(parse_timestamp("00:00:02"), 2.0)  # no fraction

    def test_unreadable_timestamps(self):
        for token in ["", "00:60:00.000", "00:00:60.000", "1:2:3:4", "5", "aa:bb.ccc", "00:00:01.5s",
                      "-00:00:01.000", "00:00:01.0000000000", "00:00 01.000"]:
            self.assertIsNone(parse_timestamp(token), token)


class WebvttTest(unittest.TestCase):
    FILE = ("WEBVTT Kind: captions\nLanguage: en\n\n"
            "STYLE\n::cue { color: lime }\n\n"
            "REGION\nid:r1\nwidth:40%\n\n"
            "NOTE\nthis is a comment\n00:00.000 --> 00:01.000 is not a cue here\n\n"
            "intro\n00:00:01.000 --> 00:00:03.000 align:start line:0\n<b>Hello</b> &amp; welcome\n"
            "to <i>the</i> show\n\n"
            "NOTE between cues\n\n"
            "00:04.000 --> 00:06.500 position:50%\n<v.loud.big Ann>Thanks</v> Bob\n\n"
            "3\n00:07.000 --> 00:09.000\n<v Bob>Hi</v> <v Cat>there</v>\n")

    def test_cues_notes_styles_regions_identifiers_settings(self):
        t = parsed(self, self.FILE, "a.vtt", WEBVTT, [(1.0, 3.0), (4.0, 6.5), (7.0, 9.0)], ["intro", None, "3"])
        self.assertEqual([c.first_line for c in t.cues], [15, 22, 25])
        self.assertEqual(t.cue_text(t.cues[0]), "Hello & welcome to the show")
        self.assertEqual(t.notes, [])

    def test_speakers_replace_the_voices_the_file_names_on_every_cue(self):
        t = parse_transcript(self.FILE.encode(), "a.vtt")
        self.assertEqual([t.voice_name(c) for c in t.cues], [None, "Ann", "Bob"])
        out = t.labelled({1: "Speaker 1", 2: "Speaker 2", 3: "Speaker 1"}).decode()
        expected = (self.FILE
                    .replace("<b>Hello</b>", "<v Speaker 1><b>Hello</b>")
                    .replace("<v.loud.big Ann>Thanks</v> Bob", "<v.loud.big Speaker 2>Thanks Bob")
                    .replace("<v Bob>Hi</v> <v Cat>there</v>", "<v Speaker 1>Hi there"))
        self.assertEqual(out, expected)
        # One labelled cue is enough to remove the names of the others: names and speakers never mix.
        only_first = t.labelled({1: "Speaker 1", 2: None}).decode()
        self.assertEqual(only_first, self.FILE.replace("<b>Hello</b>", "<v Speaker 1><b>Hello</b>")
                         .replace("<v.loud.big Ann>Thanks</v> Bob", "Thanks Bob")
                         .replace("<v Bob>Hi</v> <v Cat>there</v>", "Hi there"))
        again = parse_transcript(out.encode(), "a.vtt").labelled({3: "Speaker 2"})
        self.assertEqual(again.decode(), only_first.replace("<v Speaker 1><b>Hello", "<b>Hello")
                         .replace("\nHi there", "\n<v Speaker 2>Hi there"))
        # Without a single speaker the file comes back as it was, names included.
        self.assertEqual(t.labelled({}), self.FILE.encode())

    def test_a_cue_without_text_stays_as_it_is(self):
        text = "WEBVTT\n\n00:01.000 --> 00:02.000\n\n00:03.000 --> 00:04.000\nsaid\n\n00:05.000 --> 00:06.000\n  \t\n"
        t = parse_transcript(text.encode(), "a.vtt")
        self.assertEqual(times(t), [(1.0, 2.0), (3.0, 4.0), (5.0, 6.0)])
        self.assertEqual([t.has_text(c) for c in t.cues], [False, True, False])
        self.assertEqual(t.labelled({1: "Speaker 1", 2: "Speaker 1", 3: "Speaker 2"}).decode(),
                         text.replace("said", "<v Speaker 1>said"))

    def test_only_an_empty_line_ends_a_cue(self):
        # A line of spaces is text of the cue, not the end of it.
        text = ("WEBVTT\n\n00:01.000 --> 00:02.000\nfirst line\n   \nstill the first cue\n\n"
                "00:03.000 --> 00:04.000\nsecond\n")
        t = parse_transcript(text.encode(), "a.vtt")
        self.assertEqual(times(t), [(1.0, 2.0), (3.0, 4.0)])
        self.assertEqual([t.cue_text(c) for c in t.cues], ["first line still the first cue", "second"])
        self.assertEqual(notes(t), [])
        self.assertEqual(t.labelled({1: "Speaker 1", 2: "Speaker 2"}).decode(),
                         text.replace("first line", "<v Speaker 1>first line").replace("second",
                                                                                      "<v Speaker 2>second"))

    def test_a_cue_right_under_the_header_or_another_cue(self):
        text = "WEBVTT\n00:01.000 --> 00:02.000\none\n00:03.000 --> 00:04.000\ntwo\n"
        t = parse_transcript(text.encode(), "a.vtt")
        self.assertEqual(times(t), [(1.0, 2.0), (3.0, 4.0)])
        self.assertEqual(notes(t), [(2, "a cue starts without a blank line after the header; read as a cue"),
                                    (4, "a cue starts without a blank line before it; read as a cue of its own")])


class FormatTest(unittest.TestCase):
    """The format comes from the content; the file name only decides what the content leaves open."""

    def test_content_decides_over_the_file_name(self):
        srt = "1\n00:00:01,000 --> 00:00:02,000\nhello\n"
        t = parse_transcript(srt.encode(), "named-wrong.vtt")
        self.assertEqual((t.format, t.extension, times(t)), (SRT, ".srt", [(1.0, 2.0)]))
        self.assertEqual(notes(t), [(2, "SRT content (no WEBVTT header, times written as 00:00:01,000) in a file "
                                        "named .vtt: read and written as SRT")])
        self.assertEqual(t.labelled({1: "Speaker 1"}).decode(), srt.replace("hello", "Speaker 1: hello"))

        vtt = "\n\nWEBVTT\n\n00:01.000 --> 00:02.000\nhello\n"  # blank lines before the header
        t = parse_transcript(vtt.encode(), "named-wrong.srt")
        self.assertEqual((t.format, t.extension, times(t)), (WEBVTT, ".vtt", [(1.0, 2.0)]))
        self.assertEqual(notes(t), [(3, "WebVTT content (a WEBVTT header) in a file named .srt: read and written "
                                        "as WebVTT")])

    def test_without_a_header_or_srt_times_the_file_name_decides(self):
        text = b"00:01.000 --> 00:02.000\nhello\n"
        t = parse_transcript(text, "a.vtt")
        self.assertEqual((t.format, times(t)), (WEBVTT, [(1.0, 2.0)]))
        self.assertEqual(notes(t), [(1, 'no "WEBVTT" header line; read as WebVTT all the same')])
        for name in ("a.srt", "a.txt"):
            t = parse_transcript(text, name)
            self.assertEqual((t.format, times(t), notes(t)), (SRT, [(1.0, 2.0)], []))

    def test_files_of_other_kinds_are_named_with_what_to_do(self):
        cases = [
            ("SPEAKER call 1 0.000 1.901 <NA> <NA> MEE071 <NA> <NA>\nSPEAKER call 1 0.944 6.124 <NA> <NA> FEO072 "
             "<NA> <NA>\n", "call.srt", 2,
             "an RTTM file (speaker turns: SPEAKER lines), not a transcript: give the recording's transcript as "
             "WebVTT or SRT, whose cues are then labelled with the speakers found"),
            ("[Script Info]\nTitle: x\n\n[Events]\nDialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,Hi\n",
             "a.srt", 5, "an ASS/SSA subtitle file, not WebVTT or SRT: convert it to SRT first (for example ffmpeg "
                         "-i IN.ass OUT.srt) and label that"),
            ('<?xml version="1.0"?>\n<tt xmlns="http://www.w3.org/ns/ttml"><body/></tt>\n', "a.vtt", 2,
             "an XML subtitle file (TTML, DFXP), not WebVTT or SRT: convert it to WebVTT or SRT first"),
            ("0:00:01.000,0:00:03.000\nHello\n\n0:00:04.000,0:00:05.000\nthere\n", "a.srt", 5,
             "an SBV file (times written as 0:00:01.000,0:00:03.000), not WebVTT or SRT: convert it to SRT or "
             "WebVTT first"),
            ('{"segments": [{"start": 1.0, "end": 2.0, "text": "Hi"}]}\n', "a.srt", 1,
             "a JSON document, not a transcript: export the transcript as WebVTT or SRT and label that"),
            ("garbage text\nno cues", "g.srt", 2, "no cues found: not a single timing line (00:00:01,000 --> "
                                                  "00:00:03,000) in this file; label-transcript reads WebVTT and "
                                                  "SRT transcripts"),
            ("WEBVTT\n\nNOTE only a note\n", "e.vtt", 3, "no cues found: this WebVTT file has no timed text to "
                                                        "label"),
        ]
        for text, name, line, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(TranscriptError) as caught:
                    parse_transcript(text.encode(), name)
                self.assertEqual((caught.exception.line, caught.exception.message), (line, message))


class SrtTest(unittest.TestCase):
    FILE = ("1\n00:00:01,000 --> 00:00:03,000\n<i>Hello</i> there,\nhow are you?\n\n"
            "2\n00:00:04,000 --> 00:00:06,000 X1:100 X2:200 Y1:10 Y2:40\n{\\an8}{\\pos(10,10)}Top line\n\n"
            "3\n00:00:07,000 --> 00:00:08,500\nSpeaker 12: Speaker 4: again\n")

    def test_cues_and_labels(self):
        t = parsed(self, self.FILE, "a.srt", SRT, [(1.0, 3.0), (4.0, 6.0), (7.0, 8.5)], ["1", "2", "3"])
        self.assertEqual([t.cue_text(c) for c in t.cues], ["Hello there, how are you?", "Top line", "again"])
        out = t.labelled({1: "Speaker 2", 2: "Speaker 1", 3: "Speaker 2"}).decode()
        self.assertEqual(out, self.FILE.replace("<i>Hello", "Speaker 2: <i>Hello")
                         .replace("{\\pos(10,10)}Top", "{\\pos(10,10)}Speaker 1: Top")
                         .replace("Speaker 12: Speaker 4: again", "Speaker 2: again"))

    def test_cues_written_without_blank_lines_between_them(self):
        text = "1\n00:00:01,000 --> 00:00:02,000\nfirst\n2\n00:00:03,000 --> 00:00:04,000\nsecond\n"
        t = parse_transcript(text.encode(), "a.srt")
        self.assertEqual(times(t), [(1.0, 2.0), (3.0, 4.0)])
        self.assertEqual([t.cue_text(c) for c in t.cues], ["first", "second"])
        # The note names the cue by its timing line, as every note about a cue does.
        self.assertEqual(notes(t), [(5, "a cue starts without a blank line before it; read as a cue of its own")])

    def test_a_line_of_white_space_is_a_blank_line(self):
        text = "1\n00:00:01,000 --> 00:00:02,000\nfirst\n \t\n2\n00:00:03,000 --> 00:00:04,000\nsecond\n"
        t = parse_transcript(text.encode(), "a.srt")
        self.assertEqual(times(t), [(1.0, 2.0), (3.0, 4.0)])
        self.assertEqual([c.identifier for c in t.cues], ["1", "2"])
        self.assertEqual(notes(t), [])


class MalformedTest(unittest.TestCase):
    def assert_refused(self, data, name, line, message):
        with self.assertRaises(TranscriptError) as caught:
            parse_transcript(data, name)
        self.assertEqual((caught.exception.line, caught.exception.message), (line, message))
        self.assertEqual(str(caught.exception), f"{name}:{line}: {message}")

    def test_files_with_nothing_to_label_are_refused_naming_the_line(self):
        self.assert_refused(b"", "e.vtt", 1, "the file is empty; there is nothing to label")
        self.assert_refused(b"\xef\xbb\xbf", "e.srt", 1, "the file is empty; there is nothing to label")
        self.assert_refused(b"\r\n \r\n\t\r\n", "e.srt", 1, "the file holds only blank lines; there is nothing "
                                                            "to label")
        # Text without a single timing line is no transcript, whatever its blocks look like.
        self.assert_refused(b"WEBVTT\n\n1\nhello no timing\n\n2\nworld", "n.vtt", 7, "no cues found: this WebVTT "
                                                                                   "file has no timed text to label")
        self.assert_refused(b"1\n00:00:01,000 --> 00:00:02,000\nok\n\n\x00\x01\x02", "b.srt", 5,
                            "a NUL byte: this is not a text file (expected WebVTT or SRT)")
        self.assert_refused(b"1\n00:00:01,000 --> 00:00:02,000\nok\n".decode().encode("utf-16-le")[:-1], "odd.srt", 1,
                            "its NUL bytes look like UTF-16 text without a byte order mark, but it is not readable "
                            "as such: truncated data")

    def test_overlapping_cues_are_kept_and_named_by_their_times_not_their_order(self):
        # 3 lies inside 1 but not in 2; 2 overlaps 1; 4 only touches 2.
        text = ("1\n00:00:01,000 --> 00:00:05,000\na\n\n2\n00:00:04,000 --> 00:00:06,000\nb\n\n"
                "3\n00:00:02,000 --> 00:00:03,000\nc\n\n4\n00:00:06,000 --> 00:00:07,000\nd\n")
        t = parse_transcript(text.encode(), "o.srt")
        self.assertEqual(times(t), [(1.0, 5.0), (4.0, 6.0), (2.0, 3.0), (6.0, 7.0)])
        self.assertEqual(notes(t), [
            (6, "the cue overlaps the cue of line 2 in time; each is labelled by its own times"),
            (10, "the cue overlaps the cue of line 2 in time; each is labelled by its own times")])
        # Cues written out of time order overlap nothing unless their times do.
        text = ("WEBVTT\n\n00:00:30.560 --> 00:00:33.949\nlate\n\n00:00:00.800 --> 00:00:04.447\nearly\n\n"
                "00:00:05.147 --> 00:00:08.612\nmiddle\n\n00:00:04.000 --> 00:00:05.500\nbetween\n")
        t = parse_transcript(text.encode(), "r.vtt")
        self.assertEqual(notes(t), [
            (9, "the cue overlaps the cue of line 12 in time; each is labelled by its own times"),
            (12, "the cue overlaps the cue of line 6 in time; each is labelled by its own times")])

    def test_missing_and_unreadable_times_pass_as_missing_and_are_named(self):
        text = ("1\n00:00:01,000 --> 00:00:02,000\nfine\n\n"
                "2\nno timing line here\n\n"
                "3\n00:00:03,000 -->\nno end\n\n"
                "4\n --> 00:00:05,000\nno start\n\n"
                "5\n00:00:06,000 --> 00:00:61,000\nbad end\n\n"
                "6\n00:00:09,000 --> 00:00:08,000\nbackwards\n\n"
                "7\n00:00:10.000 -> 00:00:11.000\nwrong arrow\n")
        t = parse_transcript(text.encode(), "m.srt")
        self.assertEqual(times(t), [(1.0, 2.0), (None, None), (3.0, None), (None, 5.0), (6.0, None), (9.0, 8.0),
                                    (None, None)])
        self.assertEqual([c.has_usable_times for c in t.cues], [True] + [False] * 6)
        self.assertEqual(notes(t), [
            (5, "cue number 2 has no timing line (start --> end); it is passed without times and left unlabelled"),
            (9, "the cue has no end time; it is passed without it and left unlabelled"),
            (13, "the cue has no start time; it is passed without it and left unlabelled"),
            (17, 'unreadable end time "00:00:61,000" (expected HH:MM:SS,mmm); the cue is passed without it and '
                 "left unlabelled"),
            (21, "the cue ends (00:00:08,000) before it starts (00:00:09,000); it is passed as written and left "
                 "unlabelled"),
            (24, "cue number 7 has no timing line (start --> end); it is passed without times and left "
                 "unlabelled")])
        self.assertEqual([n.kind for n in t.notes], ["no-timing-line", "missing-time", "missing-time",
                                                     "unreadable-time", "ends-before-start", "no-timing-line"])
        # The cues keep their text; labels go only where the engine gave one.
        self.assertEqual(t.cue_text(t.cues[1]), "no timing line here")
        self.assertEqual(t.labelled({1: "Speaker 1"}).decode(), text.replace("\nfine", "\nSpeaker 1: fine"))

    def test_frame_based_time_codes_are_named_as_such(self):
        t = parse_transcript(b"1\n00:00:01:00 --> 00:00:03:12\nhello\n", "f.srt")
        self.assertEqual(times(t), [(None, None)])
        self.assertEqual(notes(t), [(2, f'unreadable {which} time "{token}": a frame-based time code (HH:MM:SS:FF), '
                                        "which cannot be read without the frame rate; the cue is passed without it "
                                        "and left unlabelled")
                                    for which, token in (("start", "00:00:01:00"), ("end", "00:00:03:12"))])


class EncodingTest(unittest.TestCase):
    """Every encoding is read as its text and written back byte for byte, speakers aside."""

    BODY = "WEBVTT\r\n\r\n00:01.000 --> 00:02.000\r\nhello\r\n\r\n00:03.000 --> 00:04.000\rworld\r"

    def assert_round_trip(self, data, name, encoding, bom, text):
        t = parse_transcript(data, name)
        self.assertEqual((t.encoding, t.bom), (encoding, bom))
        self.assertEqual(t.labelled({}), data)
        labelled = t.labelled({1: "Speaker 1", 2: "Speaker 2"})
        if t.format == WEBVTT:
            expected = text.replace("hello", "<v Speaker 1>hello").replace("world", "<v Speaker 2>world")
        else:
            expected = text.replace("“", "Speaker 1: “", 1)
        self.assertEqual(labelled, bom + expected.encode(encoding if encoding != "windows-1252" else "cp1252"))
        return t

    def test_unicode_with_and_without_byte_order_marks(self):
        for encoding, bom, name in [("utf-8", b"\xef\xbb\xbf", "UTF-8 with BOM"),
                                    ("utf-16-le", b"\xff\xfe", "UTF-16 LE"),
                                    ("utf-16-be", b"\xfe\xff", "UTF-16 BE"),
                                    ("utf-32-le", b"\xff\xfe\x00\x00", "UTF-32 LE"),
                                    ("utf-32-be", b"\x00\x00\xfe\xff", "UTF-32 BE")]:
            with self.subTest(encoding=encoding):
                t = self.assert_round_trip(bom + self.BODY.encode(encoding), "b.vtt", encoding, bom, self.BODY)
                self.assertEqual((t.format, times(t), t.encoding_name, notes(t)),
                                 (WEBVTT, [(1.0, 2.0), (3.0, 4.0)], name, []))

    def test_utf16_without_a_byte_order_mark_is_known_by_its_nul_bytes(self):
        text = "1\n00:00:01,000 --> 00:00:02,000\n“Grüße” – 東京\n"
        for encoding, order, name in (("utf-16-le", "little", "UTF-16 LE without BOM"),
                                      ("utf-16-be", "big", "UTF-16 BE without BOM")):
            with self.subTest(encoding=encoding):
                t = self.assert_round_trip(text.encode(encoding), "u.srt", encoding, b"", text)
                self.assertEqual((t.cue_text(t.cues[0]), t.encoding_name), ("“Grüße” – 東京", name))
                self.assertEqual(notes(t), [(1, f"no byte order mark: read as UTF-16 ({order}-endian) by its "
                                                "pattern of NUL bytes, and written back the same way")])

    def test_text_that_is_not_utf8_is_read_as_windows_1252_and_kept_byte_for_byte(self):
        text = "1\r\n00:00:01,000 --> 00:00:02,000\r\n“Hi” – there, Café crème\r\n"
        t = self.assert_round_trip(text.encode("cp1252"), "w.srt", "windows-1252", b"", text)
        self.assertEqual((t.cue_text(t.cues[0]), t.encoding_name), ("“Hi” – there, Café crème", "Windows-1252"))
        self.assertEqual(notes(t), [(3, "byte 0x93 is not UTF-8: the file is read as Windows-1252 (which holds "
                                        "Latin-1's letters) and written back byte for byte; if its text is in "
                                        "another encoding, convert it to UTF-8 first (iconv -f ENCODING -t UTF-8)")])
        # Every byte, the five Windows-1252 leaves unassigned included, comes back as it was.
        every = b"1\n00:00:01,000 --> 00:00:02,000\n" + bytes(range(0x80, 0x100)) + b"\n"
        t = parse_transcript(every, "all.srt")
        self.assertEqual(t.labelled({1: "Speaker 1"}), every.replace(b"\n\x80", b"\nSpeaker 1: \x80"))


if __name__ == "__main__":
    unittest.main()
