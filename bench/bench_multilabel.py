"""Multi-label tagging on GoEmotions: ombrel_learn against scikit-learn and fastText, in one run.

    python bench/bench_multilabel.py [--data ../shared/data] [--fasttext-python PYTHON] [--repeats 3]

GoEmotions (../shared/data/go_emotions: 28 emotions, one or more per Reddit comment): every system
trains on train.tsv (43,410 texts) and is scored on test.tsv (5,427), each text getting at least
one label:
- ombrel_learn: OmbrelClassifier() defaults on the label sets (one class against the rest in the
  field; thresholds and word features chosen on held-out training rows; see ombrel_learn.learning.multilabel).
- scikit-learn: OneVsRestClassifier(LinearSVC()) on TfidfVectorizer(sublinear_tf=True, min_df=2);
  a class when its decision is > 0, else the best one.
- fastText: train_supervised(loss="ova", thread=2), other settings default; a class when its
  probability is >= 0.5, else the best one. It runs in a child process of the Python given by
  --fasttext-python (default: ~/.cache/ombrel/venv-bench/bin/python, where bench/run_peers.sh
  installs it); skipped, with the reason, when that Python cannot import fasttext.
Printed for each: micro, macro and samples F1, precision at 1 (the best label is one of the text's),
fit time (from raw text), and batched prediction throughput (all test texts in one call, best of
--repeats); then ombrel_learn's throughput ratios against the others, all measured in this run.
Threads: 2 everywhere (ombrel_learn's pool, fastText's thread=2; LinearSVC has one).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "data"))
DEFAULT_FASTTEXT_PYTHON = os.path.expanduser("~/.cache/ombrel/venv-bench/bin/python")
THREADS = 2


def read(path: str) -> tuple[list[str], list[list[str]]]:
    texts, sets = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            labels, _, text = line.rstrip("\n").partition("\t")
            texts.append(text)
            sets.append(labels.split(","))
    return texts, sets


def scores(truth: np.ndarray, predicted: np.ndarray, decision: np.ndarray) -> dict[str, float]:
    """micro, macro and samples F1 (scikit-learn's, every class a column) and precision at 1."""
    from sklearn.metrics import f1_score
    top = decision.argmax(axis=1)
    return {"micro_f1": f1_score(truth, predicted, average="micro", zero_division=0),
            "macro_f1": f1_score(truth, predicted, average="macro", zero_division=0),
            "samples_f1": f1_score(truth, predicted, average="samples", zero_division=0),
            "p_at_1": float(truth[np.arange(len(truth)), top].mean())}


def best_of(repeats: int, call):
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = call()
        best = min(best, time.perf_counter() - start)
    return best, out


def run_ombrel(train, test, classes, repeats):
    from ombrel_learn import OmbrelClassifier
    clf = OmbrelClassifier()
    start = time.perf_counter()
    clf.fit(*train)
    fit = time.perf_counter() - start
    seconds, predicted = best_of(repeats, lambda: clf.predict(test[0]))
    columns = [list(clf.classes_).index(c) for c in classes]
    decision = clf.decision_function(test[0])[:, columns]
    note = f"OmbrelClassifier(); held-out micro F1 of the word features: {getattr(clf, 'selection_scores_', {})}"
    run_ombrel.probabilities = clf.predict_proba(test[0])[:, columns]
    run_ombrel.consistent = bool(np.array_equal(clf.set_params(min_labels=0).predict(test[0])[:, columns] > 0,
                                                run_ombrel.probabilities > clf.label_thresholds_[columns]))
    clf.set_params(min_labels=1)
    return predicted[:, columns], decision, fit, seconds, note


def calibration_error(probabilities: np.ndarray, truth: np.ndarray, bins: int = 10) -> float:
    """Expected calibration error: over equal-width bins of probability, the gap between the mean
    probability and the share of positives, weighted by the bin's share of the probabilities."""
    at = np.minimum((probabilities * bins).astype(int), bins - 1)
    return float(sum(abs(probabilities[at == b].mean() - truth[at == b].mean()) * np.mean(at == b)
                     for b in range(bins) if (at == b).any()))


def run_sklearn(train, test, classes, repeats):
    from sklearn.feature_extraction.text import TfidfVectorizer
    from sklearn.multiclass import OneVsRestClassifier
    from sklearn.preprocessing import MultiLabelBinarizer
    from sklearn.svm import LinearSVC
    binarizer = MultiLabelBinarizer(classes=classes)
    start = time.perf_counter()
    vectorizer = TfidfVectorizer(sublinear_tf=True, min_df=2)
    clf = OneVsRestClassifier(LinearSVC()).fit(vectorizer.fit_transform(train[0]), binarizer.fit_transform(train[1]))
    fit = time.perf_counter() - start

    def predict():
        decision = clf.decision_function(vectorizer.transform(test[0]))
        predicted = (decision > 0).astype(np.uint8)
        predicted[np.arange(len(decision)), decision.argmax(axis=1)] = 1
        return predicted, decision
    seconds, (predicted, decision) = best_of(repeats, predict)
    return predicted, decision, fit, seconds, "OneVsRest(LinearSVC()) on TfidfVectorizer(sublinear_tf=True, min_df=2)"


FASTTEXT_CHILD = r"""
import json, os, sys, tempfile, time
import fasttext
train_path, test_path, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
def read(path):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            labels, _, text = line.rstrip("\n").partition("\t")
            out.append((labels.split(","), text.replace("\n", " ")))
    return out
train, test = read(train_path), read(test_path)
with tempfile.TemporaryDirectory(prefix="bench-ft-") as folder:
    start = time.perf_counter()
    path = os.path.join(folder, "train.txt")
    with open(path, "w", encoding="utf-8") as f:  # fastText reads a file: writing it is timed
        for labels, text in train:
            f.write(" ".join("__label__" + l for l in labels) + " " + text + "\n")
    model = fasttext.train_supervised(input=path, loss="ova", thread=2, verbose=0)
    fit = time.perf_counter() - start
texts = [text for _, text in test]
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    labels, _ = model.predict(texts, k=-1, threshold=0.5)
    empty = [i for i, found in enumerate(labels) if not len(found)]
    if empty:
        top, _ = model.predict([texts[i] for i in empty], k=1)
        labels = list(labels)
        for i, found in zip(empty, top):
            labels[i] = found
    best = min(best, time.perf_counter() - start)
every, probabilities = model.predict(texts, k=-1, threshold=0.0)
print(json.dumps({"fit": fit, "seconds": best, "labels": [[l[9:] for l in found] for found in labels],
                  "scores": [{l[9:]: float(p) for l, p in zip(found, ps)} for found, ps in zip(every, probabilities)]}))
"""


def run_fasttext(python, folder, classes, repeats):
    try:
        done = subprocess.run([python, "-c", "import fasttext"], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"skipped: {python} cannot run ({e})"
    if done.returncode != 0:
        return f"skipped: {python} cannot import fasttext (bench/run_peers.sh installs it)"
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([python, "-c", FASTTEXT_CHILD, os.path.join(folder, "train.tsv"),
                           os.path.join(folder, "test.tsv"), str(repeats)], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return f"failed: {done.stderr.strip().splitlines()[-1] if done.stderr.strip() else done.returncode}"
    result = json.loads(done.stdout)
    column = {c: j for j, c in enumerate(classes)}
    predicted = np.zeros((len(result["labels"]), len(classes)), dtype=np.uint8)
    decision = np.zeros(predicted.shape)
    for i, (found, every) in enumerate(zip(result["labels"], result["scores"])):
        predicted[i, [column[l] for l in found]] = 1
        for label, p in every.items():
            decision[i, column[label]] = p
    return predicted, decision, result["fit"], result["seconds"], 'train_supervised(loss="ova", thread=2)'


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", default=DEFAULT_DATA)
    p.add_argument("--fasttext-python", default=DEFAULT_FASTTEXT_PYTHON)
    p.add_argument("--repeats", type=int, default=3)
    args = p.parse_args(argv)
    os.environ.setdefault("RAYON_NUM_THREADS", str(THREADS))
    folder = os.path.join(args.data, "go_emotions")
    if not os.path.exists(os.path.join(folder, "train.tsv")):
        print(f"GoEmotions not found in {folder}: nothing to measure (see ../shared/data/README.md)")
        return 0
    train, test = read(os.path.join(folder, "train.tsv")), read(os.path.join(folder, "test.tsv"))
    classes = sorted({label for found in train[1] for label in found})
    truth = np.zeros((len(test[0]), len(classes)), dtype=np.uint8)
    for i, found in enumerate(test[1]):
        truth[i, [classes.index(l) for l in found]] = 1
    print(f"GoEmotions: train {len(train[0]):,} texts, test {len(test[0]):,}, {len(classes)} labels; "
          f"at least one label per text; {THREADS} threads")
    results = {}
    for name, runner in (("ombrel_learn", lambda: run_ombrel(train, test, classes, args.repeats)),
                         ("scikit-learn", lambda: run_sklearn(train, test, classes, args.repeats)),
                         ("fastText", lambda: run_fasttext(args.fasttext_python, folder, classes, args.repeats))):
        outcome = runner()
        if isinstance(outcome, str):
            print(f"{name:13s} {outcome}")
            continue
        predicted, decision, fit, seconds, note = outcome
        measured = scores(truth, predicted, decision)
        results[name] = len(test[0]) / seconds
        print(f"{name:13s} micro F1 {measured['micro_f1']:.4f}  macro F1 {measured['macro_f1']:.4f}  "
              f"samples F1 {measured['samples_f1']:.4f}  P@1 {measured['p_at_1']:.4f}  fit {fit:6.2f} s  "
              f"predict {results[name]:10,.0f} texts/s   ({note})", flush=True)
    if "ombrel_learn" in results:
        probabilities = run_ombrel.probabilities
        per_label = [calibration_error(probabilities[:, j], truth[:, j]) for j in range(len(classes))]
        print(f"ombrel_learn's per-label probabilities: expected calibration error {calibration_error(probabilities.ravel(), truth.ravel().astype(float)):.4f} "
              f"over every (text, label), {np.mean(per_label):.4f} averaged over the labels (worst "
              f"{classes[int(np.argmax(per_label))]} {max(per_label):.4f}); predict (min_labels=0) gives exactly "
              f"the labels past their thresholds: {run_ombrel.consistent}")
        for label, error in zip(classes, per_label):
            print(f"  {label:16s} {error:.4f}")
    for peer in ("scikit-learn", "fastText"):
        if "ombrel_learn" in results and peer in results:
            print(f"ombrel_learn predicts {results['ombrel_learn'] / results[peer]:.1f}x as many texts per second "
                  f"as {peer}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
