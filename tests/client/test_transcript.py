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

    def test_speakers_are_added_and_voice_tags_replaced_keeping_their_classes(self):
        t = parse_transcript(self.FILE.encode(), "a.vtt")
        out = t.labelled({1: "Speaker 1", 2: "Speaker 2", 3: "Speaker 1"}).decode()
        expected = (self.FILE
                    .replace("<b>Hello</b>", "<v Speaker 1><b>Hello</b>")
                    .replace("<v.loud.big Ann>Thanks</v> Bob", "<v.loud.big Speaker 2>Thanks Bob")
                    .replace("<v Bob>Hi</v> <v Cat>there</v>", "<v Speaker 1>Hi there"))
        self.assertEqual(out, expected)
        # Labelling a labelled file again replaces the speakers; no label leaves a cue as it was.
        again = parse_transcript(out.encode(), "a.vtt").labelled({1: "Speaker 2", 2: None})
        self.assertEqual(again.decode(), expected.replace("<v Speaker 1><b>Hello", "<v Speaker 2><b>Hello"))
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

    def test_missing_header_in_a_vtt_file_is_read_as_webvtt(self):
        t = parse_transcript(b"00:01.000 --> 00:02.000\nhello\n", "a.vtt")
        self.assertEqual((t.format, times(t)), (WEBVTT, [(1.0, 2.0)]))
        self.assertEqual(notes(t), [(1, 'no "WEBVTT" header line; read as WebVTT all the same')])


class SrtTest(unittest.TestCase):
    FILE = ("1\n00:00:01,000 --> 00:00:03,000\n<i>Hello</i> there,\nhow are you?\n\n"
            "2\n00:00:04,000 --> 00:00:06,000 X1:100 X2:200 Y1:10 Y2:40\n{\\an8}{\\pos(10,10)}Top line\n\n"
            "3\n00:00:07,000 --> 00:00:08,500\nSpeaker 4: again\n")

    def test_cues_and_labels(self):
        t = parsed(self, self.FILE, "a.srt", SRT, [(1.0, 3.0), (4.0, 6.0), (7.0, 8.5)], ["1", "2", "3"])
        self.assertEqual([t.cue_text(c) for c in t.cues], ["Hello there, how are you?", "Top line", "again"])
        out = t.labelled({1: "Speaker 2", 2: "Speaker 1", 3: "Speaker 2"}).decode()
        self.assertEqual(out, self.FILE.replace("<i>Hello", "Speaker 2: <i>Hello")
                         .replace("{\\pos(10,10)}Top", "{\\pos(10,10)}Speaker 1: Top")
                         .replace("Speaker 4: again", "Speaker 2: again"))

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
        self.assert_refused(b"WEBVTT\n\nNOTE only a note\n", "e.vtt", 3, "no cues found: this WebVTT file has "
                                                                          "no timed text to label")
        # Text without a single timing line is no transcript, whatever its blocks look like.
        self.assert_refused(b"hello\nworld\n", "p.vtt", 2, "no cues found: this WebVTT file has no timed text "
                                                           "to label")
        self.assert_refused(b"garbage text\nno cues", "g.srt", 2, "no cues found: this SRT file has no timed "
                                                                  "text to label")
        self.assert_refused(b"WEBVTT\n\n1\nhello no timing\n\n2\nworld", "n.vtt", 7, "no cues found: this WebVTT "
                                                                                   "file has no timed text to label")
        self.assert_refused(b"1\n00:00:01,000 --> 00:00:02,000\nok\n\n\x00\x01\x02", "b.srt", 5,
                            "a NUL byte: this is not a text file (expected WebVTT or SRT)")

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
        # The cues keep their text; labels go only where the engine gave one.
        self.assertEqual(t.cue_text(t.cues[1]), "no timing line here")
        self.assertEqual(t.labelled({1: "Speaker 1"}).decode(), text.replace("\nfine", "\nSpeaker 1: fine"))

    def test_byte_order_marks_and_line_endings_are_kept(self):
        body = "WEBVTT\r\n\r\n00:01.000 --> 00:02.000\r\nhello\r\n\r\n00:03.000 --> 00:04.000\rworld\r"
        for data, encoding in [(b"\xef\xbb\xbf" + body.encode(), "utf-8"),
                               (b"\xff\xfe" + body.encode("utf-16-le"), "utf-16-le"),
                               (b"\xfe\xff" + body.encode("utf-16-be"), "utf-16-be")]:
            t = parse_transcript(data, "b.vtt")
            self.assertEqual((t.format, t.encoding), (WEBVTT, encoding))
            self.assertEqual(times(t), [(1.0, 2.0), (3.0, 4.0)])
            self.assertEqual(t.labelled({}), data)
            labelled = body.replace("hello", "<v Speaker 1>hello").replace("world", "<v Speaker 2>world")
            self.assertEqual(t.labelled({1: "Speaker 1", 2: "Speaker 2"}), data[:len(t.bom)] +
                             labelled.encode(encoding))

    def test_a_file_that_is_not_utf8_is_kept_byte_for_byte(self):
        data = "1\r\n00:00:01,000 --> 00:00:02,000\r\nCaf\xe9 cr\xe8me\r\n".encode("latin-1")
        t = parse_transcript(data, "l.srt")
        self.assertEqual(notes(t), [(3, "byte 0xe9 is not UTF-8; the file is read as Latin-1 and written back "
                                        "byte for byte")])
        self.assertEqual(t.labelled({1: "Speaker 1"}), data.replace(b"Caf", b"Speaker 1: Caf"))


if __name__ == "__main__":
    unittest.main()
