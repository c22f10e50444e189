"""The HTTP service: endpoints and refusals driven in-process, hot swaps through real saves, live
learning seen through the shared mapping, and `ombrel serve --workers 2` as a user starts it."""

import asyncio
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

from learn_support import WORDS, make_corpus

pytest.importorskip("uvicorn")

from ombrel_learn import OmbrelClassifier  # noqa: E402
from ombrel_learn.serve import service as serving  # noqa: E402

SHOUTED = {label: label.upper() for label in WORDS}
# What every request of these tests carries: POST bodies are JSON, and the writing endpoints need
# the token the app was started with.
TOKEN = "a-token-for-the-tests-0123456789"
JSON_AND_TOKEN = [(b"content-type", b"application/json"), (b"authorization", b"Bearer " + TOKEN.encode())]


async def call(app, method, path, body=b"", chunks=None, headers=None):
    """One request through the ASGI interface: (status, decoded JSON, body chunks the app read)."""
    if isinstance(body, (dict, list)) or body is None:
        body = json.dumps(body).encode()
    elif isinstance(body, str):
        body = body.encode()
    pieces = list(chunks) if chunks is not None else [body]
    heads = list(headers) if headers is not None else [(b"content-length", str(len(body)).encode())]
    heads += JSON_AND_TOKEN
    read = 0
    sent = []

    async def receive():
        nonlocal read
        if read < len(pieces):
            read += 1
            return {"type": "http.request", "body": pieces[read - 1], "more_body": read < len(pieces)}
        await asyncio.sleep(3600)

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": method, "path": path, "headers": heads}
    await app(scope, receive, send)
    start, payload = sent[0], b"".join(m.get("body", b"") for m in sent[1:])
    assert dict(start["headers"])[b"content-type"] == b"application/json"
    return start["status"], json.loads(payload), read


def run(coroutine):
    return asyncio.run(coroutine)


@pytest.fixture(scope="module")
def data():
    return make_corpus(20, 1), make_corpus(5, 2)


def field_model(data, shout=False, epochs=4):
    (x, y), _ = data
    labels = [SHOUTED[v] for v in y] if shout else y
    return OmbrelClassifier(learner="field", features="words", epochs=epochs).fit(x, labels)


@pytest.fixture
def folder(tmp_path, data):
    path = tmp_path / "model"
    field_model(data).save(path)
    return str(path)


async def started(folder, **options):
    app = serving.ServingApp(folder, token=TOKEN, **options)
    await app.start(watch=options.get("poll") is not None)
    return app


def test_endpoints_answer_what_the_classifier_answers(folder, data):
    _, (test_x, _) = data
    long_texts = [t * 40 for t in test_x]
    assert sum(map(len, long_texts)) > serving.INLINE_TEXT_CHARS
    reference = OmbrelClassifier.load(folder)
    expected = reference.predict(test_x).tolist()
    expected_long = reference.predict(long_texts).tolist()
    manifest = json.load(open(os.path.join(folder, "model.json")))

    async def scenario():
        app = await started(folder)
        try:
            out = {"health": await call(app, "GET", "/health"), "model": await call(app, "GET", "/model"),
                   "one": [await call(app, "POST", "/predict", {"text": t}) for t in test_x[:5]],
                   "batch": await call(app, "POST", "/predict_batch", {"texts": test_x}),
                   "empty": await call(app, "POST", "/predict_batch", {"texts": []})}
            # A batch longer than what is predicted inline goes through the thread.
            out["long"] = await call(app, "POST", "/predict_batch", {"texts": long_texts})
            return out
        finally:
            await app.stop()

    out = run(scenario())
    identity = manifest["weights"]
    status, health, _ = out["health"]
    assert status == 200 and health["model"] == identity and health["pid"] == os.getpid()
    status, described, _ = out["model"]
    assert status == 200 and described["model"] == identity
    assert described["format_version"] == 2 and described["classes"] == sorted(WORDS)
    assert described["saved_at"] == manifest["saved_at"] and described["saved_at"].endswith("Z")
    assert described["learner"] == "field" and described["feedback"] is True
    assert [(s, r) for s, r, _ in out["one"]] == [(200, {"label": e, "model": identity}) for e in expected[:5]]
    assert out["batch"][:2] == (200, {"labels": expected, "model": identity})
    assert out["empty"][:2] == (200, {"labels": [], "model": identity})
    assert out["long"][:2] == (200, {"labels": expected_long, "model": identity})


