"""fit on a training file larger than memory: passes over the file, a compact spill of token ids.

1. Scan: every line is parsed (a bad line fails here, naming file:line, before any training),
   the labels are counted and a uniform sample of the texts is kept (about SAMPLE_BYTES of text).
2. Choice: the estimator is fitted in memory on the sample; its features (kind and their
   settings), learner, alpha and predict_proba's temperature (per unit of score) are the model's.
3. Spill: each text is tokenized once and its ids written to one of `parts` files in a temporary
   folder (4 bytes an id, its length and class beside them), the part drawn at random: every part
   is a sample of the file, small enough to train from memory. Without buckets the ids number every
   token in the order first met, and the document frequencies are counted on the way; the
   vocabulary keeps those in at least min_df texts (in that order), renumbered when a part is read.
4. Training: naive Bayes adds the parts' counts (the in-memory model exactly: the same counts,
   the same vocabulary); SGD and the perceptron run one pass per part and epoch, the parts in a
   shuffled order, each pass continuing the last model (SGD's step schedule continues too); TF-IDF
   rows use the idf of the whole file. Above 8 classes the cut model's refit runs on the largest
   part (a random sample of the file). The field learner trains its margin passes part by part,
   each part's texts shuffled once.

Memory: the sample's fit, the token index (a Python dict: about 100 bytes a distinct token), the
model, and one part. The temporary folder is removed whatever happens (an exception, Ctrl-C).
"""

from __future__ import annotations

import dataclasses
import math
import os
import random
import shutil
import tempfile
from collections import Counter
from typing import Any, Iterator

import numpy as np

from . import _learners, _native, data
from .base import progress
from .learning import featurizing, learners, linear
from .learning.featurizing import DROPPED
from .learning.fitted_model import Model, compiled_model

# Text the choice's in-memory fit samples: that fit's peak is most of a streamed fit's working set
# (about 12 times its text, measured on a 50 MB file), and its choice picked what the fit of the
# whole file picks on 20 Newsgroups (15 MB); 16 MB of a 100 MB corpus picked character n-grams
# and naive Bayes where the whole file picked words and SGD (0.6 points better).
SAMPLE_BYTES = 32 << 20
# Ids per spilled part (4 bytes each; the text behind them is measured on the sample: about one id
# per 5 bytes for words, two per byte for character n-grams): a part is read, renumbered and
# trained from memory, a few times its ids at once.
PART_BYTES = 64 << 20
# A file whose text times this is more than half the memory available is streamed by `should_stream`
# (a fit in memory peaks at 4 to 12 times its file: the texts as Python strings, their ids, the
# choice's featurized samples).
MEMORY_PER_FILE_BYTE = 8
BATCH_BYTES = 8 << 20
# Open files (one per part) a streamed fit holds at most; beyond, its parts grow.
MAX_PARTS = 256


def should_stream(path: str) -> bool:
    """Whether `ombrel train` streams a file of this size by default: when a fit in memory would
    need more than half the memory available now (MEMORY_PER_FILE_BYTE per byte of the file)."""
    from .base.validation import available_memory
    try:
        size = os.path.getsize(path)
    except OSError:
        return False
    available = available_memory()
    return available is not None and size * MEMORY_PER_FILE_BYTE > available // 2


def add_arguments(train: Any) -> None:
    """`ombrel train`'s option --stream."""
    train.add_argument("--stream", choices=["auto", "yes", "no"], default="auto",
                       help="read the file in passes and train from a spill of token ids in a temporary folder, in "
                            "memory bounded by the model and vocabulary (auto: when a fit in memory would need more "
                            "than half the memory available; see docs/streaming.md)")


def wanted(args: Any) -> bool:
    """Whether `ombrel train` streams (--stream, and `should_stream` for auto)."""
    other = args.multilabel or args.autotune is not None or args.data == "-"
    if args.stream == "yes" and other:
        raise ValueError("--stream reads a file of single-label lines in passes: not with --multilabel, --autotune "
                         "or standard input")
    return not other and (args.stream == "yes" or (args.stream == "auto" and should_stream(args.data)))


