#!/usr/bin/python3
"""Writes small ONNX networks made to crash, wedge or swell ONNX Runtime, each with the inputs to feed it.

Built from the engine's own crash reports and from attributes, shapes and ranks its kernels take on trust:
integer division of the smallest value by -1, zero groups and empty windows, ranks decided inside the
graph (a Reshape driven by an input), empty tensors read as scalars, local functions nested past the
stack, loops without end and allocations no budget sees. Every input is a tensor the protocol carries
(seven data types, at most four dimensions), so each network can be sent to the server as a client would.

For each case NAME the folder gets NAME.onnx and NAME.inputs.json: a list of {"name", "type", "shape",
"values"} in the network's input order, "type" being the protocol's data type number; and, for a case whose
outcome is known (those the engine fuzzer found), NAME.expected: what run_hostile_networks.py must see.

Usage: make_hostile_networks.py OUT_DIR
"""

import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
# The protocol's data types and numpy's.
PROTOCOL_TYPES = {TensorProto.FLOAT: (0, np.float32), TensorProto.INT32: (2, np.int32),
                  TensorProto.INT8: (4, np.int8), TensorProto.UINT8: (5, np.uint8),
                  TensorProto.INT64: (6, np.int64), TensorProto.INT16: (3, np.int16)}
INT64_MAX = np.iinfo(np.int64).max


class Case:
    def __init__(self, name, nodes, inputs, outputs, initializers=(), functions=(), opset=OPSET, domains=(),
                 expected=None):
        self.name = name
        self.expected = expected
        self.nodes = list(nodes)
        self.inputs = list(inputs)  # (name, onnx type, shape, values)
        self.outputs = list(outputs)  # (name, onnx type) of any shape
        self.initializers = list(initializers)
        self.functions = list(functions)
        self.opset = opset
        self.domains = list(domains)

    def write(self, folder):
        graph = helper.make_graph(
            self.nodes, self.name,
            [helper.make_tensor_value_info(n, t, list(s)) for n, t, s, _ in self.inputs],
            [helper.make_tensor_value_info(n, t, None) for n, t in self.outputs],
            initializer=self.initializers)
        opsets = [helper.make_opsetid("", self.opset)] + [helper.make_opsetid(d, 1) for d in self.domains]
        model = helper.make_model(graph, producer_name="ks_hostile", opset_imports=opsets, functions=self.functions)
        model.ir_version = 8
        with open(os.path.join(folder, self.name + ".onnx"), "wb") as out:
            out.write(model.SerializeToString())
        feeds = []
        for n, t, s, values in self.inputs:
            number, dtype = PROTOCOL_TYPES[t]
            array = np.asarray(values, dtype=dtype).reshape(s)
            feeds.append({"name": n, "type": number, "shape": list(s), "values": array.ravel().tolist()})
        with open(os.path.join(folder, self.name + ".inputs.json"), "w") as out:
            json.dump(feeds, out)
        if self.expected:
            with open(os.path.join(folder, self.name + ".expected"), "w") as out:
                out.write(self.expected + "\n")


def const(name, array):
    return helper.make_node("Constant", [], [name], value=numpy_helper.from_array(np.asarray(array), name))


def integer_division():
    cases = []
    for op in ("Div", "Mod"):
        for onnx_type, dtype in ((TensorProto.INT32, np.int32), (TensorProto.INT64, np.int64),
                                 (TensorProto.INT16, np.int16), (TensorProto.INT8, np.int8)):
            low = int(np.iinfo(dtype).min)
            tag = f"{op.lower()}_{np.dtype(dtype).name}"
            attrs = {"fmod": 0} if op == "Mod" else {}
            cases.append(Case(f"{tag}_min_by_minus_one", [helper.make_node(op, ["x", "y"], ["z"], **attrs)],
                              [("x", onnx_type, [2], [low, low]), ("y", onnx_type, [2], [-1, -1])],
                              [("z", onnx_type)]))
            cases.append(Case(f"{tag}_by_zero", [helper.make_node(op, ["x", "y"], ["z"], **attrs)],
                              [("x", onnx_type, [2], [7, 7]), ("y", onnx_type, [2], [0, 0])], [("z", onnx_type)]))
    # The same, folded while loading: both operands are constants.
    cases.append(Case("div_int32_min_by_minus_one_at_load",
                      [const("a", np.array([-2**31], np.int32)), const("b", np.array([-1], np.int32)),
                       helper.make_node("Div", ["a", "b"], ["q"]), helper.make_node("Add", ["x", "q"], ["z"])],
                      [("x", TensorProto.INT32, [1], [1])], [("z", TensorProto.INT32)]))
    return cases


