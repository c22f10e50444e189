"""Multi-label classification (tagging): each text has any number of the classes.

Targets. y is multi-label when it is a binary indicator matrix (a 2-D numpy array of 0/1 with at
least two columns, or a scipy sparse matrix, as scikit-learn's MultiLabelBinarizer makes; the
classes are then the column indices 0 .. n - 1) or a sequence whose entries are collections of
labels (list, tuple, set or frozenset of str or of int; the classes are their sorted union). A 1-D
y of plain labels is single-label, as before: `targets` is the one place that tells them apart.

The model: one against the rest in the field. Each class is a binary problem of its own (the float
learner, SGD by default, on that class's texts against all others; with the log loss on each
token's presence, whatever `loss` and `weighting` say); the columns are stacked into one linear
model of k classes, each token keeps its 8 largest-magnitude classes (a sensory neuron has eight
synapses) and the rest become exactly 0, and the model is compiled into the field. A class's
potential is then its own binary score: the compiler's row shifts, which leave an argmax alone but
would move every class of a text by an amount that depends on its tokens, are all 0 for such rows
(`compile_cut`).

Thresholds, on held-out rows: the last HELD_OUT_SHARE of the shuffled training texts (at most
MAX_HELD_OUT), scored by a model fitted on all the others. Each class's threshold lies halfway
between the one with that class's best F1 and the one common threshold with the best micro F1
(`thresholds_of`). The final model is fitted on every text and the thresholds carried over in the
learner's units, relative to each class's bias (`to_potentials`). The same held-out rows choose
among the word features `Settings.word_variants` offers (at most three, cheapest first; a costlier
one must do better by COSTLIER_GAIN; features="auto" means words here, "chars" is used when asked
for). predict answers the classes whose potential passes the
threshold and, with `min_labels` = m > 0, at least the m best (highest potential minus threshold)
of every text.
"""

from __future__ import annotations

import dataclasses
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Iterable

import numpy as np

from .. import _native
from ..base import progress
from ..base.validation import as_labels, as_texts, check_memory, check_texts
from . import featurizing, fields, learners, linear
from .fitted_model import Model
from .settings import Settings

# The held-out rows: this share of the training texts, at most MAX_HELD_OUT of them; the model whose
# thresholds they choose trains on all the others, so that it is nearly the final model (a model of
# 17,000 GoEmotions texts wanted a common threshold 0.4 lower than one of 35,000 or 43,000).
HELD_OUT_SHARE = 0.2
MAX_HELD_OUT = 5_000
# Below this many positive held-out texts a class's F1-best threshold is noise: it takes the common one.
MIN_HELD_OUT_POSITIVES = 5
# The word features are offered cheapest first (with English stop words and stemming, then every
# word, then word pairs, which predict several times slower): a later one is kept only when its
# held-out micro F1 is higher by more than this.
COSTLIER_GAIN = 0.005
# A class's threshold: the common one moved this share of the way to the class's own F1-best one.
OWN_SHARE = 0.5
# The common threshold is chosen among this many quantiles of the held-out scores.
COMMON_CANDIDATES = 200
# The compiler shifts a row of at most 8 classes to the middle of its range: padding the model to
# this many classes (the padding all zeros) makes a run of at least two zeros the cut's dropped
# group, whose shift is exactly 0.
PADDED_CLASSES = linear.FIELD_SLOTS + 2
# What one (token, label) cell of the one-against-the-rest model costs at its peak, in bytes: the
# stacked float64 columns, their float32 copy, the cut and the compiled field (27 measured: 4,000
# texts with 6,000 tags took 2.9 GB).
BYTES_PER_CELL = 27
# Each label's probabilities are calibrated on the held-out rows, pulled toward the calibration of all
# labels at once by this many texts' worth (`calibrations_of`).
CALIBRATION_PRIOR = 50.0
LEARNERS = ("sgd", "perceptron", "naive_bayes", "svm")
_COLLECTIONS = (list, tuple, set, frozenset)


# -- targets ----------------------------------------------------------------------------------------

def _is_sparse(y: Any) -> bool:
    return hasattr(y, "tocsr") and hasattr(y, "nnz") and getattr(y, "ndim", 0) == 2


