"""The conformance driver's own judgement: the comparison it applies to every output and the rule that
decides which cases the protocol can carry."""

import os
import shutil
import sys
import tempfile
import unittest

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from case_run import as_recorded  # noqa: E402
from onnx_cases import load_case  # noqa: E402
from output_compare import compare  # noqa: E402


class CompareTest(unittest.TestCase):
    def test_nan_matches_only_nan(self):
        want = np.array([1.0, np.nan, np.inf], dtype=np.float32)
        self.assertTrue(compare(want.copy(), want)[0])
        ok, why = compare(np.array([1.0, 0.0, np.inf], dtype=np.float32), want)
        self.assertFalse(ok)
        self.assertIn("1 NaN or infinity", why)

    def test_tolerance_is_relative_to_the_recorded_value(self):
        want = np.array([1000.0], dtype=np.float32)
        self.assertTrue(compare(np.array([1001.0], dtype=np.float32), want)[0])  # within 1e-3 * 1000 + 1e-4
        ok, why = compare(np.array([1001.2], dtype=np.float32), want)
        self.assertFalse(ok)
        self.assertIn("max abs diff 1.2", why)

    def test_int64_neighbours_beyond_float64_precision_differ(self):
        want = np.array([2**62], dtype=np.int64)
        ok, why = compare(np.array([2**62 + 1], dtype=np.int64), want, rtol=0, atol=0)
        self.assertFalse(ok)
        self.assertIn("max abs diff 1", why)

    def test_dtype_and_shape_must_be_equal_even_when_the_values_are(self):
        want = np.zeros((1,), dtype=np.float32)
        self.assertEqual((False, "dtype float16, recorded float32"), compare(want.astype(np.float16), want))
        self.assertEqual((False, "shape [], recorded [1]"), compare(np.float32(0.0).reshape(()), want))


class CarriableTest(unittest.TestCase):
    """Cases built the way the package lays them out, in a scratch folder."""

    def make_case(self, inputs, outputs, initializers=(), recorded=()):
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        folder = os.path.join(root, "node", "test_case")
        os.makedirs(os.path.join(folder, "test_data_set_0"))
        graph = helper.make_graph([helper.make_node("Identity", [inputs[0].name], [outputs[0].name])], "g", inputs,
                                  outputs, initializer=list(initializers))
        onnx.save(helper.make_model(graph), os.path.join(folder, "model.onnx"))
        for name, array in recorded:
            onnx.save_tensor(numpy_helper.from_array(array), os.path.join(folder, "test_data_set_0", name))
        return load_case("node", "test_case", root)

    def test_a_scalar_travels_as_one_dimension_of_one(self):
        case = self.make_case([helper.make_tensor_value_info("x", TensorProto.FLOAT, [])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1])],
                              recorded=[("input_0.pb", np.zeros((), np.float32)),
                                        ("output_0.pb", np.zeros((1,), np.float32))])
        self.assertTrue(case.carriable)
        scalar = np.float32(2.5).reshape(())
        self.assertEqual((True, ""), compare(as_recorded(np.full((1,), 2.5, np.float32), scalar), scalar))
        # Only a scalar is read so: a recorded [1] still wants [1], and two values stay two.
        one = np.zeros((1,), np.float32)
        self.assertEqual((False, "shape [], recorded [1]"), compare(as_recorded(scalar, one), one))
        self.assertEqual((2,), as_recorded(np.zeros((2,), np.float32), scalar).shape)

    def test_the_type_reason_comes_before_the_rank_reason(self):
        case = self.make_case([helper.make_tensor_value_info("x", TensorProto.BOOL, [1, 1, 1, 1, 1])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 1, 1, 1, 1])],
                              recorded=[("input_0.pb", np.zeros((1, 1, 1, 1, 1), bool)),
                                        ("output_0.pb", np.zeros((1, 1, 1, 1, 1), np.float32))])
        self.assertEqual("bool", case.reason)
        self.assertEqual(["bool", "more than 4 dimensions"], case.reasons)

    def test_initializers_listed_as_inputs_are_not_fed(self):
        weight = numpy_helper.from_array(np.ones((2,), np.float32), "w")
        case = self.make_case([helper.make_tensor_value_info("x", TensorProto.FLOAT, [2]),
                               helper.make_tensor_value_info("w", TensorProto.FLOAT, [2])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [2])], initializers=[weight],
                              recorded=[("input_0.pb", np.zeros((2,), np.float32)),
                                        ("output_0.pb", np.zeros((2,), np.float32))])
        self.assertTrue(case.carriable)
        self.assertEqual(["x"], [value.name for value in case.inputs])

    def test_an_undeclared_rank_is_taken_from_the_recorded_tensor(self):
        declared = helper.make_tensor_value_info("x", TensorProto.FLOAT, None)
        case = self.make_case([declared], [helper.make_tensor_value_info("y", TensorProto.FLOAT, [2])],
                              recorded=[("input_0.pb", np.zeros((1, 1, 1, 1, 2), np.float32)),
                                        ("output_0.pb", np.zeros((2,), np.float32))])
        self.assertEqual(["more than 4 dimensions"], case.reasons)


if __name__ == "__main__":
    unittest.main()
