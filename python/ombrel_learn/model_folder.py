"""The model folder: what `OmbrelClassifier.save` writes and `OmbrelClassifier.load` reads.

    model.json              format name and version, settings, classes, sizes, the learner and its
                            bias neuron count, when it was saved (`saved_at`, UTC, ISO 8601; absent
                            from folders written before it was recorded), and the names of:
    weights-<id>.bin        the field's sensory neurons (OmbrelField.save_weights), 64 bytes each:
                            the tokens', then (learner "field") one margin probe per class, or (a
                            compiled float learner) the bias neurons every text carries at prediction
    vocabulary-<id>.bin     the token table (absent in hashing mode)

Crash safety: a save writes the weights and the vocabulary under names no earlier save used,
flushes them to disk, then writes model.json to a temporary name, flushes it and renames it over the
old one, which is atomic. A crash at any point leaves either the old model.json with the old files it
names, or the new one with the new files. Only then are the files of the replaced model removed. A
classifier loaded earlier keeps working: its weights are a mapping of the old file, which stays
valid after the file is removed, and its vocabulary is in memory.

Loading maps the weights with OmbrelField.load_weights: processes that load one model share its
pages.
"""

from __future__ import annotations

import json
import os
import secrets
import tempfile
import time
from typing import Any

import numpy as np

import ombrel

from . import _native
from .exceptions import ModelFolderError

FORMAT_NAME = "ombrel_learn model"
FORMAT_VERSION = 2
# Version 1 folders (before the float learners) hold field-trained models: they load as learner
# "field" with no bias neurons.
READABLE_VERSIONS = (1, 2)
MANIFEST = "model.json"
NEURON_BYTES = 64
# The widest str type of the classes a folder may declare beyond its longest label (characters).
MAX_LABEL_WIDTH = 1024


def _json_params(params: dict[str, Any]) -> dict[str, Any]:
    out = dict(params)
    if isinstance(out.get("stop_words"), (set, frozenset, list, tuple)):
        out["stop_words"] = sorted(out["stop_words"])
    out["ngram_range"] = list(out["ngram_range"])
    return out


def _restore_params(params: dict[str, Any]) -> dict[str, Any]:
    out = dict(params)
    if isinstance(out.get("stop_words"), list):
        out["stop_words"] = frozenset(out["stop_words"])
    if "ngram_range" in out:
        out["ngram_range"] = tuple(out["ngram_range"])
    return out


def _describe(estimator: Any, model: Any) -> dict[str, Any]:
    return {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "params": _json_params(estimator.get_params()),
        "features": model.kind,
        "buckets": model.buckets,
        "vocabulary_size": len(model.vocabulary) if model.vocabulary is not None else 0,
        "sensory_count": model.sensory_count,
        "motor_count": len(model.classes),
        "classes": model.classes.tolist(),
        "classes_dtype": model.classes.dtype.str,
        "learner": model.learner,
        "bias_neurons": model.bias_neurons,
        # Informative only: readers do not need it (older version 2 readers ignore it).
        "saved_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
    }


