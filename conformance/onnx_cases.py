"""The cases of ONNX's backend test suite as Debian's libonnx-testdata installs them, and whether the protocol
can carry each: every input and output a tensor of one of its seven element types with 0 to 4 dimensions (a
scalar travels as one dimension of 1)."""

import os
import re
from dataclasses import dataclass, field

import numpy as np
import onnx
from onnx import TensorProto, numpy_helper

DEFAULT_DATA_ROOT = "/usr/share/libonnx-testdata/data"
CATEGORIES = ("node", "pytorch-converted", "pytorch-operator", "real", "simple")

# The element types a message carries, as ONNX numbers them.
CARRIED_TYPES = {
    TensorProto.FLOAT: "float32",
    TensorProto.FLOAT16: "float16",
    TensorProto.INT32: "int32",
    TensorProto.INT16: "int16",
    TensorProto.INT8: "int8",
    TensorProto.UINT8: "uint8",
    TensorProto.INT64: "int64",
}

# Why a case cannot travel, most fundamental first: a case is counted under the first reason it has, so the
# counts add up to the number of cases that cannot travel.
REASONS = (
    "no model",
    "sequence",
    "optional",
    "map or other non-tensor",
    "string",
    "bool",
    "double",
    "other element type",
    "more than 4 dimensions",
    "test data does not match the graph",
)


# The oldest default operator set ONNX Runtime has kernels for: the server's worker upgrades older models.
OLDEST_ENGINE_OPSET = 7


@dataclass
class Value:
    """An input or output the case feeds or checks."""

    name: str
    problem: str = ""  # empty when the protocol carries it, else the first entry of REASONS that applies
    detail: str = ""  # "bool", "float32 [2, 3, ?]" ... for messages


@dataclass
class Case:
    """One test case: a model and its recorded data sets."""

    category: str
    name: str
    directory: str
    inputs: list = field(default_factory=list)  # Values fed, in graph order (initializers excluded)
    outputs: list = field(default_factory=list)  # Values checked, in graph order
    data_sets: list = field(default_factory=list)  # folders holding input_K.pb and output_K.pb
    reasons: list = field(default_factory=list)  # every distinct REASONS entry that applies, in REASONS order
    details: list = field(default_factory=list)  # "input 'x' is bool", one line per value that cannot travel
    opset: int = 0  # the version of the default operator set the model imports; 0 for none
    rewrites: list = field(default_factory=list)  # what the server's worker does to the model, for the report

    @property
    def id(self):
        return f"{self.category}/{self.name}"

    @property
    def model(self):
        return os.path.join(self.directory, "model.onnx")

    @property
    def carriable(self):
        return not self.reasons

    @property
    def rewrite(self):
        """What the server's worker does to the model before the engine sees it; empty for nothing."""
        return "; ".join(self.rewrites)

    @property
    def reason(self):
        """The reason the case is counted under; empty when it is carriable."""
        return self.reasons[0] if self.reasons else ""


def _natural_key(text):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", text)]


def _shape_text(shape):
    return "[" + ", ".join("?" if d is None else str(d) for d in shape) + "]"


def describe_type(type_proto, recorded_rank=None):
    """(problem, detail) for one declared ONNX type: problem is "" or an entry of REASONS. `recorded_rank` is
    the rank of the recorded tensor, used only when the graph declares no shape."""
    kind = type_proto.WhichOneof("value")
    if kind == "sequence_type":
        return "sequence", "a sequence"
    if kind == "optional_type":
        return "optional", "an optional value"
    if kind != "tensor_type":
        return "map or other non-tensor", f"a {kind or 'value of no type'}"
    tensor = type_proto.tensor_type
    if tensor.elem_type not in CARRIED_TYPES:
        type_name = TensorProto.DataType.Name(tensor.elem_type).lower()
        if type_name in ("string", "bool", "double"):
            return type_name, type_name
        return "other element type", type_name
    type_name = CARRIED_TYPES[tensor.elem_type]
    if tensor.HasField("shape"):
        shape = [d.dim_value if d.HasField("dim_value") else None for d in tensor.shape.dim]
    elif recorded_rank is not None:
        shape = [None] * recorded_rank
    else:
        return "", f"{type_name} of unknown rank"
    detail = f"{type_name} {_shape_text(shape)}"
    if not shape:
        return "", f"a scalar ({type_name}), carried as [1]"
    if len(shape) > 4:
        return "more than 4 dimensions", detail
    return "", detail


