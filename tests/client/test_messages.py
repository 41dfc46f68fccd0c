"""What label-transcript says: always a summary, with the likely causes when no cue fits the recording;
speakers numbered in order of first appearance; repeated notes counted and kept in full in the notes
file; progress on a terminal only; hints that say what to do; each command's own help; and the
refusal to replace another recording's results."""

import fcntl
import json
import os
import pty
import struct
import subprocess
import termios

from client_support import (EMBEDDING, ENGINE, FIND_SPEAKERS, LABEL_TRANSCRIPT, SEGMENTATION, ScratchTestCase,
                            recording, srt_time, truth, vtt_time)

from quillfen_client import transcript as transcript_module

TEST_MODELS = os.environ.get("QUILLFEN_TEST_MODELS", os.path.join(os.path.dirname(ENGINE), "test-models"))


def srt(turns, shift_s=0.0, times=None):
    """An SRT file of the turns, shifted by `shift_s`; `times(turn)` may give the timing line."""
    blocks = []
    for i, turn in enumerate(turns):
        timing = times(turn) if times else (f"{srt_time(turn['start_s'] + shift_s)} --> "
                                            f"{srt_time(turn['end_s'] + shift_s)}")
        blocks.append(f"{i + 1}\n{timing}\n{turn['text']}\n")
    return "\n".join(blocks)


class MessagesTestCase(ScratchTestCase):
    def label(self, transcript, *extra, audio=None, out="out", engine=ENGINE, **run):
        out = self.path(out)
        argv = [LABEL_TRANSCRIPT, audio or recording("demo"), transcript, "--segmentation", SEGMENTATION,
                "--embedding", EMBEDDING, "--out", out, "--engine", engine, *extra]
        return subprocess.run(argv, capture_output=True, text=True, timeout=240, **run), out

    def stdout_lines(self, done):
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.splitlines()


