"""The HTTP application (ASGI) of a served model folder: the routes, what each refuses, and who may
write. The service's overview is serving.py's text.

Every request passes the same gate before its handler runs, in this order:
- Host: a browser reaches a server on 127.0.0.1 from a hostile page through DNS rebinding (a name of
  the attacker's that resolves to 127.0.0.1); it then sends that name as Host. Only IP literals,
  `localhost` (and `*.localhost`), the name the server was bound to and the names allowed by the
  operator are answered (403 otherwise). A request without Host (HTTP/1.0 tools) passes.
- Origin: browsers send it with every cross-origin request; a request whose Origin is not this
  server's own (scheme, host and port of its Host) nor an allowed origin is refused (403).
- The writing endpoints (/feedback, /reload) answer 403 unless writes were enabled, and then need
  `Authorization: Bearer <token>` (401 otherwise; compared in constant time).
- Every POST must say `Content-Type: application/json` (415 otherwise): a page may send a text/plain
  POST to any server without asking first, a JSON one only after a preflight, which this server
  answers only for the origins the operator allowed (CORS: those pages may read the answers too).
What a request costs is bounded by the request: ranked answers may not outgrow it (ANSWER_MULTIPLE),
costly work leaves the event loop, and a client that does not read its answer is cut off
(SEND_TIMEOUT).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import hmac
import ipaddress
import json
import logging
import os
import time
from typing import Any, Awaitable, Callable, Iterable

from . import page as serving_page, writer as serving_writer
from .model import (DEFAULT_POLL, ModelHolder, RequestError, ServedModel, feedback_text, json_type,
                            stamp)

DEFAULT_MAX_BODY = 1 << 20
DEFAULT_BODY_TIMEOUT = 30.0
# A request is predicted in the event loop thread when it has at most INLINE_TEXTS texts and
# INLINE_TEXT_CHARS characters of text; bigger ones go to the worker's prediction thread.
INLINE_TEXTS = 64
INLINE_TEXT_CHARS = 20_000
# Bodies longer than this are decoded on that thread too: parsing a 1 MiB body takes milliseconds.
INLINE_BODY_BYTES = 64 << 10
# A batch that goes to that thread is checked, predicted, turned into Python objects and encoded
# CHUNK_TEXTS texts at a time: each step of a chunk is one C call that holds the interpreter lock
# (tolist, json.dumps), and the event loop thread needs the lock between chunks to answer others.
CHUNK_TEXTS = 4096
# What a request may cost. Ranked answers (k labels a text) are made inline only while texts x classes
# stays within INLINE_CELLS (predict_top_k ranks every class of every text), and no answer may grow
# past ANSWER_MULTIPLE times its request (plus ANSWER_FLOOR): a 1 MiB batch of empty texts asking for
# 20 labels each would otherwise be a 286 MB answer. /explain's cost grows with the features of its
# text: a model of character n-grams has several a character, so its texts are explained inline only
# up to INLINE_EXPLAIN_CHARS characters.
INLINE_CELLS = 20_000
ANSWER_MULTIPLE = 32
ANSWER_FLOOR = 256 << 10
BYTES_PER_RANKED_LABEL = 28  # a label and its probability in the JSON answer, at least
INLINE_EXPLAIN_CHARS = 2_000
# A client that has not taken its answer within SEND_TIMEOUT seconds is cut off (its connection closed
# and the answer let go): the body goes out in SEND_CHUNK pieces, each waiting for the client to read.
SEND_TIMEOUT = 30.0
SEND_CHUNK = 256 << 10
WRITE_ENDPOINTS = frozenset({"/feedback", "/reload"})
# /explain's "in_order" lists at most this many features: a long text has several features per
# character (character n-grams), and the answer must not grow far beyond the request.
IN_ORDER_FEATURES = 5000
# How long a worker waits for the writer (which a crash may be restarting) before it answers 503.
WRITER_WAIT = 10.0

log = logging.getLogger("ombrel.serve")
# The size of the request being answered (each request runs in a task of its own).
_request_bytes: contextvars.ContextVar[int] = contextvars.ContextVar("request_bytes", default=0)

Scope = dict[str, Any]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[None]]


class _ClientGone(Exception):
    pass


class _ClientTooSlow(Exception):
    """A client that did not read its answer in time: the server closes its connection."""


async def _send_body(send: Send, body: bytes) -> None:
    """The answer's body in SEND_CHUNK pieces: the server waits for the client to read before it
    takes the next (its write buffer is bounded), so a client that stops reading stops the sending."""
    for start in range(0, max(1, len(body)), SEND_CHUNK):
        piece = body[start:start + SEND_CHUNK]
        await send({"type": "http.response.body", "body": piece, "more_body": start + SEND_CHUNK < len(body)})


class _Page:
    """An answer that is the HTML page, not JSON."""

    def __init__(self, body: bytes):
        self.body = body


def host_name(value: str) -> str | None:
    """The host of a Host header value (no port, no brackets, lower case), or None when malformed."""
    value = value.strip().lower()
    if value.startswith("["):
        end = value.find("]")
        rest = value[end + 1:]
        if end < 0 or not (rest == "" or (rest.startswith(":") and rest[1:].isdigit())):
            return None
        return value[1:end]
    name, colon, port = value.rpartition(":")
    if colon and port.isdigit():
        value = name
    elif colon:
        return None
    value = value.rstrip(".")
    return value or None


def _is_ip(name: str) -> bool:
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


class ServingApp:
    """The ASGI application. `ServingApp(folder)`; the model is loaded at lifespan startup, or by
    `await app.start()` when the caller drives the app without a server.

    token: enables /feedback and /reload for requests that carry it (None: they answer 403).
    bound_host, allowed_hosts, allowed_origins: what Host and Origin may say (see the module text).
    writer_path: the socket of the folder's writer process; feedback goes there. Without one (the
    app driven in a process of its own), feedback trains this process's model.
    status_path: the supervisor's status file, reported by /health.
    page: whether `/` answers with the page to try the model (page.py)."""

    def __init__(self, folder: str, max_body: int = DEFAULT_MAX_BODY, poll: float = DEFAULT_POLL,
                 signal_path: str | None = None, *, token: str | None = None, bound_host: str = "127.0.0.1",
                 allowed_hosts: Iterable[str] = (), allowed_origins: Iterable[str] = (),
                 body_timeout: float = DEFAULT_BODY_TIMEOUT, writer_path: str | None = None,
                 status_path: str | None = None, page: bool = True):
        if max_body < 1:
            raise ValueError(f"max_body must be positive, got {max_body}")
        if token is not None and not token:
            raise ValueError("the token must not be empty")
        self.holder = ModelHolder(os.fspath(folder), poll, signal_path)
        self.max_body = max_body
        self.body_timeout = body_timeout
        self._token = token.encode("utf-8") if token is not None else None
        self.bound_host = (host_name(bound_host) or bound_host).lower()
        self.allowed_hosts = {h.strip().lower().rstrip(".") for h in allowed_hosts}
        self.allowed_origins = {o.strip().lower().rstrip("/") for o in allowed_origins}
        self.writer_path = writer_path
        self.status_path = status_path
        self._status: tuple[Any, dict[str, Any] | None] = (None, None)
        self._watch: asyncio.Task[None] | None = None
        self._threads: concurrent.futures.ThreadPoolExecutor | None = None
        self.started = time.time()
        self.routes: dict[str, tuple[str, Callable[..., Awaitable[Any]]]] = {
            "/predict": ("POST", self._predict),
            "/predict_batch": ("POST", self._predict_batch),
            "/explain": ("POST", self._explain),
            "/feedback": ("POST", self._feedback),
            "/reload": ("POST", self._reload),
            "/model": ("GET", self._model),
            "/health": ("GET", self._health),
        }
        if page:
            self.routes["/"] = ("GET", self._page)

    @property
    def writes(self) -> bool:
        return self._token is not None

    # -- life ------------------------------------------------------------------------------------

    async def start(self, watch: bool = True) -> None:
        if self.holder.current is None:
            await self.holder.refresh(force=True)
        if self._threads is None:
            # One thread: long batches take turns there, and the native pool inside spreads each one.
            self._threads = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="ombrel-predict")
        if watch and self._watch is None:
            self._watch = asyncio.get_running_loop().create_task(self.holder.watch())

    async def stop(self) -> None:
        if self._watch is not None:
            self._watch.cancel()
            try:
                await self._watch
            except asyncio.CancelledError:
                pass
            self._watch = None
        if self._threads is not None:
            self._threads.shutdown(wait=True)
            self._threads = None

    async def _lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                try:
                    await self.start()
                except Exception as e:  # noqa: BLE001 - reported to the server, which stops
                    await send({"type": "lifespan.startup.failed", "message": f"{type(e).__name__}: {e}"})
                    return
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await self.stop()
                await send({"type": "lifespan.shutdown.complete"})
                return

    async def _off_loop(self, function: Callable[..., Any], *args: Any) -> Any:
        if self._threads is None:
            return function(*args)
        return await asyncio.get_running_loop().run_in_executor(self._threads, function, *args)

    # -- requests --------------------------------------------------------------------------------

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await self._lifespan(receive, send)
            return
        if kind != "http":
            return
        close = False
        payload: dict[str, Any] | bytes | _Page
        cors = self._cors(scope)
        if scope.get("method") == "OPTIONS" and cors:  # a browser's preflight from an allowed origin
            await self._preflight(scope, send, cors)
            return
        try:
            status, payload, headers = 200, await self._route(scope, receive), []
        except RequestError as e:
            status, payload, headers, close = e.status, {"error": e.message}, e.headers, e.close
        except _ClientGone:
            return
        except Exception as e:  # noqa: BLE001 - one bad request must not take the worker down
            log.exception("request to %s failed", scope.get("path"))
            status, payload, headers = 500, {"error": f"internal error: {type(e).__name__}"}, []
        kind_headers = [(b"content-type", b"application/json")]
        if isinstance(payload, _Page):
            body, kind_headers = payload.body, serving_page.HEADERS
        else:
            body = payload if isinstance(payload, bytes) else _encode(payload)
        if close:
            headers = [*headers, (b"connection", b"close")]
        headers = [*headers, *cors]
        await send({"type": "http.response.start", "status": status,
                    "headers": [*kind_headers, (b"content-length", str(len(body)).encode("ascii")), *headers]})
        try:
            await asyncio.wait_for(_send_body(send, body), SEND_TIMEOUT)
        except TimeoutError:
            # Raising after the answer started makes the server close the connection (and let the
            # answer go); returning would leave it pinned to a client that never reads.
            log.warning("a client did not take its answer (%d bytes) within %g s: connection closed",
                        len(body), SEND_TIMEOUT)
            raise _ClientTooSlow() from None

    async def _route(self, scope: Scope, receive: Receive) -> Any:
        heads: dict[bytes, list[bytes]] = {b"host": [], b"origin": [], b"content-type": [], b"authorization": []}
        for name, value in scope.get("headers", ()):
            if name in heads:
                heads[name].append(value)
        self._check_host(heads[b"host"])
        self._check_origin(heads[b"origin"], heads[b"host"])
        path = scope["path"]
        route = self.routes.get(path)
        if route is None:
            raise RequestError(404, f"no endpoint {path}; endpoints: {', '.join(sorted(self.routes))}")
        method, handler = route
        if scope["method"] != method and not (method == "GET" and scope["method"] == "HEAD"):
            raise RequestError(405, f"{path} takes {method}, not {scope['method']}",
                               [(b"allow", method.encode("ascii"))])
        if path in WRITE_ENDPOINTS:
            self._check_token(path, heads[b"authorization"])
        if method == "POST":
            kinds = heads[b"content-type"]
            if len(kinds) != 1 or kinds[0].split(b";")[0].strip().lower() != b"application/json":
                shown = kinds[0].decode("latin-1") if kinds else "none"
                raise RequestError(415, f"a POST body must be JSON sent with Content-Type: application/json "
                                        f"(this one said {shown})")
        served = self.holder.current
        if served is None:
            raise RequestError(503, "no model loaded yet")
        if method == "GET":
            return await handler(served)
        return await handler(served, await self._json(scope, receive))

    def _cors(self, scope: Scope) -> list[tuple[bytes, bytes]]:
        """The CORS headers for a request whose Origin is one the operator allowed (--allowed-origin):
        a page of that origin may then read the answers; no other origin gets them."""
        origins = [value for name, value in scope.get("headers", ()) if name == b"origin"]
        if len(origins) != 1:
            return []
        origin = origins[0].decode("latin-1").strip().lower().rstrip("/")
        if origin not in self.allowed_origins and "*" not in self.allowed_origins:
            return []
        return [(b"access-control-allow-origin", origin.encode("latin-1")), (b"vary", b"Origin")]

    async def _preflight(self, scope: Scope, send: Send, cors: list[tuple[bytes, bytes]]) -> None:
        """The answer to a CORS preflight (OPTIONS) from an allowed origin: the route's method and the
        headers its requests carry (JSON, the token), or 404 / 403 as the request itself would get."""
        status, headers = 204, list(cors)
        hosts = [value for name, value in scope.get("headers", ()) if name == b"host"]
        route = self.routes.get(scope["path"])
        try:
            self._check_host(hosts)
            if route is None:
                raise RequestError(404, f"no endpoint {scope['path']}")
        except RequestError as e:
            status, headers = e.status, []
        if route is not None and status == 204:
            headers += [(b"access-control-allow-methods", route[0].encode("ascii")),
                        (b"access-control-allow-headers", b"content-type, authorization"),
                        (b"access-control-max-age", b"600")]
        await send({"type": "http.response.start", "status": status,
                    "headers": [(b"content-length", b"0"), *headers]})
        await send({"type": "http.response.body", "body": b""})

    def _check_host(self, hosts: list[bytes]) -> None:
        if not hosts:
            return
        if len(hosts) > 1:
            raise RequestError(400, "more than one Host header")
        shown = hosts[0].decode("latin-1")
        name = host_name(shown)
        if name is None:
            raise RequestError(400, f"bad Host header {shown!r}")
        if (name in self.allowed_hosts or "*" in self.allowed_hosts or _is_ip(name) or name == "localhost"
                or name.endswith(".localhost") or name == self.bound_host):
            return
        raise RequestError(403, f"this server does not answer for the host name {name!r} (Host header); "
                                f"start it with --allowed-host {name} if that name is meant to reach it")

    def _check_origin(self, origins: list[bytes], hosts: list[bytes]) -> None:
        if not origins:
            return
        if len(origins) > 1:
            raise RequestError(400, "more than one Origin header")
        origin = origins[0].decode("latin-1").strip().lower().rstrip("/")
        if origin in self.allowed_origins or "*" in self.allowed_origins:
            return
        scheme, sep, netloc = origin.partition("://")
        if sep and hosts and scheme in ("http", "https"):
            default = {"http": ":80", "https": ":443"}[scheme]
            own = hosts[0].decode("latin-1").strip().lower().removesuffix(default)
            if netloc.removesuffix(default) == own:
                return
        raise RequestError(403, f"requests from web pages of another origin ({origin}) are refused; start "
                                f"the server with --allowed-origin {origin} to accept them")

    def _check_token(self, path: str, given: list[bytes]) -> None:
        if self._token is None:
            raise RequestError(403, f"{path} is disabled: the writing endpoints are off unless the server is "
                                    f"started with --allow-writes and a token")
        scheme, _, value = (given[0] if len(given) == 1 else b"").strip().partition(b" ")
        if not (scheme.lower() == b"bearer" and hmac.compare_digest(value.strip(), self._token)):
            raise RequestError(401, f"{path} needs the header 'Authorization: Bearer <token>' with the "
                                    f"server's token", [(b"www-authenticate", b'Bearer realm="ombrel"')])

    async def _json(self, scope: Scope, receive: Receive) -> Any:
        body = await self._body(scope, receive)
        _request_bytes.set(len(body))
        if not body:
            return None
        try:
            if len(body) > INLINE_BODY_BYTES:
                return await self._off_loop(json.loads, body)
            return json.loads(body)
        except RecursionError:
            raise RequestError(400, "the body is nested too deeply") from None
        except ValueError as e:  # also UnicodeDecodeError
            raise RequestError(400, f"the body is not JSON: {e}") from None

    async def _body(self, scope: Scope, receive: Receive) -> bytes:
        """The request body, refused with 413 as soon as it is known to exceed max_body: from its
        declared length before any of it is read, or while its chunks arrive; and with 408 when it
        has not all arrived within body_timeout seconds."""
        limit = self.max_body
        for name, value in scope.get("headers", ()):
            if name == b"content-length":
                try:
                    declared = int(value)
                except ValueError:
                    raise RequestError(400, "bad Content-Length", close=True) from None
                if declared > limit:
                    raise RequestError(413, f"the body is {declared} bytes; the limit is {limit}", close=True)
        chunks = []
        size = 0
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.body_timeout
        while True:
            try:
                message = await asyncio.wait_for(receive(), max(0.0, deadline - loop.time()))
            except TimeoutError:
                raise RequestError(408, f"the body did not arrive within {self.body_timeout:g} s",
                                   close=True) from None
            if message["type"] == "http.disconnect":
                raise _ClientGone()
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > limit:
                raise RequestError(413, f"the body exceeds the limit of {limit} bytes", close=True)
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)

    # -- endpoints -------------------------------------------------------------------------------

    async def _labels(self, served: ServedModel, texts: list[str]) -> list[Any]:
        if not texts:
            return []
        try:
            # Texts count as well as characters: a batch of many empty texts costs per text.
            if len(texts) <= INLINE_TEXTS and sum(map(len, texts)) <= INLINE_TEXT_CHARS:
                answer = _predicted(served, texts)
            else:
                answer = await self._off_loop(_predicted, served, texts)
        except UnicodeError:
            raise RequestError(422, "a text is not valid Unicode (it holds a lone surrogate)") from None
        return answer

    async def _ranked(self, served: ServedModel, texts: list[str], ranking: tuple[int, float]
                      ) -> tuple[list[list[Any]], list[list[float]]]:
        """(labels, probabilities) of each text: the most probable labels, best first."""
        if not texts:
            return [], []
        _check_answer_size(served, len(texts), ranking[0])
        if (len(texts) <= INLINE_TEXTS and sum(map(len, texts)) <= INLINE_TEXT_CHARS
                and len(texts) * len(served.classifier.classes_) <= INLINE_CELLS):
            return _top_k(served, texts, ranking)
        answer: tuple[list[list[Any]], list[list[float]]] = await self._off_loop(_top_k, served, texts, ranking)
        return answer

    async def _predict(self, served: ServedModel, data: Any) -> dict[str, Any]:
        text = _field(data, "text", str, "a string")
        ranking = _ranking(data)
        if ranking is not None:
            labels, probabilities = await self._ranked(served, [text], ranking)
            return {"labels": labels[0], "probabilities": probabilities[0], "model": served.identity}
        return {"label": (await self._labels(served, [text]))[0], "model": served.identity}

    async def _predict_batch(self, served: ServedModel, data: Any) -> dict[str, Any] | bytes:
        texts = _field(data, "texts", list, "a list of strings")
        ranking = _ranking(data)
        if ranking is not None:
            _check_answer_size(served, len(texts), ranking[0])
        if len(texts) > INLINE_TEXTS and self._threads is not None:
            # The whole answer is made on the prediction thread, in chunks (see CHUNK_TEXTS).
            answer: bytes = await self._off_loop(_batch_answer, served, texts, ranking)
            return answer
        _check_texts(texts, 0)
        if ranking is not None:
            labels, probabilities = await self._ranked(served, texts, ranking)
            return {"labels": labels, "probabilities": probabilities, "model": served.identity}
        return {"labels": await self._labels(served, texts), "model": served.identity}

    async def _explain(self, served: ServedModel, data: Any) -> dict[str, Any]:
        text = _field(data, "text", str, "a string")
        k = data.get("k")
        if k is None:
            k = 10
        elif type(k) is not int or k < 1:
            raise RequestError(422, f"the field 'k' must be an integer >= 1, not {k!r}"[:200])
        in_order = data.get("in_order", False)
        if type(in_order) is not bool:
            raise RequestError(422, f"the field 'in_order' must be true or false, not {json_type(in_order)}")
        if served.classifier.multilabel_:
            raise RequestError(422, "/explain answers why one label wins over the runner-up; this model is "
                                    "multi-label (each label is decided against its own threshold)")
        try:
            inline = INLINE_EXPLAIN_CHARS if served.classifier.features_ == "chars" else INLINE_TEXT_CHARS
            if len(text) <= inline:
                found = served.classifier.explain(text, k, in_order)
            else:
                found = await self._off_loop(served.classifier.explain, text, k, in_order)
        except UnicodeError:
            raise RequestError(422, "a text is not valid Unicode (it holds a lone surrogate)") from None
        answer = {"label": found["label"], "runner_up": found["runner_up"],
                  "tokens": [list(entry) for entry in found["tokens"]], "bias": list(found["bias"]),
                  "model": served.identity}
        if in_order:
            answer["in_order"] = [list(entry) for entry in found["in_order"][:IN_ORDER_FEATURES]]
            answer["in_order_complete"] = len(found["in_order"]) <= IN_ORDER_FEATURES
        return answer

    async def _feedback(self, served: ServedModel, data: Any) -> dict[str, Any]:
        text = feedback_text(data)
        label = served.check_label(data)
        served.check_learns()
        if self.writer_path is None:
            # This process is the only one training: updates run one at a time in this thread.
            return served.learn(text, label)
        status, answer = await serving_writer.ask(self.writer_path, {"text": text, "label": label},
                                                  WRITER_WAIT, self.max_body)
        if status != 200:
            raise RequestError(status, answer.get("error", "the writer refused the update"))
        return answer

    async def _reload(self, served: ServedModel, data: Any) -> dict[str, Any]:
        try:
            changed = await self.holder.refresh(force=True)
        except (OSError, ValueError) as e:
            raise RequestError(409, f"the model folder could not be loaded; still serving "
                                    f"{served.identity}: {e}") from None
        self.holder.signal_others()
        current = self.holder.current
        assert current is not None
        return {"model": current.identity, "changed": changed}

    async def _page(self, served: ServedModel) -> _Page:
        return _Page(serving_page.page(self.writes))

    async def _model(self, served: ServedModel) -> dict[str, Any]:
        return served.describe()

    async def _health(self, served: ServedModel) -> dict[str, Any]:
        answer: dict[str, Any] = {"status": "ok", "model": served.identity, "pid": os.getpid(),
                                  "uptime": round(time.time() - self.started, 3), "swaps": self.holder.swaps,
                                  "writes": self.writes}
        if self.holder.problem is not None:  # the whole message, with the folder's path, is in the log
            answer["status"] = "degraded"
            answer["model_folder"] = "the model folder cannot be loaded; still serving the model loaded before"
        supervision = self._supervision()
        if supervision is not None:
            answer["service"] = supervision
            if supervision["failing"] or supervision["running"] < supervision["workers"] or (
                    supervision.get("writer") is not None and not supervision["writer"]["running"]):
                answer["status"] = "degraded"
        return answer

    def _supervision(self) -> dict[str, Any] | None:
        """What the supervisor last wrote about the service's processes (re-read when it changed)."""
        if self.status_path is None:
            return None
        seen = stamp(self.status_path)
        if seen != self._status[0]:
            try:
                with open(self.status_path, encoding="utf-8") as f:
                    self._status = (seen, json.load(f))
            except (OSError, ValueError):
                self._status = (None, None)
        return self._status[1]


