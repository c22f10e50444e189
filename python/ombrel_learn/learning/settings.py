"""The estimator's settings as one value that training, the automatic choice and autotune read (the
estimator makes one from its parameters for each fit; autotune makes one per candidate)."""

from __future__ import annotations

import dataclasses
import numbers
from typing import Any, Iterable

from .. import _native
from . import linear
from .featurizing import FEATURE_KINDS, spec_from_params

# The learners a fitted model can be of: the field's own training, or a float learner compiled into
# the field.
MODEL_LEARNERS = ("field", "naive_bayes", "sgd", "perceptron", "svm")
# How SGD and the perceptron see a text: TF-IDF rows (smoothed idf, unit L2 norm) with binary tf
# ("tfidf") or sublinear tf ("sublinear": a token met n times in the text counts round(1 + ln n)
# times, the field then presenting it that many times), or each token's presence as it is
# ("binary"); "auto" lets the automatic choice compare "tfidf" and "sublinear" on word features.
WEIGHTINGS = ("auto", "tfidf", "sublinear", "binary")
# The weighting an "auto" setting takes where nothing is chosen.
DEFAULT_WEIGHTING = "tfidf"
LEARNERS = ("auto",) + MODEL_LEARNERS
# The word variants of weighting="auto" with sublinear tf are named so, and tried with these learners.
TF_SUFFIX = "+logtf"
TF_LEARNERS = ("auto", "naive_bayes", "sgd", "perceptron", "svm")


