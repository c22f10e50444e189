"""Probabilities from potentials: a softmax over each text's class potentials divided by a
temperature T, fitted on held-out rows.

`fit_temperature(potentials, y)` chooses the T that minimises the log loss of softmax(potentials /
T) on rows whose classes are known: a one-dimensional search on log T. `held_out_temperature`
gives the T of a fitted model: the same learner, with the same settings, is fitted on 80% of at
most HELD_OUT_SAMPLE of the (shuffled) training texts, and the other 20% are scored with it. So a
fit's cost grows by at most one fit on 16,000 texts, whatever the size of the training set; for a
float learner (`float_temperature`) only its float model, on the ids the automatic choice already
made when it made them of every text.

Units. T is carried from the held-out model to the full one in units of each model's own scores
(`Model.units`): T_full = T_held_out / units_held_out * units_full. A compiled float model's
potentials are its scores times its scale (chosen by the compiler for each model). The field's own
learner has no scale, and its weights grow with the number of texts it trains on (more training
steps); its unit is the root mean square of its synapse weights, which follows that growth
(bench/bench_probabilities.py measures how well T carries over: the fitted T against the one that
fits the test set best).
"""

from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

from . import featurizing, learners, linear, training

# At most this many training texts take part in the held-out fit (80% fitted, 20% scored).
HELD_OUT_SAMPLE = 20_000
HELD_OUT_SHARE = 0.2
# Below this many training texts there is too little to hold out: the model keeps its default
# temperature (Model.softmax_temperature).
MIN_CALIBRATION_TEXTS = 50
# The search on log T: a grid over SEARCH_DECADES powers of ten on each side of the potentials'
# spread, then golden-section steps inside the best grid cell.
SEARCH_DECADES = 6.0
GRID_POINTS = 49
REFINE_STEPS = 40


def _smoothed_loss(z: np.ndarray, y: np.ndarray, smoothing: float) -> Callable[[float], float]:
    n, k = z.shape
    rows = np.arange(n)
    # Targets: 1 - smoothing on the true class, the rest spread over the others.
    other = smoothing / (k - 1)
    keep = 1.0 - smoothing - other

    def loss(log_t: float) -> float:
        s = z / math.exp(log_t)
        log_norm = np.log(np.exp(s).sum(axis=1))  # s <= 0 with a 0 in each row: no overflow
        log_p_true = s[rows, y] - log_norm
        mean_log_p = s.sum(axis=1) / k - log_norm  # the mean of each row's log-probabilities
        return float(-(keep * log_p_true + other * k * mean_log_p).mean())
    return loss


def fit_temperature(potentials: Any, y: Any) -> float:
    """The temperature T > 0 that minimises the mean log loss of softmax(potentials / T) against
    class indices y ((rows, classes) potentials, y in 0 .. classes - 1).

    The targets are smoothed by Laplace's rule (the true class weighs 1 - 1 / (rows + 2), the rest
    is shared by the other classes), so rows that are all classified right, with room to spare,
    still give a finite T instead of driving it to 0 (certainty no held-out sample shows)."""
    z = np.asarray(potentials, dtype=np.float64)
    labels = np.asarray(y, dtype=np.intp)
    if z.ndim != 2 or z.shape[1] < 2 or z.shape[0] == 0 or labels.shape != (z.shape[0],):
        raise ValueError("fit_temperature needs (rows, classes >= 2) potentials and one class index per row")
    if labels.min() < 0 or labels.max() >= z.shape[1]:
        raise ValueError("class indices beyond the potentials' columns")
    if not np.isfinite(z).all():
        raise ValueError("potentials must be finite")
    z = z - z.max(axis=1, keepdims=True)
    spread = float(np.abs(z).mean()) * z.shape[1] / (z.shape[1] - 1)
    if spread == 0.0:
        return 1.0  # every potential ties: any T gives the same, uniform, probabilities
    loss = _smoothed_loss(z, labels, 1.0 / (len(labels) + 2))
    centre = math.log(spread)
    width = SEARCH_DECADES * math.log(10.0)
    grid = np.linspace(centre - width, centre + width, GRID_POINTS)
    values = [loss(float(u)) for u in grid]
    best = int(np.argmin(values))
    lo, hi = float(grid[max(best - 1, 0)]), float(grid[min(best + 1, GRID_POINTS - 1)])
    # Golden-section search inside the grid's best bracket (the loss is smooth in log T there).
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    a, b = lo + (1 - ratio) * (hi - lo), lo + ratio * (hi - lo)
    fa, fb = loss(a), loss(b)
    for _ in range(REFINE_STEPS):
        if fa <= fb:
            hi, b, fb = b, a, fa
            a = lo + (1 - ratio) * (hi - lo)
            fa = loss(a)
        else:
            lo, a, fa = a, b, fb
            b = lo + ratio * (hi - lo)
            fb = loss(b)
    candidates = [(values[best], float(grid[best])), (fa, a), (fb, b)]
    return math.exp(min(candidates)[1])


