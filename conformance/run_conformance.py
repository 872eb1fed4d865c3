#!/usr/bin/python3
"""Runs ONNX's backend test suite (Debian's libonnx-testdata) end to end: every case the protocol can carry
is uploaded with ks_remote_run to one reference server, fed its recorded inputs, and its outputs compared with
the recorded ones; the same case also runs in-process with ONNX Runtime alone (ort_case_runner), so a case
that the engine passes and our road fails stands out as a loss.

Exit status: 0 when every case in the expected list passes end to end and nothing is lost against the
engine, 1 otherwise, 2 when the run cannot start (missing program, server that does not come up)."""

import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness"))

from case_run import Verdict, run_case  # noqa: E402
from conformance_report import write_report  # noqa: E402
from onnx_cases import DEFAULT_DATA_ROOT, list_cases  # noqa: E402
from ks_harness import Server, client_command  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_EXPECTED = os.path.join(HERE, "expected_pass.txt")


class Result:
    """One case's verdicts. end_to_end and in_process are None when the case was not run."""

    def __init__(self, case, end_to_end=None, in_process=None, identical=None):
        self.case = case
        self.end_to_end = end_to_end
        self.in_process = in_process
        self.identical = identical  # both passed with byte-identical outputs; False: within tolerance only

    @property
    def lost(self):
        """Passed in-process but not end to end: what our client, protocol or server lose."""
        return bool(self.in_process and self.in_process.passed and self.end_to_end and not self.end_to_end.passed)


def read_expected(path):
    """The case ids the file lists, one per line; '#' starts a comment."""
    if not os.path.exists(path):
        return set()
    with open(path) as listing:
        return {line.split("#", 1)[0].strip() for line in listing} - {""}


def write_expected(path, ids):
    with open(path, "w") as listing:
        listing.write("# Cases of libonnx-testdata expected to pass end to end (conformance/run_conformance.py).\n"
                      "# A listed case that fails fails the run; rewrite with --update-expected.\n")
        for case_id in sorted(ids):
            listing.write(case_id + "\n")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "host"),
                        help="host build tree with ks_inference_server, ks_remote_run and ort_case_runner")
    parser.add_argument("--client", choices=("host", "armhf"), default="host",
                        help="armhf runs a sample of the cases with the armhf ks_remote_run under qemu-arm")
    parser.add_argument("--armhf-build", default=os.path.join(ROOT, "build", "armhf"),
                        help="armhf build tree with ks_remote_run (for --client armhf)")
    parser.add_argument("--sample", type=int, default=50,
                        help="--client armhf runs every k-th carriable case, k chosen so at least this many run")
    parser.add_argument("--data", default=DEFAULT_DATA_ROOT, help="libonnx-testdata's data folder")
    parser.add_argument("--cases", help="run only the cases whose 'category/name' this regular expression finds")
    parser.add_argument("--jobs", type=int, default=2, help="cases run at once")
    parser.add_argument("--expected", default=DEFAULT_EXPECTED, help="the list of cases expected to pass")
    parser.add_argument("--update-expected", action="store_true",
                        help="rewrite the expected list with the cases that pass end to end (full host runs only)")
    parser.add_argument("--report", help="write the report (CONFORMANCE.md) here (full host runs only)")
    parser.add_argument("--no-in-process", action="store_true", help="skip the in-process runs")
    parser.add_argument("--verbose", action="store_true",
                        help="print every failing case, not only those expected to pass")
    parser.add_argument("--keep-work", action="store_true", help="keep the scratch folder and print where it is")
    return parser.parse_args()


def provenance(runner):
    """One sentence naming the engine and test data versions the run used."""
    def output_of(command):
        try:
            return subprocess.run(command, capture_output=True, text=True, timeout=30).stdout.strip() or "unknown"
        except OSError:
            return "unknown"

    engine = output_of(runner + ["--version"])
    data = output_of(["dpkg-query", "-W", "-f", "${Version}", "libonnx-testdata"])
    return f"Run with ONNX Runtime {engine} (in the server and in-process) on libonnx-testdata {data}."


