"""`ombrel serve` facing a hostile network and its own failures: who may write, the port, the
workers' lives, slow and idle clients, requests that would block the event loop, settings, and live
learning that survives a killed writer. Servers run as subprocesses on free ports, with short
timeouts so that each test takes seconds."""

import asyncio
import errno
import glob
import json
import logging
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

import numpy as np
import pytest

from learn_support import make_corpus

pytest.importorskip("uvicorn")

from ombrel_learn import OmbrelClassifier  # noqa: E402
from ombrel_learn.serve import service as serving  # noqa: E402

TOKEN = "trust-tests-token-0123456789abcdef"
TEXT = "rocket orbit planet galaxy"


@pytest.fixture(scope="module")
def corpus():
    return make_corpus(20, 1)


@pytest.fixture
def folder(tmp_path, corpus):
    path = tmp_path / "model"
    OmbrelClassifier(learner="field", features="words", epochs=4).fit(*corpus).save(path)
    return str(path)


def weights_of(folder):
    return os.path.join(folder, json.load(open(os.path.join(folder, "model.json")))["weights"])


# -- in-process requests -------------------------------------------------------------------------------

async def call(app, method, path, body=None, headers=()):
    """One request through the ASGI interface: (status, response headers, decoded JSON)."""
    raw = body if isinstance(body, bytes) else json.dumps(body).encode() if body is not None else b""
    delivered = False
    sent = []

    async def receive():
        nonlocal delivered
        if not delivered:
            delivered = True
            return {"type": "http.request", "body": raw, "more_body": False}
        await asyncio.sleep(3600)

    async def send(message):
        sent.append(message)

    heads = [(b"content-length", str(len(raw)).encode())] + [(k.lower().encode(), v.encode()) for k, v in headers]
    await app({"type": "http", "method": method, "path": path, "headers": heads}, receive, send)
    return sent[0]["status"], dict(sent[0]["headers"]), json.loads(b"".join(m.get("body", b"") for m in sent[1:]))


JSON = ("Content-Type", "application/json")
AUTH = ("Authorization", f"Bearer {TOKEN}")


def test_writing_needs_enabling_a_token_json_and_one_of_the_servers_names(folder):
    weights = weights_of(folder)
    with open(weights, "rb") as f:
        original = f.read()
    feedback = {"text": TEXT, "label": "food"}

    async def scenario():
        closed = serving.ServingApp(folder)
        guarded = serving.ServingApp(folder, token=TOKEN, allowed_hosts=["ombrel.internal"],
                                     allowed_origins=["https://dashboard.example"])
        for app in (closed, guarded):
            await app.start(watch=False)
        try:
            answers = {
                "disabled feedback": await call(closed, "POST", "/feedback", feedback, [JSON, AUTH]),
                "disabled reload": await call(closed, "POST", "/reload", {}, [JSON, AUTH]),
                "no token": await call(guarded, "POST", "/feedback", feedback, [JSON]),
                "wrong token": await call(guarded, "POST", "/feedback", feedback,
                                          [JSON, ("Authorization", f"Bearer {TOKEN[:-1]}x")]),
                "not bearer": await call(guarded, "POST", "/reload", {}, [JSON, ("Authorization", TOKEN)]),
                "text/plain feedback": await call(guarded, "POST", "/feedback", feedback,
                                                  [("Content-Type", "text/plain"), AUTH]),
                "text/plain predict": await call(guarded, "POST", "/predict", {"text": TEXT},
                                                 [("Content-Type", "text/plain")]),
                "form predict": await call(guarded, "POST", "/predict", {"text": TEXT},
                                           [("Content-Type", "application/x-www-form-urlencoded")]),
                "foreign origin": await call(guarded, "POST", "/feedback", feedback,
                                             [JSON, AUTH, ("Host", "127.0.0.1:8000"),
                                              ("Origin", "http://attacker.example")]),
                "null origin": await call(guarded, "POST", "/predict", {"text": TEXT}, [JSON, ("Origin", "null")]),
                "other port": await call(guarded, "GET", "/health", None,
                                         [("Host", "127.0.0.1:8000"), ("Origin", "http://127.0.0.1:9999")]),
                "rebound name": await call(guarded, "POST", "/feedback", feedback,
                                           [JSON, AUTH, ("Host", "attacker.example:8000")]),
                "rebound read": await call(guarded, "GET", "/model", None, [("Host", "attacker.example")]),
            }
            unchanged = open(weights, "rb").read() == original
            accepted = {
                "localhost": await call(guarded, "POST", "/predict", {"text": TEXT},
                                        [("Content-Type", "application/json; charset=utf-8"),
                                         ("Host", "localhost:8000"), ("Origin", "http://localhost:8000")]),
                "allowed name": await call(guarded, "GET", "/health", None, [("Host", "ombrel.internal")]),
                "allowed origin": await call(guarded, "GET", "/health", None,
                                             [("Host", "ombrel.internal"), ("Origin", "https://dashboard.example")]),
                "feedback": await call(guarded, "POST", "/feedback", feedback,
                                       [JSON, AUTH, ("Host", "127.0.0.1:8000"), ("Origin", "http://127.0.0.1:8000")]),
            }
            return answers, unchanged, accepted
        finally:
            for app in (closed, guarded):
                await app.stop()

    answers, unchanged, accepted = asyncio.run(scenario())
    expected = {"disabled feedback": 403, "disabled reload": 403, "no token": 401, "wrong token": 401,
                "not bearer": 401, "text/plain feedback": 415, "text/plain predict": 415, "form predict": 415,
                "foreign origin": 403, "null origin": 403, "other port": 403, "rebound name": 403,
                "rebound read": 403}
    assert {name: status for name, (status, _, _) in answers.items()} == expected, answers
    assert "--allow-writes" in answers["disabled feedback"][2]["error"]
    assert answers["no token"][1][b"www-authenticate"].startswith(b"Bearer")
    assert "application/json" in answers["text/plain predict"][2]["error"]
    assert unchanged, "a refused request changed the weights"
    assert {name: status for name, (status, _, _) in accepted.items()} == dict.fromkeys(accepted, 200), accepted
    assert open(weights, "rb").read() != original  # the accepted feedback trained

    # The command line enables writes only with a token, taken from the environment or a file.
    env = {k: v for k, v in os.environ.items() if k != "OMBREL_SERVE_TOKEN"}
    status, said = run_cli("serve", folder, "--port", "0", "--allow-writes", env=env, timeout=30)
    assert status == 1 and "OMBREL_SERVE_TOKEN" in said, said


