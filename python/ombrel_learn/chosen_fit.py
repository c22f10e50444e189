"""fit's model when the settings leave something to choose: the candidate the choice keeps, fitted
on every training text, with predict_proba's temperature measured on held-out rows."""

from __future__ import annotations

import concurrent.futures
import dataclasses
from typing import Any

import numpy as np

from . import calibration, learners, progress
from .choice import AUTO_FLOAT_MEMORY, choose, needed, variant
from .featurizing import Featurized
from .fitted_model import Model
from .settings import SAMPLE_WEIGHT_LEARNERS, Settings
from .training import train_linear_cached, train_model


def _repeated(settings: Settings, texts: list[str], y: list[int], sample_weight: np.ndarray
              ) -> tuple[list[str], list[int]]:
    """The field learner's steps are whole integers and cannot be scaled by a weight; a whole-number
    weight n is the text presented n times (as scikit-learn's bagging weighs by counts): the texts
    repeated, then shuffled again with the fit's seed. Other weights are refused."""
    if not np.array_equal(sample_weight, np.round(sample_weight)):
        raise ValueError(f"sample_weight is honoured by learner {', '.join(map(repr, SAMPLE_WEIGHT_LEARNERS))} "
                         f"(and learner='auto', which then compares only those); learner {settings.learner!r} "
                         f"takes whole-number weights only (a text presented that many times)")
    total = float(sample_weight.sum(dtype=np.float64))
    if total > max(10 * len(texts), 100_000):
        raise ValueError(f"sample_weight adds up to {total:.0f} presentations of {len(texts)} texts for learner "
                         f"{settings.learner!r}; scale the weights down (at most 10 per text on average)")
    rows = np.repeat(np.arange(len(texts)), sample_weight.astype(np.int64))
    np.random.default_rng(settings.random_state).shuffle(rows)
    return [texts[i] for i in rows.tolist()], [y[i] for i in rows.tolist()]


def fit_chosen(settings: Settings, texts: list[str], y: list[int], classes: np.ndarray, report: dict[str, Any],
               sample_weight: np.ndarray | None = None) -> tuple[Model, float | None]:
    """fit's model of the (already shuffled) texts with class indices y (and weights, in the same
    order), and its alpha: the candidate the choice keeps (when the settings leave something to
    choose; what it measured goes to `report`) fitted on every text, with predict_proba's
    temperature."""
    if sample_weight is not None and settings.learner not in ("auto",) + SAMPLE_WEIGHT_LEARNERS:
        texts, y = _repeated(settings, texts, y, sample_weight)
        sample_weight = None
    kind, learner, alpha = settings.features, settings.learner, settings.alpha
    # The ids the choice made of the training texts: the final fit reuses those of all of them.
    featurized: dict[str, Featurized] = {}
    if needed(settings):
        with progress.phase(settings.verbose, "choosing features and learner"):
            kind, learner, alpha = choose(settings, texts, y, len(classes), report, featurized, sample_weight)
    cached = featurized.get(kind)
    # The choice compares variants of the word features (stop words and stemming, word pairs):
    # the model is made of the concrete settings of the one chosen.
    kind, concrete = variant(settings, kind)
    if learner == "field" and concrete.weighting == "sublinear":  # the field learner sees each token once
        concrete = dataclasses.replace(concrete, weighting="tfidf")
    # predict_proba's temperature: the same learner fitted on 80% of a sample, scored on the rest.
    # The field learner's held-out field is let go before the final one is made (a field of many
    # hash buckets is large).
    quiet = dataclasses.replace(concrete, verbose=False)
    per_unit = None
    if learner == "field":
        per_unit = calibration.held_out_temperature(texts, y, None, lambda part, part_y: (
            train_model(quiet, kind, part, part_y, classes, int(settings.epochs), learner, alpha)))
    made: dict[str, Any] = {}  # the training texts' ids under the final model's features
    pending: list[concurrent.futures.Future[float | None]] = []
    with concurrent.futures.ThreadPoolExecutor(1) as side:
        def beside(ids: Any, features: int) -> None:
            # A float learner's calibration fits its part on the final fit's ids while the final model
            # trains (both release the interpreter lock), where two such models fit in memory at once.
            if 2 * features * len(classes) * learners.FLOAT_BYTES_PER_CELL <= AUTO_FLOAT_MEMORY:
                pending.append(side.submit(calibration.float_temperature, quiet, kind, texts, y, len(classes),
                                           learner, alpha, None, ids, features, sample_weight))
        if learner != "field" and cached is not None and cached.rows == len(texts):
            model = train_linear_cached(concrete, cached, y, classes, learner, alpha, made, sample_weight, beside)
        else:
            model = train_model(concrete, kind, texts, y, classes, int(settings.epochs), learner, alpha, made,
                                sample_weight, None if learner == "field" else beside)
        if learner != "field":
            per_unit = pending[0].result() if pending else calibration.float_temperature(
                quiet, kind, texts, y, len(classes), learner, alpha, None, made.get("ids"), made.get("features"),
                sample_weight)
    model.feature_params = concrete.feature_params(kind)
    if per_unit is not None:
        model.temperature = per_unit * model.units()
    return model, alpha
