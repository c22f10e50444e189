"""The automatic choice of learner="auto" / features="auto" (and of naive Bayes' smoothing when
alpha=None): candidates scored on held-out rows of the training texts, the best kept.

It fits naive Bayes (each alpha) and SGD (its `loss`, TF-IDF rows) on each feature kind that `features`
allows (with weighting="auto", each word variant also with sublinear tf), and, where the search is
thorough, SGD's other penalties and the linear SVM on the kind where SGD did best; keeps the best on
the held-out rows (ties go to the earlier candidate: naive Bayes, SGD, the SVM), and `chosen_fit` refits it
on everything. While the search costs a few seconds at most (`cross_validated`), every candidate is
scored on five folds of every training text, so that each estimate is that of a fit on 80% of the
rows, trained as the final fit trains; a larger set is searched on a sample (the word kinds on all
of it, costlier kinds on as many rows as a budget of a few fits allows). With fit's sample_weight
(and a class_weight, which fit makes a sample weight by class), every candidate trains with the
weights of its training rows (the held-out rows are scored unweighted). Word
features, which predict several times faster, are kept unless chars do significantly better (see
`prefer_cheaper`).
"""

from __future__ import annotations

from typing import Any, Iterator

import numpy as np

from .. import _native
from . import featurizing, learners, linear
from .featurizing import Featurized, featurize
from .settings import TF_LEARNERS, TF_SUFFIX, Settings
from .scoring import Candidate, Scoring, float_models, prefer_cheaper, score_kinds
from .training import float_features, train_model

# learner="auto" / features="auto" compare their candidates on at most this many training texts
# (80% train, 20% held out; three folds below AUTO_FOLDS_BELOW texts), and on at most this many
# bytes of text, so that the choice costs a bounded share of the fit.
AUTO_SAMPLE_TEXTS = 20000
AUTO_SAMPLE_BYTES = 2_000_000
AUTO_FOLDS_BELOW = 1500
# With one held-out fold, the sample's held-out part is at least this many texts (scoring is cheap).
AUTO_SAMPLE_HELD = 5000
# The choice spends at most about this many times the cost of one fit (estimated from tokenizing the
# sample with the cheapest feature kind): a costlier kind is compared on as many of the sample's
# texts as half of that allows, so a small training set gets a proportionally small search; but on
# at least AUTO_MIN_HELD held-out texts and max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS x classes)
# training texts (a quarter of the sample with three folds).
AUTO_BUDGET_FITS = 3.0
AUTO_MIN_ROWS = 300
AUTO_ROWS_PER_CLASS = 20
AUTO_MIN_HELD = 300
AUTO_MIN_SHARE = 4
AUTO_PROBE_ROWS = 200
# Chars racing the words (three folds) is scored on the first 1 / AUTO_RACE_SHARE of the rows its
# budget allows, unless that is more than AUTO_RACE_MOST of them.
AUTO_RACE_SHARE = 2
AUTO_RACE_MOST = 0.8
PROBE_BUCKETS = 1 << 24
# The thorough search (see `cross_validated`): its folds; its cap on the ids it presents (about 3 s
# on 2 threads); how many classes make an SGD pass cost as much again as naive Bayes' count; how many
# times the cap one held-out fold of every text may cost; the passes of a refit past 8 classes.
AUTO_CV_FOLDS = 5
AUTO_CV_IDS = 120e6
AUTO_CV_CLASSES_PER_PASS = 8
AUTO_HOLDOUT_SHARE = 4 / 3
AUTO_CV_REFIT_PASSES = 2
AUTO_CV_PROBE_ROWS = 1000
# The naive Bayes smoothings learner="auto" (or alpha=None) chooses among, on held-out rows.
AUTO_ALPHAS = (0.1, 0.3, 1.0)
# The SGD penalties the thorough search also tries (besides learners.SGD_ALPHA) on its best SGD kind.
AUTO_SGD_ALPHAS = (3e-4, 1e-3)
# What learner="auto" compares on every kind. The field's own training is left to an explicit
# learner="field" or to autotune: on held-out rows of every dataset measured it never beat the better
# of these two, and it costs more than both together.
AUTO_LEARNERS = ("naive_bayes", "sgd")
# The thorough search also fits the linear SVM where SGD did best (`cross_validated`): SGD's five passes fall
# short on short texts of many classes. Its cost in SGD's passes (2-6x SGD's fit measured; each class's
# problem makes its own passes over the texts), and the room it gets beyond the search's bound.
AUTO_SVM_PASSES = 4.0
AUTO_SVM_ROOM = 1.5
# A float learner holds a dense (token neurons x classes) matrix: in hashing mode, learner="auto"
# considers the float learners only while that matrix stays below this many cells.
MAX_DENSE_CELLS = 1 << 24
# learner="auto" leaves out a float learner whose estimated peak memory (tokens x classes x
# FLOAT_BYTES_PER_CELL, the choice's folds running side by side counted) is above this, and the
# field learner, which needs 64 bytes per token whatever the classes, trains instead. A fixed cap
# rather than a share of the free memory, so that the same data and settings choose the same model
# on every machine.
AUTO_FLOAT_MEMORY = 1 << 30