# -- servers in subprocesses -----------------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(port, method, path, body=None, token=None, timeout=10):
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = f"Bearer {token}"
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)  # the server and any child it left behind
    except ProcessLookupError:
        pass
    process.wait()


def run_cli(*args, env=None, timeout=60):
    """`ombrel ARGS` to its end: (exit status, what it printed). Output goes through a file and the
    command runs in its own session, so that children it leaves behind can neither hold a pipe open
    nor outlive the test."""
    with tempfile.TemporaryFile(mode="w+") as out:
        process = subprocess.Popen([sys.executable, "-m", "ombrel_learn", *args], stdout=out, stderr=out,
                                   text=True, env=env, start_new_session=True)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            _kill_group(process)
            out.seek(0)
            pytest.fail(f"ombrel {' '.join(args)} did not finish within {timeout} s:\n{out.read()}")
        finally:
            _kill_group(process)
        out.seek(0)
        return process.returncode, out.read()


class Served:
    """`ombrel serve FOLDER ARGS` on a free port until the end of the `with` block (in a session of
    its own, killed whole at the end)."""

    def __init__(self, folder, *args, token=None, preexec_fn=None, port=None):
        self.port = port or free_port()
        env = dict(os.environ)
        env.pop("OMBREL_SERVE_TOKEN", None)
        if token:
            env["OMBREL_SERVE_TOKEN"] = token
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "ombrel_learn", "serve", folder, "--port", str(self.port), "--poll", "0.05",
             *args], stdout=self.log, stderr=subprocess.STDOUT, text=True, env=env, preexec_fn=preexec_fn,
            start_new_session=True)

    def __enter__(self):
        return self

    def wait_ready(self, workers=1, timeout=60):
        deadline = time.monotonic() + timeout
        seen = set()
        while len(seen) < workers:
            assert self.process.poll() is None, self.output()
            assert time.monotonic() < deadline, f"not ready: {seen}"
            try:
                seen.add(http(self.port, "GET", "/health", timeout=2)[1]["pid"])
            except OSError:
                time.sleep(0.05)
        return seen

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            _kill_group(self.process)
            pytest.fail(f"the server did not stop:\n{self.output()}")
        return self.output()

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.terminate()  # lets it remove its private folder
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                pass
        _kill_group(self.process)
        self.log.close()