REFUSED = [
    ("not JSON", "/predict", b"{text: 1}", 400, "not JSON"),
    ("not UTF-8", "/predict", b'{"text": "\xff\xfe"}', 400, "not JSON"),
    ("nested too deeply", "/predict_batch", b"[" * 100000 + b"]" * 100000, 400, "nested"),
    ("empty body", "/predict", b"", 422, "must be a JSON object"),
    ("a list, not an object", "/predict", [1, 2], 422, "not a list"),
    ("missing field", "/predict", {"texts": ["a"]}, 422, "'text' is missing"),
    ("text not a string", "/predict", {"text": 5}, 422, "must be a string, not a number"),
    ("texts not a list", "/predict_batch", {"texts": "abc"}, 422, "must be a list of strings"),
    ("an element not a string", "/predict_batch", {"texts": ["ok", None]}, 422, "texts[1] is null"),
    ("a lone surrogate", "/predict", b'{"text": "rocket \\ud800"}', 422, "not valid Unicode"),
    ("unknown label", "/feedback", {"text": "rocket", "label": "weather"}, 422, 'unknown label "weather"'),
    ("label of the wrong type", "/feedback", {"text": "rocket", "label": 1}, 422, "unknown label 1"),
    ("label missing", "/feedback", {"text": "rocket"}, 422, "'label'"),
    ("no such endpoint", "/predictions", {"text": "a"}, 404, "no endpoint"),
]


def test_bad_requests_get_4xx_and_the_worker_keeps_serving(folder):
    async def scenario():
        app = await started(folder)
        try:
            answers = [await call(app, "POST", path, body) for _, path, body, _, _ in REFUSED]
            answers.append(await call(app, "GET", "/predict"))
            answers.append(await call(app, "POST", "/health"))
            after = await call(app, "POST", "/predict", {"text": "rocket orbit planet"})
            return answers, after
        finally:
            await app.stop()

    answers, after = run(scenario())
    for (name, _, _, status, words), (got, payload, _) in zip(REFUSED, answers):
        assert got == status, name
        assert words in payload["error"], (name, payload)
    assert answers[-2][0] == 405 and "takes POST" in answers[-2][1]["error"]
    assert answers[-1][0] == 405 and "takes GET" in answers[-1][1]["error"]
    assert after[:2] == (200, {"label": "space", "model": after[1]["model"]})


def test_oversized_bodies_are_refused_before_they_are_read(folder):
    limit = 1000

    async def scenario():
        app = await started(folder, max_body=limit)
        try:
            # Declared too long: refused from the header alone, nothing read.
            declared = await call(app, "POST", "/predict", b"x" * 10, headers=[(b"content-length", b"5000")])
            # Sent in chunks without a length: refused at the chunk that crosses the limit.
            chunks = [b"x" * 400] * 10
            streamed = await call(app, "POST", "/predict", chunks=chunks, headers=[])
            at_limit = await call(app, "POST", "/predict", json.dumps({"text": "a" * (limit - 20)}).ljust(limit))
            bad_length = await call(app, "POST", "/predict", b"{}", headers=[(b"content-length", b"many")])
            return declared, streamed, at_limit, bad_length
        finally:
            await app.stop()

    declared, streamed, at_limit, bad_length = run(scenario())
    assert declared[0] == 413 and "5000 bytes" in declared[1]["error"] and declared[2] == 0
    assert streamed[0] == 413 and "limit of 1000" in streamed[1]["error"] and streamed[2] == 3
    assert at_limit[0] == 200
    assert bad_length[0] == 400


