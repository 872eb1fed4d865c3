"""Server nodes on loopback and Debian's nginx in front of them with deploy/nginx-ks-inference.conf, for
scripts/test-nginx and scripts/bench-nginx; optionally a Redis on a free port that the nodes share their
sessions through (networks in WORK/networks). Everything is stopped by stop_all() (or the with-block).
"""

import http.client
import os
import re
import signal
import subprocess
import time

from ks_harness import ROOT, free_port

CONFIGURATION = os.path.join(ROOT, "deploy", "nginx-ks-inference.conf")


def get(address, target, timeout=10):
    """(status, text) of a GET; (0, "") when nothing answered."""
    host, port = address.rsplit(":", 1)
    connection = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        connection.request("GET", target)
        reply = connection.getresponse()
        return reply.status, reply.read().decode(errors="replace")
    except OSError:
        return 0, ""
    finally:
        connection.close()


def wait_until(ready, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if ready():
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not start within {seconds} s")


class Cluster:
    def __init__(self, work, server_program):
        self.work = work
        self.server_program = server_program
        self.nodes = []  # [name, process, port], in the order started
        self.redis = None
        self.redis_port = None
        self.nginx = None
        self.proxy = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop_all()

    def node_options(self):
        if self.redis_port is None:
            return []
        # nginx reaches the nodes from 127.0.0.1, and so do all the clients here: the per-client share of a
        # node's sessions would count them all as one.
        return ["--session-store", f"redis://127.0.0.1:{self.redis_port}", "--network-store", f"{self.work}/networks",
                "--trusted-proxies", "127.0.0.1", "--client-share-percent", "100"]

    def start_redis(self, port=None):
        """Debian's redis-server on a free loopback port (or `port`, to bring it back), nothing saved."""
        self.redis_port = port or free_port()
        log = open(f"{self.work}/redis.log", "a")
        self.redis = subprocess.Popen(["redis-server", "--bind", "127.0.0.1", "--port", str(self.redis_port), "--save",
                                       "", "--appendonly", "no", "--daemonize", "no"], stdout=log, stderr=log)
        wait_until(lambda: self.redis_call("ping") == "PONG", 5, "redis-server")

    def redis_call(self, *command):
        done = subprocess.run(["redis-cli", "-p", str(self.redis_port), *command], capture_output=True, text=True)
        return done.stdout.strip()

    def kill_redis(self):
        self.redis.kill()
        self.redis.wait()

    def start_node(self, name, *options, port=0):
        """A server with that node name on a free port (or `port`), its log in WORK/NAME.log; returns the
        port. Starting a name again replaces its entry."""
        log = open(f"{self.work}/{name}.log", "a")
        process = subprocess.Popen([self.server_program, "--host", "127.0.0.1", "--port", str(port), "--node-name",
                                    name, *self.node_options(), *options], stdout=subprocess.PIPE, stderr=log,
                                   text=True)
        line = process.stdout.readline()
        if not line.startswith("listening on http://"):
            raise RuntimeError(f"node {name} did not start: {line!r}")
        port = int(line.rsplit(":", 1)[1])
        entry = [name, process, port]
        for i, (held, _, _) in enumerate(self.nodes):
            if held == name:
                self.nodes[i] = entry
                return port
        self.nodes.append(entry)
        return port

    def port_of(self, name):
        return next(port for held, _, port in self.nodes if held == name)

    def kill_node(self, name):
        process = next(process for held, process, _ in self.nodes if held == name)
        process.kill()
        process.wait()

    def freeze_node(self, name):
        """Stops the node with SIGSTOP: its sockets still accept and take bytes, but nothing answers."""
        next(process for held, process, _ in self.nodes if held == name).send_signal(signal.SIGSTOP)

    def thaw_node(self, name):
        next(process for held, process, _ in self.nodes if held == name).send_signal(signal.SIGCONT)

    def metric(self, name, metric):
        """A value of that node's /metrics, or None."""
        status, text = get(f"127.0.0.1:{self.port_of(name)}", "/metrics")
        for line in text.splitlines():
            fields = line.split()
            if len(fields) == 2 and fields[0] == metric:
                return float(fields[1])
        return None

    def start_proxy(self):
        """nginx with the shipped configuration, cut to the nodes started (n1, n2, ... in order) and pointed
        at their loopback ports, inside a minimal nginx.conf of our own; sets `proxy` to HOST:PORT."""
        port = free_port()
        text = open(CONFIGURATION).read()
        for i in (1, 2, 3):
            if i <= len(self.nodes):
                text = text.replace(f"192.0.2.1{i}:8080", f"127.0.0.1:{self.nodes[i - 1][2]}")
            else:
                text = re.sub(rf"(?ms)^upstream ks_(without_)?n{i} {{.*?^}}\n", "", text)
                text = "".join(line for line in text.splitlines(keepends=True)
                               if f"192.0.2.1{i}:8080" not in line and f'"~^n{i}-"' not in line)
        # With one node, the group that stands in for it is empty, which nginx refuses: drop it and its map line.
        for name in re.findall(r"(?m)^upstream (\w+) {", text):
            block = re.search(rf"(?ms)^upstream {name} {{.*?^}}\n", text).group(0)
            if not re.search(r"(?m)^\s*server ", block):
                text = text.replace(block, "")
                text = "".join(line for line in text.splitlines(keepends=True)
                               if not line.rstrip().endswith(f" {name};"))
        text = text.replace("listen 8080;", f"listen 127.0.0.1:{port};")
        with open(f"{self.work}/ks.conf", "w") as out:
            out.write(text)
        prefix = f"{self.work}/nginx"
        os.makedirs(prefix, exist_ok=True)
        temp = "\n".join(f"    {kind}_temp_path {prefix}/{kind};" for kind in ("fastcgi", "uwsgi", "scgi"))
        with open(f"{self.work}/nginx.conf", "w") as out:
            out.write(f"""daemon off;
worker_processes 2;
pid {self.work}/nginx.pid;
error_log {self.work}/nginx-error.log warn;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
{temp}
    include {self.work}/ks.conf;
}}
""")
        subprocess.run(["nginx", "-t", "-q", "-p", prefix, "-c", f"{self.work}/nginx.conf"], check=True)
        self.nginx = subprocess.Popen(["nginx", "-p", prefix, "-c", f"{self.work}/nginx.conf"])
        self.proxy = f"127.0.0.1:{port}"
        wait_until(lambda: get(self.proxy, "/healthz", timeout=1)[0] == 200, 5, "nginx")

    def stop_all(self):
        if self.nginx is not None:
            self.nginx.terminate()
            self.nginx.wait()
            self.nginx = None
        for _, process, _ in self.nodes:
            if process.poll() is None:
                process.send_signal(signal.SIGCONT)  # a frozen node would never act on SIGTERM
                process.terminate()
            process.wait()
        self.nodes = []
        if self.redis is not None and self.redis.poll() is None:
            self.kill_redis()
        self.redis = None
        self.redis_port = None
