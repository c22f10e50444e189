"""Text classification with ombrel: data files, features, vocabulary and the training recipe.

Everything here is plain Python around the module's public operations (`tokenize`,
`OmbrelField.train_batch`, `predict_batch`, `train_stream`), so that the demo (classify.py) and the
peer benchmark (../bench/bench_peers.py) train and predict in exactly the same way.

The recipe, and why each part of it is there (the measurements are in ../bench/RESULTS.md):

* Shuffle the training set once. The datasets are stored sorted by label, and a field trained in
  that order ends each pass biased towards the last labels it saw.

* Train only on the examples the field does not yet get right *by a margin*, in small chunks.
  Each pass walks the training set in chunks of `chunk` examples: `predict_batch` finds the
  examples of the chunk that fail, `train_batch` trains those, and the next chunk is predicted with
  the updated weights. This is the perceptron rule: weights move only where they are wrong, so
  tokens that already vote correctly are not pushed towards saturation, and frequent easy examples
  do not drown rare hard ones. Training the mistakes of a whole pass in one batch instead
  corrects every mistake of a class at once and overshoots, so the next pass has to undo part of
  it; it converges slowly (20 Newsgroups: 70% after one such pass, 77.5% with chunks). Chunks of a
  few dozen examples behave like the one-at-a-time rule while keeping both pool threads busy.
  "Right by a margin" means the correct motor wins even after `margin` is subtracted from its
  potential. The module has no call that returns a margin for a batch, so the recipe adds one probe
  sensory neuron per class, id `vocabulary_size + c`, holding a single synapse (c, -margin); an
  example of class c is checked by `predict_batch` on its tokens plus probe c. Requiring a margin
  (about 30 amplify steps) lifts 20 Newsgroups accuracy from 76% to 78%: the field keeps
  learning from examples that it classifies correctly but only narrowly, which is what makes the
  weights generalise (the same reason a support vector machine beats a plain perceptron).

* Keep suppress small against amplify (at most 1 against 10). An update adds `amplify` to one
  synapse of each active token and subtracts `suppress` from each of its up to seven others, so a
  token's total weight changes by about `amplify - 7 * suppress` per update. Above a ratio of
  about 1/7 the tokens shared by several classes drift negative at every update, negative weights
  win the weakest-synapse contest (their magnitude is large) and stay, and a class without
  synapses (potential 0) starts beating every class that has any; accuracy falls and keeps falling
  with more passes (20 Newsgroups after four passes: 78% at 0 or 1/10, 77% at 1/5, 67% at 1/3).
  Between 0 and 1/10 the difference is within the run-to-run noise; the margin already makes the
  correct class pull ahead, which is what suppression would otherwise have to do.

* Prune the vocabulary to what a neuron with eight synapses can hold. A sensory neuron keeps at
  most eight (class, weight) synapses and replaces the weakest when a ninth class appears, so a
  token seen in many classes keeps overwriting its own synapses and votes noise. The vocabulary
  keeps a token only if it occurs in at least `min_df` training documents and if its eight most
  frequent classes hold at least `coverage` of its documents. It drops about a tenth of the words
  of 20 Newsgroups ("subject", "line", "write": words every group uses) and lifts accuracy from
  71% to 78%; character n-grams such as "an" occur in dozens of languages, and without the pruning
  language identification gets worse with every pass (73% after one, 66% after four, against 86%
  with it).

* Present each distinct token once per document (sets, not counts): a long message that repeats a
  word forty times would otherwise train that word's neuron forty times in one step.

* Features. Texts of ordinary length use `tokenize` with English stop words and the module's
  stemmer ("words"). Short texts (median under 20 words: text messages, single sentences) use
  "chars": the unstemmed words, no stop words, plus the character n-grams of 1 to 4 characters
  of the tokenized text (its words joined by blanks, a blank at each end), built in Python. A
  sentence of five words gives five votes; its n-grams give a hundred, and they carry spelling,
  which is what tells languages apart. Chinese, Japanese, Cantonese and Wu are written without
  spaces, so the word tokenizer returns a whole sentence as one token, which no other sentence
  shares; their character n-grams are what the field learns from. Short texts keep their stop
  words and are not stemmed: on SMS spam, words alone score 97.2% that way against 95.8% with the
  stop list and the stemmer.

* Decay (`tick_decay`) is not part of the recipe: it scales the running potentials that `predict`
  accumulates across calls, which is for streams of evidence (for example several sentences of one
  document, older ones fading). Batch predictions use private potentials, so decay does not change
  them.

Where it is weaker: the model is one linear vote per token restricted to eight classes. Datasets
with many classes sharing most of their vocabulary (20 Newsgroups has 20 classes whose common
words are shared by all) lose the evidence of tokens that would need more than eight synapses,
and the nearly identical languages of the language identification set (Danish/Norwegian,
Croatian/Serbian, Indonesian/Malay) share most n-grams and are confused by every model.
"""

