#!/usr/bin/python3
"""A client written the usual way with Python's standard library only (urllib, json, base64): it opens a
session on the inference server, loads the identity network and times complete inference round trips,
encoding the request and decoding the reply included. Prints the median seconds of one round trip."""
import argparse
import base64
import json
import statistics
import time
import urllib.request


def call(url, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request) as reply:
        return json.loads(reply.read())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--net", required=True)
    parser.add_argument("--elements", type=int, required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    base = "http://127.0.0.1:%d" % args.port
    session = call(base + "/session?action=new")["session_id"]
    with open(args.net, "rb") as net:
        load = {"input_tensors": ["input"], "output_tensors": ["output"],
                "net": base64.b64encode(net.read()).decode(), "key": "", "cache_dir": "",
                "backend": 0, "device_type": 0, "device_index": 0}
    status = call(base + "/net?action=load&session_id=" + session, load)
    assert status.get("status") is not False, status
    tensor = bytes(range(256)) * (args.elements * 4 // 256)
    layout = {"size": [1, args.elements], "type": 0, "format": 0}
    times = []
    for _ in range(args.runs):
        start = time.perf_counter()
        request = {"input_tensors": [{"layout": layout, "data": base64.b64encode(tensor).decode()}],
                   "repetitions_count": 1}
        reply = call(base + "/inference?session_id=" + session, request)
        output = base64.b64decode(reply["output_tensors"][0]["data"])
        times.append(time.perf_counter() - start)
        assert output == tensor
    call(base + "/session?action=delete&session_id=" + session)
    print("%.6f" % statistics.median(times))


if __name__ == "__main__":
    main()
