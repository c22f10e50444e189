"""ombrel against the text classifiers a user would pick instead, on the same data in one run.

    python bench/bench_peers.py [--data ../shared/data] [--datasets a,b] [--systems x,y]

Every (system, dataset) pair runs in a fresh subprocess of its own, so that its peak resident
memory (ru_maxrss) is its own. Each child loads the split, shuffles the training rows (seed 0, the
datasets are stored sorted by label), trains from raw text, predicts the test texts from raw text
once in one batched call and once with one call per text, and reports a JSON line. The parent
prints, per dataset, ombrel_learn's accuracy against the best peer and against TF-IDF + LinearSVC
(defaults and autotune with a 30 s budget) and its speed and memory ratios against fastText and the
fastest scikit-learn pipeline, all measured in this run, beside the goals; and writes
bench/peers_results.json, bench/RESULTS.md (the same goal table) and bench/peers_accuracy_throughput.png.

bench/run_peers.sh installs the peers and runs this script; see bench/RESULTS.md for the settings.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import pickle
import platform
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "examples"))

DEFAULT_DATA = os.path.join(os.path.dirname(ROOT), "shared", "data")
DATASETS = ["20newsgroups", "ag_news", "sms_spam", "lang_id_tatoeba"]
SINGLE_BUDGET_S = 4.0  # per (system, dataset) for the one-call-per-text loop
THREADS = 2  # ombrel's pool, fastText's threads, scikit-learn's n_jobs
SYSTEMS = {
    # name: (family, description of the exact settings)
    "ombrel": ("ombrel", "recipe of examples/recipe.py; features chosen by text length (auto)"),
    "ombrel-words": ("ombrel", "the same recipe forced to word features (stop words, stemming)"),
    "ombrel_learn": ("ombrel", "ombrel_learn.OmbrelClassifier() defaults: the same recipe on the native text "
                     "pipeline, features chosen on held-out training rows"),
    "ombrel_learn-autotune30": ("ombrel", "ombrel_learn.OmbrelClassifier().autotune(texts, labels, budget=30): "
                                "features, learner and their settings searched on held-out training rows "
                                "for at most 30 s, the final fit included; its training time is the whole "
                                "search"),
    "sklearn-sgd": ("scikit-learn", "HashingVectorizer(n_features=2**20, alternate_sign=False) + "
                    "SGDClassifier(n_jobs=2, random_state=0), other settings default"),
    "sklearn-perceptron": ("scikit-learn", "HashingVectorizer(n_features=2**20, alternate_sign=False) "
                           "+ Perceptron(n_jobs=2, random_state=0)"),
    "sklearn-mnb": ("scikit-learn", "CountVectorizer() + MultinomialNB(), defaults"),
    "sklearn-tfidf-svc": ("scikit-learn", "TfidfVectorizer(sublinear_tf=True, min_df=2) + LinearSVC(), other "
                          "settings default (LinearSVC has no n_jobs: one thread)"),
    "fasttext": ("fastText", "train_supervised(thread=2), other settings default (5 epochs, lr 0.1, "
                 "dim 100, word unigrams); the single-call figure calls the model's own predict "
                 "binding as `FastText.predict(text)` does, without the wrapper's final "
                 "`np.array(probs, copy=False)`, which fastText 0.9.3 still calls and NumPy 2 refuses"),
    "fasttext-25ep": ("fastText", "train_supervised(thread=2, epoch=25), other settings default"),
    "fasttext-bigrams": ("fastText", "train_supervised(thread=2, wordNgrams=2), other settings default "
                         "(5 epochs)"),
    "fasttext-bigrams-25ep": ("fastText", "train_supervised(thread=2, wordNgrams=2, epoch=25), other settings "
                              "default"),
    "vw": ("Vowpal Wabbit", "Workspace('--oaa K --quiet'), defaults (one online pass, 18-bit hash); "
           "features: the text's blank-separated words, ':' and '|' replaced by blanks"),
}


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def words(text: str) -> int:
    return len(text.split())


# ---------------------------------------------------------------------------------------------
# Systems: fit(train_texts, train_labels) then predict_batch(texts), predict_one(text), size()


class OmbrelSystem:
    def __init__(self, features: str | None):
        import ombrel  # noqa: F401  (fail early when missing)
        import recipe
        self.recipe_module = recipe
        self.forced = features
        self.breakdown = {}

    def fit(self, texts, labels):
        R = self.recipe_module
        self.features = self.forced or R.choose_features(texts)
        self.featurize = R.FEATURE_SETS[self.features]
        self.classes = sorted(set(labels))
        class_id = {c: i for i, c in enumerate(self.classes)}
        rc = R.Recipe()
        tokens = [self.featurize(t) for t in texts]
        y = [class_id[l] for l in labels]
        tokens, y = R.shuffled(rc.seed, tokens, y)
        self.vocabulary = R.Vocabulary.build(tokens, y, len(self.classes), rc.min_df, rc.coverage)
        ids = [self.vocabulary.ids(t) for t in tokens]
        self.field = R.new_field(len(self.vocabulary), len(self.classes), rc.margin)
        R.train(self.field, len(self.vocabulary), ids, y, rc)
        self.settings = f"features {self.features} ({self.featurize.describe()}); {rc.describe()}"

    def predict_batch(self, texts):
        t0 = time.perf_counter()
        tokens = [self.featurize(t) for t in texts]
        t1 = time.perf_counter()
        ids = [self.vocabulary.ids(t) for t in tokens]
        t2 = time.perf_counter()
        winners = self.field.predict_batch(ids)
        t3 = time.perf_counter()
        classes = self.classes
        out = [classes[w] for w in winners]
        t4 = time.perf_counter()
        self.breakdown = {"tokenize_s": t1 - t0, "vocabulary_ids_s": t2 - t1,
                          "predict_batch_s": t3 - t2, "labels_s": t4 - t3,
                          "token_ids": sum(map(len, ids)), "tokens": sum(map(len, tokens))}
        return out

    def predict_one(self, text):
        field = self.field
        field.reset_potentials()
        return self.classes[field.predict(self.vocabulary.ids(self.featurize(text)))]

    def size(self, tmp):
        w = os.path.join(tmp, "weights.bin")
        v = os.path.join(tmp, "vocabulary.json")
        self.field.save_weights(w)
        self.vocabulary.save(v)
        return os.path.getsize(w) + os.path.getsize(v)


class OmbrelLearnSystem:
    def __init__(self, name, budget=None):
        from ombrel_learn import OmbrelClassifier
        self.clf = OmbrelClassifier()
        self.budget = budget
        self.settings = SYSTEMS[name][1]

    def fit(self, texts, labels):
        if self.budget is None:
            self.clf.fit(texts, labels)
            self.settings += f"; chose {self.clf.features_}"
        else:
            self.clf.autotune(texts, labels, budget=self.budget)
            report = self.clf.autotune_report_
            chosen = ", ".join(f"{k}={v}" for k, v in report.get("chosen", {}).items())
            self.settings += f"; chose {chosen} after {report.get('candidates_tried', '?')} candidates"

    def predict_batch(self, texts):
        return self.clf.predict(texts).tolist()

    def predict_one(self, text):
        return self.clf.predict([text])[0]

    def size(self, tmp):
        path = os.path.join(tmp, "ombrel_learn-model")
        self.clf.save(path)
        return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


class SklearnSystem:
    def __init__(self, kind):
        from sklearn.feature_extraction.text import CountVectorizer, HashingVectorizer, TfidfVectorizer
        from sklearn.linear_model import Perceptron, SGDClassifier
        from sklearn.naive_bayes import MultinomialNB
        from sklearn.pipeline import make_pipeline
        from sklearn.svm import LinearSVC
        if kind == "tfidf-svc":
            self.pipe = make_pipeline(TfidfVectorizer(sublinear_tf=True, min_df=2), LinearSVC())
        elif kind == "sgd":
            self.pipe = make_pipeline(HashingVectorizer(n_features=2**20, alternate_sign=False),
                                      SGDClassifier(n_jobs=THREADS, random_state=0))
        elif kind == "perceptron":
            self.pipe = make_pipeline(HashingVectorizer(n_features=2**20, alternate_sign=False),
                                      Perceptron(n_jobs=THREADS, random_state=0))
        elif kind == "mnb":
            self.pipe = make_pipeline(CountVectorizer(), MultinomialNB())
        else:
            raise ValueError(kind)
        self.settings = SYSTEMS["sklearn-" + kind][1]

    def fit(self, texts, labels):
        self.pipe.fit(texts, labels)

    def predict_batch(self, texts):
        return list(self.pipe.predict(texts))

    def predict_one(self, text):
        return self.pipe.predict([text])[0]

    def size(self, tmp):
        return len(pickle.dumps(self.pipe, protocol=pickle.HIGHEST_PROTOCOL))


class FasttextSystem:
    def __init__(self, name, epochs=None, word_ngrams=None):
        import fasttext
        self.fasttext = fasttext
        self.epochs = epochs
        self.word_ngrams = word_ngrams
        self.settings = SYSTEMS[name][1]

    def fit(self, texts, labels):
        # The input file is part of fastText's training pipeline, so writing it is timed too.
        self.tmp = tempfile.TemporaryDirectory(prefix="bench-ft-")
        path = os.path.join(self.tmp.name, "train.txt")
        with open(path, "w", encoding="utf-8") as f:
            for label, text in zip(labels, texts):
                f.write(f"__label__{label} {text}\n")
        kwargs = {"input": path, "thread": THREADS, "verbose": 0}
        if self.epochs:
            kwargs["epoch"] = self.epochs
        if self.word_ngrams:
            kwargs["wordNgrams"] = self.word_ngrams
        self.model = self.fasttext.train_supervised(**kwargs)

    def predict_batch(self, texts):
        labels, _ = self.model.predict(texts)
        return [l[0][9:] if l else None for l in labels]

    def predict_one(self, text):
        # What FastText.predict(text) does, less its final np.array(probs, copy=False), which
        # fastText 0.9.3 still calls and NumPy 2 refuses.
        return self.model.f.predict(text + "\n", 1, 0.0, "strict")[0][1][9:]

    def size(self, tmp):
        path = os.path.join(tmp, "model.bin")
        self.model.save_model(path)
        return os.path.getsize(path)


class VowpalSystem:
    TABLE = str.maketrans({":": " ", "|": " "})

    def __init__(self):
        import vowpalwabbit
        self.vw = vowpalwabbit
        self.settings = SYSTEMS["vw"][1]

    def fit(self, texts, labels):
        self.classes = sorted(set(labels))
        class_id = {c: i + 1 for i, c in enumerate(self.classes)}
        self.ws = self.vw.Workspace(f"--oaa {len(self.classes)} --quiet")
        table = self.TABLE
        for text, label in zip(texts, labels):
            self.ws.learn(f"{class_id[label]} | {text.translate(table)}")

    def predict_one(self, text):
        return self.classes[int(self.ws.predict("| " + text.translate(self.TABLE))) - 1]

    def predict_batch(self, texts):
        # The Python module predicts one example per call: "batched" is the same loop.
        return [self.predict_one(t) for t in texts]

    def size(self, tmp):
        path = os.path.join(tmp, "model.vw")
        self.ws.save(path)
        return os.path.getsize(path)


def make_system(name):
    if name == "ombrel":
        return OmbrelSystem(None)
    if name == "ombrel-words":
        return OmbrelSystem("words")
    if name == "ombrel_learn":
        return OmbrelLearnSystem(name)
    if name == "ombrel_learn-autotune30":
        return OmbrelLearnSystem(name, budget=30)
    if name.startswith("sklearn-"):
        return SklearnSystem(name.split("-", 1)[1])
    if name == "fasttext":
        return FasttextSystem(name)
    if name == "fasttext-25ep":
        return FasttextSystem(name, epochs=25)
    if name == "fasttext-bigrams":
        return FasttextSystem(name, word_ngrams=2)
    if name == "fasttext-bigrams-25ep":
        return FasttextSystem(name, epochs=25, word_ngrams=2)
    if name == "vw":
        return VowpalSystem()
    raise ValueError(name)


def versions() -> dict:
    from importlib import metadata
    out = {"python": platform.python_version()}
    for dist in ("ombrel", "scikit-learn", "numpy", "scipy", "fasttext", "fasttext-wheel",
                 "vowpalwabbit", "matplotlib"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            pass
    return out


# ---------------------------------------------------------------------------------------------
# One child run


def run_one(system_name: str, dataset: str, data_root: str, single_limit: int) -> dict:
    import recipe
    split = recipe.load_split(os.path.join(data_root, dataset))
    train_texts, train_labels = recipe.shuffled(0, split.train_texts, split.train_labels)
    test_texts, test_labels = split.test_texts, split.test_labels
    result = {"system": system_name, "dataset": dataset, "train_rows": len(train_texts),
              "test_rows": len(test_texts), "classes": len(set(train_labels))}
    try:
        system = make_system(system_name)
    except ImportError as e:
        result.update(status="not installed", error=str(e))
        return result
    if system_name == "ombrel-words" and recipe.choose_features(train_texts) == "words":
        result.update(status="same as ombrel")  # the recipe already picks words here
        return result
    # Every system runs with the cyclic collector paused (the data holds no cycles).
    gc.collect()
    gc.disable()
    rss_loaded = rss_bytes()

    t = time.perf_counter()
    system.fit(train_texts, train_labels)
    result["train_s"] = time.perf_counter() - t
    result["fit_peak_rss_bytes"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    best = None
    for _ in range(3):  # best of up to three, while a repeat stays cheap
        t = time.perf_counter()
        predicted = system.predict_batch(test_texts)
        elapsed = time.perf_counter() - t
        best = elapsed if best is None else min(best, elapsed)
        if best > 1.5:
            break
    test_words = sum(map(words, test_texts))
    result["accuracy"] = sum(p == y for p, y in zip(predicted, test_labels)) / len(test_labels)
    result["batch_s"] = best
    result["batch_texts_per_s"] = len(test_texts) / best
    result["batch_words_per_s"] = test_words / best

    # Single calls on an evenly spread sample (the test files are sorted by label).
    step = max(1, len(test_texts) // single_limit)
    sample = list(range(0, len(test_texts), step))[:single_limit]
    sample_texts = [test_texts[i] for i in sample]
    one = system.predict_one
    for text in sample_texts[:3]:
        one(text)  # warm-up
    # Up to single_limit texts, but stop after SINGLE_BUDGET_S: a scikit-learn pipeline over a
    # 2**20-feature hashing space spends most of a second per call on 73 classes.
    single = []
    t = time.perf_counter()
    deadline = t + SINGLE_BUDGET_S
    for text in sample_texts:
        single.append(one(text))
        if time.perf_counter() > deadline:
            break
    elapsed = time.perf_counter() - t
    sample, sample_texts = sample[:len(single)], sample_texts[:len(single)]
    result["single_texts"] = len(sample)
    result["single_texts_per_s"] = len(sample) / elapsed
    result["single_us_per_text"] = 1e6 * elapsed / len(sample)
    result["single_words_per_s"] = sum(map(words, sample_texts)) / elapsed
    result["single_agrees_with_batch"] = sum(a == predicted[i] for a, i in zip(single, sample)) / len(sample)
    # Read before saving the model: pickling a scikit-learn pipeline copies its arrays.
    result["peak_rss_bytes"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    with tempfile.TemporaryDirectory(prefix="bench-size-") as tmp:
        result["model_bytes"] = system.size(tmp)
    result["rss_after_loading_bytes"] = rss_loaded
    result["settings"] = system.settings
    if isinstance(system, OmbrelSystem):
        result["breakdown"] = system.breakdown
        result["features"] = system.features
    result["status"] = "ok"
    return result


# ---------------------------------------------------------------------------------------------
# Where the time of ombrel's calls goes (measured once, on 20 Newsgroups, in a child of its own)


def best_of(function, repeat=5) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        function()
        times.append(time.perf_counter() - t)
    return min(times)


def module_overheads(data_root: str) -> dict:
    import ombrel
    import recipe as R
    gc.disable()
    split = R.load_split(os.path.join(data_root, "20newsgroups"))
    texts = split.test_texts
    n_bytes = sum(len(t.encode("utf-8")) for t in texts)
    out = {"test_mb": n_bytes / 1e6}
    stop = R.ENGLISH_STOP_WORDS
    t = best_of(lambda: [ombrel.tokenize(x, stop, True, 2) for x in texts], 3)
    out["tokenize_mb_s"] = n_bytes / t / 1e6
    t = best_of(lambda: [x.lower().split() for x in texts], 3)
    out["lower_split_mb_s"] = n_bytes / t / 1e6
    short = ["Hello world"] * 50000
    out["tokenize_call_ns_stop"] = 1e9 * best_of(lambda: [ombrel.tokenize(x, stop, True, 2) for x in short], 3) / len(short)
    out["tokenize_call_ns_nostop"] = 1e9 * best_of(lambda: [ombrel.tokenize(x, frozenset(), True, 2) for x in short], 3) / len(short)
    out["stop_words"] = len(stop)

    class_id = {c: i for i, c in enumerate(split.classes)}
    docs = [R.WORDS(x) for x in split.train_texts]
    labels = [class_id[l] for l in split.train_labels]
    docs, labels = R.shuffled(0, docs, labels)
    vocabulary = R.Vocabulary.build(docs, labels, len(split.classes))
    train_ids = [vocabulary.ids(d) for d in docs]
    test_tokens = [R.WORDS(x) for x in texts]
    out["ids_ns_per_token"] = 1e9 * best_of(lambda: [vocabulary.ids(d) for d in test_tokens], 3) / sum(map(len, test_tokens))
    test_ids = [vocabulary.ids(d) for d in test_tokens]
    n_ids = sum(map(len, test_ids))
    field = R.new_field(len(vocabulary), len(split.classes), 300)
    R.train(field, len(vocabulary), train_ids, labels, R.Recipe())
    empty = ombrel.OmbrelField(len(vocabulary) + len(split.classes), len(split.classes))
    out["predict_batch_ns_per_id"] = 1e9 * best_of(lambda: field.predict_batch(test_ids)) / n_ids
    out["predict_batch_empty_field_ns_per_id"] = 1e9 * best_of(lambda: empty.predict_batch(test_ids)) / n_ids
    out["python_loop_ns_per_id"] = 1e9 * best_of(lambda: [sum(x) for x in test_ids]) / n_ids
    import array
    out["array_conversion_ns_per_id"] = 1e9 * best_of(lambda: [array.array("I", x) for x in test_ids]) / n_ids
    sample = test_ids[:2000]

    def single():
        for x in sample:
            field.reset_potentials()
            field.predict(x)
    out["reset_predict_us"] = 1e6 * best_of(single, 3) / len(sample)
    for n in (2, 32):
        part = test_ids[:n]
        out[f"predict_batch_{n}_us"] = 1e6 * best_of(lambda: [field.predict_batch(part) for _ in range(200)], 3) / 200
    for n in (32, 1000):
        items = list(zip(train_ids[:n], labels[:n]))
        scratch = R.new_field(len(vocabulary), len(split.classes), 0)
        out[f"train_batch_{n}_us"] = 1e6 * best_of(lambda: [scratch.train_batch(items, 1, 0) for _ in range(20)], 3) / 20

        def stream():
            for _ in range(20):
                for x, y in items:
                    scratch.train_stream(x, y, 1, 0)
        out[f"train_stream_{n}_us"] = 1e6 * best_of(stream, 3) / 20
    return out


# ---------------------------------------------------------------------------------------------
# Report


def machine() -> dict:
    info = {"nproc": os.cpu_count(), "cpu": "unknown", "ram_gib": None, "kernel": platform.release()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            info["ram_gib"] = round(int(f.readline().split()[1]) / 2**20, 1)
    except OSError:
        pass
    try:
        info["nproc"] = len(os.sched_getaffinity(0))
    except AttributeError:
        pass
    return info


def fmt_rate(x):
    if x is None:
        return "–"
    return f"{x / 1e6:,.2f} M" if x >= 1e6 else f"{x / 1e3:,.1f} k" if x >= 1e3 else f"{x:,.0f}"


def fmt_mb(b):
    return "–" if b is None else f"{b / 1e6:,.1f}"


def ratio(a, b):
    return a / b if a and b else None


def goal_rows(results: list[dict], ombrel_system: str = "ombrel") -> list[tuple]:
    by = {(r["dataset"], r["system"]): r for r in results if r.get("status") == "ok"}
    rows = []
    for ds in sorted({r["dataset"] for r in results}, key=DATASETS.index):
        o = by.get((ds, ombrel_system)) or by.get((ds, "ombrel"))
        ft = by.get((ds, "fasttext"))
        ft25 = by.get((ds, "fasttext-25ep"))
        sk = [by[(ds, s)] for s in SKLEARN_SYSTEMS if (ds, s) in by]
        if not o:
            continue
        best_sk = max(sk, key=lambda r: r["batch_texts_per_s"]) if sk else None
        rows.append((ds, "batched throughput / best scikit-learn pipeline (goal >= 10x)",
                     ratio(o["batch_texts_per_s"], best_sk and best_sk["batch_texts_per_s"]), 10,
                     best_sk and best_sk["system"]))
        rows.append((ds, "batched throughput / fastText (goal >= 3x)",
                     ratio(o["batch_texts_per_s"], ft and ft["batch_texts_per_s"]), 3, "fasttext"))
        rows.append((ds, "single-text latency: fastText predict / ombrel (goal >= 3x)",
                     ratio(ft and ft["single_us_per_text"], o["single_us_per_text"]), 3, "fasttext"))
        rows.append((ds, "training time: fastText default / ombrel (goal >= 3x)",
                     ratio(ft and ft["train_s"], o["train_s"]), 3, "fasttext"))
        rows.append((ds, "training time: fastText 25 epochs / ombrel",
                     ratio(ft25 and ft25["train_s"], o["train_s"]), None, "fasttext-25ep"))
        if ft:
            gap = 100 * (o["accuracy"] - ft["accuracy"])
            goal = -3 if ds in ("20newsgroups", "lang_id_tatoeba") else None
            rows.append((ds, "accuracy minus fastText default, points" +
                         (" (goal >= -3)" if goal is not None else ""), gap, goal, "fasttext"))
    return rows


SKLEARN_SYSTEMS = [name for name, (family, _) in SYSTEMS.items() if family == "scikit-learn"]
PEERS = [name for name, (family, _) in SYSTEMS.items() if family != "ombrel"]


def learn_goal_rows(results: list[dict]) -> list[tuple]:
    """ombrel_learn's goals, each measured against peers of the same run: rows of (dataset, measure,
    value shown, goal shown, met) where met is "yes", "bar only", "no" or "–" (no goal here, or a
    system it needs did not run)."""
    by = {(r["dataset"], r["system"]): r for r in results if r.get("status") == "ok"}
    rows = []

    def missing(*names):
        return "– (" + ", ".join(names) + " not run)"

    for ds in sorted({r["dataset"] for r in results}, key=DATASETS.index):
        o = by.get((ds, "ombrel_learn"))
        tuned = by.get((ds, "ombrel_learn-autotune30"))
        svc = by.get((ds, "sklearn-tfidf-svc"))
        ft = by.get((ds, "fasttext"))
        peers = [by[(ds, s)] for s in PEERS if (ds, s) in by]
        sk = [by[(ds, s)] for s in SKLEARN_SYSTEMS if (ds, s) in by]
        if not o and not tuned:
            continue

        def points(ours, ours_name, peer, peer_name, measure, goal, bar=None, goal_text=None):
            if not ours or not peer:
                rows.append((ds, measure, missing(*[n for n, r in ((ours_name, ours), (peer_name, peer)) if not r]),
                             goal_text or "–", "–"))
                return
            gap = 100 * (ours["accuracy"] - peer["accuracy"])
            shown = (f"{gap:+.2f} ({100 * ours['accuracy']:.2f}% against "
                     f"{peer['system']} {100 * peer['accuracy']:.2f}%)")
            if goal is None:
                rows.append((ds, measure, shown, goal_text or "–", "–"))
                return
            # Rounded as shown, so that a gap printed as -0.50 meets a goal of -0.5.
            gap = round(gap, 2)
            met = "yes" if gap >= goal else "bar only" if bar is not None and gap >= bar else "no"
            rows.append((ds, measure, shown, goal_text, met))

        best_peer = max(peers, key=lambda r: r["accuracy"]) if peers else None
        points(o, "ombrel_learn", best_peer, "a peer", "accuracy: defaults minus the best peer, points",
               -0.5, goal_text=">= -0.5")
        if ds in ("20newsgroups", "ag_news"):
            points(o, "ombrel_learn", svc, "sklearn-tfidf-svc",
                   "accuracy: defaults minus TF-IDF + LinearSVC, points", -0.5, bar=-1,
                   goal_text=">= -0.5 (bar -1)")
        else:
            points(o, "ombrel_learn", svc, "sklearn-tfidf-svc",
                   "accuracy: defaults minus TF-IDF + LinearSVC, points", None,
                   goal_text="none here (20newsgroups and ag_news only)")
        points(tuned, "ombrel_learn-autotune30", svc, "sklearn-tfidf-svc",
               "accuracy: autotune30 minus TF-IDF + LinearSVC, points", 0, goal_text=">= 0")

        def ratio_row(measure, top, top_name, bottom, bottom_name, key, goal, higher_is_better, unit,
                      goal_text):
            a, b = top and top.get(key), bottom and bottom.get(key)
            if not top or not bottom:
                names = [n for n, r in ((top_name, top), (bottom_name, bottom)) if not r]
                rows.append((ds, measure, missing(*names), goal_text, "–"))
                return
            if not a or not b:  # a record from before this measure existed
                rows.append((ds, measure, "– (not measured)", goal_text, "–"))
                return
            value = a / b
            ok = value >= goal if higher_is_better else value <= goal
            rows.append((ds, measure, unit(value), goal_text, "yes" if ok else "no"))

        def times(v):
            return f"{v:.2f}x"

        def share(v):
            return f"{v:.2f} of fastText's"

        best_sk = max(sk, key=lambda r: r["batch_texts_per_s"]) if sk else None
        ratio_row("batched prediction: ombrel_learn / fastText", o, "ombrel_learn", ft, "fasttext",
                  "batch_texts_per_s", 5, True, times, ">= 5x")
        ratio_row("batched prediction: ombrel_learn / fastest scikit-learn pipeline"
                  + (f" ({best_sk['system']})" if best_sk else ""), o, "ombrel_learn", best_sk,
                  "a scikit-learn pipeline", "batch_texts_per_s", 15, True, times, ">= 15x")
        # fastText's time over ours, so that higher is better as for prediction.
        ratio_row("training with defaults: fastText default's time / ombrel_learn's", ft, "fasttext",
                  o, "ombrel_learn", "train_s", 3, True, times, ">= 3x")
        ratio_row("one text per call: ombrel_learn's time / fastText's", o, "ombrel_learn", ft, "fasttext",
                  "single_us_per_text", 1 / 3, False, share, "<= 1/3 of fastText's")
        ratio_row("peak memory while fitting (whole process): ombrel_learn / fastText", o, "ombrel_learn",
                  ft, "fasttext", "fit_peak_rss_bytes", 1, False, share, "<= fastText's")
    return rows


def print_summary(results: list[dict]) -> None:
    rows = learn_goal_rows(results)
    if not rows:
        return
    print("\nombrel_learn against the peers of this run (accuracy: the first round's; times: the best round's)")
    dataset = None
    for ds, measure, value, goal, met in rows:
        if ds != dataset:
            dataset = ds
            print(f"{ds}:")
        verdict = "" if met == "–" else f", met: {met}"
        print(f"  {measure}: {value}   [goal {goal}{verdict}]")


def write_report(results, info, vers, elapsed, args, overheads=None):
    lines = []
    add = lines.append
    add("# ombrel against peer text classifiers")
    add("")
    add("Generated by `bench/run_peers.sh` (which runs `bench/bench_peers.py`) on "
        f"{datetime.date.today().isoformat()}; the whole run ({args.rounds} rounds) took {elapsed / 60:.1f} minutes. "
        "Every figure on this page comes from that one run; regenerate it rather than editing it. "
        "Raw numbers: `bench/peers_results.json`; chart: `bench/peers_accuracy_throughput.png`.")
    add("")
    add("## Machine and versions")
    add("")
    add(f"- CPU: {info['cpu']}, {info['nproc']} logical processors available; RAM {info['ram_gib']} GiB; "
        f"Linux {info['kernel']}. The machine is shared with other work, so timings are noisy: "
        "compare the ratios within this run. Load average (1, 5, 15 min) at the start: "
        + ", ".join(f"{x:.1f}" for x in info["load"][0]) + "; at the end: "
        + ", ".join(f"{x:.1f}" for x in info["load"][1]) + ". The column `load` gives the highest "
        "1-minute load average seen right after that system's runs; above 2 other work shared the "
        "two cores.")
    add("- Versions: " + ", ".join(f"{k} {v}" for k, v in vers.items()) + ".")
    add(f"- Threads: ombrel's pool RAYON_NUM_THREADS={THREADS}; fastText thread={THREADS}; "
        f"scikit-learn n_jobs={THREADS} (one-vs-rest over classes; MultinomialNB and LinearSVC, which has "
        "no n_jobs, are single-threaded); "
        "Vowpal Wabbit single-threaded.")
    status = os.environ.get("BENCH_INSTALL_STATUS")
    if status and os.path.exists(status):
        with open(status) as f:
            for line in f:
                if line.strip():
                    add(f"- Peer installation: {line.strip()}.")
    add("")
    add("## Method")
    add("")
    add("- Data: `../shared/data` (see its README). 20 Newsgroups, SMS spam and Tatoeba language "
        "identification use their train/test files; AG News has only its 7,600-row test file, split "
        "80/20 by row index (row i is a test row when i % 5 == 4). The training rows are shuffled "
        "once (seed 0) for every system: the files are sorted by label, and fastText trained on the "
        "sorted file reaches 11% on 20 Newsgroups.")
    add("- Each system runs in a fresh process per dataset, from raw text: training time covers "
        "everything from the raw training texts to a trained model (ombrel: tokenize, vocabulary, "
        "training passes; `ombrel_learn-autotune30`: the whole search and its final fit; "
        "scikit-learn: vectorizer fit + classifier fit; fastText: writing its "
        "input file + `train_supervised`; Vowpal Wabbit: formatting + `learn` per row).")
    add(f"- Every (system, dataset) pair runs {args.rounds} times, in rounds over all pairs; each "
        "timing is the best of its rounds; accuracy, sizes and memory are those of the first round "
        "(where the rounds' accuracies differ, their range follows in brackets: ombrel's and "
        "fastText's training run on two threads and depend on timing; ombrel's `train_batch` skips a "
        "token whose neuron another worker is training at that moment).")
    add("- Batched prediction: all test texts in one call (ombrel: tokenize each text, map to ids, "
        "one `predict_batch`; scikit-learn: `pipeline.predict(texts)`; fastText: `model.predict(list)`; "
        "Vowpal Wabbit's Python module has no batch call, so its batched figure is the per-text "
        "loop). Best of up to three repeats while one repeat stays under 1.5 s.")
    add(f"- Single calls: one call per text over an evenly spread sample of at most {args.single_limit} "
        f"test texts (fewer when the loop passes {SINGLE_BUDGET_S:.0f} s; column `n`) (ombrel: tokenize, ids, `reset_potentials`, `predict`; scikit-learn: "
        "`pipeline.predict([text])`; fastText: `model.predict(text)`; Vowpal Wabbit: "
        "`Workspace.predict`). The column `agree` is the share of single-call answers equal to the "
        "batched ones.")
    add("- Tokens/s counts the blank-separated words of the raw texts, the same count for every "
        "system.")
    add("- Model size: ombrel's weight file plus its vocabulary (JSON); fastText's `save_model` "
        "file; the pickled scikit-learn pipeline; Vowpal Wabbit's saved model.")
    add("- Memory: `peak RSS` is the child process's `ru_maxrss` (the whole process: interpreter, "
        "libraries, data and model); `growth` is that peak minus the resident size measured after "
        "the data was loaded and before training, i.e. what training and prediction added.")
    add("- The cyclic garbage collector is paused in every child after loading (the data holds no "
        "reference cycles); this speeds up all the Python-side pipelines alike.")
    add("")
    add("Exact settings per system:")
    add("")
    for name, (family, desc) in SYSTEMS.items():
        if name in args.systems:
            add(f"- `{name}` ({family}): {desc}.")
    add("")
    add("## Results")
    for ds in args.datasets:
        rows = [r for r in results if r["dataset"] == ds]
        if not rows:
            continue
        r0 = rows[0]
        add("")
        add(f"### {ds} ({r0['train_rows']:,} train / {r0['test_rows']:,} test texts, {r0['classes']} classes)")
        add("")
        add("| system | accuracy | train s | batched texts/s | batched tokens/s | single texts/s | "
            "single µs/text | n | agree | model MB | peak RSS MB | growth MB | load |")
        add("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for r in rows:
            name = r["system"] + (f" ({r['features']})" if r.get("features") else "")
            if r.get("status") == "same as ombrel":
                continue
            if r.get("status") != "ok":
                add(f"| {name} | {r.get('status')}: {r.get('error', '')[:120]} | | | | | | | | | | | |")
                continue
            per_round = r.get("accuracy_per_round", [r["accuracy"]])
            spread = (f" ({100 * min(per_round):.2f}–{100 * max(per_round):.2f})"
                      if max(per_round) != min(per_round) else "")
            add(f"| {name} | {100 * r['accuracy']:.2f}%{spread} | {r['train_s']:.2f} | "
                f"{fmt_rate(r['batch_texts_per_s'])} | {fmt_rate(r['batch_words_per_s'])} | "
                f"{fmt_rate(r['single_texts_per_s'])} | {r['single_us_per_text']:,.0f} | "
                f"{r['single_texts']} | {100 * r['single_agrees_with_batch']:.0f}% | {fmt_mb(r['model_bytes'])} | "
                f"{fmt_mb(r['peak_rss_bytes'])} | "
                f"{fmt_mb(r['peak_rss_bytes'] - r['rss_after_loading_bytes'])} | {r['load_average']:.1f} |")
    add("")
    add("## ombrel_learn's goals (measured in this run)")
    add("")
    add("`ombrel_learn` is `OmbrelClassifier()` with its defaults, `autotune30` is "
        "`OmbrelClassifier().autotune(texts, labels, budget=30)`. Accuracy differences are in points, "
        "from the first round; the best peer is the most accurate non-ombrel system of the run on that "
        "dataset. Speed ratios compare the defaults with fastText's defaults (`fasttext`) and with "
        "the fastest scikit-learn pipeline of the run, times from the best round; memory is the "
        "child process's peak resident size right after fitting.")
    add("")
    add("| dataset | measure | value | goal | met? |")
    add("|---|---|---|---|---|")
    for ds, measure, value, goal, met in learn_goal_rows(results):
        add(f"| {ds} | {measure} | {value} | {goal} | {'**no**' if met == 'no' else met} |")
    add("")
    recipe_rows = list(zip(goal_rows(results), goal_rows(results, "ombrel-words")))
    if recipe_rows:
        add("## Goals (ratios from this run)")
        add("")
        add("`ombrel` is the recipe as the demo runs it (character n-grams for short texts); "
            "`ombrel-words` forces word features, where that differs. Where the recipe picks words "
            "anyway the two columns are the same run.")
        add("")
        add("| dataset | measure | ombrel | met? | ombrel-words | met? |")
        add("|---|---|---|---|---|---|")

        def shown(what, value, goal):
            if value is None:
                return "– (peer missing)", "–"
            text = f"{value:+.2f}" if "points" in what else f"{value:.2f}x"
            return text, "–" if goal is None else ("yes" if value >= goal else "**no**")

        for main, words in recipe_rows:
            ds, what, value, goal, _ = main
            a, am = shown(what, value, goal)
            b, bm = shown(what, words[2], goal)
            add(f"| {ds} | {what} | {a} | {am} | {b} | {bm} |")
        add("")
    breakdowns = [r for r in results if r.get("status") == "ok" and r.get("breakdown")]
    if breakdowns:
        add("## Where ombrel's batched prediction time goes")
        add("")
        add("| dataset | features | tokenize (+ n-grams) | vocabulary ids | predict_batch | tokens | "
            "predict_batch per 1,000 ids |")
        add("|---|---|---|---|---|---|---|")
        for r in breakdowns:
            b = r["breakdown"]
            total = b["tokenize_s"] + b["vocabulary_ids_s"] + b["predict_batch_s"] + b["labels_s"]
            add(f"| {r['dataset']} | {r['features']} | {b['tokenize_s'] * 1e3:.0f} ms "
                f"({100 * b['tokenize_s'] / total:.0f}%) | {b['vocabulary_ids_s'] * 1e3:.0f} ms "
                f"({100 * b['vocabulary_ids_s'] / total:.0f}%) | {b['predict_batch_s'] * 1e3:.1f} ms "
                f"({100 * b['predict_batch_s'] / total:.0f}%) | {b['tokens']:,} | "
                f"{1e6 * b['predict_batch_s'] / max(b['token_ids'], 1) * 1000:.1f} µs |")
    if overheads:
        o = overheads
        add("")
        add("## Costs of the module's calls (20 Newsgroups, same run)")
        add("")
        add("| measure | value | baseline in the same run |")
        add("|---|---|---|")
        add(f"| `tokenize` (stop words, stemming, min length 2) over the {o['test_mb']:.1f} MB test set | "
            f"{o['tokenize_mb_s']:.1f} MB/s | `str.lower().split()`: {o['lower_split_mb_s']:.1f} MB/s |")
        add(f"| `tokenize('Hello world')` per call with the {o['stop_words']} stop words | "
            f"{o['tokenize_call_ns_stop']:,.0f} ns | with an empty stop set: {o['tokenize_call_ns_nostop']:,.0f} ns |")
        add(f"| Python vocabulary look-up (`Vocabulary.ids`) per token | {o['ids_ns_per_token']:.0f} ns | – |")
        add(f"| `predict_batch` over the test ids, per id | {o['predict_batch_ns_per_id']:.1f} ns | "
            f"same call on a field without synapses: {o['predict_batch_empty_field_ns_per_id']:.1f} ns; "
            f"`array.array('I', ids)`: {o['array_conversion_ns_per_id']:.1f} ns; `sum(ids)`: "
            f"{o['python_loop_ns_per_id']:.1f} ns |")
        add(f"| `reset_potentials` + `predict` per text | {o['reset_predict_us']:.2f} µs | – |")
        add(f"| `predict_batch` of 2 texts / of 32 texts, per call | {o['predict_batch_2_us']:.1f} µs / "
            f"{o['predict_batch_32_us']:.1f} µs | – |")
        add(f"| `train_batch` of 32 texts / of 1,000 texts, per call | {o['train_batch_32_us']:.0f} µs / "
            f"{o['train_batch_1000_us']:,.0f} µs | `train_stream` over the same items: "
            f"{o['train_stream_32_us']:.0f} µs / {o['train_stream_1000_us']:,.0f} µs |")
    add("")
    notes = os.path.join(HERE, "RESULTS_NOTES.md")
    if os.path.exists(notes):
        with open(notes, encoding="utf-8") as f:
            add(f.read().rstrip())
        add("")
    with open(os.path.join(HERE, "RESULTS.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def write_chart(results, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib missing: no chart", file=sys.stderr)
        return
    from matplotlib.ticker import LogLocator, NullFormatter
    datasets = [d for d in DATASETS if any(r["dataset"] == d for r in results)]
    columns = 2 if len(datasets) > 1 else 1
    rows = (len(datasets) + columns - 1) // columns
    fig, axes = plt.subplots(rows, columns, figsize=(6.4 * columns, 4.6 * rows), squeeze=False)
    families = {"ombrel": "C3", "scikit-learn": "C0", "fastText": "C2", "Vowpal Wabbit": "C4"}
    for index, ds in enumerate(datasets):
        ax = axes[index // columns][index % columns]
        for r in results:
            if r["dataset"] != ds or r.get("status") != "ok":
                continue
            family = SYSTEMS[r["system"]][0]
            ax.scatter(r["batch_texts_per_s"], 100 * r["accuracy"], color=families[family],
                       s=60 if family == "ombrel" else 35, zorder=3)
            label = r["system"] + (f" ({r['features']})" if r.get("features") else "")
            ax.annotate(label, (r["batch_texts_per_s"], 100 * r["accuracy"]), fontsize=8,
                        xytext=(4, 3), textcoords="offset points")
        ax.set_xscale("log")
        ax.xaxis.set_major_locator(LogLocator(base=10))
        ax.xaxis.set_minor_formatter(NullFormatter())
        low, high = ax.get_xlim()
        ax.set_xlim(low / 1.5, high * 2.5)  # room for the labels
        ax.set_title(ds)
        ax.set_xlabel("batched prediction from raw text (texts/s, log scale)")
        ax.set_ylabel("test accuracy (%)")
        ax.grid(alpha=0.3, which="both")
    for index in range(len(datasets), rows * columns):
        axes[index // columns][index % columns].set_visible(False)
    fig.suptitle("Accuracy against batched prediction throughput (one run, 2 threads; "
                 "up and to the right is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def best_of_rounds(runs: list[dict]) -> dict:
    """The first round's record, with each timing replaced by its best over the rounds (the
    machine is shared: a slower round measured someone else's work too)."""
    ok = [r for r in runs if r.get("status") == "ok"]
    if not ok:
        return runs[0]
    out = dict(ok[0])
    out["rounds"] = len(ok)
    for key in ("train_s", "batch_s", "single_us_per_text"):
        out[key] = min(r[key] for r in ok)
    for key in ("batch_texts_per_s", "batch_words_per_s", "single_texts_per_s", "single_words_per_s"):
        out[key] = max(r[key] for r in ok)
    out["accuracy_per_round"] = [r["accuracy"] for r in ok]
    out["load_average"] = max(r["load_average"] for r in ok)
    if "breakdown" in out:
        out["breakdown"] = min((r["breakdown"] for r in ok), key=lambda b: sum(
            v for k, v in b.items() if k.endswith("_s")))
    return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", default=os.environ.get("OMBREL_DATA", DEFAULT_DATA),
                   help="directory holding the dataset directories (default ../shared/data)")
    p.add_argument("--datasets", default=",".join(DATASETS))
    p.add_argument("--systems", default=",".join(SYSTEMS))
    p.add_argument("--single-limit", type=int, default=1000,
                   help="texts predicted one call at a time per dataset")
    p.add_argument("--rounds", type=int, default=2,
                   help="run every (system, dataset) this many times; timings are the best round")
    p.add_argument("--one", nargs=2, metavar=("SYSTEM", "DATASET"), help=argparse.SUPPRESS)
    p.add_argument("--no-report", action="store_true", help="print results, write no files")
    p.add_argument("--report-only", action="store_true",
                   help="rewrite RESULTS.md and the chart from bench/peers_results.json, run nothing")
    args = p.parse_args(argv)
    args.datasets = args.datasets.split(",")
    args.systems = args.systems.split(",")
    unknown = [s for s in args.systems if s not in SYSTEMS]
    if unknown:
        p.error(f"unknown system(s) {', '.join(unknown)}; known: {', '.join(SYSTEMS)}")

    if args.one:
        if args.one[0] == "overheads":
            print(json.dumps(module_overheads(args.data)))
        else:
            print(json.dumps(run_one(args.one[0], args.one[1], args.data, args.single_limit)))
        return 0

    if args.report_only:
        with open(os.path.join(HERE, "peers_results.json")) as f:
            saved = json.load(f)
        for key, value in saved.get("arguments", {}).items():
            setattr(args, key, value)
        info = saved["machine"]
        info["load"] = saved["load_average_before_after"]
        write_report(saved["results"], info, saved["versions"], saved["elapsed_s"], args,
                     saved.get("module_overheads"))
        write_chart(saved["results"], os.path.join(HERE, "peers_accuracy_throughput.png"))
        print_summary(saved["results"])
        return 0

    missing = [d for d in args.datasets if not os.path.isfile(os.path.join(args.data, d, "test.tsv"))]
    if missing:
        print(f"error: dataset(s) {', '.join(missing)} not found under {args.data}.\n"
              "Put the datasets beside the repository in ../shared/data/<name>/ as train.tsv and "
              "test.tsv (or test.tsv alone, split 80/20), UTF-8, one example per line: "
              "label<TAB>text; or pass --data DIR.", file=sys.stderr)
        return 2
    env = dict(os.environ, RAYON_NUM_THREADS=str(THREADS), OMP_NUM_THREADS=str(THREADS),
               PYTHONHASHSEED="0")
    start = time.perf_counter()
    load_before = os.getloadavg()
    rounds: dict[tuple, list[dict]] = {}
    for round_number in range(1, args.rounds + 1):
        for ds in args.datasets:
            for system in args.systems:
                t = time.perf_counter()
                proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--one", system, ds,
                                       "--data", args.data, "--single-limit", str(args.single_limit)],
                                      capture_output=True, text=True, env=env)
                if proc.returncode != 0:
                    r = {"system": system, "dataset": ds, "status": "failed",
                         "error": (proc.stderr.strip().splitlines() or ["?"])[-1]}
                else:
                    r = json.loads(proc.stdout.strip().splitlines()[-1])
                r["load_average"] = os.getloadavg()[0]
                rounds.setdefault((ds, system), []).append(r)
                if r.get("status") == "ok":
                    print(f"[{round_number}] {ds:<16} {system:<23} acc {100 * r['accuracy']:6.2f}%  "
                          f"train {r['train_s']:7.2f} s  batch {r['batch_texts_per_s']:>11,.0f} texts/s  "
                          f"single {r['single_us_per_text']:>8,.0f} µs  ({time.perf_counter() - t:.0f} s)",
                          flush=True)
                else:
                    print(f"[{round_number}] {ds:<16} {system:<23} {r['status']}: {r.get('error', '')}", flush=True)
    results = [best_of_rounds(runs) for runs in rounds.values()]
    load_after = os.getloadavg()
    overheads = None
    if "ombrel" in args.systems and "20newsgroups" in args.datasets:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--one", "overheads",
                               "20newsgroups", "--data", args.data], capture_output=True, text=True, env=env)
        if proc.returncode == 0:
            overheads = json.loads(proc.stdout.strip().splitlines()[-1])
            print("module overheads measured on 20newsgroups", flush=True)
        else:
            print("module overheads failed: " + (proc.stderr.strip().splitlines() or ["?"])[-1])
    elapsed = time.perf_counter() - start
    print_summary(results)
    if args.no_report:
        return 0
    info, vers = machine(), versions()
    with open(os.path.join(HERE, "peers_results.json"), "w") as f:
        json.dump({"machine": info, "versions": vers, "elapsed_s": elapsed, "results": results,
                   "load_average_before_after": [load_before, load_after],
                   "arguments": {"rounds": args.rounds, "datasets": args.datasets,
                                 "systems": args.systems, "single_limit": args.single_limit},
                   "module_overheads": overheads}, f, indent=1)
    info["load"] = (load_before, load_after)
    write_report(results, info, vers, elapsed, args, overheads)
    write_chart(results, os.path.join(HERE, "peers_accuracy_throughput.png"))
    print(f"\nwrote bench/RESULTS.md, bench/peers_results.json, bench/peers_accuracy_throughput.png "
          f"({elapsed / 60:.1f} min)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
