"""The float learners of ombrel_learn.learning.linear against scikit-learn, on the same token ids, in one run.

    python bench/bench_learners.py [--data ../shared/data] [--datasets 20newsgroups,ag_news]

For every dataset and feature kind, the texts become token ids once (ombrel_learn's pipeline:
FeatureSpec, build_vocabulary with min_df 2 and no class-spread pruning, transform), and every
learner fits those ids: ours natively, scikit-learn's on the same ids as a sparse 0/1 matrix. Each
row reports the fit time (the learner alone, features already made), the accuracy of the float model,
the accuracy after the 8-per-token cut (floats, before rounding), the accuracy of the compiled
field (OmbrelField.load_weights of the compiled weight file, predict_batch with the bias neurons),
and that of the field compiled after refit_cut (2 passes in the field's form, timed apart),
and our fit time over scikit-learn's for the same learner, both measured here. The field's own
margin training (OmbrelClassifier with the same feature kind, its own pruned vocabulary) is the
reference row. A second table compares the three ways of choosing a token's 8 classes where there
are more than 8. Two threads: our SGD divides its classes over the pool (RAYON_NUM_THREADS=2) and
scikit-learn's SGDClassifier its one-against-the-rest problems (n_jobs=2); naive Bayes and the
perceptron are sequential in both. Fit times are the best of up to 3 fits (fewer when one fit takes
over a second), for ours and scikit-learn's alike.

AG News has only a test file: every 5th row (index % 5 == 4) is the test set, the rest train.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

from bench_learn import read_split  # beside this file: the same splits as the peer benchmark

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "data")
DATASETS = {  # feature kinds measured on each
    "20newsgroups": ("words",),
    "ag_news": ("words",),
    "sms_spam": ("words", "chars"),
    "lang_id_tatoeba": ("words", "chars"),
}
EPOCHS = 5
ALPHA_SGD = 1e-4


def spec_for(kind: str, log_tf: bool = False):
    from ombrel_learn import ENGLISH_STOP_WORDS, _native
    if kind == "words":
        return _native.FeatureSpec(ENGLISH_STOP_WORDS, True, 2, log_tf=log_tf)
    return _native.FeatureSpec(None, False, 1, True, 1, 4, log_tf=log_tf)


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - start


def best_of(fn, runs: int = 3, enough: float = 1.0):
    """fn()'s result and its best time over up to `runs` calls, stopping once `enough` seconds are spent."""
    out, best = timed(fn)
    spent = best
    for _ in range(runs - 1):
        if spent > enough:
            break
        out, t = timed(fn)
        best = min(best, t)
        spent += t
    return out, best


def sparse_matrix(batch, feature_count: int):
    import scipy.sparse as sp
    tokens = np.frombuffer(memoryview(batch), dtype=np.uint32)
    offsets = np.frombuffer(batch.offsets, dtype=np.uint64).astype(np.int64)
    keep = tokens < feature_count
    if not keep.all():  # not with these batches; kept for ids beyond the vocabulary
        raise ValueError("ids beyond the vocabulary")
    data = np.ones(len(tokens), dtype=np.float64)
    matrix = sp.csr_matrix((data, tokens.astype(np.int32), offsets), shape=(len(offsets) - 1, feature_count))
    matrix.sum_duplicates()  # a counted token's repeats (sublinear tf): one value, its count
    return matrix


def field_accuracy(model, test, y_test, tmp: str, choice: str = "spread") -> tuple[float, object]:
    """Accuracy of the compiled model in a field that maps its weight file (a new file each time: a
    file mapped by an earlier field is never rewritten under it)."""
    from ombrel_learn.learning import linear
    compiled = linear.compile_to_field(model, choice=choice)
    fd, path = tempfile.mkstemp(suffix=".bin", dir=tmp)
    os.close(fd)
    field = compiled.field(path)
    predicted = np.asarray(field.predict_batch(compiled.streams(test)))
    return float(np.mean(predicted == y_test)), compiled


