#!/usr/bin/python3
"""The server package's programs in a real round trip: the packaged ks_inference_server on a loopback port
(it must link no engine), and the tools package's ks_remote_run running cnn on it (outputs equal numpy's).
Leaves the test networks in WORK/models for the install test. Prints PASS/FAIL lines; exits 1 on a FAIL.

Usage: round_trip.py --server-program PATH --remote-run PATH --work DIR  (the environment's
LD_LIBRARY_PATH reaches the client, not the server)
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness"))
import ks_harness as h  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server-program", required=True)
    parser.add_argument("--remote-run", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    tally = h.Tally("round trip")
    models, references = f"{args.work}/models", f"{args.work}/references"
    h.make_models(models, references)
    client_environment = dict(os.environ)
    server_environment = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    os.environ.clear()
    os.environ.update(server_environment)
    try:
        server = h.Server(args.server_program, [], f"{args.work}/server.log")
    except RuntimeError as e:
        tally.check("the packaged server starts", False, str(e))
        return tally.exit_code()
    finally:
        os.environ.clear()
        os.environ.update(client_environment)
    with server:
        with open(f"/proc/{server.process.pid}/maps") as maps:
            tally.check("the packaged server links no engine", "libonnxruntime" not in maps.read())
        saved = f"{args.work}/cnn"
        run = subprocess.run([args.remote_run, *h.model_args(server.address, models, "cnn"), "--save-outputs", saved],
                             capture_output=True, text=True)
        ok, diff = (False, run.stderr[-300:]) if run.returncode != 0 else h.compare_outputs(saved, references, "cnn")
        tally.check(f"the tools' ks_remote_run runs cnn on the packaged server; outputs equal numpy's ({diff})"
                    if ok else "the packaged programs run cnn", ok, diff)
    return tally.exit_code()


if __name__ == "__main__":
    sys.exit(main())
