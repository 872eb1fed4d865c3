"""What the script suites share: the server program started on a port of the system's choosing, the
protocol spoken over http.client, a client program run on the host or on 32-bit ARM, and the tally of
checks that ends a suite with its exit code.

Import it with harness/ on sys.path. Everything here listens on and talks to 127.0.0.1 only.
"""

import base64
import http.client
import json
import os
import subprocess


class Server:
    """The server program on a port of the system's choosing, stopped when the suite ends."""

    def __init__(self, program, arguments, log):
        self.process = subprocess.Popen([program, "--port", "0"] + arguments, stdout=subprocess.PIPE,
                                        stderr=log, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on http://"):
            raise RuntimeError(f"the server did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=40)
        except subprocess.TimeoutExpired:
            self.process.kill()


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


def client_command(program, *arguments, armhf=False):
    """The command that runs a client program: on the host, or under qemu-arm, which finds the armhf
    libraries through multiarch's loader path (its -L root crashes threaded programs)."""
    return (["qemu-arm"] if armhf else []) + [program, *arguments]


class Tally:
    """Named checks, each passed or failed, printed as they come; `exit_code()` is 1 when any failed."""

    def __init__(self, suite):
        self.suite = suite
        self.passed = 0
        self.failed = []

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok   {name}", flush=True)
        else:
            self.failed.append(name)
            print(f"FAIL {name}{': ' + detail if detail else ''}", flush=True)
        return ok

    def exit_code(self):
        print(f"{self.suite}: {self.passed} passed, {len(self.failed)} failed", flush=True)
        return 1 if self.failed else 0