def test_feedback_trains_the_shared_mapping(folder, data):
    """The served model trains its mapped weights: another classifier that mapped the same folder
    before the feedback sees the change at once, and so does one loaded afterwards."""
    text = "rocket orbit planet galaxy"
    other = OmbrelClassifier.load(folder)
    assert other.predict([text])[0] == "space"
    weights = os.path.join(folder, json.load(open(os.path.join(folder, "model.json")))["weights"])
    with open(weights, "rb") as f:
        before_bytes = f.read()

    async def scenario():
        app = await started(folder)
        try:
            answers = []
            for _ in range(30):
                answers.append(await call(app, "POST", "/feedback", {"text": text, "label": "food"}))
                if answers[-1][1]["after"] == "food":
                    break
            return answers
        finally:
            await app.stop()

    answers = run(scenario())
    assert all(status == 200 for status, _, _ in answers)
    assert answers[0][1]["before"] == "space" and answers[-1][1]["after"] == "food"
    assert other.predict([text])[0] == "food"
    assert OmbrelClassifier.load(folder).predict([text])[0] == "food"
    with open(weights, "rb") as f:
        assert f.read() != before_bytes


def test_feedback_is_refused_for_models_that_cannot_learn_one_text(tmp_path, data):
    (x, y), _ = data
    path = str(tmp_path / "nb")
    OmbrelClassifier(learner="naive_bayes", features="words").fit(x, y).save(path)

    async def scenario():
        app = await started(path)
        try:
            return (await call(app, "POST", "/feedback", {"text": "rocket", "label": "space"}),
                    await call(app, "GET", "/model"))
        finally:
            await app.stop()

    (status, payload, _), (_, described, _) = run(scenario())
    assert status == 409 and "naive_bayes" in payload["error"]
    assert described["feedback"] is False


def test_a_multilabel_model_answers_label_names_and_each_labels_own_probability(tmp_path, data):
    (x, y), _ = data
    sets = [[label] if i % 3 else [label, "news"] for i, label in enumerate(y)]
    clf = OmbrelClassifier(min_labels=0).fit(x, sets)
    path = str(tmp_path / "tags")
    clf.save(path)
    text = x[0]

    async def scenario():
        app = await started(path)
        try:
            return (await call(app, "POST", "/predict", {"text": text}),
                    await call(app, "POST", "/predict", {"text": text, "k": 3}),
                    await call(app, "POST", "/predict_batch", {"texts": [text, text]}))
        finally:
            await app.stop()

    plain, ranked, batch = run(scenario())
    expected = [c for c, said in zip(clf.classes_.tolist(), clf.predict([text])[0]) if said]
    assert plain[1]["label"] == expected and batch[1]["labels"] == [expected, expected]
    probabilities = dict(zip(clf.classes_.tolist(), clf.predict_proba([text])[0].tolist()))
    assert ranked[1]["labels"][:len(expected)] == sorted(expected, key=lambda c: -probabilities[c])
    assert ranked[1]["probabilities"] == sorted(probabilities.values(), reverse=True)[:3]


def test_whole_number_float_labels_take_feedback_as_a_page_sends_them(tmp_path, data):
    """A page's JavaScript reads the class 0.0 of /model as 0 and sends it back so: the same label;
    /model names the folder, which the page shows rather than the weights file."""
    (x, y), _ = data
    floats = {label: float(i) for i, label in enumerate(sorted(WORDS))}
    path = str(tmp_path / "floats")
    OmbrelClassifier(learner="field", features="words").fit(x, [floats[v] for v in y]).save(path)

    async def scenario():
        app = await started(path)
        try:
            return (await call(app, "GET", "/model"),
                    await call(app, "POST", "/feedback", {"text": "rocket orbit", "label": int(floats["space"])}))
        finally:
            await app.stop()

    described, learned = run(scenario())
    assert described[1]["name"] == "floats"
    assert learned[0] == 200 and learned[1]["label"] == floats["space"]


