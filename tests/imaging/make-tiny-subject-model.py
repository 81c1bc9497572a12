#!/usr/bin/python3
# A tiny stand-in for the subject network, made by the test build: the same
# input and output names and shapes (at SIDE, not the real side), two
# convolutions, two checkpoints and a sigmoid, so that the runner's loading
# path, its checkpoints and its shapes are tested without the real weights.
# Bright pixels come out near 1, dark ones near 0, mid grey (128) exactly 0.5:
#   output = sigmoid(GAIN * (r + g + b) / 3), each of r, g, b = (v - 128) / 256.
#
#   make-tiny-subject-model.py OUTPUT.onnx
import sys

import numpy
import onnx
from onnx import TensorProto, helper, numpy_helper

SIDE = 32
GAIN = 40.0

mean = numpy.full((1, 3, 1, 1), GAIN / 3.0, dtype=numpy.float32)
centre = numpy.zeros((1, 1, 3, 3), dtype=numpy.float32)
centre[0, 0, 1, 1] = 1.0  # a 3 x 3 convolution that passes its centre through

nodes = [
    helper.make_node("Conv", ["input", "mean"], ["summed"], kernel_shape=[1, 1], pads=[0, 0, 0, 0]),
    helper.make_node("Checkpoint", ["summed"], ["summed/checked"], domain="org.veltrane"),
    helper.make_node("Conv", ["summed/checked", "centre"], ["passed"], kernel_shape=[3, 3],
                     pads=[1, 1, 1, 1]),
    helper.make_node("Checkpoint", ["passed"], ["passed/checked"], domain="org.veltrane"),
    helper.make_node("Sigmoid", ["passed/checked"], ["output"]),
]
graph = helper.make_graph(
    nodes, "tiny-subject",
    [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, SIDE, SIDE])],
    [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 1, SIDE, SIDE])],
    [numpy_helper.from_array(mean, "mean"), numpy_helper.from_array(centre, "centre")])
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 15),
                                                helper.make_opsetid("org.veltrane", 1)])
model.ir_version = 8
onnx.checker.check_model(model)
onnx.save(model, sys.argv[1])
