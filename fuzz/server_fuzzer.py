"""Fuzzes the server's request handling: the ASGI application of `ombrel serve`, driven in this
process (no socket) on small models fitted into a temporary folder.

Each input is one request: its method, path, headers (Host, Origin, Content-Type, Authorization,
Content-Length, repeated or malformed, names and values in any bytes) and a JSON body (the fields the
endpoints read, with values of every JSON type, lone surrogates, huge numbers, deep nesting, labels
that are almost the model's), or the input's own bytes as the body, delivered in chunks, followed by
a disconnect or by silence. The application runs with its writing endpoints enabled behind a token
(when it takes one) and a short body timeout. What is judged:
  - nothing escapes the application, and it answers within a few seconds;
  - it sends one response (none only when the client went away): a status of 2xx or 4xx (never
    500; 503 only while no model is loaded, which never happens here), Content-Type
    application/json, a Content-Length that is the body's length, and a body that is a JSON
    object, with an "error" string when the status is 4xx;
  - a 200 answers the endpoint's question: a label (or one per text) among the model's classes;
  - no request reaches a handler past the gate: a write (/feedback, /reload) without the token, a
    POST whose Content-Type is not application/json, a Host that names another server, an Origin
    of another site: each is refused.
Anything else is a finding.

Run it under atheris (coverage of ombrel_learn's serving modules):
    python fuzz/server_fuzzer.py [libFuzzer flags] [corpus dirs]
or without atheris, on pseudo-random inputs or on the files of a corpus:
    python fuzz/server_fuzzer.py --random N [--seed S]
    python fuzz/server_fuzzer.py --replay DIR...
"""
import asyncio
import atexit
import collections
import importlib
import inspect
import json
import logging
import os
import pkgutil
import shutil
import sys
import tempfile

if __name__ == "__main__" and not {"--random", "--replay"} & set(sys.argv):
    import atheris

    import importlib.util

    # The modules of the serve subpackage (service.py and the modules it is made of).
    _package = [os.path.join(p, "serve") for p in importlib.util.find_spec("ombrel_learn").submodule_search_locations]
    _serving = sorted(f"ombrel_learn.serve.{m.name}" for m in pkgutil.iter_modules(_package))
    with atheris.instrument_imports(include=_serving):
        import ombrel_learn
        from ombrel_learn import OmbrelClassifier
        from ombrel_learn.serve import service as serving
        for _module in _serving:
            importlib.import_module(_module)
else:
    import ombrel_learn
    from ombrel_learn import OmbrelClassifier
    from ombrel_learn.serve import service as serving

import fuzz_input  # beside this file
from fuzz_input import Bytes, Finding

TOKEN = "fuzz-token-7f3a"
TRAIN = [("cats purr and sleep all day", "cat"), ("the cat chased a mouse", "cat"),
         ("dogs bark at the mailman", "dog"), ("the dog fetched a stick", "dog"),
         ("birds sing in the morning", "bird"), ("a bird built a nest", "bird")]

# (value, verdict): "ok" may be answered, "hostile" must be refused, None is not judged.
HOSTS = [(b"127.0.0.1:8000", "ok"), (b"localhost", "ok"), (b"localhost:8000", "ok"), (b"[::1]:8000", "ok"),
         (b"127.0.0.1", "ok"), (b"evil.example", "hostile"), (b"evil.example:8000", "hostile"),
         (b"attacker.com.", "hostile"), (b"127.0.0.1.nip.io", "hostile"), (b"localhost.evil.example", "hostile"),
         (b"", None), (b":", None), (b"[::1", None), (b"a:b:c", None), (b"\xff\xfe", None), (b" LOCALHOST ", None),
         (b"127.0.0.1:99999999999999999999", None), (b"[evil]:80", None), (b"x.localhost", None),
         (b"0x7f000001", None)]
