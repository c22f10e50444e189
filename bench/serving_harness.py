"""What the serving benchmark (bench/bench_serving.py) and the soak (tools/soak.sh) share: a served
model folder started as a user starts it (`ombrel serve`, with the writing endpoints enabled by a
token, as a deployment that takes feedback runs it), wrk driving it with bench/serving_load.lua, and
the models they serve. Every request carries the token and Content-Type: application/json."""

import json
import os
import resource
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request

from bench_fit_cost import read_tsv as read_rows  # beside this file
from ombrel_learn import OmbrelClassifier
from ombrel_learn.serve.service import process_usage, worker_pids

HERE = os.path.dirname(os.path.abspath(__file__))
LUA = os.path.join(HERE, "serving_load.lua")
DATA = os.environ.get("OMBREL_DATA", os.path.join(HERE, "..", "..", "shared", "data"))
# The token of the served writing endpoints (/feedback, /reload), new for each run. The server and
# wrk read it from the environment, never from their command lines.
TOKEN = secrets.token_urlsafe(24)
HEADERS = {"Content-Type": "application/json", "Authorization": f"Bearer {TOKEN}"}


def read_tsv(name, file):
    path = os.path.join(DATA, name, file)
    if not os.path.isfile(path):
        sys.exit(f"dataset {name} not found at {path} (set OMBREL_DATA to the datasets folder)")
    return read_rows(path)


def require_wrk():
    if shutil.which("wrk") is None:
        sys.exit("this needs the load generator wrk: apt-get install wrk (bench/load_test.sh installs it)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=HEADERS)
    with urllib.request.urlopen(request, timeout=10) as response:
        return json.loads(response.read())


def post(port, path, body):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=json.dumps(body).encode(),
                                     method="POST", headers=HEADERS)
    with urllib.request.urlopen(request, timeout=60) as response:
        return json.loads(response.read())


class Server:
    """`ombrel serve FOLDER --workers N --allow-writes` (token TOKEN) on a free port, for a `with`
    block."""

    def __init__(self, folder, workers, poll=0.1, log=None):
        self.folder, self.workers, self.poll = folder, workers, poll
        self.port = free_port()
        self.log = log or subprocess.DEVNULL

    def __enter__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "ombrel_learn", "serve", self.folder, "--workers", str(self.workers),
             "--port", str(self.port), "--poll", str(self.poll), "--log-level", "warning", "--allow-writes"],
            stdout=self.log, stderr=subprocess.STDOUT, env=dict(os.environ, OMBREL_SERVE_TOKEN=TOKEN))
        # Ready when every worker has answered (each listens on its own socket; new connections
        # are spread over them).
        deadline = time.monotonic() + 120
        answered = set()
        while len(answered) < self.workers:
            if self.process.poll() is not None:
                sys.exit(f"ombrel serve exited with status {self.process.returncode}")
            try:
                answered.add(get(self.port, "/health")["pid"])
            except OSError:
                time.sleep(0.05)
            if time.monotonic() > deadline:
                self.process.kill()
                sys.exit("ombrel serve did not answer within 120 s")
        self.url = f"http://127.0.0.1:{self.port}"
        return self

    def pids(self):
        return worker_pids(self.process.pid)

    def usage(self):
        """process_usage of each worker."""
        return {pid: process_usage(pid) for pid in self.pids()}

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def write_lines(path, bodies):
    with open(path, "w", encoding="utf-8") as f:
        for body in bodies:
            f.write(json.dumps(body, ensure_ascii=False) + "\n")
    return path


def wrk_command(url, bodies, seconds, connections, feedback="-", every=0, delay_ms=0, threads=1):
    return ["wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s", "--timeout", "10s",
            "-s", LUA, url, "--", bodies, feedback, str(every), str(delay_ms)]


def wrk_env(count):
    """count: read every answer (failures by status, the model identities seen). The token goes to
    the script through the environment."""
    return dict(os.environ, OMBREL_WRK_COUNT="1" if count else "0", OMBREL_WRK_TOKEN=TOKEN)


def wrk_result(out):
    line = next(x for x in out.splitlines() if x.startswith("RESULT "))
    result = json.loads(line[len("RESULT "):])
    result["rps"] = result["requests"] / result["seconds"]
    result["failed"] = result["non_2xx"] + result["socket_errors"]
    return result


def cpu_seconds(pid):
    """User + system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine_busy():
    """(busy, total) CPU seconds of the whole machine so far, from /proc/stat."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:]]
    idle = ticks[3] + ticks[4]
    return (sum(ticks) - idle) / os.sysconf("SC_CLK_TCK"), sum(ticks) / os.sysconf("SC_CLK_TCK")


def wrk(url, bodies, seconds, connections, feedback="-", every=0, delay_ms=0, threads=1, count=False, workers=()):
    """One wrk run; the dict its script prints (requests, latency percentiles in us, failures), with
    where the CPU went: the service's workers, wrk, and the rest of the machine (in cores)."""
    command = wrk_command(url, bodies, seconds, connections, feedback, every, delay_ms, threads)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    served = sum(cpu_seconds(pid) for pid in workers)
    busy, total = machine_busy()
    start = time.monotonic()
    out = subprocess.run(command, capture_output=True, text=True, check=True, env=wrk_env(count)).stdout
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = wrk_result(out)
    if workers:
        result["service_cores"] = (sum(cpu_seconds(pid) for pid in workers) - served) / wall
        result["wrk_cores"] = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) / wall
        result["machine_cores"] = (machine_busy()[0] - busy) / wall
        result["other_cores"] = result["machine_cores"] - result["service_cores"] - result["wrk_cores"]
        result["service_us_per_request"] = result["service_cores"] * wall / max(1, result["requests"]) * 1e6
    return result


def train(texts, labels, **settings):
    settings.setdefault("learner", "field")
    settings.setdefault("features", "words")
    return OmbrelClassifier(**settings).fit(texts, labels)


def mib(n):
    return f"{n / (1 << 20):.1f}"
