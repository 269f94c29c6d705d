"""What vedhost's web view costs: CPU per /metrics request for 32 meters and
per /api/meters request, the CPU 20 event-stream clients add per round, the
delay from a round's end to the browser's event on loopback, the page's
weight, and vedhost's resident memory with the server on and off.

Run: web_bench.py VEDHOST VED96_SIM SOURCE_DIR (scripts/bench does)."""

import gzip
import json
import os
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "browser"))
from harness import Rig, wait_for  # noqa: E402

VEDHOST, SIM, SOURCE = sys.argv[1:4]
TICK = os.sysconf("SC_CLK_TCK")


def row(name, value, note=""):
    print(f"{name:<34} {value:>16}  {note}")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def fetch(url):
    with urllib.request.urlopen(url, timeout=30) as r:
        return r.read()


class Host:
    """One simulator answering `meters` units on loopback TCP and vedhost polling them."""

    def __init__(self, rig, meters, interval, http=True):
        units = {str(u): {"0": 2300 + u, "8": 1000 + u, "28": 5000} for u in range(1, meters + 1)}
        with open(rig.path("units.json"), "w") as f:
            json.dump(units, f)
        out = rig.path("bench-sim.out")
        self.sim = subprocess.Popen([SIM, "--tcp", "127.0.0.1:0", "--units", rig.path("units.json")],
                                    stdout=open(out, "w"), stderr=subprocess.DEVNULL)
        where = wait_for(lambda: open(out).readline().strip())[4:]
        config = {"lines": [{"tcp": where, "timeout_ms": 500,
                             "meters": [{"slave": u, "data_id": u} for u in range(1, meters + 1)]}]}
        with open(rig.path("bench.json"), "w") as f:
            json.dump(config, f)
        err = rig.path("bench-host.err")
        args = [VEDHOST, "--config", rig.path("bench.json"), "--presentation",
                os.path.join(SOURCE, "examples", "presentation.json"), "--interval", str(interval),
                "--plugin-log", "/dev/null"]
        if http:
            args += ["--http", "127.0.0.1:0"]
        self.host = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=open(err, "w"))
        if http:
            line = wait_for(lambda: [x for x in open(err) if "web view on" in x and x.endswith("/\n")])
            self.url = line[0].split("web view on ")[1].strip()
            wait_for(lambda: all(m["rounds"] >= 1 for m in json.loads(fetch(self.url + "api/meters"))),
                     60)

    def rounds(self):
        return sum(m["rounds"] for m in json.loads(fetch(self.url + "api/meters")))

    def close(self):
        for p in (self.host, self.sim):
            p.terminate()
            p.wait(timeout=30)


def cpu_per_request(host, path, count):
    before = cpu_seconds(host.host.pid)
    for _ in range(count):
        fetch(host.url + path)
    return (cpu_seconds(host.host.pid) - before) / count


def requests(rig):
    # 32 meters, each polled once, then left alone for an hour, so that the
    # CPU vedhost spends is the requests'.
    host = Host(rig, 32, 3600)
    size = len(fetch(host.url + "metrics"))
    row("web/metrics_32_meters", f"{cpu_per_request(host, 'metrics', 400) * 1e6:.0f} us",
        f"CPU per request, {size} bytes")
    size = len(fetch(host.url + "api/meters"))
    row("web/api_meters_32_meters", f"{cpu_per_request(host, 'api/meters', 400) * 1e6:.0f} us",
        f"CPU per request, {size} bytes")
    raw = zipped = 0
    for path in ("", "page.js", "page.css", "favicon.svg"):
        body = fetch(host.url + path)
        raw += len(body)
        zipped += len(gzip.compress(body, 9))
    row("web/page_weight_gzipped", f"{zipped} bytes", f"{raw} bytes as served, scripts included")
    host.close()


def streams(rig):
    # vedhost's CPU per meter's round with 20 event-stream clients against none.
    host = Host(rig, 3, 0.05)
    costs = []
    port = int(host.url.rsplit(":", 1)[1].strip("/"))
    for clients in (0, 20):
        sockets = []
        for _ in range(clients):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
            s.setblocking(False)
            sockets.append(s)
        time.sleep(1)
        r0, c0, t0 = host.rounds(), cpu_seconds(host.host.pid), time.monotonic()
        while time.monotonic() - t0 < 10:
            for s in sockets:
                try:
                    while s.recv(65536):
                        pass
                except BlockingIOError:
                    pass
            time.sleep(0.01)
        costs.append((cpu_seconds(host.host.pid) - c0) / (host.rounds() - r0))
        for s in sockets:
            s.close()
    row("web/event_streams_20_per_round", f"{(costs[1] - costs[0]) * 1e6:.0f} us",
        f"more CPU per meter's round with 20 clients than with none ({costs[0] * 1e6:.0f} us)")
    host.close()


def delay(rig):
    # From a round's end (the state's time) to the event in the browser.
    rig.interval = "0.2"
    rig.start_host()
    driver = rig.browser()
    driver.get(rig.url)
    driver.execute_script("""
        window.delays = [];
        new EventSource('api/events').addEventListener('meter', e => {
          const m = JSON.parse(e.data);
          if (m.time) window.delays.push(Date.now() - Date.parse(m.time));
        });""")
    delays = wait_for(lambda: (lambda d: d if len(d) >= 150 else None)(
        driver.execute_script("return window.delays")), 120)
    delays = delays[3:]  # the stream opens with each meter as it stood
    row("web/round_end_to_browser_event", f"{statistics.median(delays):.0f} ms",
        f"median of {len(delays)}, max {max(delays)} ms, loopback")


def memory(rig):
    # Resident memory after 20 s of three meters polled every 0.2 s.
    for http in (False, True):
        host = Host(rig, 3, 0.2, http)
        time.sleep(20)
        row(f"web/vedhost_rss_server_{'on' if http else 'off'}", f"{rss_kib(host.host.pid)} KiB",
            "three meters, 0.2 s rounds, after 20 s")
        host.close()


def main():
    parts = os.environ.get("WEB_BENCH", "requests,streams,delay,memory").split(",")
    for part in (requests, streams, delay, memory):
        if part.__name__ not in parts:
            continue
        rig = Rig(VEDHOST, SIM, SOURCE)
        try:
            part(rig)
        finally:
            rig.close()


if __name__ == "__main__":
    main()
