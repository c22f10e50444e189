"""OmbrelClassifier: raw texts in, labels out, on ombrel's integer-neuron field. The estimator holds
the parameters, checks what it is given and hands the work on (learning's featurizing, learners, training,
choice, autotune, parts, fitted_model; store's folder).

How it trains (the recipe of examples/recipe.py, on the native text pipeline):

* Features: "words" are `ombrel.tokenize`'s tokens with English stop words and stemming; "chars"
  are the unstemmed words without stop words plus their character n-grams (1-4 by default), for
  short texts and languages written without spaces. `features="auto"` lets the data choose: it
  trains both on a sample of the training set and keeps the one that scores better on held-out rows.
* Vocabulary: built natively in one tokenizing pass; a token is kept when it occurs in at least
  `min_df` training texts and its 8 most frequent classes hold at least `coverage` of them (a sensory
  neuron has eight synapses). With `buckets > 0` there is no vocabulary: tokens are hashed into that
  many sensory neurons (for streams whose vocabulary is not known in advance).
* Each text presents each distinct token once.
* Training: shuffled once, then `epochs` passes in chunks of `chunk` texts; the texts of a chunk whose
  class does not win by `margin` (one probe neuron per class carries the margin) are then trained
  with `amplify` / `suppress`. Deterministic: the same data and settings give the same model.
"""

from __future__ import annotations

import dataclasses
import inspect
import os
import random
import warnings
from typing import Any, Iterable

import numpy as np

from . import _native
from .base.exceptions import FitWarning, not_fitted
from .base.method_guard import guarded as _surface
from .base.validation import (as_labels, as_sample_weight, as_texts, check_label_text, check_lengths,
                              check_same_family, check_texts)
from .learning import (autotune as autotuning, calibration, chosen_fit, explaining, learners, linear, multilabel, parts,
                       training)
from .learning.featurizing import ENGLISH_STOP_WORDS
from .learning.fitted_model import FITTED_ATTRIBUTES, Model, from_state
from .learning.settings import EARLIER_DEFAULTS, Settings
from .store import folder as model_folder

__all__ = ["OmbrelClassifier", "ENGLISH_STOP_WORDS", "FITTED_ATTRIBUTES"]