from __future__ import annotations

import collections
import dataclasses
import json
import os
import random
import sys
import time
from typing import Any, Callable, Iterable, Sequence, TextIO, TypeVar

import ombrel

Progress = Callable[[int], None]  # told of every n items done
T = TypeVar("T")
R = TypeVar("R")

ENGLISH_STOP_WORDS = frozenset(
    """a about above after again against all also am an and any are as at be because been before
    being below between both but by can could did do does doing down during each few for from
    further had has have having he her here hers herself him himself his how i if in into is it
    its itself just me more most my myself no nor not now of off on once only or other our ours
    ourselves out over own same she should so some such than that the their theirs them
    themselves then there these they this those through to too under until up very was we were
    what when where which while who whom why will with would you your yours yourself
    yourselves""".split()
)


# ---------------------------------------------------------------------------------------------
# Data files


class DataError(Exception):
    """The dataset could not be found or read; the message says what to do."""


DATA_FORMAT_HELP = (
    "Each file is UTF-8 text with one example per line: the label, a TAB, then the text\n"
    "(label<TAB>text, no header). A directory holds train.tsv and test.tsv, or only test.tsv,\n"
    "which is then split 80/20 by row index (row i is a test row when i % 5 == 4)."
)


@dataclasses.dataclass
class Split:
    """A labelled train/test split of raw texts."""

    name: str
    train_texts: list[str]
    train_labels: list[str]
    test_texts: list[str]
    test_labels: list[str]

    @property
    def classes(self) -> list[str]:
        return sorted(set(self.train_labels))


def read_tsv(path: str) -> tuple[list[str], list[str]]:
    """Reads `label<TAB>text` lines; blank lines are skipped."""
    labels, texts = [], []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            label, tab, text = line.partition("\t")
            if not tab:
                raise DataError(f"{path}:{number}: no TAB between label and text.\n{DATA_FORMAT_HELP}")
            labels.append(label)
            texts.append(text)
    return labels, texts


def load_split(data: str | None = None, train: str | None = None, test: str | None = None) -> Split:
    """Loads a directory (train.tsv + test.tsv, or test.tsv alone split 80/20) or a pair of files."""
    if train or test:
        if not (train and test):
            raise DataError("Give both --train and --test, or a directory with --data.")
        for path in (train, test):
            if not os.path.isfile(path):
                raise DataError(f"No such file: {path}\n{DATA_FORMAT_HELP}")
        train_labels, train_texts = read_tsv(train)
        test_labels, test_texts = read_tsv(test)
        return Split(os.path.basename(os.path.dirname(os.path.abspath(train))) or train,
                     train_texts, train_labels, test_texts, test_labels)
    if data is None or not os.path.isdir(data):
        raise DataError(
            f"No dataset directory at {data!r}.\n"
            "Put the datasets beside the repository, in ../shared/data/<name>/ (for example\n"
            "../shared/data/20newsgroups/train.tsv and test.tsv), or pass --data DIR, or\n"
            "--train FILE --test FILE.\n" + DATA_FORMAT_HELP
        )
    train_path = os.path.join(data, "train.tsv")
    test_path = os.path.join(data, "test.tsv")
    name = os.path.basename(os.path.normpath(data))
    if os.path.isfile(train_path) and os.path.isfile(test_path):
        train_labels, train_texts = read_tsv(train_path)
        test_labels, test_texts = read_tsv(test_path)
        return Split(name, train_texts, train_labels, test_texts, test_labels)
    if os.path.isfile(test_path):
        labels, texts = read_tsv(test_path)
        split = Split(name, [], [], [], [])
        for i, (label, text) in enumerate(zip(labels, texts)):
            if i % 5 == 4:
                split.test_labels.append(label)
                split.test_texts.append(text)
            else:
                split.train_labels.append(label)
                split.train_texts.append(text)
        return split
    raise DataError(f"{data} holds neither train.tsv + test.tsv nor test.tsv.\n{DATA_FORMAT_HELP}")


