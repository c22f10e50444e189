"""OmbrelClassifier: raw texts in, labels out, on ombrel's integer-neuron field.

How it trains (the recipe of examples/recipe.py, on the native text pipeline):

* Features: "words" are `ombrel.tokenize`'s tokens with English stop words and stemming; "chars"
  are the unstemmed words without stop words plus their character n-grams (1-4 by default), for
  short texts and languages written without spaces. `features="auto"` lets the data choose: it
  trains both on a sample of the training set and keeps the one that scores better on held-out rows.
* Vocabulary: built natively in one tokenizing pass; a token is kept when it occurs in at least
  `min_df` training texts and its 8 most frequent classes hold at least `coverage` of them (a sensory
  neuron has eight synapses). With `buckets > 0` there is no vocabulary: tokens are hashed into that
  many sensory neurons (for streams whose vocabulary is not known in advance).
* Each text presents each distinct token once.
* Training: shuffled once, then `epochs` passes in chunks of `chunk` texts; the texts of a chunk whose
  class does not win by `margin` (one probe neuron per class carries the margin) are then trained
  with `amplify` / `suppress`. Deterministic: the same data and settings give the same model.
"""

from __future__ import annotations

import concurrent.futures
import functools
import inspect
import numbers
import os
import random
import threading
import warnings
import weakref
from typing import Any, Callable, Iterable, Iterator, Sequence, TypeVar

import numpy as np

import ombrel

from . import _learners, _native, fields, linear, progress
from .exceptions import DataConversionWarning, not_fitted

ENGLISH_STOP_WORDS = frozenset(
    """a about above after again against all also am an and any are as at be because been before
    being below between both but by can could did do does doing down during each few for from
    further had has have having he her here hers herself him himself his how i if in into is it
    its itself just me more most my myself no nor not now of off on once only or other our ours
    ourselves out over own same she should so some such than that the their theirs them
    themselves then there these they this those through to too under until up very was we were
    what when where which while who whom why will with would you your yours yourself
    yourselves""".split()
)

FEATURE_KINDS = ("auto", "words", "chars")
LEARNERS = ("auto", "field", "naive_bayes", "sgd", "perceptron")
# The learners that compile a float model into the field.
LINEAR_LEARNERS = ("naive_bayes", "sgd", "perceptron")
# learner="auto" / features="auto" compare their candidates on at most this many training texts
# (80% train, 20% held out; three folds below AUTO_FOLDS_BELOW texts), and on at most this many
# bytes of text, so that the choice costs a bounded share of the fit.
AUTO_SAMPLE_TEXTS = 20000
AUTO_SAMPLE_BYTES = 2_000_000
AUTO_FOLDS_BELOW = 1500
# The choice spends at most about this many times the cost of one fit (estimated from tokenizing the
# sample with the cheapest feature kind): a costlier kind is compared on as many of the sample's
# texts as half of that allows, so a small training set gets a proportionally small search; but on
# at least AUTO_MIN_HELD held-out texts and max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS x classes)
# training texts (a quarter of the sample with three folds).
AUTO_BUDGET_FITS = 3.0
AUTO_MIN_ROWS = 300
AUTO_ROWS_PER_CLASS = 20
AUTO_MIN_HELD = 300
AUTO_MIN_SHARE = 4
AUTO_PROBE_ROWS = 200
# The naive Bayes smoothings learner="auto" (or alpha=None) chooses among, on held-out rows.
AUTO_ALPHAS = (0.1, 0.3, 1.0)
SGD_ALPHA = 1e-4
# What learner="auto" compares. The field's own training is left to an explicit learner="field" or
# to autotune: on held-out rows of every dataset measured it never beat the better of these two,
# and it costs more than both together.
AUTO_LEARNERS = ("naive_bayes", "sgd")
# A float learner holds a dense (token neurons x classes) matrix: in hashing mode, learner="auto"
# considers the float learners only while that matrix stays below this many cells.
MAX_DENSE_CELLS = 1 << 24
# predict works through this many texts at a time (each needs a memoryview of its ids).
PREDICT_BLOCK = 1 << 16
# A float learner's peak memory per (token neuron, class) cell: its float32 weights plus the counts,
# averages and the cut model's refit that exist beside them at some point (measured: 16 bytes).
FLOAT_BYTES_PER_CELL = 16
# learner="auto" leaves out a float learner whose estimated peak memory (tokens x classes x
# FLOAT_BYTES_PER_CELL, the choice's folds running side by side counted) is above this, and the
# field learner, which needs 64 bytes per token whatever the classes, trains instead. A fixed cap
# rather than a share of the free memory, so that the same data and settings choose the same model
# on every machine.
AUTO_FLOAT_MEMORY = 1 << 30
# A sensory neuron's record in the field (and in its weight file).
NEURON_BYTES = 64
# What fit, partial_fit and autotune set (and a model folder keeps), beside the fitted model itself;
# the optional ones exist only when the automatic choice or autotune ran.
FITTED_ATTRIBUTES = ("classes_", "features_", "learner_", "alpha_", "n_features_", "n_features_in_",
                     "selection_scores_", "selection_rows_", "selection_paired_", "feature_scores_",
                     "autotune_report_")


def _as_texts(X: Any) -> list[str]:
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


def _check_texts(texts: list[str]) -> None:
    """Names the first text that is not a str (fit shuffles before the native side would see it,
    and its message must give the caller's index)."""
    if all(isinstance(t, str) for t in texts):
        return
    for i, t in enumerate(texts):
        if not isinstance(t, str):
            name = "None" if t is None else type(t).__name__
            raise TypeError(f"text {i} is {name}, not str")


MIXED_LABELS = "Mix of label input types (string and number)"


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


def _as_labels(y: Any, name: str = "y") -> np.ndarray:
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


def _label_family(labels: np.ndarray) -> str:
    return "string" if labels.dtype.kind in "US" else "number"


def _check_same_family(labels: np.ndarray, classes: np.ndarray) -> None:
    """scikit-learn's refusal to compare str labels with numbers ("Mix of label input types")."""
    if len(labels) and len(classes) and _label_family(labels) != _label_family(classes):
        raise ValueError(MIXED_LABELS)


def _available_memory() -> int | None:
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


def _check_memory(needed: int, what: str, advice: str) -> None:
    """MemoryError before allocating what cannot fit in the memory available now (the engine would
    fail in the middle of the allocation, or the system would start swapping)."""
    available = _available_memory()
    if available is not None and needed > available:
        raise MemoryError(f"{what} needs {needed / 2**30:.2f} GiB of memory, more than the "
                          f"{available / 2**30:.2f} GiB available; {advice}")


def _engine_error(fault: BaseException) -> Exception:
    """The exception an engine fault becomes at ombrel_learn's surface: MemoryError for a failed
    allocation, RuntimeError otherwise (the engine's own fault type derives from BaseException, which
    `except Exception` handlers, servers and thread pools do not expect)."""
    message = str(fault.args[0]) if fault.args else str(fault)
    if "allocate" in message or "capacity overflow" in message or "memory layout" in message:
        return MemoryError(f"the ombrel engine could not allocate memory: {message}")
    return RuntimeError(f"internal fault in the ombrel engine: {message}")


# One lock per classifier serializes its fits (fit, partial_fit, autotune, ...): the last one to
# finish leaves its model. Kept beside the instance rather than in it, so that pickling, clone and
# deepcopy see only the estimator's own state.
_FIT_LOCKS: "weakref.WeakKeyDictionary[Any, threading.RLock]" = weakref.WeakKeyDictionary()
_FIT_LOCKS_GUARD = threading.Lock()

_Method = TypeVar("_Method", bound=Callable[..., Any])


def _fit_lock(estimator: Any) -> threading.RLock:
    with _FIT_LOCKS_GUARD:
        lock = _FIT_LOCKS.get(estimator)
        if lock is None:
            lock = _FIT_LOCKS[estimator] = threading.RLock()
        return lock