def needed(settings: Settings) -> bool:
    """Whether a fit with these settings chooses (features, learner or alpha) on held-out rows."""
    return (settings.features == "auto" or settings.learner == "auto"
            or (settings.learner == "naive_bayes" and settings.alpha is None)
            or (settings.features == "words" and settings.learner != "field" and len(settings.word_variants()) > 1))


def kinds_of(settings: Settings) -> list[str]:
    """The feature kinds the choice compares, the cheapest first: the word variants
    (`Settings.word_variants`), then "chars"."""
    words = [name for name, _ in settings.word_variants()]
    if settings.features == "auto":
        return words + ["chars"]
    return words if settings.features == "words" else ["chars"]


def variant(settings: Settings, kind: str) -> tuple[str, Settings]:
    """(feature kind of the model, concrete settings) of a kind the choice compares."""
    if kind == "chars":
        return "chars", settings.resolved()
    variants = settings.word_variants()
    for name, concrete in variants:
        if name == kind:
            return "words", concrete
    return "words", variants[0][1]


def base_kind(kind: str) -> str:
    return "chars" if kind == "chars" else "words"


def candidates(settings: Settings, k: int) -> list[Candidate]:
    """(features, learner, alpha) in order of preference (ties go to the earlier one)."""
    kinds = kinds_of(settings)
    if settings.learner != "auto":
        learner_names: tuple[str, ...] = (settings.learner,)
    elif settings.buckets and int(settings.buckets) * k > MAX_DENSE_CELLS:
        learner_names = ("field",)
    else:
        learner_names = AUTO_LEARNERS
    out: list[Candidate] = []
    for kind in kinds:
        for learner in learner_names:
            if kind.endswith(TF_SUFFIX) and learner not in TF_LEARNERS:
                continue  # sublinear tf is compared on the learners that weigh tokens by it
            if learner == "naive_bayes" and settings.alpha is None:
                out.extend((kind, learner, a) for a in AUTO_ALPHAS)
            else:
                out.append((kind, learner, settings.alpha))
    return out


def sample_size(texts: list[str]) -> int:
    count = 0
    size = 0
    for text in texts[:AUTO_SAMPLE_TEXTS]:
        size += len(text)
        count += 1
        if size > AUTO_SAMPLE_BYTES:
            break
    return count


def name(c: Candidate) -> str:
    kind, learner, alpha = c
    return f"{kind}/{learner}" + (f"/alpha={alpha}" if alpha is not None else "")


