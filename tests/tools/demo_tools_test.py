#!/usr/bin/python3
"""Tests of the demo tools' RTTM handling (tools/demo/write_request.py, draw_timeline.py), run by
ctest. Environment: QUILLFEN_SOURCE_DIR (the checkout)."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ["QUILLFEN_SOURCE_DIR"]
DEMO = os.path.join(SOURCE, "tools", "demo")

# Two recordings in one file, lines out of time order.
RTTM = """SPEAKER rec2 1 0.500 1.000 <NA> <NA> carol <NA> <NA>
SPEAKER rec1 1 4.000 2.500 <NA> <NA> bob <NA> <NA>
SPEAKER rec1 1 0.250 3.000 <NA> <NA> alice <NA> <NA>
SPEAKER rec2 1 2.000 1.000 <NA> <NA> dave <NA> <NA>
"""

RESPONSE = {
    "schema": "quillfen-speaker-analyze-response-v1", "sample_rate_hz": 16000,
    "inputs": {"statement_embedding": {"statement_ids": [1], "spans": [[0.25, 3.25]]},
               "diarization": {"statement_ids": [1], "spans": [[0.25, 3.25]]}},
    "statement_embeddings": {"audio_buffer": "full", "encoder": "wespeaker-resnet34-256",
                             "payload_format": "raw-f32le-row-major-v1", "payload_path": "st.f32",
                             "dtype": "float32-le", "shape": [1, 256], "byte_count": 1024,
                             "statement_ids": [1], "durations_s": [3.0], "admitted_count": 1,
                             "skipped_count": 0},
    "pyannote": {"window_stats": [{"speech_frames": 300, "active_slot_count": 1, "overlap_frames": 0}]},
    "evidence": {"speaker_evidence": "single", "multi_window_fraction": 0.0,
                 "mean_window_overlap_share": 0.0, "overlap_fraction": 0.0},
    "diarization": {key: None for key in ("intervals", "valid_intervals", "interval_embeddings",
                                          "cluster_labels", "statement_labels", "silhouette_k",
                                          "effective_k")},
}


def run(script, *args):
    return subprocess.run([sys.executable, os.path.join(DEMO, script), *args], capture_output=True, text=True)


class DemoTools(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.rttm = self.path("two.rttm")
        with open(self.rttm, "w") as f:
            f.write(RTTM)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write_request(self, *args):
        return run("write_request.py", "--audio", "a.f32", "--segmentation", "s.onnx", "--embedding", "e.onnx",
                   "--statements-out", "st.f32", *args)

    def test_write_request_takes_the_turns_of_the_chosen_recording_only(self):
        result = self.write_request("--rttm", self.rttm, "--file-id", "rec1")
        self.assertEqual(result.returncode, 0, result.stderr)
        spans = json.loads(result.stdout)["statement_embedding"]["spans"]
        self.assertEqual(spans, [{"statement_id": 1, "start_s": 0.25, "end_s": 3.25},
                                 {"statement_id": 2, "start_s": 4.0, "end_s": 6.5}])
        self.assertEqual(json.loads(result.stdout)["diarization"]["spans"], spans)

    def test_write_request_asks_which_recording_when_the_file_holds_several(self):
        result = self.write_request("--rttm", self.rttm)
        self.assertEqual(result.returncode, 2)
        self.assertIn(f"{self.rttm} holds the recordings rec1, rec2; choose one with --file-id",
                      result.stderr)
        result = self.write_request("--rttm", self.rttm, "--file-id", "rec3")
        self.assertEqual(result.returncode, 2)
        self.assertIn(f"{self.rttm} has no recording 'rec3'; it holds rec1, rec2", result.stderr)

    def test_draw_timeline_draws_rttm_turns_as_the_reference(self):
        with open(self.path("response.json"), "w") as f:
            json.dump(RESPONSE, f)
        svg = self.path("t.svg")
        result = run("draw_timeline.py", self.path("response.json"), svg, "--truth", self.rttm,
                     "--file-id", "rec2")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(svg) as f:
            picture = f.read()
        self.assertIn("voice carol", picture)
        self.assertIn("voice dave", picture)
        self.assertNotIn("voice alice", picture)

    def test_draw_timeline_says_what_truth_it_takes(self):
        with open(self.path("response.json"), "w") as f:
            json.dump(RESPONSE, f)
        result = run("draw_timeline.py", self.path("response.json"), self.path("t.svg"), "--truth",
                     self.path("response.json"))
        self.assertEqual(result.returncode, 2)
        self.assertNotIn("Traceback", result.stderr)
        self.assertIn("--truth takes the demo's truth file (a JSON object with \"turns\") or an RTTM file "
                      "(SPEAKER lines)", result.stderr)


if __name__ == "__main__":
    unittest.main()
