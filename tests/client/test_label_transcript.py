"""label-transcript end to end: the demo recording of two voices and transcripts of its ten turns,
through scripts/label-transcript and this build's engine."""

import json
import os
import re
import signal
import subprocess
import time
import unittest

from client_support import (EMBEDDING, ENGINE, LABEL_TRANSCRIPT, SEGMENTATION, ScratchTestCase, assert_process_ends,
                            recording, srt_time, stopped_after_noting_its_child, styled_srt, styled_webvtt, truth,
                            vtt_time)

from quillfen_client import AudioConversionError, ConversionTimeout, EngineError, EngineTimeout, label_transcript
from quillfen_client.engine import AnalyzeResult, Diarization, Evidence, StatementEmbeddings
from quillfen_client.label import resemblance_labels

VOICE_TAG = re.compile(r"<v(\.loud)? Speaker (\d+)>")
SRT_PREFIX = re.compile(r"(\{\\an8\})?Speaker (\d+): ")


def line_of(text, content, after=0):
    """1-based number of the first line equal to `content` after line `after`."""
    lines = text.splitlines()
    for i in range(after, len(lines)):
        if lines[i] == content:
            return i + 1
    raise AssertionError(f"line {content!r} not found")


class LabelTranscriptTest(ScratchTestCase):
    def label(self, audio, transcript, *extra):
        out = self.path("out")
        done = self.run_script(LABEL_TRANSCRIPT, audio, transcript, "--segmentation", SEGMENTATION,
                               "--embedding", EMBEDDING, "--out", out, "--engine", ENGINE, *extra)
        return done, out

    def assert_written_unlabelled(self, audio, transcript, finding, labelled_name, text):
        """Labelling succeeds, says what it found and that the transcript is written without speakers,
        and writes the transcript unchanged; returns the output directory."""
        done, out = self.label(audio, transcript)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(f"{finding}: the transcript is written without speakers", done.stdout)
        with open(os.path.join(out, labelled_name)) as f:
            self.assertEqual(f.read(), text)
        return out

    def assert_voices_apart(self, labels_by_turn, turns):
        """Every cue of voice A carries one speaker, every cue of voice B the other."""
        by_voice = {}
        for turn, label in zip(turns, labels_by_turn):
            by_voice.setdefault(turn["voice"], set()).add(label)
        self.assertEqual(len(by_voice["A"]), 1, f"voice A's cues: {labels_by_turn}")
        self.assertEqual(len(by_voice["B"]), 1, f"voice B's cues: {labels_by_turn}")
        self.assertNotEqual(by_voice["A"], by_voice["B"])
        self.assertNotIn(None, by_voice["A"] | by_voice["B"])
        return next(iter(by_voice["A"])), next(iter(by_voice["B"]))

    def check_rttm(self, out, name, file_id, turns, speaker_of_voice):
        with open(os.path.join(out, f"{name}.rttm")) as f:
            lines = f.read().splitlines()
        self.assertGreater(len(lines), 0)
        for line in lines:
            fields = line.split(" ")
            self.assertEqual(len(fields), 10, line)
            self.assertEqual(fields[:3], ["SPEAKER", file_id, "1"])
            self.assertEqual([fields[5], fields[6], fields[8], fields[9]], ["<NA>"] * 4)
            onset, duration = float(fields[3]), float(fields[4])
            self.assertGreaterEqual(duration, 0.5)
            # The turn the interval lies in says whose voice it is.
            best = max(turns, key=lambda t: min(t["end_s"], onset + duration) - max(t["start_s"], onset))
            inside = min(best["end_s"], onset + duration) - max(best["start_s"], onset)
            if inside >= duration / 2:
                self.assertEqual(fields[7], f"Speaker_{speaker_of_voice[best['voice']]}", line)

    def check_kept_results(self, out, name, extension, cues):
        with open(os.path.join(out, f"{name}.response.json")) as f:
            text = f.read()
        self.assertTrue(text.endswith("}\n") and text.count("\n") == 1)
        response = json.loads(text)
        stmt = response["statement_embeddings"]
        self.assertEqual(stmt["payload_path"], f"{name}.statements.f32")
        self.assertEqual(stmt["shape"], [cues, 256])
        self.assertEqual(response["inputs"]["diarization"]["statement_ids"], list(range(1, cues + 1)))
        self.assertEqual(os.path.getsize(os.path.join(out, f"{name}.statements.f32")), cues * 256 * 4)
        self.assertEqual(sorted(os.listdir(out)), sorted([f"{name}.response.json", f"{name}.statements.f32",
                                                          f"{name}.rttm", f"{name}.labelled{extension}",
                                                          f"{name}.notes.txt", f"{name}.run.json"]))

    def test_webvtt_cues_of_each_voice_come_back_under_one_speaker(self):
        turns = truth("demo")
        text, first_lines = styled_webvtt(turns)
        vtt = self.write("call.vtt", text)
        done, out = self.label(recording("demo"), vtt, "--timeout", "1e9")  # any finite limit is honoured
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("2 speakers found", done.stdout)
        self.assertIn("labelled 10 of 10 cues (Speaker 1: 5, Speaker 2: 5)", done.stdout)

        with open(os.path.join(out, "call.labelled.vtt"), encoding="utf-8", newline="") as f:
            labelled = f.read()
        labels = []
        expected = text.split("\n")
        after = 0
        for i, first in enumerate(first_lines):
            row = expected.index(first, after)
            after = row + 1
            got = labelled.split("\n")[row]
            tag = VOICE_TAG.match(got)
            self.assertIsNotNone(tag, f"cue {i + 1} has no speaker: {got!r}")
            labels.append(int(tag.group(2)))
            if i == 4:  # the cue that named a voice: the speaker replaces it, its class stays
                self.assertEqual(tag.group(1), ".loud")
                expected[row] = tag.group(0) + first.replace("<v.loud Narrator>", "").replace("</v>", "")
            else:
                self.assertIsNone(tag.group(1))
                expected[row] = tag.group(0) + first
        # Everything but the added speakers is as it was, byte for byte.
        self.assertEqual(labelled, "\n".join(expected))
        a, b = self.assert_voices_apart(labels, turns)

        # The demo's fifth and sixth turns overlap; the note names both cues' timing lines.
        line5 = line_of(text, f"{vtt_timing(turns, 4)}")
        line6 = line_of(text, f"{vtt_timing(turns, 5)}")
        self.assertIn(f"{vtt}:{line6}: the cue overlaps the cue of line {line5} in time; each is labelled "
                      "by its own times", done.stderr)
        self.check_rttm(out, "call", "demo-audio", turns, {"A": a, "B": b})
        self.check_kept_results(out, "call", ".vtt", 10)

    def test_srt_with_bom_and_crlf_cues_of_each_voice_come_back_under_one_speaker(self):
        turns = truth("demo")
        text, first_lines = styled_srt(turns, newline="\r\n")
        srt = self.write("call.srt", "\ufeff" + text)
        done, out = self.label(recording("demo"), srt)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("labelled 10 of 10 cues", done.stdout)

        with open(os.path.join(out, "call.labelled.srt"), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf1\r\n"))
        labelled = data[3:].decode("utf-8")
        expected = text.split("\r\n")
        got_lines = labelled.split("\r\n")
        labels = []
        after = 0
        for i, first in enumerate(first_lines):
            row = expected.index(first, after)
            after = row + 1
            prefix = SRT_PREFIX.match(got_lines[row])
            self.assertIsNotNone(prefix, f"cue {i + 1} has no speaker: {got_lines[row]!r}")
            labels.append(int(prefix.group(2)))
            if first.startswith("{\\an8}"):  # the position override stays in front
                expected[row] = "{\\an8}" + f"Speaker {labels[-1]}: " + first[len("{\\an8}"):]
            else:  # a speaker prefix of an earlier run is replaced, not stacked
                expected[row] = f"Speaker {labels[-1]}: " + first.replace("Speaker 7: ", "")
        self.assertEqual(labelled, "\r\n".join(expected))
        a, b = self.assert_voices_apart(labels, turns)
        self.check_rttm(out, "call", "demo-audio", turns, {"A": a, "B": b})
        self.check_kept_results(out, "call", ".srt", 10)

    def test_cues_that_cannot_be_labelled_are_named_by_reason_and_the_rest_are_labelled(self):
        turns = truth("demo")
        blocks = []
        for i, turn in enumerate(turns):
            end = srt_time(turn["end_s"]) if i != 6 else "00:00:2x,000"  # unreadable end time
            blocks.append(f"{len(blocks) + 1}\n{srt_time(turn['start_s'])} --> {end}\n{turn['text']}\n")
            if i == 2:
                blocks.append(f"{len(blocks) + 1}\n(applause, no timing line)\n")
            if i == 3:  # a cue without text inside voice B's turn: the engine labels it, nothing is written
                blocks.append(f"{len(blocks) + 1}\n{srt_time(turn['start_s'] + 1)} --> {srt_time(turn['end_s'] - 1)}\n")
        blocks.append(f"{len(blocks) + 1}\n00:00:50,000 --> 00:00:52,000\n(after the recording)\n")
        text = "\n".join(blocks)
        srt = self.write("gaps.srt", text)
        done, out = self.label(recording("demo"), srt)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(done.stdout, r"\nlabelled 9 of 13 cues \(Speaker 1: \d, Speaker 2: \d\)\n")
        late = line_of(text, "00:00:50,000 --> 00:00:52,000")
        empty = line_of(text, f"{srt_time(turns[3]['start_s'] + 1)} --> {srt_time(turns[3]['end_s'] - 1)}")
        # The demo recording lasts 45.703 s (731248 samples).
        self.assertIn(f"{srt}:{late}: the cue starts after the recording ends (45.703 s)\n", done.stderr)
        self.assertIn(f"\nleft unlabelled: 1 cue starting after the recording ends (line {late})\n"
                      f"left unlabelled: 1 cue without text (line {empty})\n", done.stdout)
        timing7 = line_of(text, f"{srt_time(turns[6]['start_s'])} --> 00:00:2x,000")
        self.assertIn(f'{srt}:{timing7}: unreadable end time "00:00:2x,000" (expected HH:MM:SS,mmm); the cue is '
                      "passed without it and left unlabelled", done.stderr)
        block4 = line_of(text, "4")
        self.assertIn(f"{srt}:{block4}: cue number 4 has no timing line (start --> end); it is passed without "
                      "times and left unlabelled", done.stderr)
        # Cues are named by their timing lines everywhere; a cue without one by its first line.
        self.assertIn(f"\nleft unlabelled: 2 cues without usable times (lines {block4}, {timing7})\n", done.stdout)
        self.assertNotIn("no speaker interval", done.stdout)
        with open(os.path.join(out, "gaps.labelled.srt")) as f:
            labelled = f.read().split("\n")
        self.assertIn("(applause, no timing line)", labelled)
        self.assertIn(turns[6]["text"], labelled)
        labels = []
        for i, turn in enumerate(turns):
            if i == 6:
                continue
            line = next(x for x in labelled if x.endswith(turn["text"]))
            labels.append(int(SRT_PREFIX.match(line).group(2)))
        self.assert_voices_apart(labels, turns[:6] + turns[7:])
        with open(os.path.join(out, "gaps.response.json")) as f:
            response = json.load(f)
        self.assertEqual(response["inputs"]["diarization"]["spans"][3], [None, None])
        self.assertEqual(response["inputs"]["diarization"]["spans"][8][1], None)

    def test_a_cue_in_crosstalk_stays_unlabelled_rather_than_take_the_other_voice(self):
        # Voice A's fifth turn cut where voice B's sixth begins to talk over it: its second part lies
        # in the crosstalk, where no speaker interval is, and its embedding resembles voice B more.
        turns = truth("demo")
        a5, b6 = turns[4], turns[5]
        self.assertEqual((a5["voice"], b6["voice"]), ("A", "B"))
        self.assertLess(b6["start_s"], a5["end_s"] - 1.0)
        split = b6["start_s"] + 0.088
        text = (f"WEBVTT\n\n{vtt_time(turns[0]['start_s'])} --> {vtt_time(turns[0]['end_s'])}\nA one\n\n"
                f"{vtt_time(turns[1]['start_s'])} --> {vtt_time(turns[1]['end_s'])}\nB two\n\n"
                f"{vtt_time(a5['start_s'])} --> {vtt_time(split)}\nA five, first part\n\n"
                f"{vtt_time(split)} --> {vtt_time(a5['end_s'])}\nA five, said while B starts\n\n"
                f"{vtt_time(b6['start_s'])} --> {vtt_time(b6['end_s'])}\nB six\n")
        vtt = self.write("crosstalk.vtt", text)
        done, out = self.label(recording("demo"), vtt)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(out, "crosstalk.labelled.vtt")) as f:
            labelled = f.read().split("\n")
        self.assertIn("A five, said while B starts", labelled)
        speaker = {line[line.index(">") + 1:]: VOICE_TAG.match(line).group(2)
                   for line in labelled if VOICE_TAG.match(line)}
        self.assertEqual(sorted(speaker), ["A five, first part", "A one", "B six", "B two"])
        self.assertEqual(speaker["A one"], speaker["A five, first part"])
        self.assertEqual(speaker["B two"], speaker["B six"])
        self.assertNotEqual(speaker["A one"], speaker["B two"])
        line = line_of(text, "A five, said while B starts") - 1
        self.assertIn(f"\nleft unlabelled: 1 cue with no speaker interval under it (line {line})\n", done.stdout)

    def test_cues_without_a_speaker_interval_are_guessed_by_resemblance_only_when_asked(self):
        # One cue per sentence, times split by length: short cues at the edges of turns and in the
        # crosstalk have no speaker interval under them.
        turns = truth("demo")
        blocks, voices = ["WEBVTT\n"], []
        for turn in turns:
            sentences = re.split(r"(?<=[.?!]) ", turn["text"])
            start, step = turn["start_s"], (turn["end_s"] - turn["start_s"]) / len(turn["text"])
            for sentence in sentences:
                end = start + step * len(sentence)
                blocks.append(f"{vtt_time(start)} --> {vtt_time(end)} line:90%\n<i>{sentence}</i>\n")
                voices.append(turn["voice"])
                start = end
        vtt = self.write("sentences.vtt", "\n".join(blocks))

        done, out = self.label(recording("demo"), vtt)
        self.assertEqual(done.returncode, 0, done.stderr)
        left = re.search(r"^left unlabelled: (\d+) cues with no speaker interval under them \(lines ([\d, ]+)\)$",
                         done.stdout, re.M)
        self.assertIsNotNone(left, done.stdout)
        with open(os.path.join(out, "sentences.labelled.vtt")) as f:
            self.assertEqual(len(VOICE_TAG.findall(f.read())), len(voices) - int(left.group(1)))

        done = self.run_script(LABEL_TRANSCRIPT, recording("demo"), vtt, "--segmentation", SEGMENTATION,
                               "--embedding", EMBEDDING, "--out", self.path("filled"), "--engine", ENGINE,
                               "--fill-by-resemblance")
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.path("filled"), "sentences.labelled.vtt")) as f:
            labels = [int(m.group(2)) for m in VOICE_TAG.finditer(f.read())]
        self.assertEqual(len(labels), len(voices))
        self.assert_voices_apart(labels, [{"voice": v} for v in voices])
        self.assertIn(f"\n{left.group(1)} of them guessed by voice resemblance, no speaker interval lying under "
                      f"them (lines {left.group(2)}); a guess can be wrong, above all in crosstalk\n", done.stdout)

    def test_one_speaker_gives_a_message_and_an_unlabelled_transcript(self):
        turns = truth("demo")
        # Voice A's turns that no turn of voice B touches, cut out and joined: one voice, 19 s.
        parts = []
        for turn in turns:
            if turn["voice"] == "A" and all(b["voice"] == "A" or b["end_s"] < turn["start_s"] - 0.5 or
                                            b["start_s"] > turn["end_s"] + 0.5 for b in turns):
                part = self.path(f"part{len(parts)}.wav")
                subprocess.run(["sox", recording("demo"), part, "trim", str(turn["start_s"] - 0.4),
                                str(turn["end_s"] - turn["start_s"] + 0.8)], check=True)
                parts.append(part)
        self.assertGreaterEqual(len(parts), 3)
        one_voice = self.path("one-voice.wav")
        subprocess.run(["sox", *parts, one_voice], check=True)
        text = "WEBVTT\n\n00:00.500 --> 00:04.000\n<i>Good morning.</i>\n\n00:05.000 --> 00:09.000\nGreat.\n"
        vtt = self.write("one.vtt", text)
        out = self.assert_written_unlabelled(
            one_voice, vtt, 'one speaker found (speaker evidence "single")', "one.labelled.vtt", text)
        self.assertEqual(os.path.getsize(os.path.join(out, "one.rttm")), 0)

    def test_no_speech_gives_a_message_and_an_unlabelled_transcript(self):
        quiet = self.path("quiet.wav")
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", quiet, "synth", "12", "whitenoise",
                        "vol", "0.0005"], check=True)
        text = "1\n00:00:01,000 --> 00:00:04,000\nIs anyone there?\n"
        srt = self.write("quiet.srt", text)
        self.assert_written_unlabelled(quiet, srt, 'no speech found (speaker evidence "none")',
                                       "quiet.labelled.srt", text)

    def test_a_transcript_without_cues_is_refused_naming_its_line_and_nothing_is_written(self):
        for name, data, message in [
                ("empty.vtt", b"", "1: the file is empty; there is nothing to label"),
                ("plain.vtt", b"hello\nworld\n", "2: no cues found: not a single timing line (00:00:01,000 --> "
                                                 "00:00:03,000) in this file; label-transcript reads WebVTT and SRT "
                                                 "transcripts")]:
            with self.subTest(name=name):
                path = self.write(name, data)
                done, out = self.label(recording("demo"), path)
                self.assertEqual(done.returncode, 65)
                self.assertEqual(done.stderr, f"label-transcript: error: {path}:{message}\n")
                self.assertEqual(done.stdout, "")
                self.assertFalse(os.path.exists(out))

    def test_an_engine_error_reaches_the_shell_with_its_reason_status_and_option(self):
        vtt = self.write("call.vtt", "WEBVTT\n\n00:01.000 --> 00:04.000\nHello.\n")
        missing = self.path("no-such-model.onnx")
        out = self.path("new", "out")  # neither directory is there before
        for models, option, field in [((missing, EMBEDDING), "--segmentation", "pyannote_segmentation_onnx_path"),
                                      ((SEGMENTATION, missing), "--embedding", "wespeaker_onnx_path")]:
            with self.subTest(option=option):
                done = self.run_script(LABEL_TRANSCRIPT, recording("demo"), vtt, "--segmentation", models[0],
                                       "--embedding", models[1], "--out", out, "--engine", ENGINE)
                self.assertEqual(done.returncode, 69)
                self.assertEqual(done.stderr, "label-transcript: error: the engine refused the job (model-unreadable, "
                                              f'exit status 69) for {option}: {field} is missing or unreadable '
                                              f'at "{missing}"; provide a readable ONNX model path\n')
                self.assertFalse(os.path.exists(self.path("new")))

    def test_inputs_and_outputs_that_cannot_be_used_are_named_for_what_they_are(self):
        vtt = self.write("call.vtt", "WEBVTT\n\n00:01.000 --> 00:04.000\nHello.\n")
        a_file = self.write("a-file", "")
        out = self.path("out")
        cases = [
            ((self.path("missing.wav"), vtt, out), 66, f"{self.path('missing.wav')}: no such recording"),
            ((self.tmp, vtt, out), 66, f"{self.tmp}: a directory, not a recording"),
            (("/dev/null", vtt, out), 66, "/dev/null: a character device, not a recording"),
            ((recording("demo"), self.tmp, out), 66, f"{self.tmp}: a directory, not a transcript"),
            ((recording("demo"), vtt, a_file), 73, f"{a_file}: a file, not a directory; the results cannot be "
                                                   "written there"),
            ((recording("demo"), vtt, "/dev/null"), 73, "/dev/null: a character device, not a directory; the "
                                                        "results cannot be written there"),
            ((recording("demo"), vtt, ""), 64, "the output directory is an empty path; name a directory"),
        ]
        for (audio, transcript, out_dir), status, message in cases:
            with self.subTest(message=message):
                done = self.run_script(LABEL_TRANSCRIPT, audio, transcript, "--segmentation", SEGMENTATION,
                                       "--embedding", EMBEDDING, "--out", out_dir, "--engine", ENGINE)
                self.assertEqual((done.returncode, done.stderr, done.stdout),
                                 (status, f"label-transcript: error: {message}\n", ""))
                self.assertFalse(os.path.exists(out))

    def test_a_time_limit_that_is_not_a_finite_number_is_a_usage_error(self):
        vtt = self.write("call.vtt", "WEBVTT\n\n00:01.000 --> 00:04.000\nHello.\n")
        for limit, message in [("inf", "the time limit must be a finite number of seconds, not 'inf'"),
                               ("nan", "the time limit must be a finite number of seconds, not 'nan'"),
                               ("0", "the time limit must be more than 0 seconds")]:
            with self.subTest(limit=limit):
                done, out = self.label(recording("demo"), vtt, "--timeout", limit)
                self.assertEqual(done.returncode, 64)
                self.assertTrue(done.stderr.endswith(f"label-transcript: error: argument --timeout: {message}\n"),
                                done.stderr)
                self.assertFalse(os.path.exists(out))

    def test_the_time_limit_covers_the_conversion_and_stops_sox_with_what_it_started(self):
        bin_dir = self.path("bin")
        os.mkdir(bin_dir)
        child = self.path("child.pid")
        with open(os.path.join(bin_dir, "sox"), "w") as f:
            f.write(f'#!/bin/sh\nsleep 60 & echo $! > "{child}"; wait\n')
        os.chmod(os.path.join(bin_dir, "sox"), 0o755)
        vtt = self.write("call.vtt", "WEBVTT\n\n00:01.000 --> 00:04.000\nHello.\n")
        saved = os.environ["PATH"]
        os.environ["PATH"] = bin_dir + os.pathsep + saved
        try:
            limit, e = stopped_after_noting_its_child(
                self, child, ConversionTimeout,
                lambda limit: label_transcript(recording("demo"), vtt, SEGMENTATION, EMBEDDING, self.path("out"),
                                               engine=ENGINE, timeout_s=limit))
        finally:
            os.environ["PATH"] = saved
        self.assertIsInstance(e, EngineTimeout)  # a time limit that ran out, whichever step was running
        self.assertIsInstance(e, AudioConversionError)
        self.assertEqual((e.timeout_s, e.cli_status), (limit, 75))
        self.assertEqual(str(e), f"converting {recording('demo')} with sox did not finish within {limit:g} s and was "
                                 "stopped")
        with open(child) as f:
            assert_process_ends(self, int(f.read()))

    def test_ctrl_c_or_a_closed_terminal_stops_the_engine_and_removes_the_temporary_files(self):
        child = self.path("child.pid")
        engine = self.write("engine", f'#!/bin/sh\nsleep 60 & echo $! > "{child}"; wait\n')
        os.chmod(engine, 0o755)
        vtt = self.write("call.vtt", "WEBVTT\n\n00:01.000 --> 00:04.000\nHello.\n")
        for sent, status, message in [(signal.SIGINT, 130, "label-transcript: interrupted\n"),
                                      (signal.SIGHUP, 129, "")]:
            with self.subTest(signal=sent.name):
                os.remove(child) if os.path.exists(child) else None
                temporary = self.path(f"tmp-{sent.name}")
                os.mkdir(temporary)
                # As a terminal sends them; started with SIGINT at its default, as from a shell.
                process = subprocess.Popen(
                    [LABEL_TRANSCRIPT, recording("demo"), vtt, "--segmentation", SEGMENTATION,
                     "--embedding", EMBEDDING, "--out", self.path("out"), "--engine", engine],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env={**os.environ, "TMPDIR": temporary},
                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                end = time.monotonic() + 60
                while not os.path.exists(child) or not os.path.getsize(child):
                    self.assertLess(time.monotonic(), end, "the engine did not start")
                    time.sleep(0.05)
                process.send_signal(sent)
                stdout, stderr = process.communicate(timeout=60)
                self.assertEqual((process.returncode, stdout, stderr), (status, "", message))
                with open(child) as f:
                    assert_process_ends(self, int(f.read()))
                self.assertEqual(os.listdir(temporary), [])

    def test_the_module_function_returns_the_typed_outcome(self):
        turns = truth("demo")
        text, _ = styled_webvtt(turns)
        vtt = self.write("call.vtt", text)
        outcome = label_transcript(recording("demo"), vtt, SEGMENTATION, EMBEDDING, self.path("out"),
                                   engine=ENGINE, timeout_s=120, numpy=False)
        self.assertEqual(outcome.result.evidence.speaker_evidence, "multi")
        self.assertEqual(outcome.result.diarization.effective_k, 2)
        self.assertEqual(sorted(outcome.speakers), list(range(1, 11)))
        rows = outcome.result.statement_embeddings.rows
        self.assertEqual((len(rows), len(rows[0])), (10, 256))
        self.assertEqual(outcome.result.statement_embeddings.kept_at, self.path("out", "call.statements.f32"))
        self.assertEqual(outcome.files["transcript"], self.path("out", "call.labelled.vtt"))

        with self.assertRaises(EngineError) as caught:
            label_transcript(recording("demo"), vtt, SEGMENTATION, self.path("none.onnx"), self.path("out2"),
                             engine=ENGINE)
        self.assertEqual((caught.exception.reason, caught.exception.exit_status), ("model-unreadable", 69))


class ResemblanceTest(unittest.TestCase):
    """Which unlabelled statements take a speaker by resemblance (no engine)."""

    @staticmethod
    def result(ids, labels, rows):
        return AnalyzeResult({}, "", ids, [(0.0, 1.0)] * len(ids),
                             StatementEmbeddings("full", "e", ids, [1.0] * len(ids), len(ids), 0, rows, "p", None),
                             [], Evidence("multi", 1.0, 0.0, 0.0),
                             Diarization([], [], [], labels, 2, 2, None, None))

    def test_only_a_clear_resemblance_gives_a_speaker(self):
        rows = [[3.0, 0.0], [0.0, 2.0], [2.0, 0.9], [1.0, 1.0], [0.0, 0.0], [0.2, 1.0], [5.0, 0.1]]
        result = self.result([1, 2, 3, 4, 5, 6, 7], [1, 2, None, None, None, None, 1], rows)
        # 3 leans to speaker 1, 6 to speaker 2; 4 is as close to both; 5 has no direction.
        self.assertEqual(resemblance_labels(result), {3: 1, 6: 2})
        self.assertEqual(resemblance_labels(result, margin=0.9), {})

    def test_one_known_speaker_labels_nothing(self):
        result = self.result([1, 2], [1, None], [[1.0, 0.0], [1.0, 0.0]])
        self.assertEqual(resemblance_labels(result), {})


def vtt_timing(turns, i):
    """The timing line styled_webvtt writes for turn i."""
    settings = ["", " align:start position:10%", " region:lower line:90%", " size:80% vertical:rl"][i % 4]
    return f"{vtt_time(turns[i]['start_s'], i % 2 == 0)} --> {vtt_time(turns[i]['end_s'], i % 2 == 0)}{settings}"


if __name__ == "__main__":
    unittest.main()