def choose(settings: Settings, texts: list[str], y: list[int], k: int, report: dict[str, Any],
           cache: dict[str, Featurized], sample_weight: np.ndarray | None = None) -> Candidate:
    """The (features, learner, alpha) that score best on held-out rows of the (already shuffled)
    training texts; the measured accuracies go to `report` (selection_scores_, selection_rows_,
    feature_scores_, selection_paired_), the ids made of the rows scored to `cache`.

    A small set is cross-validated on every row (`cross_validated`). On a larger one, each feature
    kind tokenizes its rows of the sample once; every fold and every learner works on those ids
    (each fold keeps the tokens its training rows allow, as a vocabulary built on them would). The
    cheapest kind (words) is scored on the whole sample, and the time that took sets the budget of
    the others (AUTO_BUDGET_FITS): a costlier kind is scored on the first rows of the sample that its
    budget allows, and the kinds are compared on the rows they share (the same folds, the same
    held-out texts)."""
    chosen = candidates(settings, k)
    if len(chosen) == 1:
        return chosen[0]
    if any(c[1] == "field" for c in chosen):
        if sample_weight is not None:  # the field learner presents a text as many times as its weight
            texts, y = learners.presented(settings, texts, y, sample_weight)
        return _choose_on_texts(settings, texts, y, k, report)
    count = sample_size(texts)
    if count < 10 or len(set(y[:count])) < 2:
        return chosen[0]
    kinds = list(dict.fromkeys(c[0] for c in chosen))
    buckets = int(settings.buckets)
    thorough = cross_validated(settings, texts, kinds, chosen, k)
    if thorough is not None:
        count = len(texts)
        held_out = thorough[0]
    else:
        held_out = folds(count)
        if len(held_out) == 1 and count < len(texts):
            # Scoring is cheap beside training: as many training texts, more held out (307 imdb reviews
            # ranked naive Bayes 4 points over what its full fit scores, and above SGD).
            held = min(len(texts) - (count - len(held_out[0])), max(len(held_out[0]), AUTO_SAMPLE_HELD))
            count += held - len(held_out[0])
            held_out = [np.arange(held)]
    labels = np.asarray(y[:count], dtype=np.uint32)
    sizes = np.cumsum([len(t) for t in texts[:count]])
    total = sum(len(t) for t in texts[count:]) + int(sizes[-1])
    featurized: dict[str, Featurized] = {}
    budget = 0.0
    for kind in kinds:
        positions = None
        base, concrete = variant(settings, kind)
        spec = concrete.spec(base)
        counted_of = kind[:-len(TF_SUFFIX)] if kind.endswith(TF_SUFFIX) else None
        if counted_of in featurized:  # its word variant's tokens and rows, each token by its count
            of = featurized[counted_of]
            featurized[kind] = of.counted(spec, [texts[i] for i in of.positions.tolist()])
            continue
        if featurized and thorough is None:
            probe = min(count, AUTO_PROBE_ROWS)
            # Its ids per byte of text, counted by hashing (no vocabulary: a distinct token is a
            # distinct bucket but for rare collisions).
            probed = featurizing.transform(spec, None, buckets or PROBE_BUCKETS, texts[:probe])
            ids_per_byte = probed.token_count / max(1, int(sizes[probe - 1]))
            positions = costlier_rows(sizes, held_out, k, 0.5 * budget / max(ids_per_byte, 1e-12))
            if len(held_out) > 1 and base_kind(kind) != "words":  # chars races the words
                first = race_rows(count if positions is None else len(positions), k)
                positions = positions if first is None else np.arange(first)
        if positions is None:
            featurized[kind] = featurize(base, spec, buckets, texts[:count], y[:count], k)
        else:
            rows = positions.tolist()
            featurized[kind] = featurize(base, spec, buckets, [texts[i] for i in rows], [y[i] for i in rows], k,
                                         positions)
        if len(featurized) == 1:  # one fit presents every text's ids once: the unit of the budget
            budget = AUTO_BUDGET_FITS * len(featurized[kind].ids) * total / max(1, int(sizes[-1]))
    for data in featurized.values():  # the counted ids are made: the vocabularies' tables can go
        data.vocabulary = None
    if settings.learner == "auto":
        # The float learners' dense matrices grow with tokens x classes: leave out a kind whose
        # would not fit AUTO_FLOAT_MEMORY, and let the field learner train when none fits.
        parallel = min(len(held_out), _native.thread_count())
        lengths = np.diff(sizes, prepend=0)
        too_big = {kind for kind in kinds
                   if learners.float_peak_bytes(featurized[kind], k, total,
                                                int(lengths[featurized[kind].positions].sum()),
                                                parallel) > AUTO_FLOAT_MEMORY}
        if too_big:
            chosen = [c for c in chosen if c[0] not in too_big]
            kinds = [kind for kind in kinds if kind not in too_big]
            if not chosen:
                return kinds[0] if kinds else "words", "field", None
    cache.update(featurized)
    if thorough is not None:
        return _choose_cross_validated(settings, featurized, kinds, chosen, labels, k, held_out, sample_weight,
                                       report, thorough[1], thorough[2])
    outcome, dropped = _score_racing(settings, featurized, kinds, chosen, labels, k, held_out, sample_weight)
    right = {c: v[v >= 0].astype(bool) for c, v in outcome.items()}
    right = {c: v for c, v in right.items() if len(v)}
    if not right:
        return chosen[0]
    scores = {name(c): float(v.mean()) for c, v in right.items()}
    report["selection_scores_"] = scores
    report["selection_rows_"] = {kind: featurized[kind].rows for kind in kinds}
    best_of_kind = {}
    for kind in kinds:
        mine = [c for c in chosen if c[0] == kind and c in right]
        if mine:
            best_of_kind[kind] = max(mine, key=lambda c: int(right[c].sum()))  # the first of equals
    if len(kinds) > 1:
        report["feature_scores_"] = {kind: scores[name(c)] for kind, c in sorted(best_of_kind.items())}
    best_of_kind = {kind: c for kind, c in best_of_kind.items() if kind not in dropped}
    # The kinds are compared on the same footing: each finalist trained on the rows they all
    # have, scored on the same held-out texts (a kind scored on more rows is scored again on the
    # shared ones).
    def on_shared(group: dict[str, Candidate]) -> dict[Candidate, np.ndarray]:
        common = np.ones(count, dtype=bool)
        for kind in group:
            here = np.zeros(count, dtype=bool)
            here[featurized[kind].positions] = True
            common &= here
        paired_outcome = {c: outcome[c] for kind, c in group.items() if featurized[kind].rows == int(common.sum())}
        paired_outcome.update(score_kinds([(variant(settings, kind)[1], featurized[kind], [c], common)
                                           for kind, c in group.items() if c not in paired_outcome],
                                          labels, k, held_out, sample_weight))
        shared = np.logical_and.reduce([paired_outcome[c] >= 0 for c in group.values()])
        return {c: paired_outcome[c][shared].astype(bool) for c in group.values()}

    # The word variants are ranked among themselves first, on every row they share, and only their
    # best meets chars on the (fewer) rows chars was scored on: ranking the many word candidates
    # again on that subset would keep whichever was luckiest there.
    words_group = {kind: c for kind, c in best_of_kind.items() if base_kind(kind) == "words"}
    if len(words_group) > 1:
        ranked = on_shared(words_group)
        if len(next(iter(ranked.values()))):
            top = max(words_group.values(), key=lambda c: int(ranked[c].sum()))  # the first of equals
            best_of_kind = {kind: c for kind, c in best_of_kind.items() if kind not in words_group or c == top}
    finalists = list(best_of_kind.values())
    if len(finalists) == 1:
        return finalists[0]
    paired = on_shared(best_of_kind)
    if not len(next(iter(paired.values()))):
        return finalists[0]
    report["selection_paired_"] = {name(c): float(v.mean()) for c, v in paired.items()}
    best: Candidate = prefer_cheaper(finalists, paired, lambda c: base_kind(c[0]))
    return best


