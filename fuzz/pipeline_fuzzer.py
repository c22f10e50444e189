"""Fuzzes ombrel_learn's text pipeline and model folders from Python.

Each input is one of two things:
  - a vocabulary: bytes for Vocabulary.from_bytes (taken as they come, or made well formed from a few
    tokens and an optional word map, then damaged: a byte changed, cut short, bytes appended), then
    feature settings and texts for transform. Bytes are refused with ValueError or read back by
    to_bytes exactly; every token is found under its id; transform gives only ids below the
    vocabulary's size (or the bucket count), once each per text, and the same ids from a batch as
    from each text alone;
  - a model folder: one of a few folders saved by OmbrelClassifier (word features with the field's
    learner, character n-grams with a float learner, hashing), its model.json changed (keys removed,
    values replaced by other JSON values, or the whole text replaced by the input's bytes), its
    vocabulary and weight files damaged or removed, written to a temporary folder and loaded. Loading
    raises ValueError (ModelFolderError is one) or OSError, or gives a classifier whose predict and
    decision_function work on a few texts and answer with its own classes. A damaged weight file may
    hold a record of more than eight synapses, which the engine reports as an internal fault when
    prediction reads it; that fault is accepted there, and only when the weights were damaged.
Anything else is a finding; a crash or a sanitizer report ends the process. Native code runs with
the interpreter's lock released on the worker pool, so a hang shows up as a libFuzzer timeout.

Run it under atheris (the extensions built with -fsanitize=fuzzer-no-link, see fuzz/lib.sh):
    python fuzz/pipeline_fuzzer.py [libFuzzer flags] [corpus dirs]
or without atheris, on pseudo-random inputs or on the files of a corpus:
    python fuzz/pipeline_fuzzer.py --random N [--seed S]
    python fuzz/pipeline_fuzzer.py --replay DIR...
"""
import atexit
import collections
import copy
import json
import os
import shutil
import struct
import sys
import tempfile

import numpy as np

if __name__ == "__main__" and not {"--random", "--replay"} & set(sys.argv):
    # Coverage-guided: ombrel_learn's Python code (the model folder's checks) reports its branches
    # to libFuzzer too, beside the extensions' native counters.
    import atheris

    with atheris.instrument_imports(include=["ombrel_learn"]):
        from ombrel_learn import OmbrelClassifier, _native
        from ombrel_learn.base.exceptions import ModelFolderError
else:
    from ombrel_learn import OmbrelClassifier, _native
    from ombrel_learn.base.exceptions import ModelFolderError

import fuzz_input  # beside this file
from fuzz_input import Bytes, Finding


def text_of(raw):
    # Lone surrogates (from surrogateescape) cannot be encoded: keep the texts encodable, the
    # refusal of such texts is the surface's business.
    return raw.decode("utf-8", "replace")


TEXTS = ["the cats are running", "GPU prices keep falling", "", "über naïve ΑΣ", "dog dog dog barks",
         "x" * 40, "日本語のテキスト", "12 345 6789"]


def make_texts(b):
    texts = []
    for _ in range(1 + b.below(4)):
        texts.append(b.pick(TEXTS) if b.flag() else text_of(b.raw(48)))
    return texts


# --- vocabularies --------------------------------------------------------------------------------

def tokens_bytes(tokens):
    return (struct.pack("<I", len(tokens)) + b"".join(struct.pack("<I", len(t)) for t in tokens)
            + b"".join(tokens))