ORIGINS = [(b"http://127.0.0.1:8000", None), (b"http://evil.example", "hostile"),
           (b"https://evil.example:8000", "hostile"), (b"null", "hostile"), (b"http://localhost:8000", None),
           (b"", None), (b"http://", None), (b"file://", "hostile"), (b"\xff", None), (b"http://127.0.0.1:8000/", None)]
CONTENT_TYPES = [(b"application/json", "ok"), (b"application/json; charset=utf-8", "ok"),
                 (b"APPLICATION/JSON", "ok"), (b"text/plain", "hostile"), (b"application/x-www-form-urlencoded", "hostile"),
                 (b"multipart/form-data; boundary=x", "hostile"), (b"", "hostile"), (b"application/jsonx", "hostile"),
                 (b"application/json\xff", "hostile"), (b";application/json", "hostile"),
                 (b"text/plain; application/json", "hostile")]
AUTHORIZATIONS = [(b"Bearer " + TOKEN.encode(), "ok"), (b"bearer " + TOKEN.encode(), None),
                  (b"Bearer  " + TOKEN.encode() + b" ", None), (b"Bearer wrong", "hostile"), (b"Bearer ", "hostile"),
                  (b"Basic " + TOKEN.encode(), "hostile"), (TOKEN.encode(), "hostile"), (b"", "hostile"),
                  (b"Bearer " + TOKEN.encode()[:-1], "hostile"), (b"Bearer " + TOKEN.encode() + b"x", "hostile"),
                  (b"Bearer \xff" + TOKEN.encode(), "hostile")]
LENGTHS = [b"0", b"5", b"-1", b"abc", b"99999999999999999999999", b"1_0", b" 12 ", b"", b"\xd9\xa1", b"4096",
           b"1e3", b"0x10"]
OTHER_HEADERS = [b"transfer-encoding", b"connection", b"x-forwarded-for", b"cookie", b"Host", b"CONTENT-TYPE",
                 b"content-type ", b"\xff", b""]
