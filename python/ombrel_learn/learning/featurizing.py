"""Texts as token ids: the two feature kinds, and the ids the automatic choice makes once and prunes
per fold.

"words" are `ombrel.tokenize`'s tokens with English stop words and stemming; "chars" are the
unstemmed words without stop words plus their character n-grams (1-4 by default), for short texts
and languages written without spaces. With a vocabulary, a token is kept when it occurs in at least
`min_df` training texts and its 8 most frequent classes hold at least `coverage` of them (a sensory
neuron has eight synapses); with `buckets > 0` tokens are hashed into that many sensory neurons
instead. Each text presents each distinct token once.
"""

from __future__ import annotations

import unicodedata
from typing import Any, Iterable

import numpy as np

from .. import _learners, _native

# gather_rows' mark of a token left out
DROPPED = 0xFFFFFFFF

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

FEATURE_KINDS = ("auto", "words", "chars")


def stop_word_set(stop_words: str | Iterable[str] | None) -> frozenset[str]:
    if stop_words is None:
        return frozenset()
    if isinstance(stop_words, str):
        if stop_words != "english":
            raise ValueError(f"stop_words must be 'english', None or a collection of str, got {stop_words!r}")
        return ENGLISH_STOP_WORDS
    return frozenset(stop_words)


def feature_spec(kind: str, stop_words: str | Iterable[str] | None, stem: Any, min_length: Any,
                 ngram_range: Any, *, bigrams: Any = False, marks: Any = False, log_tf: Any = False
                 ) -> _native.FeatureSpec:
    """The native description of feature kind "words" or "chars" under these settings.

    bigrams: also each two consecutive kept words (after stop words and stemming) as one feature
    "w1 w2"; "words" only. marks: combining marks (Mn, Mc, Me) continue the word they follow
    instead of cutting it, as scripts such as Devanagari or decomposed Latin need (the texts
    should then be in NFC: see nfc_texts); either kind. log_tf: a feature that occurs n times in a
    text is presented round(1 + ln n) times, one after another, instead of once (sublinear term
    frequency)."""
    if kind == "words":
        return _native.FeatureSpec(stop_word_set(stop_words), bool(stem), int(min_length),
                                   bigrams=bool(bigrams), marks=bool(marks), log_tf=bool(log_tf))
    if bigrams:
        raise ValueError("bigrams (word pairs) apply to feature kind 'words' only, not to character n-grams")
    lo, hi = ngram_range
    return _native.FeatureSpec(None, False, 1, True, int(lo), int(hi), marks=bool(marks), log_tf=bool(log_tf))


def nfc_texts(texts: list[str]) -> list[str]:
    """texts in Unicode NFC, as features with marks joined must see them (composed and decomposed
    'école' are then one word): the same list when every text already is, else a new one.
    ASCII texts, which are always in NFC, cost one O(1) test each; anything that is not a str is
    left for the native layer to refuse."""
    out: list[str] | None = None
    for i, text in enumerate(texts):
        if not isinstance(text, str) or text.isascii() or unicodedata.is_normalized("NFC", text):
            continue
        if out is None:
            out = list(texts)
        out[i] = unicodedata.normalize("NFC", text)
    return texts if out is None else out


def transform(spec: _native.FeatureSpec, vocabulary: _native.Vocabulary | None, buckets: int, texts: list[str],
              *rest: Any) -> _native.IdBatch:
    """`_native.transform` on the texts as these features read them (in NFC when they keep marks)."""
    return _native.transform(spec, vocabulary, buckets, as_spec_reads(spec, texts), *rest)


def build_vocabulary(spec: _native.FeatureSpec, texts: list[str], y: list[int], k: int, min_df: int,
                     coverage: float, max_classes: int, with_probes: bool) -> Any:
    """`_native.build_vocabulary` on the texts as these features read them (in NFC when they keep
    marks). Its ids present each token once, or with log_tf by its count, as `transform` would
    (without probe ids: the field learner does not count terms)."""
    texts = as_spec_reads(spec, texts)
    if spec.log_tf and with_probes:
        raise ValueError("log_tf ids are for the float learners, which train without probe ids")
    return _native.build_vocabulary(spec, texts, y, k, min_df, coverage, max_classes, with_probes)


def as_spec_reads(spec: _native.FeatureSpec, texts: list[str]) -> list[str]:
    return nfc_texts(texts) if getattr(spec, "marks", False) else texts


def spec_from_params(params: dict[str, Any]) -> _native.FeatureSpec:
    """The native description of a fitted model's features (`Settings.feature_params`)."""
    bigrams = params["features"] == "words" and int(params.get("word_ngrams", 1)) == 2
    stop_words = params["stop_words"]
    if isinstance(stop_words, list):
        stop_words = frozenset(stop_words)
    return feature_spec(params["features"], stop_words, params["stem"], params["min_length"], params["ngram_range"],
                        bigrams=bigrams, marks=bool(params.get("marks", False)), log_tf=params.get("tf") == "log")


def token_ids(spec: _native.FeatureSpec, buckets: int, texts: list[str], y: list[int], k: int, min_df: int,
              coverage: float) -> tuple[_native.Vocabulary | None, int, _native.IdBatch]:
    """The features of a float learner: (vocabulary, buckets, ids of the texts); a vocabulary built
    on the texts unless buckets > 0."""
    if buckets:
        return None, buckets, transform(spec, None, buckets, texts)
    vocabulary, documents, _ = build_vocabulary(spec, texts, y, k, min_df, coverage, 8, False)
    return vocabulary, 0, documents


