"""OmbrelClassifier.autotune: a search over features, learners and their settings within a time budget.

The training texts are shuffled and split once: 80% to fit each candidate, 20% held out to score it.
The search is greedy, in rounds, each round starting from the best settings so far:

1. the choices `learner="auto"` makes, the word candidates first (naive Bayes at three smoothings
   and SGD on words; SGD on words without stop words and stemming; with weighting="auto", SGD on
   both word variants with sublinear tf), then chars (naive Bayes, SGD);
2. the learner, the best candidate's own first: more smoothings, the other SGD losses and
   penalties, more passes, TF-IDF or presence rows, the averaged perceptron, the field's own
   training with its amplify / suppress / margin / chunk / passes; this round may take half of the
   budget left, so that round 3 runs on a large set too;
3. the features: min_df, stop words and stemming, word pairs (words), n-gram lengths (chars), hashing
   into a fixed number of sensory neurons instead of a vocabulary, class-spread pruning;
4. the learner again, on the features round 3 chose (what round 2 had no time for included).

Every candidate's features are made once (token ids of both parts, and naive Bayes counts), so
trying another smoothing or loss on them costs only the learner. A candidate is tried only when the
time it is expected to take still leaves room for the final fit on every text, expected from the best
candidate's own cost; the search therefore leaves out candidates (`autotune_report_["cut_for_time"]`)
rather than overrun the budget. The expected time comes from the runs of the same feature kind and
learner so far, or, for a pair not run yet and for features not made yet (word pairs, other n-grams, a
smaller min_df: their cost is not their kind's), from a probe on a part of a fold: never zero; the
candidate and the final fit after it must end within the budget with a margin (SAFETY) on both. The settings that score best on the held-out part (ties keep the earlier one)
are set on the classifier, which is then fitted on all the texts; except that word features are
kept unless character n-grams do significantly better (`choice.prefer_cheaper`): they predict
several times faster, and a small lead on held-out rows of the training set is mostly noise.
"""

from __future__ import annotations

import dataclasses
import random
import time
from typing import Any

import numpy as np

from ..base import progress
from ..base.validation import as_labels, as_texts, check_lengths, check_texts
from . import featurizing, learners, linear
from .choice import prefer_cheaper
from .settings import Settings
from .training import float_features, train_model

HELD_OUT = 0.2
# Below this many texts, candidates are scored by three-fold cross-validation instead: one held-out
# slice of a few hundred or thousand texts is too noisy to rank dozens of candidates (the best of
# many scores on it is mostly luck).
FOLDS_BELOW = 20000
FOLDS = 3
# The final fit is expected to take the best candidate's time on one fold scaled by this (it sees
# all the texts, at most 1 / 0.67 of a fold's, and tokenizing and counting grow about linearly).
REFIT_FACTOR = 2.0
# A (feature kind, learner) pair not tried yet is costed by fitting it on this share of a fold's
# training texts (at least PROBE_TEXTS), and on half as many.
PROBE_TEXTS = 300
PROBE_SHARE = 0.1
# A candidate is tried when this many times its expected seconds and the final fit's still end within
# the budget: measured times vary (other processes, caches). Measured with `ombrel train --autotune 30`
# on 20 Newsgroups: 35.3 s with the margin on the candidate alone and word pairs costed as words,
# 29.6-29.8 s (search and final fit) with both.
SAFETY = 1.25


def _name(params: dict[str, Any]) -> str:
    """A candidate's settings as one readable key: "features=words, learner=naive_bayes, alpha=0.1, ..."."""
    return ", ".join(f"{name}={value!r}" for name, value in params.items())


def _key(params: dict[str, Any]) -> tuple[Any, ...]:
    return tuple(sorted((k, tuple(v) if isinstance(v, (list, tuple)) else v) for k, v in params.items()))