def test_integer_labels_keep_their_json_type(tmp_path, data):
    (x, y), _ = data
    numbers = {label: i for i, label in enumerate(sorted(WORDS))}
    path = str(tmp_path / "ints")
    OmbrelClassifier(learner="field", features="words").fit(x, [numbers[v] for v in y]).save(path)

    async def scenario():
        app = await started(path)
        try:
            return [await call(app, "POST", "/predict", {"text": "rocket orbit planet"})] + [
                await call(app, "POST", "/feedback", {"text": "rocket orbit", "label": label})
                for label in (numbers["space"], str(numbers["space"]), True, 7)]
        finally:
            await app.stop()

    predicted, right, text, boolean, unknown = run(scenario())
    assert predicted[1]["label"] == numbers["space"] and right[0] == 200 and right[1]["label"] == numbers["space"]
    assert [a[0] for a in (text, boolean, unknown)] == [422, 422, 422]
    assert f'unknown label "{numbers["space"]}"' in text[1]["error"] and "unknown label true" in boolean[1]["error"]


def test_hot_swap_through_a_real_save(folder, data):
    """Requests run while another thread saves new models into the served folder: none fails, each
    answer comes whole from one model, and the worker follows the last save within its poll bound."""
    _, (test_x, _) = data
    first = json.load(open(os.path.join(folder, "model.json")))["weights"]
    models = [field_model(data, shout=i % 2 == 0, epochs=1 + i % 3) for i in range(6)]
    label_sets = {False: set(WORDS), True: set(SHOUTED.values())}

    async def scenario():
        app = await started(folder, poll=0.01)
        stop = threading.Event()
        identities = {first: False}

        def saver():
            for i, model in enumerate(models):
                model.save(folder)
                identities[json.load(open(os.path.join(folder, "model.json")))["weights"]] = i % 2 == 0
                time.sleep(0.05)
            stop.set()

        thread = threading.Thread(target=saver)
        thread.start()
        answers = []
        while not stop.is_set():
            answers.append(await call(app, "POST", "/predict_batch", {"texts": test_x}))
            answers.append(await call(app, "POST", "/predict", {"text": test_x[0]}))
            await asyncio.sleep(0.002)
        thread.join()
        last = list(identities)[-1]
        switched = None
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            _, health, _ = await call(app, "GET", "/health")
            if health["model"] == last:
                switched = health
                break
            await asyncio.sleep(0.005)
        final = await call(app, "POST", "/predict", {"text": test_x[0]})
        await app.stop()
        return answers, identities, switched, final, last

    answers, identities, switched, final, last = run(scenario())
    assert len(answers) > 20
    assert all(status == 200 for status, _, _ in answers)
    seen = set()
    for _, payload, _ in answers:
        labels = payload.get("labels", [payload.get("label")])
        shouted = identities[payload["model"]]
        assert set(labels) <= label_sets[shouted], payload  # one model from start to end
        seen.add(payload["model"])
    assert len(seen) >= 3  # the answers followed the saves
    assert switched is not None and switched["swaps"] >= 1
    assert final[1]["model"] == last and final[1]["label"] in label_sets[identities[last]]
    assert sorted(n for n in os.listdir(folder) if n.startswith("weights-")) == [last]


def test_a_model_in_use_outlives_its_files_and_reload_follows_saves(folder, data, tmp_path):
    signal_path = str(tmp_path / "signal")
    open(signal_path, "w").close()

    async def scenario():
        app = await started(folder, signal_path=signal_path)
        peer = await started(folder, signal_path=signal_path)
        try:
            old = app.holder.current
            field_model(data, shout=True).save(folder)  # removes the files `old` maps
            old_answer = old.classifier.predict(["rocket orbit planet"]).tolist()
            unchanged = await call(peer, "GET", "/health")  # no watch running: still the old model
            reloaded = await call(app, "POST", "/reload")
            again = await call(app, "POST", "/reload")
            peer_changed = await peer.holder.refresh()  # the signal file tells it to load now
            # A damaged description: reload refuses, the current model keeps serving.
            with open(os.path.join(folder, "model.json"), "w") as f:
                f.write("{")
            damaged = await call(app, "POST", "/reload")
            still = await call(app, "POST", "/predict", {"text": "rocket orbit planet"})
            return old, old_answer, unchanged, reloaded, again, peer_changed, peer.holder.current, damaged, still
        finally:
            await app.stop()
            await peer.stop()

    old, old_answer, unchanged, reloaded, again, peer_changed, peer_model, damaged, still = run(scenario())
    assert old_answer == ["space"] and not os.path.exists(os.path.join(folder, old.identity))
    assert unchanged[1]["model"] == old.identity
    assert reloaded[1]["changed"] is True and reloaded[1]["model"] != old.identity
    assert again[1] == {"model": reloaded[1]["model"], "changed": False}
    assert peer_changed is True and peer_model.identity == reloaded[1]["model"]
    assert damaged[0] == 409 and "still serving" in damaged[1]["error"]
    assert still[:2] == (200, {"label": "SPACE", "model": reloaded[1]["model"]})