def train(args: Any) -> int:
    """`ombrel train --stream`: the streamed fit, saved to the model folder (checked first)."""
    import sys
    import time

    from .store import folder as model_folder
    from .classifier import OmbrelClassifier
    model_folder.check_target(args.output)  # before the fit, not after it
    clf = OmbrelClassifier(features=args.features, learner=args.learner, alpha=args.alpha, epochs=args.epochs,
                           buckets=args.buckets, min_df=args.min_df, random_state=args.seed, verbose=True,
                           min_labels=args.min_labels)
    start = time.perf_counter()
    fit_file(clf, args.data, args.encoding)
    seconds = time.perf_counter() - start
    clf.set_params(verbose=False)  # the saved model is quiet when loaded; the command line turned it on
    clf.save(args.output)
    print(f"trained (streamed) on {getattr(clf, 'stream_report_')['texts']:,} texts, {len(clf.classes_)} classes, features "
          f"{clf.features_}, learner {clf.learner_}, {clf.n_features_:,} token neurons in {seconds:.2f} s; "
          f"saved to {args.output}", file=sys.stderr)
    return 0


def labelled_batches(path: str, encoding: str) -> Iterator[tuple[list[str], list[str]]]:
    """(texts, labels) of a file's labelled lines, batch by batch (a bad line: DataFormatError
    naming path:line)."""
    with open(path, "rb") as f:
        for first, lines in data.line_batches(f, path, encoding, BATCH_BYTES):
            texts, labels = _tab_lines(lines) or data.parse_lines(lines, path, first)
            if texts:
                yield texts, labels


def _tab_lines(lines: list[str]) -> tuple[list[str], list[str]] | None:
    """(texts, labels) of `label<TAB>text` lines without a `__label__` anywhere, as data.parse_lines
    reads them; None where that reader must decide (a fastText label, a blank or a bad line)."""
    if any(data.FASTTEXT_PREFIX in line for line in lines):
        return None
    texts: list[str] = []
    labels: list[str] = []
    for line in lines:
        label, tab, text = line.partition("\t")
        if not tab or not label.strip():
            return None
        labels.append(label)
        texts.append(text)
    return texts, labels


@dataclasses.dataclass
class Scan:
    texts: int
    text_bytes: int
    label_counts: Counter[str]
    sample_texts: list[str]
    sample_labels: list[str]


def scan(path: str, encoding: str, seed: int | None, sample_bytes: int = SAMPLE_BYTES) -> Scan:
    """Pass 1: every line checked, the labels counted, a uniform sample kept (each text with the
    probability sample_bytes / the file's size)."""
    rng = np.random.default_rng(None if seed is None else [int(seed), 1])
    share = sample_bytes / max(1, os.path.getsize(path))
    counts: Counter[str] = Counter()
    sample_texts: list[str] = []
    sample_labels: list[str] = []
    n = total = 0
    for texts, labels in labelled_batches(path, encoding):
        counts.update(labels)
        n += len(texts)
        total += sum(map(len, texts)) + len(texts)
        if share >= 1:
            sample_texts += texts
            sample_labels += labels
        else:
            for i in np.flatnonzero(rng.random(len(texts)) < share).tolist():
                sample_texts.append(texts[i])
                sample_labels.append(labels[i])
    return Scan(n, total, counts, sample_texts, sample_labels)


