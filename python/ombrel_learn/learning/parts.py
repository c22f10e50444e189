"""Training in parts (a distributed fit), in hashing mode with a fixed feature kind: naive Bayes
counts that add up, and float models trained one pass per part and averaged (iterative parameter
mixing); either is compiled into the field at the end."""

from __future__ import annotations

import random
from typing import Any

import numpy as np

from ..base.validation import as_labels, as_texts, check_lengths, check_texts
from . import featurizing, learners, linear
from .fitted_model import Model, compiled_model
from .settings import Settings


def check_counting(settings: Settings, work: str = "counting") -> str:
    """The feature kind of training in parts, after checking that the settings allow it."""
    settings.check()
    if not settings.buckets:
        raise ValueError(f"{work} in parts needs buckets > 0: a vocabulary built on one part "
                         "would not number the tokens of another alike")
    if settings.features == "auto":
        raise ValueError(f"{work} in parts needs features='words' or 'chars' (no part sees all "
                         "the texts to choose on)")
    if settings.class_weight is not None and (work == "counting" or settings.learner != "sgd"):
        # A part sees neither every class's texts ("balanced") nor, for naive Bayes' counts, a step
        # to weigh: SGD's parts weigh their own steps.
        raise ValueError(f"{work} in parts takes a class_weight with learner='sgd' only; weigh the texts of "
                         f"one part by their classes with fit(..., sample_weight=...) on the whole set instead")
    return str(settings.features)


def check_mixing(settings: Settings) -> str:
    kind = check_counting(settings, "training")
    if settings.learner not in ("sgd", "perceptron"):
        raise ValueError(f"training in parts needs learner='sgd' or 'perceptron', not {settings.learner!r} "
                         f"(naive Bayes adds up counts: see count)")
    return kind


def part(X: Any, y: Any, classes: Any) -> tuple[list[str], np.ndarray, np.ndarray]:
    """(texts, class index of each, all classes) of one part of a training set."""
    texts = as_texts(X)
    check_texts(texts)
    labels = as_labels(y)
    all_classes = np.unique(as_labels(classes))
    check_lengths(texts, labels)
    index = np.clip(np.searchsorted(all_classes, labels), 0, max(0, len(all_classes) - 1))
    if len(labels) and (all_classes[index] != labels).any():
        raise ValueError("y holds labels not in classes")
    return texts, index.astype(np.uint32), all_classes


def count(settings: Settings, X: Any, y: Any, classes: Any) -> linear.NaiveBayesCounts:
    kind = check_counting(settings)
    texts, index, all_classes = part(X, y, classes)
    ids = featurizing.transform(settings.spec(kind), None, int(settings.buckets), texts)
    return linear.count_naive_bayes(ids, index, int(settings.buckets), len(all_classes))


def counts_model(settings: Settings, counts: linear.NaiveBayesCounts, classes: Any) -> tuple[Model, float]:
    """(the fitted model of naive Bayes counts, the smoothing it used)."""
    kind = check_counting(settings)
    all_classes = np.unique(as_labels(classes))
    k = len(all_classes)
    if len(all_classes) < 2:
        raise ValueError(f"fit_counts needs at least two classes, got {all_classes.tolist()!r}")
    if counts.feature_counts.shape != (int(settings.buckets), k):
        raise ValueError(f"counts are {counts.feature_counts.shape}, expected ({settings.buckets}, {k})")
    alpha = 1.0 if settings.alpha is None else float(settings.alpha)
    model = counts.to_model(alpha)
    return compiled_model(kind, settings.spec(kind), None, int(settings.buckets), all_classes, model,
                          "naive_bayes"), alpha


def fit_part(settings: Settings, X: Any, y: Any, classes: Any, initial: linear.LinearModel | None, round: int,
             cut: bool) -> linear.LinearModel:
    """One pass of the float learner over one part (see OmbrelClassifier.fit_part)."""
    kind = check_mixing(settings)
    # Rounds average models of one feature space: presence, not an idf of each part's own texts.
    settings = settings.presence()
    texts, labels, all_classes = part(X, y, classes)
    k = len(all_classes)
    seed = None if settings.random_state is None else int(settings.random_state) + int(round)
    order = list(range(len(texts)))
    random.Random(seed).shuffle(order)
    ids = featurizing.transform(settings.spec(kind), None, int(settings.buckets), [texts[i] for i in order])
    labels = labels[order]
    if cut:
        if initial is None:
            raise ValueError("cut=True trains a given model further: pass initial=")
        return linear.refit_cut(initial, ids, labels, random_state=seed)
    # SGD's step size continues from the part's earlier rounds (round passes over its texts)
    # instead of starting over with the largest steps, which would undo much of the average.
    return learners.fit_float(settings, settings.learner, settings.alpha, ids, labels, int(settings.buckets), k,
                              epochs=1, seed=seed, initial=initial, first_step=int(round) * len(texts))


def mixed_model(settings: Settings, model: linear.LinearModel, classes: Any) -> Model:
    """The fitted model of a float model made elsewhere (rounds of fit_part, averaged)."""
    kind = check_mixing(settings)
    all_classes = np.unique(as_labels(classes))
    k = len(all_classes)
    if k < 2:
        raise ValueError(f"fit_model needs at least two classes, got {all_classes.tolist()!r}")
    if model.weights.shape != (int(settings.buckets), k):
        raise ValueError(f"the model is {model.weights.shape}, expected ({settings.buckets}, {k})")
    settings = settings.presence()  # as fit_part trained it
    compiled = compiled_model(kind, settings.spec(kind), None, int(settings.buckets), all_classes, model,
                              str(settings.learner))
    compiled.feature_params = settings.resolved().feature_params(kind)
    return compiled