def test_folders_saved_before_saved_at_load_and_serve(folder):
    path = os.path.join(folder, "model.json")
    manifest = json.load(open(path))
    del manifest["saved_at"]
    with open(path, "w") as f:
        json.dump(manifest, f)

    async def scenario():
        app = await started(folder)
        try:
            return await call(app, "GET", "/model")
        finally:
            await app.stop()

    status, described, _ = run(scenario())
    assert status == 200 and described["saved_at"] is None and described["format_version"] == 2


def test_process_usage_reads_proc():
    usage = serving.process_usage(os.getpid())
    assert usage["rss"] > usage["private_dirty"] > 0 and 0 < usage["pss"] <= usage["rss"]
    assert usage["fds"] >= 3 and usage["maps"] > 10
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    try:
        assert child.pid in serving.child_pids(os.getpid())
        assert serving.worker_pids(child.pid) == [child.pid]  # no spawned workers: the server itself
    finally:
        child.kill()
        child.wait()


# -- the command, as a user runs it ------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(port, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def test_ombrel_serve_with_two_workers(folder):
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "ombrel_learn", "serve", folder, "--workers", "2",
                               "--port", str(port), "--poll", "0.05"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        # Each worker listens on its own socket (SO_REUSEPORT): new connections reach both.
        deadline = time.monotonic() + 60
        answered = set()
        while len(answered) < 2:
            try:
                status, health = http(port, "GET", "/health")
                assert status == 200
                answered.add(health["pid"])
            except OSError:
                time.sleep(0.05)
            assert server.poll() is None and time.monotonic() < deadline, server.stdout.read()
        workers = serving.worker_pids(server.pid)
        assert answered == set(workers) and server.pid not in workers
        assert http(port, "POST", "/predict", {"text": "rocket orbit planet"})[1]["label"] == "space"
        assert http(port, "POST", "/predict", {"text": 3})[0] == 422
        assert http(port, "POST", "/predict_batch", {"texts": ["pasta garlic", "referee goal"]})[1]["labels"] == [
            "food", "sport"]
        # A worker that dies is replaced, and the service keeps answering meanwhile.
        os.kill(workers[0], signal.SIGKILL)
        deadline = time.monotonic() + 60
        while True:
            replaced = serving.worker_pids(server.pid)
            if len(replaced) == 2 and workers[0] not in replaced:
                answered = {http(port, "GET", "/health")[1]["pid"] for _ in range(30)}
                if answered == set(replaced):
                    break
            assert time.monotonic() < deadline, f"workers {replaced} after killing {workers[0]}"
            time.sleep(0.1)
        workers = replaced
        # A save reaches every worker through its poll.
        OmbrelClassifier.load(folder).save(folder)
        identity = json.load(open(os.path.join(folder, "model.json")))["weights"]
        time.sleep(0.5)
        assert {http(port, "GET", "/health")[1]["model"] for _ in range(20)} == {identity}
    finally:
        server.send_signal(signal.SIGINT)
        try:
            output, _ = server.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            output, _ = server.communicate()
            pytest.fail(f"the server did not stop on SIGINT:\n{output}")
    assert server.returncode == 0, output
    assert "Traceback" not in output, output
    for pid in workers:
        assert not os.path.exists(f"/proc/{pid}"), f"worker {pid} outlived the server"


def test_ombrel_serve_refuses_a_missing_folder(tmp_path):
    result = subprocess.run([sys.executable, "-m", "ombrel_learn", "serve", str(tmp_path / "none")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr.startswith("ombrel: error:") and len(result.stderr.splitlines()) == 1
