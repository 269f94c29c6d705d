"""The real thing for browser tests and benchmarks: simulators on loopback
TCP, vedhost polling them with its web server on, and headless Chromium
driven through WebDriver. Every process started here is stopped by close()."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:  # said by find_tools()
    webdriver = Service = None

CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage",
]

# Register images of the three simulated meters: meter 1 and 2 fixed values,
# meter 3 the simulator's live ones.
IMAGES = {
    1: {"0": 2561, "1": 2302, "2": 2299, "8": 1234, "9": 1198, "10": 1211, "28": 5002},
    2: {"0": 2298, "1": 2301, "2": 2304, "8": 532, "9": 547, "10": 519, "28": 4999},
    3: None,
}


# The supply-quality report switched on for the test's meters.
QUALITY_ARGS = ("--quality-nominal-v", "230")


class MissingTools(Exception):
    pass


def find_tools():
    """The Chromium and ChromeDriver programs the page is tried in: those
    CHROMIUM and CHROMEDRIVER name, else chromium and chromedriver in PATH.
    Raises MissingTools naming whatever is not there, Selenium included."""
    found, missing = [], []
    for variable, program, package in (("CHROMIUM", "chromium", "chromium"),
                                       ("CHROMEDRIVER", "chromedriver", "chromium-driver")):
        named = os.environ.get(variable)
        path = shutil.which(named or program)
        if path:
            found.append(path)
        else:
            missing.append(f"{named or program} ({variable} or PATH; Debian's {package})")
    if webdriver is None:
        missing.append("Selenium for the system Python (Debian's python3-selenium)")
    if missing:
        raise MissingTools("not found: " + ", ".join(missing) +
                           "; scripts/test installs them")
    return tuple(found)


def wait_for(condition, timeout=30.0, step=0.05):
    """Polls condition() until it returns a true value; that value, or None."""
    until = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > until:
            return None
        time.sleep(step)


class Rig:
    def __init__(self, vedhost, sim, source, interval="1"):
        self.vedhost, self.sim, self.source, self.interval = vedhost, sim, source, interval
        self.dir = tempfile.mkdtemp(prefix="vedhost-browser-")
        self.sims = {}    # data id -> (process, port)
        self.host = None
        self.port = None
        self.driver = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def start_sim(self, meter, image, port=0, sim_args=()):
        setup = {"1": image}
        units = self.path(f"units{meter}.json")
        with open(units, "w") as f:
            json.dump(setup, f)
        out = self.path(f"sim{meter}.out")
        proc = subprocess.Popen([self.sim, "--tcp", f"127.0.0.1:{port}", "--units", units,
                                 *sim_args],
                                stdout=open(out, "w"), stderr=open(self.path(f"sim{meter}.err"), "w"))
        line = wait_for(lambda: open(out).readline().strip())
        if not line:
            raise RuntimeError(f"simulator {meter} did not start")
        self.sims[meter] = (proc, int(line.rsplit(":", 1)[1]))

    def stop_sim(self, meter):
        proc, port = self.sims[meter]
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        return port

    def seed_quality(self, tool, data_id=1):
        """Two weeks of one meter's supply-quality values in the history,
        written before the host starts (quality_weeks.cpp): the names of the
        week before last, which holds, and of last week, when L1 ran high."""
        out = subprocess.run([tool, self.path("history.db"), str(data_id)], check=True,
                             capture_output=True, text=True, timeout=120).stdout
        before, last = out.split()
        return before, last

    def start_host(self, meters=(1, 2, 3), extra=(), history=True, sim_args=(), document=None):
        """The simulators (live ones given `sim_args`) and vedhost; `document`
        holds members the --config document adds (an "energy" object, say)."""
        for m in meters:
            self.start_sim(m, IMAGES[m], sim_args=sim_args if IMAGES[m] is None else ())
        config = {"lines": [{"tcp": f"127.0.0.1:{self.sims[m][1]}", "timeout_ms": 300,
                             "meters": [{"slave": 1, "data_id": m}]} for m in meters]}
        config.update(document or {})
        with open(self.path("vedhost.json"), "w") as f:
            json.dump(config, f)
        err = self.path("host.err")
        self.host = subprocess.Popen(
            [self.vedhost, "--config", self.path("vedhost.json"),
             "--presentation", os.path.join(self.source, "examples", "presentation.json"),
             "--interval", self.interval,
             *(["--history", self.path("history.db")] if history else []),
             "--plugin-log", self.path("plugin.log"), "--http", "127.0.0.1:0", *extra],
            stdout=open(self.path("host.out"), "w"), stderr=open(err, "w"))
        found = wait_for(lambda: re.search(r"web view on http://[^:]+:(\d+)/", open(err).read()))
        if not found:
            raise RuntimeError("vedhost did not serve: " + open(err).read())
        self.port = int(found.group(1))
        self.url = f"http://127.0.0.1:{self.port}/"

    def api(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as r:
            return json.load(r)

    def browser(self, width=1280, height=900):
        chromium, chromedriver = find_tools()
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + self.path("chromium-profile"))
        options.add_argument(f"--window-size={width},{height}")
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        service = Service(chromedriver, log_path=self.path("chromedriver.log"))
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_page_load_timeout(60)
        return self.driver

    def close(self):
        if self.driver is not None:
            try:
                self.driver.quit()
            except Exception:
                pass
        procs = [p for p, _ in self.sims.values()] + ([self.host] if self.host else [])
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
