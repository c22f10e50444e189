"""Why a text gets its label: each of its tokens' share of the potentials of the predicted label and
of the runner-up, as the field sums them (every token neuron of the text adds its synapses' weights
to the classes' potentials, and a compiled float model's bias neurons add theirs), so that the
tokens' shares plus the bias are exactly the potentials `Model.potentials` gives."""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _native
from . import featurizing
from .fitted_model import Model


def _feature_ids(model: Model, text: str) -> tuple[list[str], dict[str, int | None]]:
    """The text's features in the order it reads them, and each distinct one's token id (None when
    the model has no neuron for it; absent when it is not whole UTF-8). Each distinct feature is
    looked up once: a long text of character n-grams repeats most of its tens of thousands of
    features, and the loop holds the interpreter lock."""
    features = _native.features(model.spec, text)
    ids: dict[str, int | None] = {}
    for feature in dict.fromkeys(features):
        try:
            if model.buckets:
                ids[feature] = _native.hash_bytes(feature) % model.buckets
            else:
                assert model.vocabulary is not None
                ids[feature] = model.vocabulary.find(feature)
        except UnicodeError:  # a feature that is not whole UTF-8 (bytes cut inside a character)
            continue
    return features, ids


def _token_names(distinct: dict[str, int | None], ids: list[int]) -> dict[int, str]:
    """The feature text of each of the text's ids: the vocabulary's token, or in hashing mode the
    text's features that fall in that bucket (joined by '|' when several do, in reading order). The
    text's own features are recomputed and looked up (`_feature_ids`: no copy of the vocabulary); an
    id without a name stays '#id'."""
    wanted = set(ids)
    names: dict[int, list[str]] = {}
    for feature, token_id in distinct.items():
        if token_id in wanted:
            names.setdefault(token_id, []).append(feature)
    return {i: "|".join(names[i]) if names.get(i) else f"#{i}" for i in ids}


def _shares(model: Model, neuron: int, first: int, second: int) -> tuple[int, int]:
    to_first = to_second = 0
    for target, weight in model.field.get_neuron_synapses(neuron):
        if target == first:
            to_first += weight
        elif target == second:
            to_second += weight
    return to_first, to_second


def explain(model: Model, text: str, k: int = 10, in_order: bool = False) -> dict[str, Any]:
    """{"label", "runner_up", "tokens": [(token, to_label, to_runner_up), ...] (the k tokens with the
    largest |to_label - to_runner_up|, largest first; equal ones in the text's order; what all the
    presentations of a token add, as a model with sublinear tf presents a repeated token more than
    once), "bias":
    (to_label, to_runner_up)}; contributions in potential units (ints).

    With in_order, also "in_order": [(feature, to_label, to_runner_up), ...], every feature of the
    text in the order the model reads it (words before word pairs), with what one presentation of
    its neuron adds; (0, 0) for a feature the model has no neuron for."""
    if model.thresholds is not None:
        raise ValueError("explain answers why one label wins over the runner-up; a multi-label model "
                         "decides each label against its own threshold (see decision_function)")
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)) or k < 0:
        raise ValueError(f"k must be an int of at least 0, got {k!r}")
    (text,) = featurizing.as_spec_reads(model.spec, [text])
    potentials = model.potentials([text])[0].astype(np.int64)
    order = np.argsort(-potentials, kind="stable")  # the first class on ties, as predict answers
    first, second = int(order[0]), int(order[1])
    presented: dict[int, int] = {}  # each id of the text, by how often it is presented (sublinear tf)
    for i in model.ids([text]).to_lists()[0]:
        presented[i] = presented.get(i, 0) + 1
    shares = [(i, *_shares(model, i, first, second)) for i in presented]
    totals = [(i, a * presented[i], b * presented[i]) for i, a, b in shares]
    ranked = sorted(totals, key=lambda s: -abs(s[1] - s[2]))[:int(k)]
    if in_order or (ranked and model.buckets):
        features, distinct = _feature_ids(model, text)
        names = _token_names(distinct, [i for i, _, _ in ranked]) if ranked else {}
    else:
        # The vocabulary names its tokens (a hashed model comes here only with nothing ranked): no need to
        # make the text's tens of thousands of features as Python strings, a call that holds the
        # interpreter lock for milliseconds on a long text.
        features, distinct = [], {}
        assert model.vocabulary is not None or not ranked
        vocabulary = model.vocabulary
        names = {i: vocabulary.token(i) or f"#{i}" for i, _, _ in ranked} if ranked else {}
    bias = [0, 0]
    for neuron in model.bias_suffix or ():
        a, b = _shares(model, neuron, first, second)
        bias[0] += a
        bias[1] += b
    classes = model.classes.tolist()
    answer = {"label": classes[first], "runner_up": classes[second],
              "tokens": [(names[i], a, b) for i, a, b in ranked], "bias": (bias[0], bias[1])}
    if in_order:
        known: dict[int | None, tuple[int, int]] = {i: (a, b) for i, a, b in shares}
        # A feature whose id is not among the text's (a token the field's vocabulary cut) adds nothing.
        answer["in_order"] = [(feature, *known.get(distinct[feature], (0, 0))) for feature in features
                              if feature in distinct]
    return answer
