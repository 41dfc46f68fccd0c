#!/usr/bin/python3
"""Builds the two demo ONNX models: hand-built signal-processing graphs, not trained networks.

demo-segmentation.onnx  "input_values" float32 [batch, 1, samples] -> "logits" float32 [batch, frames, 7]
    A two-voice detector. 160000 samples (10 s at 16 kHz) give exactly 589 frames (stride 271 samples).
    Per frame it measures three band energies with fixed windowed-sinusoid convolutions (a small DFT
    basis used as Conv weights):
      total   62.5 Hz - 6 kHz   (16 ms Hann windows)
      low     62.5 - 141 Hz     (64 ms Hann windows): the fundamental of a deep voice; a high voice
                                has no energy here
      high    2 - 6 kHz         (16 ms Hann windows): the upper spectrum of a bright voice; the
                                demo's deep voice is band-limited below 1.2 kHz
    smooths them over about 0.25 s, and turns them into three presence probabilities:
      speech  total energy above max(-50 dBFS, loudest frame of the window - 30 dB)
      deep    low / total above a fixed ratio
      bright  high / total above a fixed ratio
    The 7 classes are the powerset of the two detectors: 0 silence (or speech that neither detector
    claims), 1 deep voice alone, 2 bright voice alone, 4 both at once; classes 3, 5 and 6 are never
    chosen. The output is a log-softmax over those class probabilities, so each frame's top class
    usually has a probability far above 0.5.

demo-embedding.onnx  "feats" float32 [batch, frames, 80] -> "embs" float32 [batch, 256]
    Mean-normalised log-mel features carry no information in their per-band means, so the model
    describes a voice by how each band varies over time: the per-band standard deviation and the
    per-band mean absolute frame-to-frame change, each centred across bands, concatenated (160
    values), projected by a fixed pseudo-random 160 x 256 matrix (seeded, so the file is the same on
    every machine) and scaled to unit length inside the graph.

These models only work on recordings made like the demo's (two synthetic voices that differ in
pitch and in spectral band); they exist to exercise the engine end to end where trained models
cannot be downloaded.

Usage: make_demo_models.py OUT_DIR [--with-intermediates]
    --with-intermediates adds the segmentation model's smoothed log band energies as extra outputs
    ("band_log_energy" [batch, 3, frames]: total, low, high) for calibration.
"""

import argparse
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SAMPLE_RATE = 16000
FRAME_STRIDE = 271  # 160000 samples -> 589 frames
LONG_KERNEL = 1024  # 64 ms, padded by 250 samples on each side
LONG_PAD = 250
SHORT_KERNEL = 256  # 16 ms, applied to the input from sample 268 on (same frame count as above)
SHORT_OFFSET = 268
SMOOTH_FRAMES = 15  # about 0.25 s
BACKGROUND_FACTOR = 2.0  # times the quietest smoothed frame of the window, per band

LOW_BINS = range(4, 10)  # x 15.625 Hz: 62.5 .. 140.6 Hz
SHORT_BINS = range(1, 97)  # x 62.5 Hz: 62.5 .. 6000 Hz
HIGH_FIRST_BIN = 32  # 2000 Hz

# Decision constants (natural-log energy units; 10 dB = 2.3026).
ABS_FLOOR = -50.0 * np.log(10.0) / 10.0  # total band power of -50 dBFS
REL_DROP = 30.0 * np.log(10.0) / 10.0
LOW_RATIO = -2.9  # ln(low / total)
HIGH_RATIO = -9.0  # ln(high / total)
SHARPNESS = 4.0
CLASS_FLOOR = 1e-6

EMBEDDING_DIM = 256
MEL_BINS = 80
ACTIVITY_THRESHOLD = 1.0  # median absolute deviation of a band, natural-log units
ACTIVITY_WIDTH = 0.25
PROJECTION_SEED = 20240611

OPSET = 17
IR_VERSION = 8


def const(name, array):
    return numpy_helper.from_array(np.asarray(array, dtype=np.float32), name)