def _encode(payload: Any) -> bytes:
    try:
        return json.dumps(payload, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate (e.g. an unknown label quoted back): escaped, still JSON
        return json.dumps(payload, ensure_ascii=True).encode("ascii")


def _check_texts(texts: list[Any], start: int) -> None:
    for i, t in enumerate(texts, start):
        if not isinstance(t, str):
            raise RequestError(422, f"texts[{i}] is {json_type(t)}, not a string")


def _ranking(data: dict[str, Any]) -> tuple[int, float] | None:
    """(k, threshold) when the body asks for ranked labels with the optional fields `k` (an integer
    >= 1, default 1) and `threshold` (a number from 0 to 1, default 0); None when it has neither
    (a null counts as absent)."""
    k, threshold = data.get("k"), data.get("threshold")
    if k is None and threshold is None:
        return None
    if k is not None and (type(k) is not int or k < 1):
        raise RequestError(422, f"the field 'k' must be an integer >= 1, not {k!r}"[:200])
    if threshold is not None and (type(threshold) not in (int, float) or not 0 <= threshold <= 1):
        raise RequestError(422, f"the field 'threshold' must be a number from 0 to 1, not {threshold!r}"[:200])
    return (1 if k is None else k), (0.0 if threshold is None else float(threshold))


def _check_answer_size(served: ServedModel, texts: int, k: int) -> None:
    """413 before any work when a ranked answer would outgrow its request (see ANSWER_MULTIPLE)."""
    labels = min(k, len(served.classifier.classes_))
    expected = texts * labels * BYTES_PER_RANKED_LABEL
    allowed = ANSWER_MULTIPLE * _request_bytes.get() + ANSWER_FLOOR
    if expected > allowed:
        raise RequestError(413, f"the answer would be at least {expected:,} bytes ({texts:,} texts x {labels:,} "
                                f"labels), more than {ANSWER_MULTIPLE}x the request plus {ANSWER_FLOOR >> 10} KiB "
                                f"({allowed:,} bytes): ask for fewer labels (k) or send fewer texts per request")


def _predicted(served: ServedModel, texts: list[str]) -> list[Any]:
    """Each text's label; a multi-label model's: the list of its labels."""
    labels = served.classifier.predict(texts)
    if served.classifier.multilabel_:
        names = served.classifier.classes_.tolist()
        return [[names[j] for j in row.nonzero()[0].tolist()] for row in labels]
    answer: list[Any] = labels.tolist()
    return answer


def _top_k(served: ServedModel, texts: list[str], ranking: tuple[int, float]
           ) -> tuple[list[list[Any]], list[list[float]]]:
    try:
        ranked = served.classifier.predict_top_k(texts, *ranking)
    except UnicodeError:
        raise RequestError(422, "a text is not valid Unicode (it holds a lone surrogate)") from None
    return [[label for label, _ in pairs] for pairs in ranked], [[p for _, p in pairs] for pairs in ranked]


def _batch_answer(served: ServedModel, texts: list[Any], ranking: tuple[int, float] | None = None) -> bytes:
    """The encoded answer of /predict_batch for a big batch, made chunk by chunk so that no single
    call holds the interpreter lock for long (the labels of 349,000 texts take ~0.1 s to turn into
    Python objects and as long to encode, in one call each). With `ranking` (k, threshold), the
    ranked labels and their probabilities."""
    for start in range(0, len(texts), CHUNK_TEXTS):
        _check_texts(texts[start:start + CHUNK_TEXTS], start)
    pieces, probability_pieces = [], []
    for start in range(0, len(texts), CHUNK_TEXTS):
        chunk = texts[start:start + CHUNK_TEXTS]
        if ranking is not None:
            labels, probabilities = _top_k(served, chunk, ranking)
            pieces.append(_encode(labels)[1:-1])
            probability_pieces.append(_encode(probabilities)[1:-1])
            continue
        try:
            labels = _predicted(served, chunk)
        except UnicodeError:
            raise RequestError(422, "a text is not valid Unicode (it holds a lone surrogate)") from None
        pieces.append(_encode(labels)[1:-1])
    model = _encode(served.identity)
    if ranking is not None:
        return (b'{"labels": [' + b", ".join(pieces) + b'], "probabilities": [' + b", ".join(probability_pieces)
                + b'], "model": ' + model + b"}")
    return b'{"labels": [' + b", ".join(pieces) + b'], "model": ' + model + b"}"


def _field(data: Any, name: str, kind: type, described: str) -> Any:
    if not isinstance(data, dict):
        raise RequestError(422, f"the body must be a JSON object with a field {name!r}, not {json_type(data)}")
    if name not in data:
        raise RequestError(422, f"the field {name!r} is missing")
    value = data[name]
    if not isinstance(value, kind):
        raise RequestError(422, f"the field {name!r} must be {described}, not {json_type(value)}")
    return value
