"""Trains an ombrel text classifier on a labelled corpus and evaluates it, end to end.

    python examples/classify.py                       # 20 Newsgroups from ../shared/data
    python examples/classify.py --data DIR            # DIR/train.tsv + DIR/test.tsv (or test.tsv only)
    python examples/classify.py --train A.tsv --test B.tsv
    python examples/classify.py --data ../shared/data/lang_id_tatoeba --features chars --plot out.png

Phases: read the files, turn texts into tokens (`ombrel.tokenize`), build the vocabulary, train
with `train_batch` (margin-driven, see recipe.py), evaluate with `predict_batch`, save the weights,
then map them into a fresh field in a second process with `load_weights` and check that it predicts
exactly the same classes.
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import os
import sys
import tempfile
import time
from typing import Sequence

import ombrel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import recipe  # noqa: E402  (beside this file)

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_DATA = os.path.join(os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(REPO_ROOT), "shared", "data")),
                            "20newsgroups")


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    defaults = recipe.Recipe()
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    src = p.add_argument_group("data (label<TAB>text files)")
    src.add_argument("--data", default=DEFAULT_DATA,
                     help="directory with train.tsv and test.tsv (or test.tsv alone, split 80/20); "
                          "default: 20newsgroups in the datasets folder $OMBREL_DATA")
    src.add_argument("--train", help="training file (instead of --data)")
    src.add_argument("--test", help="test file (instead of --data)")
    rec = p.add_argument_group("recipe")
    rec.add_argument("--features", choices=["auto"] + sorted(recipe.FEATURE_SETS), default="auto",
                     help="words: stop words + stemming; chars: words + character 1-4-grams "
                          "(short texts, languages written without spaces); auto: chars when the "
                          f"median training text has under {recipe.SHORT_TEXT_WORDS} words")
    rec.add_argument("--epochs", type=int, default=defaults.epochs, help="training passes")
    rec.add_argument("--amplify", type=int, default=defaults.amplify)
    rec.add_argument("--suppress", type=int, default=defaults.suppress)
    rec.add_argument("--margin", type=int, default=defaults.margin,
                     help="train examples whose class does not win by this much (0: mistakes only)")
    rec.add_argument("--chunk", type=int, default=defaults.chunk,
                     help="examples predicted before their failures are trained")
    rec.add_argument("--min-df", type=int, default=defaults.min_df,
                     help="keep tokens seen in at least this many training documents")
    rec.add_argument("--coverage", type=float, default=defaults.coverage,
                     help="keep tokens whose 8 most frequent classes hold this share of their documents")
    rec.add_argument("--seed", type=int, default=defaults.seed, help="shuffle seed")
    out = p.add_argument_group("output")
    out.add_argument("--out", help="directory for weights.bin and vocabulary.json (default: a "
                                   "temporary directory, removed at the end)")
    out.add_argument("--plot", metavar="PNG", help="write accuracy per pass and the confusion "
                                                   "matrix to this PNG (needs matplotlib)")
    out.add_argument("--no-check", action="store_true",
                     help="skip the reload check in a second process")
    return p.parse_args(argv)


def phase(title: str) -> None:
    print(f"\n== {title}", flush=True)


def rate(n: float, seconds: float) -> str:
    return f"{n / seconds:,.0f}" if seconds > 0 else "inf"


def print_report(class_names: list[str], truth: list[int], predicted: list[int]) -> list[list[int]]:
    k = len(class_names)
    confusion = [[0] * k for _ in range(k)]
    unknown = 0
    for t, p in zip(truth, predicted):
        if t < 0:
            unknown += 1
        else:
            confusion[t][p] += 1
    width = max(len(c) for c in class_names)
    print(f"  {'class':<{width}}  precision  recall     f1  support")
    for c in range(k):
        tp = confusion[c][c]
        predicted_c = sum(confusion[r][c] for r in range(k))
        support = sum(confusion[c])
        precision = tp / predicted_c if predicted_c else 0.0
        recall = tp / support if support else 0.0
        f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
        print(f"  {class_names[c]:<{width}}  {precision:9.3f}  {recall:6.3f}  {f1:5.3f}  {support:7d}")
    if unknown:
        print(f"  ({unknown} test rows carry labels absent from the training set; counted as errors)")
    print("\n  confusion matrix (rows: true class, columns: predicted class, by number)")
    cell = max(3, len(str(max(max(r) for r in confusion))) + 1)
    print("  " + " " * (width + 5) + "".join(f"{c:>{cell}}" for c in range(k)))
    for c in range(k):
        print(f"  {class_names[c]:<{width}} {c:>3}:" + "".join(f"{v:>{cell}}" for v in confusion[c]))
    return confusion


def reload_and_predict(data: str | None, train: str | None, test: str | None, features: str,
                       weights_path: str, vocabulary_path: str, sensory_count: int,
                       motor_count: int, single_checks: int
                       ) -> tuple[list[int], list[int], float, int]:
    """Runs in a fresh process: from the saved files and the raw test texts to predictions."""
    start = time.perf_counter()
    split = recipe.load_split(data, train, test)
    vocabulary = recipe.Vocabulary.load(vocabulary_path)
    field = ombrel.OmbrelField(sensory_count, motor_count)
    field.load_weights(weights_path)
    featurize = recipe.FEATURE_SETS[features]
    ids = [vocabulary.ids(featurize(t)) for t in split.test_texts]
    batch = field.predict_batch(ids)
    single: list[int] = []
    for x in ids[:single_checks]:  # the one-call path must agree with the batch path
        field.reset_potentials()
        single.append(field.predict(x))
    return batch, single, time.perf_counter() - start, os.getpid()


def plot(path: str, name: str, history: list[tuple[int, int, float]], class_names: list[str],
         confusion: list[list[int]]) -> None:
    # Optional dependency: the ignores hold whether or not matplotlib is installed.
    import matplotlib  # type: ignore[import-not-found, unused-ignore]
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]

    fig, (a1, a2) = plt.subplots(1, 2, figsize=(14, 6), gridspec_kw={"width_ratios": [1, 1.3]})
    passes = [h[0] + 1 for h in history]
    a1.plot(passes, [100 * h[2] for h in history], marker="o", label="test accuracy")
    a1.set_xlabel("training pass")
    a1.set_ylabel("test accuracy (%)")
    a1.set_xticks(passes)
    a1.grid(alpha=0.3)
    twin = a1.twinx()
    twin.bar(passes, [h[1] for h in history], alpha=0.25, color="gray", label="examples trained")
    twin.set_ylabel("examples trained in the pass (failed the margin)")
    a1.set_zorder(twin.get_zorder() + 1)  # the accuracy line above the bars
    a1.patch.set_visible(False)
    a1.set_title(f"{name}: accuracy per pass")
    rows = [[v / max(sum(r), 1) for v in r] for r in confusion]
    im = a2.imshow(rows, cmap="Blues", vmin=0, vmax=1)
    a2.set_xticks(range(len(class_names)))
    a2.set_yticks(range(len(class_names)))
    small = 6 if len(class_names) > 30 else 8
    a2.set_xticklabels(class_names, rotation=90, fontsize=small)
    a2.set_yticklabels(class_names, fontsize=small)
    a2.set_xlabel("predicted")
    a2.set_ylabel("true")
    a2.set_title("confusion matrix (row-normalised)")
    fig.colorbar(im, ax=a2, fraction=0.046)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    rc = recipe.Recipe(args.epochs, args.amplify, args.suppress, args.margin, args.chunk,
                       args.min_df, args.coverage, args.seed)
    # The phases below build millions of small lists and strings that hold no reference cycles;
    # the cyclic collector would rescan them again and again for nothing.
    gc.disable()
    timings: list[tuple[str, float, str]] = []

    phase("Reading the data")
    t = time.perf_counter()
    try:
        split = recipe.load_split(None if (args.train or args.test) else args.data, args.train, args.test)
    except recipe.DataError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    read_s = time.perf_counter() - t
    classes = split.classes
    class_id = {c: i for i, c in enumerate(classes)}
    n_bytes = sum(len(s.encode("utf-8")) for s in split.train_texts + split.test_texts)
    print(f"  {split.name}: {len(split.train_texts):,} training and {len(split.test_texts):,} test "
          f"texts, {len(classes)} classes, {n_bytes / 1e6:.1f} MB of text ({read_s:.2f} s)")
    timings.append(("read files", read_s, f"{n_bytes / 1e6 / read_s:,.0f} MB/s"))
    if not split.train_texts or not split.test_texts:
        print("error: the training or the test set is empty", file=sys.stderr)
        return 2

    if args.features == "auto":
        args.features = recipe.choose_features(split.train_texts)
    featurize = recipe.FEATURE_SETS[args.features]
    phase(f"Tokenizing ({args.features}: {featurize.describe()})")
    train_tokens, s1 = recipe.map_with_progress(featurize, split.train_texts, "train texts")
    test_tokens, s2 = recipe.map_with_progress(featurize, split.test_texts, "test texts")
    n_tokens = sum(map(len, train_tokens)) + sum(map(len, test_tokens))
    n_texts = len(train_tokens) + len(test_tokens)
    print(f"  {n_texts:,} texts, {n_tokens:,} tokens in {s1 + s2:.2f} s: {rate(n_texts, s1 + s2)} "
          f"texts/s, {rate(n_tokens, s1 + s2)} tokens/s, {n_bytes / 1e6 / (s1 + s2):.1f} MB/s")
    timings.append(("tokenize", s1 + s2, f"{rate(n_texts, s1 + s2)} texts/s"))

    phase("Vocabulary")
    t = time.perf_counter()
    train_labels = [class_id[l] for l in split.train_labels]
    test_labels = [class_id.get(l, -1) for l in split.test_labels]
    train_tokens, train_labels = recipe.shuffled(rc.seed, train_tokens, train_labels)
    counting = recipe.ProgressBar("counting tokens", len(train_tokens), "texts")
    vocabulary = recipe.Vocabulary.build(train_tokens, train_labels, len(classes), rc.min_df,
                                         rc.coverage, progress=counting)
    counting.close()
    build_s = time.perf_counter() - t
    distinct = len(set().union(*map(set, train_tokens)))
    train_ids, s1 = recipe.map_with_progress(vocabulary.ids, train_tokens, "train ids")
    test_ids, s2 = recipe.map_with_progress(vocabulary.ids, test_tokens, "test ids")
    print(f"  {len(vocabulary):,} of {distinct:,} distinct training tokens kept (seen in >= "
          f"{rc.min_df} documents, 8 classes hold >= {rc.coverage:.0%} of them); built in "
          f"{build_s:.2f} s, ids mapped in {s1 + s2:.2f} s")
    timings.append(("vocabulary + ids", build_s + s1 + s2, f"{rate(n_texts, build_s + s1 + s2)} texts/s"))

    phase(f"Training ({rc.describe()})")
    field = recipe.new_field(len(vocabulary), len(classes), rc.margin)
    history: list[tuple[int, int, float]] = []
    bar: recipe.ProgressBar | None = None

    def after_pass(epoch: int, trained: int) -> None:
        nonlocal bar
        assert bar is not None  # set before each pass
        seconds = bar.close()
        predicted = field.predict_batch(test_ids)
        accuracy = sum(p == y for p, y in zip(predicted, test_labels)) / len(test_labels)
        history.append((epoch, trained, accuracy))
        print(f"  pass {epoch + 1}: trained {trained:,} of {len(train_ids):,} examples, "
              f"{seconds:.2f} s ({rate(len(train_ids), seconds)} examples/s); test accuracy "
              f"{100 * accuracy:.2f}%", flush=True)
        if epoch + 1 < rc.epochs:
            bar = recipe.ProgressBar(f"pass {epoch + 2}/{rc.epochs}", len(train_ids), "examples")

    def progress(n: int) -> None:
        assert bar is not None  # the bar of the current pass
        bar(n)

    bar = recipe.ProgressBar(f"pass 1/{rc.epochs}", len(train_ids), "examples")
    t = time.perf_counter()
    recipe.train(field, len(vocabulary), train_ids, train_labels, rc,
                 progress=progress, after_pass=after_pass)
    train_s = time.perf_counter() - t  # includes the test evaluation after each pass
    timings.append(("train (all passes)", train_s, f"{rate(len(train_ids) * rc.epochs, train_s)} examples/s"))

    phase("Evaluating with predict_batch")
    bar = recipe.ProgressBar("predict", len(test_ids), "texts")
    predicted: list[int] = []
    step = max(1000, len(test_ids) // 20)
    t = time.perf_counter()
    for start in range(0, len(test_ids), step):
        predicted.extend(field.predict_batch(test_ids[start:start + step]))
        bar(min(step, len(test_ids) - start))
    predict_s = time.perf_counter() - t
    bar.close()
    test_token_count = sum(map(len, test_ids))
    accuracy = sum(p == y for p, y in zip(predicted, test_labels)) / len(test_labels)
    print(f"  accuracy {100 * accuracy:.2f}% on {len(test_labels):,} test texts; predict_batch: "
          f"{predict_s * 1e3:.1f} ms, {rate(len(test_ids), predict_s)} texts/s, "
          f"{rate(test_token_count, predict_s)} token ids/s\n")
    timings.append(("predict_batch", predict_s, f"{rate(len(test_ids), predict_s)} texts/s"))
    confusion = print_report(classes, test_labels, predicted)

    phase("Saving the weights")
    tmp = None
    out_dir = args.out
    if not out_dir:
        tmp = tempfile.TemporaryDirectory(prefix="ombrel-demo-")
        out_dir = tmp.name
    os.makedirs(out_dir, exist_ok=True)
    weights_path = os.path.join(out_dir, "weights.bin")
    vocabulary_path = os.path.join(out_dir, "vocabulary.json")
    t = time.perf_counter()
    field.save_weights(weights_path)
    vocabulary.save(vocabulary_path)
    save_s = time.perf_counter() - t
    print(f"  {weights_path}: {os.path.getsize(weights_path) / 1e6:.2f} MB "
          f"({len(vocabulary):,} token neurons + {len(classes)} margin probes, 64 bytes each); "
          f"{vocabulary_path}: {os.path.getsize(vocabulary_path) / 1e6:.2f} MB; {save_s * 1e3:.0f} ms")
    timings.append(("save", save_s, ""))

    status = 0
    if not args.no_check:
        phase("Reloading in a second process (load_weights maps the file)")
        single_checks = min(200, len(test_ids))
        ctx = multiprocessing.get_context("spawn")
        t = time.perf_counter()
        with ctx.Pool(1) as pool:
            batch, single, child_s, child_pid = pool.apply(reload_and_predict, (
                None if (args.train or args.test) else args.data, args.train, args.test,
                args.features, weights_path, vocabulary_path, len(vocabulary) + len(classes),
                len(classes), single_checks))
        check_s = time.perf_counter() - t
        same = batch == predicted
        same_single = single == predicted[:single_checks]
        differing = sum(a != b for a, b in zip(batch, predicted))
        print(f"  process {child_pid} (this one is {os.getpid()}) read the test file, tokenized, "
              f"mapped {os.path.basename(weights_path)} and predicted in {child_s:.2f} s "
              f"({check_s:.2f} s with process start)")
        print(f"  predict_batch identical for all {len(batch):,} texts: {'yes' if same else f'NO ({differing} differ)'}; "
              f"predict (one text at a time) identical for the first {single_checks}: "
              f"{'yes' if same_single else 'NO'}")
        timings.append(("reload check (2nd process)", check_s, ""))
        if not (same and same_single):
            status = 1

    if args.plot:
        try:
            plot(args.plot, split.name, history, classes, confusion)
            print(f"\n  plot written to {args.plot}")
        except ImportError:
            print("\n  --plot needs matplotlib (pip install matplotlib)", file=sys.stderr)
            status = status or 1

    phase("Summary")
    print(f"  {split.name}: accuracy {100 * accuracy:.2f}% ({len(classes)} classes)")
    for name, seconds, throughput in timings:
        print(f"  {name:<28} {seconds:8.2f} s   {throughput}")
    if tmp:
        tmp.cleanup()
    return status


if __name__ == "__main__":
    sys.exit(main())
