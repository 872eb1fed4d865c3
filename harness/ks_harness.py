"""What the script suites share: the build trees they need, the test networks with numpy's outputs, the
server program started on a port of the system's choosing, the protocol spoken over http.client,
ks_remote_run run on the host or on 32-bit ARM, and the tally of checks that ends a suite with its exit code.

Import it with harness/ on sys.path. Everything here listens on and talks to 127.0.0.1 only.

Build folders: $KS_HOST_BUILD and $KS_ARMHF_BUILD, else $KS_BUILD_ROOT/{host,armhf}, else build/{host,armhf}.
Build parallelism: $KS_JOBS (default 2: the build machine is shared).
"""

import base64
import http.client
import json
import os
import socket
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_ROOT = os.environ.get("KS_BUILD_ROOT", os.path.join(ROOT, "build"))
HOST_BUILD = os.environ.get("KS_HOST_BUILD", os.path.join(BUILD_ROOT, "host"))
ARMHF_BUILD = os.environ.get("KS_ARMHF_BUILD", os.path.join(BUILD_ROOT, "armhf"))
BUILD_JOBS = os.environ.get("KS_JOBS", "2")
SERVER_PROGRAM = os.path.join(HOST_BUILD, "src", "reference_server", "ks_inference_server")
REMOTE_RUN = {"host": os.path.join(HOST_BUILD, "tools", "ks_remote_run"),
              "armhf": os.path.join(ARMHF_BUILD, "tools", "ks_remote_run")}

# The networks of models/make_models.py: each one's input and outputs.
MODEL_INPUT = {"mlp": "input", "cnn": "image", "identity": "input"}
MODEL_OUTPUTS = {"mlp": ["logits"], "cnn": ["features", "pooled"], "identity": ["output"]}


def free_port():
    """A loopback port nothing listens on now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def build_tree(folder, preset, targets, log):
    """Configures `folder` with that preset of CMakePresets.json when it never was, then builds `targets`;
    raises RuntimeError with the log's tail when a step fails."""
    steps = []
    if not os.path.exists(os.path.join(folder, "build.ninja")):
        steps.append(["cmake", "--preset", preset, "-B", folder])
    steps.append(["cmake", "--build", folder, "-j", BUILD_JOBS, "--target", *targets])
    with open(log, "w") as out:
        for step in steps:
            if subprocess.run(step, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                raise RuntimeError(f"{' '.join(step)} failed:\n" + open(log).read()[-3000:])


def make_models(models, references):
    """The test networks, their deterministic inputs (.npy and .raw) and numpy's outputs for them."""
    os.makedirs(models, exist_ok=True)
    os.makedirs(references, exist_ok=True)
    quiet = {"stdout": subprocess.DEVNULL, "check": True}
    subprocess.run([os.path.join(ROOT, "models", "make_models.py"), models], **quiet)
    reference = os.path.join(ROOT, "models", "reference.py")
    subprocess.run([reference, "--models", models, "--make-inputs", models], **quiet)
    for model, name in MODEL_INPUT.items():
        subprocess.run([reference, "--models", models, model, f"{models}/{model}.{name}.npy", "--out", references],
                       **quiet)


def model_args(address, models, model):
    """ks_remote_run's options that run `model` on its reference input (.raw for the MLP, so that both input
    paths are used)."""
    extension = "raw" if model == "mlp" else "npy"
    name = MODEL_INPUT[model]
    args = ["--server", address, "--net", f"{models}/{model}.onnx", "--input", f"{name}={models}/{model}.{name}.{extension}"]
    for output in MODEL_OUTPUTS[model]:
        args += ["--output", output]
    return args


def compare_outputs(saved, references, model):
    """(ok, "max abs diff X[; problems]") for the outputs ks_remote_run saved in `saved`: each .npy equal to
    numpy's within rtol 1e-4 / atol 1e-5, and its .raw the same bytes."""
    import numpy as np

    worst, problems = 0.0, []
    for name in MODEL_OUTPUTS[model]:
        got = np.load(f"{saved}/{name}.npy")
        want = np.load(f"{references}/{model}.{name}.npy")
        raw = np.fromfile(f"{saved}/{name}.raw", dtype=got.dtype)
        if got.shape != want.shape:
            problems.append(f"{name}: shape {got.shape}, numpy's {want.shape}")
            continue
        if not np.array_equal(raw, got.ravel()):
            problems.append(f"{name}: .raw and .npy differ")
        worst = max(worst, float(np.abs(got.astype(np.float64) - want).max()))
        if not np.allclose(got, want, rtol=1e-4, atol=1e-5):
            problems.append(f"{name}: differs from numpy's")
    return not problems, f"max abs diff {worst:.3g}" + "".join(f"; {p}" for p in problems)


class Server:
    """The server program on a port of the system's choosing, stopped by stop() (or as a context manager).
    `log` is a file object for its stderr, or the path of one to write."""

    def __init__(self, program, arguments, log):
        self.log_path = log if isinstance(log, str) else getattr(log, "name", None)
        self.log = open(log, "w") if isinstance(log, str) else log
        self.owns_log = isinstance(log, str)
        self.process = subprocess.Popen([program, "--host", "127.0.0.1", "--port", "0"] + arguments,
                                        stdout=subprocess.PIPE, stderr=self.log, stdin=subprocess.DEVNULL, text=True)
        # The server prints its address once the port is bound; a server that exits first ends readline.
        line = self.process.stdout.readline()
        if not line.startswith("listening on http://"):
            self.stop()
            raise RuntimeError(f"the server did not start: {line!r}; its log: {self.log_tail()}")
        self.address = line.strip()[len("listening on http://"):]
        self.port = int(line.rsplit(":", 1)[1])

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()

    def alive(self):
        return self.process.poll() is None

    def exit_code(self):
        """None while it runs, else how it ended."""
        return self.process.poll()

    def log_tail(self, lines=5):
        if self.log_path is None or not os.path.exists(self.log_path):
            return ""
        self.log.flush()
        with open(self.log_path, errors="replace") as log:
            return " | ".join(log.read().splitlines()[-lines:])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=40)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.owns_log and not self.log.closed:
            self.log.close()


