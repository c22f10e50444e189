"""How good ombrel_learn's probabilities are, against scikit-learn's logistic regression and
fastText's, in one run.

    python bench/bench_probabilities.py [--data ../shared/data]
        [--datasets 20newsgroups,ag_news,sms_spam,lang_id_tatoeba]

For each dataset: OmbrelClassifier() with its defaults (its softmax temperature fitted during fit on
held-out training rows) and with learner="field" (the field's own training, whose potentials have
no compiler's scale), scikit-learn's LogisticRegression on TfidfVectorizer(sublinear_tf=True,
min_df=2) rows, and fastText's train_supervised (defaults, and 25 epochs; when
~/.cache/ombrel/venv-bench has fasttext: run there in a subprocess; else skipped with a message).
Each is fitted on the training texts and scored on the test texts: log loss (natural log, each
probability clipped to at least 2.2e-16, the float64 epsilon, as sklearn.metrics.log_loss does; a
test label never seen in training counts as that), expected calibration error (15 equal-width bins
of the top label's probability, weighted by their share of the texts) and accuracy.
For both ombrel_learn rows it also prints the temperature fit chose and the one that would minimise the
test set's own log loss (an oracle), with the log loss under the oracle's temperature: how well a
temperature fitted on a model of 80% of a sample carries over to the full model.
The training rows are shuffled (seed 0) for every system. AG News has only test.tsv: its rows are
shuffled (seed 0) and split 80/20.
The datasets folder is --data, else the OMBREL_DATA environment variable, else ../shared/data.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_learn import read  # noqa: E402  (beside this file: label<TAB>text files)
DEFAULT_DATA = os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "data"))
FASTTEXT_PYTHON = os.path.expanduser("~/.cache/ombrel/venv-bench/bin/python")
BINS = 15
FLOOR = float(np.finfo(np.float64).eps)  # what sklearn.metrics.log_loss clips to


def split(data: str, name: str):
    folder = os.path.join(data, name)
    pick = lambda rows, values: [values[i] for i in rows]  # noqa: E731
    if os.path.isfile(os.path.join(folder, "train.tsv")):
        texts, labels = read(os.path.join(folder, "train.tsv"))
        order = list(range(len(texts)))
        random.Random(0).shuffle(order)  # the files are sorted by label, which fastText cannot learn from
        return (pick(order, texts), pick(order, labels), *read(os.path.join(folder, "test.tsv")))
    texts, labels = read(os.path.join(folder, "test.tsv"))
    order = list(range(len(texts)))
    random.Random(0).shuffle(order)
    cut = len(order) * 4 // 5
    return (pick(order[:cut], texts), pick(order[:cut], labels), pick(order[cut:], texts), pick(order[cut:], labels))


def scores(proba: np.ndarray, classes: list, y_test: list) -> dict:
    """Log loss, top-label ECE (BINS bins) and accuracy of probabilities over `classes`."""
    index = {c: i for i, c in enumerate(classes)}
    n = len(y_test)
    true_p = np.array([proba[r, index[y]] if y in index else 0.0 for r, y in enumerate(y_test)])
    log_loss = float(-np.log(np.clip(true_p, FLOOR, 1.0)).mean())
    top = proba.argmax(axis=1)
    confidence = proba[np.arange(n), top]
    hit = np.array([classes[t] == y for t, y in zip(top.tolist(), y_test)], dtype=np.float64)
    bins = np.minimum((confidence * BINS).astype(int), BINS - 1)
    ece = 0.0
    for b in range(BINS):
        inside = bins == b
        if inside.any():
            ece += inside.mean() * abs(hit[inside].mean() - confidence[inside].mean())
    return {"log_loss": log_loss, "ece": float(ece), "accuracy": float(hit.mean())}


def run_ombrel(X_train, y_train, X_test, y_test, **params) -> dict:
    from ombrel_learn import OmbrelClassifier
    from ombrel_learn.learning.calibration import fit_temperature

    start = time.perf_counter()
    clf = OmbrelClassifier(**params).fit(X_train, y_train)
    fit_s = time.perf_counter() - start
    classes = clf.classes_.tolist()
    out = scores(clf.predict_proba(X_test), classes, y_test)
    model = clf._model
    out["fit_s"] = fit_s
    out["what"] = f"{clf.features_}, {clf.learner_}"
    # The oracle: the temperature that fits the test set itself best.
    known = [i for i, y in enumerate(y_test) if y in set(classes)]
    potentials = model.potentials([X_test[i] for i in known])
    labels = np.searchsorted(clf.classes_, np.asarray([y_test[i] for i in known], dtype=clf.classes_.dtype))
    oracle = fit_temperature(potentials, labels)
    fitted = model.softmax_temperature()
    model.temperature = oracle
    out["oracle_log_loss"] = scores(clf.predict_proba(X_test), classes, y_test)["log_loss"]
    out["t_ratio"] = fitted / oracle
    return out


def run_sklearn(X_train, y_train, X_test, y_test) -> dict:
    from sklearn.feature_extraction.text import TfidfVectorizer
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline

    start = time.perf_counter()
    pipe = make_pipeline(TfidfVectorizer(sublinear_tf=True, min_df=2), LogisticRegression(max_iter=1000))
    pipe.fit(X_train, y_train)
    fit_s = time.perf_counter() - start
    out = scores(pipe.predict_proba(X_test), pipe.classes_.tolist(), y_test)
    out["fit_s"] = fit_s
    return out


FASTTEXT_CHILD = r"""
import json, sys, time
import numpy as np
import fasttext
train, test, out, epochs = sys.argv[1:5]
start = time.perf_counter()
model = fasttext.train_supervised(train, thread=2, verbose=0, epoch=int(epochs))
fit_s = time.perf_counter() - start
labels = [l[len("__label__"):] for l in model.get_labels()]
texts = [line.rstrip("\n") for line in open(test, encoding="utf-8")]
got, probs = model.predict(texts, k=-1)
proba = np.zeros((len(texts), len(labels)))
where = {l: i for i, l in enumerate(labels)}
for r, (ls, ps) in enumerate(zip(got, probs)):
    for l, p in zip(ls, ps):
        proba[r, where[l[len("__label__"):]]] = p