def attributes():
    f = TensorProto.FLOAT
    image = ("x", f, [1, 4, 4, 4], np.ones(64))
    return [
        Case("conv_group_zero", [helper.make_node("Conv", ["x", "w"], ["y"], group=0)],
             [image, ("w", f, [4, 4, 1, 1], np.ones(16))], [("y", f)]),
        Case("conv_transpose_group_zero", [helper.make_node("ConvTranspose", ["x", "w"], ["y"], group=0)],
             [image, ("w", f, [4, 4, 1, 1], np.ones(16))], [("y", f)]),
        Case("stft_empty_window",
             [const("step", np.array(1, np.int64)), const("window", np.zeros([0], np.float32)),
              helper.make_node("STFT", ["signal", "step", "window"], ["y"])],
             [("signal", f, [1, 16, 1], np.ones(16))], [("y", f)]),
        Case("stft_zero_step",
             [const("step", np.array(0, np.int64)), const("length", np.array(4, np.int64)),
              helper.make_node("STFT", ["signal", "step", "", "length"], ["y"])],
             [("signal", f, [1, 16, 1], np.ones(16))], [("y", f)]),
        Case("depth_to_space_blocksize_zero", [helper.make_node("DepthToSpace", ["x"], ["y"], blocksize=0)],
             [image], [("y", f)]),
        Case("space_to_depth_blocksize_zero", [helper.make_node("SpaceToDepth", ["x"], ["y"], blocksize=0)],
             [image], [("y", f)]),
        Case("max_pool_stride_zero", [helper.make_node("MaxPool", ["x"], ["y"], kernel_shape=[2, 2], strides=[0, 0])],
             [image], [("y", f)]),
        Case("average_pool_huge_pads",
             [helper.make_node("AveragePool", ["x"], ["y"], kernel_shape=[2, 2], pads=[2**40, 2**40, 0, 0])],
             [image], [("y", f)]),
        Case("lrn_size_zero", [helper.make_node("LRN", ["x"], ["y"], size=0)], [image], [("y", f)]),
        Case("col2im_zero_block",
             [const("image_shape", np.array([4, 4], np.int64)), const("block_shape", np.array([0, 0], np.int64)),
              helper.make_node("Col2Im", ["x", "image_shape", "block_shape"], ["y"])],
             [("x", f, [1, 4, 4], np.ones(16))], [("y", f)]),
        Case("gather_elements_axis_out_of_rank", [helper.make_node("GatherElements", ["x", "i"], ["y"], axis=7)],
             [("x", f, [2, 2], np.ones(4)), ("i", TensorProto.INT64, [2, 2], [0, 1, 0, 1])], [("y", f)]),
        Case("one_hot_negative_depth",
             [const("values", np.array([0, 1], np.float32)), helper.make_node("OneHot", ["i", "d", "values"], ["y"])],
             [("i", TensorProto.INT64, [2], [0, 1]), ("d", TensorProto.INT64, [1], [-5])], [("y", f)]),
        Case("grid_sample_huge_grid", [helper.make_node("GridSample", ["x", "g"], ["y"])],
             [image, ("g", f, [1, 2, 2, 2], [1e30, -1e30, 3e38, -3e38, 1e30, 1e30, -1e30, -1e30])], [("y", f)]),
    ]


