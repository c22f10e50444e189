"""Macro F1 of SGD with class_weight=None against class_weight="balanced", and of the same balance
given as fit's sample_weight (SGD, and learner="auto", which then compares naive Bayes and SGD), on
imbalanced sets.

    python bench/bench_class_weight.py [--data ../shared/data]

SMS spam (about 13% spam) and GoEmotions kept to its comments with exactly one label (27 emotions and
neutral, from 35% of the texts for "neutral" to 0.1% for "grief"); learner="sgd", every other
setting the default. The balanced weights count a text of class c as n_texts / (n_classes x n_c), as
scikit-learn's; the balanced sample weights give each text its class's weight. A dataset that is
absent is said so and skipped.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

from ombrel_learn import OmbrelClassifier

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "data"))


def read(path: str, single: bool) -> tuple[list[str], list[str]]:
    """label<TAB>text lines; single: labels joined by ',' and only the lines with exactly one kept."""
    texts, labels = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            label, _, text = line.rstrip("\n").partition("\t")
            if single and "," in label:
                continue
            texts.append(text)
            labels.append(label)
    return texts, labels


def macro_f1(truth: np.ndarray, predicted: np.ndarray) -> float:
    scores = []
    for c in np.unique(truth):
        tp = np.sum((predicted == c) & (truth == c))
        said, real = np.sum(predicted == c), np.sum(truth == c)
        scores.append(0.0 if tp == 0 else 2 * tp / (said + real))
    return float(np.mean(scores))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=DEFAULT_DATA)
    args = parser.parse_args()
    runs = (("none", "sgd", None, False), ("class_weight", "sgd", "balanced", False),
            ("sample_weight", "sgd", None, True), ("sample_weight_auto", "auto", None, True))
    print("\t".join(["dataset", "train", "test", "classes"] + [f"macro_f1_{name}" for name, *_ in runs]
                    + [f"accuracy_{name}" for name, *_ in runs]))
    for name, single in (("sms_spam", False), ("go_emotions", True)):
        folder = os.path.join(args.data, name)
        if not os.path.exists(os.path.join(folder, "train.tsv")):
            print(f"{name}: absent from {args.data}, skipped")
            continue
        x, y = read(os.path.join(folder, "train.tsv"), single)
        tx, ty = read(os.path.join(folder, "test.tsv"), single)
        truth = np.asarray(ty)
        row = [name, str(len(x)), str(len(tx)), str(len(set(y)))]
        f1s, accuracies = [], []
        labels, counts = np.unique(y, return_counts=True)
        share = dict(zip(labels.tolist(), (len(y) / (len(labels) * counts)).tolist()))
        balanced = np.asarray([share[label] for label in y])
        for run, learner, weight, by_text in runs:
            began = time.perf_counter()
            clf = OmbrelClassifier(learner=learner, class_weight=weight)
            predicted = clf.fit(x, y, sample_weight=balanced if by_text else None).predict(tx)
            f1s.append(f"{macro_f1(truth, predicted):.4f}")
            accuracies.append(f"{np.mean(predicted == truth):.4f}")
            print(f"  ({name}, {run}, learner {clf.learner_}: {time.perf_counter() - began:.1f} s)", flush=True)
        print("\t".join(row + f1s + accuracies), flush=True)


if __name__ == "__main__":
    main()
