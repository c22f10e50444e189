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

import inspect
import os
import random
from typing import Any, Iterable, Sequence

import numpy as np

import ombrel

from . import _native
from .exceptions import not_fitted

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
# features="auto" compares the two kinds on at most this many training texts (80% train, 20%
# held out), and on at most this many bytes of text, so the choice costs a fraction of the fit.
AUTO_SAMPLE_TEXTS = 4000
AUTO_SAMPLE_BYTES = 2_000_000
# predict works through this many texts at a time (each needs a memoryview of its ids).
PREDICT_BLOCK = 1 << 16


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


def _as_labels(y: Any) -> np.ndarray:
    if isinstance(y, (str, bytes)):
        raise TypeError("y must be a sequence of labels, not a single string")
    labels = np.asarray(y)
    if labels.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {labels.shape}")
    return labels


class _Model:
    """The fitted state: features, vocabulary (or buckets), field and classes. Immutable once made,
    so one model can be used from many threads."""

    def __init__(self, kind: str, spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None,
                 buckets: int, classes: np.ndarray, field: ombrel.OmbrelField):
        self.kind = kind
        self.spec = spec
        self.vocabulary = vocabulary
        self.buckets = buckets
        self.classes = classes
        self.field = field

    @property
    def token_neurons(self) -> int:
        if self.buckets:
            return self.buckets
        assert self.vocabulary is not None  # a model has one or the other
        return len(self.vocabulary)

    @property
    def sensory_count(self) -> int:
        return self.token_neurons + len(self.classes)

    def ids(self, texts: list[str], trailing: Sequence[int] | None = None) -> _native.IdBatch:
        return _native.transform(self.spec, self.vocabulary, self.buckets, texts, trailing)

    def predict_indices(self, texts: list[str]) -> list[int]:
        return self.field.predict_batch(self.ids(texts).views())


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
    min_df, coverage : vocabulary pruning.
    random_state : seed of the shuffle and of the "auto" sample.
    verbose : progress bars on standard error (only when it is a terminal).
    """

    _estimator_type = "classifier"

    def __init__(self, *, features: str = "auto", ngram_range: tuple[int, int] = (1, 4),
                 stop_words: str | Iterable[str] | None = "english", stem: bool = True,
                 min_length: int = 2, buckets: int = 0, epochs: int = 4, amplify: int = 10,
                 suppress: int = 1, margin: int = 300, chunk: int = 32, min_df: int = 2,
                 coverage: float = 0.9, random_state: int | None = 0, verbose: bool = False):
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
        if not 0.0 <= float(self.coverage) <= 1.0:
            raise ValueError(f"coverage must be between 0 and 1, got {self.coverage!r}")

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
        kind = self.features
        self.__dict__.pop("feature_scores_", None)
        if kind == "auto":
            kind = self._choose_features(texts, y_list, len(classes))
        model = self._train_new(kind, texts, y_list, classes, int(self.epochs))
        self._set_model(model)
        return self

    def _train_new(self, kind: str, texts: list[str], y: list[int], classes: np.ndarray,
                   epochs: int) -> _Model:
        spec = self._spec(kind)
        k = len(classes)
        vocabulary: _native.Vocabulary | None = None
        if self.buckets:
            buckets = int(self.buckets)
            documents = _native.transform(spec, None, buckets, texts, [buckets + c for c in y])
        else:
            buckets = 0
            vocabulary, documents, _ = _native.build_vocabulary(
                spec, texts, y, k, int(self.min_df), float(self.coverage), 8, True)
        model = _Model(kind, spec, vocabulary, buckets, classes, self._new_field(
            buckets or len(vocabulary or ()), k))
        self._train_passes(model, documents, y, epochs)
        return model

    def _new_field(self, token_neurons: int, k: int) -> ombrel.OmbrelField:
        """One sensory neuron per token plus one margin probe per class: the probe of class c is
        id token_neurons + c with the single synapse (c, -margin)."""
        field = ombrel.OmbrelField(token_neurons + k, k)
        margin = int(self.margin)
        if margin:
            for c in range(k):
                field.train_stream([token_neurons + c], c, -min(margin, 32768), 0)
        return field

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
        bar = _progress(self.verbose, epochs * n, "training", "texts")
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
                if bar is not None:
                    bar.update(end - start)
        reset()
        if bar is not None:
            bar.close()

    def _choose_features(self, texts: list[str], y: list[int], k: int) -> str:
        """"words" or "chars", whichever scores better on held-out training rows, trained on a
        sample (texts are already shuffled)."""
        count = 0
        size = 0
        for text in texts[:AUTO_SAMPLE_TEXTS]:
            size += len(text)
            count += 1
            if size > AUTO_SAMPLE_BYTES:
                break
        held = max(1, count // 5)
        if count - held < 2 or len(set(y[:count - held])) < 2:
            return "words"
        train_x, train_y = texts[:count - held], y[:count - held]
        test_x, test_y = texts[count - held:count], np.asarray(y[count - held:count])
        scores = {}
        classes = np.arange(k)
        for kind in ("words", "chars"):
            model = self._train_new(kind, train_x, train_y, classes, int(self.epochs))
            scores[kind] = float(np.mean(np.asarray(model.predict_indices(test_x)) == test_y))
        self.feature_scores_ = scores
        return "chars" if scores["chars"] > scores["words"] else "words"

    def _set_model(self, model: _Model) -> None:
        self._model = model
        self.classes_ = model.classes
        self.features_ = model.kind
        self.n_features_ = model.token_neurons

    def partial_fit(self, X: Any, y: Any, classes: Any = None) -> "OmbrelClassifier":
        """One training pass over X, y. The first call must name every class in `classes`; with
        buckets == 0 it also builds the vocabulary from its texts (tokens first seen later are not
        learnt: use buckets > 0 for streams with an open vocabulary). features="auto" means "words"
        here: there is no training set to choose on."""
        texts, labels = self._prepare(X, y)
        model: _Model | None = getattr(self, "_model", None)
        if model is None:
            if classes is None:
                raise ValueError("the first call to partial_fit must name every class: classes=[...]")
            all_classes = np.unique(_as_labels(classes))
            if len(all_classes) < 2:
                raise ValueError(f"partial_fit needs at least two classes; classes holds {all_classes.tolist()!r}")
        else:
            all_classes = model.classes
            if classes is not None and not np.array_equal(np.unique(_as_labels(classes)), all_classes):
                raise ValueError("classes differ from those of the first partial_fit call")
        index = np.searchsorted(all_classes, labels)
        index = np.clip(index, 0, len(all_classes) - 1)
        unseen = all_classes[index] != labels
        if unseen.any():
            raise ValueError(f"y holds labels not in classes: {sorted(set(labels[unseen].tolist()))!r}")
        y_list = index.tolist()
        if model is None:
            kind = self.features if self.features != "auto" else "words"
            model = self._train_new(kind, texts, y_list, all_classes, 1)
            self._set_model(model)
            return self
        documents = model.ids(texts, [model.token_neurons + c for c in y_list])
        self._train_passes(model, documents, y_list, 1)
        return self

    # -- prediction ------------------------------------------------------------------------------

    def _fitted(self) -> _Model:
        model = getattr(self, "_model", None)
        if model is None:
            raise not_fitted(type(self).__name__)
        return model

    def predict(self, X: Any) -> np.ndarray:
        """The predicted label of each text, as a numpy array of the training labels' type.
        Thread-safe: one fitted classifier may predict from many threads at once."""
        model = self.__dict__.get("_model")
        if model is None:
            raise not_fitted(type(self).__name__)
        texts = X if type(X) is list else _as_texts(X)
        if len(texts) <= PREDICT_BLOCK:
            indices = model.field.predict_batch(
                _native.transform(model.spec, model.vocabulary, model.buckets, texts).views())
            if len(indices) == 1:  # one text: a slice is cheaper than fancy indexing
                i = indices[0]
                return model.classes[i:i + 1].copy()
            return model.classes.take(indices)
        # In blocks, so that the ids and the per-text views of only one block are held at a time.
        parts = [self.predict(texts[start:start + PREDICT_BLOCK]) for start in range(0, len(texts), PREDICT_BLOCK)]
        return np.concatenate(parts)

    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """Accuracy of predict(X) against y."""
        labels = _as_labels(y)
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
    def load(cls, path: str | os.PathLike[str]) -> "OmbrelClassifier":
        """A classifier from a model folder; its weights are mapped, not copied."""
        from . import model_folder
        return model_folder.load(cls, os.fspath(path))

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


def _progress(verbose: bool, total: int, description: str, unit: str):
    """A tqdm bar on standard error, only when asked for and when standard error is a terminal."""
    import sys
    if not verbose or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=description, unit=unit, leave=False, file=sys.stderr)
