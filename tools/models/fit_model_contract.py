#!/usr/bin/python3
"""Fits an ONNX model with one input and one output to one of the engine's two model contracts.

Usage: fit_model_contract.py segmentation|embedding IN.onnx [OUT.onnx]

The contracts (what the engine checks when it opens a model):
  segmentation  input "input_values" float32 [any, any, any]  ->  output "logits" float32 [any, any, 7]
  embedding     input "feats"        float32 [any, any, 80]   ->  output "embs"   float32 [any, 256]
A fixed size must be declared exactly where the contract has one; a dynamic dimension there is
refused as the engine refuses it. At run time the engine feeds [1, 1, 160000] and needs [1, 589, 7]
back (segmentation), or feeds [1, frames, 80] and needs [1, 256] back (embedding).

The tool renames the model's single input and single output to the contract's names (and every
use of those names inside the graph), checks the declared element types and shapes, and says what
does not fit. With OUT.onnx it writes the renamed model there, but only when everything fits.
Without OUT.onnx it only checks. Exit status: 0 the model fits, 1 it does not (nothing written),
2 wrong usage or a file that is not a readable ONNX model.

Needs Debian's python3-onnx.
"""

import sys

import onnx
from onnx import TensorProto

ANY = None
CONTRACTS = {
    "segmentation": (("input_values", [ANY, ANY, ANY]), ("logits", [ANY, ANY, 7])),
    "embedding": (("feats", [ANY, ANY, 80]), ("embs", [ANY, 256])),
}


def declared_dims(value_info):
    """The declared dimensions as integers, -1 for a dynamic one; None when no shape is declared."""
    tensor = value_info.type.tensor_type
    if not tensor.HasField("shape"):
        return None
    return [d.dim_value if d.HasField("dim_value") else -1 for d in tensor.shape.dim]


def element_type_name(elem_type):
    return TensorProto.DataType.Name(elem_type).lower() if elem_type else "undefined"


def problems_of(kind_word, value_info, name, expected_dims):
    """What keeps one declared input or output from the contract, in the engine's order of checks."""
    if value_info.type.WhichOneof("value") != "tensor_type":
        return [f"{kind_word} {name} is not a tensor"]
    elem_type = value_info.type.tensor_type.elem_type
    if elem_type != TensorProto.FLOAT:
        return [f"{kind_word} {name} is {element_type_name(elem_type)}, not float32"]
    dims = declared_dims(value_info)
    if dims is None:
        return [f"{kind_word} {name} declares no shape; the engine needs rank {len(expected_dims)}"]
    if len(dims) != len(expected_dims):
        return [f"{kind_word} {name} shape {dims} has wrong rank (the engine needs rank {len(expected_dims)})"]
    return [f"{kind_word} {name} dim {i} is {declared}, not {expected}"
            for i, (declared, expected) in enumerate(zip(dims, expected_dims))
            if expected is not ANY and declared != expected]


def graph_names(graph, names):
    """Every tensor name used or defined in the graph and its subgraphs."""
    for collection in (graph.input, graph.output, graph.value_info):
        names.update(v.name for v in collection)
    names.update(t.name for t in graph.initializer)
    for node in graph.node:
        names.update(node.input)
        names.update(node.output)
        for attribute in node.attribute:
            for subgraph in list(attribute.graphs) + ([attribute.g] if attribute.HasField("g") else []):
                graph_names(subgraph, names)
    return names


def rename(graph, old, new):
    """Renames tensor `old` to `new` wherever the graph or its subgraphs use it."""
    for collection in (graph.input, graph.output, graph.value_info):
        for value in collection:
            if value.name == old:
                value.name = new
    for tensor in graph.initializer:
        if tensor.name == old:
            tensor.name = new
    for node in graph.node:
        for i, name in enumerate(node.input):
            if name == old:
                node.input[i] = new
        for i, name in enumerate(node.output):
            if name == old:
                node.output[i] = new
        for attribute in node.attribute:
            for subgraph in list(attribute.graphs) + ([attribute.g] if attribute.HasField("g") else []):
                rename(subgraph, old, new)


def fit(model, kind):
    """Renames the model's input and output to the contract's names in place; returns
    (messages about what was done, problems that keep the model from the contract)."""
    graph = model.graph
    initializers = {t.name for t in graph.initializer}
    inputs = [v for v in graph.input if v.name not in initializers]
    outputs = list(graph.output)
    problems = []
    if len(inputs) != 1:
        problems.append(f"expected one input, got {len(inputs)} ({', '.join(v.name for v in inputs)})")
    if len(outputs) != 1:
        problems.append(f"expected one output, got {len(outputs)} ({', '.join(v.name for v in outputs)})")
    if problems:
        return [], problems

    done = []
    (input_name, input_dims), (output_name, output_dims) = CONTRACTS[kind]
    for value, wanted in ((inputs[0], input_name), (outputs[0], output_name)):
        old = value.name
        if old == wanted:
            continue
        names = graph_names(graph, set())
        if wanted in names:
            # The contract's name belongs to some other tensor of the graph: move it aside first.
            spare = wanted + "_renamed"
            while spare in names:
                spare += "_"
            rename(graph, wanted, spare)
            done.append(f"renamed the inner tensor {wanted!r} to {spare!r}")
        rename(graph, old, wanted)
        done.append(f"renamed {'input' if wanted == input_name else 'output'} {old!r} to {wanted!r}")

    problems += problems_of("input", inputs[0], input_name, input_dims)
    problems += problems_of("output", outputs[0], output_name, output_dims)
    return done, problems


def main(argv):
    if len(argv) not in (3, 4) or argv[1] not in CONTRACTS:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    kind, source = argv[1], argv[2]
    target = argv[3] if len(argv) == 4 else None
    try:
        model = onnx.load(source)
    except Exception as error:  # any unreadable or invalid file
        print(f"{source}: not a readable ONNX model: {error}", file=sys.stderr)
        return 2

    done, problems = fit(model, kind)
    for line in done:
        print(line)
    if problems:
        print(f"{source} does not fit the {kind} contract:", file=sys.stderr)
        for problem in problems:
            print(f"  {problem}", file=sys.stderr)
        return 1
    if target:
        onnx.save(model, target)
        print(f"{target}: fits the {kind} contract")
    else:
        print(f"{source}: fits the {kind} contract" + (" once renamed" if done else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