def gone(pids, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        alive = [pid for pid in pids if os.path.exists(f"/proc/{pid}") and _state(pid) != "Z"]
        if not alive:
            return True
        time.sleep(0.1)
    return False


def _state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0]
    except OSError:
        return "Z"


def test_a_port_in_use_is_refused_and_workers_die_with_the_supervisor(folder):
    with Served(folder, "--workers", "2") as first:
        first.wait_ready(2)
        workers = serving.worker_pids(first.process.pid)
        assert len(workers) == 2
        # A second service on the same port is refused instead of splitting the traffic.
        status, said = run_cli("serve", folder, "--workers", "2", "--port", str(first.port), timeout=30)
        assert status == 1 and "in use" in said, said
        assert {http(first.port, "GET", "/health")[1]["pid"] for _ in range(20)} <= set(workers)
        # Nor can any other socket join the port, even one asking to share it.
        with socket.socket() as intruder:
            intruder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            with pytest.raises(OSError) as refused:
                intruder.bind(("127.0.0.1", first.port))
            assert refused.value.errno == errno.EADDRINUSE
        # So is a port where some other server listens.
        with socket.socket() as other:
            other.bind(("127.0.0.1", 0))
            other.listen()
            status, said = run_cli("serve", folder, "--port", str(other.getsockname()[1]), timeout=30)
        assert status == 1 and "in use" in said, said
        # The supervisor killed outright: its workers notice and exit.
        first.process.kill()
        first.process.wait()
        assert gone(workers, 15), f"workers {workers} outlived their supervisor"


def test_a_dead_worker_is_restarted_with_back_off_while_the_others_keep_serving(folder):
    away = folder + ".away"
    with Served(folder, "--workers", "2") as server:
        pids = server.wait_ready(2)
        victim, survivor = sorted(pids)
        os.rename(folder, away)  # replacements cannot load the model for now
        os.kill(victim, signal.SIGKILL)
        assert gone([victim], 10)
        deadline = time.monotonic() + 30
        while True:
            status, health = http(server.port, "GET", "/health")
            assert status == 200 and health["pid"] == survivor
            failing = health["service"]["failing"]
            if failing and failing[0]["failures"] >= 3:
                break
            assert time.monotonic() < deadline, health
            time.sleep(0.1)
        assert health["status"] == "degraded" and health["service"]["running"] <= 2
        # Several replacements failed; the healthy worker still answers, on new connections too.
        assert {http(server.port, "POST", "/predict", {"text": TEXT})[1]["label"] for _ in range(10)} == {"space"}
        os.rename(away, folder)
        deadline = time.monotonic() + 30
        while True:
            answered = {http(server.port, "GET", "/health")[1]["pid"] for _ in range(20)}
            health = http(server.port, "GET", "/health")[1]
            if len(answered) == 2 and not health["service"]["failing"]:
                break
            assert time.monotonic() < deadline, (answered, health)
            time.sleep(0.1)
        assert survivor in answered and victim not in answered
        assert health["service"]["restarts"] >= 3 and health["status"] == "ok"
        output = server.stop()
    assert server.process.returncode == 0 and "Traceback" not in output, output


def _closed_within(sock, seconds):
    """Whether the server closed the connection within `seconds` (after any answer it sent)."""
    sock.settimeout(0.2)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if sock.recv(65536) == b"":
                return True
        except socket.timeout:
            continue
        except ConnectionResetError:
            return True
    return False


def _low_file_limit():
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