class OmbrelClassifier:
    """A text classifier in the scikit-learn style: `fit(X, y)`, `predict(X)`, `score(X, y)`,
    `partial_fit(X, y, classes=...)`, `save(path)` / `OmbrelClassifier.load(path)`.

    X is any sequence of str (list, tuple, numpy array of str, pandas Series); y any labels (str or
    int). scikit-learn is not needed; when it is installed, `clone`, `Pipeline`,
    `cross_val_score` and `GridSearchCV` work with this class.

    Parameters
    ----------
    features : "auto", "words" or "chars" (see the module docstring).
    ngram_range : (min, max) lengths in characters of the n-grams of "chars".
    stop_words : "auto", "english", None, or a collection of str; for "words". "auto" (with
        stem="auto"): the automatic choice compares English stop words with stemming against every
        word as it is; without a choice (an explicit learner and features), English stop words.
    stem : "auto", True or False: apply the tokenizer's suffix stemmer; for "words".
    word_ngrams : 1 (words), 2 (words and each pair of consecutive words, as fastText's wordNgrams 2) or
        "auto" (the automatic choice compares them, pairs of the words as they are; 1 without a choice).
    min_length : minimum token length in UTF-8 bytes; for "words".
    marks : True: a combining mark continues its word ("İstanbul", "क्षत्रिय", decomposed "école" stay
        whole) and texts are read in Unicode NFC; False: words are exactly `ombrel.tokenize`'s, which
        cuts at every character that is neither a letter nor a number.
    buckets : 0 for a vocabulary built from the training texts, or the number of hash buckets.
    epochs, amplify, suppress, margin, chunk : the training recipe.
    learner : "auto" (chosen on held-out training rows, see below), "field" (the field's own
        margin training: epochs, amplify, suppress, margin, chunk), or a float learner compiled into
        the field: "naive_bayes" (multinomial, smoothing alpha), "sgd" (loss, alpha, epochs),
        "perceptron" (averaged, epochs) or "svm" (a linear SVM with the squared hinge loss solved to
        convergence by dual coordinate descent, as LinearSVC; C = 1, or 1 / (alpha x texts)). With more than 8 classes a float model is trained a little
        further in the field's form (8 classes per token) before it is compiled.
    alpha : the naive Bayes smoothing (None: chosen among 0.1, 0.3, 1 on held-out rows) or the SGD
        L2 penalty (None: 1e-4), which is also the SVM's (None: C = 1).
    loss : the SGD loss, "hinge" (a linear SVM), "log_loss" or "modified_huber".
    weighting : how the float learners see a text (fit only): "tfidf" (presence times smoothed idf, the row
        scaled to unit L2 norm, as TfidfVectorizer(binary=True) makes rows; folded into the field's weights),
        "sublinear" (round(1 + ln count) for a repeated token, as sublinear_tf=True: the field is presented it
        that many times), "binary" (presence alone), or "auto" (the choice compares "tfidf" and "sublinear" on
        word features; else "tfidf"). Naive Bayes counts presentations. partial_fit and fit_part train on presence.
    min_df, coverage : vocabulary pruning (coverage None: 0.9 for the field learner, whose tokens
        hold 8 classes, and 0 for the float learners, whose cut to 8 happens when compiling).
    min_labels : for a multi-label y (label sets, or an indicator matrix; see ombrel_learn.learning.multilabel),
        every text gets at least its min_labels best classes (0: possibly none); read by predict.
    class_weight : None, "balanced" (n_texts / (n_classes x the class's texts)) or {label: weight}
        (unnamed classes weigh 1): how much a text of each class counts. fit makes it a sample weight
        by class (times sample_weight, if given), which every learner honours as it honours
        sample_weight; multi-label targets take it with SGD only.
    random_state : seed of the shuffle and of the "auto" sample.
    verbose : progress bars on standard error (only when it is a terminal).

    learner="auto" (see ombrel_learn.learning.choice) fits candidates on a held-out split of a sample of the
    training texts and refits the best on everything; `selection_scores_` holds what it measured.
    """

    _estimator_type = "classifier"

    def __init__(self, *, features: str = "auto", ngram_range: tuple[int, int] = (1, 4),
                 stop_words: str | Iterable[str] | None = "auto", stem: bool | str = "auto", word_ngrams: int | str = 1,
                 min_length: int = 2, marks: bool = True, buckets: int = 0, epochs: int = 4, amplify: int = 10,
                 suppress: int = 1, margin: int = 300, chunk: int = 32, min_df: int = 2,
                 coverage: float | None = None, learner: str = "auto", alpha: float | None = None,
                 loss: str = "hinge", weighting: str = "auto", min_labels: int = 1, class_weight: Any = None,
                 random_state: int | None = 0, verbose: bool = False):
        self.features = features
        self.ngram_range = ngram_range
        self.stop_words = stop_words
        self.stem = stem
        self.word_ngrams = word_ngrams
        self.marks = marks
        self.min_length = min_length
        self.buckets = buckets
        self.epochs = epochs
        self.amplify = amplify
        self.suppress = suppress
        self.margin = margin
        self.chunk = chunk
        self.min_df = min_df
        self.coverage = coverage
        self.learner = learner
        self.alpha = alpha
        self.loss = loss
        self.weighting = weighting
        self.min_labels = min_labels
        self.class_weight = class_weight
        self.random_state = random_state
        self.verbose = verbose

    # -- parameters (scikit-learn's protocol, without needing scikit-learn) --------------------

    @classmethod
    def _param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return [p.name for p in signature.parameters.values() if p.kind == p.KEYWORD_ONLY]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> "OmbrelClassifier":
        valid = set(self._param_names())
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"Invalid parameter {name!r} for estimator {type(self).__name__}. "
                                 f"Valid parameters are: {sorted(valid)!r}.")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        changed = [f"{k}={v!r}" for k, v in self.get_params().items() if v != defaults.get(k)]
        return f"{type(self).__name__}({', '.join(changed)})"

    def __sklearn_tags__(self):  # called by scikit-learn only, so it is importable here
        from sklearn.utils import ClassifierTags, InputTags, Tags, TargetTags
        return Tags(estimator_type="classifier", target_tags=TargetTags(required=True),
                    classifier_tags=ClassifierTags(),
                    input_tags=InputTags(one_d_array=True, two_d_array=False, string=True))

    # -- settings --------------------------------------------------------------------------------

    def _settings(self) -> Settings:
        return Settings.of(self)

    def _check_settings(self) -> Settings:
        settings = self._settings()
        settings.check()
        return settings

    def _spec(self, kind: str) -> _native.FeatureSpec:
        """The native description of feature kind "words" or "chars" under these settings."""
        return self._settings().spec(kind)

    # -- fitting ---------------------------------------------------------------------------------

    def _prepare(self, X: Any, y: Any) -> tuple[Settings, list[str], np.ndarray]:
        settings = self._check_settings()
        texts = as_texts(X)
        labels = as_labels(y)
        check_lengths(texts, labels)
        if len(texts) == 0:
            raise ValueError("cannot fit on an empty training set (0 texts)")
        check_texts(texts)
        return settings, texts, labels

    @_surface(serialized=True)
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> "OmbrelClassifier":
        """Learns from texts X with labels y; sample_weight: one weight (>= 0) per text, which scales
        its counts (naive Bayes) or its steps (SGD, the perceptron); the field learner, whose steps are
        whole numbers, presents a text as many times as its weight instead (a weight of 2.5: twice,
        and a third time with probability 0.5). Returns self."""
        found = multilabel.targets(y)
        if found is not None:  # label sets or an indicator matrix
            settings = self._check_settings()
            check_label_text(found[0])
            if settings.class_weight is not None and multilabel.learner_of(settings) != "sgd":
                raise ValueError("class_weight with multi-label targets is honoured by learner 'sgd' (and 'auto'), "
                                 f"which weighs each label's problem; not by {settings.learner!r}")
            model, measured = multilabel.fit(settings, X, y, sample_weight)
            for name in FITTED_ATTRIBUTES + ("_stream_counts",):
                self.__dict__.pop(name, None)
            self._set_model(model)
            self.__dict__.update(measured, alpha_=self.alpha)
            self._warn_if_no_token(len(found[1]))
            return self
        settings, texts, labels = self._prepare(X, y)
        classes, y_index = np.unique(labels, return_inverse=True)
        if len(classes) < 2:
            raise ValueError(f"fit needs at least two classes; y holds only {classes.tolist()!r}")
        check_label_text(classes)
        settings = settings.indexed(classes)  # a class_weight by label: one weight per class
        order = list(range(len(texts)))
        random.Random(settings.random_state).shuffle(order)
        texts = [texts[i] for i in order]
        y_shuffled = y_index[order]
        y_list = y_shuffled.tolist()
        # A class weight is a sample weight given by class: every learner takes it as one.
        weights = learners.text_weights(settings, y_shuffled, len(classes), as_sample_weight(sample_weight, order))
        settings = dataclasses.replace(settings, class_weight=None)
        for name in ("feature_scores_", "selection_scores_", "selection_rows_", "selection_paired_",
                     "autotune_report_", "_stream_counts"):
            self.__dict__.pop(name, None)
        report: dict[str, Any] = {}
        try:
            model, alpha = chosen_fit.fit_chosen(settings, texts, y_list, classes, report, weights)
        finally:
            self.__dict__.update(report)
        self._set_model(model)
        self.alpha_ = alpha
        self._warn_if_no_token(len(texts))
        return self

    def _warn_if_no_token(self, texts: int) -> None:
        """A FitWarning when the fit kept no token neuron: its model answers every text alike."""
        if self._fitted().token_neurons:
            return
        # The rule the fit applied: the field learner prunes by coverage even when it is not set.
        covered = self._settings().coverage_for(getattr(self, "learner_", self.learner))
        coverage = ("" if not covered or len(self.classes_) <= 8 else
                    f" and has at least {covered:g} of those texts in its 8 most frequent classes (coverage)")
        warnings.warn(f"the model kept no token: none of the tokens of the {texts:,} training texts occurs in at least "
                      f"min_df={self.min_df} of them{coverage}, so every text gets the same answer; lower min_df "
                      f"{'or coverage ' if coverage else ''}or train on more texts", FitWarning, stacklevel=4)

    # -- naive Bayes from counts made elsewhere (a distributed fit) --------------------------------

    @_surface()
    def count(self, X: Any, y: Any, classes: Any) -> linear.NaiveBayesCounts:
        """The naive Bayes counts of one part of a training set, in hashing mode (buckets > 0, a
        fixed feature kind). Counts of disjoint parts add up (`+`) to those of the whole, and
        `fit_counts` of the sum gives the classifier that fit(learner="naive_bayes") of the whole
        gives, when there are at most 8 classes (above 8, fit also refits the cut model on the
        texts, in their shuffled order, which counts alone cannot)."""
        return parts.count(self._settings(), X, y, classes)

    @_surface(serialized=True)
    def fit_counts(self, counts: linear.NaiveBayesCounts, classes: Any) -> "OmbrelClassifier":
        """Fits naive Bayes (smoothing alpha, 1 when None) from counts made by `count`: compiles
        them into the field. Returns self."""
        model, alpha = parts.counts_model(self._settings(), counts, classes)
        check_label_text(model.classes, "classes")
        self._set_model(model)
        self.alpha_ = alpha
        return self

    # -- float models trained in parts (iterative parameter mixing) --------------------------------

    @_surface()
    def fit_part(self, X: Any, y: Any, classes: Any, initial: linear.LinearModel | None = None,
                 round: int = 0, cut: bool = False) -> linear.LinearModel:
        """One pass of the float learner ("sgd" or "perceptron") over one part of a training set,
        from `initial` (None: zeros), in hashing mode with a fixed feature kind: the step of a fit by
        iterative parameter mixing. Each round every part trains from the previous round's average
        (`linear.average_models`, weighted by the parts' sizes), and `fit_model` compiles the last.

        The part is shuffled as fit shuffles its texts, and the learner shuffles it again, both with
        the seed random_state + round: the whole training set in its original order, round 0 from
        zeros, is fit's model with epochs=1. cut=True trains `initial` further in the form the field
        holds instead (`linear.refit_cut`, which fit does above 8 classes after its float fit): those
        models keep the classes of the same cut, so their average keeps that form too."""
        return parts.fit_part(self._settings(), X, y, classes, initial, round, cut)

    @_surface(serialized=True)
    def fit_model(self, model: linear.LinearModel, classes: Any) -> "OmbrelClassifier":
        """Compiles a float model made elsewhere (rounds of `fit_part`, averaged) into the field, as
        fit does after its float fit. Returns self. Above 8 classes, fit refits the cut model on the
        texts first: a last round of fit_part(cut=True) does that on the parts."""
        mixed = parts.mixed_model(self._settings(), model, classes)
        check_label_text(mixed.classes, "classes")
        self._set_model(mixed)
        self.alpha_ = self.alpha
        return self

    def _set_model(self, model: Model) -> None:
        if model.feature_params is None:  # made here from these settings
            model.feature_params = self._settings().resolved().feature_params(model.kind)
        self._model = model
        self.classes_ = model.classes
        self.features_ = model.kind
        self.learner_ = model.learner
        self.n_features_ = model.token_neurons
        # X is one column of raw texts, as for scikit-learn's text pipelines; the model's own
        # features (its token neurons) are n_features_.
        self.n_features_in_ = 1

    @_surface(serialized=True)
    def partial_fit(self, X: Any, y: Any, classes: Any = None) -> "OmbrelClassifier":
        """One training pass over X, y. The first call must name every class in `classes`.
        features="auto" means "words" here, and the learner is the field's own (learner="auto" or
        "field"): there is no training set to choose on, and the field learns one pass at a time.

        Without buckets, a stream that partial_fit started grows its vocabulary as it goes: a token
        gets its sensory neuron once it has occurred in `min_df` of the stream's texts, counted
        across calls (coverage pruning needs the whole training set, so only fit applies it). A
        model fitted with fit, or loaded from a model folder, keeps its vocabulary: partial_fit
        trains the tokens it has (a served model's feedback trains the mapped folder in place)."""
        settings, texts, labels = self._prepare(X, y)
        model: Model | None = self.__dict__.get("_model")
        if model is not None and model.learner != "field":
            raise ValueError(f"partial_fit continues models of learner='field'; this one was fitted with "
                             f"learner={model.learner!r} (refit it, or fit with learner='field')")
        if model is None:
            if classes is None:
                raise ValueError("the first call to partial_fit must name every class: classes=[...]")
            all_classes = np.unique(as_labels(classes, "classes"))
            check_label_text(all_classes, "classes")
            if len(all_classes) < 2:
                raise ValueError(f"partial_fit needs at least two classes; classes holds {all_classes.tolist()!r}")
        else:
            all_classes = model.classes
            if classes is not None:
                given = np.unique(as_labels(classes, "classes"))
                check_same_family(given, all_classes)
                if not np.array_equal(given, all_classes):
                    raise ValueError("classes differ from those of the first partial_fit call")
        check_same_family(labels, all_classes)
        index = np.searchsorted(all_classes, labels)
        index = np.clip(index, 0, len(all_classes) - 1)
        unseen = all_classes[index] != labels
        if unseen.any():
            raise ValueError(f"y holds labels not in classes: {sorted(set(labels[unseen].tolist()))!r}")
        y_list = index.tolist()
        if model is None:
            if settings.learner not in ("auto", "field") or settings.class_weight is not None:
                raise ValueError(f"partial_fit trains the field's own learner; learner={settings.learner!r} "
                                 f"with class_weight={settings.class_weight!r} fits with fit()")
            kind = settings.features if settings.features != "auto" else "words"
            for name in FITTED_ATTRIBUTES:
                self.__dict__.pop(name, None)
            if settings.buckets:
                model = training.train_model(settings, kind, texts, y_list, all_classes, 1)
                self._set_model(model)
                self.alpha_ = None
                return self
            # An empty vocabulary that the stream fills (see training.grow): `_stream_counts`
            # counts the texts of each token seen but not yet kept.
            model = training.empty_stream(settings, kind, all_classes)
            self._stream_counts: dict[Any, int] = {}
            self._set_model(model)
            self.alpha_ = None
        if not model.buckets and "_stream_counts" in self.__dict__:
            grown = training.grow(settings, model, texts, y_list, self._stream_counts)
            if grown is not model:  # published before it trains
                model = grown
                self._set_model(model)
        documents = model.ids(texts, [model.token_neurons + c for c in y_list])
        with model.lock:  # the field's running potentials: decision_function and other threads' calls
            learners.train_passes(settings, model.field, documents, y_list, 1)
        return self

    # -- prediction ------------------------------------------------------------------------------

    def _fitted(self) -> Model:
        model: Model | None = getattr(self, "_model", None)
        if model is None:
            raise not_fitted(type(self).__name__)
        return model

    @property
    def model_(self) -> Model:
        """The fitted model (features, field, classes), for reading: its weights and thresholds."""
        return self._fitted()

    @property
    def label_thresholds_(self) -> np.ndarray:
        """A multi-label model's probability at which each label is predicted, (classes,) float64."""
        model = self._fitted()
        if model.thresholds is None:
            raise AttributeError("label_thresholds_: the model is single-label (predict is the most probable class)")
        return multilabel.probability_thresholds(model)

    @property
    def multilabel_(self) -> bool:
        """Whether the fitted model is multi-label (fitted on label sets or an indicator matrix)."""
        return self._fitted().thresholds is not None

    @_surface()
    def predict(self, X: Any) -> np.ndarray:
        """The predicted label of each text, as a numpy array of the training labels' type.
        Thread-safe: one fitted classifier may predict from many threads at once."""
        model: Model | None = self.__dict__.get("_model")
        if model is None:
            raise not_fitted(type(self).__name__)
        texts = X if type(X) is list else as_texts(X)
        if model.thresholds is not None:  # multi-label: an indicator (texts, classes)
            return multilabel.predict(model, texts, self.min_labels)
        return model.predict(texts)

    @_surface(serialized=True)
    def autotune(self, X: Any, y: Any, budget: float = 30.0) -> "OmbrelClassifier":
        """Searches features, learners and their settings on held-out training rows for at most
        `budget` seconds (the final fit on all of X included), sets the best settings on this
        classifier and fits it. What was tried and chosen is in `autotune_report_`. Returns self.
        See ombrel_learn.learning.autotune."""
        if self.class_weight is not None:  # its search tries learners that do not weigh classes
            raise ValueError("autotune does not search with a class_weight; fit with learner='sgd' instead")
        autotuning.autotune(self, X, y, budget)
        return self

    @_surface()
    def decision_function(self, X: Any) -> np.ndarray:
        """Per-class potentials of each text, (n_texts, n_classes), columns in the order of
        classes_; predict is their argmax (the first class on ties). With two classes, as
        scikit-learn's classifiers answer, one score per text, (n_texts,): the potential of
        classes_[1] minus that of classes_[0], so positive means classes_[1] (and 0, a tie,
        classes_[0], as predict answers). float64, as scikit-learn's calibration and metrics expect
        (the potentials are integers, held exactly). The whole batch is summed natively on the
        worker pool from the field's weights, at about the speed of predict; the field's running
        potentials are not touched, so calls from several threads run at once."""
        model = self._fitted()
        texts = X if type(X) is list else as_texts(X)
        if model.thresholds is not None:  # multi-label: each class's potential minus its threshold
            return multilabel.decision(model, texts)
        scores = model.potentials(texts).astype(np.float64)  # before subtracting: int32 could wrap
        if scores.shape[1] == 2:
            return scores[:, 1] - scores[:, 0]
        return scores

    def _log_proba(self, X: Any) -> np.ndarray:
        model = self._fitted()
        texts = X if type(X) is list else as_texts(X)
        if model.thresholds is not None:  # multi-label: each label's own probability
            with np.errstate(divide="ignore"):
                return np.log(multilabel.probabilities(model, texts))
        return calibration.log_probabilities(model.potentials(texts), model.softmax_temperature())

    @_surface()
    def predict_proba(self, X: Any) -> np.ndarray:
        """Class probabilities of each text, (n_texts, n_classes) float64, columns in the order of
        classes_, rows summing to 1: the softmax of the potentials divided by a temperature that fit
        chose on held-out training rows (the least log loss; see ombrel_learn.learning.calibration). Models
        made by partial_fit, fit_counts or fit_model have the default temperature (see
        `fitted_model.Model.softmax_temperature`). The argmax is predict's answer (the first class
        on ties). A multi-label model gives each label's own probability instead (rows do not sum
        to 1), calibrated on held-out rows: predict answers exactly the labels whose probability
        passes their `label_thresholds_` (with min_labels, also the best ones below it)."""
        model = self._fitted()
        if model.thresholds is not None:
            return multilabel.probabilities(model, X if type(X) is list else as_texts(X))
        return np.exp(self._log_proba(X))

    @_surface()
    def predict_log_proba(self, X: Any) -> np.ndarray:
        """The logarithms of predict_proba (no underflow to -inf for a class far behind)."""
        return self._log_proba(X)

    @_surface()
    def predict_top_k(self, X: Any, k: int = 1, threshold: float = 0.0) -> list[list[tuple[Any, float]]]:
        """For each text, up to k (label, probability) pairs, most probable first (ties in the order
        of classes_), keeping only probabilities >= threshold: possibly none. Labels are plain
        Python values (str, int, ...), probabilities those of predict_proba."""
        return calibration.top_k(self.predict_proba(X), self._fitted().classes.tolist(), k, threshold)

    @_surface()
    def explain(self, text: str, k: int = 10, in_order: bool = False) -> dict[str, Any]:
        """Why `text` gets its label: {"label", "runner_up", "tokens": [(token, to_label, to_runner_up),
        ...] the k tokens whose contributions differ most, "bias": (to_label, to_runner_up)}, in
        potential units, summing (all tokens) to decision_function's; in_order: every feature in
        reading order too. Single-label models. See ombrel_learn.learning.explaining."""
        return explaining.explain(self._fitted(), text, k, in_order)

    @_surface()
    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """Accuracy of predict(X) against y (str labels against a model of number labels, or the
        reverse, raise "Mix of label input types", as scikit-learn's accuracy_score does). For a
        multi-label model, the share of texts whose label set is predicted exactly (subset accuracy)."""
        if self._fitted().thresholds is not None:
            if sample_weight is not None:  # as fit refuses it there
                raise ValueError("sample_weight is not taken with multi-label targets")
            return multilabel.subset_accuracy(self._fitted(), as_texts(X), y, self.min_labels)
        labels = as_labels(y)
        check_same_family(labels, self._fitted().classes)
        texts = as_texts(X)
        check_lengths(texts, labels)
        # fit's checks and words: one finite weight of at least 0 per text, not all 0.
        weights = as_sample_weight(sample_weight, range(len(labels)), "no text to score")
        hits = self.predict(texts) == labels
        if weights is not None:
            return float(np.average(hits, weights=weights.astype(np.float64)))
        return float(np.mean(hits)) if len(hits) else 0.0

    # -- persistence -----------------------------------------------------------------------------

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the model folder `path` (created if needed). See ombrel_learn.store.folder."""
        model_folder.save(self, self._fitted(), os.fspath(path))

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, shared: bool | None = None) -> "OmbrelClassifier":
        """A classifier from a model folder.

        shared=True maps the folder's weights file, writable: processes that load the folder share
        its pages, and training the model (partial_fit) writes the file, seen by every process that
        maps it. shared=False loads a private copy of the weights (read-only media, or training that
        must not reach the folder). None (the default): shared, or a private copy with a UserWarning
        when the weights cannot be mapped for writing (a read-only folder or medium). See
        ombrel_learn.store.folder."""
        estimator: OmbrelClassifier
        estimator, model, fitted = model_folder.load(cls, os.fspath(path), shared=shared)
        estimator._set_model(model)
        for name, value in fitted.items():
            setattr(estimator, name, value)
        return estimator

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        model = state.pop("_model", None)
        if model is not None:
            state["_model_state"] = model.state()
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        model_state = state.pop("_model_state", None)
        # A pickle from before a setting existed: the value it was made with.
        self.__dict__.update({name: value for name, value in EARLIER_DEFAULTS.items() if name not in state})
        self.__dict__.update(state)
        if model_state is not None:
            # A pickle from before models recorded their features: words without marks.
            settings = dataclasses.replace(self._settings(), marks=False)
            self._set_model(from_state(model_state, settings.spec(model_state["features"])))
