"""The server package's programs in a real round trip, for scripts/test-packages: the packaged
ks_inference_server on a loopback port (it must link no engine), and the tools package's ks_remote_run
running cnn on it (outputs equal numpy's). Leaves the test networks in WORK/models for the install test.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness"))
import ks_harness as h  # noqa: E402


def run(tally, server_program, remote_run, work, client_library_path):
    """Counts its checks in `tally`; the client runs with LD_LIBRARY_PATH=`client_library_path`, the server
    without one."""
    models, references = f"{work}/models", f"{work}/references"
    h.make_models(models, references)
    saved_environment = dict(os.environ)
    os.environ.pop("LD_LIBRARY_PATH", None)
    try:
        server = h.Server(server_program, [], f"{work}/server.log")
    except RuntimeError as e:
        tally.check("the packaged server starts", False, str(e))
        return
    finally:
        os.environ.clear()
        os.environ.update(saved_environment)
    with server:
        with open(f"/proc/{server.process.pid}/maps") as maps:
            tally.check("the packaged server links no engine", "libonnxruntime" not in maps.read())
        saved = f"{work}/cnn"
        done = subprocess.run([remote_run, *h.model_args(server.address, models, "cnn"), "--save-outputs", saved],
                              capture_output=True, text=True,
                              env=dict(os.environ, LD_LIBRARY_PATH=client_library_path))
        ok, diff = (False, done.stderr[-300:]) if done.returncode != 0 else h.compare_outputs(saved, references, "cnn")
        tally.check(f"the tools' ks_remote_run runs cnn on the packaged server; outputs equal numpy's ({diff})"
                    if ok else "the packaged programs run cnn", ok, diff)
