"""Score a text corpus on a Dask cluster with a trained ombrel_learn classifier.

The model is an ombrel_learn model folder, written once by `train_model` (OmbrelClassifier.save):
model.json (settings, classes, sizes and the names of the other files), the weight file of the
field and the vocabulary.

Scoring ships only the folder's path to the cluster. A worker plugin (`ModelPlugin`) runs once
in every worker process when it is registered, or when a worker joins later: it loads the folder
with OmbrelClassifier.load, which maps the weights, and every task on that worker reuses that one
classifier. The corpus is read by the workers themselves, each its own byte ranges of the file
(dask.bag.read_text), so no text goes through the client either. Each partition is turned into
token ids natively and predicted with one predict_batch call; the results come back in corpus
order as class numbers (indices into the sorted classes) and equal a single-process run over the
same file (`score_locally`).

Memory: loading maps the weight file shared, so the worker processes of one machine read the
same page-cache pages and the weights are resident once per machine, not once per worker. Only
the vocabulary table is private to each worker.

Run it on this machine (trains on sms_spam/train.tsv, scores sms_spam/test.tsv on a local cluster of
two worker processes, and checks the answers against a single-process run):

    python examples/dask_scoring.py
    python examples/dask_scoring.py --dataset 20newsgroups --workers 2

On a cluster of several machines the same code runs unchanged: start a scheduler and workers (`dask
scheduler`; on each node `RAYON_NUM_THREADS=1 dask worker tcp://HOST:8786 --nworkers N --nthreads
1`), then run with --scheduler tcp://HOST:8786 --model-dir DIR --data DIR. Every worker must see the
model directory and the corpus under the same paths: a copy on each node, or shared storage. Either
works for scoring, which only reads the weights; the workers of one node share that node's page
cache. load_weights opens the weight file for reading and writing (the mapping is writable, so that
a field can train in place), so the file must be writable by the workers' user. Never train into a
weight file that other machines map: a network file system gives no guarantee that pages written
through a mapping on one machine are seen by a mapping on another. Write a new model into a new
folder, or save over the old one: a save writes new files and switches model.json to them, and the
workers keep the mapping of the files they loaded. Workers need ombrel (with ombrel_learn) and
dask[distributed] installed. Run as a script, this file's functions travel to the workers
by value; imported as a module from other code, they travel by reference, and the workers must be
able to import this file too (install it beside your code, or send it with
`client.upload_file(...)`).

Keep each worker's engine to one thread (RAYON_NUM_THREADS=1, which `main` sets for the local
cluster) and run one worker process per core: the rest of a task holds the interpreter lock, so
processes, not threads, are what scale it.
"""

from __future__ import annotations

import argparse
import array
import os
import sys
import tempfile
import time
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import cast

import dask.bag
import numpy as np
from distributed import Client, LocalCluster, Worker, WorkerPlugin, get_worker

from ombrel_learn import OmbrelClassifier



def connect(scheduler: str | None, workers: int) -> Client:
    """A client of the running scheduler at that address, or of a local cluster of `workers`
    single-threaded worker processes (each with a native pool of one thread: the processes are the
    parallelism)."""
    if scheduler:
        return Client(scheduler)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                           env={"RAYON_NUM_THREADS": "1"})
    return Client(cluster)

def parse_row(line: str) -> tuple[str, str]:
    """Splits one `label<TAB>text` line of the corpus."""
    label, _, text = line.rstrip("\n").partition("\t")
    return label, text


def read_rows(path: str | os.PathLike[str]) -> list[tuple[str, str]]:
    with open(path, encoding="utf-8") as corpus:
        return [parse_row(line) for line in corpus]


def train_model(train_tsv: str | os.PathLike[str], model_dir: str | os.PathLike[str], seed: int = 0) -> None:
    """Trains a classifier on one process and writes the model folder."""
    rows = read_rows(train_tsv)
    clf = OmbrelClassifier(random_state=seed)
    clf.fit([text for _, text in rows], [label for label, _ in rows])
    clf.save(model_dir)


def weights_file(model_dir: str | os.PathLike[str]) -> Path:
    """The weight file that the model folder's description names."""
    import json
    with open(Path(model_dir) / "model.json", encoding="utf-8") as f:
        name: str = json.load(f)["weights"]
    return (Path(model_dir) / name).resolve()


class Model:
    """A classifier loaded from a model folder (its weights mapped), answering class numbers."""

    def __init__(self, model_dir: str | os.PathLike[str]) -> None:
        self.weights_path = str(weights_file(model_dir))
        # Maps the file: no record is read or copied here, pages come in as predictions touch them.
        self.classifier = OmbrelClassifier.load(model_dir)
        self.labels: list[str] = [str(c) for c in self.classifier.classes_.tolist()]

    def predict_texts(self, texts: Iterable[str]) -> list[int]:
        """Class numbers (indices into `labels`), one per text."""
        predicted = self.classifier.predict(list(texts))
        return cast(list[int], np.searchsorted(self.classifier.classes_, predicted).tolist())


def plugin_name(model_dir: str | os.PathLike[str]) -> str:
    """One plugin per model directory, so that several models can live on the same workers."""
    return f"ombrel-model:{os.path.abspath(model_dir)}"


