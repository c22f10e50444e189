"""Serving a model folder over HTTP: `ombrel serve MODEL --workers N --port P`.

JSON in, JSON out:

    POST /predict        {"text": "..."}                  -> {"label": L, "model": ID}
    POST /predict_batch  {"texts": ["...", ...]}          -> {"labels": [L, ...], "model": ID}
    POST /explain        {"text": "...", "k": 10}         -> {"label": L, "runner_up": R, "tokens": [[T, a, b], ...],
                                                              "bias": [a, b], "model": ID}
                         ("in_order": true adds "in_order": [[T, a, b], ...], the features in reading order,
                          at most IN_ORDER_FEATURES, and "in_order_complete")
    POST /feedback       {"text": "...", "label": L}      -> {"label": L, "before": L0, "after": L1, "model": ID}
    POST /reload                                          -> {"model": ID, "changed": bool}
    GET  /model          format version, classes, features, learner, alpha, sizes, when it was saved
    GET  /health         {"status": "ok" | "degraded", "model": ID, "pid": ..., "service": {...}}
    GET  /               a page to try the model in a browser (page.py; off with --no-page)

ID is the name of the weights file the answer came from (`weights-<tag>.bin`): every save gives a
new one, so a client can tell which model answered. /feedback and /reload write: they are off
unless the service is started with a token, and then need it (app.py says what every
request must show, Host, Origin and Content-Type included).

The service is four parts, one module each:
- app: the ASGI application (routes, refusals, who may write). Plain ASGI rather than a
  framework: seven JSON endpoints and a page need no router; the body limit is enforced while the body arrives
  (before anything is parsed); and a prediction of one short text costs a few microseconds, so every
  layer of request objects would show in the latency. The only dependency is uvicorn.
- model: the model a process serves (ServedModel, load_served) and its hot swap
  (ModelHolder), and one feedback update.
- worker: one HTTP worker process, uvicorn accepting on the listening socket the
  supervisor bound and every worker inherits (the pre-fork model: one socket, so no other process
  can bind the port beside it), with deadlines for request heads and bodies and bounds on head
  size and connections.
- supervisor: the `ombrel serve` process, which holds the port, starts and restarts the
  workers and the writer (writer.py), and stops them; its text states the guarantees.

Workers load the folder with `OmbrelClassifier.load`, which maps the weights file MAP_SHARED: the
weights are in memory once, in the page cache, whatever N is (`process_usage` reads RSS and PSS).

Where predictions run: a request of at most INLINE_TEXTS texts and INLINE_TEXT_CHARS characters is
predicted in the event loop thread. It takes microseconds, less than handing it to a thread and
back would, and the classifier's predict is thread-safe. Bigger requests (a body of 349,000 empty
texts costs per text, not per character) go to one extra thread, where they take turns: the native
pipeline releases the interpreter lock while it tokenizes and predicts, so the event loop keeps
answering short requests meanwhile. There a batch is checked, predicted, turned into Python objects
and encoded CHUNK_TEXTS texts at a time, since each of those steps is one call that holds the
interpreter lock. Bodies above INLINE_BODY_BYTES are parsed there too, in one call: its cost is
bounded by --max-body (a 1 MiB body of the smallest texts takes ~10-30 ms).

Live learning: /feedback calls partial_fit on the served model. For a model of learner "field" that
trains the mapped records in place, so the update is in the shared pages and in the file: every
worker, and every process that loads the folder later, sees it without reloading. Under `ombrel
serve` one process does every update, the folder's writer (writer says why); a
ServingApp driven in a process of its own trains in its event loop thread, one update at a time.
Nothing flushes those pages: feedback survives a crash of the service, but not of the machine before
the kernel has written them back. Feedback sent to a model that a save has just replaced trains the
old mapping and is lost with it (its answer names that model). A model compiled from a float
learner (naive Bayes, SGD, perceptron) cannot continue learning one text at a time: /feedback
answers 409 for those.

Hot swap: a save into the served folder writes new files, then renames model.json over the old one.
Every process stats model.json every `poll` seconds (0.1 by default); when it changed, it loads the
folder on a thread and, once loaded, swaps its reference to the model. A request takes that
reference once, at its start, and uses it to the end, so it is answered by one model; the old
model's mapping stays valid after the save removed its files, and is unmapped when its last request
is done. Bound: a worker answers with the new model at most `poll` seconds plus one load after the
rename. A folder that cannot be loaded (renamed away, damaged) is logged once, and once again when
it loads again; the current model keeps serving meanwhile and /health says "degraded". POST
/reload makes the worker that receives it check at once, and signals the other processes through a
small file, which they check on the same poll.
"""

from __future__ import annotations

import os

from .app import (CHUNK_TEXTS, DEFAULT_BODY_TIMEOUT, DEFAULT_MAX_BODY, INLINE_BODY_BYTES,
                          INLINE_TEXT_CHARS, INLINE_TEXTS, ServingApp)
from .model import (DEFAULT_POLL, LABELS_SHOWN, ModelHolder, RequestError, ServedModel, load_served,
                            release_record_locks)
from .supervisor import ServeError, check_settings, run
from .worker import (DEFAULT_HEADER_TIMEOUT, DEFAULT_KEEP_ALIVE, DEFAULT_MAX_CONNECTIONS, DEFAULT_MAX_HEAD,
                             app_from_env)

__all__ = ["CHUNK_TEXTS", "DEFAULT_BODY_TIMEOUT", "DEFAULT_HEADER_TIMEOUT", "DEFAULT_KEEP_ALIVE", "DEFAULT_MAX_BODY",
           "DEFAULT_MAX_CONNECTIONS", "DEFAULT_MAX_HEAD", "DEFAULT_POLL", "INLINE_BODY_BYTES", "INLINE_TEXTS", "INLINE_TEXT_CHARS",
           "LABELS_SHOWN", "ModelHolder", "RequestError", "ServeError", "ServedModel", "ServingApp", "app_from_env",
           "check_settings",
           "child_pids", "load_served", "mapped_weights", "process_usage", "release_record_locks", "run",
           "worker_pids", "writer_pid"]


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


def _children_running(server_pid: int, module: bytes) -> list[int]:
    found = []
    for pid in child_pids(server_pid):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().split(b"\0")
        except OSError:
            continue
        if module in command:
            found.append(pid)
    return found


def worker_pids(server_pid: int) -> list[int]:
    """The HTTP worker processes of `ombrel serve` (the process itself when it has none)."""
    return _children_running(server_pid, b"ombrel_learn.serve.worker") or [server_pid]


def writer_pid(server_pid: int) -> int | None:
    """The writer process of `ombrel serve --allow-writes`, when one runs."""
    found = _children_running(server_pid, b"ombrel_learn.serve.writer")
    return found[0] if found else None
