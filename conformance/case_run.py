"""Running one carriable case both ways, end to end through ks_remote_run and a server and in-process with
ONNX Runtime alone, and judging each run against the recorded outputs."""

import os
import subprocess
from dataclasses import dataclass

import numpy as np

from onnx_cases import recorded_tensors, save_inputs
from output_compare import compare

TIMEOUT_S = 300


@dataclass
class Verdict:
    passed: bool
    why: str = ""  # empty when passed: the server's or engine's text, or which output differs and how


def _error_text(stderr, returncode):
    """The program's "error: ..." line without its prefix, else its first line of stderr, else the exit code."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    for line in lines:
        if line.startswith("error: "):
            return line[len("error: "):]
    return lines[0] if lines else f"exit code {returncode} and nothing on stderr"


def as_recorded(got, want):
    """`got` in the shape of the recorded `want` when `want` is a scalar and `got` its one-element [1], the
    form the protocol carries a scalar in; otherwise `got` as it is."""
    return got.reshape(()) if want.ndim == 0 and got.shape == (1,) else got


def _run_program(command, output_folder, expected):
    """Runs `command`, which saves output_K.npy files in `output_folder`, and compares them with `expected`."""
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace",
                              timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return Verdict(False, f"no answer within {TIMEOUT_S} s")
    if done.returncode != 0:
        return Verdict(False, _error_text(done.stderr, done.returncode))
    for k, want in enumerate(expected):
        path = os.path.join(output_folder, f"output_{k}.npy")
        if not os.path.exists(path):
            return Verdict(False, f"output_{k} did not come back")
        ok, why = compare(as_recorded(np.load(path), want), want)
        if not ok:
            return Verdict(False, f"output_{k}: {why}")
    return Verdict(True)


def _same_bytes(first, second, count):
    """Whether two runs saved the same dtypes, shapes and bytes for all `count` outputs."""
    for k in range(count):
        a = np.load(os.path.join(first, f"output_{k}.npy"))
        b = np.load(os.path.join(second, f"output_{k}.npy"))
        a, b = as_recorded(a, b), as_recorded(b, a)
        if a.dtype != b.dtype or a.shape != b.shape or a.tobytes() != b.tobytes():
            return False
    return True


def run_case(case, work, client, server_address, runner, in_process=True):
    """Runs every data set of a carriable `case` with `client` (the ks_remote_run command, a list) against the
    server at `server_address` and, when `in_process`, with `runner` (ort_case_runner). Files go under
    `work`. Returns (end-to-end Verdict, in-process Verdict or None, identical): each Verdict is the first
    failing data set's; `identical` is True when both runs passed with byte-identical outputs, False when
    they passed with different bytes, None otherwise."""
    end_to_end = Verdict(True)
    engine = Verdict(True) if in_process else None
    identical = None
    for index, data_set in enumerate(case.data_sets):
        folder = os.path.join(work, case.category, case.name, str(index))
        input_arguments = save_inputs(case, data_set, os.path.join(folder, "inputs"))
        expected = recorded_tensors(data_set, "output", len(case.outputs))
        if end_to_end.passed:
            out = os.path.join(folder, "end_to_end")
            end_to_end = _run_program(client + ["--server", server_address, "--net", case.model, *input_arguments,
                                                "--quiet", "--save-outputs", out], out, expected)
        if engine is not None and engine.passed:
            out = os.path.join(folder, "in_process")
            engine = _run_program(runner + ["--net", case.model, *input_arguments, "--save-outputs", out], out,
                                  expected)
        if end_to_end.passed and engine is not None and engine.passed and identical is not False:
            identical = _same_bytes(os.path.join(folder, "end_to_end"), out, len(case.outputs))
    if not (end_to_end.passed and engine is not None and engine.passed):
        identical = None
    return end_to_end, engine, identical