def sample(carriable, at_least, expected=frozenset()):
    """Every k-th case, k the largest step that still gives `at_least` cases (all of them when fewer), and for
    each element type the steps miss, the first case that has it, preferring cases in `expected`: every type
    then crosses the client, in a case that can pass."""
    step = max(1, len(carriable) // max(1, at_least))
    chosen = carriable[::step]

    def types(case):
        return {value.detail.split()[0] for value in case.inputs + case.outputs}

    covered = set().union(*(types(case) for case in chosen))
    for case in sorted(carriable, key=lambda case: case.id not in expected):
        if types(case) - covered:
            chosen.append(case)
            covered |= types(case)
    return sorted(chosen, key=lambda case: case.id)


def main():
    options = parse_arguments()
    full_run = options.client == "host" and not options.cases
    if (options.update_expected or options.report) and not full_run:
        print("--update-expected and --report need a full host run (no --client armhf, no --cases)", file=sys.stderr)
        return 2

    server_program = os.path.join(options.build, "src", "reference_server", "ks_inference_server")
    runner = [os.path.join(options.build, "conformance", "ort_case_runner")]
    if options.client == "host":
        client = [os.path.join(options.build, "tools", "ks_remote_run")]
    else:
        client = client_command("armhf", options.armhf_build)
    needed = [server_program, client[-1]] + ([] if options.no_in_process else runner)
    missing = [program for program in needed if not os.access(program, os.X_OK)]
    if missing:
        print("missing programs (build them first): " + ", ".join(missing), file=sys.stderr)
        return 2

    started = time.monotonic()
    cases = list_cases(options.data, options.cases)
    carriable = [case for case in cases if case.carriable]
    expected = read_expected(options.expected)
    chosen = carriable if options.client == "host" else sample(carriable, options.sample, expected)
    print(f"{len(cases)} cases, {len(carriable)} carriable; running {len(chosen)} with the {options.client} client"
          f" ({time.monotonic() - started:.1f} s to read them)", flush=True)

    work = tempfile.mkdtemp(prefix="ks-conformance.")
    try:
        server = Server(server_program, [], os.path.join(work, "server.log"))
    except RuntimeError as error:
        print(error, file=sys.stderr)
        shutil.rmtree(work, ignore_errors=True)
        return 2

    results = {case.id: Result(case) for case in cases}
    done = [0]
    lock = threading.Lock()

    def run_one(case):
        try:
            verdicts = run_case(case, os.path.join(work, "cases"), client, server.address, runner,
                                not options.no_in_process)
        except Exception as error:  # a test data file the driver cannot read: that case fails, the run goes on
            verdicts = Verdict(False, f"driver: {error}"), None, None
        with lock:
            results[case.id] = Result(case, *verdicts)
            done[0] += 1
            if done[0] % 100 == 0:
                print(f"  {done[0]}/{len(chosen)} cases run", flush=True)

    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
            list(pool.map(run_one, chosen))
        server_exit = server.exit_code()
        server_log = server.log_tail()
    finally:
        server.stop()
        if options.keep_work:
            print(f"scratch folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    elapsed = time.monotonic() - started

    ran = [results[case.id] for case in chosen]
    passed = {r.case.id for r in ran if r.end_to_end.passed}
    passed_in_process = {r.case.id for r in ran if r.in_process and r.in_process.passed}
    lost = [r for r in ran if r.lost]
    gained = [r for r in ran if r.in_process and not r.in_process.passed and r.end_to_end.passed]
    chosen_ids = {case.id for case in chosen}
    regressions = sorted(case_id for case_id in expected & chosen_ids if case_id not in passed)
    new_passes = sorted(passed - expected)
    unknown = sorted(expected - {case.id for case in cases}) if full_run else []

    for r in ran:
        if not r.end_to_end.passed and (options.verbose or r.case.id in expected):
            listed = " (listed as expected to pass)" if r.case.id in expected else ""
            print(f"FAIL {r.case.id}{listed}: {r.end_to_end.why}")
    for r in lost:
        print(f"LOST {r.case.id}: passes in-process, end to end: {r.end_to_end.why}")
    for r in gained:
        print(f"NOTE {r.case.id}: passes end to end only; in-process: {r.in_process.why}")
    for r in ran:
        if r.identical is False:
            print(f"NOTE {r.case.id}: passes both ways, but the outputs' bytes differ between them")
    for case_id in unknown:
        print(f"FAIL {case_id} (listed as expected to pass): the test data has no such case")
    for case_id in new_passes:
        print(f"NEW PASS {case_id}")

    identical = sum(1 for r in ran if r.identical)
    in_process_text = "" if options.no_in_process else (f", {len(passed_in_process)} pass in-process ({identical} "
                                                        "of them with byte-identical outputs both ways)")
    print(f"{options.client} client: {len(ran)} cases run, {len(passed)} pass end to end{in_process_text}; "
          f"{len(lost)} lost against the engine, {len(regressions) + len(unknown)} expected passes failed, "
          f"{len(new_passes)} new passes, {len(ran) - len(passed) - len(regressions)} known failures; "
          f"{elapsed:.0f} s")
    if server_exit is not None:
        # Whatever failed after that point failed for want of a server: the run says nothing about the cases.
        print(f"THE SERVER EXITED with status {server_exit} during the run, so the results are void and neither "
              f"the expected list nor the report is written; its log ends: {server_log}")
        return 1

    if options.update_expected:
        write_expected(options.expected, passed)
        print(f"wrote {len(passed)} cases to {options.expected}")
    if options.report:
        write_report(options.report, [results[case.id] for case in cases], provenance(runner))
        print(f"wrote {options.report}")

    failed = lost or ((regressions or unknown) and not options.update_expected)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