def _rewrites(model, opset):
    """The worker's rules (the server's engine/ks_onnx_preparation.cc), applied to `model` to tell what it
    will do: an old operator set upgraded, int16 Max and Min through int32, batch-first recurrent layers
    between transposes, the training domain's optimizers as their arithmetic."""
    done = []
    if 0 < opset < OLDEST_ENGINE_OPSET:
        done.append(f"opset {opset} upgraded to {OLDEST_ENGINE_OPSET} (ONNX's version converter)")
    nodes = [node for node in model.graph.node if node.domain in ("", "ai.onnx")]
    if any(node.op_type in ("Max", "Min") for node in nodes):
        graph = onnx.shape_inference.infer_shapes(model).graph
        types = {value.name: value.type.tensor_type.elem_type
                 for value in list(graph.input) + list(graph.value_info) + list(graph.output)}
        types.update({tensor.name: tensor.data_type for tensor in graph.initializer})
        if any(node.op_type in ("Max", "Min") and types.get(node.input[0]) == TensorProto.INT16 for node in nodes):
            done.append("Max or Min on int16 through int32")
    if any(node.op_type in ("RNN", "GRU", "LSTM") and any(a.name == "layout" and a.i == 1 for a in node.attribute)
           for node in nodes):
        done.append("batch-first recurrent layer through transposes")
    if any(node.domain == "ai.onnx.preview.training" and node.op_type in ("Adagrad", "Momentum", "Adam")
           for node in model.graph.node):
        done.append("training optimizer as its arithmetic")
    return done


def load_case(category, name, data_root=DEFAULT_DATA_ROOT):
    """Reads one case's model and lists its data sets; never runs anything. A case without a model file (the
    "real" networks, which the package names by a download address only) comes back with reason "no model"."""
    directory = os.path.join(data_root, category, name)
    case = Case(category, name, directory)
    case.data_sets = sorted(
        (os.path.join(directory, d) for d in os.listdir(directory) if d.startswith("test_data_set_")),
        key=_natural_key,
    )
    if not os.path.exists(case.model):
        case.reasons = ["no model"]
        case.details = ["the package holds no model.onnx (data.json names a download)"]
        return case

    model = onnx.load(case.model, load_external_data=False)
    graph = model.graph
    case.opset = max((o.version for o in model.opset_import if o.domain in ("", "ai.onnx")), default=0)
    case.rewrites = _rewrites(model, case.opset)
    initializers = {tensor.name for tensor in graph.initializer}
    fed = [value for value in graph.input if value.name not in initializers]
    problems = set()
    for kind, values, target in (("input", fed, case.inputs), ("output", graph.output, case.outputs)):
        for index, value in enumerate(values):
            recorded_rank = _recorded_rank(case.data_sets, kind, index)
            problem, detail = describe_type(value.type, recorded_rank)
            target.append(Value(value.name, problem, detail))
            if problem:
                problems.add(problem)
                case.details.append(f"{kind} '{value.name}' is {detail}")
    for data_set in case.data_sets:
        inputs = [f for f in os.listdir(data_set) if f.startswith("input_")]
        outputs = [f for f in os.listdir(data_set) if f.startswith("output_")]
        if len(inputs) != len(fed) or len(outputs) != len(graph.output):
            problems.add("test data does not match the graph")
            case.details.append(
                f"{os.path.basename(data_set)} holds {len(inputs)} inputs and {len(outputs)} outputs; the graph "
                f"has {len(fed)} and {len(graph.output)}"
            )
    case.reasons = [reason for reason in REASONS if reason in problems]
    return case


def _recorded_rank(data_sets, kind, index):
    """The rank of the first data set's recorded tensor, or None when there is none to read."""
    if not data_sets:
        return None
    path = os.path.join(data_sets[0], f"{kind}_{index}.pb")
    if not os.path.exists(path):
        return None
    try:
        return len(onnx.load_tensor(path).dims)
    except Exception:  # not a TensorProto: the declared type decides
        return None


def list_cases(data_root=DEFAULT_DATA_ROOT, pattern=None):
    """Every case under `data_root`, by category then name; `pattern` (a regular expression searched in
    "category/name") keeps only the cases it matches."""
    cases = []
    for category in CATEGORIES:
        folder = os.path.join(data_root, category)
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if pattern and not re.search(pattern, f"{category}/{name}"):
                continue
            cases.append(load_case(category, name, data_root))
    return cases


def recorded_tensors(data_set, kind, count):
    """The `count` recorded tensors input_K.pb or output_K.pb of a data set, as numpy arrays."""
    return [numpy_helper.to_array(onnx.load_tensor(os.path.join(data_set, f"{kind}_{k}.pb"))) for k in range(count)]


def save_inputs(case, data_set, folder):
    """Writes the data set's inputs as folder/input_K.npy; returns the `--input NAME=FILE` arguments in graph
    order."""
    os.makedirs(folder, exist_ok=True)
    arguments = []
    for k, (value, array) in enumerate(zip(case.inputs, recorded_tensors(data_set, "input", len(case.inputs)))):
        path = os.path.join(folder, f"input_{k}.npy")
        np.save(path, np.ascontiguousarray(array))
        arguments += ["--input", f"{value.name}={path}"]
    return arguments