def run_dataset(data_root: str, name: str, kind: str, tmp: str, rows: list, cut_rows: list) -> None:
    from sklearn.linear_model import SGDClassifier
    from sklearn.naive_bayes import MultinomialNB

    from ombrel_learn import OmbrelClassifier, _native
    from ombrel_learn.learning import linear

    train_x, train_y, test_x, test_y = read_split(data_root, name)
    classes, y_train = np.unique(train_y, return_inverse=True)
    index = {c: i for i, c in enumerate(classes)}
    y_test = np.array([index.get(c, -1) for c in test_y])
    k = len(classes)
    spec = spec_for(kind)
    (vocabulary, train, _), t_vocab = timed(lambda: _native.build_vocabulary(
        spec, train_x, y_train.tolist(), k, 2, 0.0, 8, False))
    test = _native.transform(spec, vocabulary, 0, test_x)
    features = len(vocabulary)
    x_train = sparse_matrix(train, features)
    x_test = sparse_matrix(test, features)
    label = f"{name} ({kind}, {features} features, {k} classes)"
    print(f"\n{label}: {len(train_x)} train / {len(test_x)} test texts, ids in {t_vocab:.2f} s", flush=True)

    ours = {
        "naive Bayes": lambda: linear.fit_naive_bayes(train, y_train, features, k),
        "naive Bayes alpha 0.1": lambda: linear.fit_naive_bayes(train, y_train, features, k, alpha=0.1),
        "averaged perceptron": lambda: linear.fit_perceptron(train, y_train, features, k, epochs=EPOCHS),
        "SGD hinge": lambda: linear.fit_sgd(train, y_train, features, k, loss="hinge", alpha=ALPHA_SGD, epochs=EPOCHS),
        "SGD log_loss": lambda: linear.fit_sgd(train, y_train, features, k, loss="log_loss", alpha=ALPHA_SGD,
                                               epochs=EPOCHS),
        "SGD modified_huber": lambda: linear.fit_sgd(train, y_train, features, k, loss="modified_huber",
                                                     alpha=ALPHA_SGD, epochs=EPOCHS),
    }
    peers = {
        "naive Bayes": lambda: MultinomialNB(alpha=1.0),
        "naive Bayes alpha 0.1": lambda: MultinomialNB(alpha=0.1),
        "averaged perceptron": lambda: SGDClassifier(loss="perceptron", penalty=None, learning_rate="constant",
                                                     eta0=1.0, max_iter=EPOCHS, tol=None, average=True,
                                                     random_state=0),
        "SGD hinge": lambda: SGDClassifier(loss="hinge", alpha=ALPHA_SGD, max_iter=EPOCHS, tol=None, random_state=0,
                                        n_jobs=2),
        "SGD log_loss": lambda: SGDClassifier(loss="log_loss", alpha=ALPHA_SGD, max_iter=EPOCHS, tol=None,
                                              random_state=0, n_jobs=2),
        "SGD modified_huber": lambda: SGDClassifier(loss="modified_huber", alpha=ALPHA_SGD, max_iter=EPOCHS,
                                                    tol=None, random_state=0, n_jobs=2),
    }
    # TF-IDF rows (the estimator's default weighting for SGD and the perceptron): ours fold the idf
    # and the row norm into weights of presence; scikit-learn's fit the same rows as a matrix.
    from sklearn.preprocessing import normalize

    from ombrel_learn.learning import learners
    from ombrel_learn.learning.settings import Settings

    idf, _ = learners.idf_weights(train, features)
    x_train_tfidf = normalize(x_train.multiply(idf).tocsr())
    x_test_tfidf = normalize(x_test.multiply(idf).tocsr())
    weighted = Settings(**{**OmbrelClassifier().get_params(), "epochs": EPOCHS, "weighting": "tfidf"})
    for loss in ("hinge", "log_loss"):
        settings = Settings(**{**weighted.__dict__, "loss": loss})
        name = f"SGD {loss} tfidf"
        ours[name] = (lambda s=settings: learners.fit_float(s, "sgd", ALPHA_SGD, train, y_train, features, k))
        peers[name] = (lambda loss=loss: SGDClassifier(loss=loss, alpha=ALPHA_SGD, max_iter=EPOCHS, tol=None,
                                                       random_state=0, n_jobs=2))
    ours["averaged perceptron tfidf"] = lambda: learners.fit_float(weighted, "perceptron", None, train, y_train,
                                                                   features, k)
    peers["averaged perceptron tfidf"] = peers["averaged perceptron"]
    # Sublinear tf: the same vocabulary, each token presented round(1 + ln count) times; scikit-learn's
    # rows hold that count times the idf, normalized.
    counted = spec_for(kind, log_tf=True)
    train_counted = _native.transform(counted, vocabulary, 0, train_x)
    test_counted = _native.transform(counted, vocabulary, 0, test_x)
    sublinear = Settings(**{**weighted.__dict__, "weighting": "sublinear"})
    ours["SGD hinge sublinear"] = lambda: learners.fit_float(sublinear, "sgd", ALPHA_SGD, train_counted, y_train,
                                                             features, k)
    peers["SGD hinge sublinear"] = peers["SGD hinge tfidf"]
    rows_of = {"tfidf": (train, test, x_train_tfidf, x_test_tfidf),
               "sublinear": (train_counted, test_counted,
                             normalize(sparse_matrix(train_counted, features).multiply(idf).tocsr()),
                             normalize(sparse_matrix(test_counted, features).multiply(idf).tocsr()))}
    for learner, fit in ours.items():
        model, t_ours = best_of(fit)
        fit_ids, test_ids, peer_train, peer_test = rows_of.get(learner.split()[-1], (train, test, x_train, x_test))
        float_acc = float(np.mean(model.predict(test_ids) == y_test))
        cut_acc = float(np.mean(linear.cut_to_slots(model).predict(test_ids) == y_test))
        field_acc, compiled = field_accuracy(model, test_ids, y_test, tmp)
        tuned, t_refit = timed(lambda: linear.refit_cut(model, fit_ids, y_train))
        refit_acc, _ = field_accuracy(tuned, test_ids, y_test, tmp)
        peer, t_peer = best_of(lambda: peers[learner]().fit(peer_train, y_train))
        peer_acc = float(np.mean(peer.predict(peer_test) == y_test))
        rows.append((label, learner, t_ours, float_acc, cut_acc, field_acc, refit_acc, t_refit, t_peer, peer_acc))
        print(f"  {learner:<21} fit {t_ours:7.3f} s  float {float_acc:.4f}  cut {cut_acc:.4f}  "
              f"field {field_acc:.4f}  refit {refit_acc:.4f} ({t_refit:.3f} s)  | "
              f"scikit-learn fit {t_peer:7.3f} s  {peer_acc:.4f}  "
              f"(fit time ratio {t_peer / max(t_ours, 1e-9):.1f}x)", flush=True)
        if k > 8 and learner in ("naive Bayes", "SGD hinge", "SGD modified_huber"):
            for choice in linear.SLOT_CHOICES:
                cut = linear.cut_to_slots(model, choice=choice)
                acc = float(np.mean(cut.predict(test) == y_test))
                facc, _ = field_accuracy(model, test, y_test, tmp, choice)
                cut_rows.append((label, learner, choice, float_acc, acc, facc))

    recipe = OmbrelClassifier(features=kind)
    _, t_recipe = timed(lambda: recipe.fit(train_x, train_y))
    rows.append((label, "field's own training", t_recipe, None, None, recipe.score(test_x, test_y), None, None, None,
                 None))
    print(f"  {'field own training':<20} fit {t_recipe:7.3f} s (from raw text)  field "
          f"{rows[-1][5]:.4f}", flush=True)


