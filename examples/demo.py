"""The demo: raw texts in, labels out, with ombrel_learn, end to end.

    python examples/demo.py                          # 20 Newsgroups (where examples/dataset_paths.py finds it)
    python examples/demo.py --data DIR               # DIR/train.tsv + DIR/test.tsv (or test.tsv only)
    python examples/demo.py --train A.tsv --test B.tsv [--features auto|words|chars] [--out MODEL]

Fits an OmbrelClassifier on the training texts, reports accuracy and per-class precision and
recall on the test texts with each phase's time, saves the model folder, then loads it in a second
process (the weights are mapped, not copied) and checks that every prediction is the same.
examples/classify.py is the same task written with the module's own low-level operations.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import tempfile
import time
from typing import Sequence

import numpy as np

from ombrel_learn import OmbrelClassifier

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dataset_paths  # noqa: E402  (beside this file: where the datasets are)
import recipe  # noqa: E402  (beside this file: the data files' reader)

DEFAULT_DATA = str(dataset_paths.find_dataset("20newsgroups", ("train.tsv", "test.tsv"))
                   or dataset_paths.datasets_folder() / "20newsgroups")


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", default=DEFAULT_DATA,
                   help="directory with train.tsv and test.tsv (or test.tsv alone, split 80/20); "
                        "default: 20newsgroups in the datasets folder $OMBREL_DATA or the download cache")
    p.add_argument("--train", help="training file (instead of --data)")
    p.add_argument("--test", help="test file (instead of --data)")
    p.add_argument("--features", choices=["auto", "words", "chars"], default="auto")
    p.add_argument("--epochs", type=int, default=4)
    p.add_argument("--out", help="model folder to write and keep (default: a temporary one, removed on exit)")
    p.add_argument("--no-check", action="store_true", help="skip the reload check in a second process")
    return p.parse_args(argv)


def choice_figures(clf: OmbrelClassifier) -> str:
    """The held-out accuracies the automatic choice of features decided on, as " (...)", or "".

    When the feature kinds were scored on different rows (a costlier kind on fewer), the choice
    compares each kind's best candidate again on the rows they share: those paired figures
    (selection_paired_) are the ones it decided on, not each kind's best on its own rows
    (feature_scores_), which are shown only when there was no paired comparison."""
    paired = getattr(clf, "selection_paired_", None)
    if paired:
        shown = ", ".join(f"{name} {100 * value:.1f}%" for name, value in paired.items())
        return f" (chosen on the held-out texts every kind was scored on: {shown})"
    scores = getattr(clf, "feature_scores_", None)
    if scores:
        return f" (chosen on held-out accuracy {', '.join(f'{k} {100 * v:.1f}%' for k, v in scores.items())})"
    return ""


def reload_and_predict(model_dir: str, texts: list[str]) -> tuple[list[str], int]:
    """Runs in a fresh process: the saved model folder and raw texts to labels."""
    return OmbrelClassifier.load(model_dir).predict(texts).tolist(), os.getpid()


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    t = time.perf_counter()
    try:
        split = recipe.load_split(None if (args.train or args.test) else args.data, args.train, args.test)
    except recipe.DataError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    if not split.train_texts or not split.test_texts:
        print("error: the training or the test set is empty", file=sys.stderr)
        return 2
    read_s = time.perf_counter() - t
    n_bytes = sum(len(s.encode("utf-8")) for s in split.train_texts + split.test_texts)
    print(f"{split.name}: {len(split.train_texts):,} training and {len(split.test_texts):,} test texts, "
          f"{len(split.classes)} classes, {n_bytes / 1e6:.1f} MB of text (read in {read_s:.2f} s)")

    clf = OmbrelClassifier(features=args.features, epochs=args.epochs, verbose=True)
    t = time.perf_counter()
    try:
        clf.fit(split.train_texts, split.train_labels)
    except (TypeError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    fit_s = time.perf_counter() - t
    print(f"fit: {fit_s:.2f} s from raw text; features {clf.features_}{choice_figures(clf)}; "
          f"{clf.n_features_:,} token neurons")

    t = time.perf_counter()
    predicted = clf.predict(split.test_texts)
    predict_s = time.perf_counter() - t
    truth = np.asarray(split.test_labels)
    accuracy = float(np.mean(predicted == truth))
    print(f"predict: {predict_s * 1e3:.1f} ms, {len(split.test_texts) / predict_s:,.0f} texts/s")
    print(f"accuracy {100 * accuracy:.2f}% on {len(truth):,} test texts\n")
    width = max(len(c) for c in split.classes)
    print(f"  {'class':<{width}}  precision  recall  support")
    for c in sorted(set(truth.tolist()) | set(clf.classes_.tolist())):
        said = predicted == c
        real = truth == c
        tp = int(np.sum(said & real))
        precision = tp / int(np.sum(said)) if said.any() else 0.0
        recall = tp / int(np.sum(real)) if real.any() else 0.0
        print(f"  {c:<{width}}  {precision:9.3f}  {recall:6.3f}  {int(np.sum(real)):7d}")

    tmp = None
    out = args.out
    if not out:
        tmp = tempfile.TemporaryDirectory(prefix="ombrel-demo-")
        out = os.path.join(tmp.name, "model")
    t = time.perf_counter()
    clf.save(out)
    size = sum(os.path.getsize(os.path.join(out, f)) for f in os.listdir(out))
    where = f"to {out}" if tmp is None else "to a temporary folder removed on exit (--out DIR keeps one)"
    print(f"\nsaved the model folder ({size / 1e6:.2f} MB) in {(time.perf_counter() - t) * 1e3:.0f} ms {where}")
    status = 0
    if not args.no_check:
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            again, pid = pool.apply(reload_and_predict, (out, split.test_texts))
        same = again == predicted.tolist()
        print(f"process {pid} loaded it (weights mapped) and predicted the test texts: "
              f"identical for all {len(again):,} texts: {'yes' if same else 'NO'}")
        status = 0 if same else 1
    if tmp:
        tmp.cleanup()
    return status


if __name__ == "__main__":
    sys.exit(main())