def make_vocabulary_bytes(b):
    """Well-formed vocabulary bytes (distinct tokens, maybe a word map), then maybe damaged."""
    tokens = []
    for _ in range(b.below(8)):
        t = b.pick([b"cat", b"dog", b"run", b" ca", b"at ", b"the", b""]) if b.flag() else b.raw(20)
        if t not in tokens:
            tokens.append(t)
    data = b"OLVOCAB1" + tokens_bytes(tokens)
    if b.flag():
        raw = []
        for _ in range(b.below(6)):
            t = b.pick([b"cats", b"running", b"dogs", b"the"]) if b.flag() else b.raw(12)
            if t not in raw:
                raw.append(t)
        targets = [0xFFFFFFFE if b.below(4) == 0 or not tokens else b.below(len(tokens) + 1) for _ in raw]
        digest = b.pick([0, 0x5354454D, 2**64 - 1]) if b.flag() else int.from_bytes(b.raw(8).ljust(8, b"\0"), "little")
        data += (b"RAWWORDS" + struct.pack("<Q", digest) + tokens_bytes(raw)
                 + b"".join(struct.pack("<I", t) for t in targets))
    damage = b.below(8)
    if damage == 1 and data:
        at = b.below(len(data))
        data = data[:at] + bytes([b.byte()]) + data[at + 1:]
    elif damage == 2:
        data = data[:b.below(len(data) + 1)]
    elif damage == 3:
        data += b.raw(12)
    elif damage == 4 and len(data) >= 12:
        # a count or length word made huge
        at = b.below(len(data) - 3)
        data = data[:at] + b.pick([b"\xff\xff\xff\xff", b"\xff\xff\xff\x7f", b"\x00\x00\x01\x00"]) + data[at + 4:]
    return data


def make_spec(b):
    stop = {text_of(b.raw(8)) for _ in range(b.below(3))} if b.flag() else None
    args = [stop, b.flag(), b.pick([0, 1, 2, 3, 2**64 - 1])]
    if b.flag():
        lo = b.below(5)
        args += [b.flag(), lo, lo + b.below(17 - lo)]
    return _native.FeatureSpec(*args)


def check_vocabulary(b, outcomes):
    data = b.rest() if b.below(4) == 0 else make_vocabulary_bytes(b)
    try:
        vocabulary = _native.Vocabulary.from_bytes(data)
    except ValueError as e:
        if not str(e).startswith("vocabulary data is damaged: "):
            raise Finding(f"from_bytes refused with an unexpected message: {e}") from e
        outcomes["vocabulary refused"] += 1
        return
    if vocabulary.to_bytes() != data:
        raise Finding("to_bytes does not give back the bytes from_bytes accepted")
    tokens = vocabulary.tokens()
    if len(tokens) != len(vocabulary):
        raise Finding("tokens() and len() disagree")
    for i, token in enumerate(tokens):
        try:
            token.encode("utf-8")
        except UnicodeEncodeError:
            continue  # bytes that are not UTF-8 cannot be asked for by a str
        if vocabulary.find(token) != i:
            raise Finding(f"token {i} is not found under its id")
    again = _native.Vocabulary.from_bytes(vocabulary.to_bytes())
    if again.tokens() != tokens:
        raise Finding("a second round trip changes the tokens")
    outcomes["vocabulary read"] += 1
    # Texts to ids with any settings.
    try:
        spec = make_spec(b)
    except ValueError:
        outcomes["spec refused"] += 1
        return
    texts = make_texts(b)
    for buckets in (0, b.pick([1, 7, 64, 2**22 + 1, 2**32 - 1])):
        space = buckets or len(vocabulary)
        batch = _native.transform(spec, vocabulary, buckets, texts)
        lists = batch.to_lists()
        if len(lists) != len(texts):
            raise Finding("transform gives one id list per text")
        for ids in lists:
            if any(i >= space for i in ids) or len(set(ids)) != len(ids):
                raise Finding(f"ids out of range or repeated: {ids} for {space}")
        alone = [_native.transform(spec, vocabulary, buckets, [t]).to_lists()[0] for t in texts]
        if alone != lists:
            raise Finding("a text alone gets other ids than in a batch")
        if buckets == 0 and texts:
            trailing = [b.below(1000) for _ in texts]
            with_trailing = _native.transform(spec, vocabulary, 0, texts, trailing).to_lists()
            if with_trailing != [ids + [t] for ids, t in zip(lists, trailing)]:
                raise Finding("trailing ids are not appended")


# --- model folders -------------------------------------------------------------------------------