class Client:
    """The protocol over http.client: one connection per request, as the client library makes them."""

    def __init__(self, port, timeout=120):
        self.port = port
        self.timeout = timeout

    def call(self, method, target, body=None):
        """(HTTP status, parsed JSON or text); raises OSError when no reply came."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.timeout)
        try:
            data = None if body is None else json.dumps(body).encode()
            connection.request(method, target, body=data, headers={"Content-Type": "application/json"})
            reply = connection.getresponse()
            text = reply.read().decode(errors="replace")
            try:
                return reply.status, json.loads(text)
            except ValueError:
                return reply.status, text
        finally:
            connection.close()

    def session(self):
        return self.call("GET", "/session?action=new")[1]["session_id"]

    def close(self, session):
        self.call("GET", "/session?action=delete&session_id=" + session)

    def load(self, session, network_bytes):
        body = {"input_tensors": [], "output_tensors": [], "net": base64.b64encode(network_bytes).decode(),
                "key": "", "cache_dir": "", "backend": 0, "device_type": 0, "device_index": 0}
        return self.call("POST", "/net?action=load&session_id=" + session, body)

    def infer(self, session, tensors):
        """`tensors`: (protocol type, shape, bytes) each."""
        body = {"input_tensors": [{"layout": {"size": shape, "type": kind, "format": 1 if len(shape) == 4 else 0},
                                   "data": base64.b64encode(data).decode()} for kind, shape, data in tensors],
                "repetitions_count": 1}
        return self.call("POST", "/inference?session_id=" + session, body)

    def healthy(self):
        try:
            return self.call("GET", "/healthz")[1] == "ok\n"
        except OSError:
            return False


def armhf_sysroot(tree=None):
    """The sysroot the armhf tree was configured with (its KS_ARMHF_SYSROOT): the loader, C library and
    libraries its programs start with."""
    with open(os.path.join(tree or ARMHF_BUILD, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("KS_ARMHF_SYSROOT:"):
                return line.split("=", 1)[1].strip()
    raise RuntimeError(f"{tree or ARMHF_BUILD} was not configured for armhf")


def client_command(client, tree=None):
    """The command that starts ks_remote_run of the host tree or, for "armhf", of the armhf tree (`tree`,
    else ARMHF_BUILD) under qemu-arm in its sysroot."""
    if client != "armhf":
        return [REMOTE_RUN[client]]
    tree = tree or ARMHF_BUILD
    return ["qemu-arm", "-L", armhf_sysroot(tree), os.path.join(tree, "tools", "ks_remote_run")]


def remote_run(client, *arguments, **run_options):
    """ks_remote_run of the host tree or, for "armhf", of the armhf tree under qemu-arm (client_command).
    Returns the CompletedProcess with text stdout and stderr unless `run_options` say otherwise."""
    command = client_command(client) + list(arguments)
    run_options.setdefault("capture_output", True)
    run_options.setdefault("text", True)
    return subprocess.run(command, **run_options)


class Tally:
    """Named checks, each passed or failed, printed as they come ("PASS name", "FAIL name: detail");
    `exit_code()` prints "N passed, M failed" and is 1 when any failed."""

    def __init__(self, suite):
        self.suite = suite
        self.passed = 0
        self.failed = []

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {name}", flush=True)
        else:
            self.failed.append(name)
            print(f"FAIL {name}{': ' + detail if detail else ''}", flush=True)
        return ok

    def exit_code(self):
        print(f"{self.suite}: {self.passed} passed, {len(self.failed)} failed", flush=True)
        sys.stdout.flush()
        return 1 if self.failed else 0