def in_graph_ranks():
    """A Reshape fed by an input gives a kernel any rank, which the check of the graph's inputs never sees."""
    f = TensorProto.FLOAT
    cases = []
    for op, attrs in (("BatchNormalization", {}), ("InstanceNormalization", {}), ("LRN", {"size": 3}),
                      ("DepthToSpace", {"blocksize": 2}), ("SpaceToDepth", {"blocksize": 2}),
                      ("MaxPool", {"kernel_shape": [2, 2]}), ("GlobalAveragePool", {}), ("Upsample", {}),
                      ("Col2Im", {}), ("GridSample", {}), ("LpPool", {"kernel_shape": [2, 2]}),
                      ("MaxRoiPool", {"pooled_shape": [1, 1]}), ("RoiAlign", {}), ("NonMaxSuppression", {}),
                      ("Einsum", {"equation": "ij->ji"}), ("DFT", {})):
        for shape in ([16], [2, 2, 2, 2, 1, 1]):
            extra_inputs = []
            extra = []
            if op in ("BatchNormalization",):
                extra = ["s", "b", "m", "v"]
                extra_inputs = [(n, f, [2], [1, 1]) for n in extra]
            elif op == "InstanceNormalization":
                extra = ["s", "b"]
                extra_inputs = [(n, f, [2], [1, 1]) for n in extra]
            elif op == "Upsample":
                extra = ["scales"]
                extra_inputs = [("scales", f, [4], [1, 1, 2, 2])]
            elif op == "Col2Im":
                extra = ["image_shape", "block_shape"]
                extra_inputs = [("image_shape", TensorProto.INT64, [2], [2, 2]),
                                ("block_shape", TensorProto.INT64, [2], [1, 1])]
            elif op == "GridSample":
                extra = ["grid"]
                extra_inputs = [("grid", f, [1, 1, 1, 2], [0, 0])]
            elif op in ("MaxRoiPool",):
                extra = ["rois"]
                extra_inputs = [("rois", f, [1, 5], [0, 0, 0, 1, 1])]
            elif op == "RoiAlign":
                extra = ["rois", "batch"]
                extra_inputs = [("rois", f, [1, 4], [0, 0, 1, 1]), ("batch", TensorProto.INT64, [1], [0])]
            elif op == "NonMaxSuppression":
                extra = ["scores"]
                extra_inputs = [("scores", f, [1, 1, 4], [1, 1, 1, 1])]
            name = f"rank_{len(shape)}_into_{op.lower()}"
            cases.append(Case(
                name,
                [helper.make_node("Reshape", ["x", "shape"], ["r"]), helper.make_node(op, ["r"] + extra, ["y"], **attrs)],
                [("x", f, [16], np.arange(16)), ("shape", TensorProto.INT64, [len(shape)], shape)] + extra_inputs,
                [("y", TensorProto.INT64 if op == "NonMaxSuppression" else f)],
                opset=9 if op == "Upsample" else OPSET))
    return cases


def empty_scalars():
    """Empty tensors made inside the graph, where a kernel reads one value."""
    f = TensorProto.FLOAT
    i64 = TensorProto.INT64

    def empty(name, source):
        # x[1:1]: no element, from a one-element input.
        return [const(name + "_s", np.array([1], np.int64)), const(name + "_e", np.array([1], np.int64)),
                helper.make_node("Slice", [source, name + "_s", name + "_e"], [name])]

    one_int = ("n", i64, [1], [3])
    one_float = ("v", f, [1], [2.0])
    return [
        Case("range_empty_delta", empty("d", "n") + [helper.make_node("Range", ["n", "n", "d"], ["y"])],
             [one_int], [("y", i64)]),
        Case("range_empty_start", empty("s", "n") + [helper.make_node("Range", ["s", "n", "n"], ["y"])],
             [one_int], [("y", i64)]),
        Case("topk_empty_k", empty("k", "n") + [helper.make_node("TopK", ["x", "k"], ["y", "i"])],
             [one_int, ("x", f, [4], [1, 2, 3, 4])], [("y", f), ("i", i64)]),
        Case("one_hot_empty_depth",
             empty("d", "n") + [const("values", np.array([0, 1], np.float32)),
                                helper.make_node("OneHot", ["n", "d", "values"], ["y"])],
             [one_int], [("y", f)]),
        Case("cum_sum_empty_axis", empty("a", "n") + [helper.make_node("CumSum", ["x", "a"], ["y"])],
             [one_int, ("x", f, [4], [1, 2, 3, 4])], [("y", f)]),
        Case("pad_empty_value",
             empty("c", "v") + [const("p", np.array([1, 1], np.int64)), helper.make_node("Pad", ["x", "p", "c"], ["y"])],
             [one_float, ("x", f, [4], [1, 2, 3, 4])], [("y", f)]),
        Case("constant_of_shape_empty", empty("s", "n") + [helper.make_node("ConstantOfShape", ["s"], ["y"])],
             [one_int], [("y", f)]),
        Case("tile_empty_repeats", empty("r", "n") + [helper.make_node("Tile", ["x", "r"], ["y"])],
             [one_int, ("x", f, [4], [1, 2, 3, 4])], [("y", f)]),
        Case("split_to_sequence_empty_split",
             empty("s", "n") + [helper.make_node("SplitToSequence", ["x", "s"], ["q"]),
                                helper.make_node("ConcatFromSequence", ["q"], ["y"], axis=0)],
             [one_int, ("x", f, [4], [1, 2, 3, 4])], [("y", f)]),
        Case("clip_empty_bounds", empty("lo", "v") + [helper.make_node("Clip", ["x", "lo", "lo"], ["y"])],
             [one_float, ("x", f, [4], [1, 2, 3, 4])], [("y", f)]),
        Case("reduce_sum_empty_axes_keep",
             empty("a", "n") + [helper.make_node("ReduceSum", ["x", "a"], ["y"], noop_with_empty_axes=1)],
             [one_int, ("x", f, [4], [1, 2, 3, 4])], [("y", f)]),
        Case("scatter_elements_empty_indices",
             empty("i", "n") + [helper.make_node("ScatterElements", ["x", "i", "x"], ["y"])],
             [one_int, ("x", f, [1], [1])], [("y", f)]),
        Case("mel_weight_matrix_empty",
             empty("m", "n") + [const("dft", np.array(16, np.int64)), const("rate", np.array(16000, np.int64)),
                                const("lo", np.array(0, np.float32)), const("hi", np.array(8000, np.float32)),
                                helper.make_node("MelWeightMatrix", ["m", "dft", "rate", "lo", "hi"], ["y"])],
             [one_int], [("y", f)]),
        Case("hann_window_empty", empty("s", "n") + [helper.make_node("HannWindow", ["s"], ["y"])],
             [one_int], [("y", f)]),
    ]