TRAIN = [("cats purr and sleep all day", "cat"), ("the cat chased a mouse", "cat"),
         ("kittens and cats play", "cat"), ("dogs bark at the mailman", "dog"),
         ("the dog fetched a stick", "dog"), ("puppies and dogs run", "dog"),
         ("birds sing in the morning", "bird"), ("a bird built a nest", "bird")]
MODELS = [
    dict(features="words", learner="field", min_df=1),
    dict(features="chars", ngram_range=(1, 3), learner="naive_bayes", min_df=1, stop_words=None),
    dict(features="words", buckets=64, learner="field", stem=False),
    dict(features="words", learner="sgd", min_df=1, stop_words=["the", "a"]),
]

VALUES = [None, True, False, 0, 1, -1, 2, 3, 7, 64, 67, 2**31, 2**32, 2**57, 2**63, 2**64, -2**63, 10**30,
          0.5, 1e300, float("nan"), float("inf"), "", "words", "chars", "auto", "field", "naive_bayes",
          "sgd", "perceptron", "english", "<U4", "<i8", "|b1", "<f8", "O", "V8", "<U2000000000", "S1000000000",
          "M8[s]", "weights.bin", "vocabulary.bin", "model.json", ".", "..", "../x", "/", "nul\0.bin",
          "bad\udcff", [], [1, 2], ["a", "b"], ["cat", "cat"], [1, 4], [3, 1], [0, 17], {}, {"x": 1},
          [[1]], [None]]


