"""model.json: what a model folder says of its model (format, settings, classes, sizes, learner,
fitted attributes), written from a fitted model and read back with every value checked. See
ombrel_learn.store.folder for the folder around it."""

from __future__ import annotations

import errno
import json
import os
import time
from typing import Any

import numpy as np

from ..base.exceptions import ModelFolderError
from ..learning.fitted_model import FITTED_ATTRIBUTES, Model, calibration_or_none, positive_or_none, thresholds_or_none
from ..learning.settings import EARLIER_DEFAULTS

FORMAT_NAME = "ombrel_learn model"
FORMAT_VERSION = 2
# Version 1 folders (before the float learners) hold field-trained models: they load as learner
# "field" with no bias neurons.
# Version 3: a multi-label model (the "multilabel" entry; see multilabel.py), which a reader of
# versions 1 and 2 must refuse rather than load as a single-label model.
MULTILABEL_VERSION = 3
READABLE_VERSIONS = (1, 2, MULTILABEL_VERSION)
MANIFEST = "model.json"
# The widest str type of the classes a folder may declare beyond its longest label (characters).
MAX_LABEL_WIDTH = 1024
# Fitted attributes kept in model.json when the model has them (JSON values): those the model's
# own description (classes, features, learner, sizes) does not give.
KEPT_ATTRIBUTES = tuple(name for name in FITTED_ATTRIBUTES
                        if name not in ("classes_", "features_", "learner_", "n_features_"))
# The smallest scale or temperature a folder may hold. The potentials are whole numbers: at a
# temperature of 1e-3 a difference of 1 already gives odds of e^1000, a probability of exactly 1 in
# float64, so nothing below it changes a probability (and 1e-320 makes every quotient infinite).
MIN_TEMPERATURE = 1e-6
# Settings a folder does not keep: how the model was trained to be shown, not what it is.
NOT_SAVED_PARAMS = ("verbose",)

def json_params(params: dict[str, Any]) -> dict[str, Any]:
    out = {k: v for k, v in params.items() if k not in NOT_SAVED_PARAMS}
    if isinstance(out.get("stop_words"), (set, frozenset, list, tuple)):
        out["stop_words"] = sorted(out["stop_words"])
    out["ngram_range"] = list(out["ngram_range"])
    if isinstance(out.get("class_weight"), dict):  # JSON keys are str: as [label, weight] pairs
        out["class_weight"] = [[label, weight] for label, weight in out["class_weight"].items()]
    return out


def restore_params(params: dict[str, Any]) -> dict[str, Any]:
    out = {**EARLIER_DEFAULTS, **{k: v for k, v in params.items() if k not in NOT_SAVED_PARAMS}}
    if isinstance(out.get("stop_words"), list):
        out["stop_words"] = frozenset(out["stop_words"])
    if "ngram_range" in out:
        out["ngram_range"] = tuple(out["ngram_range"])
    if isinstance(out.get("class_weight"), list):
        try:
            out["class_weight"] = {label: weight for label, weight in out["class_weight"]}
        except (TypeError, ValueError):
            raise ModelFolderError(f"class_weight is damaged: {out['class_weight']!r}") from None
    return out


