"""Model folders and vocabularies that fuzzing (fuzz/pipeline_fuzzer.py) found mishandled, and
ombrel_learn's Python fuzz targets (the pipeline, the command line's data-file reader, the server's
request handling) replayed on their corpora, with checks that each judge still catches what it is for.

A damaged model folder must be refused with ModelFolderError (a ValueError), whatever its model.json
holds: before these were fixed, values of the wrong type surfaced as TypeError or OverflowError from
deep inside the loader, a deeply nested model.json as RecursionError, counts too large for memory as
the engine's PanicException or numpy's MemoryError, after trying to allocate for them.
"""
import collections
import json
import os

import numpy as np
import pytest

from ombrel_learn import ModelFolderError, OmbrelClassifier

from learn_support import make_corpus

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.path.join(ROOT, "fuzz", "corpus", "pipeline")
DATA_FILE_CORPUS = os.path.join(ROOT, "fuzz", "corpus", "data_file")
SERVER_CORPUS = os.path.join(ROOT, "fuzz", "corpus", "server")


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """Folders of a word model with the field's learner, a hashing model and a naive Bayes model."""
    train_x, train_y = make_corpus(20, 1)
    folders = {}
    for name, params in (("words", dict(features="words", learner="field")),
                         ("hashing", dict(features="words", buckets=64, learner="field")),
                         ("bayes", dict(features="chars", learner="naive_bayes"))):
        folder = tmp_path_factory.mktemp(name)
        OmbrelClassifier(**params).fit(train_x, train_y).save(folder)
        folders[name] = folder
    return folders


def rewrite(folder, change):
    path = folder / "model.json"
    original = path.read_text(encoding="utf-8")
    manifest = json.loads(original)
    change(manifest)
    path.write_text(json.dumps(manifest), encoding="utf-8")
    return original


@pytest.fixture
def damage(saved):
    """damage(name, change) -> the folder `name` with its model.json changed; restored afterwards."""
    restore = []

    def apply(name, change):
        folder = saved[name]
        restore.append((folder, rewrite(folder, change)))
        return folder

    yield apply
    for folder, text in reversed(restore):
        (folder / "model.json").write_text(text, encoding="utf-8")


def put(key, value, in_params=False):
    def change(manifest):
        (manifest["params"] if in_params else manifest)[key] = value
    return change


WRONG_TYPES = [
    ("weights", 5), ("weights", None), ("vocabulary", ["vocabulary.bin"]), ("vocabulary", 1.5),
    ("buckets", [1]), ("buckets", None),
    ("sensory_count", {}), ("sensory_count", "67"), ("motor_count", None), ("vocabulary_size", [0]),
    ("classes", 5), ("classes", {"a": 1}), ("classes", [["bird"], ["cat"], ["dog"]]),
    ("params", []), ("features", "xyz"), ("features", None),
]


@pytest.mark.parametrize("name", ["words", "hashing", "bayes"])
@pytest.mark.parametrize("key, value", WRONG_TYPES)
def test_values_of_the_wrong_type_are_a_damaged_folder(damage, name, key, value):
    with pytest.raises(ModelFolderError):
        OmbrelClassifier.load(damage(name, put(key, value)))


@pytest.mark.parametrize("name, key, value", [
    # the settings each feature kind reads when it is loaded: words, then character n-grams
    ("words", "stop_words", 5), ("words", "min_length", 2**70),
    ("words", "min_length", None),
    ("bayes", "ngram_range", [1, None]), ("bayes", "ngram_range", [1, 1e300]), ("bayes", "ngram_range", [4, 1]),
])
def test_damaged_settings_are_a_damaged_folder(damage, name, key, value):
    with pytest.raises(ModelFolderError, match="settings or classes are damaged"):
        OmbrelClassifier.load(damage(name, put(key, value, in_params=True)))


def test_a_deeply_nested_model_json_is_a_damaged_folder(saved):
    folder = saved["words"]
    path = folder / "model.json"
    original = path.read_text(encoding="utf-8")
    try:
        for text in ("[" * 200000 + "]" * 200000, '{"a":' * 200000 + "1" + "}" * 200000):
            path.write_text(text, encoding="utf-8")
            with pytest.raises(ModelFolderError, match="damaged"):
                OmbrelClassifier.load(folder)
    finally:
        path.write_text(original, encoding="utf-8")
    assert OmbrelClassifier.load(folder).classes_.size > 1