proba /= proba.sum(axis=1, keepdims=True)
np.save(out, proba)
json.dump({"classes": labels, "fit_s": fit_s}, open(out + ".json", "w"))
"""


def run_fasttext(X_train, y_train, X_test, y_test, epochs: int) -> dict | str:
    if not os.path.exists(FASTTEXT_PYTHON):
        return f"skipped: no {FASTTEXT_PYTHON}"
    check = subprocess.run([FASTTEXT_PYTHON, "-c", "import fasttext, numpy"], capture_output=True)
    if check.returncode != 0:
        return "skipped: fasttext is not installed in the benchmark environment"
    clean = lambda t: " ".join(t.split())  # noqa: E731 - fastText reads one text per line
    with tempfile.TemporaryDirectory() as tmp:
        train, test, out = (os.path.join(tmp, n) for n in ("train.txt", "test.txt", "proba.npy"))
        with open(train, "w", encoding="utf-8") as f:
            for text, label in zip(X_train, y_train):
                f.write(f"__label__{'_'.join(label.split())} {clean(text)}\n")
        with open(test, "w", encoding="utf-8") as f:
            f.writelines(clean(t) + "\n" for t in X_test)
        subprocess.run([FASTTEXT_PYTHON, "-c", FASTTEXT_CHILD, train, test, out, str(epochs)], check=True)
        proba = np.load(out)
        meta = json.load(open(out + ".json"))
    y_plain = ["_".join(y.split()) for y in y_test]
    result = scores(proba, meta["classes"], y_plain)
    result["fit_s"] = meta["fit_s"]
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default=DEFAULT_DATA)
    parser.add_argument("--datasets", default="20newsgroups,ag_news,sms_spam,lang_id_tatoeba")
    args = parser.parse_args()
    if not os.path.isdir(args.data):
        print(f"no datasets folder at {args.data} (pass --data)")
        return 0
    rows = []
    for name in args.datasets.split(","):
        if not os.path.isdir(os.path.join(args.data, name)):
            print(f"{name}: not in {args.data}, skipped")
            continue
        X_train, y_train, X_test, y_test = split(args.data, name)
        results = {"ombrel_learn": run_ombrel(X_train, y_train, X_test, y_test),
                   "ombrel field": run_ombrel(X_train, y_train, X_test, y_test, learner="field"),
                   "sklearn logreg": run_sklearn(X_train, y_train, X_test, y_test),
                   "fasttext": run_fasttext(X_train, y_train, X_test, y_test, 5),
                   "fasttext-25ep": run_fasttext(X_train, y_train, X_test, y_test, 25)}
        rows.append((name, results))
        print(f"\n{name}: {len(X_train):,} training texts, {len(X_test):,} test texts")
        print(f"  {'system':16s} {'log loss':>9s} {'ECE':>7s} {'accuracy':>9s} {'fit s':>7s}")
        for system, r in results.items():
            if isinstance(r, str):
                print(f"  {system:16s} {r}")
                continue
            print(f"  {system:16s} {r['log_loss']:9.4f} {r['ece']:7.4f} {r['accuracy']:9.4f} {r['fit_s']:7.1f}")
        for system in ("ombrel_learn", "ombrel field"):
            o = results[system]
            print(f"  {system} ({o['what']}): fitted T / test-optimal T = {o['t_ratio']:.2f}; "
                  f"log loss under the test-optimal T {o['oracle_log_loss']:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
