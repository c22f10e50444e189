"""The estimator's settings as one value that training, the automatic choice and autotune read (the
estimator makes one from its parameters for each fit; autotune makes one per candidate)."""

from __future__ import annotations

import dataclasses
from typing import Any, Iterable

from . import _native, linear
from .featurizing import FEATURE_KINDS, feature_spec

# The learners a fitted model can be of: the field's own training, or a float learner compiled into
# the field.
MODEL_LEARNERS = ("field", "naive_bayes", "sgd", "perceptron")
LEARNERS = ("auto",) + MODEL_LEARNERS


@dataclasses.dataclass(frozen=True)
class Settings:
    """The parameters of OmbrelClassifier (documented there), as given."""

    features: str
    ngram_range: Any
    stop_words: str | Iterable[str] | None
    stem: Any
    min_length: Any
    buckets: Any
    epochs: Any
    amplify: Any
    suppress: Any
    margin: Any
    chunk: Any
    min_df: Any
    coverage: Any
    learner: str
    alpha: Any
    loss: str
    random_state: Any
    verbose: Any

    @classmethod
    def of(cls, estimator: Any) -> "Settings":
        """The settings of an object holding them as attributes (an OmbrelClassifier)."""
        return cls(**{field.name: getattr(estimator, field.name) for field in dataclasses.fields(cls)})

    def check(self) -> None:
        if self.features not in FEATURE_KINDS:
            raise ValueError(f"features must be one of {FEATURE_KINDS}, got {self.features!r}")
        lo, hi = self.ngram_range
        if not (1 <= lo <= hi <= 16):
            raise ValueError(f"ngram_range must satisfy 1 <= min <= max <= 16, got {self.ngram_range!r}")
        for name in ("epochs", "chunk", "min_df"):
            if int(getattr(self, name)) < 1:
                raise ValueError(f"{name} must be at least 1, got {getattr(self, name)!r}")
        for name in ("buckets", "margin", "min_length"):
            if int(getattr(self, name)) < 0:
                raise ValueError(f"{name} must not be negative, got {getattr(self, name)!r}")
        if not (-32768 <= int(self.amplify) <= 32767 and -32768 <= int(self.suppress) <= 32767):
            raise ValueError("amplify and suppress must fit in 16 bits")
        if self.coverage is not None and not 0.0 <= float(self.coverage) <= 1.0:
            raise ValueError(f"coverage must be between 0 and 1, got {self.coverage!r}")
        if self.learner not in LEARNERS:
            raise ValueError(f"learner must be one of {LEARNERS}, got {self.learner!r}")
        if self.alpha is not None and not float(self.alpha) > 0:
            raise ValueError(f"alpha must be positive, got {self.alpha!r}")
        if self.loss not in linear.LOSSES:
            raise ValueError(f"loss must be one of {linear.LOSSES}, got {self.loss!r}")

    def spec(self, kind: str) -> _native.FeatureSpec:
        return feature_spec(kind, self.stop_words, self.stem, self.min_length, self.ngram_range)

    def coverage_for(self, learner: str) -> float:
        """The coverage pruning of a learner: the setting, or by default 0.9 for the field learner
        (whose tokens hold 8 classes) and 0 for the float learners (cut to 8 when compiled)."""
        if self.coverage is not None:
            return float(self.coverage)
        return 0.9 if learner == "field" else 0.0
