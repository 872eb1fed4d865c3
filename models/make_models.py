#!/usr/bin/python3
"""Writes the small ONNX test networks (mlp.onnx, cnn.onnx, identity.onnx, slow.onnx) into a folder.

The weights come from fixed seeds, so every run writes byte-identical files. reference.py recomputes the
outputs of these networks with numpy from the weights stored in the files.

Usage: make_models.py OUT_DIR [--identity-elements N]
"""

import argparse
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

# Opset 11 and IR version 7: the networks date from an engine that read no later ones.
OPSET = 11
IR_VERSION = 7


def _weights(rng, shape, scale):
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def _model(graph):
    model = helper.make_model(graph, producer_name="ks_make_models",
                              opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = IR_VERSION
    onnx.checker.check_model(model)
    return model


def make_mlp():
    """input [1,16] -> Gemm(16->8) -> Relu -> Gemm(8->4) -> logits [1,4]."""
    rng = np.random.RandomState(1)
    w1 = _weights(rng, (8, 16), 0.5)
    b1 = _weights(rng, (8,), 0.1)
    w2 = _weights(rng, (4, 8), 0.5)
    b2 = _weights(rng, (4,), 0.1)
    nodes = [
        helper.make_node("Gemm", ["input", "fc1.weight", "fc1.bias"], ["fc1"], transB=1),
        helper.make_node("Relu", ["fc1"], ["relu1"]),
        helper.make_node("Gemm", ["relu1", "fc2.weight", "fc2.bias"], ["logits"], transB=1),
    ]
    graph = helper.make_graph(
        nodes, "mlp",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 16])],
        [helper.make_tensor_value_info("logits", TensorProto.FLOAT, [1, 4])],
        initializer=[numpy_helper.from_array(w1, "fc1.weight"), numpy_helper.from_array(b1, "fc1.bias"),
                     numpy_helper.from_array(w2, "fc2.weight"), numpy_helper.from_array(b2, "fc2.bias")])
    return _model(graph)


def make_cnn():
    """image [1,3,8,8] -> Conv(3->4, 3x3, pad 1) -> Relu -> features [1,4,8,8]
                                                        -> GlobalAveragePool -> pooled [1,4,1,1]."""
    rng = np.random.RandomState(2)
    w = _weights(rng, (4, 3, 3, 3), 0.3)
    b = _weights(rng, (4,), 0.1)
    nodes = [
        helper.make_node("Conv", ["image", "conv.weight", "conv.bias"], ["conv"],
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1], strides=[1, 1]),
        helper.make_node("Relu", ["conv"], ["features"]),
        helper.make_node("GlobalAveragePool", ["features"], ["pooled"]),
    ]
    graph = helper.make_graph(
        nodes, "cnn",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 8, 8])],
        [helper.make_tensor_value_info("features", TensorProto.FLOAT, [1, 4, 8, 8]),
         helper.make_tensor_value_info("pooled", TensorProto.FLOAT, [1, 4, 1, 1])],
        initializer=[numpy_helper.from_array(w, "conv.weight"), numpy_helper.from_array(b, "conv.bias")])
    return _model(graph)


def make_identity(elements):
    """input [1,N] -> Identity -> output [1,N]: moves bytes through the server unchanged."""
    nodes = [helper.make_node("Identity", ["input"], ["output"])]
    graph = helper.make_graph(
        nodes, "identity",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, elements])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, elements])])
    return _model(graph)


def make_slow():
    """iterations [1] int64, x [1,64] -> x = tanh(x W) repeated `iterations` times -> y [1,64]: a network
    whose run time the caller chooses, for tests of long inferences."""
    rng = np.random.RandomState(3)
    w = _weights(rng, (64, 64), 0.2)
    body = helper.make_graph(
        [helper.make_node("Identity", ["condition_in"], ["condition_out"]),
         helper.make_node("MatMul", ["value_in", "slow.weight"], ["product"]),
         helper.make_node("Tanh", ["product"], ["value_out"])],
        "slow_body",
        [helper.make_tensor_value_info("iteration", TensorProto.INT64, []),
         helper.make_tensor_value_info("condition_in", TensorProto.BOOL, []),
         helper.make_tensor_value_info("value_in", TensorProto.FLOAT, [1, 64])],
        [helper.make_tensor_value_info("condition_out", TensorProto.BOOL, []),
         helper.make_tensor_value_info("value_out", TensorProto.FLOAT, [1, 64])])
    nodes = [
        helper.make_node("Squeeze", ["iterations"], ["trip_count"], axes=[0]),
        helper.make_node("Constant", [], ["always"], value=helper.make_tensor("always", TensorProto.BOOL, [], [True])),
        helper.make_node("Loop", ["trip_count", "always", "x"], ["y"], body=body),
    ]
    graph = helper.make_graph(
        nodes, "slow",
        [helper.make_tensor_value_info("iterations", TensorProto.INT64, [1]),
         helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 64])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 64])],
        initializer=[numpy_helper.from_array(w, "slow.weight")])
    return _model(graph)


def main(argv):
    parser = argparse.ArgumentParser(description="Write the ONNX test networks into OUT_DIR.")
    parser.add_argument("out_dir", help="folder to write mlp.onnx, cnn.onnx and identity.onnx into")
    parser.add_argument("--identity-elements", type=int, default=1024, metavar="N",
                        help="element count N of identity.onnx's [1,N] input and output (default 1024)")
    args = parser.parse_args(argv)
    if args.identity_elements < 1:
        parser.error("--identity-elements must be at least 1")

    os.makedirs(args.out_dir, exist_ok=True)
    models = {"mlp": make_mlp(), "cnn": make_cnn(), "identity": make_identity(args.identity_elements),
              "slow": make_slow()}
    for name, model in models.items():
        onnx.save(model, os.path.join(args.out_dir, name + ".onnx"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
