"""The fitted model: features, vocabulary (or buckets), field and classes; its predictions and
potentials; a float model compiled into a field; the model as plain data (for pickling)."""

from __future__ import annotations

import math
import os
import threading
import weakref
from typing import Any, Sequence

import numpy as np

import ombrel

from .. import _learners, _native
from ..base.exceptions import ModelFolderError
from . import featurizing, fields, linear
from .featurizing import spec_from_params

# The field learner's unit of potentials is measured on the synapses of at most this many tokens.
UNIT_SAMPLE = 4096
# predict works through blocks of about this many characters of text (within 1,024 and 65,536 texts):
# the ids of a block (each text needs a memoryview of its own) then stay within memory the allocator
# reuses. Blocks of 65,536 texts of 54 bytes took fresh pages every call, 1.3x slower in all.
PREDICT_BLOCK_CHARS = 1 << 18
PREDICT_BLOCK = 1 << 16
PREDICT_BLOCK_MIN = 1 << 10


def block_size(texts: list[str]) -> int:
    """Texts a block of predict takes, from the length of the first texts."""
    head = texts[:64]
    average = max(1, sum(map(len, head)) // max(1, len(head)))
    return max(PREDICT_BLOCK_MIN, min(PREDICT_BLOCK, PREDICT_BLOCK_CHARS // average))

# Model.potentials presents a batch of at most (records / SNAPSHOT_TEXTS) texts to the field one by
# one instead of copying its records: on 20 Newsgroups (48,559 records) the copy took 10.6 ms, about
# what 1,100 texts cost more one by one than in the native batch (bench/bench_potentials.py), so the
# break-even is near records / 44.
SNAPSHOT_TEXTS = 64
# The default softmax temperature of the field's own learner, in potential units: a text that wins by
# the default margin (300) gets odds of e^3 (about 20 to 1) over the runner-up.
FIELD_TEMPERATURE = 100.0
# A compiled model saved without its scale: its temperature is taken as if its largest weight stood
# for this score.
ESTIMATED_LARGEST_SCORE = 8.0
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
                 bias_neurons: int = 0, feature_params: dict[str, Any] | None = None):
        self.kind = kind
        # What made `spec`, as plain data (saved with the model); None until the maker sets it.
        self.feature_params = feature_params
        self.spec = spec
        self.vocabulary = vocabulary
        self.buckets = buckets
        self.classes = classes
        self.field = field
        self.learner = learner
        self.bias_neurons = bias_neurons
        # The bias neurons' ids, which every text carries at prediction (None: no bias neurons).
        self.bias_suffix = list(range(self.token_neurons, self.token_neurons + bias_neurons)) if bias_neurons else None
        self._suffix = np.asarray(self.bias_suffix, dtype=np.uint32) if bias_neurons else None
        self.lock = threading.Lock()
        _models.add(self)
        fields.own(self)  # an in-memory field: a forked child gets its own copy, in place of this one

    # predict's answers for one text, one per class (made at the first such call).
    _singles: list[np.ndarray] | None = None

    # A compiled float model's potentials per unit of its score (linear.CompiledField.scale); None for
    # the field's own learner, and for a compiled model saved before the scale was kept.
    scale: float | None = None
    # predict_proba's softmax temperature, in potential units, fitted at fit time on held-out rows
    # (calibration.py); None: not fitted (partial_fit, fit_counts, fit_model, an older folder or
    # pickle), and softmax_temperature() gives the default.
    temperature: float | None = None
    # A multi-label model (multilabel.py): each class's threshold on its potential, float64 (classes,);
    # None for a single-label model.
    thresholds: np.ndarray | None = None
    # A multi-label model's per-label calibration: (classes, 2) float64, the slope a and offset b of
    # each label's probability, the logistic of a x (potential - threshold) + b, fitted on held-out
    # rows (multilabel.calibrations_of); None for a single-label model or a folder or pickle made
    # before it was kept (multilabel.probabilities then uses the learner's own log-odds).
    label_calibration: np.ndarray | None = None

    def units(self) -> float:
        """Potentials per unit of the model's own score, to carry a temperature from one model to
        another of the same learner: a compiled model's scale; for the field's own learner, the
        root mean square of its tokens' synapse weights (they grow with the training steps, so with
        the number of texts: measured on Tatoeba, a model of 58,400 texts has weights 1.9 times
        those of one of 16,000, and its best temperature is 1.9 times larger)."""
        if self.scale is not None:
            return self.scale
        # From the synapses of at most UNIT_SAMPLE token neurons, evenly spread: reading every record
        # would copy the whole field (half a gigabyte for 8 M hash buckets).
        count = self.token_neurons
        neurons = range(count) if count <= UNIT_SAMPLE else np.linspace(0, count - 1, UNIT_SAMPLE).astype(np.int64)
        read = self.field.get_neuron_synapses
        weights = np.asarray([w for n in neurons for _, w in read(int(n))], dtype=np.float64)
        return float(np.sqrt(np.mean(np.square(weights)))) if weights.size else 1.0

    def _synapse_weights(self, records: int | None = None) -> np.ndarray:
        """The weights of the synapses in use of the first `records` records (None: all), int32."""
        words = np.frombuffer(fields.field_bytes(self.field), dtype="<u4").reshape(-1, fields.NEURON_BYTES // 4)
        words = words[:records]
        weights = words[:, 10:14].copy().view("<i2").astype(np.int32)
        return weights[np.arange(fields.SYNAPSES) < words[:, 1:2]]

    def softmax_temperature(self) -> float:
        """The fitted temperature, or the default: for a compiled float model, its scale (the
        probabilities are then the softmax of the float model's own scores: naive Bayes's
        posterior, the log loss's softmax); for the field's own learner, FIELD_TEMPERATURE; for a
        compiled model whose scale was not kept, the scale estimated from its weights as if its
        largest weight were ESTIMATED_LARGEST_SCORE."""
        if self.temperature is not None:
            return self.temperature
        if self.scale is not None:
            return self.scale
        if self.learner == "field":
            return FIELD_TEMPERATURE
        weights = self._synapse_weights()
        largest = int(np.abs(weights).max()) if weights.size else 0
        return max(1.0, largest / ESTIMATED_LARGEST_SCORE)

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
        return featurizing.transform(self.spec, self.vocabulary, self.buckets, texts, trailing)

    def streams(self, texts: list[str]) -> list[memoryview]:
        """One uint32 view per text, as prediction presents it (bias ids appended)."""
        batch = featurizing.transform(self.spec, self.vocabulary, self.buckets, texts, None, self.bias_suffix)
        if len(texts) == 1:  # one text (a call per text is the common case in serving): all of it
            return [memoryview(batch)]
        return batch.views()

    def predict_indices(self, texts: list[str]) -> list[int]:
        return self.field.predict_batch(self.streams(texts))

    def predict(self, texts: list[str]) -> np.ndarray:
        """The class of each text (from classes)."""
        if len(texts) == 1:  # one text per call, the common case in serving: the shortest path
            text = texts[0]
            if not (type(text) is str and text.isascii()):  # ASCII is in NFC already
                (text,) = featurizing.as_spec_reads(self.spec, [text])
            batch = _native.transform(self.spec, self.vocabulary, self.buckets, [text], None, self.bias_suffix)
            i = self.field.predict_batch([memoryview(batch)])[0]
            singles = self._singles
            if singles is None:  # each class as an array of one, made once (a slice costs twice a copy)
                singles = self._singles = [self.classes[c:c + 1].copy() for c in range(len(self.classes))]
            return singles[i].copy()
        block = block_size(texts)
        if len(texts) <= block:
            return self.classes.take(self.field.predict_batch(self.streams(texts)))
        # In blocks, so that the ids and the per-text views of only one block are held at a time.
        parts = [self.classes.take(self.field.predict_batch(self.streams(texts[start:start + block])))
                 for start in range(0, len(texts), block)]
        return np.concatenate(parts)

    def potentials(self, texts: list[str]) -> np.ndarray:
        """(texts, classes) int32, read-only: each text's motor potentials as the field sums them
        from a fresh start (its ids, then the bias ids), wrapping as the field does. Computed for
        the whole batch on the worker pool from one copy of the field's records taken at the start
        of the call (`fields.field_bytes`): training that runs meanwhile (partial_fit, a served
        folder's feedback) lands in a later call, and the field's running potentials are neither
        read nor changed, so no lock is taken. A batch of at most sensory_count / SNAPSHOT_TEXTS
        texts is presented to the field one text at a time instead (`_potentials_one_by_one`,
        under the model's lock), which costs less than the copy: the same sums."""
        k = len(self.classes)
        if not texts:
            return np.zeros((0, k), dtype=np.int32)
        if len(texts) * SNAPSHOT_TEXTS <= self.sensory_count:
            return self._potentials_one_by_one(texts)
        records = fields.field_bytes(self.field)
        parts = []
        # In blocks, as predict does, so that the ids of only one block are held at a time.
        for start in range(0, len(texts), PREDICT_BLOCK):
            block = texts[start:start + PREDICT_BLOCK]
            ids = self.ids(block)
            sums = _learners.field_potentials(records, k, ids, ids.offsets, self._suffix)
            parts.append(np.frombuffer(sums, dtype=np.int32).reshape(len(block), k))
        if len(parts) == 1:
            return parts[0]
        out = np.concatenate(parts)
        out.flags.writeable = False
        return out

    def _potentials_one_by_one(self, texts: list[str]) -> np.ndarray:
        # A few texts against a large field: presenting them one at a time to the field costs less
        # than copying its records. The same sums; the field's running potentials are used, so
        # under the model's lock (and cleared after).
        streams = self.streams(texts)
        out = np.empty((len(streams), len(self.classes)), dtype=np.int32)
        field = self.field
        with self.lock:
            reset, predict, read = field.reset_potentials, field.predict, field.get_potentials
            for i, stream in enumerate(streams):
                reset()
                predict(stream)
                out[i] = read()
            reset()
        out.flags.writeable = False
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
            "feature_params": self.feature_params,
            "scale": self.scale,
            "temperature": self.temperature,
            "thresholds": self.thresholds,
            "label_calibration": self.label_calibration,
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
    feature_params = state.get("feature_params")
    if feature_params is not None:
        spec = spec_from_params(feature_params)
    model = Model(state["features"], spec, vocabulary, buckets, classes, field, learner, bias_neurons, feature_params)
    model.scale = positive_or_none(state.get("scale"), "the pickled scale")
    model.temperature = positive_or_none(state.get("temperature"), "the pickled temperature")
    model.thresholds = thresholds_or_none(state.get("thresholds"), len(classes), "the pickled thresholds")
    model.label_calibration = calibration_or_none(state.get("label_calibration"), len(classes),
                                                  "the pickled label calibration")
    return model


def calibration_or_none(value: Any, classes: int, what: str) -> np.ndarray | None:
    """A multi-label model's per-label calibration read back: None, or (slope > 0, offset) finite
    pairs, one per class."""
    if value is None:
        return None
    try:
        pairs = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ModelFolderError(f"{what} is not numbers") from None
    if pairs.shape != (classes, 2) or not np.isfinite(pairs).all() or not (pairs[:, 0] > 0).all():
        raise ModelFolderError(f"{what} is not {classes} pairs of finite numbers (slope > 0, offset), one per class")
    return pairs


def thresholds_or_none(value: Any, classes: int, what: str) -> np.ndarray | None:
    """A multi-label model's thresholds read back: None, or one finite number per class."""
    if value is None:
        return None
    try:
        thresholds = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ModelFolderError(f"{what} are not numbers") from None
    if thresholds.shape != (classes,) or not np.isfinite(thresholds).all():
        raise ModelFolderError(f"{what} are not {classes} finite numbers, one per class")
    return thresholds


def positive_or_none(value: Any, what: str) -> float | None:
    """A scale or temperature read back: None, or a finite number > 0 (ModelFolderError otherwise)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)) or \
            not math.isfinite(value) or value <= 0:
        raise ModelFolderError(f"{what} is not a number above 0: {value!r}")
    return float(value)


def compiled_model(kind: str, spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None, buckets: int,
                   classes: np.ndarray, model: linear.LinearModel, learner: str) -> Model:
    """The fitted model holding float model `model` compiled into a field. The field maps a memory
    file of this process (no disk, no TMPDIR), whose pages are freed with the field; it is private:
    a forked child gets its own copy (see fields.memory_field)."""
    compiled = linear.compile_to_field(model)
    field = fields.memory_field(compiled.data, compiled.sensory_count, len(classes))
    fitted = Model(kind, spec, vocabulary, buckets, classes, field, learner, compiled.bias_neurons)
    fitted.scale = float(compiled.scale)
    return fitted


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_new_locks_after_fork)
