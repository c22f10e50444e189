"""Train an ombrel_learn naive Bayes classifier on a Dask cluster: counts on the workers, one sum, one compile.

Multinomial naive Bayes is made of counts (how often each feature occurs in each class's texts, and
how many texts each class has), and the counts of disjoint parts of a training set add up to those
of the whole. So the workers read their own byte ranges of the training file (dask.bag.read_text),
each turns its lines into hashed token ids natively and counts them (OmbrelClassifier.count), the
per-part counts are summed in one tree reduction, and the client makes the model from the sum
(OmbrelClassifier.fit_counts): it compiles the float model into the field and writes the model folder.
No text goes through the client, and what travels is one count matrix per part
(buckets x classes float64: 4 MiB for 2^18 buckets and 2 classes).

The result is the model `OmbrelClassifier(learner="naive_bayes", ...).fit` makes from the whole file
in one process, bit for bit: sums of whole counts are exact in float64, in any order. `main` checks
that, weight file against weight file. (With more than 8 classes, fit also refits the model cut to a
token's 8 synapses on the texts in shuffled order, which counts alone cannot reproduce: this example
is for up to 8 classes.)

Hashing mode (buckets > 0), not a vocabulary: a vocabulary built on one part would number the tokens
of another differently. Choose the number of buckets for the data (2^18 to 2^20 for words);
every worker and the client need the same settings, which travel with the pickled classifier.

    python examples/dask_training.py                           # sms_spam, local cluster of 2 processes
    python examples/dask_training.py --dataset ag_news --features words --buckets 262144
    python examples/dask_training.py --scheduler tcp://HOST:8786 --data DIR --model-dir DIR

On a cluster of several machines, every worker must see the training file under the same path.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Iterable, Sequence
from pathlib import Path

import dask.bag
from distributed import Client, LocalCluster

from ombrel_learn import OmbrelClassifier
from ombrel_learn.linear import NaiveBayesCounts


def parse_row(line: str) -> tuple[str, str]:
    label, _, text = line.rstrip("\n").partition("\t")
    return label, text


def count_lines(lines: Iterable[str], clf: OmbrelClassifier, classes: list[str]) -> NaiveBayesCounts:
    """The counts of one partition of `label<TAB>text` lines, on a worker."""
    rows = [parse_row(line) for line in lines if line.strip()]
    return clf.count([text for _, text in rows], [label for label, _ in rows], classes)


def add_counts(parts: Iterable[NaiveBayesCounts]) -> NaiveBayesCounts:
    parts = iter(parts)
    total = next(parts)
    for part in parts:
        total = total + part
    return total


def train_distributed(client: Client, clf: OmbrelClassifier, train_tsv: str | os.PathLike[str],
                      classes: Sequence[str], blocksize: int | str = "1MiB") -> OmbrelClassifier:
    """Fits `clf` (learner naive Bayes in hashing mode) from the file's lines, counted on the cluster."""
    classes = sorted(classes)
    lines = dask.bag.read_text(str(train_tsv), blocksize=blocksize)
    total = lines.reduction(lambda part: count_lines(part, clf, classes), add_counts, split_every=8)
    counts = client.compute(total).result()
    return clf.fit_counts(counts, classes)


def read_labels(path: str | os.PathLike[str]) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [parse_row(line)[0] for line in f if line.strip()]


def read_rows(path: str | os.PathLike[str]) -> list[tuple[str, str]]:
    with open(path, encoding="utf-8") as f:
        return [parse_row(line) for line in f if line.strip()]


def default_data_dir() -> Path:
    return Path(__file__).resolve().parent.parent.parent / "shared" / "data"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--data", type=Path, default=default_data_dir())
    parser.add_argument("--dataset", default="sms_spam", help="dataset folder with train.tsv and test.tsv")
    parser.add_argument("--features", choices=["words", "chars"], default="chars")
    parser.add_argument("--buckets", type=int, default=1 << 18)
    parser.add_argument("--alpha", type=float, default=0.1)
    parser.add_argument("--model-dir", type=Path, help="where to write the model (default: a temporary folder)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler instead of a local cluster")
    parser.add_argument("--blocksize", default="256KiB", help="bytes of training file per partition")
    args = parser.parse_args(argv)

    train_tsv = args.data / args.dataset / "train.tsv"
    test_tsv = args.data / args.dataset / "test.tsv"
    if not train_tsv.is_file() or not test_tsv.is_file():
        print(f"dataset not found: {train_tsv.parent} needs train.tsv and test.tsv", file=sys.stderr)
        return 2
    classes = sorted(set(read_labels(train_tsv)))  # a real job would know its classes in advance
    settings = dict(learner="naive_bayes", features=args.features, buckets=args.buckets, alpha=args.alpha)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, env={"RAYON_NUM_THREADS": "1"})
        client = Client(cluster)
    with client:
        started = time.perf_counter()
        clf = train_distributed(client, OmbrelClassifier(**settings), train_tsv, classes, args.blocksize)
        elapsed = time.perf_counter() - started
        workers = len(client.scheduler_info()["workers"])
    if not args.scheduler:
        cluster.close()

    rows = read_rows(train_tsv)
    single = OmbrelClassifier(**settings).fit([t for _, t in rows], [l for l, _ in rows])
    test = read_rows(test_tsv)
    accuracy = clf.score([t for _, t in test], [l for l, _ in test])
    print(f"counted {len(rows)} texts on {workers} worker processes and compiled in {elapsed:.2f} s; "
          f"test accuracy {accuracy:.4f}")
    with tempfile.TemporaryDirectory(prefix="ombrel-model-") as scratch:
        model_dir = args.model_dir or Path(scratch) / "distributed"
        clf.save(model_dir)
        single.save(Path(scratch) / "single")
        if weight_bytes(model_dir) != weight_bytes(Path(scratch) / "single"):
            print("the distributed model differs from the single-process fit", file=sys.stderr)
            return 1
    print("the distributed model equals the single-process fit, weight for weight")
    return 0


def weight_bytes(model_dir: str | os.PathLike[str]) -> bytes:
    import json
    with open(Path(model_dir) / "model.json", encoding="utf-8") as f:
        name: str = json.load(f)["weights"]
    return (Path(model_dir) / name).read_bytes()


if __name__ == "__main__":
    sys.exit(main())