def deep_functions(depth=20000):
    """A chain of local functions, each calling the last: inlined recursively while loading."""
    domain = "ks.deep"
    functions = [helper.make_function(domain, "f0", ["a"], ["b"], [helper.make_node("Identity", ["a"], ["b"])],
                                      [helper.make_opsetid("", OPSET)])]
    for level in range(1, depth):
        functions.append(helper.make_function(
            domain, f"f{level}", ["a"], ["b"], [helper.make_node(f"f{level - 1}", ["a"], ["b"], domain=domain)],
            [helper.make_opsetid("", OPSET), helper.make_opsetid(domain, 1)]))
    f = TensorProto.FLOAT
    return [Case("local_functions_20000_deep", [helper.make_node(f"f{depth - 1}", ["x"], ["y"], domain=domain)],
                 [("x", f, [1], [1])], [("y", f)], functions=functions, domains=[domain])]


def wedges():
    """Runs that do not end: a loop without a node and an endless trip count; quadratic suppression."""
    f = TensorProto.FLOAT
    # The body hands its loop-carried value and its condition straight back.
    body = helper.make_graph([], "body",
                             [helper.make_tensor_value_info("i", TensorProto.INT64, []),
                              helper.make_tensor_value_info("c", TensorProto.BOOL, []),
                              helper.make_tensor_value_info("v", f, [1])],
                             [helper.make_tensor_value_info("c", TensorProto.BOOL, []),
                              helper.make_tensor_value_info("v", f, [1])])
    loop = Case("loop_without_nodes_int64_max",
                [const("m", np.array(INT64_MAX, np.int64)), const("cond", np.array(True)),
                 helper.make_node("Loop", ["m", "cond", "x"], ["y"], body=body)],
                [("x", f, [1], [1])], [("y", f)])
    # A real loop, for contrast: every iteration adds one.
    body_add = helper.make_graph([const("one", np.array([1], np.float32)), helper.make_node("Add", ["v", "one"], ["w"]),
                                  helper.make_node("Identity", ["c"], ["c_out"])], "body",
                                 [helper.make_tensor_value_info("i", TensorProto.INT64, []),
                                  helper.make_tensor_value_info("c", TensorProto.BOOL, []),
                                  helper.make_tensor_value_info("v", f, [1])],
                                 [helper.make_tensor_value_info("c_out", TensorProto.BOOL, []),
                                  helper.make_tensor_value_info("w", f, [1])])
    counting = Case("loop_counting_to_int64_max",
                    [const("m", np.array(INT64_MAX, np.int64)), const("cond", np.array(True)),
                     helper.make_node("Loop", ["m", "cond", "x"], ["y"], body=body_add)],
                    [("x", f, [1], [0])], [("y", f)])
    boxes = 20000
    nms = Case("non_max_suppression_quadratic",
               [const("max", np.array([boxes], np.int64)), const("iou", np.array([1.0], np.float32)),
                helper.make_node("Tile", ["box", "count"], ["b"]), helper.make_node("Tile", ["score", "count2"], ["s"]),
                helper.make_node("NonMaxSuppression", ["b", "s", "max", "iou"], ["y"])],
               [("box", f, [1, 1, 4], [0, 0, 1, 1]), ("count", TensorProto.INT64, [3], [1, boxes, 1]),
                ("score", f, [1, 1, 1], [1]), ("count2", TensorProto.INT64, [3], [1, 1, boxes])],
               [("y", TensorProto.INT64)])
    return [loop, counting, nms]