def sinusoid_bank(kernel, bin_hz, bins):
    """Hann-windowed cosine rows then sine rows, shape [2 * len(bins), 1, kernel]."""
    n = np.arange(kernel)
    window = np.hanning(kernel + 1)[:kernel]  # periodic Hann
    cos_rows = [window * np.cos(2 * np.pi * b * bin_hz * n / SAMPLE_RATE) for b in bins]
    sin_rows = [window * np.sin(2 * np.pi * b * bin_hz * n / SAMPLE_RATE) for b in bins]
    bank = np.stack(cos_rows + sin_rows)
    # Scaled so that white noise of variance s^2 gives a summed power of about s^2 over the bank.
    bank /= np.sqrt((bank**2).sum())
    return bank[:, None, :]


def voice_detector(band):
    """Nodes giving p_{band}: how surely the band's share of the total energy, log_{band} -
    log_total, lies above {band}_ratio."""
    return [
        helper.make_node("Sub", [f"log_{band}", "log_total"], [f"{band}_share"]),
        helper.make_node("Sub", [f"{band}_share", f"{band}_ratio"], [f"{band}_margin"]),
        helper.make_node("Mul", [f"{band}_margin", "sharpness"], [f"{band}_logit"]),
        helper.make_node("Sigmoid", [f"{band}_logit"], [f"p_{band}"]),
    ]


