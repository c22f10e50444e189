"""The model folder: what `OmbrelClassifier.save` writes and `OmbrelClassifier.load` reads.

    model.json              format name and version, settings, classes, sizes, the learner and its
                            bias neuron count, the fitted attributes the estimator documents
                            (`alpha_`, `selection_scores_`, ... as far as the model has them), when it
                            was saved (`saved_at`, UTC, ISO 8601), and the names of:
    weights-<id>.bin        the field's sensory neurons (OmbrelField.save_weights), 64 bytes each:
                            the tokens', then (learner "field") one margin probe per class, or (a
                            compiled float learner) the bias neurons every text carries at prediction
    vocabulary-<id>.bin     the token table (absent in hashing mode)

Saving. Saves into one folder take turns, across threads and processes: each holds an exclusive
`flock` on the folder itself for its whole length, so the last save to finish wins, whole. A save
waits at most SAVE_LOCK_TIMEOUT seconds for another one to end (a stopped process keeps its lock),
then raises TimeoutError naming the folder. A save replaces only a model.json that is an
ombrel_learn model description: another one (a file of the user's, or a damaged one of ours) is a
FileExistsError naming it, and nothing is written. Under the lock
a save writes a small journal (`.save-<id>.journal`) naming every file it is about to write, then
writes the weights, the vocabulary and the new model.json under names no earlier save used, flushes
them to disk, renames the new model.json over the old one (atomic: a crash leaves either the old
model.json with the old files it names or the new one with the new files), and only then removes
the files the replaced model.json named, the journals of saves that were killed (with the files
they name that model.json does not), and its own journal. A save removes nothing else: a file in the
folder that ombrel did not write stays. The classes and settings are checked before anything is
written: labels that a folder cannot hold give a ValueError and no file. `verbose` is not kept (a
model trained with progress bars loads quiet, also from folders that still hold it).

Loading maps the weights with OmbrelField.load_weights (shared=True): processes that load one model
share its pages, and training any of them writes the file. A load that races a save sees the old
model or the new one: it holds the files the model.json it read names open, and when a save removed
one first it reads model.json again. When the weights cannot be mapped for writing (a read-only
folder or medium), the default (shared=None) loads a private copy of them with a warning;
shared=False asks for the private copy. Every record is checked before it is used (a damaged one is
a ModelFolderError naming the file).

In-memory fields (a compiled fit, an unpickled or copied model, a private load) map a memory file
(`memfd`): no temporary file and no room in TMPDIR is needed. They are private to their process: a
child made by `fork` gets its own copy of each at the fork.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
try:
    import fcntl
except ImportError:  # no flock: saves from several processes are not serialized there
    fcntl = None  # type: ignore[assignment]
import json
import mmap
import os
import re
import secrets
import stat
import time
import warnings
from typing import Any, Iterator

import ombrel

from .. import _native
from ..base.exceptions import ModelFolderError
from ..learning.featurizing import spec_from_params
from ..learning.fields import NEURON_BYTES, engine_file, first_bad_record, memory_field
from ..learning.fitted_model import Model, calibration_or_none, thresholds_or_none
from ..learning.settings import MODEL_LEARNERS, Settings
from .manifest import (FORMAT_NAME, KEPT_ATTRIBUTES, MANIFEST, describe, parse_classes, plain, read_manifest,
                       restore_params)

__all__ = ["MANIFEST", "load", "save"]

# How often a load reads model.json again when a save replaced the files it was reading.
LOAD_ATTEMPTS = 50
# How long a save waits for another save into the same folder to end (seconds).
SAVE_LOCK_TIMEOUT = 60.0

_JOURNAL = re.compile(r"\.save-[0-9a-f]{16}\.journal")
# The only names a save writes (and so the only ones a journal may make it remove).
_SAVED_NAME = re.compile(r"(?:weights|vocabulary)-[0-9a-f]{16}\.bin|\.model\.json\.[0-9a-f]{16}\.tmp")
_TEMPORARY_MANIFEST = re.compile(r"\.model\.json\.[0-9a-f]{16}\.tmp")


# -- saving --------------------------------------------------------------------------------------------


def _write_synced(path: str, data: bytes) -> None:
    _write_new(path, data, sync=True)


def _write_new(path: str, data: bytes, sync: bool = False) -> None:
    """Writes a new file (never one that exists), flushed to disk if `sync`; a failed write (a full
    disk) names the file in its OSError, as the weights' does, and leaves nothing of it behind."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        if sync:
            os.fsync(fd)
    except OSError as error:
        if error.filename is None:
            error.filename = path
        os.close(fd)
        _remove(os.path.dirname(path), [os.path.basename(path)])
        raise
    os.close(fd)


