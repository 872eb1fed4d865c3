#!/usr/bin/python3
"""GET /metrics, read by the Prometheus client library's own parser: every family must parse, carry the
type it declares, and count the requests this test made under the endpoint names the protocol's table
gives (unknown paths as "other").

Usage: metrics_format_test.py SERVER_PROGRAM
"""

import os
import sys
import time

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "harness"))
from ks_harness import Client, Server, Tally  # noqa: E402


def parsed(text):
    """(families by name, sample values by (name, sorted labels))."""
    families = {family.name: family for family in text_string_to_metric_families(text)}
    samples = {(s.name, tuple(sorted(s.labels.items()))): s.value for f in families.values() for s in f.samples}
    return families, samples


def counted(samples):
    """The requests /metrics counts, less its own ("other", 200)."""
    return sum(value for (name, labels), value in samples.items()
               if name == "ks_requests_total" and labels != (("endpoint", "other"), ("status", "200")))


def main():
    tally = Tally("metrics format")
    with open(os.devnull, "w") as log:
        server = Server(sys.argv[1], [], log)
        try:
            client = Client(server.port, timeout=30)
            session = client.session()
            client.call("GET", "/net?action=get_layouts&session_id=" + session)  # 400: nothing loaded
            client.call("GET", "/nowhere")
            client.call("POST", "/session?action=new")  # 405
            client.close(session)
            # A worker writes its reply and only then hands it back to be counted: on a busy machine a
            # request can be answered before one made earlier is counted. Wait for all five.
            for _ in range(200):
                families, samples = parsed(client.call("GET", "/metrics")[1])
                if counted(samples) >= 5:
                    break
                time.sleep(0.01)
        finally:
            server.stop()

    def requests(endpoint, status):
        return samples.get(("ks_requests_total", (("endpoint", endpoint), ("status", status))))

    tally.check("requests counted by endpoint and status",
                requests("session_new", "200") == 1 and requests("session_delete", "200") == 1
                and requests("session_new", "405") == 1 and requests("other", "404") == 1,
                str({k: v for k, v in samples.items() if k[0] == "ks_requests_total"}))
    tally.check("families carry their declared types",
                families.get("ks_requests") is not None and families["ks_requests"].type == "counter"
                and families["ks_request_duration_seconds"].type == "histogram"
                and families["ks_open_sessions"].type == "gauge")
    buckets = [v for (name, labels), v in samples.items() if name == "ks_request_duration_seconds_bucket"
               and ("endpoint", "session_new") in labels]
    tally.check("latency buckets are cumulative and end at the count",
                buckets == sorted(buckets) and buckets[-1]
                == samples[("ks_request_duration_seconds_count", (("endpoint", "session_new"),))])
    tally.check("the open sessions gauge is back to 0", samples.get(("ks_open_sessions", ())) == 0)
    return tally.exit_code()


if __name__ == "__main__":
    sys.exit(main())