class ModelFolders:
    """Saved model folders to damage, and a work folder to write the damaged ones to."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ombrel-pipeline-")
        atexit.register(shutil.rmtree, self.dir, ignore_errors=True)
        texts = [t for t, _ in TRAIN]
        labels = [c for _, c in TRAIN]
        self.templates = []
        for i, params in enumerate(MODELS):
            folder = os.path.join(self.dir, f"template-{i}")
            clf = OmbrelClassifier(**params).fit(texts, labels if i != 3 else [len(c) + (j % 2) for j, c in
                                                                             enumerate(labels)])
            clf.save(folder)
            with open(os.path.join(folder, "model.json"), encoding="utf-8") as f:
                manifest = json.load(f)
            files = {}
            for key in ("weights", "vocabulary"):
                if manifest[key] is not None:
                    with open(os.path.join(folder, manifest[key]), "rb") as f:
                        files[key] = f.read()
            self.templates.append((manifest, files))
        self.work = os.path.join(self.dir, "work")
        self.panic = None
        try:
            import ombrel  # noqa: PLC0415
            ombrel.OmbrelField(2**57, 1)
        except BaseException as e:  # noqa: BLE001 - finding the module's fault type
            self.panic = type(e)

    def value(self, b):
        choice = b.below(6)
        if choice == 0:
            return int.from_bytes(b.raw(8), "little", signed=True)
        if choice == 1:
            return text_of(b.raw(16))
        # A copy: the manifest is mutated further, and VALUES' lists and dicts must stay as they are
        # (a shared {} once became a "params" that held itself, and later inputs saw changed VALUES).
        return copy.deepcopy(b.pick(VALUES))

    def mutate_manifest(self, b, manifest):
        for _ in range(b.below(4)):
            where = manifest
            if b.below(4) == 0 and isinstance(manifest.get("params"), dict):
                where = manifest["params"]
            keys = sorted(where) + ["bogus"]
            key = b.pick(keys)
            if b.below(5) == 0:
                where.pop(key, None)
            elif key == "classes" and b.flag() and isinstance(where.get(key), list) and where[key]:
                where[key][b.below(len(where[key]))] = self.value(b)
            else:
                where[key] = self.value(b)

    @staticmethod
    def damage(b, data):
        choice = b.below(6)
        if choice == 1:
            return data[:b.below(len(data) + 1)]
        if choice == 2:
            return data[:len(data) // 64 * 64 - 64 * b.below(3)] if len(data) >= 192 else b""
        if choice == 3 and data:
            out = bytearray(data)
            for _ in range(1 + b.below(8)):
                out[b.below(len(out))] = b.byte()
            return bytes(out)
        if choice == 4:
            return data + b.raw(70)
        return data

    def check(self, b, outcomes):
        manifest, files = self.templates[b.below(len(self.templates))]
        manifest = json.loads(json.dumps(manifest))
        files = dict(files)
        shutil.rmtree(self.work, ignore_errors=True)
        os.mkdir(self.work)
        shape = b.below(8)
        if shape == 0:
            text = b.raw(200)
        elif shape == 1:
            depth = b.pick([2, 50, 2000, 200000])
            text = ("[" * depth + "]" * depth).encode() if b.flag() else ('{"a":' * depth + "1" + "}" * depth).encode()
        else:
            self.mutate_manifest(b, manifest)
            text = json.dumps(manifest, ensure_ascii=b.flag()).encode("utf-8", "surrogateescape")
        with open(os.path.join(self.work, "model.json"), "wb") as f:
            f.write(text)
        weights_damaged = False
        for key, name in (("weights", manifest.get("weights")), ("vocabulary", manifest.get("vocabulary"))):
            if key not in files:
                continue
            data = files[key]
            if b.below(3) == 0:
                damaged = self.damage(b, data)
                weights_damaged |= key == "weights" and damaged != data
                data = damaged
            if b.below(16) == 0:
                continue  # the file is missing
            if not isinstance(name, str) or not name or name != os.path.basename(name) or "\0" in name:
                name = self.templates[0][0][key] or "x.bin"
            try:
                with open(os.path.join(self.work, name), "wb") as f:
                    f.write(data)
            except (OSError, UnicodeEncodeError):
                pass  # a name the file system does not take: the loader finds it missing
        try:
            clf = OmbrelClassifier.load(self.work)
        except ModelFolderError:
            outcomes["model refused"] += 1
            return
        except (ValueError, OSError) as e:
            outcomes[f"model {type(e).__name__}"] += 1
            return
        except BaseException as e:  # noqa: BLE001 - everything else is judged here
            raise Finding(f"loading raised {type(e).__name__}: {e}") from e
        texts = make_texts(b)
        try:
            predicted = clf.predict(texts)
            potentials = clf.decision_function(texts)
        except BaseException as e:  # noqa: BLE001
            if weights_damaged and self.panic is not None and type(e) is self.panic:
                outcomes["model loaded, damaged record"] += 1
                return
            raise Finding(f"a loaded model's prediction raised {type(e).__name__}: {e}") from e
        classes = list(clf.classes_)
        if len(predicted) != len(texts) or any(p not in classes for p in predicted):
            raise Finding(f"predictions {predicted!r} are not among the classes {classes!r}")
        if np.asarray(potentials).shape != (len(texts), len(classes)):
            raise Finding(f"decision_function's shape {np.asarray(potentials).shape}")
        outcomes["model loaded"] += 1


class Pipeline:
    def __init__(self):
        self.folders = ModelFolders()
        self.outcomes = collections.Counter()
        self.calls = 0

    def one_input(self, data):
        b = Bytes(data)
        if b.below(2) == 0:
            check_vocabulary(b, self.outcomes)
        else:
            self.folders.check(b, self.outcomes)
        self.calls += 1


_pipeline = None


def test_one_input(data):
    global _pipeline
    if _pipeline is None:
        _pipeline = Pipeline()
    _pipeline.one_input(data)


def replay(paths):
    return fuzz_input.replay(paths, test_one_input)


def run_random(count, seed):
    fuzz_input.run_random(count, seed, 200, test_one_input)


def summary(seed, verbose):
    print(f"pipeline: {_pipeline.calls} inputs, random (seed {seed}), no finding")
    if verbose:
        for outcome, n in sorted(_pipeline.outcomes.items()):
            print(f"  {outcome:32} {n}")


def main(argv):
    fuzz_input.command_line(argv, "pipeline", test_one_input, 200, summary)


if __name__ == "__main__":
    main(sys.argv)
