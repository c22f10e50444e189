"""The model a server process serves: one loaded model folder, its hot swap, and live learning.

Used by the HTTP workers (which only predict when they run under `ombrel serve`) and by the one
writer process that owns every feedback update of a served folder (writer.py). Nothing here
knows about HTTP beyond RequestError, the refusal a caller turns into a status code.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import time
from typing import Any, Callable

from ..base.exceptions import ModelFolderError
from ..classifier import OmbrelClassifier
from ..store import folder as model_folder

DEFAULT_POLL = 0.1
# Labels listed in an "unknown label" message, at most.
LABELS_SHOWN = 20
# Each weights record is 64 bytes; its training lock word is the signed 32-bit word at byte 56.
RECORD_BYTES = 64
LOCK_WORD = 56 // 4

log = logging.getLogger("ombrel.serve")


class RequestError(Exception):
    """A request the service refuses: an HTTP status and a message for the client."""

    def __init__(self, status: int, message: str, headers: list[tuple[bytes, bytes]] | None = None,
                 close: bool = False):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers or []
        self.close = close  # the connection cannot carry another request (a body left half read)


class ServedModel:
    """One loaded model and what the service says about it. Never changes once made: a swap makes
    a new one."""

    def __init__(self, classifier: OmbrelClassifier, manifest: dict[str, Any], stamp: tuple[int, ...] | None,
                 folder: str = ""):
        self.classifier = classifier
        self.manifest = manifest
        self.stamp = stamp
        self.folder = folder
        self.identity: str = manifest["weights"]
        self.labels: list[Any] = classifier.classes_.tolist()
        self.label_type = type(self.labels[0]) if self.labels else str
        self.known = set(self.labels)
        self.loaded_at = time.time()

    def describe(self) -> dict[str, Any]:
        m, clf = self.manifest, self.classifier
        described = {
            "model": self.identity,
            "name": os.path.basename(os.path.normpath(self.folder)) if self.folder else None,
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
            "multilabel": bool(clf.multilabel_),
        }
        alpha = getattr(clf, "alpha_", None)
        try:
            described["alpha"] = None if alpha is None else float(alpha)
        except (TypeError, ValueError):
            described["alpha"] = str(alpha)
        return described

    def check_label(self, data: Any) -> Any:
        """The label of a feedback body, refused with 422 unless it is one of the model's."""
        if not isinstance(data, dict) or "label" not in data:
            raise RequestError(422, "the body must be a JSON object with a field 'label'")
        label = data["label"]
        if self.label_type is float and type(label) is int:
            label = float(label)  # a whole-number float label (0.0) comes back from JSON in JavaScript as 0
        if (not isinstance(label, self.label_type) or label not in self.known
                or isinstance(label, bool) != (self.label_type is bool)):  # True == 1 in a set
            shown = ", ".join(json.dumps(x, ensure_ascii=False) for x in self.labels[:LABELS_SHOWN])
            more = f" and {len(self.labels) - LABELS_SHOWN} more" if len(self.labels) > LABELS_SHOWN else ""
            raise RequestError(422, f"unknown label {json.dumps(label, ensure_ascii=False)}; the model's "
                                    f"labels are {shown}{more}")
        return label

    def check_learns(self) -> None:
        learner = self.classifier.learner_
        if learner != "field":
            raise RequestError(409, f"this model was fitted with learner {learner!r}, which does not learn "
                                    f"one text at a time; train it with learner 'field' to use feedback")

    def learn(self, text: str, label: Any) -> dict[str, Any]:
        """One feedback update: the prediction before, partial_fit, the prediction after. The caller
        makes sure that no other update of this process runs at the same time (partial_fit uses the
        field's running potentials, which belong to the process)."""
        classifier = self.classifier
        try:
            before = classifier.predict([text]).tolist()[0]
            classifier.partial_fit([text], [label])
            after = classifier.predict([text]).tolist()[0]
        except UnicodeError:
            raise RequestError(422, "the text is not valid Unicode (it holds a lone surrogate)") from None
        return {"label": label, "before": before, "after": after, "model": self.identity}


def feedback_text(data: Any) -> str:
    if not isinstance(data, dict):
        raise RequestError(422, f"the body must be a JSON object with a field 'text', not {json_type(data)}")
    if "text" not in data:
        raise RequestError(422, "the field 'text' is missing")
    text = data["text"]
    if not isinstance(text, str):
        raise RequestError(422, f"the field 'text' must be a string, not {json_type(text)}")
    return text


