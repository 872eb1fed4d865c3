#!/usr/bin/python3
"""Sessions opened per second through a server or proxy, and the time a node takes to take over a session
another node opened, for scripts/bench-nginx.

  shared_sessions.py rate HOST:PORT NET --processes N --seconds S [--nodes K]
      N processes each open a session, load NET into it and close it, again and again, on one keep-alive
      connection; prints the sessions opened per second. First, through a proxy in front of K nodes, a
      session is opened on every node and holds NET throughout, as the devices already there would: a
      session then loads a network its node holds, and measures what a session costs, not a worker start.
  shared_sessions.py takeover HOST:PORT_A HOST:PORT_B NET SHAPE [--held] --repeat K
      Opens a session on A, loads NET and runs it there on a float32 input of SHAPE (1,3,48,320); then runs it on B twice. The first run on B takes
      the session over; the takeover is its time less the second's. With --held, B already holds NET for a
      session of its own first. Prints the median over K sessions, in milliseconds.
"""
import argparse
import base64
import http.client
import json
import multiprocessing
import statistics
import struct
import sys
import time


def connect(address):
    host, port = address.rsplit(":", 1)
    return http.client.HTTPConnection(host, int(port), timeout=60)


def exchange(connection, method, target, body=None):
    headers = {"Content-Type": "application/json"} if body is not None else {}
    connection.request(method, target, body=body, headers=headers)
    reply = connection.getresponse()
    data = reply.read()
    if reply.status != 200:
        raise RuntimeError(f"{method} {target}: HTTP {reply.status} {data[:200]!r}")
    return json.loads(data)


def load_body(net_path):
    net = base64.b64encode(open(net_path, "rb").read()).decode()
    return json.dumps({"input_tensors": [], "output_tensors": [], "net": net, "key": "", "cache_dir": "",
                       "backend": 0, "device_type": 0, "device_index": 0})


def inference_body(shape):
    elements = 1
    for dim in shape:
        elements *= dim
    data = base64.b64encode(struct.pack(f"<{elements}f", *([0.5] * elements))).decode()
    layout = 1 if len(shape) == 4 else 0  # NCHW for four dimensions, plain otherwise
    return json.dumps({"input_tensors": [{"layout": {"size": shape, "type": 0, "format": layout}, "data": data}],
                       "repetitions_count": 1})


def open_loaded(connection, body):
    session = exchange(connection, "GET", "/session?action=new")["session_id"]
    exchange(connection, "POST", f"/net?action=load&session_id={session}", body)
    return session


def rate_worker(address, body, seconds, results):
    connection = connect(address)
    count = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        session = open_loaded(connection, body)
        exchange(connection, "GET", f"/session?action=delete&session_id={session}")
        count += 1
    results.put(count)


def rate(args):
    body = load_body(args.net)
    anchors, connection = {}, connect(args.address)
    for _ in range(20 * args.nodes):
        if len(anchors) == args.nodes:
            break
        session = open_loaded(connection, body)
        node = session.split("-", 1)[0]
        if node in anchors:
            exchange(connection, "GET", f"/session?action=delete&session_id={session}")
        else:
            anchors[node] = session
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=rate_worker, args=(args.address, body, args.seconds, results))
               for _ in range(args.processes)]
    start = time.monotonic()
    for worker in workers:
        worker.start()
    total = sum(results.get() for _ in workers)
    for worker in workers:
        worker.join()
    print(f"{total / (time.monotonic() - start):.0f}")


def timed(connection, target, body):
    start = time.perf_counter()
    exchange(connection, "POST", target, body)
    return (time.perf_counter() - start) * 1e3


def takeover(args):
    body = load_body(args.net)
    request = inference_body([int(dim) for dim in args.shape.split(",")])
    a, b = connect(args.a), connect(args.b)
    if args.held:
        own = open_loaded(b, body)
        exchange(b, "POST", f"/inference?session_id={own}", request)
    takeovers = []
    for _ in range(args.repeat):
        session = open_loaded(a, body)
        exchange(a, "POST", f"/inference?session_id={session}", request)
        first = timed(b, f"/inference?session_id={session}", request)
        second = timed(b, f"/inference?session_id={session}", request)
        takeovers.append(first - second)
        # Closed on both, so B lets the network go unless a session of its own holds it.
        exchange(b, "GET", f"/session?action=delete&session_id={session}")
        exchange(a, "GET", f"/session?action=delete&session_id={session}")
    print(f"{statistics.median(takeovers):.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("rate")
    r.add_argument("address")
    r.add_argument("net")
    r.add_argument("--processes", type=int, default=8)
    r.add_argument("--seconds", type=float, default=5)
    r.add_argument("--nodes", type=int, default=1)
    t = sub.add_parser("takeover")
    t.add_argument("a")
    t.add_argument("b")
    t.add_argument("net")
    t.add_argument("shape")
    t.add_argument("--held", action="store_true")
    t.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rate(args) if args.command == "rate" else takeover(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
