#!/usr/bin/python3
"""Python's standard json + base64 on the codec benchmark's message: writing an inference request for a
16 MiB float tensor and reading a response of the same size. Prints 'write GBPS' and 'read GBPS', bytes of
tensor data per second (median of several runs)."""
import base64
import json
import statistics
import time

SIZE = 16 << 20
RUNS = 7


def best(work):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return SIZE / statistics.median(times) / 1e9


def main():
    tensor = bytes(range(256)) * (SIZE // 256)
    layout = {"size": [1, SIZE // 4], "type": 0, "format": 0}

    def write():
        return json.dumps({"input_tensors": [{"layout": layout, "data": base64.b64encode(tensor).decode()}],
                           "repetitions_count": 1}, separators=(",", ":"))

    text = write()

    def read():
        message = json.loads(text)
        return base64.b64decode(message["input_tensors"][0]["data"])

    print("write %.4f" % best(write))
    print("read %.4f" % best(read))


if __name__ == "__main__":
    main()
