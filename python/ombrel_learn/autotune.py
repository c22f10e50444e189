"""OmbrelClassifier.autotune: a search over features, learners and their settings within a time budget.

The training texts are shuffled and split once: 80% to fit each candidate, 20% held out to score it.
The search is greedy, in rounds, each round starting from the best settings so far:

1. the choices `learner="auto"` makes (words and chars; naive Bayes at three smoothings, SGD);
2. the learner: more smoothings, the other SGD losses and penalties, more passes, the averaged
   perceptron, the field's own training with its amplify / suppress / margin / chunk / passes;
3. the features: min_df, stop words and stemming (words), n-gram lengths (chars), hashing into a fixed
   number of sensory neurons instead of a vocabulary, class-spread pruning;
4. the learner again, on the features round 3 chose.

Every candidate's features are made once (token ids of both parts, and naive Bayes counts), so
trying another smoothing or loss on them costs only the learner. A candidate is tried only when the
time it is expected to take (that of its feature kind so far) still leaves room for the final fit on
every text, expected from the best candidate's own cost; the search therefore stops early rather than
overrun the budget. The settings that score best on the held-out part (ties keep the earlier one)
are set on the classifier, which is then fitted on all the texts; except that word features are
kept unless character n-grams do significantly better (`classifier.prefer_cheaper`): they predict
several times faster, and a small lead on held-out rows of the training set is mostly noise.
"""

from __future__ import annotations

import random
import time
from typing import Any

import numpy as np

from . import _native, linear

HELD_OUT = 0.2
# Below this many texts, candidates are scored by three-fold cross-validation instead: one held-out
# slice of a few hundred or thousand texts is too noisy to rank dozens of candidates (the best of
# many scores on it is mostly luck).
FOLDS_BELOW = 20000
FOLDS = 3
# The final fit is expected to take the best candidate's time on one fold scaled by this (it sees
# all the texts, at most 1 / 0.67 of a fold's, and tokenizing and counting grow about linearly).
REFIT_FACTOR = 2.0


def _key(params: dict[str, Any]) -> tuple[Any, ...]:
    return tuple(sorted((k, tuple(v) if isinstance(v, (list, tuple)) else v) for k, v in params.items()))