def _write_synced(path: str, data: bytes) -> None:
    with open(path, "xb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


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


def save(estimator: Any, model: Any, path: str) -> None:
    os.makedirs(path, exist_ok=True)
    tag = secrets.token_hex(8)
    manifest = _describe(estimator, model)
    written: list[str] = []
    try:
        weights_name = f"weights-{tag}.bin"
        weights_path = os.path.join(path, weights_name)
        written.append(weights_path)
        model.field.save_weights(weights_path)
        _fsync_file(weights_path)
        manifest["weights"] = weights_name
        manifest["vocabulary"] = None
        if model.vocabulary is not None:
            vocabulary_name = f"vocabulary-{tag}.bin"
            written.append(os.path.join(path, vocabulary_name))
            _write_synced(written[-1], model.vocabulary.to_bytes())
            manifest["vocabulary"] = vocabulary_name
        temporary = os.path.join(path, f".{MANIFEST}.{tag}.tmp")
        written.append(temporary)
        _write_synced(temporary, json.dumps(manifest, ensure_ascii=False, indent=1).encode("utf-8"))
        os.replace(temporary, os.path.join(path, MANIFEST))
        written.pop()
        _fsync_dir(path)
    except BaseException:
        for leftover in written:
            try:
                os.remove(leftover)
            except OSError:
                pass
        raise
    keep = {manifest["weights"], manifest["vocabulary"]}
    for name in os.listdir(path):
        if (name.startswith(("weights-", "vocabulary-")) and name.endswith(".bin") and name not in keep):
            try:
                os.remove(os.path.join(path, name))
            except OSError:
                pass


def _read_manifest(path: str) -> dict[str, Any]:
    if not os.path.isdir(path):
        raise FileNotFoundError(2, "No such model folder", path)
    manifest_path = os.path.join(path, MANIFEST)
    try:
        with open(manifest_path, encoding="utf-8") as f:
            manifest = json.load(f)
    except FileNotFoundError:
        raise ModelFolderError(f"{path} is not a model folder: {MANIFEST} is missing") from None
    except (ValueError, UnicodeDecodeError, RecursionError) as e:  # RecursionError: nested too deep
        raise ModelFolderError(f"{manifest_path} is damaged: {e}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise ModelFolderError(f"{manifest_path} is not an ombrel_learn model description")
    version = manifest.get("format_version")
    if version not in READABLE_VERSIONS:
        raise ModelFolderError(f"{path}: model format version {version!r}; this ombrel_learn reads "
                               f"versions {', '.join(map(str, READABLE_VERSIONS))}")
    if version == 1:
        manifest.setdefault("learner", "field")
        manifest.setdefault("bias_neurons", 0)
    for key in ("params", "features", "buckets", "vocabulary_size", "sensory_count", "motor_count",
                "classes", "classes_dtype", "weights", "vocabulary", "learner", "bias_neurons"):
        if key not in manifest:
            raise ModelFolderError(f"{manifest_path} lacks {key!r}")
    # The loader trusts nothing of it beyond its types: a wrong one is a damaged folder, not a
    # TypeError from deep inside, and the counts are checked against the files before any
    # allocation is sized by them.
    if (not isinstance(manifest["weights"], str) or not isinstance(manifest["vocabulary"], (str, type(None)))
            or not isinstance(manifest["params"], dict) or not isinstance(manifest["classes"], list)
            or not isinstance(manifest["classes_dtype"], str) or manifest["features"] not in ("words", "chars")):
        raise ModelFolderError(f"{manifest_path}: file names, settings, classes or features are damaged")
    for key in ("buckets", "vocabulary_size", "sensory_count", "motor_count", "bias_neurons"):
        if type(manifest[key]) is not int or not 0 <= manifest[key] < 2**32:
            raise ModelFolderError(f"{manifest_path}: {key} is {manifest[key]!r}, not a count below 2**32")
    return manifest


def _build(estimator_cls: Any, manifest: dict[str, Any], vocabulary_bytes: bytes | None,
           map_weights: Any, where: str) -> Any:
    from .classifier import LEARNERS, _Model
    kind = manifest["features"]
    try:
        estimator = estimator_cls(**_restore_params(manifest["params"]))
        spec = estimator._spec(kind)
        dtype = np.dtype(manifest["classes_dtype"])
        # Labels are numbers, booleans or str; a str type no wider than the longest label or
        # MAX_LABEL_WIDTH characters (labels given as a wide fixed-width array keep its width).
        longest = max([MAX_LABEL_WIDTH] + [len(str(c)) for c in manifest["classes"]])
        if dtype.kind not in "biufU" or (dtype.kind == "U" and dtype.itemsize > 4 * longest):
            raise ValueError(f"class type {dtype.str!r}")
        classes = np.array(manifest["classes"], dtype=dtype)
        if classes.ndim != 1:
            raise ValueError("classes are not a flat list")
    except (TypeError, ValueError, OverflowError) as e:
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
    if learner not in LEARNERS[1:] or (learner == "field" and bias_neurons != 0):
        raise ModelFolderError(f"{where}: unknown learner {learner!r} or bias neuron count {bias_neurons!r}")
    extra = motor_count if learner == "field" else bias_neurons
    if motor_count != len(classes) or sensory_count != token_neurons + extra:
        raise ModelFolderError(f"{where}: sizes do not agree ({sensory_count} sensory neurons for "
                               f"{token_neurons} tokens, {motor_count} classes and {bias_neurons} "
                               f"bias neurons of learner {learner!r})")
    field = map_weights(sensory_count, motor_count)
    model = _Model(kind, spec, vocabulary, buckets, classes, field, learner, bias_neurons)
    estimator._set_model(model)
    return estimator


def load(estimator_cls: Any, path: str) -> Any:
    manifest = _read_manifest(path)
    vocabulary_bytes = None
    try:
        if manifest["vocabulary"] is not None:
            with open(os.path.join(path, os.path.basename(manifest["vocabulary"])), "rb") as f:
                vocabulary_bytes = f.read()
        weights_path = os.path.join(path, os.path.basename(manifest["weights"]))
        weights_size = os.path.getsize(weights_path)
    except FileNotFoundError as e:
        raise ModelFolderError(f"{path}: {os.path.basename(e.filename)} is missing") from None

    def map_weights(sensory_count: int, motor_count: int) -> ombrel.OmbrelField:
        # The file's size first: the field allocates for the counts it is given.
        if weights_size != sensory_count * NEURON_BYTES:
            raise ModelFolderError(
                f"{weights_path}: {weights_size} bytes, but the vocabulary and classes need "
                f"{sensory_count} neurons of {NEURON_BYTES} bytes ({sensory_count * NEURON_BYTES} bytes)")
        field = ombrel.OmbrelField(sensory_count, motor_count)
        field.load_weights(weights_path)
        return field

    return _build(estimator_cls, manifest, vocabulary_bytes, map_weights, path)


def model_state(model: Any) -> dict[str, Any]:
    """The fitted state as plain data, for pickling."""
    fd, temporary = tempfile.mkstemp(prefix="ombrel-learn-", suffix=".bin")
    os.close(fd)
    try:
        os.remove(temporary)  # save_weights creates it
        model.field.save_weights(temporary)
        with open(temporary, "rb") as f:
            weights = f.read()
    finally:
        try:
            os.remove(temporary)
        except OSError:
            pass
    return {
        "features": model.kind,
        "buckets": model.buckets,
        "classes": model.classes,
        "vocabulary": model.vocabulary.to_bytes() if model.vocabulary is not None else None,
        "weights": weights,
        "learner": model.learner,
        "bias_neurons": model.bias_neurons,
    }


def model_from_state(estimator: Any, state: dict[str, Any]) -> Any:
    from .classifier import _Model
    classes = state["classes"]
    vocabulary = _native.Vocabulary.from_bytes(state["vocabulary"]) if state["vocabulary"] is not None else None
    from .classifier import _mapped_field
    buckets = int(state["buckets"])
    learner = state.get("learner", "field")
    bias_neurons = int(state.get("bias_neurons", 0))
    extra = len(classes) if learner == "field" else bias_neurons
    sensory_count = (buckets or len(vocabulary or ())) + extra
    weights = state["weights"]
    if len(weights) != sensory_count * NEURON_BYTES:
        raise ModelFolderError("pickled weights do not match the vocabulary and classes")
    field = _mapped_field(weights, sensory_count, len(classes))
    return _Model(state["features"], estimator._spec(state["features"]), vocabulary, buckets, classes, field,
                  learner, bias_neurons)