def test_counts_beyond_the_files_are_refused_before_anything_is_allocated(damage):
    def huge_hashing(manifest):
        manifest["buckets"] = 2**32 - 1 - manifest["motor_count"]
        manifest["sensory_count"] = 2**32 - 1  # 256 GiB of neurons for a 4 KiB weight file
    with pytest.raises(ModelFolderError, match="bytes"):
        OmbrelClassifier.load(damage("hashing", huge_hashing))

    def field_with_bias(manifest):
        manifest["bias_neurons"] = 2**31  # the field's learner has none; they would be an array
    with pytest.raises(ModelFolderError, match="bias neuron"):
        OmbrelClassifier.load(damage("words", field_with_bias))

    def wide_labels(manifest):
        manifest["classes_dtype"] = "<U100000000"  # 400 MB per label
    with pytest.raises(ModelFolderError, match="class type"):
        OmbrelClassifier.load(damage("words", wide_labels))

    def hashing_beyond_ids(manifest):
        manifest["buckets"] = 2**32 + 64  # bucket numbers are 32-bit ids
        manifest["sensory_count"] = manifest["buckets"] + manifest["motor_count"]
    with pytest.raises(ModelFolderError, match="below 2"):
        OmbrelClassifier.load(damage("hashing", hashing_beyond_ids))


def test_labels_of_a_wide_fixed_width_array_keep_their_type_through_a_folder(tmp_path):
    texts, labels = make_corpus(10, 3)
    wide = np.array(labels, dtype="<U50")
    clf = OmbrelClassifier(features="words").fit(texts, wide)
    clf.save(str(tmp_path / "wide"))
    loaded = OmbrelClassifier.load(str(tmp_path / "wide"))
    assert loaded.classes_.dtype == wide.dtype and loaded.predict(texts).tolist() == clf.predict(texts).tolist()


def test_the_undamaged_folders_still_load_and_predict(saved):
    test_x, _ = make_corpus(5, 2)
    for folder in saved.values():
        clf = OmbrelClassifier.load(folder)
        assert set(clf.predict(test_x).tolist()) <= set(clf.classes_.tolist())


@pytest.fixture(scope="module")
def harness(fuzz_target):
    return fuzz_target("pipeline_fuzzer")


def test_pipeline_corpus_replays_clean(harness):
    assert harness.replay([CORPUS]) == len(os.listdir(CORPUS))
    outcomes = harness._pipeline.outcomes
    # The corpus reaches every outcome: vocabularies refused and read, folders refused and loaded.
    assert {"vocabulary refused", "vocabulary read", "model refused", "model loaded"} <= set(outcomes)


def test_pipeline_harness_judges_loading(harness, monkeypatch):
    """The judge itself: a loader that raises anything but ValueError or OSError is a finding."""
    folders = harness.ModelFolders()

    def raising(error):
        def load(path):
            raise error
        return load

    for error in (TypeError("x"), RecursionError("x"), MemoryError(), KeyError("x")):
        monkeypatch.setattr(OmbrelClassifier, "load", raising(error))
        with pytest.raises(harness.Finding):
            folders.check(harness.Bytes(b"\x02" * 64), collections.Counter())
    for error, outcome in ((ModelFolderError("damaged"), "model refused"), (IsADirectoryError(21, "x"),
                                                                             "model IsADirectoryError")):
        monkeypatch.setattr(OmbrelClassifier, "load", raising(error))
        counter = collections.Counter()
        folders.check(harness.Bytes(b"\x02" * 64), counter)
        assert counter == {outcome: 1}