def json_type(value: Any) -> str:
    if value is None:
        return "null"
    return {bool: "a boolean", int: "a number", float: "a number", str: "a string", list: "a list",
            dict: "an object"}.get(type(value), type(value).__name__)


def _iso(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{int(seconds % 1 * 1000):03d}Z"


def stamp(path: str) -> tuple[int, ...] | None:
    """What changes when a file is replaced (a rename gives it a new inode) or rewritten."""
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
        before_stamp = stamp(manifest_path)
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
            return ServedModel(classifier, after, before_stamp, folder)
    raise ModelFolderError(f"{folder}: the model kept changing during {attempts} loads")


def release_record_locks(weights_path: str) -> int:
    """Clears every held training lock word of a weights file; the number cleared.

    A process killed while it trained a record leaves that record's lock held in the file, and every
    later training passes over the record for good. Only a process that knows no other process
    trains the file may call this (under `ombrel serve`, the folder's one writer when it loads a
    model: the supervisor starts a writer only once the previous one has exited)."""
    import numpy as np

    size = os.path.getsize(weights_path)
    if size == 0 or size % RECORD_BYTES:
        return 0
    words = np.memmap(weights_path, dtype="<i4", mode="r+")
    try:
        locks = words[LOCK_WORD::RECORD_BYTES // 4]
        held = np.flatnonzero(locks)
        if held.size:
            locks[held] = 0
            words.flush()
        return int(held.size)
    finally:
        del words


class ModelHolder:
    """The model a process serves now, and the watch that swaps it.

    `prepare`, when given, runs on the event loop thread with each newly loaded model before it is
    served (the writer releases stale record locks there, between two updates)."""

    def __init__(self, folder: str, poll: float = DEFAULT_POLL, signal_path: str | None = None,
                 prepare: Callable[[ServedModel], None] | None = None):
        self.folder = folder
        self.poll = poll
        self.signal_path = signal_path
        self.prepare = prepare
        self.current: ServedModel | None = None
        self._signal_stamp = stamp(signal_path) if signal_path else None
        self._loading = asyncio.Lock()
        self.swaps = 0
        # The last failed load: what it said, and the model.json it saw (retried when that changes).
        self.problem: str | None = None
        self._failed_stamp: tuple[int, ...] | None | bool = False

    async def refresh(self, force: bool = False) -> bool:
        """Loads the folder again when model.json changed (or when forced); True when the served
        model changed. A failed load leaves the current model in place."""
        async with self._loading:
            current = self.current
            if self.signal_path:
                signal = stamp(self.signal_path)
                if signal != self._signal_stamp:
                    self._signal_stamp = signal
                    force = True
            manifest_stamp = stamp(os.path.join(self.folder, model_folder.MANIFEST))
            if not force and current is not None and manifest_stamp == current.stamp:
                self._recovered()
                return False
            if not force and manifest_stamp == self._failed_stamp:
                return False  # the same missing or damaged description as last time
            try:
                loaded = await asyncio.get_running_loop().run_in_executor(None, load_served, self.folder)
            except Exception as e:
                self._failed_stamp = manifest_stamp
                self._failed(str(e))
                raise
            self._failed_stamp = False
            if self.prepare is not None:
                self.prepare(loaded)
            self.current = loaded
            self._recovered()
            changed = current is None or loaded.identity != current.identity
            if changed:
                self.swaps += current is not None
                log.info("serving %s (pid %d)", loaded.identity, os.getpid())
            return changed

    def _failed(self, problem: str) -> None:
        # Logged once when the folder stops loading, not at every poll.
        if self.problem is None:
            serving = f"still serving {self.current.identity}" if self.current is not None else "no model yet"
            log.warning("model folder %s cannot be loaded (%s): %s", self.folder, serving, problem)
        self.problem = problem

    def _recovered(self) -> None:
        self._failed_stamp = False
        if self.problem is not None:
            log.warning("model folder %s loads again", self.folder)
            self.problem = None

    def signal_others(self) -> None:
        if self.signal_path:
            with open(self.signal_path, "w") as f:
                f.write(f"{os.getpid()} {time.time_ns()}\n")
            self._signal_stamp = stamp(self.signal_path)

    async def watch(self) -> None:
        while True:
            await asyncio.sleep(self.poll)
            try:
                await self.refresh()
            except Exception:  # noqa: BLE001 - a damaged save must not stop the watch; logged once
                pass