def swelling():
    """Memory outside the budgets: scan outputs of a long loop, RoiAlign's grid, NMS over many classes."""
    f = TensorProto.FLOAT
    body = helper.make_graph([helper.make_node("Identity", ["c"], ["c_out"]),
                              helper.make_node("ConstantOfShape", ["shape"], ["big"],
                                               value=helper.make_tensor("v", f, [1], [1.0]))],
                             "body",
                             [helper.make_tensor_value_info("i", TensorProto.INT64, []),
                              helper.make_tensor_value_info("c", TensorProto.BOOL, [])],
                             [helper.make_tensor_value_info("c_out", TensorProto.BOOL, []),
                              helper.make_tensor_value_info("big", f, [1 << 20])])
    scan = Case("loop_scan_outputs_16_gib",
                [const("cond", np.array(True)), const("shape", np.array([1 << 20], np.int64)),
                 helper.make_node("Loop", ["m", "cond"], ["y"], body=body)],
                [("m", TensorProto.INT64, [1], [4096])], [("y", f)])
    roi = Case("roi_align_huge_grid",
               [helper.make_node("RoiAlign", ["x", "rois", "batch"], ["y"], output_height=1, output_width=1,
                                 sampling_ratio=0)],
               [("x", f, [1, 1, 2, 2], [1, 2, 3, 4]), ("rois", f, [1, 4], [0, 0, 1e9, 1e9]),
                ("batch", TensorProto.INT64, [1], [0])], [("y", f)])
    classes = 1 << 28
    nms = Case("non_max_suppression_2_28_classes",
               [const("max", np.array([1], np.int64)), helper.make_node("Expand", ["score", "shape"], ["s"]),
                helper.make_node("NonMaxSuppression", ["box", "s", "max"], ["y"])],
               [("box", f, [1, 1, 4], [0, 0, 1, 1]), ("score", f, [1, 1, 1], [1]),
                ("shape", TensorProto.INT64, [3], [1, classes, 1])], [("y", TensorProto.INT64)])
    expand = Case("expand_to_64_gib",
                  [helper.make_node("Expand", ["x", "shape"], ["y"])],
                  [("x", f, [1], [1]), ("shape", TensorProto.INT64, [2], [1 << 17, 1 << 17])], [("y", f)])
    return [scan, roi, nms, expand]


def old_opsets():
    """Networks of operator sets before 7, which the worker upgrades with ONNX's version converter: attributes
    out of range for its broadcast adapters, operands whose shapes it cannot know, an operator it has never
    heard of."""
    f = TensorProto.FLOAT
    axis = Case("upgrade_broadcast_axis_out_of_range",
                [helper.make_node("Add", ["x", "y"], ["z"], broadcast=1, axis=1000)],
                [("x", f, [2, 3], [1] * 6), ("y", f, [3], [1] * 3)], [("z", f)], opset=6)
    negative = Case("upgrade_broadcast_negative_axis",
                    [helper.make_node("Mul", ["x", "y"], ["z"], broadcast=1, axis=-1000)],
                    [("x", f, [2, 3], [1] * 6), ("y", f, [3], [1] * 3)], [("z", f)], opset=6)
    gemm = Case("upgrade_gemm_of_unknown_shapes",
                [helper.make_node("Reshape", ["a", "s"], ["r"]),
                 helper.make_node("Gemm", ["r", "r", "r"], ["y"], broadcast=1)],
                [("a", f, [4], [1] * 4), ("s", TensorProto.INT64, [2], [2, 2])], [("y", f)], opset=6)
    unknown = Case("upgrade_unknown_operator",
                   [helper.make_node("NoSuchOperator", ["x"], ["y"])], [("x", f, [1], [1])], [("y", f)], opset=1)
    return [axis, negative, gemm, unknown]


