#!/usr/bin/python3
"""Reference outputs of the networks written by make_models.py, computed with numpy alone.

The arithmetic of each network is written out here by hand; only the weights are read back from the ONNX
file's initializers. No ONNX runtime is involved, so a result that agrees with an engine's is evidence
about the engine.

Usage:
  reference.py --models DIR --make-inputs OUT_DIR
      writes deterministic random inputs for every network found in DIR as OUT_DIR/<model>.<input>.npy
      and .raw
  reference.py --models DIR MODEL INPUT... [--out OUT_DIR]
      computes MODEL's outputs (MODEL is mlp, cnn or identity) from one INPUT file per network input, in
      the network's input order; writes OUT_DIR/<model>.<output>.npy and .raw, or prints them without
      --out

An INPUT ending in .npy is read with numpy; any other file is raw little-endian float32 in C order, shaped
like the network's input. A .raw file holds the same values as its .npy twin, little-endian float32.
"""

import argparse
import os
import sys

import numpy as np
import onnx
from onnx import numpy_helper

MODELS = ("mlp", "cnn", "identity")
INPUT_SEED = 20240607


def _load(models_dir, model_name):
    return onnx.load(os.path.join(models_dir, model_name + ".onnx"))


def _initializers(model):
    return {t.name: numpy_helper.to_array(t).astype(np.float64) for t in model.graph.initializer}


def _graph_inputs(model):
    """(name, shape) of each input that is not an initializer, in graph order."""
    weights = {t.name for t in model.graph.initializer}
    result = []
    for value in model.graph.input:
        if value.name in weights:
            continue
        shape = tuple(d.dim_value for d in value.type.tensor_type.shape.dim)
        result.append((value.name, shape))
    return result


def _mlp(weights, x):
    hidden = np.maximum(x @ weights["fc1.weight"].T + weights["fc1.bias"], 0.0)
    return {"logits": hidden @ weights["fc2.weight"].T + weights["fc2.bias"]}


def _cnn(weights, image):
    kernel = weights["conv.weight"]  # [out, in, 3, 3]
    bias = weights["conv.bias"]
    batch, _, height, width = image.shape
    padded = np.pad(image, ((0, 0), (0, 0), (1, 1), (1, 1)))
    conv = np.zeros((batch, kernel.shape[0], height, width))
    for ky in range(kernel.shape[2]):
        for kx in range(kernel.shape[3]):
            window = padded[:, :, ky:ky + height, kx:kx + width]  # [n, in, h, w]
            conv += np.einsum("nchw,oc->nohw", window, kernel[:, :, ky, kx])
    conv += bias.reshape(1, -1, 1, 1)
    features = np.maximum(conv, 0.0)
    return {"features": features, "pooled": features.mean(axis=(2, 3), keepdims=True)}


def _identity(_, x):
    return {"output": x.copy()}


COMPUTE = {"mlp": _mlp, "cnn": _cnn, "identity": _identity}


def _read_input(path, shape):
    if path.endswith(".npy"):
        data = np.load(path)
    else:
        data = np.fromfile(path, dtype="<f4")
    if data.size != int(np.prod(shape)):
        raise SystemExit(f"{path}: {data.size} values, the network expects {int(np.prod(shape))} {list(shape)}")
    return data.astype(np.float64).reshape(shape)


def _write(out_dir, stem, array):
    array = np.ascontiguousarray(array, dtype=np.float32)
    np.save(os.path.join(out_dir, stem + ".npy"), array)
    array.astype("<f4").tofile(os.path.join(out_dir, stem + ".raw"))


def make_inputs(models_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    found = [m for m in MODELS if os.path.exists(os.path.join(models_dir, m + ".onnx"))]
    if not found:
        raise SystemExit(f"no network of {', '.join(MODELS)} in {models_dir}")
    for index, model_name in enumerate(found):
        rng = np.random.RandomState(INPUT_SEED + index)
        for input_name, shape in _graph_inputs(_load(models_dir, model_name)):
            _write(out_dir, f"{model_name}.{input_name}", rng.uniform(-1.0, 1.0, shape))


def compute(models_dir, model_name, input_paths, out_dir):
    model = _load(models_dir, model_name)
    inputs = _graph_inputs(model)
    if len(input_paths) != len(inputs):
        raise SystemExit(f"{model_name} takes {len(inputs)} input(s) ({', '.join(n for n, _ in inputs)}), "
                         f"got {len(input_paths)} file(s)")
    arrays = [_read_input(path, shape) for path, (_, shape) in zip(input_paths, inputs)]
    outputs = COMPUTE[model_name](_initializers(model), *arrays)
    if out_dir:
        os.makedirs(out_dir, exist_ok=True)
    for value in model.graph.output:
        result = outputs[value.name]
        if out_dir:
            _write(out_dir, f"{model_name}.{value.name}", result)
        else:
            print(f"{value.name} {list(result.shape)}")
            print(np.array2string(result.astype(np.float32).ravel(), precision=6, threshold=64))


def main(argv):
    parser = argparse.ArgumentParser(description="numpy reference outputs of the test networks.")
    parser.add_argument("--models", required=True, metavar="DIR", help="folder written by make_models.py")
    parser.add_argument("--make-inputs", metavar="OUT_DIR", help="write deterministic inputs and stop")
    parser.add_argument("--out", metavar="OUT_DIR", help="write outputs here instead of printing them")
    parser.add_argument("model", nargs="?", choices=MODELS)
    parser.add_argument("inputs", nargs="*", metavar="INPUT")
    args = parser.parse_args(argv)

    if args.make_inputs:
        make_inputs(args.models, args.make_inputs)
    elif args.model:
        compute(args.models, args.model, args.inputs, args.out)
    else:
        parser.error("give MODEL and its INPUT files, or --make-inputs")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
