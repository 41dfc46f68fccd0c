#!/usr/bin/python3
"""Tests of tools/models/fit_model_contract.py, run by ctest.

Environment: QUILLFEN_SOURCE_DIR (the checkout), QUILLFEN_ENGINE (the engine executable) and
QUILLFEN_TEST_MODELS (the generated test models).
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import onnx
from onnx import TensorProto, helper

SOURCE = os.environ["QUILLFEN_SOURCE_DIR"]
TOOL = os.path.join(SOURCE, "tools", "models", "fit_model_contract.py")
ENGINE = os.environ["QUILLFEN_ENGINE"]
TEST_MODELS = os.environ["QUILLFEN_TEST_MODELS"]


def embedding_model(in_name="x", out_name="y", in_dims=("batch", "frames", 80), out_dims=("batch", 256),
                    width=256, elem_type=TensorProto.FLOAT, inner_name="mean"):
    """feats-like input -> mean over frames -> MatMul to `width` values."""
    weights = helper.make_tensor("w", TensorProto.FLOAT, [80, width],
                                 np.linspace(-1, 1, 80 * width).astype(np.float32).tolist())
    graph = helper.make_graph(
        [helper.make_node("ReduceMean", [in_name], [inner_name], axes=[1], keepdims=0),
         helper.make_node("MatMul", [inner_name, "w"], [out_name])],
        "embedding",
        [helper.make_tensor_value_info(in_name, elem_type, list(in_dims))],
        [helper.make_tensor_value_info(out_name, TensorProto.FLOAT, list(out_dims))],
        [weights])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8)


def run_tool(*args):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True)


class FitModelContract(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def save(self, model, name):
        onnx.save(model, self.path(name))
        return self.path(name)

    def test_renames_input_output_and_every_use_inside_the_graph(self):
        source = self.save(embedding_model(in_name="input", out_name="output"), "in.onnx")
        result = run_tool("embedding", source, self.path("out.onnx"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
            "renamed input 'input' to 'feats'", "renamed output 'output' to 'embs'",
            f"{self.path('out.onnx')}: fits the embedding contract"])
        fitted = onnx.load(self.path("out.onnx"))
        onnx.checker.check_model(fitted, full_check=True)
        self.assertEqual([v.name for v in fitted.graph.input], ["feats"])
        self.assertEqual([v.name for v in fitted.graph.output], ["embs"])
        self.assertEqual(list(fitted.graph.node[0].input), ["feats"])
        self.assertEqual(list(fitted.graph.node[1].output), ["embs"])

    def test_an_inner_tensor_holding_a_contract_name_is_moved_aside(self):
        source = self.save(embedding_model(inner_name="embs"), "in.onnx")
        result = run_tool("embedding", source, self.path("out.onnx"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("renamed the inner tensor 'embs' to 'embs_renamed'", result.stdout)
        fitted = onnx.load(self.path("out.onnx"))
        onnx.checker.check_model(fitted, full_check=True)
        self.assertEqual([list(n.output) for n in fitted.graph.node], [["embs_renamed"], ["embs"]])

    def test_says_what_does_not_fit_and_writes_nothing(self):
        cases = [
            (embedding_model(out_dims=("batch", 192), width=192), "embedding",
             ["output embs dim 1 is 192, not 256"]),
            (embedding_model(in_dims=("batch", "frames", "bins")), "embedding",
             ["input feats dim 2 is -1, not 80"]),
            (embedding_model(in_dims=(1, 80)), "embedding",
             ["input feats shape [1, 80] has wrong rank (the engine needs rank 3)"]),
            (embedding_model(), "segmentation",
             ["output logits shape [-1, 256] has wrong rank (the engine needs rank 3)"]),
        ]
        for model, kind, expected in cases:
            with self.subTest(expected=expected):
                source = self.save(model, "in.onnx")
                result = run_tool(kind, source, self.path("out.onnx"))
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.splitlines()[1:], ["  " + e for e in expected])
                self.assertFalse(os.path.exists(self.path("out.onnx")))

    def test_element_type_and_count_of_inputs_and_outputs(self):
        model = embedding_model(elem_type=TensorProto.INT64)
        result = run_tool("embedding", self.save(model, "int.onnx"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("  input feats is int64, not float32", result.stderr)

        model = embedding_model()
        model.graph.output.append(helper.make_tensor_value_info("mean", TensorProto.FLOAT, ["batch", 80]))
        result = run_tool("embedding", self.save(model, "two.onnx"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("  expected one output, got 2 (y, mean)", result.stderr)

    def test_not_a_model_and_wrong_usage(self):
        with open(self.path("garbage.onnx"), "wb") as f:
            f.write(b"not a model")
        self.assertEqual(run_tool("embedding", self.path("garbage.onnx")).returncode, 2)
        self.assertEqual(run_tool("speaker", self.path("garbage.onnx")).returncode, 2)
        self.assertEqual(run_tool("embedding").returncode, 2)

    def test_the_trained_segmentation_model_of_the_test_data_fits_as_it_is(self):
        model = os.path.join(SOURCE, "tests", "data", "models", "pyannote-segmentation-3.0-int8.onnx")
        result = run_tool("segmentation", model)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), f"{model}: fits the segmentation contract")

    def test_the_engine_runs_models_the_tool_fitted(self):
        # Test models whose input or output name the engine refuses, fitted by the tool.
        fitted_segmentation = []
        for broken in ("seg_input_name.onnx", "seg_output_name.onnx"):
            fitted = self.path("fitted-" + broken)
            result = run_tool("segmentation", os.path.join(TEST_MODELS, broken), fitted)
            self.assertEqual(result.returncode, 0, result.stderr)
            fitted_segmentation.append(fitted)
        embedding = self.save(embedding_model(in_name="input", out_name="output"), "embedding.onnx")
        self.assertEqual(run_tool("embedding", embedding, self.path("fitted-embedding.onnx")).returncode, 0)

        audio = self.path("audio.f32")
        np.zeros(32000, dtype="<f4").tofile(audio)

        def analyze(segmentation, embedding):
            request = {
                "schema": "quillfen-speaker-analyze-request-v1", "sample_rate_hz": 16000,
                "full_audio_f32le_path": audio, "output_payload_f32le_path": self.path("st.f32"),
                "models": {"pyannote_segmentation_onnx_path": segmentation,
                           "wespeaker_onnx_path": embedding},
                "statement_embedding": {"spans": [{"statement_id": 1, "start_s": 0.0, "end_s": 1.0}]},
                "diarization": {"spans": [{"statement_id": 1, "start_s": 0.0, "end_s": 1.0}]},
            }
            return subprocess.run([ENGINE], input=json.dumps(request), capture_output=True, text=True)

        refused = analyze(os.path.join(TEST_MODELS, "seg_input_name.onnx"), self.path("fitted-embedding.onnx"))
        self.assertEqual(refused.returncode, 69)
        self.assertIn('"reason":"model-io-mismatch"', refused.stderr)
        for segmentation in fitted_segmentation:
            with self.subTest(segmentation=segmentation):
                run = analyze(segmentation, self.path("fitted-embedding.onnx"))
                self.assertEqual((run.returncode, run.stderr), (0, ""))
                response = json.loads(run.stdout)
                self.assertEqual(response["statement_embeddings"]["shape"], [1, 256])
                self.assertEqual(response["evidence"]["speaker_evidence"], "none")

if __name__ == "__main__":
    unittest.main()
