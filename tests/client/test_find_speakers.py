"""find-speakers end to end: two recordings of the same two voices in another order, each labelled by
label-transcript, give two recurring voices that each span both recordings."""

import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

from client_support import (DATA, EMBEDDING, ENGINE, FIND_SPEAKERS, LABEL_TRANSCRIPT, PYTHON, SCRATCH,
                            SEGMENTATION, SOURCE_DIR, ScratchTestCase, recording, srt_time, styled_webvtt, truth)

from quillfen_client import find_speakers


def label(audio, transcript, out, *extra):
    return subprocess.run([LABEL_TRANSCRIPT, audio, transcript, "--segmentation", SEGMENTATION, "--embedding",
                           EMBEDDING, "--out", out, "--engine", ENGINE, *extra], capture_output=True, text=True,
                          timeout=240)


def write_srt(truth_json, srt):
    """The plain SRT of a demo recording's turns, as the demo's transcript writer makes it."""
    subprocess.run([PYTHON, os.path.join(SOURCE_DIR, "tools", "demo", "write_transcript.py"), truth_json, srt],
                   check=True, capture_output=True)


class FindSpeakersTest(ScratchTestCase):
    @classmethod
    def setUpClass(cls):
        # Labelled once for all tests, each of which works on a copy: the first call as styled
        # WebVTT, the second (voice B first, some voices twice in a row) as the plain SRT the
        # demo's transcript writer makes.
        os.makedirs(SCRATCH, exist_ok=True)
        cls.runs = tempfile.mkdtemp(prefix="find-speakers-runs-", dir=SCRATCH)
        text, _ = styled_webvtt(truth("demo"))
        with open(os.path.join(cls.runs, "demo-call.vtt"), "w") as f:
            f.write(text)
        write_srt(os.path.join(DATA, "demo2-truth.json"), os.path.join(cls.runs, "demo2-call.srt"))
        for conversation, transcript in (("demo", "demo-call.vtt"), ("demo2", "demo2-call.srt")):
            done = label(recording(conversation), os.path.join(cls.runs, transcript),
                         os.path.join(cls.runs, f"{conversation}-out"))
            assert done.returncode == 0, done.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.runs, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.dirs = []
        for conversation in ("demo", "demo2"):
            self.dirs.append(shutil.copytree(os.path.join(self.runs, f"{conversation}-out"),
                                             self.path(f"{conversation}-out")))
        self.voice_of = {(f"{c}-call", t["statement_id"]): t["voice"] for c in ("demo", "demo2")
                         for t in truth(c)}

    def test_two_recurring_voices_each_spanning_both_recordings(self):
        done = self.run_script(FIND_SPEAKERS, *self.dirs, "--json", "--engine", ENGINE)
        self.assertEqual(done.returncode, 0, done.stderr)
        report = json.loads(done.stdout)
        self.assertEqual([r["name"] for r in report["recordings"]], ["demo-call", "demo2-call"])
        self.assertEqual([r["embedded_count"] for r in report["recordings"]], [10, 10])
        self.assertEqual(report["parameters"], {"min_cluster_size": 3, "min_samples": 1})
        self.assertEqual(len(report["voices"]), 2)
        seen = set()
        for voice in report["voices"]:
            self.assertEqual(voice["recordings"], ["demo-call", "demo2-call"])
            truth_voices = {self.voice_of[(s["recording"], s["statement_id"])] for s in voice["statements"]}
            self.assertEqual(len(truth_voices), 1, voice)
            seen |= truth_voices
            self.assertEqual(len(voice["statements"]), 10)
            # Within one recording a voice is the speaker label-transcript gave its cues.
            for name in ("demo-call", "demo2-call"):
                self.assertEqual(len({s["speaker"] for s in voice["statements"] if s["recording"] == name}), 1)
        self.assertEqual(seen, {"A", "B"})
        self.assertEqual((report["noise"], report["zero_length"], report["not_embedded"]), ([], [], []))
        first = report["voices"][0]["statements"][0]
        self.assertEqual((first["recording"], first["statement_id"]), ("demo-call", 1))
        self.assertTrue(first["text"].startswith("Good morning. Thanks for joining"))

        # A directory given twice counts once.
        table = self.run_script(FIND_SPEAKERS, *self.dirs, self.dirs[0] + "/", "--engine", ENGINE, "--timeout", "1e9")
        self.assertEqual(table.returncode, 0, table.stderr)
        lines = table.stdout.splitlines()
        self.assertEqual(lines[0], "2 recordings, 20 embedded statements (min_cluster_size 3, min_samples 1)")
        self.assertIn("voice 1: 10 statements in 2 recordings (demo-call, demo2-call) [recurring voice]", lines)
        self.assertIn("voice 2: 10 statements in 2 recordings (demo-call, demo2-call) [recurring voice]", lines)

    def test_rows_of_zero_length_are_reported_and_left_out(self):
        payload = os.path.join(self.dirs[1], "demo2-call.statements.f32")
        with open(payload, "r+b") as f:
            f.seek(3 * 256 * 4)
            f.write(struct.pack("<256f", *([0.0] * 256)))
        report = find_speakers(self.dirs, engine=ENGINE, numpy=False)
        self.assertEqual([(s.recording, s.statement_id) for s in report.zero_length], [("demo2-call", 4)])
        self.assertEqual(sum(len(v.statements) for v in report.voices) + len(report.noise), 19)
        self.assertNotIn(("demo2-call", 4), [(s.recording, s.statement_id) for v in report.voices
                                             for s in v.statements])

    def test_cue_texts_come_from_the_transcript_of_the_run_itself(self):
        # The second recording labelled into the first one's directory with a transcript of the
        # same name, in SRT, by force: the run replaces the earlier one, WebVTT transcript included.
        first, texts = self.dirs[0], {t["statement_id"]: t["text"] for t in truth("demo2")}
        srt = self.path("demo-call.srt")
        write_srt(os.path.join(DATA, "demo2-truth.json"), srt)
        with open(os.path.join(first, "demo-call.timeline.svg"), "w") as f:
            f.write("<svg/>")  # as if the earlier run had drawn one
        done = label(recording("demo2"), srt, first, "--force")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(os.listdir(first)), ["demo-call.labelled.srt", "demo-call.notes.txt",
                                                     "demo-call.response.json", "demo-call.rttm", "demo-call.run.json",
                                                     "demo-call.statements.f32"])

        def cue_texts(report):
            return {s.statement_id: s.text for v in report.voices for s in v.statements + report.noise}

        report = find_speakers(first, engine=ENGINE)
        self.assertEqual((cue_texts(report), report.warnings), (texts, []))

        # A transcript another run left beside it (say, by an older client) is passed over.
        stale = os.path.join(first, "demo-call.labelled.vtt")
        shutil.copy(os.path.join(self.runs, "demo-out", "demo-call.labelled.vtt"), stale)
        report = find_speakers(first, engine=ENGINE)
        self.assertEqual((cue_texts(report), report.recordings[0].transcript_path),
                         (texts, os.path.join(first, "demo-call.labelled.srt")))
        warning = (f"{stale}: its cues are not the statements of {first}/demo-call.response.json (a transcript of "
                   "another run?)")
        self.assertEqual(report.warnings, [warning + "; passed over"])

        # With only that one, the texts are left out, and the command says why.
        os.unlink(os.path.join(first, "demo-call.labelled.srt"))
        warning += "; the cue texts of demo-call are left out"
        done = self.run_script(FIND_SPEAKERS, first, "--json", "--engine", ENGINE)
        self.assertEqual((done.returncode, done.stderr), (0, f"find-speakers: warning: {warning}\n"))
        report = json.loads(done.stdout)
        self.assertEqual({s["text"] for v in report["voices"] for s in v["statements"] + report["noise"]}, {None})
        self.assertEqual(report["warnings"], [warning])

    def test_a_recording_without_speech_takes_no_part(self):
        quiet_audio, quiet = self.path("quiet.wav"), self.path("quiet-out")
        subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", quiet_audio, "synth", "12", "whitenoise", "vol",
                        "0.0005"], check=True)
        srt = self.write("quiet.srt", "1\n00:00:01,000 --> 00:00:04,000\nIs anyone there?\n\n"
                                      "2\n00:00:05,000 --> 00:00:09,000\nHello?\n")
        done = label(quiet_audio, srt, quiet)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('speaker evidence "none"', done.stdout)

        done = self.run_script(FIND_SPEAKERS, *self.dirs, quiet, "--engine", ENGINE)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[0], "3 recordings, 20 embedded statements (min_cluster_size 3, min_samples 1)")
        self.assertEqual(lines[-3:], ['left out: no speech in the recording (speaker evidence "none"): 2 statements',
                                      "  quiet       #1     0:01.00 - 0:04.00   -           Is anyone there?",
                                      "  quiet       #2     0:05.00 - 0:09.00   -           Hello?"])
        report = find_speakers([*self.dirs, quiet], engine=ENGINE)
        self.assertEqual([r.speaker_evidence for r in report.recordings], ["multi", "multi", "none"])
        self.assertEqual([(s.recording, s.statement_id) for s in report.no_speech], [("quiet", 1), ("quiet", 2)])
        self.assertEqual([len(v.statements) for v in report.voices], [10, 10])
        self.assertEqual(report.noise, [])

    def test_a_payload_value_that_is_not_a_number_is_a_payload_error(self):
        payload = os.path.join(self.dirs[1], "demo2-call.statements.f32")
        with open(payload, "r+b") as f:
            f.seek((3 * 256 + 17) * 4)
            f.write(struct.pack("<f", float("nan")))
        done = self.run_script(FIND_SPEAKERS, *self.dirs, "--engine", ENGINE)
        self.assertEqual((done.returncode, done.stdout), (65, ""))
        self.assertEqual(done.stderr, f"find-speakers: error: {payload}: the embedding of statement 4 (row 3) holds "
                                      "a value that is not a finite number\n"
                                      "find-speakers: --skip-broken leaves such results out and reports them\n")

    def test_one_directory_may_be_given_as_a_path_of_its_own(self):
        report = find_speakers(self.dirs[0], engine=ENGINE, numpy=False)
        self.assertEqual([r.name for r in report.recordings], ["demo-call"])
        self.assertEqual(sum(len(v.statements) for v in report.voices) + len(report.noise), 10)

    def test_a_folder_of_result_folders_is_read_one_level_down(self):
        parent = self.dir  # holds demo-out and demo2-out, and a folder without results
        os.mkdir(self.path("no-results"))
        done = self.run_script(FIND_SPEAKERS, parent, "--engine", ENGINE)
        self.assertEqual((done.returncode, done.stderr),
                         (0, f"find-speakers: warning: {parent} holds no results itself; read its 2 subdirectories "
                             "with results: demo-out, demo2-out\n"))
        self.assertTrue(done.stdout.startswith("2 recordings, 20 embedded statements"), done.stdout)

    def test_broken_results_stop_the_report_or_are_skipped_and_listed(self):
        response = os.path.join(self.dirs[1], "demo2-call.response.json")
        with open(response) as f:
            document = json.load(f)
        del document["evidence"]
        with open(response, "w") as f:
            json.dump(document, f)
        done = self.run_script(FIND_SPEAKERS, *self.dirs, "--engine", ENGINE)
        reason = "not a whole analyze response (a part is missing or malformed)"
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (65, "", f"find-speakers: error: {response}: {reason}\n"
                                  "find-speakers: --skip-broken leaves such results out and reports them\n"))
        done = self.run_script(FIND_SPEAKERS, *self.dirs, "--skip-broken", "--engine", ENGINE)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[0], "1 recording, 10 embedded statements (min_cluster_size 3, min_samples 1)")
        self.assertEqual(lines[-2:], ["skipped, broken: 1 result", f"  {response}: {reason}"])
        report = find_speakers(self.dirs, engine=ENGINE, skip_broken=True)
        self.assertEqual([(s.path, s.reason) for s in report.skipped], [(response, reason)])

    def test_windows_1252_srt_named_vtt_keeps_its_bytes_and_its_text_reads_right(self):
        turns = truth("demo2")
        text = "".join(f"{i + 1}\r\n{srt_time(t['start_s'])} --> {srt_time(t['end_s'])}\r\n\u201cHi\u201d \u2013 "
                       f"{t['text']}\r\n\r\n" for i, t in enumerate(turns))
        vtt = self.path("windows.vtt")
        with open(vtt, "wb") as f:
            f.write(text.encode("cp1252"))
        out = self.path("windows-out")
        done = label(recording("demo2"), vtt, out, "-q")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.splitlines()[0], f"transcript: {vtt} (SRT, Windows-1252, 10 cues)")
        with open(os.path.join(out, "windows.labelled.srt"), "rb") as f:
            labelled = f.read()
        self.assertEqual(re.sub(rb"\r\nSpeaker \d: ", b"\r\n", labelled), text.encode("cp1252"))
        report = json.loads(self.run_script(FIND_SPEAKERS, out, "--json", "--engine", ENGINE).stdout)
        texts = {s["statement_id"]: s["text"] for s in report["noise"] + [s for v in report["voices"]
                                                                           for s in v["statements"]]}
        self.assertEqual(texts, {t["statement_id"]: f"\u201cHi\u201d \u2013 {t['text']}" for t in turns})

    def test_a_directory_without_results_or_no_directory_is_refused(self):
        empty = self.path("empty")
        os.mkdir(empty)
        a_file = os.path.join(self.dirs[0], "demo-call.rttm")
        for given, message in [(empty, "no label-transcript results here (NAME.response.json), nor in its "
                                       "subdirectories; give the --out directories of label-transcript"),
                               (a_file, "not a directory; give the output directories of label-transcript"),
                               (self.path("missing"), "no such directory")]:
            with self.subTest(given=given):
                done = self.run_script(FIND_SPEAKERS, self.dirs[0], given, "--engine", ENGINE)
                self.assertEqual((done.returncode, done.stderr, done.stdout),
                                 (66, f"find-speakers: error: {given}: {message}\n", ""))
        shutil.rmtree(empty)


if __name__ == "__main__":
    unittest.main()
