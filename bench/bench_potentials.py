"""Every class's score for a whole batch against the batched prediction, in one run.

    python bench/bench_potentials.py [--data ../shared/data] [--dataset 20newsgroups]

Fits OmbrelClassifier() (defaults) on the dataset's training texts, then times, best of 7 rounds
that run each call once in turn, on the test texts: predict (the field's batched prediction),
decision_function (every class's potential for the whole batch) and the field presented one text
at a time (reset, predict, read: what decision_function did before), and the copy of the field's
records that decision_function takes per call. Prints texts per second and the ratio of
decision_function to predict (goal: >= 0.8).
The datasets folder is --data, else the OMBREL_DATA environment variable, else ../shared/data.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_learn import read  # noqa: E402  (beside this file: label<TAB>text files)
DEFAULT_DATA = os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "data"))


def best_of_rounds(fns: dict, rounds: int = 7) -> dict:
    times = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            times[name] = min(times[name], time.perf_counter() - start)
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default=DEFAULT_DATA)
    parser.add_argument("--dataset", default="20newsgroups")
    args = parser.parse_args()
    folder = os.path.join(args.data, args.dataset)
    if not os.path.isfile(os.path.join(folder, "train.tsv")):
        print(f"no {folder}/train.tsv: the datasets are not here (pass --data)")
        return 0
    import numpy as np

    from ombrel_learn import OmbrelClassifier
    from ombrel_learn.learning import fields

    X_train, y_train = read(os.path.join(folder, "train.tsv"))
    X_test, _ = read(os.path.join(folder, "test.tsv"))
    start = time.perf_counter()
    clf = OmbrelClassifier().fit(X_train, y_train)
    print(f"{args.dataset}: fit {time.perf_counter() - start:.1f} s ({clf.features_}, {clf.learner_}), "
          f"{len(X_test):,} test texts, {len(clf.classes_)} classes, {clf._model.sensory_count:,} sensory neurons")
    model = clf._model
    scores = clf.decision_function(X_test)
    assert np.array_equal(scores.argmax(axis=1), np.searchsorted(clf.classes_, clf.predict(X_test))) or \
        len(clf.classes_) == 2
    assert np.array_equal(model.potentials(X_test), model._potentials_one_by_one(X_test))
    times = best_of_rounds({
        "predict": lambda: clf.predict(X_test),
        "decision_function": lambda: clf.decision_function(X_test),
        "one text at a time": lambda: model._potentials_one_by_one(X_test),
        "records copy": lambda: fields.field_bytes(model.field),
    })
    n = len(X_test)
    for name in ("predict", "decision_function", "one text at a time"):
        print(f"  {name:20s} {n / times[name]:>10,.0f} texts/s  ({times[name] * 1e3:.1f} ms)")
    print(f"  {'records copy':20s} {times['records copy'] * 1e3:>10.2f} ms per call")
    ratio = times["predict"] / times["decision_function"]
    print(f"decision_function / predict throughput: {ratio:.2f} (goal >= 0.80)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