# The settings a model made before they existed was made with: a model folder or a pickle without
# them reads back with these values, so that it is described (and refitted) as it was trained.
EARLIER_DEFAULTS = {"marks": False, "weighting": "binary", "word_ngrams": 1, "min_labels": 1, "class_weight": None}
# The learners that scale a text's step or count by its weight (fit's sample_weight, and class_weight,
# which fit makes a sample weight by class). The field's own training moves integer weights by whole
# steps: it presents a text as many times as its weight says instead (see chosen_fit.presentations).
SAMPLE_WEIGHT_LEARNERS = ("naive_bayes", "sgd", "perceptron", "svm")


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
    weighting: str = "auto"
    word_ngrams: Any = 1
    marks: Any = True
    # Multi-label models: every text gets at least this many classes (see multilabel.py).
    min_labels: Any = 1
    # None, "balanced", {label: weight} as given; `indexed` makes it one weight per class (a tuple).
    class_weight: Any = None

    @classmethod
    def of(cls, estimator: Any) -> "Settings":
        """The settings of an object holding them as attributes (an OmbrelClassifier)."""
        return cls(**{field.name: getattr(estimator, field.name, field.default) for field in dataclasses.fields(cls)})

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
        # The field learner's steps (16-bit, as the engine takes them). A text it gets wrong
        # strengthens each of its tokens' synapse toward its class by amplify and weakens the others
        # by suppress: amplify 0 or less never learns the class (or unlearns it), a negative suppress
        # strengthens the wrong classes; suppress 0 (no weakening) is a recipe of its own.
        for name, lowest in (("amplify", 1), ("suppress", 0)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not lowest <= value <= 32767:
                raise ValueError(f"{name} must be a whole number from {lowest} to 32767, got {value!r} ("
                                 + ("the step toward a text's class: 0 or less never learns it)" if name == "amplify"
                                    else "the step away from the other classes: a negative one strengthens "
                                         "them)"))
        if self.coverage is not None and not 0.0 <= float(self.coverage) <= 1.0:
            raise ValueError(f"coverage must be between 0 and 1, got {self.coverage!r}")
        if self.learner not in LEARNERS:
            raise ValueError(f"learner must be one of {LEARNERS}, got {self.learner!r}")
        if self.alpha is not None and not float(self.alpha) > 0:
            raise ValueError(f"alpha must be positive, got {self.alpha!r}")
        if self.loss not in linear.LOSSES:
            raise ValueError(f"loss must be one of {linear.LOSSES}, got {self.loss!r}")
        if self.weighting not in WEIGHTINGS:
            raise ValueError(f"weighting must be one of {WEIGHTINGS}, got {self.weighting!r}")
        if self.weighting == "sublinear" and self.learner == "field":
            raise ValueError("weighting='sublinear' counts terms for the float learners (naive_bayes, sgd, "
                             "perceptron, svm); the field learner sees each token once")
        if isinstance(self.min_labels, bool) or not isinstance(self.min_labels, numbers.Integral) or self.min_labels < 0:
            raise ValueError(f"min_labels must be an int of at least 0, got {self.min_labels!r}")
        self.check_class_weight()
        if self.word_ngrams not in ("auto", 1, 2):
            raise ValueError(f"word_ngrams must be 'auto', 1 or 2, got {self.word_ngrams!r}")
        if self.stem not in ("auto", True, False, 0, 1):
            raise ValueError(f"stem must be 'auto', True or False, got {self.stem!r}")
        if isinstance(self.stop_words, str) and self.stop_words not in ("auto", "english"):
            raise ValueError(f"stop_words must be 'auto', 'english', None or a collection of str, got {self.stop_words!r}")

    def check_class_weight(self) -> None:
        weights = self.class_weight
        if weights is None:
            return
        if not isinstance(weights, dict) and not (isinstance(weights, str) and weights == "balanced"):
            raise ValueError(f"class_weight must be None, 'balanced' or a dict {{label: weight}}, got {weights!r}")
        for value in weights.values() if isinstance(weights, dict) else ():
            if isinstance(value, bool) or not isinstance(value, numbers.Real) or not 0 < float(value) < float("inf"):
                raise ValueError(f"class_weight's weights must be finite numbers above 0, got {value!r}")

    def indexed(self, classes: Any) -> "Settings":
        """These settings with a class_weight by label made one weight per class of `classes` (a
        class it does not name weighs 1, as in scikit-learn; a label that is not a class is an
        error)."""
        if not isinstance(self.class_weight, dict):
            return self
        known = classes.tolist()
        named = set(known)
        unknown = [label for label in self.class_weight if label not in named]
        if unknown:
            raise ValueError(f"class_weight names labels that are not classes of y: {unknown!r}")
        return dataclasses.replace(self, class_weight=tuple(float(self.class_weight.get(c, 1.0)) for c in known))

    def resolved(self) -> "Settings":
        """These settings with every "auto" word setting given the value a fit without the automatic
        choice uses: English stop words, stemming, single words."""
        return dataclasses.replace(self, stop_words="english" if self.stop_words == "auto" else self.stop_words,
                                   stem=True if self.stem == "auto" else bool(self.stem),
                                   word_ngrams=1 if self.word_ngrams == "auto" else int(self.word_ngrams),
                                   weighting=DEFAULT_WEIGHTING if self.weighting == "auto" else self.weighting)

    def word_variants(self) -> list[tuple[str, "Settings"]]:
        """The word features the automatic choice compares, (name, concrete settings), the
        cheapest first: each "auto" word setting tried both ways (stop words and stemming go
        together: English stop words with stemming, or every word as it is; word pairs on the
        words as they are), the same variant once."""
        out: list[tuple[str, Settings]] = []
        seen = set()
        plain_stops = [("english", True), (None, False)] if self.stop_words == "auto" and self.stem == "auto" else None
        stops = plain_stops or [("english" if self.stop_words == "auto" else self.stop_words,
                                 (True if self.stem == "auto" else bool(self.stem)))]
        pairs = [1, 2] if self.word_ngrams == "auto" else [int(self.word_ngrams)]
        for n in pairs:
            for stop_words, stem in stops:
                if n == 2 and plain_stops and stop_words is not None:
                    continue  # pairs of the words as they are: "how many", "not good"
                concrete = dataclasses.replace(self, stop_words=stop_words, stem=stem, word_ngrams=n)
                key = (n, stem, stop_words if stop_words is None or isinstance(stop_words, str)
                       else tuple(sorted(stop_words)))
                if key in seen:
                    continue
                seen.add(key)
                name = "words" if n == 1 and (stop_words, stem) == stops[0] else (
                    "words+pairs" if n == 2 else "words-plain")
                out.append((name, concrete))
        weighting = DEFAULT_WEIGHTING if self.weighting == "auto" else self.weighting
        out = [(name, dataclasses.replace(concrete, weighting=weighting)) for name, concrete in out]
        if self.weighting == "auto" and self.learner in TF_LEARNERS:
            # Each variant again with sublinear tf, after all of them (it costs more to predict).
            out += [(name + TF_SUFFIX, dataclasses.replace(concrete, weighting="sublinear")) for name, concrete in out]
        return out

    def presence(self) -> "Settings":
        """These settings for training that sees each token of a text once (a stream's field,
        parameter mixing): presence rows, no term counts."""
        return dataclasses.replace(self, weighting="binary")

    def feature_params(self, kind: str) -> dict[str, Any]:
        """(On resolved settings.) What makes a fitted model's features, as plain data (saved with the model): the
        concrete word settings (no "auto"), the n-gram lengths, and the word rule."""
        stop_words = self.stop_words
        if stop_words is not None and not isinstance(stop_words, str):
            stop_words = sorted(stop_words)
        return {"features": kind, "stop_words": stop_words, "stem": bool(self.stem),
                "min_length": int(self.min_length), "ngram_range": [int(v) for v in self.ngram_range],
                "word_ngrams": int(self.word_ngrams), "marks": bool(self.marks),
                "tf": "log" if self.weighting == "sublinear" else "binary"}

    def spec(self, kind: str) -> _native.FeatureSpec:
        concrete = self.resolved()
        return spec_from_params(concrete.feature_params(kind))

    def coverage_for(self, learner: str) -> float:
        """The coverage pruning of a learner: the setting, or by default 0.9 for the field learner
        (whose tokens hold 8 classes) and 0 for the float learners (cut to 8 when compiled)."""
        if self.coverage is not None:
            return float(self.coverage)
        return 0.9 if learner == "field" else 0.0