def cross_validated(settings: Settings, texts: list[str], kinds: list[str], chosen: list[Candidate], k: int
                    ) -> tuple[list[np.ndarray], set[str], set[str]] | None:
    """(the held-out rows of each fold, the kinds on which SGD's penalties may be searched too, those on
    which the SVM may be) when the choice scores every candidate on every training text, trained as the
    final fit trains it, or None (the search is then a sample's, see `choose`):
    AUTO_CV_FOLDS interleaved folds while the search's estimated cost stays within AUTO_CV_IDS, else
    one fold (every AUTO_CV_FOLDS-th text held out) while a fit of every candidate on every text
    costs at most AUTO_HOLDOUT_SHARE times it. The cost is in ids presented: each kind's ids per
    byte, probed by hashing its first texts, over all the text, once to featurize it and then times
    the training share of the folds and each learner's passes (SGD's grow with the classes; past 8
    classes each candidate's refit in the field's form adds AUTO_CV_REFIT_PASSES).
    An absolute floor, so that a small training set, whose fits cost milliseconds, gets the thorough
    search whatever a relative budget would allow. SGD's penalties (AUTO_SGD_ALPHAS, on the kind
    where SGD did best) are searched when the cost with them on that kind stays within the same bound;
    the SVM (learner="auto" only, on the kind of each base kind where SGD did best) on the kinds where
    the cost with it on every base kind's costliest stays within AUTO_SVM_ROOM times it."""
    if len(texts) < 2 * AUTO_CV_FOLDS:
        return None
    total = sum(len(t) for t in texts)
    probe = texts[:AUTO_CV_PROBE_ROWS]
    probe_bytes = max(1, sum(len(t) for t in probe))
    cost = 0.0
    per_byte: dict[str, float] = {}
    # past 8 classes every candidate is cut to 8 per token and refitted (learners.as_the_field_holds)
    refit = AUTO_CV_REFIT_PASSES if k > linear.FIELD_SLOTS else 0
    for kind in kinds:
        base, concrete = variant(settings, kind)
        key = base if base == "chars" else kind.split("+")[0]
        if key not in per_byte:
            probed = featurizing.transform(concrete.spec(base), None, int(settings.buckets) or PROBE_BUCKETS, probe)
            per_byte[key] = probed.token_count / probe_bytes
        mine = [c for c in chosen if c[0] == kind]
        passes = (any(c[1] == "naive_bayes" for c in mine) + len(mine) * refit
                  + sum(1 for c in mine if c[1] != "naive_bayes") * (1 + k / AUTO_CV_CLASSES_PER_PASS))
        cost += per_byte[key] * total * passes
    # SGD's penalties, on one kind: what they would cost on each
    penalties = {kind: per_byte[base_kind(kind) if base_kind(kind) == "chars" else kind.split("+")[0]] * total
                 * len(AUTO_SGD_ALPHAS) * (1 + refit + k / AUTO_CV_CLASSES_PER_PASS)
                 for kind in kinds if settings.alpha is None and (kind, "sgd", None) in chosen}
    # the SVM on one kind of each base kind, what it costs there and on the other base's costliest
    svm = {kind: more * (refit + AUTO_SVM_PASSES * (1 + k / AUTO_CV_CLASSES_PER_PASS))
           / (len(AUTO_SGD_ALPHAS) * (1 + refit + k / AUTO_CV_CLASSES_PER_PASS))
           for kind, more in penalties.items() if settings.learner == "auto"}
    svm = {kind: more + max([v for other, v in svm.items() if base_kind(other) != base_kind(kind)], default=0.0)
           for kind, more in svm.items()}
    featurize = sum(per_byte.values()) * total  # every text, once per kind, whatever the folds
    count = len(texts)
    if cost * (AUTO_CV_FOLDS - 1) + featurize <= AUTO_CV_IDS:
        return ([np.arange(fold, count, AUTO_CV_FOLDS) for fold in range(AUTO_CV_FOLDS)],
                {kind for kind, more in penalties.items()
                 if (cost + more) * (AUTO_CV_FOLDS - 1) + featurize <= AUTO_CV_IDS},
                {kind for kind, more in svm.items()
                 if (cost + more) * (AUTO_CV_FOLDS - 1) + featurize <= AUTO_SVM_ROOM * AUTO_CV_IDS})
    if cost + featurize <= AUTO_HOLDOUT_SHARE * AUTO_CV_IDS:
        return ([np.arange(AUTO_CV_FOLDS - 1, count, AUTO_CV_FOLDS)],
                {kind for kind, more in penalties.items()
                 if cost + more + featurize <= AUTO_HOLDOUT_SHARE * AUTO_CV_IDS},
                {kind for kind, more in svm.items()
                 if cost + more + featurize <= AUTO_SVM_ROOM * AUTO_HOLDOUT_SHARE * AUTO_CV_IDS})
    return None


