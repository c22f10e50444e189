"""What the default fit's choice of features and learner costs: per dataset, the default
`OmbrelClassifier().fit` against one fit of fixed settings (naive Bayes on words with English stop
words and stemming, alpha 0.3), both timed in this run (best of `--repeat`), with the ratio and the
test accuracy of each; and one fit of the settings the default chose (features, learner, alpha, the
word settings and the weighting given), with the default's ratio to it.

    python bench/bench_fit_cost.py [--data FOLDER] [--repeat 3]

The datasets folder is --data, else the OMBREL_DATA environment variable, else ../shared/data. A
folder with train.tsv and test.tsv is used as split; one with only test.tsv is split by row
(rows i % 5 == 4 are the test set).
"""

from __future__ import annotations

import argparse
import os
import time

from ombrel_learn import OmbrelClassifier

HERE = os.path.dirname(os.path.abspath(__file__))


def read_tsv(path: str) -> tuple[list[str], list[str]]:
    texts, labels = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            label, _, text = line.rstrip("\n").partition("\t")
            texts.append(text)
            labels.append(label)
    return texts, labels


def load(folder: str):
    train = os.path.join(folder, "train.tsv")
    test = os.path.join(folder, "test.tsv")
    if os.path.isfile(train):
        return (*read_tsv(train), *read_tsv(test))
    texts, labels = read_tsv(test)
    pick = lambda keep: [v for i, v in enumerate(texts) if (i % 5 == 4) == keep]  # noqa: E731
    pick_y = lambda keep: [v for i, v in enumerate(labels) if (i % 5 == 4) == keep]  # noqa: E731
    return pick(False), pick_y(False), pick(True), pick_y(True)


def best_fit(make, x, y, repeat: int):
    best, clf = float("inf"), None
    for _ in range(repeat):
        clf = make()
        start = time.perf_counter()
        clf.fit(x, y)
        best = min(best, time.perf_counter() - start)
    return best, clf


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.environ.get("OMBREL_DATA", os.path.join(HERE, "..", "..", "shared", "data")))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    names = sorted(n for n in os.listdir(args.data) if os.path.isfile(os.path.join(args.data, n, "test.tsv")))
    print(f"{'dataset':<18}{'default fit s':>14}{'single fit s':>14}{'ratio':>8}{'default acc':>13}"
          f"{'single acc':>12}{'chosen fit s':>14}{'ratio':>8}  chosen")
    for name in names:
        train_x, train_y, test_x, test_y = load(os.path.join(args.data, name))
        auto_time, auto = best_fit(OmbrelClassifier, train_x, train_y, args.repeat)
        one_time, one = best_fit(lambda: OmbrelClassifier(learner="naive_bayes", features="words", alpha=0.3,
                                                          stop_words="english", stem=True),
                                 train_x, train_y, args.repeat)
        made = auto.model_.feature_params  # the concrete word settings and tf the choice kept: nothing left to choose
        pinned = dict(stop_words=made["stop_words"], stem=made["stem"], word_ngrams=made["word_ngrams"],
                      weighting="sublinear" if made.get("tf") == "log" else "tfidf")
        chosen_time, _ = best_fit(lambda: OmbrelClassifier(features=auto.features_, learner=auto.learner_,
                                                           alpha=auto.alpha_, **pinned), train_x, train_y, args.repeat)
        chosen = f"{auto.features_}/{auto.learner_}" + (f"/alpha={auto.alpha_}" if auto.learner_ == "naive_bayes" else "")
        print(f"{name:<18}{auto_time:>14.3f}{one_time:>14.3f}{auto_time / one_time:>8.1f}"
              f"{100 * auto.score(test_x, test_y):>12.1f}%{100 * one.score(test_x, test_y):>11.1f}%"
              f"{chosen_time:>14.3f}{auto_time / chosen_time:>8.1f}  {chosen}",
              flush=True)


if __name__ == "__main__":
    main()