def test_native_counts_that_do_not_fit_are_refused_not_wrapped():
    """FeatureSpec and build_vocabulary read their counts with the argument parser's unsigned
    formats, which kept the low bits of any int: min_length 2**64 + 2 became 2, -1 the largest
    length, ngram_max 2**32 + 3 passed the 16 limit as 3, class_count 2**32 + 1 became 1."""
    from ombrel_learn import _native
    for kwargs in (dict(min_length=2**64), dict(min_length=2**64 + 2), dict(min_length=-1),
                   dict(ngram_min=1, ngram_max=2**32 + 3), dict(ngram_min=-1, ngram_max=2)):
        with pytest.raises(OverflowError):
            _native.FeatureSpec(None, False, **kwargs)
    longest = _native.FeatureSpec(None, False, 2**64 - 1)  # the largest that fits is taken as given
    assert _native.features(longest, "abc def") == []
    assert _native.features(_native.FeatureSpec(None, False, 1, True, 2, 2), "ab") == ["ab", " a", "ab", "b "]
    spec = _native.FeatureSpec(None, False, 1)
    for kwargs in (dict(class_count=2**32 + 1), dict(class_count=1, min_df=2**32), dict(class_count=1, max_classes=-1)):
        with pytest.raises(OverflowError):
            _native.build_vocabulary(spec, ["a b"], [0], **kwargs)
    vocabulary, documents, distinct = _native.build_vocabulary(spec, ["a b", "b c"], [0, 1], 2, min_df=2)
    assert vocabulary.tokens() == ["b"] and documents.to_lists() == [[0, 1], [0, 2]] and distinct == 3


@pytest.fixture(scope="module")
def data_file_harness(fuzz_target):
    return fuzz_target("data_file_fuzzer")


def test_data_file_corpus_replays_clean(data_file_harness):
    assert data_file_harness.replay([DATA_FILE_CORPUS]) == len(os.listdir(DATA_FILE_CORPUS))
    # The corpus reaches refused files, records read and well-formed files read back.
    assert {"error", "records", "well formed"} <= set(data_file_harness._files.outcomes)


def test_data_file_harness_judges_the_reader(data_file_harness, monkeypatch):
    """The judge itself: a reader that splits a line at a lone carriage return, lets a decoding error
    out without the file and line, or keeps a fastText label in the text is a finding."""
    from ombrel_learn import data
    files = data_file_harness.DataFiles()
    check = files.check
    check(b"spam\tfree\rprize\r\nham\thi\n", "utf-8", [2], False, None)  # sound as it is
    with monkeypatch.context() as m:
        m.setattr(data, "read_labelled_file", lambda path, encoding="utf-8": data.parse_lines(
            open(path, encoding=encoding, newline="").read().splitlines(), path))
        with pytest.raises(data_file_harness.Finding):
            check(b"spam\tfree\rprize\n", "utf-8", [], False, None)
        with pytest.raises(data_file_harness.Finding):
            check(b"ham\thi\nspam\tcaf\xe9\n", "utf-8", [], False, None)
    with pytest.raises(data_file_harness.Finding):
        files.check_record("spam", "free __label__spam")


@pytest.fixture(scope="module")
def server_harness(fuzz_target):
    return fuzz_target("server_fuzzer")


def test_server_corpus_replays_clean(server_harness):
    assert server_harness.replay([SERVER_CORPUS]) == len(os.listdir(SERVER_CORPUS))
    statuses = set(server_harness._server.outcomes)
    # Past the gate to every kind of answer: predictions and feedback, refusals of the gate
    # (Host or Origin, the token, the content type) and of the body.
    assert {200, 400, 401, 403, 404, 405, 413, 415, 422} <= statuses


def test_server_harness_judges_answers(server_harness):
    """The judge itself: a 500, an answer that is not JSON, and a write answered without the token are
    findings; a refusal with an error text is not."""
    server = server_harness.Server()
    app = server.apps[0]
    request = server_harness.Request(server_harness.Bytes(b""), app)
    request.method, request.path, request.hostile = "POST", "/feedback", ["a write without the token"]

    def answer(status, body):
        return [{"type": "http.response.start", "status": status,
                 "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]},
                {"type": "http.response.body", "body": body}]

    server.judge(app, request, answer(401, b'{"error": "needs the token"}'), False)
    # The page at / is HTML under its own policy; JSON there, or the page for a hostile request, is a finding.
    page = server_harness.Request(server_harness.Bytes(b""), app)
    page.method, page.path, page.hostile = "GET", "/", []
    with pytest.raises(server_harness.Finding):
        server.judge(app, page, answer(200, b'{"label": "cat"}'), False)
    for status, body in ((500, b'{"error": "internal error"}'), (401, b"no"), (200, b'{"label": "cat"}')):
        with pytest.raises(server_harness.Finding):
            server.judge(app, request, answer(status, body), False)
    with pytest.raises(server_harness.Finding):
        server.judge(app, request, [], False)  # no answer to a client that is still there