def plain(value: Any) -> Any:
    """numpy scalars and arrays as JSON values (for json.dumps's `default`)."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, (set, frozenset)):
        return sorted(value)
    raise TypeError(f"{type(value).__name__} is not a JSON value")


_PYTHON_TYPES = {"str": str, "int": int, "float": float, "bool": bool}


def _element_type(value: Any) -> str | None:
    if isinstance(value, (bool, np.bool_)):
        return "bool"
    if isinstance(value, (int, np.integer)):
        return "int"
    if isinstance(value, (float, np.floating)):
        return "float"
    if isinstance(value, str):
        return "str"
    return None


def _classes_entry(classes: np.ndarray) -> dict[str, Any]:
    """model.json's description of the classes, checked to read back equal; ValueError for classes
    a folder cannot hold."""
    kind = classes.dtype.kind
    entry: dict[str, Any] = {"classes_dtype": classes.dtype.str}
    if kind in "biufU":
        entry["classes"] = classes.tolist()
    elif kind == "S":  # bytes: each byte as the code point of the same value
        entry["classes"] = [c.decode("latin-1") for c in classes.tolist()]
    elif kind == "O":
        types = {_element_type(c) for c in classes.tolist()}
        if len(types) != 1 or None in types:
            shown = sorted({type(c).__name__ for c in classes.tolist()})
            raise ValueError(f"cannot save classes of type {' and '.join(shown)} in a model folder: labels must "
                             "all be str, all int, all float or all bool (convert y, for example with "
                             "y.astype(str), and fit again)")
        name = types.pop() or "str"  # one type, not None (checked above)
        entry["classes_type"] = name
        entry["classes"] = [_PYTHON_TYPES[name](c) for c in classes.tolist()]
    else:
        raise ValueError(f"cannot save classes of numpy type {classes.dtype} in a model folder: labels must be "
                         "str, bytes, int, float or bool")
    back = parse_classes(json.loads(json.dumps(entry["classes"])), entry["classes_dtype"], entry.get("classes_type"))
    same = (len(back) == len(classes) and back.dtype == classes.dtype
            and all(a == b or (a != a and b != b) for a, b in zip(back.tolist(), classes.tolist())))
    if not same:
        raise ValueError(f"cannot save these classes in a model folder: they do not read back equal "
                         f"({classes.tolist()[:5]!r}...)")
    return entry


def parse_classes(values: Any, dtype_text: str, element_type: Any) -> np.ndarray:
    """The classes array of a model.json entry; ValueError or TypeError when it is damaged."""
    if not isinstance(values, list):
        raise TypeError("classes are not a list")
    dtype = np.dtype(dtype_text)
    if dtype.kind == "O":
        wanted = _PYTHON_TYPES.get(element_type) if isinstance(element_type, str) else None
        if wanted is None or any(type(v) is not wanted for v in values):
            raise ValueError(f"classes of Python objects whose type is not {element_type!r}")
        classes = np.empty(len(values), dtype=object)
        classes[:] = values
        check_class_order(classes)
        return classes
    # Labels are numbers, booleans, str or bytes; a str type no wider than the longest label or
    # MAX_LABEL_WIDTH characters (labels given as a wide fixed-width array keep its width).
    longest = max([MAX_LABEL_WIDTH] + [len(str(c)) for c in values])
    if dtype.kind not in "biufUS" or (dtype.kind == "U" and dtype.itemsize > 4 * longest) or (
            dtype.kind == "S" and dtype.itemsize > longest):
        raise ValueError(f"class type {dtype.str!r}")
    if dtype.kind == "S":
        if not all(isinstance(v, str) for v in values):
            raise TypeError("bytes classes are not text")
        values = [v.encode("latin-1") for v in values]
    classes = np.array(values, dtype=dtype)
    if classes.ndim != 1:
        raise ValueError("classes are not a flat list")
    # The type must hold every label as written: "<U1" would cut "spam" to "s", "<f2" round 0.1,
    # "|b1" make 2 True (numpy converts all of them silently).
    for given, held in zip(values, classes.tolist()):
        if type(given) is not type(held) and not (isinstance(given, int) and isinstance(held, (int, float))) \
                or given != held:
            raise ValueError(f"classes_dtype {dtype_text!r} does not hold class {given!r} (it reads back as "
                             f"{held!r})")
    check_class_order(classes)
    return classes


def check_class_order(classes: np.ndarray) -> None:
    """ValueError unless the classes are distinct and in increasing order, as fit makes them (predict's
    answers are columns of that order, and labels are found in it by binary search)."""
    values = classes.tolist()
    for before, after in zip(values, values[1:]):
        if not before < after:
            what = "twice" if before == after else f"before {after!r} (not in increasing order)"
            raise ValueError(f"classes: class {before!r} is listed {what}")


def _fitted_attributes(estimator: Any) -> dict[str, Any]:
    """The documented fitted attributes the estimator has, as JSON values (one that is not JSON is
    left out rather than failing the save)."""
    out: dict[str, Any] = {}
    for name in KEPT_ATTRIBUTES:
        if name not in estimator.__dict__:
            continue
        try:
            out[name] = json.loads(json.dumps(estimator.__dict__[name], default=plain, allow_nan=True))
        except (TypeError, ValueError):
            continue
    return out


def describe(estimator: Any, model: Model) -> dict[str, Any]:
    manifest = {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "params": json_params(estimator.get_params()),
        "features": model.kind,
        "buckets": model.buckets,
        "vocabulary_size": len(model.vocabulary) if model.vocabulary is not None else 0,
        "sensory_count": model.sensory_count,
        "motor_count": len(model.classes),
        "learner": model.learner,
        "bias_neurons": model.bias_neurons,
        "feature_params": model.feature_params,
        # Informative only: readers do not need it (older version 2 readers ignore it).
        "saved_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "fitted": _fitted_attributes(estimator),
    }
    manifest.update(_classes_entry(model.classes))
    # Optional (folders without them load, with the defaults of Model.softmax_temperature): the
    # compiled model's scale and the softmax temperature fitted on held-out rows.
    for key in ("scale", "temperature"):
        if getattr(model, key) is not None:  # (the same probabilities, see MIN_TEMPERATURE)
            manifest[key] = max(float(getattr(model, key)), MIN_TEMPERATURE)
    if model.thresholds is not None:  # each class's threshold on its potential
        manifest["format_version"] = MULTILABEL_VERSION
        manifest["multilabel"] = {"thresholds": model.thresholds.tolist()}
        if model.label_calibration is not None:
            manifest["multilabel"]["label_calibration"] = model.label_calibration.tolist()
    return manifest


def read_manifest(path: str) -> dict[str, Any]:
    if not os.path.isdir(path):
        if os.path.exists(path):
            raise NotADirectoryError(errno.ENOTDIR, "Not a model folder (a file)", path)
        raise FileNotFoundError(errno.ENOENT, "No such model folder", path)
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
            or not isinstance(manifest["classes_dtype"], str) or manifest["features"] not in ("words", "chars")
            or not isinstance(manifest.get("fitted", {}), dict)):
        raise ModelFolderError(f"{manifest_path}: file names, settings, classes or features are damaged")
    for key in ("buckets", "vocabulary_size", "sensory_count", "motor_count", "bias_neurons"):
        if type(manifest[key]) is not int or not 0 <= manifest[key] < 2**32:
            raise ModelFolderError(f"{manifest_path}: {key} is {manifest[key]!r}, not a count below 2**32")
    for key in ("scale", "temperature"):
        value = positive_or_none(manifest.get(key), f"{manifest_path}: {key}")
        # Both divide the potentials (whole numbers) in the softmax: below MIN_TEMPERATURE every
        # difference of 1 already means certainty, and far below it the quotients overflow to NaN.
        if value is not None and value < MIN_TEMPERATURE:
            raise ModelFolderError(f"{manifest_path}: {key} is {value!r}, below {MIN_TEMPERATURE:g} (it divides "
                                   f"the potentials in predict_proba's softmax)")
    if "multilabel" in manifest:
        entry = manifest["multilabel"]
        if not isinstance(entry, dict):
            raise ModelFolderError(f"{manifest_path}: multilabel is damaged")
        thresholds_or_none(entry.get("thresholds"), manifest["motor_count"], f"{manifest_path}: the thresholds")
        calibration_or_none(entry.get("label_calibration"), manifest["motor_count"],
                            f"{manifest_path}: the label calibration")
    return manifest