def test_slow_and_idle_clients_are_timed_out_and_connections_bounded(folder, corpus):
    # More idle connections than the worker has file descriptors: a normal client is still answered,
    # and a hot swap still opens the new model's files.
    with Served(folder, preexec_fn=_low_file_limit) as server:
        server.wait_ready()
        idle = []
        try:
            for _ in range(400):
                idle.append(socket.create_connection(("127.0.0.1", server.port)))
            time.sleep(0.5)
            assert http(server.port, "POST", "/predict", {"text": TEXT}, timeout=5)[1]["label"] == "space"
            OmbrelClassifier(learner="field", features="words", epochs=2).fit(*corpus).save(folder)
            identity = os.path.basename(weights_of(folder))
            deadline = time.monotonic() + 10
            while http(server.port, "GET", "/health", timeout=5)[1]["model"] != identity:
                assert time.monotonic() < deadline, "the hot swap did not happen"
                time.sleep(0.1)
        finally:
            for sock in idle:
                sock.close()

    with Served(folder, "--timeout-header", "1", "--timeout-body", "1", "--timeout-keep-alive", "1") as server:
        server.wait_ready()
        clients = {name: socket.create_connection(("127.0.0.1", server.port)) for name in ("idle", "half head",
                                                                                            "half body")}
        clients["half head"].sendall(b"POST /predict HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Ty")
        clients["half body"].sendall(b"POST /predict HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json"
                                     b"\r\nContent-Length: 100\r\n\r\n{\"text\": ")
        start = time.monotonic()
        closed = {name: _closed_within(sock, 8) for name, sock in clients.items()}
        elapsed = time.monotonic() - start
        for sock in clients.values():
            sock.close()
        assert closed == dict.fromkeys(clients, True), closed
        assert elapsed < 8
        assert http(server.port, "POST", "/predict", {"text": TEXT})[1]["label"] == "space"

        # Request heads are bounded in size (64 KiB by default), whether they come in one piece or
        # many, in one long header or many short ones; a head just below the bound is answered.
        def head_answer(head, pieces=1):
            with socket.create_connection(("127.0.0.1", server.port)) as sock:
                step = len(head) // pieces + 1
                try:
                    for start in range(0, len(head), step):
                        sock.sendall(head[start:start + step])
                    sock.settimeout(5)
                    return sock.recv(4096).split(b"\r\n")[0]
                except (ConnectionResetError, BrokenPipeError):  # closed while the client was still sending
                    return b"reset"

        line = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        assert head_answer(line + b"X-A: " + b"a" * 60_000 + b"\r\n\r\n") == b"HTTP/1.1 200 OK"
        for head, pieces in [(line + b"X-A: " + b"a" * 70_000 + b"\r\n\r\n", 1),
                             (line + b"X-A: " + b"a" * 70_000 + b"\r\n\r\n", 9),
                             (line + b"X-N: v\r\n" * 10_000 + b"\r\n", 1)]:
            assert head_answer(head, pieces) == b"HTTP/1.1 431 Request Header Fields Too Large"
        assert head_answer(line + b"X-A: " + b"a" * (50 << 20), 50) in (
            b"reset", b"HTTP/1.1 431 Request Header Fields Too Large")
        assert http(server.port, "POST", "/predict", {"text": TEXT})[1]["label"] == "space"


def test_a_huge_batch_of_empty_texts_does_not_block_the_event_loop(folder, monkeypatch):
    texts = [""] * 349_000
    body = json.dumps({"texts": texts}).encode()
    # Turning labels into Python objects (tolist) and encoding them (json.dumps) are single calls
    # that hold the interpreter lock throughout, so neither may take the whole batch at once, and
    # the event loop thread none of it: record who does how much.
    work = []
    encode = json.dumps

    class Labels(np.ndarray):
        def tolist(self):
            work.append(("tolist", threading.current_thread().name, len(self)))
            return super().tolist()

    def recording_dumps(value, *args, **kwargs):
        labels = value.get("labels") if isinstance(value, dict) else value
        if isinstance(labels, list) and len(labels) > 1:
            work.append(("dumps", threading.current_thread().name, len(labels)))
        return encode(value, *args, **kwargs)

    monkeypatch.setattr(json, "dumps", recording_dumps)

    async def scenario():
        app = serving.ServingApp(folder, max_body=len(body) + 1)
        await app.start(watch=False)
        classifier = app.holder.current.classifier
        predict = classifier.predict
        monkeypatch.setattr(classifier, "predict", lambda batch: predict(batch).view(Labels))
        finished = []

        async def batch():
            status, _, payload = await call(app, "POST", "/predict_batch", body, [JSON])
            finished.append(("batch", status, len(payload.get("labels", ()))))

        async def health():
            await asyncio.sleep(0.02)  # the batch has started
            status, _, _ = await call(app, "GET", "/health")
            finished.append(("health", status, 0))

        try:
            await asyncio.gather(batch(), health())
        finally:
            await app.stop()
        return finished

    loop_thread = threading.current_thread().name
    finished = asyncio.run(scenario())
    assert finished == [("health", 200, 0), ("batch", 200, len(texts))]
    assert sum(n for step, _, n in work if step == "tolist") == len(texts)
    assert {step for step, _, _ in work} == {"tolist", "dumps"}
    assert max(n for _, _, n in work) <= len(texts) // 20, max(work, key=lambda w: w[2])
    assert all(thread != loop_thread for _, thread, _ in work), work