class SummaryTest(MessagesTestCase):
    def test_when_no_cue_fits_the_recording_the_summary_says_why(self):
        turns = truth("demo")
        lines_of = ", ".join(str(2 + 4 * i) for i in range(10))
        cases = [
            ("offset.srt", srt(turns, shift_s=3600.0),
             [f"left unlabelled: 10 cues starting after the recording ends (lines {lines_of})",
              "no cue lies in the recording: the cues run from 1:00:00.8 to 1:00:44.7, the recording lasts 45.7 s",
              "the times seem to carry an offset of 1:00:00 (broadcast time codes often start at 1:00:00): "
              "subtract 1:00:00 from every time of the transcript and label again"]),
            ("frames.srt", srt(turns, times=lambda t: f"00:00:{int(t['start_s']):02}:00 --> "
                                                     f"00:00:{int(t['end_s']):02}:12"),
             [f"left unlabelled: 10 cues without usable times (lines {lines_of})",
              "no cue has times that can be read: they are frame-based time codes (HH:MM:SS:FF, line 2), which "
              "need the frame rate; write the times as HH:MM:SS,mmm (SRT) or HH:MM:SS.mmm (WebVTT) and label "
              "again"]),
            ("longer.srt", srt(turns, shift_s=1800.0),
             [f"left unlabelled: 10 cues starting after the recording ends (lines {lines_of})",
              "no cue lies in the recording: the cues run from 30:00.8 to 30:44.7, the recording lasts 45.7 s",
              "if the transcript's times carry an offset, subtract it from every time; otherwise the transcript "
              "belongs to another recording"]),
        ]
        for name, text, expected in cases:
            with self.subTest(name=name):
                done, out = self.label(self.write(name, text), "--quiet", out=name + "-out")
                lines = self.stdout_lines(done)
                self.assertEqual(lines[2], "2 speakers found; 2 of them have no cue in the transcript (Speaker 1, "
                                           f"Speaker 2: in {name[:-4]}.rttm only)")
                self.assertEqual(lines[3:4 + len(expected)], ["labelled 0 of 10 cues"] + expected)
                with open(os.path.join(out, f"{name[:-4]}.labelled.srt")) as f:
                    self.assertEqual(f.read(), text)
                self.assertEqual(done.stderr, "")

    def test_speakers_are_numbered_in_order_of_first_appearance_with_the_uncued_ones_counted(self):
        # Only voice B's turns, and they name their voice: B is Speaker 1, A speaks where no cue is.
        turns = [t for t in truth("demo") if t["voice"] == "B"]
        text = "WEBVTT\n\n" + "\n".join(f"{vtt_time(t['start_s'])} --> {vtt_time(t['end_s'])}\n<v Bea>{t['text']}\n"
                                        for t in turns)
        done, out = self.label(self.write("b-only.vtt", text))
        lines = self.stdout_lines(done)
        self.assertEqual(lines[:5], [
            f"transcript: {self.path('b-only.vtt')} (WebVTT, UTF-8, 5 cues)",
            f"recording: {recording('demo')} (45.7 s)",
            "2 speakers found; 1 of them has no cue in the transcript (Speaker 2: in b-only.rttm only)",
            "labelled 5 of 5 cues (Speaker 1: 5)",
            "the transcript's own voice names are replaced by the speakers found (--help); its labelled cues had "
            "Speaker 1: Bea 5"])
        with open(os.path.join(out, "b-only.labelled.vtt")) as f:
            self.assertEqual(f.read(), text.replace("<v Bea>", "<v Speaker 1>"))
        # The RTTM file and find-speakers use the same numbers: B's turns hold Speaker_1.
        with open(os.path.join(out, "b-only.rttm")) as f:
            for line in f:
                fields = line.split()
                onset, end = float(fields[3]), float(fields[3]) + float(fields[4])
                inside_b = any(t["start_s"] - 0.2 <= onset and end <= t["end_s"] + 0.2 for t in turns)
                self.assertEqual(fields[7], "Speaker_1" if inside_b else "Speaker_2", line)
        report = json.loads(subprocess.run([FIND_SPEAKERS, out, "--json", "--engine", ENGINE], capture_output=True,
                                           text=True, timeout=120, check=True).stdout)
        speakers = {s["speaker"] for s in report["noise"] + [s for v in report["voices"] for s in v["statements"]]}
        self.assertEqual(speakers, {"Speaker 1"})
        with open(os.path.join(out, "b-only.run.json")) as f:
            self.assertEqual(json.load(f)["speaker_numbers"], {"1": 2, "2": 1})