def _choose_cross_validated(settings: Settings, featurized: dict[str, Featurized], kinds: list[str],
                            chosen: list[Candidate], labels: np.ndarray, k: int, held_out: list[np.ndarray],
                            sample_weight: np.ndarray | None, report: dict[str, Any], penalties: set[str],
                            svm_kinds: set[str]) -> Candidate:
    """choose's thorough search: every candidate scored on every fold of every training text (the
    folds' texts its held-out rows), the one with most right kept; near ties go to the candidate
    that predicts faster (`prefer_cheaper`)."""
    outcome = score_kinds([(variant(settings, kind)[1], featurized[kind], [c for c in chosen if c[0] == kind], None)
                           for kind in kinds], labels, k, held_out, sample_weight)
    sgd = [c for c in chosen if c[1] == "sgd" and c[2] is None]
    top = max(sgd, key=lambda c: int(np.count_nonzero(outcome[c] == 1))) if sgd else None  # the first of equals
    if top is not None and top[0] in penalties:
        # SGD's penalty, on the kind where SGD did best: its best strength depends on the rows and
        # classes (tenfold apart on the sets measured), as LinearSVC's C is tuned by a grid search.
        tried = [(top[0], "sgd", alpha) for alpha in AUTO_SGD_ALPHAS]
        outcome.update(score_kinds([(variant(settings, top[0])[1], featurized[top[0]], tried, None)],
                                   labels, k, held_out, sample_weight))
        chosen = chosen + tried
    # The SVM on the kind of each base kind (words, chars) where SGD did best, where the budget allows:
    # after SGD's candidates, so that ties go to the cheaper fit.
    ranked = sorted(sgd, key=lambda c: -int(np.count_nonzero(outcome[c] == 1)))  # the first of equals first
    bests = {base_kind(c[0]): c for c in reversed(ranked)}
    svm = [(bests[b][0], "svm", settings.alpha) for b in ("words", "chars") if b in bests and bests[b][0] in svm_kinds]
    if svm:
        outcome.update(score_kinds([(variant(settings, c[0])[1], featurized[c[0]], [c], None) for c in svm],
                                   labels, k, held_out, sample_weight))
        chosen = chosen + svm
    scored = np.logical_and.reduce([v >= 0 for v in outcome.values()])
    if not scored.any():
        return chosen[0]
    right = {c: outcome[c][scored].astype(bool) for c in chosen if c in outcome}
    scores = {name(c): float(v.mean()) for c, v in right.items()}
    report["selection_scores_"] = scores
    report["selection_rows_"] = {kind: featurized[kind].rows for kind in kinds}
    if len(kinds) > 1:
        report["feature_scores_"] = {kind: max(scores[name(c)] for c in right if c[0] == kind)
                                     for kind in sorted(kinds)}
    finalists = {}
    for c in right:  # the best of each base kind, the first of equals: what prefer_cheaper weighs
        if base_kind(c[0]) not in finalists or right[c].sum() > right[finalists[base_kind(c[0])]].sum():
            finalists[base_kind(c[0])] = c
    if len(finalists) > 1:
        report["selection_paired_"] = {name(c): scores[name(c)] for c in finalists.values()}
    return prefer_cheaper(list(right), right, lambda c: base_kind(c[0]))


