"""Checks of what callers hand in (texts, labels, classes) and of the memory a step is about to take,
shared by the estimator, the automatic choices and training in parts: one message per mistake,
as scikit-learn words it where it has one."""

from __future__ import annotations

import numbers
import os
import re
import warnings
from typing import Any, Sequence

import numpy as np

from .exceptions import DataConversionWarning

MIXED_LABELS = "Mix of label input types (string and number)"


def as_texts(X: Any) -> list[str]:
    """Any sequence of str as a list (elements are checked natively, which names the bad index)."""
    if isinstance(X, (str, bytes)):
        raise TypeError(f"X must be a sequence of str (one per text), not a single {type(X).__name__}")
    if isinstance(X, list):
        return X
    if isinstance(X, np.ndarray):
        if X.ndim != 1:
            raise ValueError(f"X must be one-dimensional (one text per element), got shape {X.shape}")
        return X.tolist()
    try:
        return list(X)
    except TypeError:
        raise TypeError(f"X must be a sequence of str, not {type(X).__name__}") from None


def check_texts(texts: list[str]) -> None:
    """Names the first text that is not a str (fit shuffles before the native side would see it,
    and its message must give the caller's index)."""
    if all(isinstance(t, str) for t in texts):
        return
    for i, t in enumerate(texts):
        if not isinstance(t, str):
            name = "None" if t is None else type(t).__name__
            raise TypeError(f"text {i} is {name}, not str")


def as_sample_weight(sample_weight: Any, order: Sequence[int], purpose: str = "nothing to learn from"
                     ) -> np.ndarray | None:
    """fit's (and score's) sample_weight as float32, one finite weight of at least 0 per text, not
    all 0 (`purpose` says why), taken in `order` (the texts' shuffled order)."""
    count = len(order)
    if sample_weight is None:
        return None
    try:
        weights = np.asarray(sample_weight, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("sample_weight must be numbers, one per text") from None
    if weights.shape != (count,):
        raise ValueError(f"sample_weight must hold one weight per text ({count}), got shape {weights.shape}")
    with np.errstate(over="ignore"):
        weights = weights.astype(np.float32)  # what the learners read: 1e39 is no longer finite there
    if not np.isfinite(weights).all() or (weights < 0).any():
        raise ValueError("sample_weight must be finite numbers of at least 0 (and below 3.4e38)")
    if not weights.any():
        raise ValueError(f"sample_weight is 0 for every text: {purpose}")
    return weights[np.asarray(order, dtype=np.intp)]


def check_lengths(texts: list[str], labels: np.ndarray) -> None:
    if len(texts) != len(labels):
        raise ValueError(f"X and y have different lengths: {len(texts)} texts, {len(labels)} labels")


def _missing(value: Any) -> bool:
    """None, a float NaN (numpy's included) or pandas' NA / NaT."""
    if value is None:
        return True
    if isinstance(value, (float, np.floating)):
        return bool(value != value)
    return type(value).__name__ in ("NAType", "NaTType")


def _object_labels(labels: np.ndarray, name: str) -> np.ndarray:
    """Labels of object dtype (a pandas Series, a list mixing types) as a numpy array of str or of
    numbers, as scikit-learn's rules allow: no missing label, not a mix of str and numbers."""
    values = labels.tolist()
    if all(type(v) is str for v in values):
        return np.array(values, dtype=str)
    strings = numbers_seen = False
    for i, v in enumerate(values):
        if _missing(v):
            raise ValueError(f"Input {name} contains NaN: label {i} is {v!r} (a missing label)")
        if isinstance(v, str):
            strings = True
        elif isinstance(v, (numbers.Number, np.bool_)):
            numbers_seen = True
        else:
            raise TypeError(f"label {i} of {name} is {type(v).__name__}; labels are str or numbers")
    if strings and numbers_seen:
        raise ValueError(MIXED_LABELS)
    return np.array(values, dtype=str) if strings else np.array(values)


def as_labels(y: Any, name: str = "y") -> np.ndarray:
    """y as a one-dimensional numpy array of str ('U'), integers, floats or booleans. Refused as
    scikit-learn refuses them: missing labels (NaN, None), infinities, a mix of str and numbers; a
    column vector is raveled with a DataConversionWarning."""
    if isinstance(y, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of labels, not a single string")
    # A list is read element by element: numpy would turn ["a", nan] or ["a", 1] into str silently.
    labels: np.ndarray = np.asarray(y, dtype=object) if isinstance(y, (list, tuple)) else np.asarray(y)
    if labels.ndim == 2 and labels.shape[1] == 1:
        warnings.warn(f"A column-vector {name} was passed when a 1d array was expected. Please change the "
                      f"shape of {name} to (n_samples,), for example using ravel().",
                      DataConversionWarning, stacklevel=3)
        labels = labels.ravel()
    if labels.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {labels.shape}")
    if labels.dtype.kind == "O":
        labels = _object_labels(labels, name)
    kind = labels.dtype.kind
    if kind in "fc":
        bad = ~np.isfinite(labels)
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            what = "NaN" if np.isnan(labels[i]) else "infinity"
            raise ValueError(f"Input {name} contains {what}: label {i} is {labels[i]!r}")
    elif kind not in "biuUS":
        raise TypeError(f"{name} must hold str or number labels, not {labels.dtype}")
    return labels


# What a label may not hold: a TAB or a line break (str.splitlines's, "\n" and "\r" among them). A
# label is one field of one line wherever it is written as text: `label<TAB>text` files, the command
# line's answers (one label a line, TAB between ranked labels), the reports' TSV files.
_NOT_IN_LABELS = re.compile("[\t\n\v\f\r\x1c\x1d\x1e\x85\u2028\u2029]")


def check_label_text(classes: np.ndarray, name: str = "y") -> None:
    """Refuses str labels holding a TAB or a line break, naming the first (`classes`: the distinct
    labels, so that a large y is searched once per class).

    Refused at fit rather than escaped on output: a model's labels are written as text by every
    interface but the Python API (the command line's answers, its report files, labelled training
    files), none of which could carry them without a quoting rule its readers would have to know,
    and a model that trains on them would break later, far from the cause, in another program."""
    if classes.dtype.kind not in "OU":
        return
    for label in classes.tolist():
        if isinstance(label, str) and _NOT_IN_LABELS.search(label):
            raise ValueError(f"label {label[:60]!r} of {name} holds a TAB or a line break: a label is written as "
                             f"one field of one line (the command line's answers, label<TAB>text files); "
                             f"replace those characters, e.g. with spaces")


def _label_family(labels: np.ndarray) -> str:
    return "string" if labels.dtype.kind in "US" else "number"


def check_same_family(labels: np.ndarray, classes: np.ndarray) -> None:
    """scikit-learn's refusal to compare str labels with numbers ("Mix of label input types")."""
    if len(labels) and len(classes) and _label_family(labels) != _label_family(classes):
        raise ValueError(MIXED_LABELS)


def available_memory() -> int | None:
    """Bytes of memory the system can give without swapping (MemAvailable), None if unknown."""
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return int(os.sysconf("SC_AVPHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, ValueError, OSError):
        return None


def check_memory(needed: int, what: str, advice: str) -> None:
    """MemoryError before allocating what cannot fit in the memory available now (the engine would
    fail in the middle of the allocation, or the system would start swapping)."""
    available = available_memory()
    if available is not None and needed > available:
        raise MemoryError(f"{what} needs {needed / 2**30:.2f} GiB of memory, more than the "
                          f"{available / 2**30:.2f} GiB available; {advice}")
