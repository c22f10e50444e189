"""The fitted model: features, vocabulary (or buckets), field and classes; its predictions and
potentials; a float model compiled into a field; the model as plain data (for pickling)."""

from __future__ import annotations

import os
import threading
import weakref
from typing import Any, Sequence

import numpy as np

import ombrel

from . import _native, fields, linear
from .exceptions import ModelFolderError

# predict works through this many texts at a time (each needs a memoryview of its ids).
PREDICT_BLOCK = 1 << 16
# What fit, partial_fit and autotune set (and a model folder keeps), beside the fitted model itself;
# the optional ones exist only when the automatic choice or autotune ran.
FITTED_ATTRIBUTES = ("classes_", "features_", "learner_", "alpha_", "n_features_", "n_features_in_",
                     "selection_scores_", "selection_rows_", "selection_paired_", "feature_scores_",
                     "autotune_report_")


# Every model of this process, for the fork hook below.
_models: "weakref.WeakSet[Model]" = weakref.WeakSet()


def _new_locks_after_fork() -> None:
    # A thread of the parent that held a model's lock at the fork does not exist in the child.
    for model in list(_models):
        model.lock = threading.Lock()


class Model:
    """The fitted state: features, vocabulary (or buckets), field and classes. Immutable once made,
    so one model can be used from many threads (decision_function, which reads the field's running
    potentials, takes the model's lock). Only a fork changes it, in the child: a new lock (another
    thread may have held this one at the fork) and, for an in-memory field, a private copy of it
    (fields.own).

    learner "field": the field trained itself; sensory ids after the tokens are its margin probes
    (one per class), which prediction leaves out. Any other learner: the field holds a compiled
    linear model, and the ids after the tokens are its bias neurons, which every text carries at
    prediction (`bias_suffix`)."""

    def __init__(self, kind: str, spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None,
                 buckets: int, classes: np.ndarray, field: ombrel.OmbrelField, learner: str = "field",
                 bias_neurons: int = 0):
        self.kind = kind
        self.spec = spec
        self.vocabulary = vocabulary
        self.buckets = buckets
        self.classes = classes
        self.field = field
        self.learner = learner
        self.bias_neurons = bias_neurons
        # The bias neurons' ids, which every text carries at prediction (None: no bias neurons).
        self.bias_suffix = list(range(self.token_neurons, self.token_neurons + bias_neurons)) if bias_neurons else None
        self.lock = threading.Lock()
        _models.add(self)
        fields.own(self)  # an in-memory field: a forked child gets its own copy, in place of this one

    @property
    def token_neurons(self) -> int:
        if self.buckets:
            return self.buckets
        assert self.vocabulary is not None  # a model has one or the other
        return len(self.vocabulary)

    @property
    def sensory_count(self) -> int:
        if self.learner == "field":
            return self.token_neurons + len(self.classes)
        return self.token_neurons + self.bias_neurons

    def ids(self, texts: list[str], trailing: Sequence[int] | None = None) -> _native.IdBatch:
        return _native.transform(self.spec, self.vocabulary, self.buckets, texts, trailing)

    def streams(self, texts: list[str]) -> list[memoryview]:
        """One uint32 view per text, as prediction presents it (bias ids appended)."""
        batch = _native.transform(self.spec, self.vocabulary, self.buckets, texts, None, self.bias_suffix)
        if len(texts) == 1:  # one text (a call per text is the common case in serving): all of it
            return [memoryview(batch)]
        return batch.views()

    def predict_indices(self, texts: list[str]) -> list[int]:
        return self.field.predict_batch(self.streams(texts))

    def predict(self, texts: list[str]) -> np.ndarray:
        """The class of each text (from classes)."""
        if len(texts) <= PREDICT_BLOCK:
            indices = self.field.predict_batch(self.streams(texts))
            if len(indices) == 1:  # one text: a slice is cheaper than fancy indexing
                i = indices[0]
                return self.classes[i:i + 1].copy()
            return self.classes.take(indices)
        # In blocks, so that the ids and the per-text views of only one block are held at a time.
        parts = [self.predict(texts[start:start + PREDICT_BLOCK]) for start in range(0, len(texts), PREDICT_BLOCK)]
        return np.concatenate(parts)

    def potentials(self, texts: list[str]) -> np.ndarray:
        """(texts, classes) int64: each text's motor potentials, from a fresh start."""
        streams = self.streams(texts)
        out = np.empty((len(streams), len(self.classes)), dtype=np.int64)
        field = self.field
        with self.lock:
            reset, predict, read = field.reset_potentials, field.predict, field.get_potentials
            for i, stream in enumerate(streams):
                reset()
                predict(stream)
                out[i] = read()
            reset()
        return out

    def state(self) -> dict[str, Any]:
        """The fitted state as plain data, for pickling (`from_state` reads it back)."""
        return {
            "features": self.kind,
            "buckets": self.buckets,
            "classes": self.classes,
            "vocabulary": self.vocabulary.to_bytes() if self.vocabulary is not None else None,
            "weights": fields.field_bytes(self.field),
            "learner": self.learner,
            "bias_neurons": self.bias_neurons,
        }


def from_state(state: dict[str, Any], spec: _native.FeatureSpec) -> Model:
    """The model of `Model.state`'s data (spec: the features of state["features"])."""
    classes = state["classes"]
    vocabulary = _native.Vocabulary.from_bytes(state["vocabulary"]) if state["vocabulary"] is not None else None
    buckets = int(state["buckets"])
    learner = state.get("learner", "field")
    bias_neurons = int(state.get("bias_neurons", 0))
    extra = len(classes) if learner == "field" else bias_neurons
    sensory_count = (buckets or len(vocabulary or ())) + extra
    weights = state["weights"]
    if len(weights) != sensory_count * fields.NEURON_BYTES:
        raise ModelFolderError("pickled weights do not match the vocabulary and classes")
    fields.check_records(weights, len(classes), "the pickled weights")
    field = fields.memory_field(weights, sensory_count, len(classes))
    return Model(state["features"], spec, vocabulary, buckets, classes, field, learner, bias_neurons)


def compiled_model(kind: str, spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None, buckets: int,
                   classes: np.ndarray, model: linear.LinearModel, learner: str) -> Model:
    """The fitted model holding float model `model` compiled into a field. The field maps a memory
    file of this process (no disk, no TMPDIR), whose pages are freed with the field; it is private:
    a forked child gets its own copy (see fields.memory_field)."""
    compiled = linear.compile_to_field(model)
    field = fields.memory_field(compiled.data, compiled.sensory_count, len(classes))
    return Model(kind, spec, vocabulary, buckets, classes, field, learner, compiled.bias_neurons)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_new_locks_after_fork)
