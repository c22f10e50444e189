"""Options measured for the default recipe and left out, on every dataset, in one run:

* term-frequency capping: each text presents each token at most `cap` times (the pipeline presents
  a token once, cap 1); naive Bayes (alpha 0.3) and SGD (log loss) fitted on those ids, scored as
  float models (refitted to the field's 8 classes per token above 8 classes);
* a decaying amplify for the field's own training (learner="field"): constant, halved each pass, or
  falling linearly to 1/passes of itself, with 4 and 8 passes.

    python bench/bench_recipe_options.py [--data FOLDER] [--only tf|amplify] [DATASET ...]

Words everywhere but language id (character n-grams). The datasets folder is --data, else OMBREL_DATA,
else ../shared/data.
"""

from __future__ import annotations

import argparse
import dataclasses
import os

import numpy as np

from bench_fit_cost import load
from ombrel_learn import OmbrelClassifier, _native
from ombrel_learn.learning import learners, linear

HERE = os.path.dirname(os.path.abspath(__file__))


def capped_rows(spec, texts, vocabulary: dict, grow: bool, cap: int):
    ids, offsets = [], [0]
    for text in texts:
        seen: dict[int, int] = {}
        for token in _native.features(spec, text):
            i = vocabulary.get(token)
            if i is None:
                if not grow:
                    continue
                i = vocabulary[token] = len(vocabulary)
            if seen.get(i, 0) < cap:
                seen[i] = seen.get(i, 0) + 1
                ids.append(i)
        offsets.append(len(ids))
    return np.array(ids, np.uint32), np.array(offsets, np.uint64)


def tf_capping(kind, train_x, train_y, test_x, test_y) -> str:
    classes, y = np.unique(train_y, return_inverse=True)
    y = y.astype(np.uint32)
    expected = np.searchsorted(classes, test_y)
    spec = OmbrelClassifier()._spec(kind)
    out = []
    for cap in (1, 2, 3, 1000):
        vocabulary: dict[str, int] = {}
        train = capped_rows(spec, train_x, vocabulary, True, cap)
        test = capped_rows(spec, test_x, vocabulary, False, cap)
        scores = []
        for model in (linear.fit_naive_bayes(train, y, len(vocabulary), len(classes), alpha=0.3),
                      linear.fit_sgd(train, y, len(vocabulary), len(classes), loss="log_loss", alpha=1e-4,
                                     epochs=4, random_state=0)):
            if len(classes) > linear.FIELD_SLOTS:
                model = linear.refit_cut(model, train, y, random_state=0)
            scores.append(100 * np.mean(np.asarray(model.predict(test)) == expected))
        out.append(f"cap {cap if cap < 1000 else 'none'}: NB {scores[0]:.1f} SGD {scores[1]:.1f}")
    return " | ".join(out)


SCHEDULES = {
    "constant": lambda a, e, n: a,
    "halving": lambda a, e, n: max(1, round(a * 0.5 ** e)),
    "linear": lambda a, e, n: max(1, round(a * (n - e) / n)),
}


def decaying_amplify(kind, train_x, train_y, test_x, test_y) -> str:
    out = []
    constant = learners.train_passes
    for name, schedule in SCHEDULES.items():
        def scheduled(settings, field, documents, y, epochs, schedule=schedule):
            base = int(settings.amplify)
            for e in range(epochs):  # one pass at a time, each over the same order
                constant(dataclasses.replace(settings, amplify=schedule(base, e, epochs)), field, documents, y, 1)
        learners.train_passes = scheduled  # the field learner's passes, as fit runs them
        try:
            for passes in (4, 8):
                clf = OmbrelClassifier(features=kind, learner="field", epochs=passes).fit(train_x, train_y)
                out.append(f"{name}/{passes}: {100 * clf.score(test_x, test_y):.1f}")
        finally:
            learners.train_passes = constant
    return " ".join(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.environ.get("OMBREL_DATA", os.path.join(HERE, "..", "..", "shared", "data")))
    parser.add_argument("--only", choices=("tf", "amplify"))
    parser.add_argument("datasets", nargs="*")
    args = parser.parse_args()
    names = args.datasets or sorted(n for n in os.listdir(args.data)
                                    if os.path.isfile(os.path.join(args.data, n, "test.tsv")))
    for name in names:
        data = load(os.path.join(args.data, name))
        kind = "chars" if name.startswith("lang_id") else "words"
        if args.only != "amplify":
            print(f"{name:<18}tf capping ({kind}): {tf_capping(kind, *data)}", flush=True)
        if args.only != "tf":
            print(f"{name:<18}amplify ({kind}, field learner): {decaying_amplify(kind, *data)}", flush=True)


if __name__ == "__main__":
    main()