def test_settings_are_checked_the_missing_folder_is_logged_once_and_stop_cleans_up(folder, caplog):
    for option, value in [("--port", "99999"), ("--port", "-1"), ("--poll", "nan"), ("--poll", "inf"),
                          ("--poll", "-1"), ("--poll", "0.000001"), ("--max-head", "10")]:
        status, said = run_cli("serve", folder, "--port", "0", option, value, timeout=30)
        assert status == 1 and said.startswith(f"ombrel: error: {option}"), (option, value, said)

    async def watch_a_folder_that_goes_away():
        holder = serving.ModelHolder(folder, poll=0.01)
        await holder.refresh(force=True)
        task = asyncio.get_running_loop().create_task(holder.watch())
        for _ in range(2):
            os.rename(folder, folder + ".away")
            await asyncio.sleep(0.3)
            os.rename(folder + ".away", folder)
            await asyncio.sleep(0.1)
        task.cancel()

    with caplog.at_level(logging.INFO, logger="ombrel.serve"):
        asyncio.run(watch_a_folder_that_goes_away())
    messages = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert len([m for m in messages if "cannot be loaded" in m]) == 2, messages  # once per absence
    assert len([m for m in messages if "loads again" in m]) == 2, messages

    scratch = tempfile.gettempdir()
    with Served(folder) as one, Served(folder, "--workers", "2") as two:
        for server, workers in ((one, 1), (two, 2)):
            server.wait_ready(workers)
            assert glob.glob(os.path.join(scratch, f"ombrel-serve-{server.process.pid}-*"))
        for server in (one, two):
            output = server.stop(signal.SIGTERM)
            assert server.process.returncode == 0 and "Traceback" not in output, output
            assert not glob.glob(os.path.join(scratch, f"ombrel-serve-{server.process.pid}-*"))


def test_a_killed_writer_leaves_no_record_locked(folder):
    weights = weights_of(folder)
    with Served(folder, "--allow-writes", token=TOKEN) as server:
        server.wait_ready()
        writer = http(server.port, "GET", "/health")[1]["service"]["writer"]
        assert writer["running"] and writer["pid"] == serving.writer_pid(server.process.pid)
        # Once the writer answers, it has loaded the model (and released the locks it found then).
        status, answer = http(server.port, "POST", "/feedback", {"text": TEXT, "label": "space"}, token=TOKEN)
        assert status == 200 and answer["after"] == "space", answer
        # The writer is stopped in the middle of updates: every record's lock word stays held.
        words = np.memmap(weights, dtype="<i4", mode="r+")
        words[14::16] = 1
        words.flush()
        del words
        for _ in range(10):
            status, answer = http(server.port, "POST", "/feedback", {"text": TEXT, "label": "food"}, token=TOKEN)
            assert status == 200 and answer["after"] == "space"  # every record passed over
        os.kill(writer["pid"], signal.SIGKILL)
        deadline = time.monotonic() + 30
        while True:
            now = http(server.port, "GET", "/health")[1]["service"]["writer"]
            if now["running"] and now["pid"] != writer["pid"]:
                break
            assert time.monotonic() < deadline, now
            time.sleep(0.1)
        assert now["restarts"] == 1
        # No second writer: another server taking writes for the same folder is refused.
        status, said = run_cli("serve", folder, "--port", "0", "--allow-writes",
                               env=dict(os.environ, OMBREL_SERVE_TOKEN=TOKEN), timeout=30)
        assert status == 1 and "already served" in said, said
        answers = [http(server.port, "POST", "/feedback", {"text": TEXT, "label": "food"}, token=TOKEN)
                   for _ in range(30)]
        assert all(status == 200 for status, _ in answers), answers
        assert answers[-1][1]["after"] == "food"
        assert http(server.port, "POST", "/predict", {"text": TEXT})[1]["label"] == "food"  # the workers see it
        assert not np.fromfile(weights, dtype="<i4")[14::16].any()
        # A save into the served folder while it learns: the writer follows the swap.
        OmbrelClassifier.load(folder).save(folder)
        identity = os.path.basename(weights_of(folder))
        deadline = time.monotonic() + 10
        feedback = {"text": TEXT, "label": "food"}
        while http(server.port, "POST", "/feedback", feedback, token=TOKEN)[1]["model"] != identity:
            assert time.monotonic() < deadline, "the writer did not follow the save"
            time.sleep(0.05)
        output = server.stop()
    assert server.process.returncode == 0, output