class Spill:
    """The texts' ids in `parts` files: per part, records of the texts a batch sent there, each
    (texts, ids, each text's id count, each text's class, the ids), all uint32. The files are made
    in a temporary folder and unlinked at once, folder and all: they live as long as this process
    holds them open, so not even a process killed with SIGKILL leaves them behind."""

    def __init__(self, parts: int, folder: str | None = None):
        self.parts = parts
        self.rows = [0] * parts
        self.files: list[Any] = []
        made = tempfile.mkdtemp(prefix="ombrel-spill-", dir=folder)
        try:
            for p in range(parts):
                name = os.path.join(made, str(p))
                self.files.append(open(name, "w+b"))
                os.unlink(name)
        except BaseException:
            self.close()
            raise
        finally:
            shutil.rmtree(made, ignore_errors=True)

    def __enter__(self) -> "Spill":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        for handle in self.files:
            handle.close()
        self.files = []

    def write(self, path: str, encoding: str, spec: _native.FeatureSpec, buckets: int, index: dict[str, int],
              seed: int | None) -> tuple[list[str] | None, np.ndarray]:
        """Pass 2: every text's ids to a random part, each text tokenized once: (the tokens by id,
        in the order first met (None in hashing mode, where ids are buckets), the document frequency
        of each id). Without buckets the ids are of every token: the vocabulary's pruning renumbers
        them when a part is read."""
        df = np.zeros(buckets or 1 << 16, dtype=np.int64)
        ids_of: dict[str, int] = {}
        rng = np.random.default_rng(None if seed is None else [int(seed), 2])
        for texts, labels in labelled_batches(path, encoding):
            y = np.asarray([index[label] for label in labels], dtype=np.uint32)
            if buckets:
                ids, offsets = linear.id_arrays(featurizing.transform(spec, None, buckets, texts))
            else:
                local, batch, _ = featurizing.build_vocabulary(spec, texts, [0] * len(texts), 1, 1, 0.0, 8, False)
                local_ids, offsets = linear.id_arrays(batch)
                tokens = local.tokens()
                to_global = np.empty(len(tokens), dtype=np.uint32)
                for i, token in enumerate(tokens):
                    found = ids_of.get(token)
                    if found is None:
                        found = ids_of[token] = len(ids_of)
                    to_global[i] = found
                ids = to_global[local_ids]
                if len(ids_of) > len(df):
                    df = np.concatenate([df, np.zeros(max(len(df), len(ids_of) - len(df)), dtype=np.int64)])
            first = featurizing.first_presentations(ids, offsets)
            df += np.bincount(ids[first], minlength=len(df))
            lengths = np.diff(offsets).astype(np.uint32)
            where = rng.integers(0, self.parts, len(texts))
            order = np.argsort(where, kind="stable")  # the texts part by part, each part's in file order
            gathered = _learners.gather_rows(ids, np.asarray(offsets, dtype=np.uint64), order.astype(np.uint64))
            part_ids, part_offsets = np.asarray(gathered[0]), np.asarray(gathered[1])
            counts = np.bincount(where, minlength=self.parts)
            starts = np.concatenate([[0], np.cumsum(counts)])
            for p in np.flatnonzero(counts).tolist():
                first_row, end_row = int(starts[p]), int(starts[p + 1])
                rows = order[first_row:end_row]
                begin, end = int(part_offsets[first_row]), int(part_offsets[end_row])
                header = np.asarray([end_row - first_row, end - begin], dtype=np.uint32)
                self.files[p].write(np.concatenate([header, lengths[rows], y[rows], part_ids[begin:end]]).tobytes())
                self.rows[p] += end_row - first_row
        if buckets:
            return None, df
        return list(ids_of), df[:len(ids_of)]

    def part(self, p: int, renumber: np.ndarray | None = None, order: np.ndarray | None = None,
             probes: int | None = None) -> tuple[tuple[np.ndarray, np.ndarray], np.ndarray]:
        """((ids, offsets uint64), classes) of part p, read into memory: its texts in `order` (None:
        as written), id f written as renumber[f] (left out where that is DROPPED); with `probes`,
        each text ends with id probes + its class (the field learner's margin probe)."""
        handle = self.files[p]
        handle.flush()
        handle.seek(0)
        records = np.fromfile(handle, dtype=np.uint32)
        handle.seek(0, os.SEEK_END)
        pieces: list[list[np.ndarray]] = [[], [], []]
        at = 0
        while at < len(records):
            rows, count = int(records[at]), int(records[at + 1])
            at += 2
            for piece, size in zip(pieces, (rows, rows, count)):
                piece.append(records[at:at + size])
                at += size
        lengths, y, ids = (np.concatenate(piece) if piece else np.zeros(0, np.uint32) for piece in pieces)
        del records
        offsets: Any = np.zeros(len(lengths) + 1, dtype=np.uint64)
        np.cumsum(lengths, out=offsets[1:])
        if renumber is not None or order is not None:
            picked = np.arange(len(y), dtype=np.uint64) if order is None else order.astype(np.uint64)
            gathered = _learners.gather_rows(ids, offsets, picked, renumber)
            ids, offsets = np.asarray(gathered[0]), np.asarray(gathered[1])
            if order is not None:
                y = y[order]
        if probes is not None:
            with_probe = np.empty(len(ids) + len(y), dtype=np.uint32)
            offsets = offsets + np.arange(len(y) + 1, dtype=np.uint64)
            last = (offsets[1:] - 1).astype(np.int64)
            mask = np.ones(len(with_probe), dtype=bool)
            mask[last] = False
            with_probe[mask] = ids
            with_probe[last] = probes + y
            ids = with_probe
        return (ids, offsets), y