def print_tables(rows: list, cut_rows: list) -> None:
    def pct(v):
        return "" if v is None else f"{100 * v:.1f}%"
    print("\n| dataset | learner | fit s | float | after 8-per-token cut | compiled field | field after refit "
          "(refit s) | scikit-learn fit s | scikit-learn | fit time, scikit-learn / ours |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for label, learner, t, f, c, fa, ra, tr, tp, pa in rows:
        ratio = "" if tp is None else f"{tp / max(t, 1e-9):.1f}x"
        refit = "" if ra is None else f"{pct(ra)} ({tr:.3f})"
        print(f"| {label} | {learner} | {t:.3f} | {pct(f)} | {pct(c)} | {pct(fa)} | {refit} | "
              f"{'' if tp is None else f'{tp:.3f}'} | {pct(pa)} | {ratio} |")
    if cut_rows:
        print("\nChoosing a token's 8 classes (more than 8 classes):")
        print("| dataset | learner | choice | float | after the cut | compiled field |")
        print("|---|---|---|---|---|---|")
        for label, learner, choice, f, c, fa in cut_rows:
            print(f"| {label} | {learner} | {choice} | {pct(f)} | {pct(c)} | {pct(fa)} |")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", default=os.environ.get("OMBREL_DATA", DEFAULT_DATA))
    p.add_argument("--datasets", default=",".join(DATASETS))
    p.add_argument("--kinds", default=None, help="feature kinds to run (default: those listed per dataset)")
    args = p.parse_args()
    os.environ.setdefault("RAYON_NUM_THREADS", "2")
    rows: list = []
    cut_rows: list = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.datasets.split(","):
            if not os.path.isdir(os.path.join(args.data, name)):
                print(f"{name}: not found under {args.data}, skipped", file=sys.stderr)
                continue
            kinds = args.kinds.split(",") if args.kinds else DATASETS.get(name, ("words",))
            for kind in kinds:
                run_dataset(args.data, name, kind, tmp, rows, cut_rows)
    print_tables(rows, cut_rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