def _surface(serialized: bool = False) -> Callable[[_Method], _Method]:
    """Wraps a public method: an engine fault leaves it as a normal exception (`_engine_error`),
    never as a BaseException; `serialized` methods change the fitted state and take the instance's
    fit lock (reentrant: autotune calls fit)."""
    def wrap(method: _Method) -> _Method:
        @functools.wraps(method)
        def call(self: Any, *args: Any, **kwargs: Any) -> Any:
            try:
                if serialized:
                    with _fit_lock(self):
                        return method(self, *args, **kwargs)
                return method(self, *args, **kwargs)
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise
                raise _engine_error(e) from e
        return call  # type: ignore[return-value]
    return wrap


class _Model:
    """The fitted state: features, vocabulary (or buckets), field and classes. Immutable once made,
    so one model can be used from many threads (decision_function, which reads the field's running
    potentials, takes the model's lock).

    learner "field": the field trained itself; sensory ids after the tokens are its margin probes
    (one per class), which prediction leaves out. Any other learner: the field holds a compiled
    linear model, and the ids after the tokens are its bias neurons, which every text carries at
    prediction (`bias_suffix`)."""

    def __init__(self, kind: str, spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None,
                 buckets: int, classes: np.ndarray, field: ombrel.OmbrelField, learner: str = "field",
                 bias_neurons: int = 0):
        self.kind = kind
        self.spec = spec
        self.vocabulary = vocabulary
        self.buckets = buckets
        self.classes = classes
        self.field = field
        self.learner = learner
        self.bias_neurons = bias_neurons
        # The bias neurons' ids, which every text carries at prediction (None: no bias neurons).
        self.bias_suffix = list(range(self.token_neurons, self.token_neurons + bias_neurons)) if bias_neurons else None
        self.lock = threading.Lock()

    @property
    def token_neurons(self) -> int:
        if self.buckets:
            return self.buckets
        assert self.vocabulary is not None  # a model has one or the other
        return len(self.vocabulary)

    @property
    def sensory_count(self) -> int:
        if self.learner == "field":
            return self.token_neurons + len(self.classes)
        return self.token_neurons + self.bias_neurons

    def ids(self, texts: list[str], trailing: Sequence[int] | None = None) -> _native.IdBatch:
        return _native.transform(self.spec, self.vocabulary, self.buckets, texts, trailing)

    def streams(self, texts: list[str]) -> list[memoryview]:
        """One uint32 view per text, as prediction presents it (bias ids appended)."""
        batch = _native.transform(self.spec, self.vocabulary, self.buckets, texts, None, self.bias_suffix)
        if len(texts) == 1:  # one text (a call per text is the common case in serving): all of it
            return [memoryview(batch)]
        return batch.views()

    def predict_indices(self, texts: list[str]) -> list[int]:
        return self.field.predict_batch(self.streams(texts))

    def potentials(self, texts: list[str]) -> np.ndarray:
        """(texts, classes) int64: each text's motor potentials, from a fresh start."""
        streams = self.streams(texts)
        out = np.empty((len(streams), len(self.classes)), dtype=np.int64)
        field = self.field
        with self.lock:
            reset, predict, read = field.reset_potentials, field.predict, field.get_potentials
            for i, stream in enumerate(streams):
                reset()
                predict(stream)
                out[i] = read()
            reset()
        return out


class _Featurized:
    """The ids of the first `rows` training texts under one feature kind, every token kept
    (`tokens`: the vocabulary's tokens by id; None in hashing mode, where ids are buckets)."""

    def __init__(self, kind: str, spec: _native.FeatureSpec, tokens: list[Any] | None, buckets: int, batch: Any,
                 positions: np.ndarray | None = None):
        self.kind = kind
        self.spec = spec
        self.tokens = tokens
        self.buckets = buckets
        self.ids = np.frombuffer(batch, dtype=np.uint32) if len(memoryview(batch)) else np.zeros(0, np.uint32)
        self.offsets = np.frombuffer(batch.offsets, dtype=np.uint64).astype(np.int64)
        self.rows = len(self.offsets) - 1
        self.features = buckets if buckets else len(tokens or ())
        self.row_of = np.repeat(np.arange(self.rows), np.diff(self.offsets))
        # The row of the (shuffled) training texts each row of these ids is: sorted; the first
        # `rows` texts unless the choice featurized scattered ones.
        self.positions = np.arange(self.rows) if positions is None else np.asarray(positions, dtype=np.int64)

    def head(self, rows: int) -> "_Featurized":
        """The first `rows` texts (their ids are those a vocabulary of all the rows gave)."""
        part = object.__new__(_Featurized)
        part.__dict__.update(self.__dict__)
        end = int(self.offsets[rows])
        part.ids, part.offsets, part.row_of, part.rows = self.ids[:end], self.offsets[:rows + 1], self.row_of[:end], rows
        part.positions = self.positions[:rows]
        return part

    def kept(self, rows: np.ndarray, labels: np.ndarray, k: int, min_df: int, coverage: float) -> np.ndarray:
        """Which tokens a vocabulary built on these rows keeps: those in at least min_df of them
        whose 8 most frequent classes hold at least `coverage` of those texts. Every token in
        hashing mode."""
        if self.buckets:
            return np.ones(self.features, dtype=bool)
        selected = np.zeros(self.rows, dtype=bool)
        selected[rows] = True
        on = selected[self.row_of]
        df = np.bincount(self.ids[on], minlength=self.features)
        keep = df >= max(1, min_df)
        if coverage > 0 and k > 8:
            row_class = np.zeros(self.rows, dtype=np.int64)
            row_class[rows] = labels
            per_class = np.bincount(self.ids[on].astype(np.int64) * k + row_class[self.row_of[on]],
                                    minlength=self.features * k).reshape(self.features, k)
            top = np.sort(per_class, axis=1)[:, -8:].sum(axis=1)
            keep &= top >= coverage * df
        return keep

    def subset(self, rows: np.ndarray, keep: np.ndarray) -> tuple[tuple[np.ndarray, np.ndarray], int]:
        """((tokens, offsets) of these rows with the kept tokens renumbered in order, feature count)."""
        if self.buckets:
            number = None
        else:
            number = np.cumsum(keep, dtype=np.int64) - 1
        if len(rows) and int(rows[-1]) - int(rows[0]) + 1 == len(rows):  # a run of rows: a slice
            first, end = int(self.offsets[rows[0]]), int(self.offsets[rows[-1] + 1])
            ids, row = self.ids[first:end], self.row_of[first:end] - int(rows[0])
        else:
            starts, ends = self.offsets[rows], self.offsets[rows + 1]
            lengths = ends - starts
            index = np.repeat(starts - np.concatenate(([0], np.cumsum(lengths)[:-1])), lengths) + np.arange(int(lengths.sum()))
            ids = self.ids[index]
            row = np.repeat(np.arange(len(rows)), lengths)
        if number is not None:
            on = keep[ids]
            ids, row = number[ids[on]], row[on]
        offsets = np.zeros(len(rows) + 1, dtype=np.uint64)
        np.cumsum(np.bincount(row, minlength=len(rows)), out=offsets[1:])
        return (np.ascontiguousarray(ids, dtype=np.uint32), offsets), (self.features if number is None else int(keep.sum()))