class _Part:
    """One part's ids as train_passes reads an IdBatch: the ids' buffer and `offsets` bytes."""

    def __init__(self, ids: np.ndarray, offsets: np.ndarray):
        self.ids = ids
        self.offsets = offsets.tobytes()

    def __buffer__(self, flags: int) -> memoryview:
        return memoryview(self.ids)


def _train_float(settings: Any, learner: str, alpha: float | None, spill: Spill, renumber: np.ndarray | None,
                 df: np.ndarray, texts: int, features: int, k: int, epochs: int, seed: int | None
                 ) -> linear.LinearModel:
    """The float model of the spilled parts (df: the document frequency of each kept feature)."""
    if learner == "naive_bayes":
        counts = None
        for p in range(spill.parts):
            ids, y = spill.part(p, renumber)
            if len(y):
                part = linear.count_naive_bayes(ids, y, features, k)
                counts = part if counts is None else counts + part
        assert counts is not None
        return counts.to_model(1.0 if alpha is None else float(alpha))
    weighted = settings.weighting != "binary"
    scale = None
    if weighted:
        idf = (np.log((1.0 + texts) / (1.0 + df.astype(np.float64))) + 1.0).astype(np.float32)
        scale = idf / np.float32(learners.BIAS_FEATURE)
    model: linear.LinearModel | None = None
    order = random.Random(seed)
    step = 0
    for epoch in range(epochs):
        parts = list(range(spill.parts))
        order.shuffle(parts)
        for i, p in enumerate(parts):
            ids, y = spill.part(p, renumber)
            if not len(y):
                continue
            extra: dict[str, Any] = {}
            if weighted:
                assert scale is not None
                norms = linear.row_norms(ids, idf, extra=learners.BIAS_FEATURE)
                extra = dict(feature_scale=scale, row_scale=np.float32(learners.BIAS_FEATURE) / norms,
                             intercept_by_row=True)
            part_seed = None if seed is None else int(seed) + epoch * spill.parts + i
            if learner == "sgd":
                model = linear.fit_sgd(ids, y, features, k, loss=settings.loss,
                                       alpha=learners.SGD_ALPHA if alpha is None else float(alpha), epochs=1,
                                       class_weight=learners.class_weights(settings), random_state=part_seed,
                                       initial=model, first_step=step, **extra)
            else:
                model = linear.fit_perceptron(ids, y, features, k, epochs=1, random_state=part_seed,
                                              initial=model, **extra)
            step += len(y)
    assert model is not None
    if weighted:
        assert scale is not None
        weights = model.weights
        if weights.flags.writeable:  # in place: the float model is the largest thing held here
            weights *= scale[:, None]
        else:
            weights = weights * scale[:, None]
        model = linear.LinearModel(weights, model.bias)
    if k > linear.FIELD_SLOTS:  # the cut model's refit (linear.refit_cut), on the largest part (a random sample)
        largest = int(np.argmax(spill.rows))
        (tokens, offsets), y = spill.part(largest, renumber)
        cut = linear.cut_to_slots(model)
        del model  # the float model and its cut copy are the largest things held here: one at a time
        seed = settings.random_state
        seed = int(np.random.SeedSequence().generate_state(2, np.uint32).view(np.uint64)[0]) if seed is None else (
            int(seed) % 2**64)
        refit = _learners.refit_cut(tokens, offsets, y, cut.weights, cut.bias, 2, 0.1, 3.0, seed, None)
        return linear.LinearModel(np.asarray(refit[0]), np.asarray(refit[1]))
    return model