def _score_racing(settings: Settings, featurized: dict[str, Featurized], kinds: list[str], chosen: list[Candidate],
                  labels: np.ndarray, k: int, held_out: list[np.ndarray], sample_weight: np.ndarray | None
                  ) -> tuple[dict[Candidate, np.ndarray], set[str]]:
    """score_kinds for the choice, and the kinds dropped early: the word kinds on every fold, then
    each costlier kind (chars) on its first fold, and on the others only if its best candidate got
    more of that fold's held-out texts right than the best word candidate did (trained and scored
    on the same rows: when chars has only the first rows, the leading word kind's candidates are
    scored again on those, and the best of them counts).
    Chars is kept only when significantly better than words, which a kind not even ahead on a
    third of the rows seldom becomes; a dropped kind keeps its first fold's scores."""
    def scorings(of: list[str]) -> list[Scoring]:
        return [(variant(settings, kind)[1], featurized[kind], [c for c in chosen if c[0] == kind], None)
                for kind in of]

    words = [kind for kind in kinds if base_kind(kind) == "words"]
    outcome = score_kinds(scorings(words), labels, k, held_out, sample_weight)
    dropped: set[str] = set()
    for kind in kinds:
        if kind in words:
            continue
        positions = featurized[kind].positions
        # Its rows within a word kind's (the first rows of the sample, when its budget cut them):
        # the leading word kind is then scored again on exactly these rows for the comparison.
        within = [w for w in words if np.isin(positions, featurized[w].positions).all()]
        if len(held_out) < 2 or not within:
            outcome.update(score_kinds(scorings([kind]), labels, k, held_out, sample_weight))
            continue
        first = score_kinds(scorings([kind]), labels, k, held_out[:1], sample_weight)
        outcome.update(first)
        rows = np.intersect1d(held_out[0], positions)
        word_right = {c: int(np.count_nonzero(outcome[c][rows] == 1)) for c in chosen if c[0] in within}
        rival = max(word_right, key=lambda c: word_right[c])[0]  # the first of equals
        if not np.array_equal(positions, featurized[rival].positions):
            # the rival word kind's candidates, as many as a kind has, the best of them against chars'
            mask = np.zeros(len(labels), dtype=bool)
            mask[positions] = True
            again = score_kinds([(variant(settings, rival)[1], featurized[rival], [c for c in chosen if c[0] == rival],
                                  mask)], labels, k, held_out[:1], sample_weight)
            word_right = {c: int(np.count_nonzero(v[rows] == 1)) for c, v in again.items()}
        if max(int(np.count_nonzero(v[rows] == 1)) for v in first.values()) <= max(word_right.values()):
            dropped.add(kind)
            continue
        for c, v in score_kinds(scorings([kind]), labels, k, held_out[1:], sample_weight).items():
            np.maximum(outcome[c], v, out=outcome[c])  # each fold writes only its own rows, -1 elsewhere
    return outcome, dropped