def _fsync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_dir(path: str) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def _exclusive(path: str, timeout: float) -> Iterator[None]:
    """Holds the folder's save lock: an exclusive flock on the folder itself (no lock file is left
    behind; the system drops the lock of a process that dies). Waits at most `timeout` seconds for
    another save to end (a stopped or hung process keeps its lock for as long as it exists), then
    raises TimeoutError. On a file system without flock the save runs unlocked."""
    if fcntl is None:
        yield
        return
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        deadline = time.monotonic() + timeout
        pause = 0.005
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(
                        errno.ETIMEDOUT, f"another save holds this model folder's lock (waited {timeout:g} s): "
                        "a save running, stopped or hung in another process or thread; try again once it "
                        "has ended", path) from None
                time.sleep(min(pause, left))
                pause = min(pause * 2, 0.1)
            except OSError as e:
                if e.errno not in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EBADF, errno.EINVAL):
                    raise
                break
        yield
    finally:
        os.close(fd)  # releases the lock


def _named_files(manifest: Any) -> set[str]:
    if not isinstance(manifest, dict):
        return set()
    return {os.path.basename(n) for n in (manifest.get("weights"), manifest.get("vocabulary")) if isinstance(n, str)}


def _current_files(path: str) -> set[str] | None:
    """The files model.json names now (None when it cannot be read)."""
    try:
        with open(os.path.join(path, MANIFEST), encoding="utf-8") as f:
            return _named_files(json.load(f))
    except (OSError, ValueError, RecursionError):
        return None