def fit_file(estimator: Any, path: str, encoding: str = "utf-8", *, sample_bytes: int = SAMPLE_BYTES,
             part_bytes: int = PART_BYTES, spill_folder: str | None = None) -> Any:
    """Fits `estimator` (an OmbrelClassifier) on the labelled lines of the file at `path`
    (label<TAB>text or __label__X text, as `ombrel train` reads them) in memory bounded by the model
    and its vocabulary, not by the file (see the module's docstring and docs/streaming.md); returns
    it. A bad line fails before any training, naming path:line. class_weight is not applied here,
    nor sample weights. sample_bytes: text the choice samples; part_bytes: ids per spilled part;
    spill_folder: where the temporary folder goes (default: TMPDIR)."""
    settings = estimator._check_settings()
    if settings.class_weight is not None:
        raise ValueError("class_weight is not applied by a streamed fit; fit the texts in memory, or leave it None")
    verbose = bool(settings.verbose)
    with progress.phase(verbose, "reading and checking the file"):
        found = scan(path, encoding, settings.random_state, sample_bytes)
    if found.texts == 0:
        raise ValueError(f"{path} holds no labelled lines (an empty training set)")
    classes = np.asarray(sorted(found.label_counts))
    if len(classes) < 2:
        raise ValueError(f"fit needs at least two classes; {path} holds only {classes.tolist()!r}")
    index = {str(label): i for i, label in enumerate(classes.tolist())}
    k = len(classes)
    # The choice, on the sample: the features, learner and alpha of the model, and its temperature.
    chooser = type(estimator)(**estimator.get_params())
    chooser.set_params(verbose=False)
    with progress.phase(verbose, f"choosing on a sample of {len(found.sample_texts):,} texts"):
        chooser.fit(found.sample_texts, found.sample_labels)
    chosen: Model = chooser._fitted()
    missing = set(classes.tolist()) - set(chosen.classes.tolist())
    measured = found.sample_texts[:5000]
    ids_per_byte = linear.id_arrays(featurizing.transform(chosen.spec, None, 1 << 20, measured))[0].size / max(
        1, sum(map(len, measured)) + len(measured))
    del found.sample_texts[:], found.sample_labels[:], measured
    learner, alpha = chosen.learner, chooser.alpha_
    per_unit = None if chosen.temperature is None else chosen.temperature / chosen.units()
    if missing:  # a class too rare for the sample: the choice stands, the temperature is the default
        per_unit = None
    spec, buckets, kind, feature_params = chosen.spec, int(chosen.buckets), chosen.kind, chosen.feature_params
    field_learner = learner == "field"
    min_df = int(settings.min_df)
    del chooser, chosen
    parts = min(MAX_PARTS, max(1, math.ceil(found.text_bytes * ids_per_byte * 4 / max(1, part_bytes))))
    epochs = int(settings.epochs)
    with Spill(parts, spill_folder) as spill:
        with progress.phase(verbose, f"tokenizing into {parts} parts"):
            tokens, df = spill.write(path, encoding, spec, buckets, index, settings.random_state)
        vocabulary = renumber = None
        if tokens is not None:  # the vocabulary: the tokens in at least min_df texts, in the order first met
            keep = df >= max(1, min_df)
            renumber = np.where(keep, np.cumsum(keep, dtype=np.int64) - 1, DROPPED).astype(np.uint32)
            vocabulary = _native.Vocabulary.from_tokens([tokens[i] for i in np.flatnonzero(keep).tolist()])
            df = df[keep]
            del tokens
        features = buckets or len(vocabulary or ())
        with progress.phase(verbose, "training"):
            if field_learner:
                model = Model(kind, spec, vocabulary, buckets, classes, learners.new_field(settings, features, k))
                quiet = dataclasses.replace(settings.resolved(), verbose=False)
                for _ in range(epochs):
                    for p in range(spill.parts):
                        # A part keeps the file's order: shuffled, the same way each epoch.
                        rows = np.random.default_rng(None if settings.random_state is None else
                                                     [int(settings.random_state), 3, p]).permutation(spill.rows[p])
                        (ids, offsets), y = spill.part(p, renumber, rows, features)
                        if len(y):
                            part: Any = _Part(ids, offsets)  # read as an IdBatch is
                            learners.train_passes(quiet, model.field, part, y.tolist(), 1)
            else:
                float_model = _train_float(settings.resolved(), learner, alpha, spill, renumber, df, found.texts,
                                           features, k, epochs, settings.random_state)
                model = compiled_model(kind, spec, vocabulary, buckets, classes, float_model, learner)
    model.feature_params = feature_params
    if per_unit is not None:
        model.temperature = per_unit * model.units()
    for name in ("feature_scores_", "selection_scores_", "selection_rows_", "selection_paired_",
                 "autotune_report_", "_stream_counts"):
        estimator.__dict__.pop(name, None)
    estimator._set_model(model)
    estimator.alpha_ = alpha
    estimator.stream_report_ = {"texts": found.texts, "parts": parts, "sample_bytes": sample_bytes}
    return estimator
