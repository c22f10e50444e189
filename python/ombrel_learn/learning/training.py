"""Fitted models from texts: features made, a learner trained, the result held as a field; and a
stream's model grown by the tokens it has come to know."""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

from .. import _native
from ..base import progress
from ..base.validation import check_memory
from . import featurizing, fields, learners
from .featurizing import Featurized, token_ids
from .fitted_model import Model, compiled_model
from .settings import Settings

# Called with a fit's ids and their feature count once they are made (see train_linear).
Beside = Callable[[Any, int], None]


def float_features(settings: Settings, kind: str, texts: list[str], y: list[int], k: int, learner: str
                   ) -> tuple[_native.FeatureSpec, _native.Vocabulary | None, int, _native.IdBatch]:
    """The features of a float learner: (spec, vocabulary, buckets, ids of the texts)."""
    spec = settings.spec(kind)
    vocabulary, buckets, documents = token_ids(spec, int(settings.buckets), texts, y, k, int(settings.min_df),
                                               settings.coverage_for(learner))
    return spec, vocabulary, buckets, documents


def train_model(settings: Settings, kind: str, texts: list[str], y: list[int], classes: np.ndarray,
                epochs: int, learner: str = "field", alpha: float | None = None,
                made: dict[str, Any] | None = None, sample_weight: Any = None, beside: Beside | None = None) -> Model:
    """The model of `learner` on texts (already shuffled) with class indices y (and one weight per
    text, for a float learner; and `beside`, see train_linear)."""
    if learner != "field":
        return train_linear(settings, kind, texts, y, classes, learner, alpha, made, sample_weight, beside)
    spec = settings.spec(kind)
    k = len(classes)
    vocabulary: _native.Vocabulary | None = None
    with progress.phase(settings.verbose, "featurizing"):
        if settings.buckets:
            buckets = int(settings.buckets)
            documents = featurizing.transform(spec, None, buckets, texts, [buckets + c for c in y])
        else:
            buckets = 0
            vocabulary, documents, _ = featurizing.build_vocabulary(
                spec, texts, y, k, int(settings.min_df), settings.coverage_for("field"), 8, True)
    model = Model(kind, spec, vocabulary, buckets, classes,
                  learners.new_field(settings, buckets or len(vocabulary or ()), k))
    learners.train_passes(settings, model.field, documents, y, epochs)
    return model


def train_linear(settings: Settings, kind: str, texts: list[str], y: list[int], classes: np.ndarray, learner: str,
                 alpha: float | None, made: dict[str, Any] | None = None, sample_weight: Any = None,
                 beside: Beside | None = None) -> Model:
    """The float learner's model of the texts, compiled into a field. `made`, when given, receives
    the texts' ids under the model's features ("ids") and their count ("features"); `beside`, when
    given, is called with the same two once they are made, before the model trains (to start work
    that runs beside the training)."""
    k = len(classes)
    with progress.phase(settings.verbose, "featurizing"):
        spec, vocabulary, buckets, documents = float_features(settings, kind, texts, y, k, learner)
    features = buckets or len(vocabulary or ())
    if made is not None:
        made.update(ids=documents, features=features)
    if beside is not None:
        beside(documents, features)
    labels = np.asarray(y, dtype=np.uint32)
    with progress.phase(settings.verbose, "training"):
        model = learners.fit_float(settings, learner, alpha, documents, labels, features, k,
                                   sample_weight=sample_weight)
        model = learners.as_the_field_holds(settings, model, documents, labels, k, sample_weight)
        return compiled_model(kind, spec, vocabulary, buckets, classes, model, learner)


def train_linear_cached(settings: Settings, cached: Featurized, y: list[int], classes: np.ndarray, learner: str,
                        alpha: float | None, made: dict[str, Any] | None = None,
                        sample_weight: Any = None, beside: Beside | None = None) -> Model:
    """train_linear from the ids the choice already made of every training text: the same
    vocabulary (the tokens kept by the same rule, in the same order) and the same model, without
    tokenizing the texts again."""
    k = len(classes)
    labels = np.asarray(y, dtype=np.uint32)
    rows = np.arange(cached.rows)
    with progress.phase(settings.verbose, "training"):
        keep = cached.kept(rows, labels, k, int(settings.min_df), settings.coverage_for(learner))
        documents, features = cached.subset(rows, keep)
        if made is not None:
            made.update(ids=documents, features=features)
        if beside is not None:
            beside(documents, features)
        vocabulary = None
        if not cached.buckets:
            assert cached.tokens is not None
            vocabulary = _native.Vocabulary.from_tokens([cached.tokens[i] for i in np.flatnonzero(keep).tolist()])
        model = learners.fit_float(settings, learner, alpha, documents, labels, features, k,
                                   sample_weight=sample_weight)
        model = learners.as_the_field_holds(settings, model, documents, labels, k, sample_weight)
        return compiled_model(cached.kind, cached.spec, vocabulary, cached.buckets, classes, model, learner)


def empty_stream(settings: Settings, kind: str, classes: np.ndarray) -> Model:
    """A field-learner model with an empty vocabulary, for a stream to fill (see `grow`), which sees
    each token of a text once."""
    settings = settings.presence()
    return Model(kind, settings.spec(kind), _native.Vocabulary.from_tokens([]), 0, classes,
                 learners.new_field(settings, 0, len(classes)), feature_params=settings.resolved().feature_params(kind))


def grow(settings: Settings, model: Model, texts: list[str], y: list[int], counts: dict[Any, int]) -> Model:
    """The stream's model with the tokens of `texts` that now reach min_df texts of the stream
    added to its vocabulary (new ids after the old ones, in a new field that keeps the old
    tokens' records; the margin probes move after them); or `model` itself when no token is new.
    `counts` counts the texts of each token seen but not yet kept (updated here)."""
    k = len(model.classes)
    local, batch, _ = featurizing.build_vocabulary(model.spec, texts, y, k, 1, 0.0, 8, False)
    tokens = local.tokens()
    ids = np.frombuffer(batch, dtype=np.uint32) if len(memoryview(batch)) else np.zeros(0, np.uint32)
    df = np.bincount(ids, minlength=len(tokens)).tolist()  # each text presents a token once
    assert model.vocabulary is not None
    find, min_df = model.vocabulary.find, max(1, int(settings.min_df))
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
    record_words = fields.NEURON_BYTES // 4
    check_memory(sensory * fields.NEURON_BYTES, f"a field of {sensory:,} sensory neurons",
                 "use buckets > 0 for this stream")
    records = np.zeros((sensory, record_words), dtype=np.uint32)
    records[:, 0] = np.arange(sensory, dtype=np.uint32)  # each record's own id
    with model.lock:
        records[:old] = np.frombuffer(fields.field_bytes(model.field), dtype=np.uint32).reshape(-1, record_words)[:old]
    field = fields.memory_field(records.tobytes(), sensory, k)
    learners.add_probes(settings, field, len(vocabulary), k)
    return Model(model.kind, model.spec, vocabulary, 0, model.classes, field, feature_params=model.feature_params)