class ModelPlugin(WorkerPlugin):
    """Holds one Model per worker process, loaded from a path when the plugin is set up."""

    idempotent = True  # registering the same model directory again does not reload it

    def __init__(self, model_dir: str | os.PathLike[str]) -> None:
        self.name = plugin_name(model_dir)
        self.model_dir = os.path.abspath(model_dir)  # all that is pickled and sent to the workers
        self.model: Model | None = None

    def setup(self, worker: Worker) -> None:
        self.model = Model(self.model_dir)

    def teardown(self, worker: Worker) -> None:
        self.model = None  # unmaps the weights


def worker_model(name: str) -> Model:
    """The Model that the plugin `name` holds in the worker process running the current task."""
    plugin = cast(ModelPlugin, get_worker().plugins[name])
    if plugin.model is None:
        raise RuntimeError(f"the plugin {name} has not been set up on this worker")
    return plugin.model


def score_lines(lines: Iterable[str], plugin: str) -> array.array[int]:
    """Scores one partition of `label<TAB>text` lines on a worker.

    The motor ids go back as an array of unsigned 32-bit values, sent as one buffer: distributed
    sends a list of ints item by item (here about a second for twenty thousand ids).
    """
    return array.array("I", worker_model(plugin).predict_texts(parse_row(line)[1] for line in lines))


def score_corpus(
    client: Client,
    model_dir: str | os.PathLike[str],
    corpus_tsv: str | os.PathLike[str] | Sequence[str],
    blocksize: int | str = "1MiB",
) -> list[int]:
    """Motor ids for every line of the corpus file(s), in file order, computed on the cluster."""
    plugin = ModelPlugin(model_dir)
    client.register_plugin(plugin)
    paths = [str(corpus_tsv)] if isinstance(corpus_tsv, (str, os.PathLike)) else list(corpus_tsv)
    lines = dask.bag.read_text(paths, blocksize=blocksize)
    partitions = lines.map_partitions(score_lines, plugin.name)
    # Each partition's array comes to the client as it is; a bag's own compute() would first join
    # them into one list on a worker.
    scored: list[array.array[int]] = client.gather(client.compute(partitions.to_delayed()))
    return [motor for part in scored for motor in part]


def score_locally(model_dir: str | os.PathLike[str], corpus_tsv: str | os.PathLike[str]) -> list[int]:
    """The same scoring in this process, without Dask."""
    return Model(model_dir).predict_texts(text for _, text in read_rows(corpus_tsv))


def dataset_files(data: Path | None, dataset: str) -> tuple[Path, Path] | None:
    """(train.tsv, test.tsv) of the dataset: in the folder `data` when given, else where the demo
    finds it (examples/dataset_paths.py: $OMBREL_DATA or ../shared/data, then the download cache);
    None when they are not there. (Run on the client only: the workers need not import
    dataset_paths.)"""
    import dataset_paths  # beside this file
    if data is None:
        found = dataset_paths.find_dataset(dataset, ("train.tsv", "test.tsv"))
        if found is None:
            return None
        folder = found
    else:
        folder = data / dataset
    train_tsv, test_tsv = folder / "train.tsv", folder / "test.tsv"
    return (train_tsv, test_tsv) if train_tsv.is_file() and test_tsv.is_file() else None


def missing_dataset(data: Path | None, dataset: str) -> str:
    import dataset_paths  # beside this file
    if data is not None:
        return f"dataset not found: {data / dataset} needs train.tsv and test.tsv"
    return f"dataset {dataset} (train.tsv and test.tsv) not found: {dataset_paths.how_to_enable()}, or give --data DIR"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--data", type=Path, default=None,
                        help="folder of the datasets (default: $OMBREL_DATA or ../shared/data, then the download "
                             "cache, as for the demo)")
    parser.add_argument("--dataset", default="sms_spam",
                        help="dataset folder with train.tsv and test.tsv")
    parser.add_argument("--model-dir", type=Path,
                        help="where to write the model (default: a temporary folder)")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the local cluster")
    parser.add_argument("--scheduler",
                        help="address of a running Dask scheduler instead of a local cluster")
    parser.add_argument("--blocksize", default="256KiB", help="bytes of corpus per partition")
    args = parser.parse_args(argv)

    if args.scheduler and args.model_dir is None:
        parser.error("--scheduler needs --model-dir: a folder that every worker sees under the same path")
    found = dataset_files(args.data, args.dataset)
    if found is None:
        print(missing_dataset(args.data, args.dataset), file=sys.stderr)
        return 2
    train_tsv, test_tsv = found

    with tempfile.TemporaryDirectory(prefix="ombrel-model-") as scratch:
        model_dir = args.model_dir or Path(scratch)
        started = time.perf_counter()
        train_model(train_tsv, model_dir)
        print(f"trained on {train_tsv} in {time.perf_counter() - started:.2f} s -> {model_dir}")

        with connect(args.scheduler, args.workers) as client:
            workers = len(client.scheduler_info()["workers"])
            started = time.perf_counter()
            answers = score_corpus(client, model_dir, test_tsv, args.blocksize)
            elapsed = time.perf_counter() - started
        if client.cluster is not None:  # the local cluster connect made
            client.cluster.close()

        local = score_locally(model_dir, test_tsv)
        labels = Model(model_dir).labels
        gold = [labels.index(label) if label in labels else -1 for label, _ in read_rows(test_tsv)]
        correct = sum(p == g for p, g in zip(answers, gold))
        print(f"scored {len(answers)} texts on {workers} worker processes in {elapsed:.2f} s;"
              f" accuracy {correct / len(gold):.4f}")
        if answers != local:
            print("distributed answers differ from the single-process run", file=sys.stderr)
            return 1
        print("distributed answers equal the single-process run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