METHODS = ["POST", "POST", "POST", "GET", "GET", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH", "post", "TRACE"]
PATHS = ["/predict", "/predict_batch", "/feedback", "/reload", "/model", "/health", "/", "/predict/", "//predict",
         "/PREDICT", "/predict?x=1", "/feedback/../predict", "", "/\x00", "/prédict", "/health%20",
         "/predict_batch\n"]
STRINGS = ["", "the cat chased a mouse", "dogs", " ", "\ud800", "a\udfff", "\x00", "日本語", "x" * 300,
           "\ufeff", "__label__cat", "cat", "bird\tdog", "😀" * 20]
WRITES = {"/feedback", "/reload"}
ROUTES = ["/predict", "/predict_batch", "/feedback", "/reload", "/model", "/health"]


def json_value(b, depth=0):
    choice = b.below(14)
    if choice == 0:
        return None
    if choice == 1:
        return b.flag()
    if choice == 2:
        return b.pick([0, 1, -1, 2, 2**31, 2**63, -2**64, 10**30])
    if choice == 3:
        return b.pick([0.5, -0.0, 1e308, 3.0])
    if choice == 4 and depth < 3:
        return [json_value(b, depth + 1) for _ in range(b.below(4))]
    if choice == 5 and depth < 3:
        return {b.pick(["text", "texts", "label", "x", ""]): json_value(b, depth + 1) for _ in range(b.below(3))}
    if choice == 6:
        return b.raw(12).decode("utf-8", "surrogateescape")
    return b.pick(STRINGS)


def json_text(b, value):
    """JSON text of value, sometimes with what json.dumps would not write (NaN, huge numbers, a key
    given twice, deep nesting, a bad escape)."""
    text = json.dumps(value, ensure_ascii=b.flag())
    twist = b.below(12)
    if twist == 1:
        text = text.replace("0.5", b.pick(["NaN", "Infinity", "-Infinity", "1e999", "1" * 5000]), 1)
    elif twist == 2 and text.startswith("{") and len(text) > 2:
        text = '{"text": 5, ' + text[1:]  # a key given twice: the last one counts
    elif twist == 3:
        depth = b.pick([10, 900, 5000, 100000])
        text = "[" * depth + text + "]" * depth
    elif twist == 4:
        text = text.replace('"', '"\\ud800', 1)
    elif twist == 5:
        text = text[:b.below(len(text) + 1)]
    return text


class App:
    """A model folder, the application serving it, and an event loop to drive it."""

    def __init__(self, labels):
        self.dir = tempfile.mkdtemp(prefix="ombrel-serve-fuzz-")
        atexit.register(shutil.rmtree, self.dir, ignore_errors=True)
        folder = os.path.join(self.dir, "model")
        texts = [t for t, _ in TRAIN]
        OmbrelClassifier(learner="field").fit(texts, labels).save(folder)
        app_class = find_app_class()
        parameters = inspect.signature(app_class).parameters
        wanted = {"token": TOKEN, "body_timeout": 0.02, "max_body": 4096}
        self.writes = "token" in parameters
        self.app = app_class(folder, **{k: v for k, v in wanted.items() if k in parameters})
        self.loop = asyncio.new_event_loop()
        start = self.app.start
        self.loop.run_until_complete(start(watch=False) if "watch" in inspect.signature(start).parameters
                                     else start())
        self.classes = list(dict.fromkeys(labels))


def find_app_class():
    """The ASGI application class behind `ombrel serve`: serving.ServingApp, or the one of the
    serving module that holds it."""
    found = getattr(serving, "ServingApp", None)
    if found is not None:
        return found
    for module in pkgutil.iter_modules(ombrel_learn.serve.__path__):
        found = getattr(importlib.import_module(f"ombrel_learn.serve.{module.name}"), "ServingApp", None)
        if found is not None:
            return found
    raise RuntimeError("no ServingApp in ombrel_learn's serving modules")


class Request:
    def __init__(self, b, app):
        self.headers = []
        self.hostile = []  # why a 2xx answer would be a finding
        counts = collections.Counter()

        def add(kind, value, verdict):
            self.headers.append((kind, value))
            counts[kind] += 1
            counts[kind + b" ok"] += verdict == "ok"
            counts[kind + b" judged"] += verdict is not None
            if verdict == "hostile" and kind in (b"host", b"origin"):
                self.hostile.append(f"{kind.decode()} {value!r}")

        if b.below(3) == 0:
            # What a proper client sends to an endpoint, then maybe more.
            self.path = b.pick(ROUTES)
            self.method = "GET" if self.path in ("/model", "/health") else "POST"
            add(b"host", b"127.0.0.1:8000", "ok")
            add(b"content-type", b"application/json", "ok")
            if self.path in WRITES:
                add(b"authorization", AUTHORIZATIONS[0][0], "ok")
            extra = b.below(3)
        else:
            self.method = b.pick(METHODS)
            self.path = b.pick(PATHS)
            extra = b.below(7)
        for _ in range(extra):
            kind = b.below(6)
            if kind == 0:
                add(b"host", *b.pick(HOSTS))
            elif kind == 1:
                add(b"origin", *b.pick(ORIGINS))
            elif kind == 2:
                add(b"content-type", *b.pick(CONTENT_TYPES))
            elif kind == 3:
                add(b"authorization", *b.pick(AUTHORIZATIONS))
            elif kind == 4:
                self.headers.append((b"content-length", b.pick(LENGTHS)))
            else:
                self.headers.append((b.pick(OTHER_HEADERS), b.raw(8)))
        if self.method.upper() == "POST" and (counts[b"content-type ok"] == 0
                                              or counts[b"content-type"] != counts[b"content-type judged"]):
            self.hostile.append("a POST without Content-Type: application/json")
        if self.path in WRITES:
            if not app.writes:
                self.hostile.append("a write while writes are off")
            elif counts[b"authorization"] != counts[b"authorization judged"] or counts[b"authorization"] > 1:
                pass  # an unjudged or repeated token header: not judged
            elif counts[b"authorization ok"] != 1:
                self.hostile.append("a write without the token")
        # The body: JSON for the endpoint, other JSON, or the input's bytes as they are.
        shape = b.below(8)
        if shape == 0:
            body = b.raw(64)
        else:
            route = self.path
            if shape <= 5 and route in ("/predict", "/feedback"):
                value = {"text": b.pick(STRINGS) if b.flag() else json_value(b)}
                if route == "/feedback" or b.below(4) == 0:
                    value["label"] = b.pick(app.classes) if b.flag() else json_value(b)
            elif shape <= 5 and route == "/predict_batch":
                value = {"texts": [b.pick(STRINGS) if b.flag() else json_value(b) for _ in range(b.below(6))]}
                if b.below(8) == 0:
                    value["texts"] = [""] * b.pick([65, 1000])
            else:
                value = json_value(b)
            body = json_text(b, value).encode("utf-8", "surrogatepass")
        if b.below(6) == 0:
            self.headers.append((b"content-length", str(len(body) + b.pick([0, 1, -1])).encode()))
        # Up to eight chunks, then the end of the body; or the client goes away, or falls silent.
        # (Past the input's end every choice is 0: without the bound, one-byte chunks to the end.)
        self.messages = []
        rest = body
        while True:
            cut = 1 + b.below(len(rest)) if len(self.messages) < 7 and b.below(3) == 0 else len(rest)
            chunk, rest = rest[:cut], rest[cut:]
            if not rest:
                self.messages.append({"type": "http.request", "body": chunk, "more_body": False})
                break
            self.messages.append({"type": "http.request", "body": chunk, "more_body": True})
        self.end = b.pick(["normal"] * 12 + ["disconnect", "disconnect", "silent"])
        if self.end == "disconnect":
            self.messages = self.messages[:b.below(len(self.messages) + 1)]
        elif self.end == "silent":
            self.messages = self.messages[:b.below(len(self.messages))]
            if self.messages:
                self.messages[-1]["more_body"] = True
        self.body = body

    def scope(self):
        return {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": self.method,
                "scheme": "http", "path": self.path, "raw_path": self.path.encode("utf-8", "surrogateescape"),
                "query_string": b"", "root_path": "", "headers": list(self.headers),
                "client": ("127.0.0.1", 40000), "server": ("127.0.0.1", 8000)}


class Server:
    def __init__(self):
        logging.getLogger("ombrel").setLevel(logging.CRITICAL)
        labels = [c for _, c in TRAIN]
        self.apps = [App(labels), App([len(c) for c in labels])]  # str classes, int classes
        self.outcomes = collections.Counter()
        self.calls = 0

    async def drive(self, app, request):
        sent = []
        pending = list(request.messages)
        gone = False

        async def receive():
            nonlocal gone
            if pending:
                return pending.pop(0)
            if request.end == "silent" and not gone:
                await asyncio.sleep(30)  # the body timeout answers long before
            gone = True
            return {"type": "http.disconnect"}

        async def send(message):
            sent.append(message)

        await asyncio.wait_for(app.app(request.scope(), receive, send), 5)
        return sent, gone

    def one_input(self, data):
        b = Bytes(data)
        app = self.apps[b.below(len(self.apps))]
        request = Request(b, app)
        try:
            sent, gone = app.loop.run_until_complete(self.drive(app, request))
        except (asyncio.TimeoutError, TimeoutError) as e:
            raise Finding(f"{request.method} {request.path!r}: no answer within 5 s") from e
        except BaseException as e:  # noqa: BLE001 - nothing may come out of the application
            raise Finding(f"{request.method} {request.path!r} raised {type(e).__name__}: {e}") from e
        self.judge(app, request, sent, gone)
        self.calls += 1

    def judge(self, app, request, sent, gone):
        what = f"{request.method} {request.path!r} {request.headers!r} body {request.body[:200]!r}"
        if not sent:
            if not gone:
                raise Finding(f"{what}: no response, although the client is still there")
            self.outcomes["client gone"] += 1
            return
        if (len(sent) != 2 or sent[0].get("type") != "http.response.start"
                or sent[1].get("type") != "http.response.body" or sent[1].get("more_body", False)):
            raise Finding(f"{what}: the response is not one start and one body: {sent!r}")
        status = sent[0]["status"]
        headers = sent[0].get("headers", [])
        body = sent[1].get("body", b"")
        self.outcomes[status] += 1
        if not (200 <= status < 300 or 400 <= status < 500):
            raise Finding(f"{what}: status {status}, body {body[:300]!r}")
        types = [v for k, v in headers if k.lower() == b"content-type"]
        lengths = [v for k, v in headers if k.lower() == b"content-length"]
        if request.path == "/" and status == 200:  # the page to try the model: HTML, locked down
            policies = [v for k, v in headers if k.lower() == b"content-security-policy"]
            if (types != [b"text/html; charset=utf-8"] or lengths != [str(len(body)).encode()]
                    or not body.startswith(b"<!doctype html>") or len(policies) != 1
                    or b"frame-ancestors 'none'" not in policies[0]):
                raise Finding(f"{what}: the page came with headers {headers!r} and a body of {len(body)} bytes")
            if request.hostile:
                raise Finding(f"{what}: the page was answered despite {'; '.join(request.hostile)}")
            return
        if types != [b"application/json"] or lengths != [str(len(body)).encode()]:
            raise Finding(f"{what}: headers {headers!r} for a body of {len(body)} bytes")
        try:
            answer = json.loads(body)
        except ValueError as e:
            raise Finding(f"{what}: the body is not JSON: {body[:300]!r}") from e
        if not isinstance(answer, dict):
            raise Finding(f"{what}: the body is not a JSON object: {body[:300]!r}")
        if status >= 400:
            if not isinstance(answer.get("error"), str):
                raise Finding(f"{what}: status {status} without an error text: {answer!r}")
            return
        if request.hostile:
            raise Finding(f"{what}: answered {status} despite {'; '.join(request.hostile)}: {answer!r}")
        path = request.path
        if path == "/predict" and answer.get("label") not in app.classes:
            raise Finding(f"{what}: label {answer.get('label')!r} is not a class")
        if path == "/predict_batch":
            labels = answer.get("labels")
            texts = json.loads(request.body)["texts"]
            if not isinstance(labels, list) or len(labels) != len(texts) or any(x not in app.classes for x in labels):
                raise Finding(f"{what}: labels {labels!r} for {len(texts)} texts")
        if path == "/feedback":
            sent_label = json.loads(request.body)["label"]
            if (answer.get("label") != sent_label or type(answer.get("label")) is not type(sent_label)
                    or answer.get("before") not in app.classes or answer.get("after") not in app.classes):
                raise Finding(f"{what}: feedback answer {answer!r}")


_server = None


def test_one_input(data):
    global _server
    if _server is None:
        _server = Server()
    _server.one_input(data)


def replay(paths):
    return fuzz_input.replay(paths, test_one_input)


def run_random(count, seed):
    fuzz_input.run_random(count, seed, 200, test_one_input)


def summary(seed, verbose):
    print(f"server: {_server.calls} requests, random (seed {seed}), no finding")
    if verbose:
        for outcome, n in sorted(_server.outcomes.items(), key=str):
            print(f"  {outcome!s:20} {n}")


def main(argv):
    fuzz_input.command_line(argv, "server", test_one_input, 200, summary)


if __name__ == "__main__":
    main(sys.argv)