class _Search:
    def __init__(self, settings: Settings, texts: list[str], y: np.ndarray, k: int, budget: float, start: float):
        self.settings = settings
        self.k = k
        self.deadline = start + budget
        self.round_deadline = self.deadline  # a round may end before the budget does (see autotune)
        self.start = start
        order = list(range(len(texts)))
        random.Random(settings.random_state).shuffle(order)
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
        self.probed: dict[tuple[Any, ...], float] = {}  # (kind, learner, buckets) or features -> seconds (_probe)
        self.made_keys: set[tuple[Any, ...]] = set()      # the feature settings of the candidates run
        self.cut: list[dict[str, Any]] = []              # candidates left out for time
        self.skipped: set[tuple[Any, ...]] = set()
        self.fold_bytes = sum(map(len, self.folds[0][0])) + sum(map(len, self.folds[0][2]))
        self.shown: progress.Silent = progress.SILENT  # the search's line on a terminal

    def _clone(self, params: dict[str, Any]) -> Settings:
        return dataclasses.replace(self.settings, **{**params, "verbose": False})

    @staticmethod
    def _feature_key(clf: Settings, learner: str) -> tuple[Any, ...]:
        names = ["features", "min_df", "buckets"]
        names += ["stop_words", "stem", "min_length", "word_ngrams"] if clf.features == "words" else ["ngram_range"]
        settings = {n: getattr(clf, n) for n in names}
        if isinstance(settings.get("stop_words"), (set, frozenset)):
            settings["stop_words"] = tuple(sorted(settings["stop_words"]))
        settings["coverage"] = clf.coverage_for(learner)
        settings["log_tf"] = clf.weighting == "sublinear"  # its ids repeat counted tokens
        return _key(settings)

    def _expected(self, params: dict[str, Any], feature_key: tuple[Any, ...], clf: Settings) -> float:
        """Seconds the candidate is expected to take, over all folds. From what was measured on
        its feature kind with its learner: making its features (unless made already), as long as
        the dearest of its kind so far, plus its learner, as long as the dearest run of that learner
        on that kind so far, scaled by its passes. A (kind, learner) pair not tried yet is
        measured on a probe (`_probe`): a kind never tried is never costed at zero."""
        kind, learner = params["features"], params["learner"]
        of_kind = [t for t in self.tried if t["params"]["features"] == kind]
        # Hashing changes a float learner's cost (a dense matrix of every bucket): its own pair.
        buckets = int(params.get("buckets", 0) or 0)
        same = [t for t in of_kind if t["params"]["learner"] == learner
                and int(t["params"].get("buckets", 0) or 0) == buckets]
        if not same and buckets and learner != "field":
            # As its run on a vocabulary, scaled by how much larger the dense matrix is (on the
            # large side: only the learner's passes over that matrix grow with it). Probing it
            # would cost as much.
            known = [t for t in of_kind if t["params"]["learner"] == learner and t.get("features")]
            if known:
                return max(t["seconds"] * len(self.folds) * max(1.0, buckets / t["features"]) for t in known)
        if not same:
            return self._probe(kind, learner, clf)
        if feature_key not in self.made_keys:
            # Other features of a kind already run: their cost is not that kind's (word pairs with
            # min_df=1 made 20 times the tokens of single words on 20 Newsgroups, and their candidate
            # took 4.4 s where 0.76 were expected): probed as they are, with this learner.
            return self._probe(kind, learner, clf, (feature_key, learner, buckets))
        making = 0.0
        if learner != "field" and (0, feature_key) not in self.features:
            making = max(t["feature_seconds"] for t in of_kind)
        epochs = float(params.get("epochs", clf.epochs))
        learning = max(t["learner_seconds"] * (epochs / float(t["params"].get("epochs", clf.epochs))
                                                if learner != "naive_bayes" else 1.0) for t in same)
        return float(making + learning)

    def _probe(self, kind: str, learner: str, clf: Settings, pair: tuple[Any, ...] | None = None) -> float:
        """The expected seconds of a candidate of this kind and learner (and hash buckets, if any)
        over all folds, from a fit and prediction on the first texts of a fold, scaled to the
        fold's length (once per pair, or per `pair` given; the probe's own time counts against the
        budget)."""
        pair = (kind, learner, int(clf.buckets)) if pair is None else pair
        if pair in self.probed:
            return self.probed[pair]
        train_x, train_y, test_x, _ = self.folds[0]

        def run(rows: int) -> tuple[float, int]:
            probe_x, probe_y, probe_test = train_x[:rows], train_y[:rows], test_x[:max(1, rows // 4)]
            began = time.perf_counter()
            if learner == "field":
                model = train_model(clf, kind, probe_x, probe_y.tolist(), np.arange(self.k), int(clf.epochs))
                model.predict_indices(probe_test)
            else:
                spec, vocabulary, buckets, ids = float_features(clf, kind, probe_x, probe_y.tolist(), self.k, learner)
                test_ids = featurizing.transform(spec, vocabulary, buckets, probe_test)
                features = buckets or len(vocabulary or ())
                floating = learners.fit_float(clf, learner, clf.alpha, ids, probe_y, features, self.k)
                learners.as_the_field_holds(clf, floating, ids, probe_y, self.k).predict(test_ids)
            return time.perf_counter() - began, sum(map(len, probe_x)) + sum(map(len, probe_test))

        # Two sizes, so that a fixed cost (setting up, a matrix of every token) is not scaled up
        # with the text: seconds = fixed + per_byte x bytes. Timings on a loaded machine are
        # noisy, so never below half of the larger probe's time scaled by the text's length.
        rows = min(len(train_x), max(PROBE_TEXTS, int(len(train_x) * PROBE_SHARE)))
        small, small_bytes = run(max(1, rows // 2))
        large, large_bytes = run(rows)
        per_byte = max(0.0, large - small) / max(1, large_bytes - small_bytes)
        fixed = max(0.0, small - per_byte * small_bytes)
        scaled = large * self.fold_bytes / max(1, large_bytes)
        expected = max(large, fixed + per_byte * self.fold_bytes, 0.5 * scaled) * len(self.folds)
        self.probed[pair] = expected
        return expected

    def _room(self, expected: float, deadline: float | None = None) -> bool:
        """Whether the candidate and then the final fit (expected from the best candidate's cost)
        still end within the budget (or by `deadline`)."""
        now = time.perf_counter()
        refit = REFIT_FACTOR * self.best_seconds
        return now + SAFETY * (expected + refit) <= (self.deadline if deadline is None else deadline)

    def _make_features(self, fold: int, clf: Settings, learner: str, key: tuple[Any, ...]) -> Any:
        if (fold, key) not in self.features:
            train_x, train_y, test_x, _ = self.folds[fold]
            began = time.perf_counter()
            spec, vocabulary, buckets, ids = float_features(clf, clf.features, train_x, train_y.tolist(), self.k, learner)
            test_ids = featurizing.transform(spec, vocabulary, buckets, test_x)
            self.features[fold, key] = (buckets or len(vocabulary or ()), ids, test_ids)
            self.cost[key] = self.cost.get(key, 0.0) + time.perf_counter() - began
        return self.features[fold, key]

    def _hits(self, params: dict[str, Any], key: tuple[Any, ...], clf: Settings) -> np.ndarray:
        """Which held-out texts the candidate classifies right, over all folds."""
        learner = params["learner"]
        hits = []
        for fold, (train_x, train_y, test_x, test_y) in enumerate(self.folds):
            if learner == "field":
                model = train_model(clf, clf.features, train_x, train_y.tolist(), np.arange(self.k), int(clf.epochs))
                hits.append(np.asarray(model.predict_indices(test_x)) == test_y)
                continue
            features, ids, test_ids = self._make_features(fold, clf, learner, key)
            if learner == "naive_bayes":
                if (fold, key) not in self.counts:
                    self.counts[fold, key] = linear.count_naive_bayes(ids, train_y, features, self.k)
                floating = self.counts[fold, key].to_model(float(params["alpha"]))
            else:
                floating = learners.fit_float(clf, learner, params.get("alpha"), ids, train_y, features, self.k)
            floating = learners.as_the_field_holds(clf, floating, ids, train_y, self.k)
            hits.append(np.asarray(floating.predict(test_ids)) == test_y)
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
        elif full.get("weighting") == "sublinear":  # the field learner sees each token once
            full["weighting"] = "tfidf"
        if full["learner"] == "naive_bayes":
            full.pop("epochs", None)
        key = _key(full)
        if key in self.scores or key in self.skipped:
            return
        clf = self._clone(full)
        clf.check()
        feature_key = self._feature_key(clf, full["learner"])
        # The first candidate always runs: the search measures at least one choice, and it is
        # the cheapest (words, naive Bayes).
        if not self.tried:
            expected = 0.0
        elif time.perf_counter() >= self.deadline:
            expected = None  # out of time: not even probed
        else:
            expected = self._expected(full, feature_key, clf)
        if expected is None or (self.tried and not self._room(expected)):
            self.cut.append({"params": full, "expected_seconds": expected})
            self.skipped.add(key)
            return
        if self.tried and not self._room(expected, self.round_deadline):
            return  # this round's share is spent: a later round may still try it
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
        self.made_keys.add(feature_key)
        self.scores[key] = score
        self.right[key] = hits
        self.tried.append({"params": full, "score": score, "seconds": seconds, "feature_seconds": feature_seconds,
                           "learner_seconds": learner_seconds,
                           "features": self.features[0, feature_key][0] if (0, feature_key) in self.features else 0})
        if score > self.best_score:
            self.best, self.best_score, self.best_seconds = full, score, seconds
            self.best_feature_key = feature_key
        self.shown.describe(f"{len(self.tried)} tried, best {self.best_score:.4f}")
        # Only the best candidate's features are tried again (with other learners): the rest are
        # let go, which bounds the memory to two feature sets.
        for cache in (self.features, self.counts):
            for stale in [k for k in cache if k[1] != self.best_feature_key]:
                del cache[stale]

    def learner_round(self) -> None:
        """Each learner's settings, the best candidate's learner first (a round may run out of its
        share of the budget: what leads is refined before what trails is explored)."""
        assert self.best is not None
        order = ["naive_bayes", "sgd", "perceptron", "field"]
        leading = self.best["learner"]
        for learner in [leading] + [other for other in order if other != leading]:
            getattr(self, "_try_" + learner)()

    def _try_naive_bayes(self) -> None:
        for alpha in (0.01, 0.03, 0.05, 0.1, 0.2, 0.3, 0.5, 1.0):
            self.try_({"learner": "naive_bayes", "alpha": alpha})

    def _try_sgd(self) -> None:
        assert self.best is not None
        for loss in linear.LOSSES:
            for alpha in (1e-5, 3e-5, 1e-4):
                self.try_({"learner": "sgd", "loss": loss, "alpha": alpha, "epochs": 5})
        self.try_({"learner": "sgd", "epochs": 10})
        for weighting in ("sublinear", "tfidf", "binary"):
            if weighting != self.best.get("weighting"):
                self.try_({"learner": "sgd", "weighting": weighting})

    def _try_perceptron(self) -> None:
        self.try_({"learner": "perceptron", "epochs": 5})
        self.try_({"learner": "perceptron", "epochs": 10})

    def _try_field(self) -> None:
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
            self.try_({"word_ngrams": 2})
            self.try_({"word_ngrams": 2, "stop_words": None, "stem": False})
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
    """Searches the settings of `estimator` (an OmbrelClassifier: its parameters, set_params and
    fit are used) on X, y within `budget` seconds, sets the best and fits it; returns it."""
    start = time.perf_counter()
    budget = float(budget)
    if not budget > 0:
        raise ValueError(f"budget must be a positive number of seconds, got {budget!r}")
    settings = Settings.of(estimator)
    settings.check()
    texts = as_texts(X)
    check_texts(texts)
    labels = as_labels(y)
    check_lengths(texts, labels)
    classes, y_index = np.unique(labels, return_inverse=True)
    if len(classes) < 2:
        raise ValueError(f"autotune needs at least two classes; y holds only {classes.tolist()!r}")
    if len(texts) < 10:
        raise ValueError(f"autotune needs at least 10 texts to hold some out, got {len(texts)}")
    search = _Search(settings, texts, y_index, len(classes), budget, start)
    # Every candidate names its word settings ("auto" would make the final fit choose again).
    concrete = settings.resolved()
    base = {"buckets": 0, "min_df": settings.min_df, "coverage": None, "stop_words": concrete.stop_words,
            "stem": concrete.stem, "word_ngrams": concrete.word_ngrams, "weighting": concrete.weighting}
    # One line for the whole search, its bar the budget's seconds; the final fit shows its own phases.
    with progress.phase(settings.verbose, "searching settings", budget, "s", clock=True) as search.shown:
        # The word candidates first (chars cost several times more: on a large set they may not all fit).
        sgd = {"learner": "sgd", "loss": "hinge", "alpha": 1e-4, "epochs": 5}
        for alpha in (0.1, 0.3, 1.0):
            search.try_({**base, "features": "words", "learner": "naive_bayes", "alpha": alpha})
        search.try_({**base, "features": "words", **sgd})
        search.try_({**base, "features": "words", "stop_words": None, "stem": False, **sgd})
        if settings.weighting == "auto":  # as fit's choice does: the word variants with sublinear tf
            for words in ({}, {"stop_words": None, "stem": False}):
                search.try_({**base, "features": "words", **words, "weighting": "sublinear", **sgd})
        for alpha in (0.1, 0.3, 1.0):
            search.try_({**base, "features": "chars", "learner": "naive_bayes", "alpha": alpha})
        search.try_({**base, "features": "chars", **sgd})
        # The first learner round may take half of what is left, so that the features are
        # searched too on a large set (on 20 Newsgroups it took the whole budget); the rounds after
        # it share the rest, and the last learner round tries what the first had no time for.
        search.round_deadline = time.perf_counter() + (search.deadline - time.perf_counter()) / 2
        search.learner_round()
        search.round_deadline = search.deadline
        search.feature_round()
        search.learner_round()
    assert search.best is not None  # the first candidate always runs
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
    # The held-out accuracy of every candidate tried (autotune's choice replaces fit's).
    estimator.selection_scores_ = {_name(t["params"]): t["score"] for t in search.tried}
    estimator.autotune_report_ = {
        "chosen": chosen,
        "held_out_accuracy": chosen_score,
        "best_held_out_accuracy": search.best_score,
        "candidates_tried": len(search.tried),
        "search_seconds": searched,
        "seconds": time.perf_counter() - start,
        "budget": budget,
        "tried": [{"params": t["params"], "score": t["score"], "seconds": t["seconds"]} for t in search.tried],
        # Left out because they would not have ended (with the final fit after them) within the
        # budget: their params and the seconds expected (None: the time was already spent).
        "cut_for_time": search.cut,
    }
    return estimator