def costlier_rows(sizes: np.ndarray, held_out: list[np.ndarray], k: int, allowed_bytes: float) -> np.ndarray | None:
    """The rows of the sample (sizes: its texts' cumulative lengths) on which a costlier feature
    kind is scored: about `allowed_bytes` of text, but at least AUTO_MIN_HELD held-out texts and
    max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS * k) training texts. With one held-out fold (its
    first fifth), the first held-out texts and the first training texts after them; with
    three interleaved folds, the first texts. None: every row."""
    count = len(sizes)
    rows = int(np.searchsorted(sizes, allowed_bytes, side="right"))
    least_train = max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS * k)
    if len(held_out) == 1:
        held = len(held_out[0])
        held_rows = min(held, max(AUTO_MIN_HELD, rows // 5))
        train_rows = min(count - held, max(least_train, rows - held_rows))
        if held_rows == held and train_rows == count - held:
            return None
        return np.concatenate((np.arange(held_rows), np.arange(held, held + train_rows)))
    rows = min(count, max(rows, least_train + least_train // 2, count // AUTO_MIN_SHARE))
    return None if rows == count else np.arange(rows)


def race_rows(rows: int, k: int) -> int | None:
    """How many of the `rows` its budget allows (the first ones) chars is scored on when it races
    the words (three folds, where texts are long and chars is seldom kept): half of them, but no
    fewer than a fold needs (as costlier_rows); None when that is most of them anyway."""
    least_train = max(AUTO_MIN_ROWS, AUTO_ROWS_PER_CLASS * k)
    first = max(rows // AUTO_RACE_SHARE, least_train + least_train // 2)
    return first if first <= AUTO_RACE_MOST * rows else None


def folds(count: int) -> list[np.ndarray]:
    """The held-out rows of each fold of a sample of `count` texts: three interleaved folds
    below AUTO_FOLDS_BELOW texts, else its first fifth."""
    if count < AUTO_FOLDS_BELOW:
        return [np.arange(fold, count, 3) for fold in range(3)]
    return [np.arange(max(1, count // 5))]


def _choose_on_texts(settings: Settings, texts: list[str], y: list[int], k: int, report: dict[str, Any]
                     ) -> Candidate:
    """choose when the field's own training is among the candidates: each fold tokenizes its
    texts (the field trains on texts, with its margin probes)."""
    chosen = candidates(settings, k)
    count = sample_size(texts)
    if count < 10 or len(set(y[:count])) < 2:
        return chosen[0]
    fold_count = 3 if count < AUTO_FOLDS_BELOW else 1
    correct: dict[Candidate, list[np.ndarray]] = {c: [] for c in chosen}
    scored = 0
    for fold in range(fold_count):
        if fold_count == 1:
            held = range(count - max(1, count // 5), count)
        else:
            held = range(fold, count, fold_count)
        held_set = set(held)
        train_rows = [i for i in range(count) if i not in held_set]
        train_x = [texts[i] for i in train_rows]
        train_y = [y[i] for i in train_rows]
        test_x = [texts[i] for i in held]
        test_y = np.asarray([y[i] for i in held])
        if len(set(train_y)) < 2:
            continue
        scored += len(test_y)
        for candidate, predicted in _try(settings, chosen, train_x, train_y, test_x, k):
            correct[candidate].append(np.asarray(predicted) == test_y)
    if not scored:
        return chosen[0]
    right = {c: np.concatenate(v) for c, v in correct.items()}
    hits = {c: int(v.sum()) for c, v in right.items()}
    best: Candidate = prefer_cheaper(chosen, right, lambda c: base_kind(c[0]))
    scores = {name(c): hits[c] / max(1, scored) for c in chosen}
    report["selection_scores_"] = scores
    kinds = sorted({c[0] for c in chosen})
    if len(kinds) > 1:  # the best score of each feature kind, as features="auto" reported it
        report["feature_scores_"] = {kind: max(v for c, v in zip(chosen, scores.values()) if c[0] == kind)
                                     for kind in kinds}
    return best


def _try(settings: Settings, tried: list[Candidate], train_x: list[str], train_y: list[int], test_x: list[str],
         k: int) -> Iterator[tuple[Candidate, np.ndarray]]:
    """Yields each candidate with its predictions (class indices) of test_x. The float models
    are scored as the field will hold them (with more than 8 classes, cut to 8 per token and
    refitted in that form), before rounding; naive Bayes counts once for all its alphas."""
    classes = np.arange(k)
    labels = np.asarray(train_y, dtype=np.uint32)
    for kind in dict.fromkeys(c[0] for c in tried):
        mine = [c for c in tried if c[0] == kind]
        floats = [c for c in mine if c[1] != "field"]
        base, concrete = variant(settings, kind)
        if floats:
            spec, vocabulary, buckets, documents = float_features(concrete, base, train_x, train_y, k, floats[0][1])
            features = buckets or len(vocabulary or ())
            test_ids = featurizing.transform(spec, vocabulary, buckets, test_x)
            for candidate, model in float_models(concrete, floats, documents, labels, features, k):
                yield candidate, model.predict(test_ids)
        for candidate in mine:
            if candidate[1] == "field":
                field_model = train_model(concrete, base, train_x, train_y, classes, int(settings.epochs))
                yield candidate, np.asarray(field_model.predict_indices(test_x))