def build_segmentation(with_intermediates=False):
    long_bank = sinusoid_bank(LONG_KERNEL, SAMPLE_RATE / LONG_KERNEL, LOW_BINS)
    short_bank = sinusoid_bank(SHORT_KERNEL, SAMPLE_RATE / SHORT_KERNEL, SHORT_BINS)
    n_long, n_short = long_bank.shape[0], short_bank.shape[0]

    # 1x1 convolution that sums squared channels into the three band energies.
    band_sum = np.zeros((3, n_long + n_short, 1), dtype=np.float32)
    band_sum[0, n_long:, 0] = 1.0  # total: every short channel
    band_sum[1, :n_long, 0] = 1.0  # low: every long channel
    short_bins = list(SHORT_BINS)
    for i, b in enumerate(short_bins):
        if b >= HIGH_FIRST_BIN:
            band_sum[2, n_long + i, 0] = 1.0  # high: cosine row
            band_sum[2, n_long + len(short_bins) + i, 0] = 1.0  # high: sine row

    inits = [
        const("long_bank", long_bank),
        const("short_bank", short_bank),
        const("band_sum", band_sum),
        numpy_helper.from_array(np.array([SHORT_OFFSET], dtype=np.int64), "short_start"),
        numpy_helper.from_array(np.array([np.iinfo(np.int64).max], dtype=np.int64), "short_end"),
        numpy_helper.from_array(np.array([2], dtype=np.int64), "sample_axis"),
        const("energy_floor", 1e-12),
        const("background_factor", BACKGROUND_FACTOR),
        const("abs_floor", ABS_FLOOR),
        const("rel_drop", REL_DROP),
        const("low_ratio", LOW_RATIO),
        const("high_ratio", HIGH_RATIO),
        const("sharpness", SHARPNESS),
        const("one", 1.0),
        const("class_floor", CLASS_FLOOR),
        numpy_helper.from_array(np.array([1, 1, 1], dtype=np.int64), "band_split"),
    ]
    nodes = [
        helper.make_node("Conv", ["input_values", "long_bank"], ["long_frames"],
                         kernel_shape=[LONG_KERNEL], strides=[FRAME_STRIDE],
                         pads=[LONG_PAD, LONG_PAD]),
        helper.make_node("Slice", ["input_values", "short_start", "short_end", "sample_axis"],
                         ["short_input"]),
        helper.make_node("Conv", ["short_input", "short_bank"], ["short_frames"],
                         kernel_shape=[SHORT_KERNEL], strides=[FRAME_STRIDE]),
        helper.make_node("Concat", ["long_frames", "short_frames"], ["frames"], axis=1),
        helper.make_node("Mul", ["frames", "frames"], ["frame_power"]),
        helper.make_node("Conv", ["frame_power", "band_sum"], ["band_power"], kernel_shape=[1]),
        helper.make_node("AveragePool", ["band_power"], ["band_smooth"],
                         kernel_shape=[SMOOTH_FRAMES], strides=[1],
                         pads=[SMOOTH_FRAMES // 2, SMOOTH_FRAMES // 2], count_include_pad=0),
        # Steady background: each band's quietest smoothed frame in the window, removed twice over.
        helper.make_node("ReduceMin", ["band_smooth"], ["band_background"], axes=[2], keepdims=1),
        helper.make_node("Mul", ["band_background", "background_factor"], ["band_background_x"]),
        helper.make_node("Sub", ["band_smooth", "band_background_x"], ["band_foreground_raw"]),
        helper.make_node("Relu", ["band_foreground_raw"], ["band_foreground"]),
        helper.make_node("Add", ["band_foreground", "energy_floor"], ["band_floored"]),
        helper.make_node("Log", ["band_floored"], ["band_log_energy"]),
        helper.make_node("Split", ["band_log_energy", "band_split"], ["log_total", "log_low", "log_high"],
                         axis=1),
        # Speech gate: total energy against max(absolute floor, loudest frame - REL_DROP).
        helper.make_node("ReduceMax", ["log_total"], ["log_total_max"], axes=[2], keepdims=1),
        helper.make_node("Sub", ["log_total_max", "rel_drop"], ["rel_gate"]),
        helper.make_node("Max", ["rel_gate", "abs_floor"], ["gate"]),
        helper.make_node("Sub", ["log_total", "gate"], ["speech_margin"]),
        helper.make_node("Mul", ["speech_margin", "sharpness"], ["speech_logit"]),
        helper.make_node("Sigmoid", ["speech_logit"], ["p_speech"]),
        # Voice detectors: band share of the total energy against fixed ratios.
        *voice_detector("low"),
        *voice_detector("high"),
        helper.make_node("Sub", ["one", "p_low"], ["q_low"]),
        helper.make_node("Sub", ["one", "p_high"], ["q_high"]),
        helper.make_node("Sub", ["one", "p_speech"], ["q_speech"]),
        # Powerset classes: 1 low alone, 2 high alone, 4 both, 0 the rest.
        helper.make_node("Mul", ["p_speech", "p_low"], ["s_low"]),
        helper.make_node("Mul", ["p_speech", "q_low"], ["s_not_low"]),
        helper.make_node("Mul", ["s_low", "q_high"], ["p_class1"]),
        helper.make_node("Mul", ["s_not_low", "p_high"], ["p_class2"]),
        helper.make_node("Mul", ["s_low", "p_high"], ["p_class4"]),
        helper.make_node("Mul", ["s_not_low", "q_high"], ["p_unclaimed"]),
        helper.make_node("Add", ["q_speech", "p_unclaimed"], ["p_class0"]),
        helper.make_node("Sub", ["one", "one"], ["zero"]),
        helper.make_node("Mul", ["p_class0", "zero"], ["p_never"]),
        helper.make_node("Concat", ["p_class0", "p_class1", "p_class2", "p_never", "p_class4", "p_never",
                                    "p_never"], ["class_prob"], axis=1),
        helper.make_node("Add", ["class_prob", "class_floor"], ["class_prob_floored"]),
        helper.make_node("Log", ["class_prob_floored"], ["class_log"]),
        helper.make_node("Transpose", ["class_log"], ["class_log_t"], perm=[0, 2, 1]),
        helper.make_node("LogSoftmax", ["class_log_t"], ["logits"], axis=2),
    ]
    inputs = [helper.make_tensor_value_info("input_values", TensorProto.FLOAT,
                                            ["batch", "channels", "samples"])]
    outputs = [helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["batch", "frames", 7])]
    if with_intermediates:
        outputs.append(helper.make_tensor_value_info("band_log_energy", TensorProto.FLOAT,
                                                     ["batch", 3, "frames"]))
    graph = helper.make_graph(nodes, "demo_two_voice_segmentation", inputs, outputs, inits)
    return finish(graph, "Hand-built two-voice detector for the demo (signal processing, not trained).")


def projection_matrix():
    """80 x 256 with orthonormal rows: it keeps the angles between band-activity patterns."""
    rng = np.random.default_rng(PROJECTION_SEED)
    q, _ = np.linalg.qr(rng.standard_normal((EMBEDDING_DIM, MEL_BINS)))
    return q.T.astype(np.float32)


def build_embedding():
    inits = [
        const("projection", projection_matrix()),
        const("activity_threshold", ACTIVITY_THRESHOLD),
        const("activity_scale", 1.0 / ACTIVITY_WIDTH),
        const("tiny", 1e-12),
        numpy_helper.from_array(np.array([1], dtype=np.int64), "time_axis"),
        numpy_helper.from_array(np.array([2], dtype=np.int64), "two"),
        numpy_helper.from_array(np.array([1], dtype=np.int64), "one_i64"),
    ]
    nodes = [
        # k = frames // 2 + 1: the smallest of the k largest values of a band is its median.
        helper.make_node("Shape", ["feats"], ["feats_shape"]),
        helper.make_node("Gather", ["feats_shape", "time_axis"], ["frame_count"], axis=0),
        helper.make_node("Div", ["frame_count", "two"], ["half_frames"]),
        helper.make_node("Add", ["half_frames", "one_i64"], ["median_rank"]),
        helper.make_node("TopK", ["feats", "median_rank"], ["upper_half", "upper_half_idx"], axis=1,
                         largest=1, sorted=1),
        helper.make_node("ReduceMin", ["upper_half"], ["band_median"], axes=[1], keepdims=1),
        # Median absolute deviation of each band over the frames.
        helper.make_node("Sub", ["feats", "band_median"], ["centred"]),
        helper.make_node("Abs", ["centred"], ["deviation"]),
        helper.make_node("TopK", ["deviation", "median_rank"], ["upper_dev", "upper_dev_idx"], axis=1,
                         largest=1, sorted=1),
        helper.make_node("ReduceMin", ["upper_dev"], ["band_mad"], axes=[1], keepdims=0),
        # Soft vote per band: +1 carries the voice, -1 holds only steady background.
        helper.make_node("Sub", ["band_mad", "activity_threshold"], ["activity_margin"]),
        helper.make_node("Mul", ["activity_margin", "activity_scale"], ["activity_logit"]),
        helper.make_node("Tanh", ["activity_logit"], ["activity"]),
        helper.make_node("MatMul", ["activity", "projection"], ["raw_embs"]),
        # Unit length.
        helper.make_node("Mul", ["raw_embs", "raw_embs"], ["raw_sq"]),
        helper.make_node("ReduceSum", ["raw_sq", "time_axis"], ["norm_sq"], keepdims=1),
        helper.make_node("Add", ["norm_sq", "tiny"], ["norm_sq_safe"]),
        helper.make_node("Sqrt", ["norm_sq_safe"], ["norm"]),
        helper.make_node("Div", ["raw_embs", "norm"], ["embs"]),
    ]
    inputs = [helper.make_tensor_value_info("feats", TensorProto.FLOAT, ["batch", "frames", MEL_BINS])]
    outputs = [helper.make_tensor_value_info("embs", TensorProto.FLOAT, ["batch", EMBEDDING_DIM])]
    graph = helper.make_graph(nodes, "demo_band_activity_embedding", inputs, outputs, inits)
    return finish(graph, "Hand-built band-activity voice embedding for the demo (not trained).")


def finish(graph, doc):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="quillfen-demo")
    model.ir_version = IR_VERSION
    model.doc_string = doc
    onnx.checker.check_model(model)
    return model


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("--with-intermediates", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    seg = os.path.join(args.out_dir, "demo-segmentation.onnx")
    emb = os.path.join(args.out_dir, "demo-embedding.onnx")
    onnx.save(build_segmentation(args.with_intermediates), seg)
    onnx.save(build_embedding(), emb)
    print(seg)
    print(emb)
    return 0


if __name__ == "__main__":
    sys.exit(main())