class NotesTest(MessagesTestCase):
    def rolling(self):
        """Captions that roll: 290 cues of 0.5 s every 0.15 s, each overlapping the next, and 30 cues
        after the recording's end."""
        blocks = [f"{vtt_time(i * 0.15)} --> {vtt_time(i * 0.15 + 0.5)}\nword {i}\n" for i in range(290)]
        blocks += [f"{vtt_time(50 + i)} --> {vtt_time(50.5 + i)}\nlate {i}\n" for i in range(30)]
        return self.write("rolling.vtt", "WEBVTT\n\n" + "\n".join(blocks))

    def test_repeated_notes_are_counted_and_every_one_is_kept_in_the_notes_file(self):
        vtt = self.rolling()
        timing = [3 + 3 * i for i in range(320)]  # the timing line of cue i + 1
        done, out = self.label(vtt)
        self.assertEqual(done.returncode, 0, done.stderr)
        notes = os.path.join(out, "rolling.notes.txt")
        overlap = "the cue overlaps the cue of line {} in time; each is labelled by its own times"
        late = "the cue starts after the recording ends (45.703 s)"
        self.assertEqual(done.stderr.splitlines(), [
            *(f"label-transcript: {vtt}:{timing[i]}: {overlap.format(timing[i - 1])}" for i in (1, 2, 3)),
            *(f"label-transcript: {vtt}:{timing[i]}: {late}" for i in (290, 291, 292)),
            f"label-transcript: {vtt}: 286 more cues overlapping another cue in time (lines "
            + ", ".join(map(str, timing[4:14])) + f", ... and 276 more); every note is in {notes}",
            f"label-transcript: {vtt}: 27 more cues starting after the recording ends (lines "
            + ", ".join(map(str, timing[293:303])) + f", ... and 17 more); every note is in {notes}"])
        with open(notes) as f:
            details = f.read().splitlines()
        self.assertEqual(details[:289], [f"{vtt}:{timing[i]}: {overlap.format(timing[i - 1])}" for i in range(1, 290)])
        self.assertEqual(details[289:319], [f"{vtt}:{timing[i]}: {late}" for i in range(290, 320)])
        self.assertIn("left unlabelled, starting after the recording ends: 30 cues, lines "
                      + ", ".join(map(str, timing[290:])), details)
        self.assertIn("left unlabelled: 30 cues starting after the recording ends (lines "
                      + ", ".join(map(str, timing[290:300])) + ", ... and 20 more)", done.stdout.splitlines())

        verbose, _ = self.label(vtt, "--verbose", out="verbose")
        self.assertEqual(len(verbose.stderr.splitlines()), 289 + 30)
        self.assertIn(", ".join(map(str, timing[290:])) + ")", verbose.stdout)
        quiet, _ = self.label(vtt, "--quiet", out="quiet")
        self.assertEqual((quiet.returncode, quiet.stderr), (0, ""))
        self.assertEqual(quiet.stdout.replace(self.path("quiet"), out), done.stdout)

    def run_on_a_terminal(self, *extra, out):
        """label-transcript with its standard error on a terminal; returns what the terminal showed."""
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 200, 0, 0))
        transcript = self.write("call.srt", srt(truth("demo")))
        process = subprocess.Popen([LABEL_TRANSCRIPT, recording("demo"), transcript, "--segmentation", SEGMENTATION,
                                    "--embedding", EMBEDDING, "--out", self.path(out), "--engine", ENGINE, *extra],
                                   stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(process.wait(timeout=240), 0, shown)
        return shown.decode()

    def test_progress_is_shown_on_a_terminal_only_and_learns_the_rate(self):
        os.environ["XDG_CACHE_HOME"] = self.path("cache")
        try:
            first = self.run_on_a_terminal(out="first")
            self.assertRegex(first, r"\rlabel-transcript: converting demo-audio\.wav with sox: 0:0\d elapsed\x1b\[K")
            self.assertRegex(first, r"\rlabel-transcript: analysing 0:46 of audio: 0:0\d elapsed, about 0:0\d left "
                                    r"\(at a typical rate\)\x1b\[K")
            # The notes come after the progress line is cleared.
            self.assertRegex(first, r"\r\x1b\[Klabel-transcript: [^\r]*call\.srt:22: the cue overlaps")
            with open(self.path("cache", "quillfen-client", "rates.json")) as f:
                rates = json.load(f)
            self.assertEqual(len(rates), 1)
            second = self.run_on_a_terminal(out="second")
            # (However long the first run took on a loaded machine.)
            self.assertRegex(second, r"analysing 0:46 of audio: 0:00 elapsed, about \d+:\d\d left \(at the rate "
                                     r"these models had on the last run\)\x1b\[K")
            self.assertNotIn("analysing", self.run_on_a_terminal("--quiet", out="quiet"))
            # Not a terminal: nothing but the notes.
            done, _ = self.label(self.write("plain.srt", srt(truth("demo"))), out="plain")
            self.assertNotIn("\r", done.stderr)
            self.assertNotIn("analysing", done.stderr)
        finally:
            del os.environ["XDG_CACHE_HOME"]


class HintsTest(MessagesTestCase):
    def test_failures_say_what_to_do(self):
        vtt = self.write("call.vtt", "WEBVTT\n\n00:01.000 --> 00:04.000\nHello.\n")
        shortage = ('{"schema":"quillfen-speaker-analyze-error-v1","reason":"model-invalid","detail":'
                    '"wespeaker_onnx_path could not be opened as an ONNX model: speaker ONNX Runtime error: Exception '
                    'caught: std::bad_alloc"}')
        engine = self.write("short-of-memory", f"#!/bin/sh\ncat >/dev/null\necho '{shortage}' >&2\nexit 69\n")
        os.chmod(engine, 0o755)
        m4a = self.write("talk.m4a", b"\x00\x00\x00\x18ftypM4A ")
        renamed = os.path.join(TEST_MODELS, "seg_input_name.onnx")
        cases = [
            (dict(engine=engine), 75, [
                "label-transcript: error: the engine refused the job (model-invalid, exit status 69) for --embedding: "
                "wespeaker_onnx_path could not be opened as an ONNX model: speaker ONNX Runtime error: Exception "
                "caught: std::bad_alloc",
                "label-transcript: the machine ran short of memory or threads while the model loaded: run the job "
                "again when more is free (fewer jobs at once, a higher memory limit)"]),
            (dict(audio=m4a), 65, [
                f"label-transcript: error: sox cannot convert {m4a}: /usr/bin/sox FAIL formats: no handler for file "
                "extension `m4a'; sox cannot read .m4a recordings: convert it to WAV or FLAC first (for example "
                "ffmpeg -i IN.m4a OUT.wav) and give that file"]),
        ]
        for extra, status, expected in cases:
            with self.subTest(extra=list(extra)):
                done, out = self.label(vtt, **extra)
                self.assertEqual((done.returncode, done.stderr.splitlines(), done.stdout), (status, expected, ""))
                self.assertFalse(os.path.exists(out))
        done = subprocess.run([LABEL_TRANSCRIPT, recording("demo"), vtt, "--segmentation", renamed, "--embedding",
                               EMBEDDING, "--out", self.path("out"), "--engine", ENGINE], capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, 69)
        self.assertRegex(done.stderr, r"^label-transcript: error: the engine refused the job \(model-io-mismatch, "
                                      r"exit status 69\) for --segmentation: pyannote_segmentation_onnx_path has "
                                      r"unsupported ONNX input/output shape: .*\n")
        self.assertTrue(done.stderr.endswith(
            "\nlabel-transcript: a model whose input and output carry other names is fitted to the engine's contract "
            "by tools/models/fit_model_contract.py of the source tree (/usr/bin/python3 "
            "tools/models/fit_model_contract.py segmentation IN.onnx OUT.onnx), which also lists what else does not "
            "fit\n"), done.stderr)

    def test_each_command_has_help_of_its_own(self):
        label = subprocess.run([LABEL_TRANSCRIPT, "--help"], capture_output=True, text=True, check=True).stdout
        find = subprocess.run([FIND_SPEAKERS, "--help"], capture_output=True, text=True, check=True).stdout
        self.assertIn(transcript_module.VOICE_RULE, " ".join(label.split()))
        self.assertIn("--force", label)
        self.assertIn("--skip-broken", find)
        for text in ("sox", "one speaker", "Voice names", "--force"):
            self.assertNotIn(text, find)


class ReplacingTest(MessagesTestCase):
    def test_results_of_another_recording_are_replaced_only_by_force(self):
        turns = truth("demo")
        transcript = self.write("call.srt", srt(turns))
        done, out = self.label(transcript, "-q")
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(out, "call.response.json"), "rb") as f:
            first = f.read()
        again, _ = self.label(transcript, "-q")  # the same recording: a new run replaces the old one
        self.assertEqual(again.returncode, 0, again.stderr)

        other = recording("demo2")
        refused, _ = self.label(transcript, audio=other)
        size = os.path.getsize(recording("demo"))
        self.assertEqual((refused.returncode, refused.stdout), (73, ""))
        self.assertEqual(refused.stderr, f"label-transcript: error: {out} already holds results for call of another "
                                         f"recording, demo-audio.wav ({size} bytes); this one is demo2-audio.wav "
                                         f"({os.path.getsize(other)} bytes): give another --out, or --force to "
                                         "replace them\n")
        with open(os.path.join(out, "call.response.json"), "rb") as f:
            self.assertEqual(f.read(), first)
        forced, _ = self.label(transcript, "--force", "-q", audio=other)
        self.assertEqual(forced.returncode, 0, forced.stderr)
        with open(os.path.join(out, "call.run.json")) as f:
            self.assertEqual(json.load(f)["recording"]["name"], "demo2-audio.wav")


if __name__ == "__main__":
    import unittest
    unittest.main()