def _replaced_files(path: str) -> set[str]:
    """The files the folder's model.json names, when it is an ombrel_learn model description (none
    when there is no model.json). Any other model.json is refused, never replaced: a file of the
    user's (another tool's model description), or one of ours that is damaged, whose model and
    files a save could not tell apart from the user's."""
    manifest_path = os.path.join(path, MANIFEST)
    try:
        with open(manifest_path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return set()
    try:
        manifest = json.loads(data.decode("utf-8"))
    except (ValueError, RecursionError):  # UnicodeDecodeError is a ValueError
        manifest = None
        if FORMAT_NAME.encode("utf-8") in data:
            raise FileExistsError(
                errno.EEXIST, "a damaged ombrel_learn model description (not readable JSON), which a save does "
                "not replace: remove it (and the weights and vocabulary files it named) or save into another "
                "folder", manifest_path) from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise FileExistsError(
            errno.EEXIST, "not an ombrel_learn model description, and a save does not replace it: save into "
            "another folder, or remove the file", manifest_path)
    return _named_files(manifest)


def check_target(path: str) -> None:
    """Raises what a save into `path` would raise for the model.json already there (a file a save
    does not replace), so that a caller can refuse before the work of fitting, not after it."""
    if os.path.isdir(path):
        _replaced_files(path)
    elif os.path.exists(path):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder: a model is saved into a folder", path)


def _remove(path: str, names: Any) -> None:
    for name in names:
        try:
            os.remove(os.path.join(path, name))
        except OSError:
            pass


def _recover(path: str, live: set[str], own_journal: str) -> None:
    """Removes what killed saves left: each journal's files that model.json does not name, then the
    journal, and unpublished temporary model.json files (also those of saves made before journals
    were written). Runs under the save lock and after this save published its model.json, so nothing
    found is a running save's."""
    try:
        names = os.listdir(path)
    except OSError:
        return
    for name in names:
        if _TEMPORARY_MANIFEST.fullmatch(name):
            _remove(path, [name])  # a killed save's unpublished model.json (journaled or not)
            continue
        if name == own_journal or not _JOURNAL.fullmatch(name):
            continue
        journal = os.path.join(path, name)
        try:
            with open(journal, encoding="utf-8") as f:
                listed = json.load(f)
        except (OSError, ValueError, RecursionError):
            listed = None  # cut short by the kill: it was written before any file it names
        if isinstance(listed, dict):
            files = [n for n in listed.get("writes", []) + listed.get("replaces", [])
                     if isinstance(n, str) and _SAVED_NAME.fullmatch(n) and n not in live]
            _remove(path, files)
        _remove(path, [name])


def save(estimator: Any, model: Model, path: str, lock_timeout: float | None = None) -> None:
    """Writes `model` with the settings and fitted attributes of `estimator` (an OmbrelClassifier)
    to the folder `path`, waiting at most `lock_timeout` seconds (default SAVE_LOCK_TIMEOUT) for
    another save into it to end."""
    # Everything that can refuse the model does so before the folder is touched.
    manifest = describe(estimator, model)
    tag = secrets.token_hex(8)
    manifest["weights"] = f"weights-{tag}.bin"
    manifest["vocabulary"] = f"vocabulary-{tag}.bin" if model.vocabulary is not None else None
    manifest_bytes = json.dumps(manifest, ensure_ascii=False, indent=1, default=plain).encode("utf-8")
    vocabulary_bytes = model.vocabulary.to_bytes() if model.vocabulary is not None else None
    temporary_name = f".{MANIFEST}.{tag}.tmp"
    journal_name = f".save-{tag}.journal"
    writes = [n for n in (manifest["weights"], manifest["vocabulary"], temporary_name) if n]

    live = _named_files(manifest)
    os.makedirs(path, exist_ok=True)
    with _exclusive(path, SAVE_LOCK_TIMEOUT if lock_timeout is None else lock_timeout):
        # The files of the model this save replaces: only names a save writes (model.json may have
        # been edited by hand to name a file of the user's).
        replaced = {n for n in _replaced_files(path) if _SAVED_NAME.fullmatch(n)}
        journal = os.path.join(path, journal_name)
        # Not flushed to disk: it only has to outlive a killed process (the system keeps what was
        # written), and a power cut at worst leaves files no model.json names.
        _write_new(journal, json.dumps({"writes": writes, "replaces": sorted(replaced)}).encode("utf-8"))
        written: list[str] = []
        try:
            weights_path = os.path.join(path, manifest["weights"])
            written.append(manifest["weights"])
            with engine_file(weights_path):
                model.field.save_weights(weights_path)
            _fsync_file(weights_path)
            if vocabulary_bytes is not None:
                written.append(manifest["vocabulary"])
                _write_synced(os.path.join(path, manifest["vocabulary"]), vocabulary_bytes)
            written.append(temporary_name)
            _write_synced(os.path.join(path, temporary_name), manifest_bytes)
            os.replace(os.path.join(path, temporary_name), os.path.join(path, MANIFEST))
            written.pop()
            _fsync_dir(path)
        except BaseException:
            if _current_files(path) != live:
                _remove(path, written + [journal_name])
            # else: interrupted just after the new model.json took its place; its files stay, and
            # the journal lets the next save remove the replaced model's.
            raise
        # Only what the replaced model.json named: a file ombrel did not write is never removed.
        _remove(path, sorted(replaced - live))
        _recover(path, live, journal_name)
        _remove(path, [journal_name])


# -- loading -------------------------------------------------------------------------------------------

def _model_from(estimator_cls: Any, manifest: dict[str, Any], vocabulary_bytes: bytes | None,
                map_weights: Any, where: str) -> tuple[Any, Model, dict[str, Any]]:
    kind = manifest["features"]
    try:
        estimator = estimator_cls(**restore_params(manifest["params"]))
        settings = Settings.of(estimator)
        settings.spec(kind)  # the settings must make features, whichever describes the model's
        feature_params = manifest.get("feature_params")
        if feature_params is None:  # a folder from before models recorded their features: no marks
            feature_params = dataclasses.replace(settings, marks=False).resolved().feature_params(kind)
        elif not isinstance(feature_params, dict) or feature_params.get("features") != kind:
            raise ValueError(f"feature_params {feature_params!r} do not describe features {kind!r}")
        spec = spec_from_params(feature_params)
        classes = parse_classes(manifest["classes"], manifest["classes_dtype"], manifest.get("classes_type"))
    except (TypeError, ValueError, OverflowError, KeyError) as e:
        raise ModelFolderError(f"{where}: settings or classes are damaged: {e}") from None
    buckets = manifest["buckets"]
    vocabulary = None
    if vocabulary_bytes is not None:
        try:
            vocabulary = _native.Vocabulary.from_bytes(vocabulary_bytes)
        except ValueError as e:
            raise ModelFolderError(f"{where}: {e}") from None
        if len(vocabulary) != manifest["vocabulary_size"]:
            raise ModelFolderError(f"{where}: the vocabulary holds {len(vocabulary)} tokens, "
                                   f"the description says {manifest['vocabulary_size']}")
    elif buckets <= 0:
        raise ModelFolderError(f"{where}: neither a vocabulary nor hash buckets")
    token_neurons = buckets or len(vocabulary or ())
    motor_count = manifest["motor_count"]
    sensory_count = manifest["sensory_count"]
    learner, bias_neurons = manifest["learner"], manifest["bias_neurons"]
    # The field's own learner has no bias neurons (its neurons after the tokens are its probes).
    if learner not in MODEL_LEARNERS or (learner == "field" and bias_neurons != 0):
        raise ModelFolderError(f"{where}: unknown learner {learner!r} or bias neuron count {bias_neurons!r}")
    extra = motor_count if learner == "field" else bias_neurons
    if motor_count != len(classes) or sensory_count != token_neurons + extra:
        raise ModelFolderError(f"{where}: sizes do not agree ({sensory_count} sensory neurons for "
                               f"{token_neurons} tokens, {motor_count} classes and {bias_neurons} "
                               f"bias neurons of learner {learner!r})")
    field = map_weights(sensory_count, motor_count)
    model = Model(kind, spec, vocabulary, buckets, classes, field, learner, bias_neurons, feature_params)
    # Optional, checked by read_manifest (positive numbers): see manifest.describe.
    model.scale, model.temperature = (None if manifest.get(key) is None else float(manifest[key])
                                      for key in ("scale", "temperature"))
    # A multi-label model's thresholds (checked by read_manifest); None: a single-label model.
    model.thresholds = thresholds_or_none(manifest.get("multilabel", {}).get("thresholds"), len(classes), where)
    model.label_calibration = calibration_or_none(manifest.get("multilabel", {}).get("label_calibration"),
                                                  len(classes), where)
    fitted = {name: value for name, value in manifest.get("fitted", {}).items() if name in KEPT_ATTRIBUTES}
    return estimator, model, fitted


class _Vanished(Exception):
    """A file model.json named was removed before this load opened it."""


def _cannot_share(e: OSError) -> bool:
    """The weights cannot be mapped shared and writable, but can be read: a read-only file, folder
    or medium, or a file system that maps no files."""
    return e.errno in (errno.EACCES, errno.EPERM, errno.EROFS, errno.ENODEV)


def _open_file(path: str, name: str) -> Any:
    """The folder's file `name`, open for reading: a regular file (a name for a pipe or a device
    does not make the load wait or read forever)."""
    name = os.path.basename(name)
    try:
        fd = os.open(os.path.join(path, name), os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        raise _Vanished(name) from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ModelFolderError(f"{os.path.join(path, name)} is not a file")
    return open(fd, "rb")


def _load_once(estimator_cls: Any, path: str, manifest: dict[str, Any], shared: bool | None
               ) -> tuple[Any, Model, dict[str, Any]]:
    vocabulary_bytes = None
    if manifest["vocabulary"] is not None:
        with _open_file(path, manifest["vocabulary"]) as f:
            vocabulary_bytes = f.read()
    weights_name = os.path.basename(manifest["weights"])
    weights_path = os.path.join(path, weights_name)
    with _open_file(path, weights_name) as weights:
        fd = weights.fileno()
        weights_size = os.fstat(fd).st_size

        def map_weights(sensory_count: int, motor_count: int) -> ombrel.OmbrelField:
            # The file's size first: the field allocates for the counts it is given.
            if weights_size != sensory_count * NEURON_BYTES:
                raise ModelFolderError(
                    f"{weights_path}: {weights_size} bytes, but the vocabulary and classes need "
                    f"{sensory_count} neurons of {NEURON_BYTES} bytes ({sensory_count * NEURON_BYTES} bytes)")
            if weights_size:
                with mmap.mmap(fd, weights_size, prot=mmap.PROT_READ) as view:
                    problem = first_bad_record(view, motor_count)
                if problem is not None:
                    raise ModelFolderError(f"{weights_path} is damaged: record {problem[0]} {problem[1]}")
            if shared is not False:
                field = ombrel.OmbrelField(sensory_count, motor_count)
                # By the open file, not its name: a save may have removed the name since.
                by_fd = f"/proc/self/fd/{fd}"
                target = by_fd if os.path.exists(by_fd) else weights_path
                try:
                    with engine_file(weights_path):
                        field.load_weights(target)
                    return field
                except OSError as e:
                    if e.errno == errno.ENOENT and target == weights_path:
                        raise _Vanished(weights_name) from None
                    if not _cannot_share(e):
                        raise
                    if shared:
                        raise type(e)(e.errno, f"{e.strerror}: the weights cannot be mapped for writing, which "
                                      "shared=True needs (load with shared=False for a private copy)",
                                      weights_path) from e
                    warnings.warn(f"{weights_path} cannot be mapped for writing ({e.strerror}): loaded a private "
                                  "copy of the weights (OmbrelClassifier.load(path, shared=False) asks for one "
                                  "without this warning); training it does not change the folder",
                                  UserWarning, stacklevel=6)
            weights.seek(0)
            return memory_field(weights, sensory_count, motor_count)

        return _model_from(estimator_cls, manifest, vocabulary_bytes, map_weights, path)


def load(estimator_cls: Any, path: str, shared: bool | None = None) -> tuple[Any, Model, dict[str, Any]]:
    """(an estimator_cls made with the folder's settings, its fitted model, the fitted attributes
    the folder kept), for OmbrelClassifier.load to put together."""
    if shared not in (None, True, False):
        raise ValueError(f"shared must be None, True or False, got {shared!r}")
    for _ in range(LOAD_ATTEMPTS):
        manifest = read_manifest(path)
        try:
            return _load_once(estimator_cls, path, manifest, shared)
        except _Vanished as e:
            now = _current_files(path)
            if now is not None and now != _named_files(manifest):
                continue  # a save replaced the model under this load: load the new one
            raise ModelFolderError(f"{path}: {e.args[0]} is missing") from None
    raise ModelFolderError(f"{path}: the model kept changing during {LOAD_ATTEMPTS} loads")