class Featurized:
    """The ids of the first `rows` training texts under one feature kind, every token kept
    (`tokens`: the vocabulary's tokens by id; None in hashing mode, where ids are buckets)."""

    def __init__(self, kind: str, spec: _native.FeatureSpec, tokens: list[Any] | None, buckets: int, batch: Any,
                 positions: np.ndarray | None = None, vocabulary: _native.Vocabulary | None = None):
        self.kind = kind
        self.vocabulary = vocabulary  # of `tokens`, when kept (see `counted`)
        self.spec = spec
        self.tokens = tokens
        self.buckets = buckets
        self.ids = np.frombuffer(batch, dtype=np.uint32) if len(memoryview(batch)) else np.zeros(0, np.uint32)
        self.offsets = np.frombuffer(batch.offsets, dtype=np.uint64).astype(np.int64)
        self.rows = len(self.offsets) - 1
        self.features = buckets if buckets else len(tokens or ())
        self.row_of = np.repeat(np.arange(self.rows), np.diff(self.offsets))
        # Where each of a text's tokens is met first (ids of log_tf features repeat a token in a
        # row): the document frequencies count those.
        self.first = first_presentations(self.ids, self.offsets)
        # The row of the (shuffled) training texts each row of these ids is: sorted; the first
        # `rows` texts unless the choice featurized scattered ones.
        self.positions = np.arange(self.rows) if positions is None else np.asarray(positions, dtype=np.int64)

    def counted(self, spec: _native.FeatureSpec, texts: list[str]) -> "Featurized":
        """The same rows (texts: theirs, in order) under `spec`, these features with log_tf: the
        same tokens and ids, a token repeated by its count, without building the vocabulary again."""
        batch = transform(spec, self.vocabulary, self.buckets, texts)
        return Featurized(self.kind, spec, self.tokens, self.buckets, batch, self.positions, self.vocabulary)

    def head(self, rows: int) -> "Featurized":
        """The first `rows` texts (their ids are those a vocabulary of all the rows gave)."""
        part = object.__new__(Featurized)
        part.__dict__.update(self.__dict__)
        end = int(self.offsets[rows])
        part.ids, part.offsets, part.row_of, part.rows = self.ids[:end], self.offsets[:rows + 1], self.row_of[:end], rows
        part.first = self.first[:end]
        part.positions = self.positions[:rows]
        return part

    def kept(self, rows: np.ndarray, labels: np.ndarray, k: int, min_df: int, coverage: float) -> np.ndarray:
        """Which tokens a vocabulary built on these rows keeps: those in at least min_df of them
        whose 8 most frequent classes hold at least `coverage` of those texts. Every token in
        hashing mode."""
        if self.buckets:
            return np.ones(self.features, dtype=bool)
        selected = np.zeros(self.rows, dtype=bool)
        selected[rows] = True
        on = selected[self.row_of] & self.first
        df = np.bincount(self.ids[on], minlength=self.features)
        keep = df >= max(1, min_df)
        if coverage > 0 and k > 8:
            row_class = np.zeros(self.rows, dtype=np.int64)
            row_class[rows] = labels
            per_class = np.bincount(self.ids[on].astype(np.int64) * k + row_class[self.row_of[on]],
                                    minlength=self.features * k).reshape(self.features, k)
            top = np.sort(per_class, axis=1)[:, -8:].sum(axis=1)
            keep &= top >= coverage * df
        return keep

    def subset(self, rows: np.ndarray, keep: np.ndarray) -> tuple[tuple[np.ndarray, np.ndarray], int]:
        """((tokens, offsets) of these rows with the kept tokens renumbered in order, feature count)."""
        renumber = None
        if not self.buckets:
            renumber = np.where(keep, np.cumsum(keep, dtype=np.int64) - 1, DROPPED).astype(np.uint32)
        tokens, offsets = _learners.gather_rows(self.ids, self.offsets.astype(np.uint64),
                                                np.ascontiguousarray(rows, dtype=np.uint64), renumber)
        features = self.features if renumber is None else int(np.count_nonzero(keep))
        return (np.asarray(tokens), np.asarray(offsets)), features


def first_presentations(ids: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """Which entries of ids (texts ids[offsets[i]:offsets[i + 1]]) are not the repeat of the entry
    before them in the same text: each token once per text, as the pipeline presents a token's
    repeats one after another."""
    first = np.ones(len(ids), dtype=bool)
    if len(ids) > 1:
        first[1:] = ids[1:] != ids[:-1]
        starts = np.asarray(offsets[:-1], dtype=np.int64)
        first[starts[starts < len(ids)]] = True
    return first


def featurize(kind: str, spec: _native.FeatureSpec, buckets: int, texts: list[str], y: list[int], k: int,
              positions: np.ndarray | None = None) -> Featurized:
    """The ids of texts under every token of theirs (a vocabulary without pruning, or the
    buckets), so that any subset of rows can be pruned as a vocabulary of its own would be.
    positions: the training rows the texts are (default: the first ones)."""
    if buckets:
        batch = transform(spec, None, buckets, texts)
        return Featurized(kind, spec, None, buckets, batch, positions)
    vocabulary, batch, _ = build_vocabulary(spec, texts, y, k, 1, 0.0, 8, False)
    return Featurized(kind, spec, vocabulary.tokens(), 0, batch, positions, vocabulary)
