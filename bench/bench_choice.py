"""How well the automatic choice picks: on every shared set, the defaults against every fixed candidate and
against scikit-learn's two strongest pipelines, in one run.

    python bench/bench_choice.py [--data ../shared/data] [--datasets snips,imdb-2k,...] [--no-peers]
                                 [--candidates words/sgd,chars/naive_bayes,...] [--json out.json]

For each dataset it fits `OmbrelClassifier()` (the defaults: features and learner chosen on held-out rows),
then `OmbrelClassifier(features=F, learner=L)` for F in {words, chars} and L in {sgd, naive_bayes, svm, field},
then TfidfVectorizer(sublinear_tf=True, min_df=2) + LinearSVC() and CountVectorizer() + MultinomialNB(),
all on the same training rows (shuffled with seed 0) and scored on the same test rows. It prints, per set,
the defaults' accuracy and choice, the best fixed candidate, the regret (best fixed candidate minus the
defaults), the best peer and the defaults minus the best peer, and the defaults' fit time against the
fit time of the candidate they chose (the choice's cost as a ratio measured in the same run).

Besides the shared sets as they are, smaller cuts of them stand for the sizes users bring (a few thousand
rows): NAME-Nk is N thousand training rows drawn (seed 1) from NAME's training rows, tested on at most
5,000 of its test rows (seed 2). AG News has only a test file: every 5th row is the test set, the rest
train. GoEmotions is multi-label (its own benchmark is bench/bench_multilabel.py): here its texts with a
single label are a 28-class single-label set.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_learn import DEFAULT_DATA, read_split  # noqa: E402

DATASETS = ("20newsgroups", "ag_news", "sms_spam", "lang_id_tatoeba", "banking77", "snips", "imdb",
            "go_emotions", "imdb-2k", "20newsgroups-2k", "banking77-2k", "lang_id_tatoeba-3k", "ag_news-1k",
            "imdb-5k", "snips-1k", "sms_spam-1k", "go_emotions-5k", "lang_id_tatoeba-10k")
FEATURES = ("words", "chars")
LEARNERS = ("sgd", "naive_bayes", "svm", "field")
SMALL_TEST = 5000


def load(data_root: str, name: str):
    base, _, cut = name.partition("-")
    train_x, train_y, test_x, test_y = read_split(data_root, base)
    if base == "go_emotions":  # multi-label: the texts with one label only, as a single-label set
        train_x, train_y = zip(*[(x, y) for x, y in zip(train_x, train_y) if "," not in y])
        test_x, test_y = zip(*[(x, y) for x, y in zip(test_x, test_y) if "," not in y])
        train_x, train_y, test_x, test_y = list(train_x), list(train_y), list(test_x), list(test_y)
    order = list(range(len(train_x)))
    random.Random(0).shuffle(order)
    train_x = [train_x[i] for i in order]
    train_y = [train_y[i] for i in order]
    if cut:
        size = int(float(cut.rstrip("k")) * 1000)
        rows = random.Random(1).sample(range(len(train_x)), min(size, len(train_x)))
        train_x = [train_x[i] for i in rows]
        train_y = [train_y[i] for i in rows]
        if len(test_x) > SMALL_TEST:
            rows = random.Random(2).sample(range(len(test_x)), SMALL_TEST)
            test_x = [test_x[i] for i in rows]
            test_y = [test_y[i] for i in rows]
    return train_x, train_y, test_x, test_y


def accuracy(predicted, truth) -> float:
    return 100.0 * sum(str(p) == str(t) for p, t in zip(predicted, truth)) / len(truth)


def run_ombrel(settings: dict, data) -> dict:
    from ombrel_learn import OmbrelClassifier
    train_x, train_y, test_x, test_y = data
    clf = OmbrelClassifier(**settings)
    t = time.perf_counter()
    clf.fit(train_x, train_y)
    fit_s = time.perf_counter() - t
    out = {"accuracy": accuracy(clf.predict(test_x), test_y), "fit_s": fit_s,
           "chosen": f"{clf.features_}/{clf.learner_}"}
    if getattr(clf, "selection_scores_", None):
        out["selection_scores"] = dict(clf.selection_scores_)
    return out


def run_peer(kind: str, data) -> dict:
    from sklearn.feature_extraction.text import CountVectorizer, TfidfVectorizer
    from sklearn.naive_bayes import MultinomialNB
    from sklearn.pipeline import make_pipeline
    from sklearn.svm import LinearSVC
    train_x, train_y, test_x, test_y = data
    pipe = (make_pipeline(TfidfVectorizer(sublinear_tf=True, min_df=2), LinearSVC()) if kind == "tfidfsvc"
            else make_pipeline(CountVectorizer(), MultinomialNB()))
    t = time.perf_counter()
    pipe.fit(train_x, train_y)
    fit_s = time.perf_counter() - t
    return {"accuracy": accuracy(pipe.predict(test_x), test_y), "fit_s": fit_s}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=DEFAULT_DATA)
    parser.add_argument("--datasets", default=",".join(DATASETS))
    parser.add_argument("--candidates", default=",".join(f"{f}/{le}" for f in FEATURES for le in LEARNERS),
                        help="the fixed candidates, FEATURES/LEARNER, comma-separated ('' for none)")
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args(argv)
    os.environ.setdefault("RAYON_NUM_THREADS", "2")
    candidates = [c for c in args.candidates.split(",") if c]
    results = {}
    rows = []
    for name in args.datasets.split(","):
        base = name.partition("-")[0]
        if not os.path.isdir(os.path.join(args.data, base)):
            print(f"{name}: skipped, {os.path.join(args.data, base)} is absent", flush=True)
            continue
        data = load(args.data, name)
        mine = {"defaults": run_ombrel({}, data)}
        print(f"{name}: {len(data[0])} train, {len(data[2])} test; defaults {mine['defaults']['accuracy']:.2f} "
              f"({mine['defaults']['chosen']}, {mine['defaults']['fit_s']:.2f} s)", flush=True)
        for c in candidates:
            features, learner = c.split("/")
            mine[c] = run_ombrel({"features": features, "learner": learner}, data)
            print(f"  {c}: {mine[c]['accuracy']:.2f} ({mine[c]['fit_s']:.2f} s)", flush=True)
        peers = {}
        if not args.no_peers:
            for kind in ("tfidfsvc", "mnb"):
                peers[kind] = run_peer(kind, data)
                print(f"  sklearn {kind}: {peers[kind]['accuracy']:.2f} ({peers[kind]['fit_s']:.2f} s)", flush=True)
        results[name] = {"ombrel": mine, "peers": peers}
        defaults = mine["defaults"]
        fixed = {c: v for c, v in mine.items() if c != "defaults"}
        best_fixed = max(fixed, key=lambda c: fixed[c]["accuracy"]) if fixed else None
        best_peer = max(peers, key=lambda p: peers[p]["accuracy"]) if peers else None
        chosen_fit = fixed.get(defaults["chosen"].replace("naive_bayes", "naive_bayes"), {}).get("fit_s")
        rows.append((name, defaults, best_fixed, fixed.get(best_fixed), best_peer, peers.get(best_peer), chosen_fit))
    print()
    print("| data | defaults (chosen) | best fixed candidate | regret | best peer | defaults minus best peer "
          "| fit s (chosen alone) |")
    print("|---|---|---|---|---|---|---|")
    regrets = []
    for name, defaults, best_fixed, fixed, best_peer, peer, chosen_fit in rows:
        regret = "" if fixed is None else f"{max(0.0, fixed['accuracy'] - defaults['accuracy']):.2f}"
        if regret:
            regrets.append(float(regret))
        gap = "" if peer is None else f"{defaults['accuracy'] - peer['accuracy']:+.2f}"
        cost = f"{defaults['fit_s']:.2f}" + ("" if chosen_fit is None else f" ({chosen_fit:.2f})")
        print(f"| {name} | {defaults['accuracy']:.2f} ({defaults['chosen']}) | "
              + ("" if fixed is None else f"{fixed['accuracy']:.2f} ({best_fixed})") + f" | {regret} | "
              + ("" if peer is None else f"{peer['accuracy']:.2f} ({best_peer})") + f" | {gap} | {cost} |")
    if regrets:
        print(f"\nregret: mean {sum(regrets) / len(regrets):.2f}, worst {max(regrets):.2f} points")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