# ---------------------------------------------------------------------------------------------
# Features


@dataclasses.dataclass(frozen=True)
class Features:
    """How a text becomes a list of token strings."""

    stop_words: frozenset[str] = ENGLISH_STOP_WORDS
    stem: bool = True
    min_length: int = 2
    char_ngrams: tuple[int, ...] = ()  # lengths of character n-grams added; () for none

    def __call__(self, text: str) -> list[str]:
        words = ombrel.tokenize(text, self.stop_words, self.stem, self.min_length)
        if not self.char_ngrams:
            return words
        # N-grams run over the whole lowered text (words joined by one blank, a blank at each
        # end): one list comprehension per length instead of one per word and length.
        out = list(words)
        padded = " " + " ".join(words) + " "
        for n in self.char_ngrams:
            out.extend([padded[i:i + n] for i in range(len(padded) - n + 1)])
        return out

    def describe(self) -> str:
        parts = [f"stop words: {len(self.stop_words)}", f"stemming: {'on' if self.stem else 'off'}",
                 f"min length: {self.min_length} bytes"]
        if self.char_ngrams:
            parts.append("char n-grams: " + ",".join(map(str, self.char_ngrams)))
        return ", ".join(parts)


WORDS = Features()
CHARS = Features(stop_words=frozenset(), stem=False, min_length=1, char_ngrams=(1, 2, 3, 4))
FEATURE_SETS = {"words": WORDS, "chars": CHARS}
SHORT_TEXT_WORDS = 20