def targets(y: Any) -> tuple[np.ndarray, np.ndarray] | None:
    """(classes, indicator bool (texts, classes)) when y is multi-label (see the module docstring);
    None when y is a plain sequence of labels, which the single-label validation then checks."""
    if isinstance(y, (str, bytes)):
        return None
    if _is_sparse(y):
        dense = np.asarray(y.toarray())
        return _indicator(dense)
    if getattr(y, "ndim", 1) == 2 and hasattr(y, "to_numpy"):  # a pandas DataFrame of indicator columns
        y = y.to_numpy()
    if isinstance(y, np.ndarray):
        if y.ndim == 2 and y.shape[1] > 1 and y.dtype.kind in "biuf":
            return _indicator(y)
        if y.ndim != 1 or y.dtype.kind != "O":
            return None
        entries = y.tolist()
    elif isinstance(y, (list, tuple)):
        entries = list(y)
    elif hasattr(y, "__len__") and hasattr(y, "__iter__") and not isinstance(y, (dict, set, frozenset)):
        entries = list(y)  # a pandas Series of label lists
    else:
        return None
    if not any(isinstance(e, _COLLECTIONS) for e in entries):
        return None
    return _label_sets(entries)


def _indicator(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    if y.dtype.kind not in "biuf" or not np.isin(y, (0, 1)).all():
        raise ValueError("a 2-D y of numbers is a label indicator matrix (one column per class) and must hold "
                         "only 0 and 1; multi-output targets are not supported")
    return np.arange(y.shape[1]), y.astype(bool)


def _label_sets(entries: list[Any]) -> tuple[np.ndarray, np.ndarray]:
    for i, entry in enumerate(entries):
        if not isinstance(entry, _COLLECTIONS):
            raise TypeError(f"label {i} of y is {type(entry).__name__}: in a multi-label y every entry is a "
                            f"collection of labels (list, tuple, set or frozenset)")
    flat = [label for entry in entries for label in entry]
    if not flat:
        raise ValueError("fit needs at least two classes; the label sets of y are all empty")
    for label in flat:
        if isinstance(label, _COLLECTIONS):
            raise TypeError(f"a label set holds {type(label).__name__}; labels are str or int")
    labels = as_labels(flat, "the labels of y")
    classes = np.unique(labels)
    index = np.searchsorted(classes, labels)
    rows = np.repeat(np.arange(len(entries)), [len(entry) for entry in entries])
    indicator = np.zeros((len(entries), len(classes)), dtype=bool)
    indicator[rows, index] = True
    return classes, indicator


# -- fitting ----------------------------------------------------------------------------------------

def learner_of(settings: Settings) -> str:
    learner = "sgd" if settings.learner == "auto" else settings.learner
    if learner not in LEARNERS:
        raise ValueError(f"multi-label targets are learnt one class against the rest by a float learner: "
                         f"learner='auto' (SGD), 'sgd', 'perceptron', 'naive_bayes' or 'svm', not {settings.learner!r}")
    return learner


def one_vs_rest(settings: Settings, learner: str, alpha: float | None, documents: Any, indicator: np.ndarray,
                features: int) -> linear.LinearModel:
    """One binary model per class (its texts against all others), stacked: (features, k) weights
    and k biases, each column that class's score."""
    k = indicator.shape[1]
    # Checked before the first column trains, not after minutes of them.
    check_memory(features * k * BYTES_PER_CELL, f"a multi-label model of {k:,} labels on {features:,} token neurons",
                 "raise min_df, hash the tokens into fewer buckets, or leave out the rarest labels")

    def column(c: int) -> tuple[np.ndarray, np.ndarray]:
        model = learners.fit_float(settings, learner, alpha, documents, indicator[:, c].astype(np.uint32),
                                   features, 2)
        return model.weights[:, 1] - model.weights[:, 0], model.bias[1] - model.bias[0]

    # The learners release the interpreter lock: the classes train side by side (each one alone is
    # deterministic, so the result does not depend on the order they finish in).
    with ThreadPoolExecutor(max_workers=max(1, min(k, _native.thread_count()))) as pool:
        columns = list(pool.map(column, range(k)))
    weights = np.stack([w for w, _ in columns], axis=1) if features else np.zeros((0, k), np.float32)
    return linear.LinearModel(weights, np.array([b for _, b in columns], dtype=np.float32))


def cut(model: linear.LinearModel) -> linear.LinearModel:
    """Each token's row with its 8 largest-magnitude classes kept and the others exactly 0 (the
    field's eight synapses per sensory neuron), without any shift: every class keeps its own score."""
    weights = model.weights.copy()
    if model.class_count > linear.FIELD_SLOTS and len(weights):
        dropped = np.argpartition(np.abs(weights), model.class_count - linear.FIELD_SLOTS - 1, axis=1)
        np.put_along_axis(weights, dropped[:, :model.class_count - linear.FIELD_SLOTS], 0.0, axis=1)
    return linear.LinearModel(weights, model.bias)


def compile_cut(model: linear.LinearModel) -> linear.CompiledField:
    """A cut model (`cut`) compiled into the field with every class's score kept as it is.

    The compiler may shift each row by a constant, which changes no argmax but moves all the
    classes of a text by the sum of its tokens' shifts. Rows with at most 8 non-zero classes among at
    least PADDED_CLASSES get no shift (their dropped group is a run of zeros), so the model is padded
    with zero classes up to that many and the padding's synapses (on the bias neurons only) removed
    after compiling."""
    k = model.class_count
    padded = max(k, PADDED_CLASSES)
    weights = np.zeros((model.feature_count, padded), dtype=np.float32)
    weights[:, :k] = model.weights
    bias = np.zeros(padded, dtype=np.float32)
    bias[:k] = model.bias
    compiled = linear.compile_to_field(linear.LinearModel(weights, bias))
    records = np.frombuffer(bytearray(compiled.data), dtype=np.uint8).reshape(-1, fields.NEURON_BYTES)
    if padded > k and len(records):
        counts = records[:, 4:8].view("<u4")[:, 0]
        targets_ = records[:, 8:40].view("<u4")
        synapses = records[:, 40:56].view("<i2")
        keep = (np.arange(linear.FIELD_SLOTS)[None, :] < counts[:, None]) & (targets_ < k)
        first = np.argsort(~keep, axis=1, kind="stable")  # the kept synapses first, in their order
        targets_[:] = np.where(np.take_along_axis(keep, first, axis=1), np.take_along_axis(targets_, first, axis=1), 0)
        synapses[:] = np.where(np.take_along_axis(keep, first, axis=1), np.take_along_axis(synapses, first, axis=1), 0)
        counts[:] = keep.sum(axis=1)
    return linear.CompiledField(records.tobytes(), model.feature_count, k, compiled.bias_neurons, compiled.scale)


def class_threshold(scores: np.ndarray, truth: np.ndarray) -> float:
    """The threshold on scores (a text is the class's when its score exceeds it) with the best F1 on
    these texts; NaN with fewer than MIN_HELD_OUT_POSITIVES positives (too few to choose on)."""
    positives = int(truth.sum())
    if positives < MIN_HELD_OUT_POSITIVES:
        return float("nan")
    order = np.argsort(-scores, kind="stable")
    ranked, hits = scores[order], truth[order]
    f1 = 2.0 * np.cumsum(hits) / (positives + np.arange(1, len(ranked) + 1))
    f1[:-1][ranked[:-1] == ranked[1:]] = -1.0  # a cut only between different scores
    best = int(np.argmax(f1))
    if best + 1 < len(ranked):
        return float((ranked[best] + ranked[best + 1]) / 2.0)
    return float(ranked[-1] - 1.0)


def common_threshold(scores: np.ndarray, truth: np.ndarray, min_labels: int) -> float:
    """The one threshold for every class with the best micro F1 on these texts (with min_labels),
    among COMMON_CANDIDATES quantiles of the scores; 0 (the learners' own boundary) when the texts
    hold fewer than MIN_HELD_OUT_POSITIVES * 4 labels."""
    if int(truth.sum()) < 4 * MIN_HELD_OUT_POSITIVES:
        return 0.0
    candidates = np.unique(np.quantile(scores, np.linspace(0.0, 1.0, COMMON_CANDIDATES)))
    measured = [micro_f1(truth, decide(scores - t, min_labels)) for t in candidates.tolist()]
    return float(candidates[int(np.argmax(measured))])


def thresholds_of(scores: np.ndarray, truth: np.ndarray, min_labels: int) -> np.ndarray:
    """Each class's threshold: halfway between its own F1-best threshold (the common one when it has
    too few positives) and the common threshold with the best micro F1. The F1-best threshold of
    each class alone favours rare classes (macro F1) at the cost of micro F1 and precision; the
    common one the reverse; halfway kept nearly all of both on GoEmotions (thresholds chosen on its
    dev set, scored on test: micro F1 0.513, 0.545 and 0.543, macro F1 0.425, 0.381 and 0.404 for
    each class's own, the common and halfway)."""
    common = common_threshold(scores, truth, min_labels)
    own = np.array([class_threshold(scores[:, c], truth[:, c]) for c in range(scores.shape[1])])
    own[np.isnan(own)] = common
    return common + OWN_SHARE * (own - common)


def decide(decision: np.ndarray, min_labels: int) -> np.ndarray:
    """The indicator (texts, classes) uint8 of decision > 0, with at least the `min_labels` best
    classes of every text."""
    out = (decision > 0).astype(np.uint8)
    m = min(int(min_labels), decision.shape[1])
    if m > 0 and len(decision):
        # The best first (the first class on ties, as argmax answers), then the next ones.
        best = np.argsort(-decision, axis=1, kind="stable")[:, :m] if m > 1 else decision.argmax(axis=1)[:, None]
        np.put_along_axis(out, best, 1, axis=1)
    return out


def micro_f1(truth: np.ndarray, predicted: np.ndarray) -> float:
    tp = int(np.sum(truth & (predicted > 0)))
    total = int(truth.sum()) + int(np.count_nonzero(predicted))
    return 2.0 * tp / total if total else 0.0


def _features(settings: Settings, kind: str, texts: list[str]) -> tuple[Any, Any, int, Any, int]:
    spec = settings.spec(kind)
    vocabulary, buckets, documents = featurizing.token_ids(spec, int(settings.buckets), texts, [0] * len(texts), 1,
                                                           int(settings.min_df), 0.0)
    return spec, vocabulary, buckets, documents, buckets or len(vocabulary or ())


def _variants(settings: Settings) -> list[tuple[str, str, Settings]]:
    """(name, feature kind, concrete settings) of the features the held-out rows choose among."""
    if settings.features == "chars":
        return [("chars", "chars", settings.resolved())]
    return [(name, "words", concrete.resolved()) for name, concrete in settings.word_variants()]


def fit(settings: Settings, X: Any, y: Any, sample_weight: Any = None) -> tuple[Model, dict[str, Any]]:
    """The multi-label model of texts X and targets y (`targets(y)` is not None): (model with its
    thresholds, what the held-out rows measured: {"selection_scores_": {variant: micro F1}})."""
    if sample_weight is not None:  # each label's problem would need the weights through the field's training
        raise ValueError("sample_weight is not taken with multi-label targets; repeat a text to weigh it more")
    found = targets(y)
    assert found is not None
    classes, indicator = found
    if not indicator.any():  # as all-empty label sets are refused
        raise ValueError("fit needs at least one label; the label indicator matrix of y is all 0")
    texts = as_texts(X)
    if len(texts) != len(indicator):
        raise ValueError(f"X and y have different lengths: {len(texts)} texts, {len(indicator)} label sets")
    if len(texts) == 0:
        raise ValueError("cannot fit on an empty training set (0 texts)")
    check_texts(texts)
    if len(classes) < 2:
        raise ValueError(f"fit needs at least two classes; y holds only {classes.tolist()!r}")
    learner = learner_of(settings)
    order = np.random.default_rng(settings.random_state).permutation(len(texts))
    texts = [texts[i] for i in order.tolist()]
    indicator = indicator[order]

    # Presence, not TF-IDF rows: a TF-IDF model's potential is its score times the text's norm,
    # which one threshold per class cannot follow (on GoEmotions the per-class thresholds lost 10
    # points of micro F1 that way). The log loss: its scores are log-odds, which one common
    # threshold compares across classes (the hinge loss scored a point of micro F1 lower).
    settings = dataclasses.replace(settings, weighting="binary", loss="log_loss")
    rows = len(texts)
    held = min(int(rows * HELD_OUT_SHARE), MAX_HELD_OUT) if rows >= 10 else 0
    variants = _variants(settings)
    scores: dict[str, float] = {}
    chosen = variants[0]
    thresholds = np.zeros(len(classes))
    best = -1.0
    held_decision, held_truth = None, None  # the chosen variant's, for each label's probabilities
    with progress.phase(settings.verbose, "choosing features and thresholds on held-out rows"):
        for variant in variants if held else variants[:1]:
            name, kind, concrete = variant
            train_texts, held_texts = texts[:rows - held], texts[rows - held:rows]
            if not held:
                train_texts = held_texts = texts
            spec, vocabulary, buckets, documents, features = _features(concrete, kind, train_texts)
            model = cut(one_vs_rest(concrete, learner, settings.alpha, documents, indicator[:len(train_texts)],
                                    features))
            held_ids = featurizing.transform(spec, vocabulary, buckets, held_texts)
            held_scores = model.decision_function(held_ids)
            truth = indicator[rows - held:rows] if held else indicator
            found_thresholds = thresholds_of(held_scores, truth, int(settings.min_labels))
            score = micro_f1(truth, decide(held_scores - found_thresholds, int(settings.min_labels)))
            scores[name] = round(score, 6)
            if score > best + (COSTLIER_GAIN if best >= 0 else 0.0):
                best, chosen, thresholds = score, variant, found_thresholds
                held_decision, held_truth = (held_scores - found_thresholds, truth) if held else (None, None)
    name, kind, concrete = chosen
    with progress.phase(settings.verbose, "training one class against the rest"):
        spec, vocabulary, buckets, documents, features = _features(concrete, kind, texts)
        model = cut(one_vs_rest(concrete, learner, settings.alpha, documents, indicator, features))
        compiled = compile_cut(model)
    field = fields.memory_field(compiled.data, compiled.sensory_count, len(classes))
    fitted = Model(kind, spec, vocabulary, buckets, classes, field, learner, compiled.bias_neurons,
                   concrete.feature_params(kind))
    fitted.scale = compiled.scale
    fitted.thresholds = to_potentials(fitted, model, thresholds, compiled.scale)
    if held_decision is not None:  # in potential units: the learner's scores times the scale
        fitted.label_calibration = calibrations_of(held_decision, held_truth) / np.array([compiled.scale, 1.0])
    return fitted, {"selection_scores_": scores} if held and len(variants) > 1 else {}


def to_potentials(fitted: Model, model: linear.LinearModel, thresholds: np.ndarray, scale: float) -> np.ndarray:
    """Thresholds in the learner's units as thresholds on the field's potentials. A text without
    tokens carries only the bias neurons, so its potentials are the compiled biases: a score s
    (bias included) is that potential plus scale * (s - bias)."""
    empty = np.asarray(fitted.potentials([""]), dtype=np.float64)[0]
    return empty + scale * (thresholds - model.bias.astype(np.float64))


# -- prediction -------------------------------------------------------------------------------------

def decision(model: Model, texts: list[str]) -> np.ndarray:
    """(texts, classes) float64: each class's potential minus its threshold."""
    assert model.thresholds is not None
    return np.asarray(model.potentials(texts), dtype=np.float64) - model.thresholds


def probabilities(model: Model, texts: list[str]) -> np.ndarray:
    """(texts, classes) float64: each label's own probability, the logistic of a x decision + b
    with the label's calibration (a folder or pickle made before it was kept: a = 1 / scale, b = 0,
    the learner's log-odds). A label is predicted exactly when its probability passes its own
    `probability_thresholds` (min_labels aside)."""
    slope, offset = _calibration(model)
    z = slope * decision(model, texts) + offset
    return 0.5 * (1.0 + np.tanh(0.5 * z))  # the logistic, without overflow


def probability_thresholds(model: Model) -> np.ndarray:
    """(classes,) float64: each label's probability at its threshold, the logistic of its offset."""
    _, offset = _calibration(model)
    return 0.5 * (1.0 + np.tanh(0.5 * offset))


def _calibration(model: Model) -> tuple[np.ndarray, np.ndarray]:
    if model.label_calibration is not None:
        return model.label_calibration[:, 0], model.label_calibration[:, 1]
    k = len(model.classes)
    return np.full(k, 1.0 / float(model.scale or 1.0)), np.zeros(k)


def calibrations_of(decision_values: np.ndarray, truth: np.ndarray) -> np.ndarray:
    """(classes, 2): each label's (slope, offset) of the logistic of slope x decision + offset with
    the least log loss on these held-out texts (Platt's scaling, one label at a time), pulled toward
    the one pair fitted on every label at once by CALIBRATION_PRIOR texts' worth, so that a label
    with few positives gets nearly the common pair. The slope stays positive: the probability rises
    with the decision, and passes the label's threshold exactly where the decision passes 0."""
    truth = truth.astype(np.float64)
    common = _platt(decision_values.ravel(), truth.ravel(), np.array([1.0, 0.0]), 0.0)
    return np.array([_platt(decision_values[:, j], truth[:, j], common, CALIBRATION_PRIOR)
                     for j in range(decision_values.shape[1])])


def _platt(d: np.ndarray, t: np.ndarray, prior: np.ndarray, weight: float) -> np.ndarray:
    """(a, b) maximizing the log likelihood of t under the logistic of a x d + b, minus weight / 2
    times the squared distance to `prior` (in units of one text's information): Newton's method."""
    ab = prior.copy()
    scale = np.array([max(float(np.mean(d * d)), 1e-12), 1.0])  # the prior's weight per coordinate
    for _ in range(50):
        p = 0.5 * (1.0 + np.tanh(0.5 * (ab[0] * d + ab[1])))
        r = t - p
        w = p * (1.0 - p)
        gradient = np.array([np.dot(r, d), r.sum()]) - weight * scale * (ab - prior)
        hessian = -np.array([[np.dot(w, d * d), np.dot(w, d)], [np.dot(w, d), w.sum()]]) - np.diag(weight * scale)
        hessian -= np.eye(2) * 1e-9
        step = np.linalg.solve(hessian, gradient)
        ab = ab - step
        ab[0] = max(ab[0], 1e-6)
        if np.abs(step).max() < 1e-9:
            break
    return ab


def predict(model: Model, texts: list[str], min_labels: int) -> np.ndarray:
    return decide(decision(model, texts), min_labels)


def subset_accuracy(model: Model, texts: list[str], y: Any, min_labels: int) -> float:
    """The share of texts whose predicted label set is exactly theirs (scikit-learn's accuracy_score
    on indicator matrices)."""
    truth = truth_indicator(model.classes, y)
    predicted = predict(model, texts, min_labels)
    if len(predicted) != len(truth):
        raise ValueError(f"X and y have different lengths: {len(predicted)} texts, {len(truth)} label sets")
    return float(np.mean(np.all(predicted.astype(bool) == truth, axis=1))) if len(truth) else 0.0


def truth_indicator(classes: np.ndarray, y: Any) -> np.ndarray:
    """y (multi-label) as an indicator over `classes` (labels not among them are left out)."""
    found = targets(y)
    if found is None:
        raise ValueError("this model is multi-label: y must be label sets or a label indicator matrix")
    given, indicator = found
    width = getattr(y, "shape", (0, 0))[1] if getattr(y, "ndim", 1) == 2 else None
    if width is not None and width != len(classes):
        raise ValueError(f"y is a label indicator matrix of {width} columns; this model has {len(classes)} classes "
                         f"(one column per class, in the order of classes_)")
    out = np.zeros((len(indicator), len(classes)), dtype=bool)
    index = {c: i for i, c in enumerate(classes.tolist())}
    for j, c in enumerate(given.tolist()):
        if c in index:
            out[:, index[c]] = indicator[:, j]
    return out


def metrics(truth: np.ndarray, predicted: np.ndarray, decision_values: np.ndarray) -> dict[str, Any]:
    """micro, macro and samples F1 and precision at 1 of an indicator `predicted` against `truth`
    (bool, same columns), with scikit-learn's conventions (0 where undefined); macro F1 averages the
    classes that occur in the truth or in the answers; precision at 1: the share of texts whose best
    class (highest decision value) is one of theirs. Also per class (precision, recall, F1, support)."""
    said = predicted > 0
    tp = np.sum(truth & said, axis=0)
    support, answered = truth.sum(axis=0), said.sum(axis=0)
    precision = np.divide(tp, answered, out=np.zeros(len(tp)), where=answered > 0)
    recall = np.divide(tp, support, out=np.zeros(len(tp)), where=support > 0)
    f1 = np.divide(2 * precision * recall, precision + recall, out=np.zeros(len(tp)), where=precision + recall > 0)
    present = (support > 0) | (answered > 0)
    per_text_tp = np.sum(truth & said, axis=1)
    per_text_total = truth.sum(axis=1) + said.sum(axis=1)
    samples = np.divide(2 * per_text_tp, per_text_total, out=np.zeros(len(truth)), where=per_text_total > 0)
    top = np.argmax(decision_values, axis=1) if len(truth) else np.zeros(0, dtype=np.int64)
    return {
        "micro_f1": micro_f1(truth, said),
        "macro_f1": float(f1[present].mean()) if present.any() else 0.0,
        "samples_f1": float(samples.mean()) if len(truth) else 0.0,
        "precision_at_1": float(np.mean(truth[np.arange(len(truth)), top])) if len(truth) else 0.0,
        "per_class": list(zip(precision.tolist(), recall.tolist(), f1.tolist(), support.tolist())),
    }


def label_sets(classes: Iterable[Any], predicted: np.ndarray) -> list[list[Any]]:
    """The classes of each row of an indicator."""
    names = list(classes)
    return [[names[j] for j in np.flatnonzero(row).tolist()] for row in predicted]