def test_answers_are_bounded_by_their_request_slow_readers_cut_off_and_cors_only_for_allowed_origins(
        tmp_path, folder, monkeypatch):
    """A cheap request must not buy a huge answer or a long hold of the event loop; a client that never
    reads its answer is cut off; pages of an --allowed-origin can call the API from a browser (the
    preflight included), pages of other origins cannot; a degraded /health does not show the folder."""
    texts, _ = make_corpus(2, 3)
    many = str(tmp_path / "many")
    OmbrelClassifier(learner="naive_bayes", features="words").fit(texts * 50, [f"c{i}" for i in range(len(texts) * 50)]
                                                                    ).save(many)
    chars = str(tmp_path / "chars")
    OmbrelClassifier(learner="naive_bayes", features="chars").fit(*make_corpus(20, 1)).save(chars)
    origin = "https://tools.example"

    async def scenario():
        results = {}
        app = serving.ServingApp(many, allowed_origins=[origin])
        await app.start(watch=False)
        try:
            empties = json.dumps({"texts": [""] * 50_000, "k": 40}).encode()
            results["empties"] = await call(app, "POST", "/predict_batch", empties, [JSON])
            results["k_all"] = await call(app, "POST", "/predict_batch", {"texts": ["a b"] * 64, "k": 300}, [JSON])
            results["small"] = await call(app, "POST", "/predict", {"text": "a b", "k": 3}, [JSON, ("Origin", origin)])
            sent = []

            async def keep(message):
                sent.append(message)

            await app({"type": "http", "method": "OPTIONS", "path": "/predict", "headers": [
                (b"origin", origin.encode()), (b"access-control-request-method", b"POST")]}, None, keep)
            results["preflight"] = sent[0]["status"], dict(sent[0]["headers"])
            results["other"] = await call(app, "POST", "/predict", {"text": "a"}, [JSON, ("Origin", "https://evil.example")])

            async def never_reads(message):
                if message["type"] == "http.response.body":
                    await asyncio.sleep(3600)

            async def receive():
                return {"type": "http.request", "body": b'{"text": "a"}', "more_body": False}

            monkeypatch.setattr(serving_app, "SEND_TIMEOUT", 0.2)
            started = time.monotonic()
            with pytest.raises(Exception):
                await app({"type": "http", "method": "POST", "path": "/predict",
                           "headers": [(b"content-type", b"application/json")]}, receive, never_reads)
            results["cut_off"] = time.monotonic() - started
            app.holder.problem = "model folder /secret/place/model: gone"
            results["health"] = await call(app, "GET", "/health")
        finally:
            await app.stop()
        app = serving.ServingApp(chars)
        await app.start(watch=False)
        threads = []
        explain = app.holder.current.classifier.explain
        monkeypatch.setattr(app.holder.current.classifier, "explain",
                            lambda *a: threads.append(threading.current_thread().name) or explain(*a))
        try:
            await call(app, "POST", "/explain", {"text": "rocket orbit " * 400}, [JSON])
        finally:
            await app.stop()
        results["explained_on"] = threads
        return results

    from ombrel_learn.serve import app as serving_app
    found = asyncio.run(scenario())
    assert found["empties"][0] == 413 and "fewer labels (k)" in found["empties"][2]["error"]
    assert found["k_all"][0] == 413
    status, headers, answer = found["small"]
    assert status == 200 and headers[b"access-control-allow-origin"] == origin.encode()
    status, headers = found["preflight"]
    assert status == 204 and headers[b"access-control-allow-origin"] == origin.encode()
    assert b"content-type" in headers[b"access-control-allow-headers"]
    assert found["other"][0] == 403 and b"access-control-allow-origin" not in found["other"][1]
    assert found["cut_off"] < 5
    assert found["health"][2]["status"] == "degraded" and "/secret" not in json.dumps(found["health"][2])
    assert found["explained_on"] and all(name.startswith("ombrel-predict") for name in found["explained_on"])