def choose_features(train_texts: Sequence[str]) -> str:
    """"chars" when the median training text has fewer than SHORT_TEXT_WORDS blank-separated
    words (a sentence or a text message: too few words to vote with, and languages written
    without spaces), "words" otherwise."""
    lengths = sorted(text.count(" ") + 1 for text in train_texts)
    median = lengths[len(lengths) // 2] if lengths else 0
    return "chars" if median < SHORT_TEXT_WORDS else "words"


# ---------------------------------------------------------------------------------------------
# Vocabulary


class Vocabulary:
    """Token string -> sensory token id, built from the training documents."""

    def __init__(self, tokens: Sequence[str]):
        self.tokens = list(tokens)
        self.index = {t: i for i, t in enumerate(self.tokens)}
        self._get = self.index.get

    def __len__(self) -> int:
        return len(self.tokens)

    @classmethod
    def build(cls, documents: Sequence[Sequence[str]], labels: Sequence[int], class_count: int,
              min_df: int = 2, coverage: float = 0.9,
              progress: Progress | None = None) -> "Vocabulary":
        """Keeps tokens in at least `min_df` documents whose eight most frequent classes hold at
        least `coverage` of those documents (a sensory neuron has eight synapses)."""
        # Counter.update counts in C; only the tokens seen in more than eight classes need the
        # per-class look-ups in Python.
        per_class: list[collections.Counter[str]] = [collections.Counter() for _ in range(class_count)]
        for start in range(0, len(documents), 1000):
            for doc, label in zip(documents[start:start + 1000], labels[start:start + 1000]):
                per_class[label].update(set(doc))
            if progress:
                progress(min(1000, len(documents) - start))
        document_frequency: collections.Counter[str] = collections.Counter()
        classes_of: collections.Counter[str] = collections.Counter()
        for counter in per_class:
            document_frequency.update(counter)
            classes_of.update(counter.keys())
        kept = []
        for token, df in document_frequency.items():
            if df < min_df:
                continue
            if classes_of[token] > 8:
                counts = sorted((c[token] for c in per_class), reverse=True)
                if sum(counts[:8]) < coverage * df:
                    continue
            kept.append(token)
        kept.sort()  # deterministic ids whatever the dictionary order
        return cls(kept)

    def ids(self, tokens: Iterable[str]) -> list[int]:
        """Distinct known tokens as ids (order is irrelevant to a vote)."""
        get = self._get
        return [i for i in map(get, set(tokens)) if i is not None]

    def save(self, path: str) -> None:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(self.tokens, f, ensure_ascii=False)

    @classmethod
    def load(cls, path: str) -> "Vocabulary":
        with open(path, encoding="utf-8") as f:
            return cls(json.load(f))


# ---------------------------------------------------------------------------------------------
# Training


@dataclasses.dataclass
class Recipe:
    epochs: int = 4
    amplify: int = 10
    suppress: int = 1
    margin: int = 300  # in weight units: about 30 amplify steps
    chunk: int = 32  # examples predicted before their mistakes are trained
    min_df: int = 2
    coverage: float = 0.9
    seed: int = 0

    def describe(self) -> str:
        return (f"{self.epochs} passes, amplify {self.amplify}, suppress {self.suppress}, margin "
                f"{self.margin}, chunks of {self.chunk}, min df {self.min_df}, 8-class coverage "
                f"{self.coverage}, seed {self.seed}")


def new_field(vocabulary_size: int, class_count: int, margin: int) -> ombrel.OmbrelField:
    """A field with one sensory neuron per token plus one margin probe per class (see the module
    docstring). The probe of class c is id vocabulary_size + c with the synapse (c, -margin)."""
    field = ombrel.OmbrelField(vocabulary_size + class_count, class_count)
    if margin:
        for c in range(class_count):
            field.train_stream([vocabulary_size + c], c, -margin, 0)
    return field


def train(field: ombrel.OmbrelField, vocabulary_size: int, examples: Sequence[list[int]],
          labels: Sequence[int], recipe: Recipe, progress: Progress | None = None,
          after_pass: Callable[[int, int], None] | None = None) -> list[int]:
    """Margin-driven training in chunks. Returns the number of trained examples of each pass.

    REQUIRES: `field` was made by new_field(vocabulary_size, ..., recipe.margin); `examples` are
    already shuffled. `progress(n)` is told of every n examples checked; `after_pass(pass, trained)`
    runs after each pass.
    """
    trained_per_pass = []
    n = len(examples)
    chunk = max(1, recipe.chunk)
    probes = [[vocabulary_size + c] for c in range(max(labels, default=-1) + 1)]
    for epoch in range(recipe.epochs):
        trained = 0
        for start in range(0, n, chunk):
            xs = examples[start:start + chunk]
            ys = labels[start:start + chunk]
            if recipe.margin:
                winners = field.predict_batch([x + probes[y] for x, y in zip(xs, ys)])
            else:
                winners = field.predict_batch(xs)
            failed = [(x, y) for x, y, w in zip(xs, ys, winners) if w != y]
            if failed:
                field.train_batch(failed, recipe.amplify, recipe.suppress)
                trained += len(failed)
            if progress:
                progress(len(xs))
        trained_per_pass.append(trained)
        if after_pass:
            after_pass(epoch, trained)
    return trained_per_pass


def shuffled(seed: int, *columns: Sequence[Any]) -> list[list[Any]]:
    order = list(range(len(columns[0])))
    random.Random(seed).shuffle(order)
    return [[column[i] for i in order] for column in columns]


# ---------------------------------------------------------------------------------------------
# Progress bars (tqdm, on standard error)


class ProgressBar:
    """A tqdm bar shown only on a terminal, and only once its phase has lasted DELAY_S: quick phases
    print their one summary line and nothing else. Call it with the number of items just done;
    close() returns the seconds the phase took."""

    DELAY_S = 0.3

    def __init__(self, label: str, total: int, unit: str = "items",
                 stream: TextIO = sys.stderr):
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        self.start = time.perf_counter()
        live = hasattr(stream, "isatty") and stream.isatty()
        self.bar = tqdm(total=max(total, 1), desc=f"  {label}", unit=f" {unit}", file=stream,
                        delay=self.DELAY_S, disable=not live, leave=True, dynamic_ncols=True)

    def __call__(self, n: int) -> None:
        self.bar.update(n)

    def close(self) -> float:
        elapsed = time.perf_counter() - self.start
        self.bar.close()
        return elapsed


def map_with_progress(function: Callable[[T], R], items: Sequence[T], label: str,
                      unit: str = "texts", step: int = 1000) -> tuple[list[R], float]:
    """Applies `function` to every item, showing progress; returns the results and the seconds."""
    bar = ProgressBar(label, len(items), unit)
    out: list[R] = []
    for start in range(0, len(items), step):
        part = items[start:start + step]
        out.extend(map(function, part))
        bar(len(part))
    return out, bar.close()
