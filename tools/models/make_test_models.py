#!/usr/bin/python3
"""Generates the small ONNX models the tests run, into the directory given as the only argument.

Usage: make_test_models.py OUT_DIR

All models use opset 17 and IR version 8. They are deterministic and tiny (the largest holds a
160 x 96 matrix).

Good models
-----------

segmentation.onnx -- honours the segmentation contract: "input_values" float32
[batch, channels, samples] -> "logits" float32 [batch, frames, 7]; 160000 samples give
[1, 589, 7]. Its output is steered by the input level:

  * Frame f (0..588) of a window reads ONE sample: window offset
        c(f) = floor((f + 1/2) * 160000 / 589) = (80000 * (2f + 1)) // 589,
    the middle of the f-th slot of 160000/589 samples (offsets 135, 407, 678, ..., 159864),
    averaged over the channel axis (the engine sends one channel).
  * Its class is k = clamp(round_half_even(10 * x), 0, 6) for that value x: a level of 0.0 is
    class 0 (silence), a level of k/10 is class k (0.1 -> slot 1, 0.2 -> slot 2,
    0.3 -> slot 3, 0.4..0.6 -> overlap classes 4..6). Negative levels are class 0, levels
    from 0.65 up class 6. Any additional signal whose magnitude stays below 0.05 at the read
    sample (for example a tone of amplitude 0.04) does not change the class.
  * The scores are log_softmax(12 * one_hot(k)): about -3.7e-5 for class k and about
    -12.00004 for the six others, so the probability of the chosen class is above 0.9999.
  * The samples read depend only on the offset within the window. In a recording analysed
    on the engine's frame grid (grid frame g spans samples [g * 160000/589, (g+1) * 160000/589),
    windows start every 32000 samples plus one window aligned to the end, and a window
    starting at sample s maps its frame f to grid frame round(s / (160000/589)) + f), the
    sample read for grid frame g lies within half a frame (plus one sample) of the middle of
    grid frame g, so inside grid frame g - 1, g or g + 1. Therefore: hold the level constant
    over a run of grid frames; every frame of the run except possibly its first and last gets
    the run's class in every window, and those two edge frames get the class of the run or of
    its neighbour, never a third class. The
    filterbank removes each frame's mean before its spectrum, so a constant level does not
    change filterbank features.

embedding.onnx -- honours the embedding contract: "feats" float32 [batch, frames, 80] ->
"embs" float32 [batch, 256]. For one item, with u = (mean over frames of x, mean over frames
of x*x) as a 160-vector (bins 0..79, then their squares' means):
    embs[0:160]   = u + 0.01
    embs[160:256] = u @ R + 0.01, R a fixed 160 x 96 matrix (normal, seed 17, scaled 1/sqrt(160)).
Mean-normalised features have column means near 0, so the embedding mostly reflects how much
each mel bin varies over the frames: recordings whose non-stationary content (for example an
amplitude-modulated tone) falls into different mel bins get nearly orthogonal embeddings; a
stationary or silent input gives the constant 0.01 vector.

Broken and special models (named after what they break)
-------------------------------------------------------
seg_two_inputs, seg_two_outputs, seg_input_name ("waveform"), seg_output_name ("output"),
seg_int64_input, seg_input_rank2 ([1, n]), seg_eight_classes ([batch, frames, 8]),
seg_588_frames (returns [1, 588, 7]), seg_sequence_output (declared sequence of tensors),
seg_int64_output, seg_unknown_op (an operator no runtime provides), seg_noisy_load (valid, but
holds an unused initializer, which the runtime warns about while loading), emb_two_rows
(declared [any, 256], returns [2, 256]), emb_dynamic_dim (declared [any, any]), emb_fixed_batch
(declared [1, frames, 80] -> [1, 256]; valid), emb_wrong_bins ([batch, frames, 64]),
garbage.onnx (bytes that are not a model), empty.onnx (no bytes).

Names that are not UTF-8 (written as bytes into the saved file, since the ONNX library only
builds valid text): emb_bad_utf8_node (the embedding model with the first node's input
reference "feats" changed to "fe\\x87ts", a name no value has, so the runtime refuses the model
and quotes the name in its message), seg_bad_utf8_input (the segmentation model whose input is
named "input_v\\x87lues" throughout: it loads, and its input name fails the name check).
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
WINDOW = 160000
FRAMES = 589
CLASSES = 7
MARGIN = 12.0
BINS = 80
EMB = 256

F = TensorProto.FLOAT
I64 = TensorProto.INT64


def frame_sample_offsets(frames=FRAMES):
    return np.array([(80000 * (2 * f + 1)) // 589 for f in range(frames)], dtype=np.int64)


def tensor_info(name, elem, shape):
    return helper.make_tensor_value_info(name, elem, shape)


def make_model(nodes, inputs, outputs, initializers, name, check=True, producer="quillfen-test-models"):
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name=producer)
    model.ir_version = IR_VERSION
    if check:
        onnx.checker.check_model(model)
    return model


def segmentation_nodes(input_name="input_values", output_name="logits", frames=FRAMES,
                       classes=CLASSES):
    """Nodes and initializers of the steerable segmentation graph (float input)."""
    inits = [
        numpy_helper.from_array(frame_sample_offsets(frames), "frame_offsets"),
        numpy_helper.from_array(np.array(10.0, dtype=np.float32), "ten"),
        numpy_helper.from_array(np.array(0.0, dtype=np.float32), "class_min"),
        numpy_helper.from_array(np.array(float(min(classes, CLASSES) - 1), dtype=np.float32),
                                "class_max"),
        numpy_helper.from_array(np.array(classes, dtype=np.int64), "depth"),
        numpy_helper.from_array(np.array([0.0, MARGIN], dtype=np.float32), "onehot_values"),
    ]
    nodes = [
        helper.make_node("Gather", [input_name, "frame_offsets"], ["picked"], axis=2),
        helper.make_node("ReduceMean", ["picked"], ["level"], axes=[1], keepdims=0),
        helper.make_node("Mul", ["level", "ten"], ["scaled"]),
        helper.make_node("Round", ["scaled"], ["rounded"]),
        helper.make_node("Clip", ["rounded", "class_min", "class_max"], ["clipped"]),
        helper.make_node("Cast", ["clipped"], ["class_index"], to=I64),
        helper.make_node("OneHot", ["class_index", "depth", "onehot_values"], ["onehot"]),
        helper.make_node("LogSoftmax", ["onehot"], [output_name], axis=-1),
    ]
    return nodes, inits


def segmentation(classes=CLASSES, frames=FRAMES, output_name="logits", name="segmentation"):
    nodes, inits = segmentation_nodes(output_name=output_name, frames=frames, classes=classes)
    return make_model(nodes, [tensor_info("input_values", F, ["batch", "channels", "samples"])],
                      [tensor_info(output_name, F, ["batch", "frames", classes])], inits, name)


def embedding_nodes(input_name="feats", output_name="embs"):
    rng = np.random.RandomState(17)
    mix = (rng.standard_normal((2 * BINS, EMB - 2 * BINS)) / np.sqrt(2 * BINS)).astype(np.float32)
    inits = [
        numpy_helper.from_array(mix, "mix"),
        numpy_helper.from_array(np.array(0.01, dtype=np.float32), "bias"),
    ]
    nodes = [
        helper.make_node("Mul", [input_name, input_name], ["squares"]),
        helper.make_node("Concat", [input_name, "squares"], ["stacked"], axis=2),
        helper.make_node("ReduceMean", ["stacked"], ["pooled"], axes=[1], keepdims=0),
        helper.make_node("MatMul", ["pooled", "mix"], ["mixed"]),
        helper.make_node("Concat", ["pooled", "mixed"], ["projected"], axis=1),
        helper.make_node("Add", ["projected", "bias"], [output_name]),
    ]
    return nodes, inits


def embedding(feats_shape=("batch", "frames", BINS), embs_shape=("batch", EMB), name="embedding"):
    nodes, inits = embedding_nodes()
    return make_model(nodes, [tensor_info("feats", F, list(feats_shape))],
                      [tensor_info("embs", F, list(embs_shape))], inits, name)


def build_models():
    models = {}
    seg_in = tensor_info("input_values", F, ["batch", "channels", "samples"])
    seg_out = tensor_info("logits", F, ["batch", "frames", CLASSES])

    models["segmentation"] = segmentation()
    models["embedding"] = embedding()

    # Two inputs, neither named as expected: the count is checked before any name.
    nodes, inits = segmentation_nodes(input_name="a")
    nodes.append(helper.make_node("Identity", ["b"], ["b_unused"]))
    models["seg_two_inputs"] = make_model(
        nodes, [tensor_info("a", F, ["batch", "channels", "samples"]), tensor_info("b", F, [1])],
        [seg_out], inits, "seg_two_inputs")

    nodes, inits = segmentation_nodes(output_name="x")
    nodes.append(helper.make_node("Identity", ["x"], ["y"]))
    models["seg_two_outputs"] = make_model(
        nodes, [seg_in],
        [tensor_info("x", F, ["batch", "frames", CLASSES]),
         tensor_info("y", F, ["batch", "frames", CLASSES])], inits, "seg_two_outputs")

    nodes, inits = segmentation_nodes(input_name="waveform")
    models["seg_input_name"] = make_model(
        nodes, [tensor_info("waveform", F, ["batch", "channels", "samples"])], [seg_out], inits,
        "seg_input_name")

    models["seg_output_name"] = segmentation(output_name="output", name="seg_output_name")

    nodes, inits = segmentation_nodes(input_name="as_float")
    nodes.insert(0, helper.make_node("Cast", ["input_values"], ["as_float"], to=F))
    models["seg_int64_input"] = make_model(
        nodes, [tensor_info("input_values", I64, ["batch", "channels", "samples"])], [seg_out],
        inits, "seg_int64_input")

    nodes, inits = segmentation_nodes(input_name="as_rank3")
    inits.append(numpy_helper.from_array(np.array([1], dtype=np.int64), "channel_axis"))
    nodes.insert(0, helper.make_node("Unsqueeze", ["input_values", "channel_axis"], ["as_rank3"]))
    models["seg_input_rank2"] = make_model(
        nodes, [tensor_info("input_values", F, [1, "samples"])], [seg_out], inits,
        "seg_input_rank2")

    models["seg_eight_classes"] = segmentation(classes=8, name="seg_eight_classes")
    models["seg_588_frames"] = segmentation(frames=588, name="seg_588_frames")

    nodes, inits = segmentation_nodes(output_name="scores")
    nodes.append(helper.make_node("SequenceConstruct", ["scores"], ["logits"]))
    models["seg_sequence_output"] = make_model(
        nodes, [seg_in], [helper.make_tensor_sequence_value_info("logits", F, None)], inits,
        "seg_sequence_output")

    nodes, inits = segmentation_nodes(output_name="scores")
    nodes.append(helper.make_node("Cast", ["scores"], ["logits"], to=I64))
    models["seg_int64_output"] = make_model(
        nodes, [seg_in], [tensor_info("logits", I64, ["batch", "frames", CLASSES])], inits,
        "seg_int64_output")

    nodes, inits = segmentation_nodes(output_name="scores")
    nodes.append(helper.make_node("Frobnicate", ["scores"], ["logits"], domain="quillfen.test"))
    graph = helper.make_graph(nodes, "seg_unknown_op", [seg_in], [seg_out], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET),
                                                    helper.make_opsetid("quillfen.test", 1)])
    model.ir_version = IR_VERSION
    models["seg_unknown_op"] = model

    nodes, inits = segmentation_nodes()
    inits.append(numpy_helper.from_array(np.zeros((4,), dtype=np.float32), "never_used"))
    models["seg_noisy_load"] = make_model(nodes, [seg_in], [seg_out], inits, "seg_noisy_load")

    nodes, inits = embedding_nodes(output_name="one_row")
    nodes.append(helper.make_node("Concat", ["one_row", "one_row"], ["embs"], axis=0))
    models["emb_two_rows"] = make_model(
        nodes, [tensor_info("feats", F, ["batch", "frames", BINS])],
        [tensor_info("embs", F, ["rows", EMB])], inits, "emb_two_rows")

    # The width is made unknowable to shape inference (a reshape to a computed shape), so the
    # runtime keeps the declared dynamic dimension.
    nodes, inits = embedding_nodes(output_name="flat")
    inits.append(numpy_helper.from_array(np.array([1], dtype=np.int64), "one"))
    nodes += [
        helper.make_node("Shape", ["flat"], ["flat_shape"], start=0, end=1),
        helper.make_node("Neg", ["one"], ["minus_one"]),
        helper.make_node("Concat", ["flat_shape", "minus_one"], ["target_shape"], axis=0),
        helper.make_node("Reshape", ["flat", "target_shape"], ["embs"]),
    ]
    models["emb_dynamic_dim"] = make_model(
        nodes, [tensor_info("feats", F, ["batch", "frames", BINS])],
        [tensor_info("embs", F, ["batch", "width"])], inits, "emb_dynamic_dim")
    models["emb_fixed_batch"] = embedding(feats_shape=(1, "frames", BINS), embs_shape=(1, EMB),
                                          name="emb_fixed_batch")

    nodes, inits = embedding_nodes(input_name="padded")
    inits.append(numpy_helper.from_array(np.array([0, 0, 0, 0, 0, BINS - 64], dtype=np.int64),
                                         "pads"))
    nodes.insert(0, helper.make_node("Pad", ["feats", "pads"], ["padded"]))
    models["emb_wrong_bins"] = make_model(
        nodes, [tensor_info("feats", F, ["batch", "frames", 64])],
        [tensor_info("embs", F, ["batch", EMB])], inits, "emb_wrong_bins")
    return models


def with_name_bytes(model, placeholder, replacement, count=-1):
    """The serialized model with the first count occurrences of placeholder (all when -1)
    replaced by replacement bytes of the same length, so no length prefix changes."""
    assert len(placeholder) == len(replacement)
    data = model.SerializeToString()
    assert placeholder in data
    return data.replace(placeholder, replacement, count)


def byte_patched_models():
    # Node inputs are serialized before the graph inputs, so the first "feats" is the
    # first node's reference.
    patched = {"emb_bad_utf8_node": with_name_bytes(embedding(), b"feats", b"fe\x87ts", 1)}
    nodes, inits = segmentation_nodes(input_name="input_vZlues")
    seg = make_model(nodes, [tensor_info("input_vZlues", F, ["batch", "channels", "samples"])],
                     [tensor_info("logits", F, ["batch", "frames", CLASSES])], inits,
                     "seg_bad_utf8_input")
    patched["seg_bad_utf8_input"] = with_name_bytes(seg, b"input_vZlues", b"input_v\x87lues")
    return patched


def generator_main(argv, script, argument, write):
    """The command line of a model generator: exactly one argument (named argument in the usage
    line), handed to write. Returns the exit status."""
    if len(argv) != 2:
        sys.stderr.write(f"usage: {script} {argument}\n")
        return 2
    write(argv[1])
    return 0


def write_models(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for name, model in build_models().items():
        onnx.save(model, os.path.join(out_dir, name + ".onnx"))
    for name, data in byte_patched_models().items():
        with open(os.path.join(out_dir, name + ".onnx"), "wb") as f:
            f.write(data)
    with open(os.path.join(out_dir, "garbage.onnx"), "wb") as f:
        f.write(b"this is not an ONNX model\n\x00\xff\x13\x37" * 8)
    with open(os.path.join(out_dir, "empty.onnx"), "wb"):
        pass


if __name__ == "__main__":
    sys.exit(generator_main(sys.argv, "make_test_models.py", "OUT_DIR", write_models))
