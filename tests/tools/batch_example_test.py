#!/usr/bin/python3
"""Runs the batch example of the README (the bash block after "<!-- batch-example -->") on a folder
of two WAV files, and checks that every job's response and payloads equal those of the engine run
directly on the same request. Run by ctest. Environment: QUILLFEN_SOURCE_DIR, QUILLFEN_ENGINE,
QUILLFEN_TEST_MODELS."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ["QUILLFEN_SOURCE_DIR"]
ENGINE = os.environ["QUILLFEN_ENGINE"]
TEST_MODELS = os.environ["QUILLFEN_TEST_MODELS"]
DATA = os.path.join(SOURCE, "tests", "data")


def readme_example():
    with open(os.path.join(SOURCE, "README.md")) as f:
        text = f.read()
    block = text.split("<!-- batch-example -->\n```bash\n", 1)[1]
    return block.split("\n```\n", 1)[0] + "\n"


class BatchExample(unittest.TestCase):
    def test_every_recording_of_the_folder_is_analysed_as_a_direct_run_would(self):
        with tempfile.TemporaryDirectory() as tmp:
            script = os.path.join(tmp, "analyze-folder.sh")
            with open(script, "w") as f:
                f.write(readme_example())
            wavs = os.path.join(tmp, "wavs")
            os.mkdir(wavs)
            shutil.copy(os.path.join(DATA, "audio", "pyannote_sample.wav"), os.path.join(wavs, "meeting.wav"))
            # A 12 s stereo 44.1 kHz file: sox converts it like any recording.
            subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", os.path.join(wavs, "tones.wav"),
                            "synth", "12", "sine", "300", "sine", "520", "vol", "0.3"], check=True)
            segmentation = os.path.join(DATA, "models", "pyannote-segmentation-3.0-int8.onnx")
            embedding = os.path.join(TEST_MODELS, "embedding.onnx")
            out = os.path.join(tmp, "out")
            run = subprocess.run(["bash", script, segmentation, embedding, wavs, out],
                                 env=dict(os.environ, ENGINE=ENGINE, JOBS="2"), capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

            with open(os.path.join(out, "status.txt")) as f:
                self.assertEqual(sorted(f.read().splitlines()),
                                 [f"0 {out}/meeting", f"0 {out}/tones"])
            with open(os.path.join(out, "responses.jsonl")) as f:
                lines = f.read().splitlines()
            self.assertEqual(len(lines), 2)
            self.assertEqual([json.loads(line)["schema"] for line in lines],
                             ["quillfen-speaker-analyze-response-v1"] * 2)

            for name in ("meeting", "tones"):
                with self.subTest(name=name):
                    job = os.path.join(out, name)
                    with open(os.path.join(job, "request.json")) as f:
                        request = json.load(f)
                    self.assertEqual(request["models"]["pyannote_segmentation_onnx_path"], segmentation)
                    payloads = {}
                    for key in ("output_payload_f32le_path", "interval_embedding_payload_f32le_path"):
                        if os.path.exists(request[key]):
                            with open(request[key], "rb") as f:
                                payloads[key] = f.read()
                            os.remove(request[key])
                    direct = subprocess.run([ENGINE], input=json.dumps(request).encode(), capture_output=True)
                    self.assertEqual(direct.returncode, 0, direct.stderr)
                    with open(os.path.join(job, "response.json"), "rb") as f:
                        self.assertEqual(f.read(), direct.stdout)
                    for key, data in payloads.items():
                        with open(request[key], "rb") as f:
                            self.assertEqual(f.read(), data, key)
            with open(os.path.join(out, "meeting", "response.json")) as f:
                self.assertEqual(json.load(f)["evidence"]["speaker_evidence"], "multi")


if __name__ == "__main__":
    unittest.main()
