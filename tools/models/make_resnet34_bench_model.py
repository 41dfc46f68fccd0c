#!/usr/bin/python3
"""Generates a benchmark-only speaker embedding model with the layer shapes of a ResNet34
speaker embedder, so that the analyze benchmark pays what a real embedding model costs.

Usage: make_resnet34_bench_model.py OUT_PATH

The weights are random (fixed seed), so the embeddings mean nothing; only the amount of work
and the tensor shapes are those of the real model:

  "feats" float32 [batch, frames, 80]
    -> transposed to [batch, 1, 80, frames] (frequency x time, one channel)
    -> 3x3 convolution to 32 channels, ReLU
    -> four stages of basic residual blocks (two 3x3 convolutions, ReLU, identity or 1x1
       projection shortcut): 3 blocks of 32 channels, 4 of 64, 6 of 128 and 3 of 256; the first
       block of stages 2 to 4 halves both frequency and time (stride 2)
    -> [batch, 256, 10, frames / 8] reshaped to [batch, 2560, frames / 8]
    -> temporal statistics pooling: mean and standard deviation over time, concatenated
       ([batch, 5120])
    -> linear layer to 256 values
  "embs" float32 [batch, 256]

About 6.6 million parameters (26 MB) and about 7 billion multiply-adds for 3 seconds of
features (300 frames). Batch normalisation is taken as folded into the convolutions (a bias per
output channel), as in an exported inference model. Opset 17, IR version 8.
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.dont_write_bytecode = True  # keep the source tree free of compiled files
import make_test_models as base  # noqa: E402

BINS = base.BINS
EMB = base.EMB
BASE = 32
STAGES = [(BASE, 3, 1), (2 * BASE, 4, 2), (4 * BASE, 6, 2), (8 * BASE, 3, 2)]
SEED = 34


class Graph:
    def __init__(self):
        self.rng = np.random.RandomState(SEED)
        self.nodes = []
        self.inits = []
        self.count = 0

    def name(self, prefix):
        self.count += 1
        return f"{prefix}_{self.count}"

    def constant(self, prefix, array):
        name = self.name(prefix)
        self.inits.append(numpy_helper.from_array(array, name))
        return name

    def node(self, op, inputs, **attrs):
        out = self.name(op.lower())
        self.nodes.append(helper.make_node(op, inputs, [out], **attrs))
        return out

    def conv(self, x, c_in, c_out, kernel, stride, gain=1.0):
        fan_in = c_in * kernel * kernel
        w = self.rng.standard_normal((c_out, c_in, kernel, kernel)) * gain * np.sqrt(2.0 / fan_in)
        b = self.rng.standard_normal(c_out) * 0.01
        pad = kernel // 2
        return self.node("Conv", [x, self.constant("w", w.astype(np.float32)),
                                  self.constant("b", b.astype(np.float32))],
                         kernel_shape=[kernel, kernel], strides=[stride, stride],
                         pads=[pad, pad, pad, pad])

    def basic_block(self, x, c_in, c_out, stride):
        y = self.node("Relu", [self.conv(x, c_in, c_out, 3, stride)])
        y = self.conv(y, c_out, c_out, 3, 1, gain=0.5)
        shortcut = x if (stride == 1 and c_in == c_out) else self.conv(x, c_in, c_out, 1, stride)
        return self.node("Relu", [self.node("Add", [y, shortcut])])


def build():
    g = Graph()
    x = g.node("Transpose", ["feats"], perm=[0, 2, 1])
    x = g.node("Unsqueeze", [x, g.constant("axis", np.array([1], dtype=np.int64))])
    x = g.node("Relu", [g.conv(x, 1, BASE, 3, 1)])
    channels = BASE
    for width, blocks, stride in STAGES:
        for b in range(blocks):
            x = g.basic_block(x, channels, width, stride if b == 0 else 1)
            channels = width
    frames_last = g.constant("shape", np.array([0, channels * BINS // 8, -1], dtype=np.int64))
    x = g.node("Reshape", [x, frames_last])
    mean_kept = g.node("ReduceMean", [x], axes=[2], keepdims=1)
    centred = g.node("Sub", [x, mean_kept])
    variance = g.node("ReduceMean", [g.node("Mul", [centred, centred])], axes=[2], keepdims=0)
    epsilon = g.constant("eps", np.array(1e-7, dtype=np.float32))
    std = g.node("Sqrt", [g.node("Add", [variance, epsilon])])
    mean = g.node("ReduceMean", [x], axes=[2], keepdims=0)
    pooled = g.node("Concat", [mean, std], axis=1)
    pooled_width = 2 * channels * BINS // 8
    w = g.rng.standard_normal((pooled_width, EMB)) / np.sqrt(pooled_width)
    projected = g.node("MatMul", [pooled, g.constant("w", w.astype(np.float32))])
    g.nodes.append(helper.make_node(
        "Add", [projected, g.constant("b", np.zeros(EMB, dtype=np.float32))], ["embs"]))
    return base.make_model(g.nodes, [base.tensor_info("feats", TensorProto.FLOAT, ["batch", "frames", BINS])],
                           [base.tensor_info("embs", TensorProto.FLOAT, ["batch", EMB])], g.inits,
                           "resnet34_bench", producer="quillfen-bench-models")


def write_model(out):
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    partial = out + ".partial." + str(os.getpid())
    onnx.save(build(), partial)
    os.replace(partial, out)


if __name__ == "__main__":
    sys.exit(base.generator_main(sys.argv, "make_resnet34_bench_model.py", "OUT_PATH", write_model))