class _Search:
    def __init__(self, estimator: Any, texts: list[str], y: np.ndarray, k: int, budget: float, start: float):
        self.estimator = estimator
        self.k = k
        self.deadline = start + budget
        self.start = start
        order = list(range(len(texts)))
        random.Random(estimator.random_state).shuffle(order)
        if len(texts) < FOLDS_BELOW:
            held_parts = [order[f::FOLDS] for f in range(FOLDS)]
        else:
            held_parts = [order[-max(1, int(len(texts) * HELD_OUT)):]]
        self.folds = []
        for held in held_parts:
            held_set = set(held)
            train_rows = [i for i in order if i not in held_set]
            self.folds.append(([texts[i] for i in train_rows], y[train_rows].astype(np.uint32),
                               [texts[i] for i in held], y[held]))
        self.features: dict[tuple[Any, ...], Any] = {}   # (fold, feature settings) -> (features, ids, test ids)
        self.counts: dict[tuple[Any, ...], Any] = {}
        self.cost: dict[tuple[Any, ...], float] = {}     # feature settings -> seconds to make them
        self.tried: list[dict[str, Any]] = []
        self.scores: dict[tuple[Any, ...], float] = {}
        self.right: dict[tuple[Any, ...], np.ndarray] = {}
        self.best: dict[str, Any] | None = None
        self.best_score = -1.0
        self.best_seconds = 0.0
        self.best_feature_key: tuple[Any, ...] | None = None

    def _clone(self, params: dict[str, Any]) -> Any:
        merged = {**self.estimator.get_params(), **params, "verbose": False}
        return type(self.estimator)(**merged)

    @staticmethod
    def _feature_key(clf: Any, learner: str) -> tuple[Any, ...]:
        names = ["features", "min_df", "buckets"]
        names += ["stop_words", "stem", "min_length"] if clf.features == "words" else ["ngram_range"]
        settings = {n: getattr(clf, n) for n in names}
        if isinstance(settings.get("stop_words"), (set, frozenset)):
            settings["stop_words"] = tuple(sorted(settings["stop_words"]))
        settings["coverage"] = clf._coverage(learner)
        return _key(settings)

    def _expected(self, params: dict[str, Any], feature_key: tuple[Any, ...]) -> float:
        """Seconds the candidate is expected to take: making its features (unless made already),
        as long as the dearest of its kind so far, plus its learner, as long as the dearest run of
        that learner on that kind so far (or of any learner on it)."""
        kind, learner = params["features"], params["learner"]
        of_kind = [t for t in self.tried if t["params"]["features"] == kind]
        making = 0.0
        if learner != "field" and (0, feature_key) not in self.features:
            making = max((t["feature_seconds"] for t in of_kind), default=0.0)
        same = [t["learner_seconds"] for t in of_kind if t["params"]["learner"] == learner]
        learning = max(same or [t["learner_seconds"] for t in of_kind] or [0.0])
        return float(making + learning)

    def _room(self, expected: float) -> bool:
        now = time.perf_counter()
        refit = REFIT_FACTOR * self.best_seconds
        return now + expected + refit <= self.deadline

    def _make_features(self, fold: int, clf: Any, learner: str, key: tuple[Any, ...]) -> Any:
        if (fold, key) not in self.features:
            train_x, train_y, test_x, _ = self.folds[fold]
            began = time.perf_counter()
            spec, vocabulary, buckets, ids = clf._token_ids(clf.features, train_x, train_y.tolist(), self.k, learner)
            test_ids = _native.transform(spec, vocabulary, buckets, test_x)
            self.features[fold, key] = (buckets or len(vocabulary or ()), ids, test_ids)
            self.cost[key] = self.cost.get(key, 0.0) + time.perf_counter() - began
        return self.features[fold, key]

    def _hits(self, params: dict[str, Any], key: tuple[Any, ...], clf: Any) -> np.ndarray:
        """Which held-out texts the candidate classifies right, over all folds."""
        learner = params["learner"]
        hits = []
        for fold, (train_x, train_y, test_x, test_y) in enumerate(self.folds):
            if learner == "field":
                model = clf._train_new(clf.features, train_x, train_y.tolist(), np.arange(self.k), int(clf.epochs))
                hits.append(np.asarray(model.predict_indices(test_x)) == test_y)
                continue
            features, ids, test_ids = self._make_features(fold, clf, learner, key)
            if learner == "naive_bayes":
                if (fold, key) not in self.counts:
                    self.counts[fold, key] = linear.count_naive_bayes(ids, train_y, features, self.k)
                model = self.counts[fold, key].to_model(float(params["alpha"]))
            else:
                model = clf._fit_float(learner, params.get("alpha"), ids, train_y, features, self.k)
            if self.k > linear.FIELD_SLOTS:
                model = linear.refit_cut(model, ids, train_y, random_state=clf.random_state)
            hits.append(np.asarray(model.predict(test_ids)) == test_y)
        return np.concatenate(hits)

    def try_(self, params: dict[str, Any]) -> None:
        full = dict(params)
        if self.best is not None:
            full = {**self.best, **params}
        if full["learner"] != "naive_bayes" and full["learner"] != "sgd":
            full.pop("alpha", None)
            full.pop("loss", None)
        if full["learner"] == "naive_bayes":
            full.pop("loss", None)
        if full["learner"] != "field":
            for name in ("amplify", "suppress", "margin", "chunk"):
                full.pop(name, None)
        if full["learner"] == "naive_bayes":
            full.pop("epochs", None)
        key = _key(full)
        if key in self.scores:
            return
        clf = self._clone(full)
        clf._check_settings()
        feature_key = self._feature_key(clf, full["learner"])
        if self.tried and not self._room(self._expected(full, feature_key)):
            return
        made = (0, feature_key) in self.features
        began = time.perf_counter()
        hits = self._hits(full, feature_key, clf)
        elapsed = time.perf_counter() - began
        feature_seconds = 0.0 if made or full["learner"] == "field" else self.cost[feature_key]
        learner_seconds = elapsed - feature_seconds
        # What fitting this candidate from raw texts takes (its features included), for each fold.
        seconds = elapsed if full["learner"] == "field" else self.cost[feature_key] + learner_seconds
        seconds /= len(self.folds)
        score = float(hits.mean())
        self.scores[key] = score
        self.right[key] = hits
        self.tried.append({"params": full, "score": score, "seconds": seconds, "feature_seconds": feature_seconds,
                           "learner_seconds": learner_seconds})
        if score > self.best_score:
            self.best, self.best_score, self.best_seconds = full, score, seconds
            self.best_feature_key = feature_key
        # Only the best candidate's features are tried again (with other learners): the rest are
        # let go, which bounds the memory to two feature sets.
        for cache in (self.features, self.counts):
            for stale in [k for k in cache if k[1] != self.best_feature_key]:
                del cache[stale]

    def learner_round(self) -> None:
        assert self.best is not None
        for alpha in (0.01, 0.03, 0.05, 0.1, 0.2, 0.3, 0.5, 1.0):
            self.try_({"learner": "naive_bayes", "alpha": alpha})
        for loss in linear.LOSSES:
            for alpha in (1e-5, 3e-5, 1e-4):
                self.try_({"learner": "sgd", "loss": loss, "alpha": alpha, "epochs": 5})
        self.try_({"learner": "sgd", "epochs": 10})
        self.try_({"learner": "perceptron", "epochs": 5})
        self.try_({"learner": "perceptron", "epochs": 10})
        defaults = {"learner": "field", "amplify": 10, "suppress": 1, "margin": 300, "chunk": 32, "epochs": 4}
        self.try_(defaults)
        for name, values in (("amplify", (5, 20)), ("margin", (100, 600)), ("chunk", (8, 128)),
                             ("suppress", (0, 3)), ("epochs", (2, 8))):
            for value in values:
                self.try_({**defaults, name: value})

    def feature_round(self) -> None:
        assert self.best is not None
        kind = self.best["features"]
        for min_df in (1, 3, 5):
            self.try_({"min_df": min_df})
        if kind == "words":
            self.try_({"stop_words": None})
            self.try_({"stem": False})
            self.try_({"stop_words": None, "stem": False})
            self.try_({"min_length": 1})
        else:
            for ngram_range in ((1, 3), (2, 4), (1, 5), (2, 5), (2, 6), (3, 6)):
                self.try_({"ngram_range": ngram_range})
        for buckets in (1 << 18, 1 << 20):
            if buckets * self.k <= (1 << 26) or self.best["learner"] == "field":
                self.try_({"buckets": buckets})
        self.try_({"coverage": 0.9})
        if self.best["learner"] == "naive_bayes":  # the best smoothing moves with the features
            for alpha in (0.03, 0.1, 0.3, 1.0):
                self.try_({"alpha": alpha})