class OmbrelClassifier:
    """A text classifier in the scikit-learn style: `fit(X, y)`, `predict(X)`, `score(X, y)`,
    `partial_fit(X, y, classes=...)`, `save(path)` / `OmbrelClassifier.load(path)`.

    X is any sequence of str (list, tuple, numpy array of str, pandas Series); y any labels (str or
    int). scikit-learn is not needed; when it is installed, `clone`, `Pipeline`,
    `cross_val_score` and `GridSearchCV` work with this class.

    Parameters
    ----------
    features : "auto", "words" or "chars" (see the module docstring).
    ngram_range : (min, max) lengths in characters of the n-grams of "chars".
    stop_words : "english", None, or a collection of str; for "words".
    stem : apply the tokenizer's suffix stemmer; for "words".
    min_length : minimum token length in UTF-8 bytes; for "words".
    buckets : 0 for a vocabulary built from the training texts, or the number of hash buckets.
    epochs, amplify, suppress, margin, chunk : the training recipe.
    learner : "auto" (chosen on held-out training rows, see below), "field" (the field's own
        margin training: epochs, amplify, suppress, margin, chunk), or a float learner compiled into
        the field: "naive_bayes" (multinomial, smoothing alpha), "sgd" (loss, alpha, epochs) or
        "perceptron" (averaged, epochs). With more than 8 classes a float model is trained a little
        further in the field's form (8 classes per token) before it is compiled.
    alpha : the naive Bayes smoothing (None: chosen among 0.1, 0.3, 1 on held-out rows) or the SGD
        L2 penalty (None: 1e-4).
    loss : the SGD loss, "log_loss", "hinge" or "modified_huber".
    min_df, coverage : vocabulary pruning (coverage None: 0.9 for the field learner, whose tokens
        hold 8 classes, and 0 for the float learners, whose cut to 8 happens when compiling).

    learner="auto" fits, on a sample of the training texts split into a training and a held-out
    part, naive Bayes (each alpha) and SGD with the log loss on each feature kind that `features`
    allows, keeps the best on the held-out part (ties go to the earlier candidate: naive Bayes
    before SGD), and refits it on everything. Word features, which predict several times faster,
    are kept unless chars do significantly better (see `prefer_cheaper`). `selection_scores_` holds what it measured.
    random_state : seed of the shuffle and of the "auto" sample.
    verbose : progress bars on standard error (only when it is a terminal).
    """

    _estimator_type = "classifier"

    def __init__(self, *, features: str = "auto", ngram_range: tuple[int, int] = (1, 4),
                 stop_words: str | Iterable[str] | None = "english", stem: bool = True,
                 min_length: int = 2, buckets: int = 0, epochs: int = 4, amplify: int = 10,
                 suppress: int = 1, margin: int = 300, chunk: int = 32, min_df: int = 2,
                 coverage: float | None = None, learner: str = "auto", alpha: float | None = None,
                 loss: str = "log_loss", random_state: int | None = 0, verbose: bool = False):
        self.features = features
        self.ngram_range = ngram_range
        self.stop_words = stop_words
        self.stem = stem
        self.min_length = min_length
        self.buckets = buckets
        self.epochs = epochs
        self.amplify = amplify
        self.suppress = suppress
        self.margin = margin
        self.chunk = chunk
        self.min_df = min_df
        self.coverage = coverage
        self.learner = learner
        self.alpha = alpha
        self.loss = loss
        self.random_state = random_state
        self.verbose = verbose

    # -- parameters (scikit-learn's protocol, without needing scikit-learn) --------------------

    @classmethod
    def _param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return [p.name for p in signature.parameters.values() if p.kind == p.KEYWORD_ONLY]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> "OmbrelClassifier":
        valid = set(self._param_names())
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"Invalid parameter {name!r} for estimator {type(self).__name__}. "
                                 f"Valid parameters are: {sorted(valid)!r}.")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        changed = [f"{k}={v!r}" for k, v in self.get_params().items() if v != defaults.get(k)]
        return f"{type(self).__name__}({', '.join(changed)})"

    def __sklearn_tags__(self):  # called by scikit-learn only, so it is importable here
        from sklearn.utils import ClassifierTags, InputTags, Tags, TargetTags
        return Tags(estimator_type="classifier", target_tags=TargetTags(required=True),
                    classifier_tags=ClassifierTags(),
                    input_tags=InputTags(one_d_array=True, two_d_array=False, string=True))

    # -- settings checks -------------------------------------------------------------------------

    def _check_settings(self) -> None:
        if self.features not in FEATURE_KINDS:
            raise ValueError(f"features must be one of {FEATURE_KINDS}, got {self.features!r}")
        lo, hi = self.ngram_range
        if not (1 <= lo <= hi <= 16):
            raise ValueError(f"ngram_range must satisfy 1 <= min <= max <= 16, got {self.ngram_range!r}")
        for name in ("epochs", "chunk", "min_df"):
            if int(getattr(self, name)) < 1:
                raise ValueError(f"{name} must be at least 1, got {getattr(self, name)!r}")
        for name in ("buckets", "margin", "min_length"):
            if int(getattr(self, name)) < 0:
                raise ValueError(f"{name} must not be negative, got {getattr(self, name)!r}")
        if not (-32768 <= int(self.amplify) <= 32767 and -32768 <= int(self.suppress) <= 32767):
            raise ValueError("amplify and suppress must fit in 16 bits")
        if self.coverage is not None and not 0.0 <= float(self.coverage) <= 1.0:
            raise ValueError(f"coverage must be between 0 and 1, got {self.coverage!r}")
        if self.learner not in LEARNERS:
            raise ValueError(f"learner must be one of {LEARNERS}, got {self.learner!r}")
        if self.alpha is not None and not float(self.alpha) > 0:
            raise ValueError(f"alpha must be positive, got {self.alpha!r}")
        if self.loss not in linear.LOSSES:
            raise ValueError(f"loss must be one of {linear.LOSSES}, got {self.loss!r}")

    def _stop_word_set(self) -> frozenset[str]:
        if self.stop_words is None:
            return frozenset()
        if isinstance(self.stop_words, str):
            if self.stop_words != "english":
                raise ValueError(f"stop_words must be 'english', None or a collection of str, got {self.stop_words!r}")
            return ENGLISH_STOP_WORDS
        return frozenset(self.stop_words)

    def _spec(self, kind: str) -> _native.FeatureSpec:
        if kind == "words":
            return _native.FeatureSpec(self._stop_word_set(), bool(self.stem), int(self.min_length))
        lo, hi = self.ngram_range
        return _native.FeatureSpec(None, False, 1, True, int(lo), int(hi))

    # -- fitting ---------------------------------------------------------------------------------

    def _prepare(self, X: Any, y: Any) -> tuple[list[str], np.ndarray]:
        self._check_settings()
        texts = _as_texts(X)
        labels = _as_labels(y)
        if len(texts) != len(labels):
            raise ValueError(f"X and y have different lengths: {len(texts)} texts, {len(labels)} labels")
        if len(texts) == 0:
            raise ValueError("cannot fit on an empty training set (0 texts)")
        _check_texts(texts)
        return texts, labels

    @_surface(serialized=True)
    def fit(self, X: Any, y: Any) -> "OmbrelClassifier":
        """Learns from texts X with labels y. Returns self."""
        texts, labels = self._prepare(X, y)
        classes, y_index = np.unique(labels, return_inverse=True)
        if len(classes) < 2:
            raise ValueError(f"fit needs at least two classes; y holds only {classes.tolist()!r}")
        order = list(range(len(texts)))
        random.Random(self.random_state).shuffle(order)
        texts = [texts[i] for i in order]
        y_list = y_index[order].tolist()
        for name in ("feature_scores_", "selection_scores_", "selection_rows_", "selection_paired_",
                     "autotune_report_", "_stream_counts"):
            self.__dict__.pop(name, None)
        kind, learner, alpha = self.features, self.learner, self.alpha
        self._features_cache: dict[str, _Featurized] = {}
        try:
            if kind == "auto" or learner == "auto" or (learner == "naive_bayes" and alpha is None):
                with _progress(self.verbose, "choosing features and learner"):
                    kind, learner, alpha = self._choose(texts, y_list, len(classes))
            cached = self._features_cache.get(kind)
            if learner != "field" and cached is not None and cached.rows == len(texts):
                model = self._train_linear_cached(cached, y_list, classes, learner, alpha)
            else:
                model = self._train_new(kind, texts, y_list, classes, int(self.epochs), learner, alpha)
        finally:
            self.__dict__.pop("_features_cache", None)
        self._set_model(model)
        self.alpha_ = alpha
        return self

    def _coverage(self, learner: str) -> float:
        if self.coverage is not None:
            return float(self.coverage)
        return 0.9 if learner == "field" else 0.0

    def _train_new(self, kind: str, texts: list[str], y: list[int], classes: np.ndarray,
                   epochs: int, learner: str = "field", alpha: float | None = None) -> _Model:
        if learner != "field":
            return self._train_linear(kind, texts, y, classes, learner, alpha)
        spec = self._spec(kind)
        k = len(classes)
        vocabulary: _native.Vocabulary | None = None
        with _progress(self.verbose, "featurizing"):
            if self.buckets:
                buckets = int(self.buckets)
                documents = _native.transform(spec, None, buckets, texts, [buckets + c for c in y])
            else:
                buckets = 0
                vocabulary, documents, _ = _native.build_vocabulary(
                    spec, texts, y, k, int(self.min_df), self._coverage("field"), 8, True)
        model = _Model(kind, spec, vocabulary, buckets, classes, self._new_field(
            buckets or len(vocabulary or ()), k))
        self._train_passes(model, documents, y, epochs)
        return model

    def _token_ids(self, kind: str, texts: list[str], y: list[int], k: int, learner: str
                   ) -> tuple[_native.FeatureSpec, _native.Vocabulary | None, int, _native.IdBatch]:
        """The features of a float learner: (spec, vocabulary, buckets, ids of the texts)."""
        spec = self._spec(kind)
        if self.buckets:
            return spec, None, int(self.buckets), _native.transform(spec, None, int(self.buckets), texts)
        vocabulary, documents, _ = _native.build_vocabulary(
            spec, texts, y, k, int(self.min_df), self._coverage(learner), 8, False)
        return spec, vocabulary, 0, documents

    def _fit_float(self, learner: str, alpha: float | None, documents: Any, y: Any, features: int,
                   k: int, *, epochs: int | None = None, seed: int | None = None,
                   initial: linear.LinearModel | None = None, first_step: int = 0) -> linear.LinearModel:
        _check_memory(features * k * FLOAT_BYTES_PER_CELL, f"learner {learner!r} on {features:,} token neurons "
                      f"x {k:,} classes", "use learner='field', or fewer tokens (min_df, buckets)")
        if learner == "naive_bayes":
            return linear.fit_naive_bayes(documents, y, features, k, alpha=1.0 if alpha is None else float(alpha))
        seed = self.random_state if seed is None else seed
        epochs = int(self.epochs) if epochs is None else epochs
        if learner == "sgd":
            return linear.fit_sgd(documents, y, features, k, loss=self.loss,
                                  alpha=SGD_ALPHA if alpha is None else float(alpha),
                                  epochs=epochs, random_state=seed, initial=initial, first_step=first_step)
        return linear.fit_perceptron(documents, y, features, k, epochs=epochs, random_state=seed, initial=initial)

    def _train_linear(self, kind: str, texts: list[str], y: list[int], classes: np.ndarray, learner: str,
                      alpha: float | None) -> _Model:
        k = len(classes)
        with _progress(self.verbose, "featurizing"):
            spec, vocabulary, buckets, documents = self._token_ids(kind, texts, y, k, learner)
        features = buckets or len(vocabulary or ())
        labels = np.asarray(y, dtype=np.uint32)
        with _progress(self.verbose, "training"):
            model = self._fit_float(learner, alpha, documents, labels, features, k)
            if k > linear.FIELD_SLOTS:
                model = linear.refit_cut(model, documents, labels, random_state=self.random_state)
            return _compiled_model(kind, spec, vocabulary, buckets, classes, model, learner)

    def _train_linear_cached(self, cached: "_Featurized", y: list[int], classes: np.ndarray, learner: str,
                             alpha: float | None) -> _Model:
        """_train_linear from the ids the choice already made of every training text: the same
        vocabulary (the tokens kept by the same rule, in the same order) and the same model, without
        tokenizing the texts again."""
        k = len(classes)
        labels = np.asarray(y, dtype=np.uint32)
        rows = np.arange(cached.rows)
        with _progress(self.verbose, "training"):
            keep = cached.kept(rows, labels, k, int(self.min_df), self._coverage(learner))
            documents, features = cached.subset(rows, keep)
            vocabulary = None
            if not cached.buckets:
                assert cached.tokens is not None
                vocabulary = _native.Vocabulary.from_tokens([cached.tokens[i] for i in np.flatnonzero(keep).tolist()])
            model = self._fit_float(learner, alpha, documents, labels, features, k)
            if k > linear.FIELD_SLOTS:
                model = linear.refit_cut(model, documents, labels, random_state=self.random_state)
            return _compiled_model(cached.kind, cached.spec, vocabulary, cached.buckets, classes, model, learner)

    # -- naive Bayes from counts made elsewhere (a distributed fit) --------------------------------

    def _check_counting(self, work: str = "counting") -> str:
        self._check_settings()
        if not self.buckets:
            raise ValueError(f"{work} in parts needs buckets > 0: a vocabulary built on one part "
                             "would not number the tokens of another alike")
        if self.features == "auto":
            raise ValueError(f"{work} in parts needs features='words' or 'chars' (no part sees all "
                             "the texts to choose on)")
        return str(self.features)

    @staticmethod
    def _part(X: Any, y: Any, classes: Any) -> tuple[list[str], np.ndarray, np.ndarray]:
        """(texts, class index of each, all classes) of one part of a training set."""
        texts = _as_texts(X)
        _check_texts(texts)
        labels = _as_labels(y)
        all_classes = np.unique(_as_labels(classes))
        if len(texts) != len(labels):
            raise ValueError(f"X and y have different lengths: {len(texts)} texts, {len(labels)} labels")
        index = np.clip(np.searchsorted(all_classes, labels), 0, max(0, len(all_classes) - 1))
        if len(labels) and (all_classes[index] != labels).any():
            raise ValueError("y holds labels not in classes")
        return texts, index.astype(np.uint32), all_classes

    @_surface()
    def count(self, X: Any, y: Any, classes: Any) -> linear.NaiveBayesCounts:
        """The naive Bayes counts of one part of a training set, in hashing mode (buckets > 0, a
        fixed feature kind). Counts of disjoint parts add up (`+`) to those of the whole, and
        `fit_counts` of the sum gives the classifier that fit(learner="naive_bayes") of the whole
        gives, when there are at most 8 classes (above 8, fit also refits the cut model on the
        texts, in their shuffled order, which counts alone cannot)."""
        kind = self._check_counting()
        texts, index, all_classes = self._part(X, y, classes)
        ids = _native.transform(self._spec(kind), None, int(self.buckets), texts)
        return linear.count_naive_bayes(ids, index, int(self.buckets), len(all_classes))

    @_surface(serialized=True)
    def fit_counts(self, counts: linear.NaiveBayesCounts, classes: Any) -> "OmbrelClassifier":
        """Fits naive Bayes (smoothing alpha, 1 when None) from counts made by `count`: compiles
        them into the field. Returns self."""
        kind = self._check_counting()
        all_classes = np.unique(_as_labels(classes))
        k = len(all_classes)
        if len(all_classes) < 2:
            raise ValueError(f"fit_counts needs at least two classes, got {all_classes.tolist()!r}")
        if counts.feature_counts.shape != (int(self.buckets), k):
            raise ValueError(f"counts are {counts.feature_counts.shape}, expected ({self.buckets}, {k})")
        alpha = 1.0 if self.alpha is None else float(self.alpha)
        model = counts.to_model(alpha)
        self._set_model(_compiled_model(kind, self._spec(kind), None, int(self.buckets), all_classes, model,
                                        "naive_bayes"))
        self.alpha_ = alpha
        return self

    # -- float models trained in parts (iterative parameter mixing) --------------------------------

    def _check_mixing(self) -> str:
        kind = self._check_counting("training")
        if self.learner not in ("sgd", "perceptron"):
            raise ValueError(f"training in parts needs learner='sgd' or 'perceptron', not {self.learner!r} "
                             f"(naive Bayes adds up counts: see count)")
        return kind

    @_surface()
    def fit_part(self, X: Any, y: Any, classes: Any, initial: linear.LinearModel | None = None,
                 round: int = 0, cut: bool = False) -> linear.LinearModel:
        """One pass of the float learner ("sgd" or "perceptron") over one part of a training set,
        from `initial` (None: zeros), in hashing mode with a fixed feature kind: the step of a fit by
        iterative parameter mixing. Each round every part trains from the previous round's average
        (`linear.average_models`, weighted by the parts' sizes), and `fit_model` compiles the last.

        The part is shuffled as fit shuffles its texts, and the learner shuffles it again, both with
        the seed random_state + round: the whole training set in its original order, round 0 from
        zeros, is fit's model with epochs=1. cut=True trains `initial` further in the form the field
        holds instead (`linear.refit_cut`, which fit does above 8 classes after its float fit): those
        models keep the classes of the same cut, so their average keeps that form too."""
        kind = self._check_mixing()
        texts, labels, all_classes = self._part(X, y, classes)
        k = len(all_classes)
        seed = None if self.random_state is None else int(self.random_state) + int(round)
        order = list(range(len(texts)))
        random.Random(seed).shuffle(order)
        ids = _native.transform(self._spec(kind), None, int(self.buckets), [texts[i] for i in order])
        labels = labels[order]
        if cut:
            if initial is None:
                raise ValueError("cut=True trains a given model further: pass initial=")
            return linear.refit_cut(initial, ids, labels, random_state=seed)
        # SGD's step size continues from the part's earlier rounds (round passes over its texts)
        # instead of starting over with the largest steps, which would undo much of the average.
        return self._fit_float(self.learner, self.alpha, ids, labels, int(self.buckets), k, epochs=1,
                               seed=seed, initial=initial, first_step=int(round) * len(texts))

    @_surface(serialized=True)
    def fit_model(self, model: linear.LinearModel, classes: Any) -> "OmbrelClassifier":
        """Compiles a float model made elsewhere (rounds of `fit_part`, averaged) into the field, as
        fit does after its float fit. Returns self. Above 8 classes, fit refits the cut model on the
        texts first: a last round of fit_part(cut=True) does that on the parts."""
        kind = self._check_mixing()
        all_classes = np.unique(_as_labels(classes))
        k = len(all_classes)
        if k < 2:
            raise ValueError(f"fit_model needs at least two classes, got {all_classes.tolist()!r}")
        if model.weights.shape != (int(self.buckets), k):
            raise ValueError(f"the model is {model.weights.shape}, expected ({self.buckets}, {k})")
        self._set_model(_compiled_model(kind, self._spec(kind), None, int(self.buckets), all_classes, model,
                                        str(self.learner)))
        self.alpha_ = self.alpha
        return self

    def _new_field(self, token_neurons: int, k: int) -> ombrel.OmbrelField:
        """One sensory neuron per token plus one margin probe per class: the probe of class c is
        id token_neurons + c with the single synapse (c, -margin)."""
        sensory = token_neurons + k
        _check_memory(sensory * NEURON_BYTES, f"a field of {sensory:,} sensory neurons ({token_neurons:,} tokens)",
                      "use fewer buckets" if self.buckets else "raise min_df")
        field = ombrel.OmbrelField(sensory, k)
        self._add_probes(field, token_neurons, k)
        return field

    def _add_probes(self, field: ombrel.OmbrelField, token_neurons: int, k: int) -> None:
        margin = int(self.margin)
        if margin:
            for c in range(k):
                field.train_stream([token_neurons + c], c, -min(margin, 32768), 0)

    def _train_passes(self, model: _Model, documents: _native.IdBatch, y: list[int], epochs: int) -> None:
        """Margin-driven training in chunks. REQUIRES: every text of `documents` ends with its
        class's probe id; the field is not used by other threads meanwhile (its running potentials
        are).

        Each chunk is first checked text by text against the same weights (reset_potentials +
        predict on the text and its class's probe), then its failures are trained one after another
        with train_stream: exactly what predict_batch and train_batch do with one worker, so the
        model is the same whatever the pool's size or timing. With two workers, the batch calls
        were no faster here (20 Newsgroups, 4 passes: 0.07-0.08 s against 0.06-0.09 s): a chunk is
        too small to share, and train_batch's result would depend on timing."""
        # Each text's ids, with its probe last, as slices of one view of the batch, made when they
        # are used: a memoryview per text for the whole training set would cost a few hundred bytes
        # per text at once.
        whole = memoryview(documents)
        offsets = np.frombuffer(documents.offsets, dtype=np.uint64).tolist()
        probe = 1 if int(self.margin) else 0  # without a margin, the probe is not consulted
        field = model.field
        reset, predict, train = field.reset_potentials, field.predict, field.train_stream
        amplify, suppress = int(self.amplify), int(self.suppress)
        n = len(y)
        chunk = max(1, int(self.chunk))
        with _progress(self.verbose, "training", epochs * n, "texts") as bar:
            for _ in range(epochs):
                for start in range(0, n, chunk):
                    end = min(start + chunk, n)
                    failed = []
                    for i in range(start, end):
                        reset()
                        if predict(whole[offsets[i]:offsets[i + 1] - 1 + probe]) != y[i]:
                            failed.append(i)
                    for i in failed:
                        train(whole[offsets[i]:offsets[i + 1] - 1], y[i], amplify, suppress)
                    bar.update(end - start)
        reset()

    def _candidates(self, k: int) -> list[tuple[str, str, float | None]]:
        """(features, learner, alpha) in order of preference (ties go to the earlier one)."""
        kinds = ("words", "chars") if self.features == "auto" else (self.features,)
        if self.learner != "auto":
            learners: tuple[str, ...] = (self.learner,)
        elif self.buckets and int(self.buckets) * k > MAX_DENSE_CELLS:
            learners = ("field",)
        else:
            learners = AUTO_LEARNERS
        out: list[tuple[str, str, float | None]] = []
        for kind in kinds:
            for learner in learners:
                if learner == "naive_bayes" and self.alpha is None:
                    out.extend((kind, learner, a) for a in AUTO_ALPHAS)
                else:
                    out.append((kind, learner, self.alpha))
        return out

    def _sample(self, texts: list[str]) -> int:
        count = 0
        size = 0
        for text in texts[:AUTO_SAMPLE_TEXTS]:
            size += len(text)
            count += 1
            if size > AUTO_SAMPLE_BYTES:
                break
        return count

    def _choose(self, texts: list[str], y: list[int], k: int) -> tuple[str, str, float | None]:
        """The (features, learner, alpha) that score best on held-out rows of a sample of the
        (already shuffled) training texts; the measured accuracies go to selection_scores_.

        Each feature kind tokenizes its rows of the sample once; every fold and every learner works
        on those ids (each fold keeps the tokens its training rows allow, as a vocabulary built on
        them would). The cheapest kind (words) is scored on the whole sample, and the time that took
        sets the budget of the others (AUTO_BUDGET_FITS): a costlier kind is scored on the first
        rows of the sample that its budget allows, and the kinds are compared on the rows they share
        (the same folds, the same held-out texts)."""
        candidates = self._candidates(k)
        if len(candidates) == 1:
            return candidates[0]
        if any(c[1] == "field" for c in candidates):
            return self._choose_on_texts(texts, y, k)
        count = self._sample(texts)
        if count < 10 or len(set(y[:count])) < 2:
            return candidates[0]
        labels = np.asarray(y[:count], dtype=np.uint32)
        sizes = np.cumsum([len(t) for t in texts[:count]])
        total = sum(len(t) for t in texts[count:]) + int(sizes[-1])
        folds = self._folds(count)
        kinds = list(dict.fromkeys(c[0] for c in candidates))
        featurized: dict[str, _Featurized] = {}
        budget = 0.0
        for kind in kinds:
            positions = None
            if featurized:
                probe = min(count, AUTO_PROBE_ROWS)
                ids_per_byte = len(self._featurize(kind, texts[:probe], y[:probe], k).ids) / max(1, int(sizes[probe - 1]))
                positions = self._costlier_rows(sizes, folds, k, 0.5 * budget / max(ids_per_byte, 1e-12))
            if positions is None:
                featurized[kind] = self._featurize(kind, texts[:count], y[:count], k)
            else:
                chosen = positions.tolist()
                featurized[kind] = self._featurize(kind, [texts[i] for i in chosen], [y[i] for i in chosen], k,
                                                   positions)
            if len(featurized) == 1:  # one fit presents every text's ids once: the unit of the budget
                budget = AUTO_BUDGET_FITS * len(featurized[kind].ids) * total / max(1, int(sizes[-1]))
        if self.learner == "auto":
            # The float learners' dense matrices grow with tokens x classes: leave out a kind whose
            # would not fit AUTO_FLOAT_MEMORY, and let the field learner train when none fits.
            parallel = min(len(folds), _native.thread_count())
            lengths = np.diff(sizes, prepend=0)
            too_big = {kind for kind in kinds
                       if float_peak_bytes(featurized[kind], k, total, int(lengths[featurized[kind].positions].sum()),
                                           parallel) > AUTO_FLOAT_MEMORY}
            if too_big:
                candidates = [c for c in candidates if c[0] not in too_big]
                kinds = [kind for kind in kinds if kind not in too_big]
                if not candidates:
                    return ("words" if self.features == "auto" else self.features), "field", None
        cache = self.__dict__.get("_features_cache")
        if cache is not None:
            cache.update(featurized)
        outcome: dict[tuple[str, str, float | None], np.ndarray] = {}
        for kind in kinds:
            mine = [c for c in candidates if c[0] == kind]
            outcome.update(self._score(featurized[kind], mine, labels, k, folds))
        right = {c: v[v >= 0].astype(bool) for c, v in outcome.items()}
        right = {c: v for c, v in right.items() if len(v)}
        if not right:
            return candidates[0]
        scores = {self._name(c): float(v.mean()) for c, v in right.items()}
        self.selection_scores_ = scores
        self.selection_rows_ = {kind: featurized[kind].rows for kind in kinds}
        best_of_kind = {}
        for kind in kinds:
            mine = [c for c in candidates if c[0] == kind and c in right]
            if mine:
                best_of_kind[kind] = max(mine, key=lambda c: int(right[c].sum()))  # the first of equals
        if len(kinds) > 1:
            self.feature_scores_ = {kind: scores[self._name(c)] for kind, c in sorted(best_of_kind.items())}
        finalists = list(best_of_kind.values())
        if len(finalists) == 1:
            return finalists[0]
        # The kinds are compared on the same footing: each finalist trained on the rows they all
        # have, scored on the same held-out texts (a kind scored on more rows is scored again on the
        # shared ones).
        common = np.ones(count, dtype=bool)
        for kind in best_of_kind:
            here = np.zeros(count, dtype=bool)
            here[featurized[kind].positions] = True
            common &= here
        paired_outcome = {}
        for kind, c in best_of_kind.items():
            if featurized[kind].rows == int(common.sum()):
                paired_outcome[c] = outcome[c]
            else:
                paired_outcome[c] = self._score(featurized[kind], [c], labels, k, folds, within=common)[c]
        shared = np.logical_and.reduce([paired_outcome[c] >= 0 for c in finalists])
        if not shared.any():
            return finalists[0]
        paired = {c: paired_outcome[c][shared].astype(bool) for c in finalists}
        self.selection_paired_ = {self._name(c): float(v.mean()) for c, v in paired.items()}
        return prefer_cheaper(finalists, paired, lambda c: c[0])

    @staticmethod
    def _costlier_rows(sizes: np.ndarray, folds: list[np.ndarray], k: int, allowed_bytes: float) -> np.ndarray | None:
        """The rows of the sample (sizes: its texts' cumulative lengths) on which a costlier feature
        kind is scored: about `allowed_bytes` of text, but at least AUTO_MIN_HELD held-out texts and
        max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS * k) training texts. With one held-out fold (its
        first fifth), the first held-out texts and the first training texts after them; with
        three interleaved folds, the first texts. None: every row."""
        count = len(sizes)
        rows = int(np.searchsorted(sizes, allowed_bytes, side="right"))
        least_train = max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS * k)
        if len(folds) == 1:
            held = len(folds[0])
            held_rows = min(held, max(AUTO_MIN_HELD, rows // 5))
            train_rows = min(count - held, max(least_train, rows - held_rows))
            if held_rows == held and train_rows == count - held:
                return None
            return np.concatenate((np.arange(held_rows), np.arange(held, held + train_rows)))
        rows = min(count, max(rows, least_train + least_train // 2, count // AUTO_MIN_SHARE))
        return None if rows == count else np.arange(rows)

    @staticmethod
    def _folds(count: int) -> list[np.ndarray]:
        """The held-out rows of each fold of a sample of `count` texts: three interleaved folds
        below AUTO_FOLDS_BELOW texts, else its first fifth."""
        if count < AUTO_FOLDS_BELOW:
            return [np.arange(fold, count, 3) for fold in range(3)]
        return [np.arange(max(1, count // 5))]

    @staticmethod
    def _name(c: tuple[str, str, float | None]) -> str:
        kind, learner, alpha = c
        return f"{kind}/{learner}" + (f"/alpha={alpha}" if alpha is not None else "")

    def _featurize(self, kind: str, texts: list[str], y: list[int], k: int,
                   positions: np.ndarray | None = None) -> "_Featurized":
        """The ids of texts under every token of theirs (a vocabulary without pruning, or the
        buckets), so that any subset of rows can be pruned as a vocabulary of its own would be.
        positions: the training rows the texts are (default: the first ones)."""
        spec = self._spec(kind)
        if self.buckets:
            batch = _native.transform(spec, None, int(self.buckets), texts)
            return _Featurized(kind, spec, None, int(self.buckets), batch, positions)
        vocabulary, batch, _ = _native.build_vocabulary(spec, texts, y, k, 1, 0.0, 8, False)
        return _Featurized(kind, spec, vocabulary.tokens(), 0, batch, positions)

    def _score(self, data: "_Featurized", candidates: list[tuple[str, str, float | None]], labels: np.ndarray,
               k: int, folds: list[np.ndarray], within: np.ndarray | None = None
               ) -> dict[tuple[str, str, float | None], np.ndarray]:
        """Per candidate, one entry per row of the sample: 1 where its prediction of a held-out row
        was right, 0 where wrong, -1 where not scored (rows data lacks, or outside the mask
        `within`). In each fold a candidate trains on the rows of data (within the mask) that the
        fold does not hold out. The float models are scored as the field will hold them (with more
        than 8 classes, cut to 8 per token and refitted in that form), before rounding; naive Bayes
        counts once per fold for all its alphas."""
        outcome = {c: np.full(len(labels), -1, dtype=np.int8) for c in candidates}
        present = np.zeros(len(labels), dtype=bool)
        present[data.positions] = True
        if within is not None:
            present &= within

        def score_fold(held_all: np.ndarray) -> None:  # writes only its own held-out rows of outcome
            is_held = np.zeros(len(labels), dtype=bool)
            is_held[held_all] = True
            held_positions = np.flatnonzero(present & is_held)
            held = np.searchsorted(data.positions, held_positions)
            train_rows = np.searchsorted(data.positions, np.flatnonzero(present & ~is_held))
            train_y = labels[data.positions[train_rows]]
            if not len(held) or len(np.unique(train_y)) < 2:
                return
            keep = data.kept(train_rows, train_y, k, int(self.min_df), self._coverage(candidates[0][1]))
            documents, features = data.subset(train_rows, keep)
            test_ids, _ = data.subset(held, keep)
            test_y = labels[held_positions]
            for candidate, model in self._float_models(candidates, documents, train_y, features, k):
                outcome[candidate][held_positions] = np.asarray(model.predict(test_ids)) == test_y

        # The learners release the interpreter lock, so folds run side by side on the pool's threads
        # (each fold's models are seeded as they would be alone: the outcome does not depend on it).
        threads = min(len(folds), _native.thread_count())
        if threads > 1:
            with concurrent.futures.ThreadPoolExecutor(threads) as executor:
                for done in [executor.submit(score_fold, held_all) for held_all in folds]:
                    done.result()
        else:
            for held_all in folds:
                score_fold(held_all)
        return outcome

    def _float_models(self, candidates: list[tuple[str, str, float | None]], documents: Any, labels: np.ndarray,
                      features: int, k: int) -> Iterator[tuple[tuple[str, str, float | None], linear.LinearModel]]:
        """Each float candidate with its model of these training ids, as the field will hold it (with
        more than 8 classes, cut to 8 per token and refitted in that form), before rounding; naive
        Bayes counts once for all its alphas."""
        counts = None
        for candidate in candidates:
            _, learner, alpha = candidate
            if learner == "naive_bayes":
                if counts is None:
                    counts = linear.count_naive_bayes(documents, labels, features, k)
                model = counts.to_model(1.0 if alpha is None else float(alpha))
            else:
                model = self._fit_float(learner, alpha, documents, labels, features, k)
            if k > linear.FIELD_SLOTS:
                model = linear.refit_cut(model, documents, labels, random_state=self.random_state)
            yield candidate, model

    def _choose_on_texts(self, texts: list[str], y: list[int], k: int) -> tuple[str, str, float | None]:
        """_choose when the field's own training is among the candidates: each fold tokenizes its
        texts (the field trains on texts, with its margin probes)."""
        candidates = self._candidates(k)
        count = self._sample(texts)
        if count < 10 or len(set(y[:count])) < 2:
            return candidates[0]
        folds = 3 if count < AUTO_FOLDS_BELOW else 1
        correct: dict[tuple[str, str, float | None], list[np.ndarray]] = {c: [] for c in candidates}
        scored = 0
        for fold in range(folds):
            if folds == 1:
                held = range(count - max(1, count // 5), count)
            else:
                held = range(fold, count, folds)
            held_set = set(held)
            train_rows = [i for i in range(count) if i not in held_set]
            train_x = [texts[i] for i in train_rows]
            train_y = [y[i] for i in train_rows]
            test_x = [texts[i] for i in held]
            test_y = np.asarray([y[i] for i in held])
            if len(set(train_y)) < 2:
                continue
            scored += len(test_y)
            for candidate, predicted in self._try(candidates, train_x, train_y, test_x, k):
                correct[candidate].append(np.asarray(predicted) == test_y)
        if not scored:
            return candidates[0]
        right = {c: np.concatenate(v) for c, v in correct.items()}
        hits = {c: int(v.sum()) for c, v in right.items()}
        best: tuple[str, str, float | None] = prefer_cheaper(candidates, right, lambda c: c[0])
        scores = {f"{kind}/{learner}" + (f"/alpha={alpha}" if alpha is not None else ""): hits[(kind, learner, alpha)] / max(1, scored)
                  for kind, learner, alpha in candidates}
        self.selection_scores_ = scores
        kinds = sorted({c[0] for c in candidates})
        if len(kinds) > 1:  # the best score of each feature kind, as features="auto" reported it
            self.feature_scores_ = {kind: max(v for c, v in zip(candidates, scores.values()) if c[0] == kind)
                                    for kind in kinds}
        return best

    def _try(self, candidates: list[tuple[str, str, float | None]], train_x: list[str], train_y: list[int],
             test_x: list[str], k: int) -> Iterator[tuple[tuple[str, str, float | None], np.ndarray]]:
        """Yields each candidate with its predictions (class indices) of test_x. The float models
        are scored as the field will hold them (with more than 8 classes, cut to 8 per token and
        refitted in that form), before rounding; naive Bayes counts once for all its alphas."""
        classes = np.arange(k)
        labels = np.asarray(train_y, dtype=np.uint32)
        for kind in dict.fromkeys(c[0] for c in candidates):
            mine = [c for c in candidates if c[0] == kind]
            floats = [c for c in mine if c[1] != "field"]
            if floats:
                spec, vocabulary, buckets, documents = self._token_ids(kind, train_x, train_y, k, floats[0][1])
                features = buckets or len(vocabulary or ())
                test_ids = _native.transform(spec, vocabulary, buckets, test_x)
                for candidate, model in self._float_models(floats, documents, labels, features, k):
                    yield candidate, model.predict(test_ids)
            for candidate in mine:
                if candidate[1] == "field":
                    field_model = self._train_new(kind, train_x, train_y, classes, int(self.epochs))
                    yield candidate, np.asarray(field_model.predict_indices(test_x))

    def _set_model(self, model: _Model) -> None:
        self._model = model
        self.classes_ = model.classes
        self.features_ = model.kind
        self.learner_ = model.learner
        self.n_features_ = model.token_neurons
        # X is one column of raw texts, as for scikit-learn's text pipelines; the model's own
        # features (its token neurons) are n_features_.
        self.n_features_in_ = 1

    @_surface(serialized=True)
    def partial_fit(self, X: Any, y: Any, classes: Any = None) -> "OmbrelClassifier":
        """One training pass over X, y. The first call must name every class in `classes`.
        features="auto" means "words" here, and the learner is the field's own (learner="auto" or
        "field"): there is no training set to choose on, and the field learns one pass at a time.

        Without buckets, a stream that partial_fit started grows its vocabulary as it goes: a token
        gets its sensory neuron once it has occurred in `min_df` of the stream's texts, counted
        across calls (coverage pruning needs the whole training set, so only fit applies it). A
        model fitted with fit, or loaded from a model folder, keeps its vocabulary: partial_fit
        trains the tokens it has (a served model's feedback trains the mapped folder in place)."""
        texts, labels = self._prepare(X, y)
        model: _Model | None = self.__dict__.get("_model")
        if model is not None and model.learner != "field":
            raise ValueError(f"partial_fit continues models of learner='field'; this one was fitted with "
                             f"learner={model.learner!r} (refit it, or fit with learner='field')")
        if model is None:
            if classes is None:
                raise ValueError("the first call to partial_fit must name every class: classes=[...]")
            all_classes = np.unique(_as_labels(classes, "classes"))
            if len(all_classes) < 2:
                raise ValueError(f"partial_fit needs at least two classes; classes holds {all_classes.tolist()!r}")
        else:
            all_classes = model.classes
            if classes is not None:
                given = np.unique(_as_labels(classes, "classes"))
                _check_same_family(given, all_classes)
                if not np.array_equal(given, all_classes):
                    raise ValueError("classes differ from those of the first partial_fit call")
        _check_same_family(labels, all_classes)
        index = np.searchsorted(all_classes, labels)
        index = np.clip(index, 0, len(all_classes) - 1)
        unseen = all_classes[index] != labels
        if unseen.any():
            raise ValueError(f"y holds labels not in classes: {sorted(set(labels[unseen].tolist()))!r}")
        y_list = index.tolist()
        if model is None:
            if self.learner not in ("auto", "field"):
                raise ValueError(f"partial_fit trains the field's own learner; learner={self.learner!r} "
                                 f"fits with fit()")
            kind = self.features if self.features != "auto" else "words"
            for name in FITTED_ATTRIBUTES:
                self.__dict__.pop(name, None)
            if self.buckets:
                model = self._train_new(kind, texts, y_list, all_classes, 1)
                self._set_model(model)
                self.alpha_ = None
                return self
            # An empty vocabulary that the stream fills (see _grow).
            model = _Model(kind, self._spec(kind), _native.Vocabulary.from_tokens([]), 0, all_classes,
                           self._new_field(0, len(all_classes)))
            self._stream_counts: dict[Any, int] = {}
            self._set_model(model)
            self.alpha_ = None
        if not model.buckets and "_stream_counts" in self.__dict__:
            model = self._grow(model, texts, y_list)
        documents = model.ids(texts, [model.token_neurons + c for c in y_list])
        with model.lock:  # the field's running potentials: decision_function and other threads' calls
            self._train_passes(model, documents, y_list, 1)
        return self

    def _grow(self, model: _Model, texts: list[str], y: list[int]) -> _Model:
        """The stream's model with the tokens of `texts` that now reach min_df texts of the stream
        added to its vocabulary (new ids after the old ones, in a new field that keeps the old
        tokens' records; the margin probes move after them), published before it trains; or
        `model` itself when no token is new. `_stream_counts` counts the texts of each token seen
        but not yet kept."""
        k = len(model.classes)
        local, batch, _ = _native.build_vocabulary(model.spec, texts, y, k, 1, 0.0, 8, False)
        tokens = local.tokens()
        ids = np.frombuffer(batch, dtype=np.uint32) if len(memoryview(batch)) else np.zeros(0, np.uint32)
        df = np.bincount(ids, minlength=len(tokens)).tolist()  # each text presents a token once
        assert model.vocabulary is not None
        find, counts, min_df = model.vocabulary.find, self._stream_counts, max(1, int(self.min_df))
        added = []
        for token, n in zip(tokens, df):
            if find(token) is not None:
                continue
            seen = counts.get(token, 0) + n
            if seen >= min_df:
                added.append(token)
                counts.pop(token, None)
            else:
                counts[token] = seen
        if not added:
            return model
        old = model.token_neurons
        vocabulary = _native.Vocabulary.from_tokens(model.vocabulary.tokens() + added)
        sensory = len(vocabulary) + k
        _check_memory(sensory * NEURON_BYTES, f"a field of {sensory:,} sensory neurons",
                      "use buckets > 0 for this stream")
        records = np.zeros((sensory, NEURON_BYTES // 4), dtype=np.uint32)
        records[:, 0] = np.arange(sensory, dtype=np.uint32)  # each record's own id
        with model.lock:
            records[:old] = np.frombuffer(fields.field_bytes(model.field), dtype=np.uint32).reshape(-1, NEURON_BYTES // 4)[:old]
        field = _mapped_field(records.tobytes(), sensory, k)
        self._add_probes(field, len(vocabulary), k)
        grown = _Model(model.kind, model.spec, vocabulary, 0, model.classes, field)
        self._set_model(grown)
        return grown

    # -- prediction ------------------------------------------------------------------------------

    def _fitted(self) -> _Model:
        model = getattr(self, "_model", None)
        if model is None:
            raise not_fitted(type(self).__name__)
        return model

    @_surface()
    def predict(self, X: Any) -> np.ndarray:
        """The predicted label of each text, as a numpy array of the training labels' type.
        Thread-safe: one fitted classifier may predict from many threads at once."""
        model = self.__dict__.get("_model")
        if model is None:
            raise not_fitted(type(self).__name__)
        texts = X if type(X) is list else _as_texts(X)
        if len(texts) <= PREDICT_BLOCK:
            indices = model.field.predict_batch(model.streams(texts))
            if len(indices) == 1:  # one text: a slice is cheaper than fancy indexing
                i = indices[0]
                return model.classes[i:i + 1].copy()
            return model.classes.take(indices)
        # In blocks, so that the ids and the per-text views of only one block are held at a time.
        parts = [self.predict(texts[start:start + PREDICT_BLOCK]) for start in range(0, len(texts), PREDICT_BLOCK)]
        return np.concatenate(parts)

    @_surface(serialized=True)
    def autotune(self, X: Any, y: Any, budget: float = 30.0) -> "OmbrelClassifier":
        """Searches features, learners and their settings on held-out training rows for at most
        `budget` seconds (the final fit on all of X included), sets the best settings on this
        classifier and fits it. What was tried and chosen is in `autotune_report_`. Returns self.
        See ombrel_learn.autotune."""
        from .autotune import autotune
        autotune(self, X, y, budget)
        return self

    @_surface()
    def decision_function(self, X: Any) -> np.ndarray:
        """Per-class potentials of each text, (n_texts, n_classes), columns in the order of
        classes_; predict is their argmax (the first class on ties). With two classes, as
        scikit-learn's classifiers answer, one score per text, (n_texts,): the potential of
        classes_[1] minus that of classes_[0], so positive means classes_[1] (and 0, a tie,
        classes_[0], as predict answers). float64, as scikit-learn's calibration and metrics expect
        (the potentials are integers, held exactly). The field answers one text at a time here
        (reset, present, read its potentials), a few microseconds per text; calls on one classifier
        from several threads take turns."""
        model = self._fitted()
        texts = X if type(X) is list else _as_texts(X)
        potentials = model.potentials(texts)
        if potentials.shape[1] == 2:
            potentials = potentials[:, 1] - potentials[:, 0]
        return potentials.astype(np.float64)

    @_surface()
    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """Accuracy of predict(X) against y (str labels against a model of number labels, or the
        reverse, raise "Mix of label input types", as scikit-learn's accuracy_score does)."""
        labels = _as_labels(y)
        _check_same_family(labels, self._fitted().classes)
        predicted = self.predict(X)
        if len(predicted) != len(labels):
            raise ValueError(f"X and y have different lengths: {len(predicted)} texts, {len(labels)} labels")
        hits = predicted == labels
        if sample_weight is not None:
            return float(np.average(hits, weights=np.asarray(sample_weight)))
        return float(np.mean(hits)) if len(hits) else 0.0

    # -- persistence -----------------------------------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the model folder `path` (created if needed). See ombrel_learn.model_folder."""
        from . import model_folder
        model_folder.save(self, self._fitted(), os.fspath(path))

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, shared: bool | None = None) -> "OmbrelClassifier":
        """A classifier from a model folder.

        shared=True maps the folder's weights file, writable: processes that load the folder share
        its pages, and training the model (partial_fit) writes the file, seen by every process that
        maps it. shared=False loads a private copy of the weights (read-only media, or training that
        must not reach the folder). None (the default): shared, or a private copy with a UserWarning
        when the weights cannot be mapped for writing (a read-only folder or medium). See
        ombrel_learn.model_folder."""
        from . import model_folder
        return model_folder.load(cls, os.fspath(path), shared=shared)

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        model = state.pop("_model", None)
        if model is not None:
            from . import model_folder
            state["_model_state"] = model_folder.model_state(model)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        model_state = state.pop("_model_state", None)
        self.__dict__.update(state)
        if model_state is not None:
            from . import model_folder
            self._set_model(model_folder.model_from_state(self, model_state))


def float_peak_bytes(data: "_Featurized", classes: int, total_bytes: int, data_bytes: int, parallel: int = 1) -> int:
    """Estimated peak memory of a float learner chosen on `data` (the ids of `data_bytes` bytes of
    the training texts, every token kept) and fitted on all `total_bytes`: the larger of the choice
    (`parallel` folds at once, each at most every token of data) and the final fit, whose tokens
    grow with the text as a vocabulary does (Heaps' law with exponent 0.5 from every token of the
    sample: 1.5 to 2 times the vocabularies of the datasets measured, on the large side),
    FLOAT_BYTES_PER_CELL per token and class."""
    tokens = data.features
    if not data.buckets and data_bytes and total_bytes > data_bytes:
        final_tokens = int(tokens * (total_bytes / data_bytes) ** 0.5)
    else:
        final_tokens = tokens
    cell = classes * FLOAT_BYTES_PER_CELL
    return max(tokens * cell * max(1, parallel), final_tokens * cell)


def prefer_cheaper(candidates: Sequence[Any], right: dict[Any, np.ndarray], kind: Any) -> Any:
    """The candidate to keep, given which held-out texts each got right (the same texts for all).

    Word features predict several times faster than character n-grams (a long text has many more
    n-grams than words), so the best candidate on words is kept unless one on chars does
    significantly better: by more than two standard errors of the paired difference (McNemar's
    test at about 5%: sqrt of the number of texts that exactly one of the two gets right). Within a
    kind, the best score wins, and ties go to the earlier candidate."""
    def top(group: list[Any]) -> Any:
        return max(group, key=lambda c: int(right[c].sum()))  # max keeps the first of equals
    best = top(list(candidates))
    for cheaper in ("words",):
        group = [c for c in candidates if kind(c) == cheaper]
        if not group or kind(best) == cheaper:
            continue
        rival = top(group)
        gain = int(right[best].sum()) - int(right[rival].sum())
        discordant = int(np.count_nonzero(right[best] != right[rival]))
        if gain <= 2.0 * discordant ** 0.5:
            return rival
    return best


def _compiled_model(kind: str, spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None, buckets: int,
                    classes: np.ndarray, model: linear.LinearModel, learner: str) -> _Model:
    compiled = linear.compile_to_field(model)
    field = _mapped_field(compiled.data, compiled.sensory_count, len(classes))
    return _Model(kind, spec, vocabulary, buckets, classes, field, learner, compiled.bias_neurons)


def _mapped_field(data: bytes, sensory_count: int, motor_count: int) -> ombrel.OmbrelField:
    """A field whose records are the weight-file bytes `data`. The field maps a file: the bytes go
    to a memory file of this process (no disk, no TMPDIR), whose pages are freed with the field. The
    field is private: a forked child gets its own copy (see fields.memory_field)."""
    return fields.memory_field(data, sensory_count, motor_count)


def _progress(verbose: bool, description: str, total: float | None = None, unit: str = "") -> progress.Silent:
    """One phase of a fit on standard error (a context manager), shown only when asked for, when
    standard error is a terminal and when no enclosing phase is already on screen (the folds of a
    choice are part of "choosing features and learner", not bars of their own)."""
    return progress.phase(verbose, description, total, unit)
