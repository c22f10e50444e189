"""The four learners on token ids: the float learners of `linear` (naive Bayes, SGD, the averaged
perceptron) with the memory check and defaults the estimator gives them, and the field's own
margin training.

The field's training: shuffled once (by the caller), then `epochs` passes in chunks of `chunk`
texts; the texts of a chunk whose class does not win by `margin` (one probe neuron per class
carries the margin) are then trained with `amplify` / `suppress`. Deterministic: the same data and
settings give the same model.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import ombrel

from .. import _native
from ..base import progress
from ..base.validation import check_memory
from . import fields, linear
from .settings import Settings

SGD_ALPHA = 1e-4
# learner="svm": the loss's weight C with alpha=None (LinearSVC's default); a given alpha is the penalty
# in SGD's terms (alpha / 2 |w|^2 + the mean loss), C = 1 / (alpha x texts).
SVM_C = 1.0
# The linear SVM's stopping spread of the projected gradient, and its most passes (LIBLINEAR's
# command-line defaults; a tighter 1e-3 took 2-3x the passes for the same accuracy on banking77).
SVM_TOL = 0.1
SVM_MAX_PASSES = 1000
# weighting="tfidf" or "sublinear": the value of the constant feature that stands for the intercept, before each
# row is normalized (measured 1 and 3 alike; 1 is liblinear's bias).
BIAS_FEATURE = 1.0
# A float learner's peak memory per (token neuron, class) cell: its float32 weights plus the counts,
# averages and the cut model's refit that exist beside them at some point (measured: 16 bytes).
FLOAT_BYTES_PER_CELL = 16


def fit_float(settings: Settings, learner: str, alpha: float | None, documents: Any, y: Any, features: int,
              k: int, *, epochs: int | None = None, seed: int | None = None,
              initial: linear.LinearModel | None = None, first_step: int = 0,
              sample_weight: Any = None) -> linear.LinearModel:
    """The float model of `learner` on these ids (alpha None: the learner's default); sample_weight:
    None, or one weight per text."""
    check_memory(features * k * FLOAT_BYTES_PER_CELL, f"learner {learner!r} on {features:,} token neurons "
                 f"x {k:,} classes", "use learner='field', or fewer tokens (min_df, buckets)")
    if learner == "naive_bayes":
        return linear.fit_naive_bayes(documents, y, features, k, alpha=1.0 if alpha is None else float(alpha),
                                      sample_weight=sample_weight)
    seed = settings.random_state if seed is None else seed
    epochs = int(settings.epochs) if epochs is None else epochs
    if settings.weighting != "binary" and initial is None:  # TF-IDF rows, with the tf the ids carry
        return fit_weighted(settings, learner, alpha, documents, y, features, k, epochs, seed, sample_weight)
    if learner == "svm":
        return fit_svm(settings, alpha, documents, y, features, k, seed, sample_weight)
    if learner == "sgd":
        return linear.fit_sgd(documents, y, features, k, loss=settings.loss,
                              alpha=SGD_ALPHA if alpha is None else float(alpha), epochs=epochs,
                              class_weight=class_weights(settings), random_state=seed, initial=initial,
                              first_step=first_step, sample_weight=sample_weight)
    return linear.fit_perceptron(documents, y, features, k, epochs=epochs, random_state=seed, initial=initial,
                                 sample_weight=sample_weight)


def text_weights(settings: Settings, y: np.ndarray, k: int, sample_weight: np.ndarray | None) -> np.ndarray | None:
    """One weight per text: its sample weight (None: 1) times the class_weight of its class, as
    scikit-learn's estimators weigh a text by both (class_weight "balanced": texts / (classes x the
    class's texts), counted on y, unweighted); None when neither is given. REQUIRES: a class_weight
    by label made one weight per class (`Settings.indexed`)."""
    if settings.class_weight is None:
        return sample_weight
    counts = np.bincount(y, minlength=k)
    if isinstance(settings.class_weight, str):  # "balanced" (the only name Settings.check lets through)
        per_class = np.divide(len(y), np.count_nonzero(counts) * counts.astype(np.float64),
                              out=np.ones(k), where=counts > 0)
    else:
        per_class = np.asarray(class_weights(settings), dtype=np.float64)
    weights = per_class[y] if sample_weight is None else per_class[y] * sample_weight
    with np.errstate(over="ignore"):
        weights = weights.astype(np.float32)
    if not np.isfinite(weights).all():
        raise ValueError("sample_weight times class_weight exceeds 3.4e38 for some text: scale the weights down")
    if not weights.any():
        raise ValueError("sample_weight times class_weight is 0 for every text: nothing to learn from")
    return weights


def presented(settings: Settings, texts: list[str], y: list[int], sample_weight: np.ndarray
              ) -> tuple[list[str], list[int]]:
    """The texts as the field learner sees weighted texts. Its steps are whole integers and cannot be
    scaled by a weight: a text of weight w is presented w times when w is a whole number (as
    scikit-learn's bagging weighs by counts), else floor(w) times and once more with probability
    w - floor(w) (drawn with the fit's seed), so that it counts w times on average; then the texts are
    shuffled again with the seed. A class_weight "balanced" thus presents about as many texts as
    there are, the small classes' several times and some of a large class's not at all."""
    weights = np.asarray(sample_weight, dtype=np.float64)
    whole = np.floor(weights)
    seed = settings.random_state
    draws = np.random.default_rng(None if seed is None else [int(seed), 1]).random(len(weights))
    counts = (whole + (draws < weights - whole)).astype(np.int64)
    total = int(counts.sum())
    if total > max(10 * len(texts), 100_000):
        raise ValueError(f"sample_weight (times class_weight) adds up to {total} presentations of {len(texts)} texts "
                         f"for learner 'field', which presents a text as many times as its weight; scale the weights "
                         f"down (at most 10 per text on average)")
    if total == 0:
        raise ValueError("sample_weight (times class_weight) presents no text to learner 'field', which presents a "
                         "text as many times as its weight (on average): scale the weights up")
    rows = np.repeat(np.arange(len(texts)), counts)
    np.random.default_rng(seed).shuffle(rows)
    return [texts[i] for i in rows.tolist()], [y[i] for i in rows.tolist()]


def class_weights(settings: Settings) -> Any:
    """SGD's class_weight: None, "balanced" or one weight per class (`Settings.indexed` made a
    class_weight by label into that, where the classes are known)."""
    if isinstance(settings.class_weight, dict):
        raise ValueError("a class_weight by label applies to fit on single labels, where the classes are known; "
                         "use class_weight='balanced' here")
    return settings.class_weight


def idf_weights(documents: Any, features: int) -> tuple[np.ndarray, int]:
    """(smoothed idf of each feature, texts): ln((1 + texts) / (1 + df)) + 1, as scikit-learn's
    TfidfVectorizer weighs a term; df counts the texts of each id (the repeats of a counted token,
    one after another, count once)."""
    tokens, offsets = linear.id_arrays(documents)
    texts = len(offsets) - 1
    df = linear.document_frequency((tokens, offsets), features).astype(np.float64)
    return (np.log((1.0 + texts) / (1.0 + df)) + 1.0).astype(np.float32), texts


def fit_weighted(settings: Settings, learner: str, alpha: float | None, documents: Any, y: Any, features: int,
                 k: int, epochs: int, seed: int | None, sample_weight: Any = None) -> linear.LinearModel:
    """SGD or the perceptron on TF-IDF rows (the tf the ids carry: binary, or a counted token
    repeated round(1 + ln n) times; smoothed idf; each row scaled to unit L2 norm), returned as a
    model of the rows the field presents, with the same argmax.

    The idf is a per-token scale: folded into that token's weights. The norm is a per-text scale,
    which changes no argmax, except against an intercept: so the intercept is that of a constant
    feature of value BIAS_FEATURE in every row, normalized with the row like any other (learned as
    an intercept: unpenalized, with its smaller steps). Multiplying a text's scores by its norm
    then gives idf-folded weights summed over its ids plus BIAS_FEATURE times the intercept: a bias
    the field's bias neurons carry exactly."""
    idf, texts = idf_weights(documents, features)
    norms = linear.row_norms(documents, idf, extra=BIAS_FEATURE)
    row_scale = np.float32(BIAS_FEATURE) / norms  # the intercept's input: BIAS_FEATURE, scaled with its row
    scale = idf / np.float32(BIAS_FEATURE)
    if learner == "svm":
        model = fit_svm(settings, alpha, documents, y, features, k, seed, sample_weight, feature_scale=scale,
                        row_scale=row_scale, intercept_by_row=True)
    elif learner == "sgd":
        model = linear.fit_sgd(documents, y, features, k, loss=settings.loss,
                               alpha=SGD_ALPHA if alpha is None else float(alpha), epochs=epochs,
                               class_weight=class_weights(settings), random_state=seed, feature_scale=scale,
                               row_scale=row_scale, intercept_by_row=True, sample_weight=sample_weight)
    else:
        model = linear.fit_perceptron(documents, y, features, k, epochs=epochs, random_state=seed,
                                      feature_scale=scale, row_scale=row_scale, intercept_by_row=True,
                                      sample_weight=sample_weight)
    # Scores times norm / BIAS_FEATURE: weights * idf / BIAS_FEATURE summed over the ids, plus the bias.
    return linear.LinearModel(model.weights * scale[:, None], model.bias)


def fit_svm(settings: Settings, alpha: float | None, documents: Any, y: Any, features: int, k: int,
            seed: int | None, sample_weight: Any = None, **scales: Any) -> linear.LinearModel:
    """The linear SVM (squared hinge, dual coordinate descent) of these rows; C from alpha as SVM_C says."""
    texts = len(y)
    c = SVM_C if alpha is None else 1.0 / (float(alpha) * max(1, texts))
    fit = linear.fit_linear_svm(documents, y, features, k, C=c, tol=SVM_TOL, max_passes=SVM_MAX_PASSES,
                                class_weight=class_weights(settings), random_state=seed,
                                sample_weight=sample_weight, **scales)
    return fit.model


def as_the_field_holds(settings: Settings, model: linear.LinearModel, documents: Any, labels: Any,
                       k: int, sample_weight: Any = None) -> linear.LinearModel:
    """With more than 8 classes, the float model cut to 8 per token and refitted in that form (what
    the field will hold, before rounding); else the model itself.

    The refit is a short correction toward the cut form of a model that already holds the sample
    weights: it takes each text of weight above 0 once (a text of weight 0 stays out). Steps scaled
    by the weights themselves overshoot on the heavy texts (GoEmotions' single-label texts with
    balanced weights: macro F1 0.426 with presence, 0.397 with the weights)."""
    if k > linear.FIELD_SLOTS:
        present = None
        if sample_weight is not None and not np.all(np.asarray(sample_weight) > 0):
            present = (np.asarray(sample_weight) > 0).astype(np.float32)
        return linear.refit_cut(model, documents, labels, random_state=settings.random_state,
                                sample_weight=present)
    return model


def new_field(settings: Settings, token_neurons: int, k: int) -> ombrel.OmbrelField:
    """One sensory neuron per token plus one margin probe per class: the probe of class c is
    id token_neurons + c with the single synapse (c, -margin)."""
    sensory = token_neurons + k
    check_memory(sensory * fields.NEURON_BYTES, f"a field of {sensory:,} sensory neurons ({token_neurons:,} tokens)",
                 "use fewer buckets" if settings.buckets else "raise min_df")
    field = ombrel.OmbrelField(sensory, k)
    add_probes(settings, field, token_neurons, k)
    return field


def add_probes(settings: Settings, field: ombrel.OmbrelField, token_neurons: int, k: int) -> None:
    margin = int(settings.margin)
    if margin:
        for c in range(k):
            field.train_stream([token_neurons + c], c, -min(margin, 32768), 0)


def train_passes(settings: Settings, field: ombrel.OmbrelField, documents: _native.IdBatch, y: list[int],
                 epochs: int) -> None:
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
    probe = 1 if int(settings.margin) else 0  # without a margin, the probe is not consulted
    reset, predict, train = field.reset_potentials, field.predict, field.train_stream
    amplify, suppress = int(settings.amplify), int(settings.suppress)
    n = len(y)
    chunk = max(1, int(settings.chunk))
    with progress.phase(settings.verbose, "training", epochs * n, "texts") as bar:
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


def float_peak_bytes(data: Any, classes: int, total_bytes: int, data_bytes: int, parallel: int = 1) -> int:
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
