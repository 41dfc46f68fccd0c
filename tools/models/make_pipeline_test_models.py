#!/usr/bin/python3
"""Generates the models whose inference fails at run time, for the analyze pipeline's tests.

Usage: make_pipeline_test_models.py OUT_DIR

Both honour their model contract when opened, so the failure only shows while the pipeline
runs them:

seg_run_fails.onnx -- the steerable segmentation model of make_test_models.py, plus a Gather
whose index is round(100 * first sample of the window) into a two-element table: a window
whose first sample is 0 runs; a window whose first sample is at least 0.015 fails inside the
runtime (index out of bounds).

emb_run_fails.onnx -- the embedding model of make_test_models.py, plus a Reshape of the
features to rows of 7 * 80 values: features whose frame count is a multiple of 7 run; any
other frame count fails inside the runtime.
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.dont_write_bytecode = True  # keep the source tree free of compiled files
import make_test_models as base  # noqa: E402

F = TensorProto.FLOAT
I64 = TensorProto.INT64


def seg_run_fails():
    nodes, inits = base.segmentation_nodes(output_name="steered")
    inits += [
        numpy_helper.from_array(np.array([0], dtype=np.int64), "zero_index"),
        numpy_helper.from_array(np.array(100.0, dtype=np.float32), "hundred"),
        numpy_helper.from_array(np.array([0.0, 0.0], dtype=np.float32), "table"),
    ]
    nodes += [
        helper.make_node("Gather", ["input_values", "zero_index"], ["first_b"], axis=0),
        helper.make_node("Gather", ["first_b", "zero_index"], ["first_c"], axis=1),
        helper.make_node("Gather", ["first_c", "zero_index"], ["first_s"], axis=2),
        helper.make_node("ReduceSum", ["first_s"], ["first"], keepdims=0),
        helper.make_node("Mul", ["first", "hundred"], ["scaled_first"]),
        helper.make_node("Round", ["scaled_first"], ["rounded_first"]),
        helper.make_node("Cast", ["rounded_first"], ["table_index"], to=I64),
        helper.make_node("Gather", ["table", "table_index"], ["looked_up"], axis=0),
        helper.make_node("Add", ["steered", "looked_up"], ["logits"]),
    ]
    return base.make_model(
        nodes, [base.tensor_info("input_values", F, ["batch", "channels", "samples"])],
        [base.tensor_info("logits", F, ["batch", "frames", base.CLASSES])], inits,
        "seg_run_fails")


def emb_run_fails():
    nodes, inits = base.embedding_nodes(output_name="embedded")
    inits += [
        numpy_helper.from_array(np.array([-1, 7 * base.BINS], dtype=np.int64), "rows_of_seven"),
    ]
    nodes += [
        helper.make_node("Reshape", ["feats", "rows_of_seven"], ["regrouped"]),
        helper.make_node("ReduceSum", ["regrouped"], ["total"], keepdims=0),
        helper.make_node("Sub", ["total", "total"], ["nothing"]),
        helper.make_node("Add", ["embedded", "nothing"], ["embs"]),
    ]
    return base.make_model(
        nodes, [base.tensor_info("feats", F, ["batch", "frames", base.BINS])],
        [base.tensor_info("embs", F, ["batch", base.EMB])], inits, "emb_run_fails")


def write_models(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    onnx.save(seg_run_fails(), os.path.join(out_dir, "seg_run_fails.onnx"))
    onnx.save(emb_run_fails(), os.path.join(out_dir, "emb_run_fails.onnx"))


if __name__ == "__main__":
    sys.exit(base.generator_main(sys.argv, "make_pipeline_test_models.py", "OUT_DIR", write_models))
