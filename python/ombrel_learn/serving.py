"""Serving a model folder over HTTP: `ombrel serve MODEL --workers N --port P`.

JSON in, JSON out:

    POST /predict        {"text": "..."}                  -> {"label": L, "model": ID}
    POST /predict_batch  {"texts": ["...", ...]}          -> {"labels": [L, ...], "model": ID}
    POST /feedback       {"text": "...", "label": L}      -> {"label": L, "before": L0, "after": L1, "model": ID}
    POST /reload                                          -> {"model": ID, "changed": bool}
    GET  /model          format version, classes, features, learner, sizes, when it was saved
    GET  /health         {"status": "ok", "model": ID, "pid": ...}

ID is the name of the weights file the answer came from (`weights-<tag>.bin`): every save gives a
new one, so a client can tell which model answered.

Why plain ASGI rather than Starlette: six JSON endpoints need no router, and the two things that
matter here are easier without a framework in the way: the body limit is enforced while the body
arrives (chunk by chunk, before anything is parsed), and a prediction of one short text costs a few
microseconds, so every layer of request objects and middleware would show in the latency. The only
dependency is the server, uvicorn (with uvloop and httptools when they are installed: `pip install
'ombrel[serve]'`).

Workers: `run` starts N processes, each running uvicorn on its own listening socket bound to the
port with SO_REUSEPORT, so that the kernel spreads connections over them (see `run`). Each loads the
folder with `OmbrelClassifier.load`, which maps the weights file MAP_SHARED: the weights are in
memory once, in the page cache, whatever N is (`process_usage` reads RSS and PSS from /proc).

Where predictions run: a request of up to INLINE_TEXT_CHARS characters of text is predicted in the
event loop thread. It takes microseconds, less than handing it to a thread and back would, and
the classifier's predict is thread-safe, so nothing else needs care. Longer batches go to one
extra thread, where they take turns: the native pipeline releases the interpreter lock while it
tokenizes and predicts (on the worker's native pool, which `run` sizes to the worker's share of
the cores), so the event loop keeps answering short requests meanwhile. Feedback (partial_fit)
always runs in the event loop thread: partial_fit uses the field's running potentials, which belong
to the process and must not be used by two training calls at once; one thread serializes them.
Predictions never touch those potentials (predict_batch sums privately), so they may overlap it.

Live learning: /feedback calls partial_fit on the served classifier. For a model of learner "field"
that trains the mapped records in place, so the update is in the shared pages and in the file:
every worker, and every process that loads the folder later, sees it without reloading. Nothing
flushes those pages: feedback survives a crash of the service, but not of the machine before the
kernel has written them back. Feedback sent to a model that a save has just replaced trains the
old mapping and is lost with it (its answer names that model). A model
compiled from a float learner (naive Bayes, SGD, perceptron) cannot continue learning one text at a
time (partial_fit refuses it; it is refitted with fit): /feedback answers 409 for those.

Hot swap: a save into the served folder writes new files, then renames model.json over the old one.
Every worker stats model.json every `poll` seconds (0.1 by default); when it changed, the worker
loads the folder on a thread and, once loaded, swaps its reference to the model. A request takes
that reference once, at its start, and uses it to the end, so it is answered by one model; the old
model's mapping stays valid after the save removed its files, and is unmapped when its last request
is done. Bound: a worker answers with the new model at most `poll` seconds plus one load after the
rename. A load of the 20 Newsgroups vocabulary model (44k tokens) takes about 6 ms; of a hashing
model of 2^21 buckets, 50-60 ms, because a load first makes a fresh field of the full size, then
maps the file in its place. POST /reload makes the
worker that receives it check at once, and signals the other workers through a small file (see
`run`), which they check on the same poll.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import logging
import os
import socket
import time
from typing import Any, Awaitable, Callable

from . import model_folder
from .classifier import OmbrelClassifier
from .exceptions import ModelFolderError

DEFAULT_MAX_BODY = 1 << 20
DEFAULT_POLL = 0.1
# Requests with more characters of text than this are predicted on a thread (see the module text).
INLINE_TEXT_CHARS = 20_000
# Labels listed in an "unknown label" message, at most.
LABELS_SHOWN = 20

ENV_MODEL = "OMBREL_SERVE_MODEL"
ENV_MAX_BODY = "OMBREL_SERVE_MAX_BODY"
ENV_POLL = "OMBREL_SERVE_POLL"
ENV_SIGNAL = "OMBREL_SERVE_SIGNAL"

log = logging.getLogger("ombrel.serve")

Scope = dict[str, Any]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[None]]


class RequestError(Exception):
    """A request the service refuses: an HTTP status and a message for the client."""

    def __init__(self, status: int, message: str, headers: list[tuple[bytes, bytes]] | None = None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers or []


class _ClientGone(Exception):
    pass


class ServedModel:
    """One loaded model and what the service says about it. Never changes once made: a swap makes
    a new one."""

    def __init__(self, classifier: OmbrelClassifier, manifest: dict[str, Any], stamp: tuple[int, ...] | None):
        self.classifier = classifier
        self.manifest = manifest
        self.stamp = stamp
        self.identity: str = manifest["weights"]
        self.labels: list[Any] = classifier.classes_.tolist()
        self.label_type = type(self.labels[0]) if self.labels else str
        self.known = set(self.labels)
        self.loaded_at = time.time()

    def describe(self) -> dict[str, Any]:
        m, clf = self.manifest, self.classifier
        return {
            "model": self.identity,
            "format": m.get("format"),
            "format_version": m.get("format_version"),
            "saved_at": m.get("saved_at"),
            "loaded_at": _iso(self.loaded_at),
            "classes": self.labels,
            "features": clf.features_,
            "learner": clf.learner_,
            "buckets": m.get("buckets"),
            "token_neurons": clf.n_features_,
            "feedback": clf.learner_ == "field",
        }


def _iso(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{int(seconds % 1 * 1000):03d}Z"


def _stamp(path: str) -> tuple[int, ...] | None:
    """What changes when model.json is replaced (a rename gives it a new inode)."""
    try:
        s = os.stat(path)
    except OSError:
        return None
    return (s.st_dev, s.st_ino, s.st_size, s.st_mtime_ns)


def _manifest(folder: str) -> dict[str, Any] | None:
    try:
        with open(os.path.join(folder, model_folder.MANIFEST), encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError):
        return None
    return manifest if isinstance(manifest, dict) else None


def load_served(folder: str, attempts: int = 5) -> ServedModel:
    """Loads the folder and names the model it loaded. A save may replace model.json while the load
    reads it: the description read before and after the load must name the same weights file (names
    are never reused), or the load is tried again."""
    manifest_path = os.path.join(folder, model_folder.MANIFEST)
    for attempt in range(attempts):
        stamp = _stamp(manifest_path)
        before = _manifest(folder)
        try:
            classifier = OmbrelClassifier.load(folder)
            classifier.set_params(verbose=False)  # no progress bar per feedback request
        except ModelFolderError:
            if attempt + 1 < attempts and _manifest(folder) != before:
                continue  # a save removed the files this load was reading
            raise
        after = _manifest(folder)
        if before is not None and after is not None and before.get("weights") == after.get("weights"):
            return ServedModel(classifier, after, stamp)
    raise ModelFolderError(f"{folder}: the model kept changing during {attempts} loads")


class ModelHolder:
    """The model a worker serves now, and the watch that swaps it."""

    def __init__(self, folder: str, poll: float = DEFAULT_POLL, signal_path: str | None = None):
        self.folder = folder
        self.poll = poll
        self.signal_path = signal_path
        self.current: ServedModel | None = None
        self._signal_stamp = _stamp(signal_path) if signal_path else None
        self._loading = asyncio.Lock()
        self.swaps = 0

    async def refresh(self, force: bool = False) -> bool:
        """Loads the folder again when model.json changed (or when forced); True when the served
        model changed. A failed load leaves the current model in place."""
        async with self._loading:
            current = self.current
            if self.signal_path:
                signal = _stamp(self.signal_path)
                if signal != self._signal_stamp:
                    self._signal_stamp = signal
                    force = True
            stamp = _stamp(os.path.join(self.folder, model_folder.MANIFEST))
            if not force and current is not None and stamp == current.stamp:
                return False
            loaded = await asyncio.get_running_loop().run_in_executor(None, load_served, self.folder)
            self.current = loaded
            changed = current is None or loaded.identity != current.identity
            if changed:
                self.swaps += current is not None
                log.info("serving %s (pid %d)", loaded.identity, os.getpid())
            return changed

    def signal_others(self) -> None:
        if self.signal_path:
            with open(self.signal_path, "w") as f:
                f.write(f"{os.getpid()} {time.time_ns()}\n")
            self._signal_stamp = _stamp(self.signal_path)

    async def watch(self) -> None:
        while True:
            await asyncio.sleep(self.poll)
            try:
                await self.refresh()
            except Exception as e:  # noqa: BLE001 - a damaged save must not stop the watch
                log.warning("model folder %s not reloaded: %s", self.folder, e)


class ServingApp:
    """The ASGI application. `ServingApp(folder)`; the model is loaded at lifespan startup, or by
    `await app.start()` when the caller drives the app without a server."""

    def __init__(self, folder: str, max_body: int = DEFAULT_MAX_BODY, poll: float = DEFAULT_POLL,
                 signal_path: str | None = None):
        if max_body < 1:
            raise ValueError(f"max_body must be positive, got {max_body}")
        self.holder = ModelHolder(os.fspath(folder), poll, signal_path)
        self.max_body = max_body
        self._watch: asyncio.Task[None] | None = None
        self._threads: concurrent.futures.ThreadPoolExecutor | None = None
        self.started = time.time()
        self.routes: dict[str, tuple[str, Callable[..., Awaitable[Any]]]] = {
            "/predict": ("POST", self._predict),
            "/predict_batch": ("POST", self._predict_batch),
            "/feedback": ("POST", self._feedback),
            "/reload": ("POST", self._reload),
            "/model": ("GET", self._model),
            "/health": ("GET", self._health),
        }

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

    # -- requests --------------------------------------------------------------------------------

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await self._lifespan(receive, send)
            return
        if kind != "http":
            return
        try:
            status, payload, headers = 200, await self._route(scope, receive), []
        except RequestError as e:
            status, payload, headers = e.status, {"error": e.message}, e.headers
        except _ClientGone:
            return
        except Exception as e:  # noqa: BLE001 - one bad request must not take the worker down
            log.exception("request to %s failed", scope.get("path"))
            status, payload, headers = 500, {"error": f"internal error: {type(e).__name__}"}, []
        body = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        await send({"type": "http.response.start", "status": status,
                    "headers": [(b"content-type", b"application/json"),
                                (b"content-length", str(len(body)).encode("ascii")), *headers]})
        await send({"type": "http.response.body", "body": body})

    async def _route(self, scope: Scope, receive: Receive) -> Any:
        route = self.routes.get(scope["path"])
        if route is None:
            raise RequestError(404, f"no endpoint {scope['path']}; endpoints: {', '.join(sorted(self.routes))}")
        method, handler = route
        if scope["method"] != method and not (method == "GET" and scope["method"] == "HEAD"):
            raise RequestError(405, f"{scope['path']} takes {method}, not {scope['method']}",
                               [(b"allow", method.encode("ascii"))])
        served = self.holder.current
        if served is None:
            raise RequestError(503, "no model loaded yet")
        if method == "GET":
            return await handler(served)
        return await handler(served, await self._json(scope, receive))

    async def _json(self, scope: Scope, receive: Receive) -> Any:
        body = await self._body(scope, receive)
        if not body:
            return None
        try:
            return json.loads(body)
        except RecursionError:
            raise RequestError(400, "the body is nested too deeply") from None
        except ValueError as e:  # also UnicodeDecodeError
            raise RequestError(400, f"the body is not JSON: {e}") from None

    async def _body(self, scope: Scope, receive: Receive) -> bytes:
        """The request body, refused with 413 as soon as it is known to exceed max_body: from its
        declared length before any of it is read, or while its chunks arrive."""
        limit = self.max_body
        for name, value in scope.get("headers", ()):
            if name == b"content-length":
                try:
                    declared = int(value)
                except ValueError:
                    raise RequestError(400, "bad Content-Length") from None
                if declared > limit:
                    raise RequestError(413, f"the body is {declared} bytes; the limit is {limit}")
        chunks = []
        size = 0
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                raise _ClientGone()
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > limit:
                raise RequestError(413, f"the body exceeds the limit of {limit} bytes")
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)

    # -- endpoints -------------------------------------------------------------------------------

    async def _labels(self, served: ServedModel, texts: list[str]) -> list[Any]:
        if not texts:
            return []
        predict = served.classifier.predict
        try:
            if sum(map(len, texts)) <= INLINE_TEXT_CHARS or self._threads is None:
                labels = predict(texts)
            else:
                labels = await asyncio.get_running_loop().run_in_executor(self._threads, predict, texts)
        except UnicodeError:
            raise RequestError(422, "a text is not valid Unicode (it holds a lone surrogate)") from None
        answer: list[Any] = labels.tolist()
        return answer

    async def _predict(self, served: ServedModel, data: Any) -> dict[str, Any]:
        text = _field(data, "text", str, "a string")
        return {"label": (await self._labels(served, [text]))[0], "model": served.identity}

    async def _predict_batch(self, served: ServedModel, data: Any) -> dict[str, Any]:
        texts = _field(data, "texts", list, "a list of strings")
        for i, t in enumerate(texts):
            if not isinstance(t, str):
                raise RequestError(422, f"texts[{i}] is {_json_type(t)}, not a string")
        return {"labels": await self._labels(served, texts), "model": served.identity}

    async def _feedback(self, served: ServedModel, data: Any) -> dict[str, Any]:
        text = _field(data, "text", str, "a string")
        if not isinstance(data, dict) or "label" not in data:
            raise RequestError(422, "the body must be a JSON object with a field 'label'")
        label = data["label"]
        if (not isinstance(label, served.label_type) or label not in served.known
                or isinstance(label, bool) != (served.label_type is bool)):  # True == 1 in a set
            shown = ", ".join(json.dumps(x, ensure_ascii=False) for x in served.labels[:LABELS_SHOWN])
            more = f" and {len(served.labels) - LABELS_SHOWN} more" if len(served.labels) > LABELS_SHOWN else ""
            raise RequestError(422, f"unknown label {json.dumps(label, ensure_ascii=False)}; the model's "
                                    f"labels are {shown}{more}")
        learner = served.classifier.learner_
        if learner != "field":
            raise RequestError(409, f"this model was fitted with learner {learner!r}, which does not learn "
                                    f"one text at a time; train it with learner 'field' to use feedback")
        classifier = served.classifier
        try:
            before = classifier.predict([text]).tolist()[0]
            classifier.partial_fit([text], [label])
            after = classifier.predict([text]).tolist()[0]
        except UnicodeError:
            raise RequestError(422, "the text is not valid Unicode (it holds a lone surrogate)") from None
        return {"label": label, "before": before, "after": after, "model": served.identity}

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

    async def _model(self, served: ServedModel) -> dict[str, Any]:
        return served.describe()

    async def _health(self, served: ServedModel) -> dict[str, Any]:
        return {"status": "ok", "model": served.identity, "pid": os.getpid(),
                "uptime": round(time.time() - self.started, 3), "swaps": self.holder.swaps}


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    return {bool: "a boolean", int: "a number", float: "a number", str: "a string", list: "a list",
            dict: "an object"}.get(type(value), type(value).__name__)


def _field(data: Any, name: str, kind: type, described: str) -> Any:
    if not isinstance(data, dict):
        raise RequestError(422, f"the body must be a JSON object with a field {name!r}, not {_json_type(data)}")
    if name not in data:
        raise RequestError(422, f"the field {name!r} is missing")
    value = data[name]
    if not isinstance(value, kind):
        raise RequestError(422, f"the field {name!r} must be {described}, not {_json_type(value)}")
    return value


def app_from_env() -> ServingApp:
    """The application of one uvicorn worker, configured by `run` through the environment (workers
    are separate processes that import this module)."""
    return ServingApp(os.environ[ENV_MODEL], max_body=int(os.environ.get(ENV_MAX_BODY, DEFAULT_MAX_BODY)),
                      poll=float(os.environ.get(ENV_POLL, DEFAULT_POLL)),
                      signal_path=os.environ.get(ENV_SIGNAL) or None)


def run(folder: str, workers: int = 1, host: str = "127.0.0.1", port: int = 8000,
        max_body: int = DEFAULT_MAX_BODY, poll: float = DEFAULT_POLL, access_log: bool = False,
        log_level: str = "info") -> None:
    """Serves the folder with uvicorn in `workers` processes until interrupted (SIGINT or SIGTERM).

    With several workers, each binds its own listening socket to the port with SO_REUSEPORT, and
    the kernel spreads new connections evenly over them. (uvicorn's own workers share one socket:
    the first worker to wake takes every connection waiting, so clients that keep their
    connections open, as load balancers and wrk do, could all end up on one worker.) This process
    only holds the port, starts the workers and starts a new one when one dies."""
    import tempfile

    # Each worker's native pool: the cores shared out among the workers (a request is one text or a
    # batch; N workers with a pool of every core each would only contend).
    os.environ.setdefault("RAYON_NUM_THREADS", str(max(1, (os.cpu_count() or 1) // workers)))
    options = {"access_log": access_log, "log_level": log_level, "lifespan": "on", "timeout_graceful_shutdown": 5}
    with tempfile.TemporaryDirectory(prefix="ombrel-serve-") as scratch:
        signal_path = os.path.join(scratch, "reload")
        open(signal_path, "w").close()
        os.environ.update({ENV_MODEL: os.path.abspath(folder), ENV_MAX_BODY: str(max_body), ENV_POLL: str(poll),
                           ENV_SIGNAL: signal_path})
        if workers == 1:
            import uvicorn
            uvicorn.run(APP, factory=True, host=host, port=port, **options)  # type: ignore[arg-type]
        else:
            _supervise(workers, host, port, options)


APP = "ombrel_learn.serving:app_from_env"
# A worker that exits within this many seconds of its start counts as failing to start; after
# RESTARTS_ALLOWED such exits in a row the service stops instead of restarting it forever.
QUICK_EXIT = 5.0
RESTARTS_ALLOWED = 5


def _socket(host: str, port: int) -> socket.socket:
    family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind(address)
    return sock


def _worker(host: str, port: int, options: dict[str, Any]) -> None:
    """One worker process: its own listening socket on the shared port, and uvicorn on it."""
    import uvicorn
    sock = _socket(host, port)
    sock.listen(2048)
    config = uvicorn.Config(APP, factory=True, host=host, port=port, **options)
    try:
        uvicorn.Server(config).run(sockets=[sock])
    except KeyboardInterrupt:
        pass


def _supervise(workers: int, host: str, port: int, options: dict[str, Any]) -> None:
    import multiprocessing
    import signal
    import threading
    spawn = multiprocessing.get_context("spawn")
    # Bound, never listening: holds the port (a port in use fails here, once), and tells the
    # workers which port 0 chose. Connections go only to listening sockets.
    holder = _socket(host, port)
    port = holder.getsockname()[1]
    stop = threading.Event()
    previous = {sig: signal.signal(sig, lambda *_: stop.set()) for sig in (signal.SIGINT, signal.SIGTERM)}

    def start() -> tuple[Any, float]:
        process = spawn.Process(target=_worker, args=(host, port, options), daemon=False)
        process.start()
        return process, time.monotonic()

    quick_exits = 0
    processes = [start() for _ in range(workers)]
    log.warning("ombrel serve: %d workers on http://%s:%d (pid %d)", workers, host, port, os.getpid())
    try:
        while not stop.wait(0.2):
            for i, (process, started) in enumerate(processes):
                if process.is_alive():
                    continue
                quick_exits = quick_exits + 1 if time.monotonic() - started < QUICK_EXIT else 0
                if quick_exits > RESTARTS_ALLOWED:
                    raise RuntimeError(f"workers keep exiting at start (the last with status {process.exitcode})")
                log.warning("worker %d exited with status %s; starting another", process.pid, process.exitcode)
                processes[i] = start()
    finally:
        for process, _ in processes:
            if process.is_alive():
                process.terminate()  # SIGTERM: uvicorn finishes the requests in progress
        for process, _ in processes:
            process.join(10)
            if process.is_alive():
                process.kill()
                process.join()
        holder.close()
        for sig, handler in previous.items():
            signal.signal(sig, handler)


# -- memory and resources of a served process, from /proc ------------------------------------------

def process_usage(pid: int) -> dict[str, int]:
    """RSS, PSS and how much of them is shared or private (bytes, from /proc/PID/smaps_rollup), open file
    descriptors and memory mappings of one process. PSS divides each shared page by the number of
    processes that map it: N workers mapping one weights file each count 1/N of its pages."""
    usage: dict[str, int] = {}
    keys = {"Rss": "rss", "Pss": "pss", "Shared_Clean": "shared_clean", "Shared_Dirty": "shared_dirty",
            "Private_Clean": "private_clean", "Private_Dirty": "private_dirty"}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in keys:
                usage[keys[name]] = int(rest.split()[0]) * 1024
    usage["private"] = usage.get("private_clean", 0) + usage.get("private_dirty", 0)
    usage.update(mapped_weights(pid))
    usage["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    with open(f"/proc/{pid}/maps") as f:
        usage["maps"] = sum(1 for _ in f)
    return usage


def mapped_weights(pid: int) -> dict[str, int]:
    """RSS and PSS (bytes) of the process's mappings of model weights files (weights-*.bin), from
    /proc/PID/smaps: RSS counts the pages it touched, PSS its share of them."""
    totals = {"weights_rss": 0, "weights_pss": 0}
    inside = False
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split(maxsplit=6)
            if len(head) >= 5 and "-" in head[0] and not head[0].endswith(":"):  # a mapping's first line
                inside = len(head) == 6 and os.path.basename(head[5].strip()).startswith("weights-")
            elif inside and head[0] in ("Rss:", "Pss:"):
                totals["weights_rss" if head[0] == "Rss:" else "weights_pss"] += int(head[1]) * 1024
    return totals


def child_pids(pid: int) -> list[int]:
    """The direct children of a process (uvicorn's workers, when pid is the server's)."""
    children: list[int] = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return children
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                children.extend(int(x) for x in f.read().split())
        except OSError:
            pass
    return sorted(set(children))


def worker_pids(server_pid: int) -> list[int]:
    """The worker processes of `ombrel serve` (the server process itself when it runs one worker):
    its children started by multiprocessing's spawn, not multiprocessing's resource tracker."""
    workers = []
    for pid in child_pids(server_pid):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read()
        except OSError:
            continue
        if b"spawn_main" in command:
            workers.append(pid)
    return workers or [server_pid]
