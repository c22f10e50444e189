"""Linear models learned in floating point on token ids, and their compilation into a field.

The field holds any sparse linear model, not only one it trained itself. These learners fit on the
token ids of the text pipeline (an `IdBatch`, or a pair of flat uint32 ids and uint64 offsets),
natively and with the interpreter lock released:

* `fit_naive_bayes`: multinomial naive Bayes. Its counts (`count_naive_bayes`) add up across
  partitions of a training set, so a distributed fit counts where the data lies, sums the counts
  with `+` and makes the model from the sum: the same model as one fit on everything.
* `fit_perceptron`: the averaged multiclass perceptron, with a margin.
* `fit_linear_svm`: one-against-the-rest linear SVMs with the squared hinge loss, solved to
  convergence by dual coordinate descent (scikit-learn's LinearSVC, LIBLINEAR's dual solver).
* `fit_sgd`: a linear model by stochastic gradient descent, one class against the rest, with the
  losses, L2 penalty and learning-rate schedule of scikit-learn's SGDClassifier ("hinge",
  "log_loss", "modified_huber"). `initial=` starts from given weights, and `average_models` averages
  models fitted on partitions (iterative parameter mixing).

A model scores class c of a text as bias[c] + the sum of weights[f, c] over its token ids f (each id
once per text, as the pipeline makes them). The learners can also train on weighted rows without
materialising them: with `feature_scale` (one float per feature) and `row_scale` (one per text) the
value of id f in text i is feature_scale[f] * row_scale[i] instead of 1. TF-IDF rows are
feature_scale = idf and row_scale = 1 / `row_norms(ids, idf)`; a model fitted on them without an
intercept (`fit_intercept=False`) scores texts by direction alone, so its weights times the idf
(`weights * idf[:, None]`) rank the classes of binary rows the same way. `compile_to_field` turns it into the bytes of a weight
file: each token keeps the 8 classes that matter most for the argmax, the weights become 16-bit
integers under one scale chosen so that no text's 32-bit potentials can overflow, and the bias rides
on a few extra sensory neurons that every text carries at prediction (`CompiledField.streams`).
With more than 8 classes, `refit_cut` first trains the cut model a little further in the form the
field holds, which wins back what the cut lost (and more, on the data measured so far).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Iterable, Mapping, Sequence

import numpy as np

from .. import _learners

__all__ = [
    "LinearModel", "NaiveBayesCounts", "CompiledField", "count_naive_bayes", "fit_naive_bayes",
    "fit_perceptron", "fit_sgd", "fit_linear_svm", "SvmFit", "average_models", "cut_to_slots", "refit_cut", "compile_to_field",
    "row_norms",
]

LOSSES = ("hinge", "log_loss", "modified_huber")
SLOT_CHOICES = ("spread", "centered", "largest")
FIELD_SLOTS = 8


def _uint_array(values: Any, dtype: type, name: str) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    if array.size and array.dtype.kind not in "ui":
        raise TypeError(f"{name} must hold integers, not {array.dtype}")
    if array.size and array.dtype.kind == "i" and array.min() < 0:
        raise ValueError(f"{name} must not be negative")
    if array.size and array.max() > np.iinfo(dtype).max:
        raise ValueError(f"{name} must fit in {np.dtype(dtype).name}")
    return np.ascontiguousarray(array, dtype=dtype)


def _rows(ids: Any) -> tuple[Any, Any]:
    """(tokens, offsets) buffers of an IdBatch or of a (tokens, offsets) pair."""
    if isinstance(ids, tuple) and len(ids) == 2:
        return _uint_array(ids[0], np.uint32, "tokens"), _uint_array(ids[1], np.uint64, "offsets")
    offsets = getattr(ids, "offsets", None)
    if offsets is None:
        raise TypeError(f"ids must be an IdBatch or a (tokens, offsets) pair, not {type(ids).__name__}")
    return ids, offsets


def _text_count(offsets: Any) -> int:
    return max(0, len(memoryview(offsets).cast("B")) // 8 - 1)


def _labels(labels: Any, offsets: Any, class_count: int) -> np.ndarray:
    y = _uint_array(labels, np.uint32, "labels")
    texts = _text_count(offsets)
    if len(y) != texts:
        raise ValueError(f"{texts} texts but {len(y)} labels")
    if len(y) and int(y.max()) >= class_count:
        raise ValueError(f"labels must be below class_count {class_count}, found {int(y.max())}")
    return y


def _scale(values: Any, expected: int, name: str, what: str) -> np.ndarray | None:
    if values is None:
        return None
    array = np.ascontiguousarray(values, dtype=np.float32)
    if array.shape != (expected,):
        raise ValueError(f"{name} must hold one value per {what} ({expected}), got shape {array.shape}")
    return array


def _scales(feature_scale: Any, row_scale: Any, feature_count: int,
            offsets: Any) -> tuple[np.ndarray | None, np.ndarray | None]:
    """float32 feature and row scales checked against their lengths (the native side refuses a
    negative or non-finite value, naming it)."""
    return (_scale(feature_scale, feature_count, "feature_scale", "feature"),
            _scale(row_scale, _text_count(offsets), "row_scale", "text"))


def _sample_weights(sample_weight: Any, offsets: Any) -> np.ndarray | None:
    """One float32 weight per text, or None; the native side refuses a negative or non-finite one."""
    return _scale(sample_weight, _text_count(offsets), "sample_weight", "text")


def document_frequency(ids: Any, feature_count: int) -> np.ndarray:
    """Per feature below feature_count, how many texts hold it (uint32): the repeats of a counted
    token, one after another, count once; ids at or beyond feature_count are skipped."""
    tokens, offsets = _rows(ids)
    return np.asarray(_learners.document_frequency(tokens, offsets, int(feature_count)))


def row_norms(ids: Any, feature_scale: Any, extra: float = 0.0) -> np.ndarray:
    """Each text's L2 norm when id f is worth feature_scale[f]: float32 sqrt(extra**2 + the sum of
    (n * feature_scale[f])**2 over its ids f), an id that comes n times in a row counting as one
    value n times as large (the pipeline presents a counted token's repeats one after another),
    and ids at or beyond len(feature_scale) skipped. `extra` stands for a feature every text
    carries outside the ids (a constant column); a text without ids and extra 0 has norm 0. One
    over these norms is the row_scale of L2-normalised rows."""
    tokens, offsets = _rows(ids)
    scale = np.ascontiguousarray(feature_scale, dtype=np.float32)
    if scale.ndim != 1:
        raise ValueError(f"feature_scale must be one-dimensional, got shape {scale.shape}")
    return np.asarray(_learners.row_norms(tokens, offsets, scale, float(extra)))


def _counts(feature_count: int, class_count: int) -> tuple[int, int]:
    feature_count, class_count = int(feature_count), int(class_count)
    if not 0 <= feature_count < 2**32:
        raise ValueError(f"feature_count must be in 0 .. 2**32 - 1, got {feature_count}")
    if not 1 <= class_count < 2**32:
        raise ValueError(f"class_count must be at least 1, got {class_count}")
    return feature_count, class_count


@dataclass(frozen=True)
class LinearModel:
    """Scores bias[c] + sum of weights[f, c] over a text's token ids f.

    weights: float32 (feature_count, class_count); bias: float32 (class_count,)."""

    weights: np.ndarray
    bias: np.ndarray

    def __post_init__(self) -> None:
        weights = np.ascontiguousarray(self.weights, dtype=np.float32)
        bias = np.ascontiguousarray(self.bias, dtype=np.float32)
        if weights.ndim != 2 or bias.shape != (weights.shape[1],):
            raise ValueError(f"weights must be (feature_count, class_count) and bias (class_count,), "
                             f"got {weights.shape} and {bias.shape}")
        object.__setattr__(self, "weights", weights)
        object.__setattr__(self, "bias", bias)

    @property
    def feature_count(self) -> int:
        return int(self.weights.shape[0])

    @property
    def class_count(self) -> int:
        return int(self.weights.shape[1])

    def predict(self, ids: Any) -> np.ndarray:
        """The best class of each text (the first one on ties, as the field answers)."""
        tokens, offsets = _rows(ids)
        return np.asarray(_learners.predict(tokens, offsets, self.weights, self.bias))

    def decision_function(self, ids: Any) -> np.ndarray:
        """Per-class scores, (texts, class_count) float64. Ids beyond the features are skipped."""
        tokens, offsets = _rows(ids)
        return np.asarray(_learners.decision_function(tokens, offsets, self.weights, self.bias))


@dataclass(frozen=True)
class NaiveBayesCounts:
    """How often each feature occurs in each class's texts, and how many texts each class has.

    Counts of disjoint parts of a training set add up (`a + b`) to the counts of the whole."""

    feature_counts: np.ndarray  # float64 (feature_count, class_count)
    class_texts: np.ndarray     # float64 (class_count,)

    def __add__(self, other: "NaiveBayesCounts") -> "NaiveBayesCounts":
        if not isinstance(other, NaiveBayesCounts):
            return NotImplemented
        if self.feature_counts.shape != other.feature_counts.shape:
            raise ValueError(f"cannot add counts of shapes {self.feature_counts.shape} and "
                             f"{other.feature_counts.shape}")
        return NaiveBayesCounts(self.feature_counts + other.feature_counts, self.class_texts + other.class_texts)

    def to_model(self, alpha: float = 1.0, fit_prior: bool = True) -> LinearModel:
        """weights[f, c] = log((n[f, c] + alpha) / (n[c] + alpha * feature_count)); bias = log priors."""
        weights, bias = _learners.naive_bayes_weights(
            np.ascontiguousarray(self.feature_counts, dtype=np.float64),
            np.ascontiguousarray(self.class_texts, dtype=np.float64), float(alpha), bool(fit_prior))
        return LinearModel(np.asarray(weights), np.asarray(bias))


def count_naive_bayes(ids: Any, labels: Any, feature_count: int, class_count: int, *, feature_scale: Any = None,
                      row_scale: Any = None, sample_weight: Any = None) -> NaiveBayesCounts:
    """The naive Bayes counts of labelled texts. Ids at or above feature_count are skipped. With
    scales, each occurrence adds its value feature_scale[f] * row_scale[i] instead of 1 (as
    MultinomialNB sums TF-IDF values); the texts per class are counted as before. sample_weight (one
    per text): each text counts that many times, its occurrences and itself."""
    feature_count, class_count = _counts(feature_count, class_count)
    tokens, offsets = _rows(ids)
    y = _labels(labels, offsets, class_count)
    features, rows = _scales(feature_scale, row_scale, feature_count, offsets)
    feature_counts, class_texts = _learners.count_naive_bayes(tokens, offsets, y, feature_count, class_count,
                                                              features, rows, _sample_weights(sample_weight, offsets))
    return NaiveBayesCounts(np.asarray(feature_counts), np.asarray(class_texts))


def fit_naive_bayes(ids: Any, labels: Any, feature_count: int, class_count: int, *, alpha: float = 1.0,
                    fit_prior: bool = True, feature_scale: Any = None, row_scale: Any = None,
                    sample_weight: Any = None) -> LinearModel:
    """Multinomial naive Bayes with additive smoothing alpha (scikit-learn's MultinomialNB), on
    binary rows or, with scales, on the values of `count_naive_bayes`."""
    counts = count_naive_bayes(ids, labels, feature_count, class_count, feature_scale=feature_scale,
                               row_scale=row_scale, sample_weight=sample_weight)
    return counts.to_model(alpha, fit_prior)


def _initial(initial: LinearModel | None, feature_count: int, class_count: int) -> tuple[Any, Any]:
    if initial is None:
        return None, None
    if (initial.feature_count, initial.class_count) != (feature_count, class_count):
        raise ValueError(f"initial model is {initial.weights.shape}, expected ({feature_count}, {class_count})")
    return initial.weights, initial.bias


def _seed(random_state: int | None) -> int:
    if random_state is None:
        return int(np.random.SeedSequence().generate_state(2, np.uint32).view(np.uint64)[0])
    return int(random_state) % 2**64


def fit_perceptron(ids: Any, labels: Any, feature_count: int, class_count: int, *, epochs: int = 5,
                   margin: float = 10.0, average: bool = True, random_state: int | None = 0,
                   initial: LinearModel | None = None, feature_scale: Any = None, row_scale: Any = None,
                   fit_intercept: bool = True, intercept_by_row: bool = False,
                   sample_weight: Any = None) -> LinearModel:
    """The (averaged) multiclass perceptron: `epochs` shuffled passes; a text whose class does not
    beat the best other by more than `margin` (in units of one update) updates both: each id's
    weight moves by its value (1, or feature_scale[f] * row_scale[i]) and, with fit_intercept, the
    biases by 1. The margin is compared with the scores as they are: an update on a unit-norm row
    moves its own score difference by about 2, one on a binary row of n ids by about 2n, so scaled
    rows call for a margin scaled alike. Without an intercept the bias keeps its start (0 unless
    `initial`). intercept_by_row: the bias moves (and scores) by the text's row_scale instead of 1,
    as the weight of a constant feature of value 1 in the row before its scaling. sample_weight (one
    per text) scales each text's updates, not its scores."""
    feature_count, class_count = _counts(feature_count, class_count)
    if int(epochs) < 0:
        raise ValueError(f"epochs must not be negative, got {epochs}")
    tokens, offsets = _rows(ids)
    y = _labels(labels, offsets, class_count)
    features, rows = _scales(feature_scale, row_scale, feature_count, offsets)
    init_w, init_b = _initial(initial, feature_count, class_count)
    weights, bias = _learners.fit_perceptron(tokens, offsets, y, feature_count, class_count, int(epochs),
                                             _seed(random_state), bool(average), init_w, init_b, float(margin),
                                             features, rows, bool(fit_intercept), bool(intercept_by_row),
                                             _sample_weights(sample_weight, offsets))
    return LinearModel(np.asarray(weights), np.asarray(bias))


def _class_weights(class_weight: Any, y: np.ndarray, class_count: int) -> np.ndarray | None:
    if class_weight is None:
        return None
    if isinstance(class_weight, str):
        if class_weight != "balanced":
            raise ValueError(f"class_weight must be None, 'balanced', a mapping or a sequence, got {class_weight!r}")
        # scikit-learn's rule: texts / (classes * texts of the class); absent classes get 1.
        counts = np.bincount(y, minlength=class_count).astype(np.float64)
        weights = np.ones(class_count)
        present = counts > 0
        weights[present] = len(y) / (np.count_nonzero(present) * counts[present])
        return weights
    if isinstance(class_weight, Mapping):
        weights = np.ones(class_count)
        for c, w in class_weight.items():
            if not 0 <= int(c) < class_count:
                raise ValueError(f"class_weight names class {c!r}, not below class_count {class_count}")
            weights[int(c)] = float(w)
        return weights
    weights = np.asarray(class_weight, dtype=np.float64)
    if weights.shape != (class_count,):
        raise ValueError(f"class_weight must hold {class_count} weights, got shape {weights.shape}")
    return np.ascontiguousarray(weights)


def fit_sgd(ids: Any, labels: Any, feature_count: int, class_count: int, *, loss: str = "hinge",
            alpha: float = 1e-4, epochs: int = 5, class_weight: Any = None, random_state: int | None = 0,
            initial: LinearModel | None = None, first_step: int = 0, feature_scale: Any = None,
            row_scale: Any = None, fit_intercept: bool = True, intercept_by_row: bool = False,
            sample_weight: Any = None) -> LinearModel:
    """One-against-the-rest linear model by SGD (scikit-learn's SGDClassifier with learning_rate
    "optimal" and penalty "l2", for `epochs` shuffled passes). class_weight: None, "balanced", a
    mapping from class index to weight, or one weight per class. first_step: where the step-size
    schedule starts, for a fit that continues `initial` (e.g. texts seen so far), so that it takes
    the steps an uninterrupted fit would have reached instead of starting over with the largest.
    feature_scale (one per feature) and row_scale (one per text): the value of id f in text i is
    feature_scale[f] * row_scale[i] instead of 1, as a row of SGDClassifier's X. fit_intercept
    False: no bias is learned (it keeps its start, 0 unless `initial`). intercept_by_row: the
    intercept's input is the text's row_scale instead of 1 (a constant feature of value 1 in the row
    before its scaling, unpenalized, with the intercept's steps): multiplied by each row's norm, the
    model's scores are those of a model of the unscaled rows with that bias. sample_weight (one per
    text) multiplies each text's gradient, as SGDClassifier's does."""
    feature_count, class_count = _counts(feature_count, class_count)
    if loss not in LOSSES:
        raise ValueError(f"loss must be one of {LOSSES}, got {loss!r}")
    if not float(alpha) > 0:
        raise ValueError(f"alpha must be positive, got {alpha!r}")
    if int(epochs) < 0:
        raise ValueError(f"epochs must not be negative, got {epochs}")
    if int(first_step) < 0:
        raise ValueError(f"first_step must not be negative, got {first_step}")
    tokens, offsets = _rows(ids)
    y = _labels(labels, offsets, class_count)
    features, rows = _scales(feature_scale, row_scale, feature_count, offsets)
    init_w, init_b = _initial(initial, feature_count, class_count)
    weights, bias = _learners.fit_sgd(tokens, offsets, y, feature_count, class_count, loss, float(alpha),
                                      int(epochs), _seed(random_state), _class_weights(class_weight, y, class_count),
                                      init_w, init_b, int(first_step), features, rows, bool(fit_intercept),
                                      bool(intercept_by_row), _sample_weights(sample_weight, offsets))
    return LinearModel(np.asarray(weights), np.asarray(bias))


@dataclass(frozen=True)
class SvmFit:
    """fit_linear_svm's model, and the passes each of its problems took (one, or one per class)."""

    model: LinearModel
    passes: np.ndarray

    @property
    def converged(self) -> bool:
        return bool((self.passes < self.max_passes).all())

    max_passes: int = 1000


def fit_linear_svm(ids: Any, labels: Any, feature_count: int, class_count: int, *, C: float = 1.0,
                   tol: float = 0.1, max_passes: int = 1000, class_weight: Any = None, random_state: int | None = 0,
                   feature_scale: Any = None, row_scale: Any = None, fit_intercept: bool = True,
                   intercept_by_row: bool = False, sample_weight: Any = None) -> SvmFit:
    """One linear SVM per class against the rest (two classes: one, class 1 against class 0) with
    the squared hinge loss and an L2 penalty, 1/2 |w|^2 + C sum_i max(0, 1 - y_i w . x_i)^2, solved by
    dual coordinate descent until the projected gradient's spread over a pass is at most `tol` (or
    `max_passes` passes): scikit-learn's LinearSVC(loss="squared_hinge", dual=True). The intercept is
    the weight of a constant feature (1, or the text's row_scale with intercept_by_row), penalized
    like the others, as LinearSVC's intercept_scaling=1. class_weight and sample_weight multiply each
    text's C; a text of weight 0 takes no part. feature_scale and row_scale as fit_sgd's."""
    feature_count, class_count = _counts(feature_count, class_count)
    if not (float(C) > 0 and np.isfinite(float(C))):
        raise ValueError(f"C must be a positive number, got {C!r}")
    if not (float(tol) > 0 and np.isfinite(float(tol))):
        raise ValueError(f"tol must be a positive number, got {tol!r}")
    if int(max_passes) < 1:
        raise ValueError(f"max_passes must be at least 1, got {max_passes!r}")
    tokens, offsets = _rows(ids)
    y = _labels(labels, offsets, class_count)
    features, rows = _scales(feature_scale, row_scale, feature_count, offsets)
    weights, bias, passes = _learners.fit_linear_svm(
        tokens, offsets, y, feature_count, class_count, float(C), float(tol), int(max_passes), _seed(random_state),
        _class_weights(class_weight, y, class_count), features, rows, bool(fit_intercept), bool(intercept_by_row),
        _sample_weights(sample_weight, offsets))
    return SvmFit(LinearModel(np.asarray(weights), np.asarray(bias)), np.asarray(passes), int(max_passes))


def average_models(models: Iterable[LinearModel], weights: Sequence[float] | None = None) -> LinearModel:
    """The (weighted) mean of models of one shape: the reduction of iterative parameter mixing, where
    each partition fits from the previous average (`initial=`) and the results are averaged again."""
    models = list(models)
    if not models:
        raise ValueError("no models to average")
    shares = np.ones(len(models)) if weights is None else np.asarray(weights, dtype=np.float64)
    if shares.shape != (len(models),) or not (shares >= 0).all() or shares.sum() <= 0:
        raise ValueError("weights must be one non-negative number per model, not all zero")
    shares = shares / shares.sum()
    shape = models[0].weights.shape
    if any(m.weights.shape != shape for m in models):
        raise ValueError("models of different shapes cannot be averaged")
    w = np.zeros(shape)
    b = np.zeros(shape[1])
    for share, m in zip(shares, models):
        w += share * m.weights
        b += share * m.bias
    return LinearModel(w, b)


def _check_compile_options(slots: int, choice: str) -> None:
    if not 1 <= int(slots) <= FIELD_SLOTS:
        raise ValueError(f"slots must be 1 to {FIELD_SLOTS}, got {slots!r}")
    if choice not in SLOT_CHOICES:
        raise ValueError(f"choice must be one of {SLOT_CHOICES}, got {choice!r}")


def cut_to_slots(model: LinearModel, slots: int = FIELD_SLOTS, choice: str = "spread") -> LinearModel:
    """The model as a compiled field holds it, before rounding: every row shifted (which changes no
    argmax) and at most `slots` classes of it non-zero. For measuring what the cut costs."""
    _check_compile_options(slots, choice)
    weights, bias = _learners.cut(model.weights, model.bias, int(slots), choice)
    return LinearModel(np.asarray(weights), np.asarray(bias))


def refit_cut(model: LinearModel, ids: Any, labels: Any, *, epochs: int = 2, step: float = 0.1,
              margin: float = 3.0, slots: int = FIELD_SLOTS, choice: str = "spread",
              random_state: int | None = 0, sample_weight: Any = None) -> LinearModel:
    """The model cut to `slots` classes per token (`cut_to_slots`), then trained further without
    leaving that form: `epochs` passes of an averaged perceptron with a margin, whose updates move a
    kept class alone and a dropped class with its row's whole dropped group. step and margin are in
    units of the mean magnitude of the kept weights. sample_weight (one per text) scales each text's
    updates. Compile the result with the same slots."""
    cut = cut_to_slots(model, slots, choice)
    if int(epochs) < 0:
        raise ValueError(f"epochs must not be negative, got {epochs}")
    if not float(step) > 0:
        raise ValueError(f"step must be positive, got {step!r}")
    tokens, offsets = _rows(ids)
    y = _labels(labels, offsets, model.class_count)
    weights, bias = _learners.refit_cut(tokens, offsets, y, cut.weights, cut.bias, int(epochs), float(step),
                                        float(margin), _seed(random_state), _sample_weights(sample_weight, offsets))
    return LinearModel(np.asarray(weights), np.asarray(bias))


@dataclass(frozen=True)
class CompiledField:
    """A linear model as the bytes of a weight file for `OmbrelField(sensory_count, class_count)`.

    Sensory ids 0 .. feature_count - 1 are the model's features; the bias neurons come after them,
    and every text must carry all of them (`bias_ids`) when it is predicted. Field weight =
    round(scale * weight) after the cut."""

    data: bytes
    feature_count: int
    class_count: int
    bias_neurons: int
    scale: float

    @property
    def sensory_count(self) -> int:
        return self.feature_count + self.bias_neurons

    @property
    def bias_ids(self) -> np.ndarray:
        return np.arange(self.feature_count, self.sensory_count, dtype=np.uint32)

    def write(self, path: str | os.PathLike[str]) -> None:
        """Writes the weight file: a new file renamed over `path`, so that a field that maps an
        earlier file at that path keeps its own pages (rewriting a mapped file in place would cut
        them away under it)."""
        path = os.fspath(path)
        temporary = f"{path}.{os.getpid()}-{id(self):x}.tmp"
        try:
            with open(temporary, "wb") as f:
                f.write(self.data)
            os.replace(temporary, path)
        except BaseException:
            if os.path.exists(temporary):
                os.remove(temporary)
            raise

    def field(self, path: str | os.PathLike[str]) -> Any:
        """Writes the weight file at `path` and returns a field that maps it."""
        import ombrel
        self.write(path)
        from .fields import engine_file
        field = ombrel.OmbrelField(self.sensory_count, self.class_count)
        with engine_file(os.fspath(path)):
            field.load_weights(os.fspath(path))
        return field

    def with_bias(self, ids: Any) -> tuple[np.ndarray, np.ndarray]:
        """(tokens, offsets) of the texts with the bias ids at the end of each."""
        tokens, offsets = _rows(ids)
        new_tokens, new_offsets = _learners.append_ids(tokens, offsets, self.bias_ids)
        return np.asarray(new_tokens), np.asarray(new_offsets)

    def streams(self, ids: Any) -> list[memoryview]:
        """One uint32 memoryview per text, bias ids included, for OmbrelField.predict_batch."""
        tokens, offsets = self.with_bias(ids)
        whole = memoryview(tokens)
        bounds = offsets.tolist()
        return [whole[bounds[i]:bounds[i + 1]] for i in range(len(bounds) - 1)]


def compile_to_field(model: LinearModel | Any, bias: Any = None, path: str | os.PathLike[str] | None = None, *,
                     slots: int = FIELD_SLOTS, choice: str = "spread", max_text_tokens: int = 0) -> CompiledField:
    """Compiles a linear model (a LinearModel, or weights and bias arrays) into weight-file bytes,
    written to `path` when one is given.

    slots: classes kept per token (the field holds 8). choice: which ones when a token has more
    classes ("spread": the rest are the run of closest weights, which the field then represents with
    the least squared error; "centered": the farthest from the row's mean; "largest": the largest).
    max_text_tokens: the longest text (in distinct ids) that must not overflow a potential; 0 for
    any text, which may cost resolution on very large vocabularies."""
    if not isinstance(model, LinearModel):
        if bias is None:
            raise TypeError("compile_to_field needs a LinearModel, or weights and bias")
        model = LinearModel(model, bias)
    elif bias is not None:
        raise TypeError("bias is given by the LinearModel")
    _check_compile_options(slots, choice)
    if int(max_text_tokens) < 0:
        raise ValueError(f"max_text_tokens must not be negative, got {max_text_tokens}")
    data, bias_neurons, scale = _learners.compile(model.weights, model.bias, int(slots), choice, int(max_text_tokens))
    compiled = CompiledField(data, model.feature_count, model.class_count, int(bias_neurons), float(scale))
    if path is not None:
        compiled.write(path)
    return compiled


def id_arrays(ids: Any) -> tuple[np.ndarray, np.ndarray]:
    """(tokens uint32, offsets int64) of an IdBatch or a (tokens, offsets) pair, as numpy arrays
    (views where the buffers allow)."""
    tokens, offsets = _rows(ids)
    token_array = np.frombuffer(tokens, dtype=np.uint32) if len(memoryview(tokens)) else np.zeros(0, np.uint32)
    return token_array, np.frombuffer(offsets, dtype=np.uint64).astype(np.int64)


def append_feature(ids: Any, feature: int) -> tuple[np.ndarray, np.ndarray]:
    """(tokens, offsets) of the texts with one more id, `feature`, at the end of each."""
    tokens, offsets = _rows(ids)
    new_tokens, new_offsets = _learners.append_ids(tokens, offsets, np.asarray([feature], dtype=np.uint32))
    return np.asarray(new_tokens), np.asarray(new_offsets)