def fuzzed():
    """Found by the engine fuzzer (ks_engine_fuzzer), each with the outcome the server must give it: old networks
    whose upgrade ended the process inside ONNX's shape inference or version converter (those the worker now
    refuses first, and one it cannot foresee, which its sandbox contains), and an input handed back as an
    output, which the worker read from a mapping it had replaced."""
    f = TensorProto.FLOAT
    return [
        Case("upgrade_output_nothing_defines", [helper.make_node("Relu", ["x"], ["r"])], [("x", f, [2], [1, 2])],
             [("nowhere", f)], opset=5, expected="refused at load"),
        Case("upgrade_div_of_one_input", [helper.make_node("Div", ["x"], ["y"])], [("x", f, [2, 2], [1] * 4)],
             [("y", f)], opset=6, expected="refused at load"),
        Case("upgrade_rnn_of_rank_one", [helper.make_node("RNN", ["x", "x", "x"], ["y"])],
             [("x", f, [5], [1] * 5)], [("y", f)], opset=3, expected="ended a worker while loading"),
        Case("input_returned_as_output", [], [("x", f, [4096], np.arange(4096))], [("x", f)], expected="ran"),
        # ONNX Runtime's own: a variadic Max with an input left out reads a tensor that is not there; a normal
        # distribution of infinite negative scale aborts; LayerNormalization before its operator set, with an
        # empty bias, ends the session's creation; GatherND's smallest batch_dims aborts the run; a Scan of
        # 2^30 scan inputs has the engine allocate 8 GiB outside the budgets and fill it past the load's time
        # limit, and one of 2^31 - 1 makes ONNX's shape inference (run for the rewrite of Max) fill a vector
        # of 2^31 entries.
        Case("max_with_an_input_left_out", [helper.make_node("Max", ["x", "", "x"], ["y"])],
             [("x", f, [2, 3], [1] * 6)], [("y", f)], expected="ended a worker while running"),
        Case("random_normal_like_negative_infinite_scale",
             [helper.make_node("RandomNormalLike", ["x"], ["y"], scale=float("-inf"))], [("x", f, [2], [1, 2])],
             [("y", f)], expected="ended a worker while running"),
        Case("layer_normalization_opset_13_empty_bias", [helper.make_node("LayerNormalization", ["w", "w", ""], ["y"])],
             [("w", f, [5], [1] * 5)], [("y", f)], opset=13, expected="ended a worker while loading"),
        Case("gather_nd_batch_dims_int64_min",
             [helper.make_node("GatherND", ["w", "i"], ["y"], batch_dims=-2**63)],
             [("w", f, [3], [1, 2, 3]), ("i", TensorProto.INT64, [1, 1], [-1])], [("y", f)],
             expected="ended a worker while running"),
        Case("scan_a_billion_scan_inputs_in_the_engine",
             [helper.make_node("Scan", ["x"], ["y"], body=helper.make_graph([], "body", [], []),
                               num_scan_inputs=2**30)],
             [("x", TensorProto.INT64, [4], [1, 2, 3, 4])], [("y", f)], opset=11,
             expected="ended a worker while loading"),
        Case("scan_two_billion_scan_inputs",
             [helper.make_node("Max", ["x", "x"], ["m"]),
              helper.make_node("Scan", ["m"], ["y"], body=helper.make_graph([], "body", [], []),
                               num_scan_inputs=2**31 - 1)],
             [("x", f, [2], [1, 2])], [("y", f), ("m", f)], opset=9, expected="ended a worker while loading"),
    ]


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    cases = integer_division() + attributes() + in_graph_ranks() + empty_scalars() + deep_functions() + wedges() + \
        swelling() + old_opsets() + fuzzed()
    for case in cases:
        case.write(folder)
    print(f"{len(cases)} networks in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
