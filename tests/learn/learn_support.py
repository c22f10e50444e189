"""Helpers of the ombrel_learn tests: a small separable corpus and the real datasets."""

import os
import random

import pytest

DATA = os.environ.get("OMBREL_DATA",
                      os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data"))

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


def read_tsv(name, file="train.tsv", limit=None):
    path = os.path.join(DATA, name, file)
    if not os.path.isfile(path):
        pytest.skip(f"dataset {name} not found at {path}")
    texts, labels = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            label, _, text = line.rstrip("\n").partition("\t")
            texts.append(text)
            labels.append(label)
            if limit and len(texts) >= limit:
                break
    return texts, labels