def held_out_split(n: int) -> tuple[int, int]:
    """(fitted, scored): the first `fitted` texts are fitted, the next `scored` scored (the texts are
    already shuffled)."""
    used = min(n, HELD_OUT_SAMPLE)
    scored = max(1, int(round(used * HELD_OUT_SHARE)))
    return used - scored, scored


def held_out_temperature(texts: list[str], y: list[int], model: Any,
                         fit: Callable[[list[str], list[int]], Any]) -> float | None:
    """The temperature of fitted model `model` (in its potential units; model None: per unit, to be
    multiplied by the units of the model it is for), from a model that
    `fit(texts, y)` makes (the same learner and settings) on 80% of at most HELD_OUT_SAMPLE of the
    shuffled training texts, scored on the other 20%. None when there are too few texts, or the
    fitted part holds a single class (the model then keeps its default)."""
    if len(texts) < MIN_CALIBRATION_TEXTS:
        return None
    fitted, scored = held_out_split(len(texts))
    if len(set(y[:fitted])) < 2:
        return None
    part = fit(texts[:fitted], y[:fitted])
    potentials = part.potentials(texts[fitted:fitted + scored])
    t = fit_temperature(potentials, np.asarray(y[fitted:fitted + scored], dtype=np.intp)) / part.units()
    return t if model is None else t * model.units()


def float_temperature(settings: Any, kind: str, texts: list[str], y: list[int], k: int, learner: str,
                      alpha: float | None, model: Any, ids: Any = None, features: int | None = None,
                      sample_weight: Any = None) -> float | None:
    """held_out_temperature for a float learner, without compiling the held-out model: its float
    model, as the field will hold it, scores the held-out texts in its own units (the compiled
    model's potentials are those times its scale, plus one constant per text, which no softmax
    sees). `ids`: the ids of every training text under the final model's `features` (a vocabulary
    of all of them: a token that only held-out texts hold gets no weight from the part fitted, so
    it changes no held-out score), so that nothing is tokenized again; None: the part is
    tokenized. sample_weight: the texts' weights, which the part's fit honours (the temperature is
    fitted on the held-out texts unweighted). model None: the temperature per unit of the
    potentials, to be multiplied by the units of the model it is for."""
    if len(texts) < MIN_CALIBRATION_TEXTS:
        return None
    fitted, scored = held_out_split(len(texts))
    if len(set(y[:fitted])) < 2:
        return None
    labels = np.asarray(y[:fitted + scored], dtype=np.uint32)
    if ids is not None and features is not None:
        tokens, offsets = linear.id_arrays(ids)
        first, middle, end = int(offsets[0]), int(offsets[fitted]), int(offsets[fitted + scored])
        documents = (tokens[first:middle], offsets[:fitted + 1] - first)
        held_ids = (tokens[middle:end], offsets[fitted:fitted + scored + 1] - middle)
    else:
        spec, vocabulary, buckets, documents = training.float_features(settings, kind, texts[:fitted], y[:fitted], k,
                                                                       learner)
        features = buckets or len(vocabulary or ())
        held_ids = featurizing.transform(spec, vocabulary, buckets, texts[fitted:fitted + scored])
    part_weight = None if sample_weight is None else sample_weight[:fitted]
    floating = learners.fit_float(settings, learner, alpha, documents, labels[:fitted], features, k,
                                  sample_weight=part_weight)
    floating = learners.as_the_field_holds(settings, floating, documents, labels[:fitted], k, part_weight)
    scores = floating.decision_function(held_ids)
    per_unit = fit_temperature(scores, labels[fitted:].astype(np.intp))
    return per_unit if model is None else per_unit * model.units()


def log_probabilities(potentials: Any, temperature: float) -> np.ndarray:
    """log softmax(potentials / temperature) of each row, float64, without underflow to -inf for a
    class far behind."""
    z = np.asarray(potentials, dtype=np.float64) / temperature
    z -= z.max(axis=1, keepdims=True)
    return z - np.log(np.exp(z).sum(axis=1, keepdims=True))


def top_k(proba: np.ndarray, labels: list[Any], k: int, threshold: float) -> list[list[tuple[Any, float]]]:
    """For each row of probabilities, up to k (label, probability) pairs, most probable first (ties
    in column order), only those >= threshold. ValueError for k < 1 or a threshold outside 0..1."""
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)) or k < 1:
        raise ValueError(f"k must be an integer >= 1, got {k!r}")
    if isinstance(threshold, bool) or not isinstance(threshold, (int, float, np.integer, np.floating)) or \
            not 0.0 <= float(threshold) <= 1.0:
        raise ValueError(f"threshold must be a number between 0 and 1, got {threshold!r}")
    order = np.argsort(-proba, axis=1, kind="stable")[:, :min(int(k), proba.shape[1])]
    best = np.take_along_axis(proba, order, axis=1)
    return [[(labels[c], p) for c, p in zip(row_order, row_p) if p >= threshold]
            for row_order, row_p in zip(order.tolist(), best.tolist())]
