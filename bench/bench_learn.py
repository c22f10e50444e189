"""ombrel_learn against fastText and scikit-learn, raw text in, labels out, in one run.

    python bench/bench_learn.py [--data ../shared/data] [--datasets 20newsgroups,ag_news,sms_spam,lang_id_tatoeba]
    python bench/bench_learn.py --datasets short --systems ombrel_learn,fasttext     # the short texts
                                [--systems ombrel_learn,fasttext,...]

The peers: fastText (5 and 25 epochs, with and without wordNgrams 2), scikit-learn's HashingVectorizer +
SGDClassifier, CountVectorizer + MultinomialNB, and TfidfVectorizer(sublinear_tf, min_df 2) + LinearSVC, the
pipeline a careful scikit-learn user tries first.

Every (system, dataset) pair runs in a fresh subprocess (so that its peak resident memory is its
own), with 2 threads: ombrel's and ombrel_learn's pools (RAYON_NUM_THREADS=2), fastText's thread=2,
scikit-learn's n_jobs=2. Each child reads the split, shuffles the training rows (seed 0), fits from
raw text (timed), predicts the test texts in one batched call (best of 3; a test set under 20,000
texts is repeated to that many), then one text per call
(median over up to 2 s), and reports accuracy and its peak RSS. The parent prints every figure and
ombrel_learn's ratios against fastText (default: 5 epochs) and against the fastest scikit-learn
pipeline, all measured in this run, and the accuracy of ombrel_learn's defaults and of its autotune
(default budget, the search and the final fit timed together) against the best peer on each dataset.
ombrel_learn-nb is words and naive Bayes given explicitly: what the automatic choice costs shows as
the difference of its fit time to the defaults'.
AG News has only a test file: every 5th row is the test set, the rest train.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "data"))
THREADS = 2
BATCH_TEXTS = 20_000
# Short texts (queries, intents, posts, sentences), where the choice mostly picks character n-grams.
SHORT_SETS = "banking77,snips,lang_id_tatoeba,go_emotions"
SYSTEMS = {
    "ombrel_learn": "OmbrelClassifier() defaults (features and learner chosen on held-out rows)",
    "ombrel_learn-autotune": "OmbrelClassifier().autotune(X, y) in its default budget (30 s, final fit included)",
    "ombrel_learn-nb": 'OmbrelClassifier(features="words", learner="naive_bayes") (smoothing chosen on held-out rows)',
    "fasttext": "train_supervised(thread=2), defaults (5 epochs, dim 100, word unigrams)",
    "fasttext-25": "train_supervised(thread=2, epoch=25)",
    "fasttext-bigrams": "train_supervised(thread=2, wordNgrams=2)",
    "fasttext-bigrams-25": "train_supervised(thread=2, wordNgrams=2, epoch=25)",
    "sklearn-sgd": "HashingVectorizer(n_features=2**20, alternate_sign=False) + SGDClassifier(n_jobs=2)",
    "sklearn-mnb": "CountVectorizer() + MultinomialNB()",
    "sklearn-tfidfsvc": "TfidfVectorizer(sublinear_tf=True, min_df=2) + LinearSVC()",
}
PEERS = ("fasttext", "fasttext-25", "fasttext-bigrams", "fasttext-bigrams-25", "sklearn-sgd", "sklearn-mnb",
         "sklearn-tfidfsvc")


def read(path: str) -> tuple[list[str], list[str]]:
    """(texts, labels) of a label<TAB>text file."""
    texts, labels = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            label, tab, text = line.rstrip("\n").partition("\t")
            if tab:
                labels.append(label)
                texts.append(text)
    return texts, labels


def read_split(data_root: str, name: str):
    folder = os.path.join(data_root, name)
    if name == "go_emotions":  # multi-label: the rows of a single label, as single texts
        train_x, train_y, test_x, test_y = (*read(os.path.join(folder, "train.tsv")),
                                            *read(os.path.join(folder, "test.tsv")))
        train = [i for i, y in enumerate(train_y) if "," not in y]
        test = [i for i, y in enumerate(test_y) if "," not in y]
        return ([train_x[i] for i in train], [train_y[i] for i in train],
                [test_x[i] for i in test], [test_y[i] for i in test])
    if os.path.isfile(os.path.join(folder, "train.tsv")):
        return (*read(os.path.join(folder, "train.tsv")), *read(os.path.join(folder, "test.tsv")))
    texts, labels = read(os.path.join(folder, "test.tsv"))  # 80/20 by row index, as the demo does
    train = [i for i in range(len(texts)) if i % 5 != 4]
    test = [i for i in range(len(texts)) if i % 5 == 4]
    return ([texts[i] for i in train], [labels[i] for i in train],
            [texts[i] for i in test], [labels[i] for i in test])


class OmbrelLearn:
    def __init__(self, autotune, **settings):
        from ombrel_learn import OmbrelClassifier
        self.clf = OmbrelClassifier(**settings)
        self.autotune = autotune

    def fit(self, texts, labels):
        if self.autotune:
            self.clf.autotune(texts, labels)
            report = self.clf.autotune_report_
            self.chosen = {"chosen": report["chosen"], "tried": report["candidates_tried"]}
        else:
            self.clf.fit(texts, labels)
            self.chosen = {"chosen": {"features": self.clf.features_, "learner": self.clf.learner_,
                                      "alpha": self.clf.alpha_}}

    def predict_batch(self, texts):
        return self.clf.predict(texts).tolist()

    def predict_one(self, text):
        return self.clf.predict([text])[0]


class FastText:
    def __init__(self, epochs=5, word_ngrams=1):
        import fasttext
        self.fasttext = fasttext
        self.epochs = epochs
        self.word_ngrams = word_ngrams

    def fit(self, texts, labels):
        self.tmp = tempfile.TemporaryDirectory(prefix="bench-ft-")
        path = os.path.join(self.tmp.name, "train.txt")
        with open(path, "w", encoding="utf-8") as f:  # fastText reads a file: writing it is timed
            for label, text in zip(labels, texts):
                f.write(f"__label__{label} {text}\n")
        self.model = self.fasttext.train_supervised(input=path, thread=THREADS, verbose=0, epoch=self.epochs,
                                                    wordNgrams=self.word_ngrams)

    def predict_batch(self, texts):
        labels, _ = self.model.predict([t.replace("\n", " ") for t in texts])
        return [l[0][9:] if l else None for l in labels]

    def predict_one(self, text):
        # FastText.predict(text) without its final np.array(probs, copy=False), which NumPy 2 refuses.
        return self.model.f.predict(text + "\n", 1, 0.0, "strict")[0][1][9:]


class Sklearn:
    def __init__(self, kind):
        from sklearn.feature_extraction.text import CountVectorizer, HashingVectorizer, TfidfVectorizer
        from sklearn.linear_model import SGDClassifier
        from sklearn.naive_bayes import MultinomialNB
        from sklearn.pipeline import make_pipeline
        from sklearn.svm import LinearSVC
        if kind == "tfidfsvc":
            self.pipe = make_pipeline(TfidfVectorizer(sublinear_tf=True, min_df=2), LinearSVC())
        elif kind == "sgd":
            self.pipe = make_pipeline(HashingVectorizer(n_features=2**20, alternate_sign=False),
                                      SGDClassifier(n_jobs=THREADS, random_state=0))
        else:
            self.pipe = make_pipeline(CountVectorizer(), MultinomialNB())

    def fit(self, texts, labels):
        self.pipe.fit(texts, labels)

    def predict_batch(self, texts):
        return list(self.pipe.predict(texts))

    def predict_one(self, text):
        return self.pipe.predict([text])[0]


def make(system):
    if system == "ombrel_learn":
        return OmbrelLearn(autotune=False)
    if system == "ombrel_learn-autotune":
        return OmbrelLearn(autotune=True)
    if system == "ombrel_learn-nb":
        return OmbrelLearn(autotune=False, features="words", learner="naive_bayes")
    if system == "fasttext":
        return FastText()
    if system == "fasttext-25":
        return FastText(25)
    if system == "fasttext-bigrams":
        return FastText(5, 2)
    if system == "fasttext-bigrams-25":
        return FastText(25, 2)
    return Sklearn(system.split("-")[1])


def child(system: str, dataset: str, data_root: str) -> dict:
    train_x, train_y, test_x, test_y = read_split(data_root, dataset)
    order = list(range(len(train_x)))
    random.Random(0).shuffle(order)
    train_x = [train_x[i] for i in order]
    train_y = [train_y[i] for i in order]
    model = make(system)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    t = time.perf_counter()
    model.fit(train_x, train_y)
    fit_s = time.perf_counter() - t
    fit_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    predicted = model.predict_batch(test_x)
    accuracy = sum(str(p) == str(y) for p, y in zip(predicted, test_y)) / len(test_y)
    # A small test set is repeated to BATCH_TEXTS texts at least, so that the batch is not timed
    # in the noise of a few milliseconds.
    batch_x = test_x * -(-BATCH_TEXTS // len(test_x))
    batch_s = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        model.predict_batch(batch_x)
        batch_s = min(batch_s, time.perf_counter() - t)
    singles = []
    deadline = time.perf_counter() + 2.0
    for text in test_x:
        t = time.perf_counter()
        model.predict_one(text)
        singles.append(time.perf_counter() - t)
        if time.perf_counter() > deadline and len(singles) >= 50:
            break
    return {"system": system, "dataset": dataset, "accuracy": accuracy, "fit_s": fit_s,
            "batch_texts_per_s": len(batch_x) / batch_s, "single_us": 1e6 * statistics.median(singles),
            "peak_rss_mb": fit_peak / 2**20, "rss_before_fit_mb": rss_before / 2**20,
            "test_texts": len(test_x), **getattr(model, "chosen", {})}


def run(system: str, dataset: str, data_root: str) -> dict | None:
    env = dict(os.environ, RAYON_NUM_THREADS=str(THREADS), OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, __file__, "--child", system, dataset, "--data", data_root],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        print(f"  {system} on {dataset} failed: {proc.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", default=DEFAULT_DATA)
    p.add_argument("--datasets", default="20newsgroups,ag_news,sms_spam,lang_id_tatoeba",
                   help=f'comma-separated folders of --data; "short" stands for {SHORT_SETS}')
    p.add_argument("--systems", default=",".join(SYSTEMS), help="a comma-separated subset of: " + ", ".join(SYSTEMS))
    p.add_argument("--child", nargs=2, metavar=("SYSTEM", "DATASET"), help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    args.datasets = args.datasets.replace("short", SHORT_SETS)
    if args.child:
        print(json.dumps(child(args.child[0], args.child[1], args.data)))
        return 0
    if not os.path.isdir(args.data):
        print(f"no datasets at {args.data}; pass --data DIR", file=sys.stderr)
        return 2
    results = {}
    for dataset in args.datasets.split(","):
        if not os.path.isdir(os.path.join(args.data, dataset)):
            print(f"{dataset}: not found under {args.data}, skipped", file=sys.stderr)
            continue
        for system in args.systems.split(","):
            r = run(system, dataset, args.data)
            if r:
                results[(system, dataset)] = r
                print(f"{dataset:16} {system:19} acc {100 * r['accuracy']:5.1f}%  fit {r['fit_s']:6.2f} s  "
                      f"batch {r['batch_texts_per_s']:9,.0f} texts/s  single {r['single_us']:8.1f} us  "
                      f"peak RSS {r['peak_rss_mb']:6.0f} MB (before fit {r['rss_before_fit_mb']:.0f})"
                      + (f"  chose {r['chosen']}" if "chosen" in r else ""), flush=True)
    print("\nAccuracy against the peers of the same run, in points (goals: defaults >= -0.5 against the best "
          "peer; against TF-IDF + LinearSVC, defaults >= -0.5 on 20newsgroups and ag_news, autotune >= 0):")
    for dataset in args.datasets.split(","):
        measured = [results[(s, dataset)] for s in PEERS if (s, dataset) in results]
        if not measured:
            continue
        best = max(measured, key=lambda r: r["accuracy"])
        svc = results.get(("sklearn-tfidfsvc", dataset))
        line = [f"{dataset}: best peer {best['system']} {100 * best['accuracy']:.2f}%"]
        for system in ("ombrel_learn", "ombrel_learn-autotune"):
            if (system, dataset) in results:
                r = results[(system, dataset)]
                line.append(f"{system} {100 * r['accuracy']:.2f}% ({100 * (r['accuracy'] - best['accuracy']):+.2f}"
                            + (f"; {100 * (r['accuracy'] - svc['accuracy']):+.2f} against TF-IDF + LinearSVC"
                               if svc else "") + ")")
        print("  " + "; ".join(line))
    print("\nombrel_learn against the peers of the same run (higher is better for ombrel_learn):")
    ours_systems = ("ombrel_learn", "ombrel_learn-autotune", "ombrel_learn-nb")
    for dataset, ours_name in ((d, s) for d in args.datasets.split(",") for s in ours_systems):
        ours = results.get((ours_name, dataset))
        ft = results.get(("fasttext", dataset))
        sk = [results[(s, dataset)] for s in ("sklearn-sgd", "sklearn-mnb", "sklearn-tfidfsvc") if (s, dataset) in results]
        if not ours:
            continue
        line = [f"{dataset} ({ours_name}):"]
        if ft:
            line.append(f"batched {ours['batch_texts_per_s'] / ft['batch_texts_per_s']:.2f}x fastText")
        if sk:
            best = max(sk, key=lambda r: r["batch_texts_per_s"])
            line.append(f"{ours['batch_texts_per_s'] / best['batch_texts_per_s']:.2f}x {best['system']} (fastest scikit-learn)")
        if ft:
            line.append(f"training {ft['fit_s'] / ours['fit_s']:.2f}x faster than fastText")
            line.append(f"single text {ours['single_us'] / ft['single_us']:.2f} of fastText's time")
            line.append(f"peak memory while fitting {ours['peak_rss_mb'] / ft['peak_rss_mb']:.2f} of fastText's")
        print("  " + "; ".join(line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
