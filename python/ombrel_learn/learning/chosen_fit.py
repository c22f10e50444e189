"""fit's model when the settings leave something to choose: the candidate the choice keeps, fitted
on every training text, with predict_proba's temperature measured on held-out rows."""

from __future__ import annotations

import concurrent.futures
import dataclasses
from typing import Any

import numpy as np

from ..base import progress
from . import calibration, learners
from .choice import AUTO_FLOAT_MEMORY, choose, needed, variant
from .featurizing import Featurized
from .fitted_model import Model
from .settings import SAMPLE_WEIGHT_LEARNERS, Settings
from .training import train_linear_cached, train_model


def fit_chosen(settings: Settings, texts: list[str], y: list[int], classes: np.ndarray, report: dict[str, Any],
               sample_weight: np.ndarray | None = None) -> tuple[Model, float | None]:
    """fit's model of the (already shuffled) texts with class indices y (and weights, in the same
    order), and its alpha: the candidate the choice keeps (when the settings leave something to
    choose; what it measured goes to `report`) fitted on every text, with predict_proba's
    temperature."""
    kind, learner, alpha = settings.features, settings.learner, settings.alpha
    # The ids the choice made of the training texts: the final fit reuses those of all of them.
    featurized: dict[str, Featurized] = {}
    if needed(settings):
        with progress.phase(settings.verbose, "choosing features and learner"):
            kind, learner, alpha = choose(settings, texts, y, len(classes), report, featurized, sample_weight)
    # The field learner presents a weighted text as many times as its weight says (learners.presented).
    presentations = sample_weight if learner not in SAMPLE_WEIGHT_LEARNERS else None
    if presentations is not None:
        sample_weight = None
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
        def part_model(part: list[str], part_y: list[int]) -> Model:
            # The part's texts are the first of the training texts (scored on the next ones, each once).
            if presentations is not None:
                part, part_y = learners.presented(settings, part, part_y, presentations[:len(part)])
            return train_model(quiet, kind, part, part_y, classes, int(settings.epochs), learner, alpha)
        per_unit = calibration.held_out_temperature(texts, y, None, part_model)
    if presentations is not None:
        texts, y = learners.presented(settings, texts, y, presentations)
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
