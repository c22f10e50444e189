"""Helpers of the ombrel_learn tests: a small separable corpus and the real datasets."""

import importlib.util
import os
import random
import sys

import pytest


def _dataset_paths():
    """examples/dataset_paths.py, which decides where the datasets are for the demo and the tests
    alike (loaded from its file: examples/ is not a package)."""
    name = "ombrel_example_dataset_paths"
    if name not in sys.modules:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "dataset_paths.py")
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


dataset_paths = _dataset_paths()
# The datasets folder ($OMBREL_DATA, else ../shared/data); find_dataset also searches the download cache.
DATA = str(dataset_paths.datasets_folder())

# Three classes with disjoint vocabularies plus shared filler: any working classifier learns them.
WORDS = {
    "sport": "football goal referee striker penalty stadium league keeper match tackle".split(),
    "food": "tomato pasta garlic oven recipe butter onion pepper kitchen flour".split(),
    "space": "rocket orbit planet galaxy comet telescope asteroid lunar nebula astronaut".split(),
}
FILLER = "the a today people said about with".split()


def make_corpus(per_class, seed):
    rng = random.Random(seed)
    texts, labels = [], []
    for _ in range(per_class):
        for label, words in WORDS.items():
            texts.append(" ".join(rng.sample(words, 4) + rng.sample(FILLER, 2)))
            labels.append(label)
    return texts, labels


def find_dataset(name, *files):
    """The folder of dataset `name` holding `files` (default train.tsv), in the datasets folder or the
    demo's download cache; skips the test when it is in neither. The skip carries the dataset's
    name, so that the run ends with one line counting these skips (tests/conftest.py)."""
    folder = dataset_paths.find_dataset(name, files or ("train.tsv",))
    if folder is None:
        how = dataset_paths.how_to_enable()
        skip = pytest.skip.Exception(f"dataset {name} not found: {how}")
        skip.missing_dataset, skip.how_to_enable = name, how
        raise skip
    return str(folder)


def read_tsv(name, file="train.tsv", limit=None):
    path = os.path.join(find_dataset(name, file), file)
    texts, labels = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            label, _, text = line.rstrip("\n").partition("\t")
            texts.append(text)
            labels.append(label)
            if limit and len(texts) >= limit:
                break
    return texts, labels
