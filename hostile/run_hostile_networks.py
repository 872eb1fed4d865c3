#!/usr/bin/python3
"""Sends every network of make_hostile_networks.py to the server program, as a client would, while a victim
session beside them runs a network of its own in a loop, and checks that the server survives each one.

For each network: a session, the load, and when it loads one inference on its inputs; the reply is counted by
what it says (refused at load, ended a worker while loading, ended a worker while running, stopped at the
time limit, failed otherwise, ran), and must be what NAME.expected says when there is one. After each, the
server must answer /healthz. The victim must get every
one of its replies, each bit for bit what it sent (an identity network). Exits 1 when the server dies, a
request gets no status message or another outcome than its case expects, or the victim sees a failure or a
changed byte.

Usage: run_hostile_networks.py --server PROGRAM --networks DIR --victim IDENTITY.onnx [--timeout-s N]
"""

import argparse
import base64
import glob
import json
import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from ks_harness import Client, Server  # noqa: E402

WORKER_LOST = "the engine process running the network"
LOAD_TIMED_OUT = "the engine process loading the network"
STOPPED = "inference stopped: "


NUMPY_CODES = {0: "f", 2: "i", 3: "h", 4: "b", 5: "B", 6: "q"}


def tensor_bytes(feed):
    import array
    values = array.array(NUMPY_CODES[feed["type"]], [
        float(v) if feed["type"] == 0 else int(v) for v in feed["values"]])
    return values.tobytes()


class Victim(threading.Thread):
    """A client running an identity network in a loop, checking every byte that comes back."""

    def __init__(self, client, network, elements):
        super().__init__(daemon=True)
        self.client = client
        self.network = network
        self.elements = elements
        self.done = threading.Event()
        self.replies = 0
        self.failures = []

    def run(self):
        session = self.client.session()
        status, reply = self.client.load(session, self.network)
        if status != 200:
            self.failures.append(f"load: {reply}")
            return
        data = bytes(random.Random(3).randrange(256) for _ in range(self.elements * 4))
        while not self.done.is_set():
            try:
                status, reply = self.client.infer(session, [(0, [1, self.elements], data)])
            except OSError as e:
                self.failures.append(f"no reply: {e}")
                continue
            if status != 200 or base64.b64decode(reply["output_tensors"][0]["data"]) != data:
                self.failures.append(f"HTTP {status}: {str(reply)[:200]}")
            else:
                self.replies += 1


def outcome(client, path):
    """What happened to the network at `path`: (category, text)."""
    with open(path, "rb") as network:
        network_bytes = network.read()
    with open(path[:-len(".onnx")] + ".inputs.json") as feeds:
        inputs = json.load(feeds)
    session = client.session()
    try:
        status, reply = client.load(session, network_bytes)
        text = reply.get("text", "") if isinstance(reply, dict) else str(reply)
        # A load that takes long is answered 200 at once and streamed; its body then says it failed.
        if status != 200 or (isinstance(reply, dict) and reply.get("status") is False):
            if WORKER_LOST in text or LOAD_TIMED_OUT in text:
                return "ended a worker while loading", text
            return "refused at load", text
        status, reply = client.infer(session, [(f["type"], f["shape"], tensor_bytes(f)) for f in inputs])
        if status == 200 and isinstance(reply, dict) and "output_tensors" in reply:
            return "ran", ""
        text = reply.get("text", "") if isinstance(reply, dict) else str(reply)
        if WORKER_LOST in text:
            return "ended a worker while running", text
        if text.startswith(STOPPED):
            return "stopped at the time limit", text
        return "failed while running", text
    except (OSError, KeyError, ValueError) as e:
        return "no status message", repr(e)
    finally:
        try:
            client.close(session)
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", required=True)
    parser.add_argument("--networks", required=True)
    parser.add_argument("--victim", required=True)
    parser.add_argument("--victim-elements", type=int, default=1024)
    parser.add_argument("--timeout-s", type=int, default=3)
    parser.add_argument("--log", default=os.devnull)
    args = parser.parse_args()

    with open(args.log, "a") as log:
        server = Server(args.server, ["--inference-timeout-s", str(args.timeout_s)], log)
        client = Client(server.port)
        with open(args.victim, "rb") as victim_file:
            victim = Victim(client, victim_file.read(), args.victim_elements)
        victim.start()
        counts = {}
        bad = []
        for path in sorted(glob.glob(os.path.join(args.networks, "*.onnx"))):
            name = os.path.basename(path)[:-len(".onnx")]
            started = time.monotonic()
            category, text = outcome(client, path)
            counts[category] = counts.get(category, 0) + 1
            print(f"  {name:45s} {category} ({time.monotonic() - started:.1f} s){': ' + text[:110] if text else ''}",
                  flush=True)
            if category == "no status message":
                bad.append(f"{name}: no status message ({text})")
            expected_path = path[:-len(".onnx")] + ".expected"
            if os.path.exists(expected_path):
                with open(expected_path) as expected_file:
                    expected = expected_file.read().strip()
                if category != expected:
                    bad.append(f"{name}: {category} where {expected} was expected")
            if not server.alive() or not client.healthy():
                bad.append(f"{name}: the server no longer answers")
                break
        victim.done.set()
        victim.join(timeout=60)
        alive = server.alive()
        metrics = client.call("GET", "/metrics")[1] if alive else ""
        server.stop()

    total = sum(counts.values())
    print(f"{total} networks: " + ", ".join(f"{n} {c}" for c, n in sorted(counts.items())))
    ended = [line for line in str(metrics).splitlines() if line.startswith("ks_worker_ends_total")]
    for line in ended:
        print("  " + line)
    print(f"victim: {victim.replies} replies bit for bit, {len(victim.failures)} failures")
    bad += [f"victim: {failure}" for failure in victim.failures[:5]]
    if not alive:
        bad.append("the server process ended")
    for problem in bad:
        print("FAIL " + problem)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