def autotune(estimator: Any, X: Any, y: Any, budget: float) -> Any:
    from .classifier import _as_labels, _as_texts, _check_texts, prefer_cheaper
    start = time.perf_counter()
    budget = float(budget)
    if not budget > 0:
        raise ValueError(f"budget must be a positive number of seconds, got {budget!r}")
    estimator._check_settings()
    texts = _as_texts(X)
    _check_texts(texts)
    labels = _as_labels(y)
    if len(texts) != len(labels):
        raise ValueError(f"X and y have different lengths: {len(texts)} texts, {len(labels)} labels")
    classes, y_index = np.unique(labels, return_inverse=True)
    if len(classes) < 2:
        raise ValueError(f"autotune needs at least two classes; y holds only {classes.tolist()!r}")
    if len(texts) < 10:
        raise ValueError(f"autotune needs at least 10 texts to hold some out, got {len(texts)}")
    search = _Search(estimator, texts, y_index, len(classes), budget, start)
    base = {"buckets": 0, "min_df": estimator.min_df, "coverage": None}
    for kind in ("words", "chars"):
        for alpha in (0.1, 0.3, 1.0):
            search.try_({**base, "features": kind, "learner": "naive_bayes", "alpha": alpha})
        search.try_({**base, "features": kind, "learner": "sgd", "loss": "log_loss", "alpha": 1e-4, "epochs": 5})
    search.learner_round()
    search.feature_round()
    search.learner_round()
    assert search.best is not None
    # Word features unless chars do significantly better (they predict several times slower).
    keys = [_key(t["params"]) for t in search.tried]
    params = {_key(t["params"]): t["params"] for t in search.tried}
    chosen = dict(params[prefer_cheaper(keys, search.right, lambda key: params[key]["features"])])
    chosen_score = search.scores[_key(chosen)]
    estimator.set_params(**chosen)
    if "alpha" not in chosen:
        estimator.set_params(alpha=None)
    searched = time.perf_counter() - start
    estimator.fit(texts, labels)
    estimator.autotune_report_ = {
        "chosen": chosen,
        "held_out_accuracy": chosen_score,
        "best_held_out_accuracy": search.best_score,
        "candidates_tried": len(search.tried),
        "search_seconds": searched,
        "seconds": time.perf_counter() - start,
        "budget": budget,
        "tried": [{"params": t["params"], "score": t["score"], "seconds": t["seconds"]} for t in search.tried],
    }
    return estimator
