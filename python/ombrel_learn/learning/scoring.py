"""How the automatic choice scores its candidates: each fitted on the training rows of each fold of
the sample's ids and tried on the fold's held-out rows, as the compiled field will hold it."""

from __future__ import annotations

import concurrent.futures
import threading
from typing import Any, Iterator, Sequence

import numpy as np

from .. import _native
from . import learners, linear
from .featurizing import Featurized
from .settings import Settings

# (feature kind, learner, alpha)
Candidate = tuple[str, str, float | None]
Scoring = tuple[Settings, Featurized, list[Candidate], "np.ndarray | None"]


def score_kinds(scorings: list[Scoring], labels: np.ndarray, k: int, held_out: list[np.ndarray],
                sample_weight: np.ndarray | None = None) -> dict[Candidate, np.ndarray]:
    """Per candidate, one entry per row of the sample: 1 where its prediction of a held-out row
    was right, 0 where wrong, -1 where not scored (rows its data lacks, or outside its mask). Each
    scoring is (concrete settings, the kind's ids, its candidates, a mask of the rows to use or
    None); in each fold a candidate trains on the rows of its data (within the mask) that the
    fold does not hold out. The float models are scored as the field will hold them (with more
    than 8 classes, cut to 8 per token and refitted in that form), before rounding; naive Bayes
    counts once per fold for all its alphas.

    The learners release the interpreter lock, so a kind's folds run side by side on the pool's
    threads, each fold's naive Bayes candidates (one count) apart from each of its other candidates
    so that the threads stay busy (every model is seeded as it would be alone: the outcome does not
    depend on the order)."""
    outcome = {c: np.full(len(labels), -1, dtype=np.int8) for _, _, scored, _ in scorings for c in scored}
    # A fold's rows (kept tokens renumbered) are made once for all its tasks, by the first that
    # needs them, and let go when the last is done.
    made: dict[tuple[int, int], dict[float, Any]] = {}  # by (scoring, fold), then coverage
    lock = threading.Lock()
    fold_locks: dict[tuple[int, int], threading.Lock] = {}
    users: dict[tuple[int, int], int] = {}

    def fold_rows(scoring: Scoring, held_all: np.ndarray, coverage: float) -> Any:
        settings, data, _, within = scoring
        present = np.zeros(len(labels), dtype=bool)
        present[data.positions] = True
        if within is not None:
            present &= within
        is_held = np.zeros(len(labels), dtype=bool)
        is_held[held_all] = True
        held_positions = np.flatnonzero(present & is_held)
        held = np.searchsorted(data.positions, held_positions)
        train_rows = np.searchsorted(data.positions, np.flatnonzero(present & ~is_held))
        train_y = labels[data.positions[train_rows]]
        if not len(held) or len(np.unique(train_y)) < 2:
            return None
        keep = data.kept(train_rows, train_y, k, int(settings.min_df), coverage)
        documents, features = data.subset(train_rows, keep)
        test_ids, _ = data.subset(held, keep)
        train_weight = None if sample_weight is None else sample_weight[data.positions[train_rows]]
        return documents, train_y, features, train_weight, test_ids, held_positions

    def score_fold(at: tuple[int, int], scoring: Scoring, held_all: np.ndarray, scored: list[Candidate]) -> None:
        # writes only its own candidates' held-out rows
        settings = scoring[0]
        coverage = settings.coverage_for(scored[0][1])
        try:
            with fold_locks[at]:
                mine = made.setdefault(at, {})
                if coverage not in mine:
                    mine[coverage] = fold_rows(scoring, held_all, coverage)
                rows = mine[coverage]
            if rows is None:
                return
            documents, train_y, features, train_weight, test_ids, held_positions = rows
            test_y = labels[held_positions]
            for candidate, model in float_models(settings, scored, documents, train_y, features, k, train_weight):
                outcome[candidate][held_positions] = np.asarray(model.predict(test_ids)) == test_y
        finally:
            with lock:
                users[at] -= 1
                if not users[at]:
                    made.pop(at, None)

    # A kind's folds run side by side, one kind after another: the folds of two kinds side by side
    # (the smaller texts' kinds beside character n-grams) made the fit's peak memory larger and its
    # time barely shorter on 20 Newsgroups.
    for index, scoring in enumerate(scorings):
        scored = scoring[2]
        groups = [group for group in ([c for c in scored if c[1] == "naive_bayes"],
                                      *([c] for c in scored if c[1] != "naive_bayes")) if group]
        tasks = [((index, fold), held_all, group) for fold, held_all in enumerate(held_out) for group in groups]
        for fold in range(len(held_out)):
            fold_locks[index, fold] = threading.Lock()
            users[index, fold] = len(groups)
        threads = min(len(tasks), _native.thread_count())
        if threads > 1:
            with concurrent.futures.ThreadPoolExecutor(threads) as executor:
                for done in [executor.submit(score_fold, at, scoring, held_all, group)
                             for at, held_all, group in tasks]:
                    done.result()
        else:
            for at, held_all, group in tasks:
                score_fold(at, scoring, held_all, group)
    return outcome


def float_models(settings: Settings, scored: list[Candidate], documents: Any, labels: np.ndarray, features: int,
                 k: int, sample_weight: np.ndarray | None = None) -> Iterator[tuple[Candidate, linear.LinearModel]]:
    """Each float candidate with its model of these training ids, as the field will hold it (with
    more than 8 classes, cut to 8 per token and refitted in that form), before rounding; naive
    Bayes counts once for all its alphas."""
    counts = None
    for candidate in scored:
        _, learner, alpha = candidate
        if learner == "naive_bayes":
            if counts is None:
                counts = linear.count_naive_bayes(documents, labels, features, k, sample_weight=sample_weight)
            model = counts.to_model(1.0 if alpha is None else float(alpha))
        else:
            model = learners.fit_float(settings, learner, alpha, documents, labels, features, k,
                                       sample_weight=sample_weight)
        yield candidate, learners.as_the_field_holds(settings, model, documents, labels, k, sample_weight)


def prefer_cheaper(scored: Sequence[Any], right: dict[Any, np.ndarray], kind: Any) -> Any:
    """The candidate to keep, given which held-out texts each got right (the same texts for all).

    Word features predict several times faster than character n-grams (a long text has many more
    n-grams than words), so the best candidate on words is kept unless one on chars does
    significantly better: by more than two standard errors of the paired difference (McNemar's
    test at about 5%: sqrt of the number of texts that exactly one of the two gets right). Within a
    kind, the best score wins, and ties go to the earlier candidate."""
    def top(group: list[Any]) -> Any:
        return max(group, key=lambda c: int(right[c].sum()))  # max keeps the first of equals
    best = top(list(scored))
    for cheaper in ("words",):
        group = [c for c in scored if kind(c) == cheaper]
        if not group or kind(best) == cheaper:
            continue
        rival = top(group)
        gain = int(right[best].sum()) - int(right[rival].sum())
        discordant = int(np.count_nonzero(right[best] != right[rival]))
        if gain <= 2.0 * discordant ** 0.5:
            return rival
    return best
