"""OmbrelClassifier: fitting, predicting, parameters, persistence, pickling, threads, bad input."""

import json
import os
import pickle
import threading

import numpy as np
import pytest

from ombrel_learn import ModelFolderError, NotFittedError, OmbrelClassifier
from ombrel_learn.store import folder as model_folder, manifest as model_manifest

from learn_support import make_corpus


def fitted(corpus, **params):
    train_x, train_y, _, _ = corpus
    return OmbrelClassifier(**params).fit(train_x, train_y)


@pytest.mark.parametrize("params", [{}, {"features": "words"}, {"features": "chars"},
                                    {"buckets": 4096}, {"features": "chars", "buckets": 1 << 23}])
def test_learns_a_separable_corpus(corpus, params):
    train_x, train_y, test_x, test_y = corpus
    clf = OmbrelClassifier(**params)
    assert clf.fit(train_x, train_y) is clf
    assert clf.classes_.tolist() == ["food", "space", "sport"]
    predicted = clf.predict(test_x)
    assert isinstance(predicted, np.ndarray) and predicted.dtype == clf.classes_.dtype
    assert clf.score(test_x, test_y) == 1.0
    assert clf.features_ in ("words", "chars")


def test_inputs_of_every_sequence_kind_and_int_labels(corpus):
    train_x, train_y, test_x, test_y = corpus
    codes = {"food": 10, "space": 20, "sport": 30}
    y = np.array([codes[l] for l in train_y])
    reference = OmbrelClassifier(features="words").fit(train_x, y)
    assert reference.classes_.tolist() == [10, 20, 30]
    expected = reference.predict(test_x)
    assert expected.tolist() == [codes[l] for l in test_y]
    for X in (tuple(train_x), np.array(train_x), iter(train_x)):
        clf = OmbrelClassifier(features="words").fit(X, list(y))
        assert clf.predict(np.array(test_x)).tolist() == expected.tolist()
        assert clf.predict(tuple(test_x)).tolist() == expected.tolist()
    pandas = pytest.importorskip("pandas")
    clf = OmbrelClassifier(features="words").fit(pandas.Series(train_x), pandas.Series(y))
    assert clf.predict(pandas.Series(test_x)).tolist() == expected.tolist()


def test_params_round_trip_and_refuse_unknown_names():
    clf = OmbrelClassifier(epochs=2, features="chars")
    params = clf.get_params()
    assert params["epochs"] == 2 and params["features"] == "chars" and "margin" in params
    assert OmbrelClassifier(**params).get_params() == params
    assert clf.set_params(epochs=3) is clf and clf.epochs == 3
    with pytest.raises(ValueError, match="Invalid parameter 'epoch'"):
        clf.set_params(epoch=3)
    assert "epochs=3" in repr(clf)


def test_works_with_scikit_learn_tools(corpus):
    sklearn = pytest.importorskip("sklearn")
    from sklearn.base import clone, is_classifier
    from sklearn.model_selection import GridSearchCV, cross_val_score
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import FunctionTransformer
    train_x, train_y, test_x, test_y = corpus
    clf = OmbrelClassifier(epochs=2)
    assert is_classifier(clf)
    copy = clone(clf)
    assert copy is not clf and copy.get_params() == clf.get_params()
    pipe = Pipeline([("lower", FunctionTransformer(lambda xs: [x.lower() for x in xs])),
                     ("clf", OmbrelClassifier(features="words"))])
    assert pipe.fit(train_x, train_y).score(test_x, test_y) == 1.0
    scores = cross_val_score(OmbrelClassifier(features="words"), np.array(train_x), np.array(train_y), cv=3)
    assert len(scores) == 3 and min(scores) > 0.9
    search = GridSearchCV(OmbrelClassifier(features="words"), {"epochs": [1, 2]}, cv=2)
    search.fit(np.array(train_x), np.array(train_y))
    assert search.best_params_["epochs"] in (1, 2)
    assert sklearn is not None


def test_partial_fit_learns_a_stream(corpus):
    train_x, train_y, test_x, test_y = corpus
    clf = OmbrelClassifier(buckets=1 << 16, features="words")
    for start in range(0, len(train_x), 15):
        clf.partial_fit(train_x[start:start + 15], train_y[start:start + 15],
                        classes=["food", "space", "sport"] if start == 0 else None)
    for _ in range(3):
        clf.partial_fit(train_x, train_y)
    assert clf.score(test_x, test_y) == 1.0
    with pytest.raises(ValueError, match="not in classes.*'music'"):
        clf.partial_fit(["a song"], ["music"])
    with pytest.raises(ValueError, match="must name every class"):
        OmbrelClassifier().partial_fit(train_x, train_y)
    with pytest.raises(ValueError, match="not in classes"):
        OmbrelClassifier().partial_fit(train_x, train_y, classes=["food", "space"])


def test_bad_training_input_raises_before_anything_is_fitted(corpus):
    train_x, train_y, _, _ = corpus
    clf = OmbrelClassifier()
    with pytest.raises(ValueError, match="different lengths: 60 texts, 59 labels"):
        clf.fit(train_x, train_y[:-1])
    with pytest.raises(ValueError, match="empty training set"):
        clf.fit([], [])
    with pytest.raises(ValueError, match="at least two classes"):
        clf.fit(train_x, ["one"] * len(train_x))
    for bad, name in ((b"bytes", "bytes"), (None, "None"), (7, "int")):
        with pytest.raises(TypeError, match=f"text 5 is {name}, not str"):
            clf.fit(train_x[:5] + [bad] + train_x[6:], train_y)
    with pytest.raises(TypeError, match="not a single str"):
        clf.fit("one text", ["a"])
    with pytest.raises(ValueError, match="features must be one of"):
        OmbrelClassifier(features="bigrams").fit(train_x, train_y)
    with pytest.raises(ValueError, match="epochs"):
        OmbrelClassifier(epochs=0).fit(train_x, train_y)
    assert not hasattr(clf, "classes_")
    with pytest.raises(NotFittedError):
        clf.predict(["anything"])


def test_not_fitted_follows_scikit_learns_convention():
    clf = OmbrelClassifier()
    for call in (lambda: clf.predict(["x"]), lambda: clf.score(["x"], ["a"]), lambda: clf.save("never")):
        with pytest.raises(NotFittedError) as info:
            call()
        assert isinstance(info.value, ValueError) and isinstance(info.value, AttributeError)
    sklearn_exceptions = pytest.importorskip("sklearn.exceptions")
    with pytest.raises(sklearn_exceptions.NotFittedError):
        clf.predict(["x"])
    assert not os.path.exists("never")


def test_predict_refuses_bad_texts(corpus):
    clf = fitted(corpus, features="words")
    with pytest.raises(TypeError, match="text 1 is bytes"):
        clf.predict(["fine", b"bytes"])
    with pytest.raises(TypeError, match="single str"):
        clf.predict("a single text")
    assert clf.predict([]).tolist() == []


def test_save_and_load_map_the_same_model(corpus, tmp_path):
    _, _, test_x, _ = corpus
    clf = fitted(corpus, features="chars")
    clf.save(tmp_path / "model")
    loaded = OmbrelClassifier.load(tmp_path / "model")
    assert loaded.predict(test_x).tolist() == clf.predict(test_x).tolist()
    assert loaded.get_params() == clf.get_params()
    assert loaded.features_ == clf.features_
    manifest = json.loads((tmp_path / "model" / "model.json").read_text())
    assert manifest["format_version"] == model_manifest.FORMAT_VERSION
    hashed = fitted(corpus, buckets=1000)
    hashed.save(tmp_path / "hashed")
    assert OmbrelClassifier.load(tmp_path / "hashed").predict(test_x).tolist() == hashed.predict(test_x).tolist()


def test_saving_over_a_loaded_model_leaves_it_working(corpus, tmp_path):
    train_x, train_y, test_x, _ = corpus
    folder = tmp_path / "model"
    fitted(corpus, features="words").save(folder)
    loaded = OmbrelClassifier.load(folder)
    before = loaded.predict(test_x).tolist()
    other = OmbrelClassifier(features="chars").fit(train_x, [y if y != "food" else "cooking" for y in train_y])
    other.save(folder)
    loaded.save(folder)  # the loaded model saved over its own folder, while mapping it
    other.save(folder)
    assert loaded.predict(test_x).tolist() == before
    assert OmbrelClassifier.load(folder).predict(test_x).tolist() == other.predict(test_x).tolist()
    assert sorted(os.listdir(folder)) == sorted(
        ["model.json", json.loads((folder / "model.json").read_text())["weights"],
         json.loads((folder / "model.json").read_text())["vocabulary"]])


def test_a_save_that_fails_leaves_the_old_model(corpus, tmp_path, monkeypatch):
    _, _, test_x, _ = corpus
    folder = tmp_path / "model"
    old = fitted(corpus, features="words")
    old.save(folder)
    files = sorted(os.listdir(folder))

    def crash(path, data):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(model_folder, "_write_synced", crash)
    with pytest.raises(OSError, match="No space"):
        fitted(corpus, features="chars").save(folder)
    assert sorted(os.listdir(folder)) == files
    assert OmbrelClassifier.load(folder).predict(test_x).tolist() == old.predict(test_x).tolist()


def test_damaged_model_folders_are_refused(corpus, tmp_path):
    with pytest.raises(FileNotFoundError):
        OmbrelClassifier.load(tmp_path / "missing")
    (tmp_path / "empty").mkdir()
    with pytest.raises(ModelFolderError, match="model.json is missing"):
        OmbrelClassifier.load(tmp_path / "empty")
    folder = tmp_path / "model"
    fitted(corpus, features="words").save(folder)
    manifest_path = folder / "model.json"
    manifest = json.loads(manifest_path.read_text())

    def damaged(change):
        m = json.loads(json.dumps(manifest))
        change(m)
        manifest_path.write_text(json.dumps(m))
        return folder

    with pytest.raises(ModelFolderError, match="format version 99"):
        OmbrelClassifier.load(damaged(lambda m: m.update(format_version=99)))
    with pytest.raises(ModelFolderError, match="vocabulary holds"):
        OmbrelClassifier.load(damaged(lambda m: m.update(vocabulary_size=m["vocabulary_size"] + 1)))
    with pytest.raises(ModelFolderError, match="is missing"):
        OmbrelClassifier.load(damaged(lambda m: m.update(weights="weights-gone.bin")))
    manifest_path.write_text("{not json")
    with pytest.raises(ModelFolderError, match="damaged"):
        OmbrelClassifier.load(folder)
    manifest_path.write_text(json.dumps(manifest))
    weights = folder / manifest["weights"]
    weights.write_bytes(weights.read_bytes()[:-64])
    with pytest.raises(ModelFolderError, match="need"):
        OmbrelClassifier.load(folder)
    vocabulary = folder / manifest["vocabulary"]
    vocabulary.write_bytes(vocabulary.read_bytes()[:-3])
    with pytest.raises(ModelFolderError, match="damaged"):
        OmbrelClassifier.load(folder)


def test_pickling_keeps_the_model(corpus):
    _, _, test_x, _ = corpus
    for clf in (fitted(corpus, features="chars"), fitted(corpus, buckets=512), OmbrelClassifier(epochs=2)):
        copy = pickle.loads(pickle.dumps(clf))
        assert copy.get_params() == clf.get_params()
        if hasattr(clf, "classes_"):
            assert copy.predict(test_x).tolist() == clf.predict(test_x).tolist()
            assert copy.classes_.tolist() == clf.classes_.tolist()
        else:
            with pytest.raises(NotFittedError):
                copy.predict(test_x)


def test_prediction_from_many_threads_gives_the_same_answers():
    texts, labels = make_corpus(60, 3)
    clf = OmbrelClassifier(features="words").fit(texts, labels)
    test, _ = make_corpus(40, 4)
    expected = clf.predict(test).tolist()
    results = {}
    errors = []

    def work(k):
        try:
            out = []
            for _ in range(20):
                out.append(clf.predict(test).tolist())
                out.append([clf.predict([t])[0] for t in test[k::8]])
            results[k] = out
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k, out in results.items():
        for i, answer in enumerate(out):
            assert answer == (expected if i % 2 == 0 else expected[k::8])



def test_potentials_read_while_another_thread_trains_are_the_texts_own():
    """partial_fit drives the field's running potentials as decision_function does: the two take
    turns, so a text of unknown words still reads all zeros while training runs beside it."""
    import sys
    import time
    texts, labels = make_corpus(60, 3)
    clf = OmbrelClassifier(learner="field", features="words").partial_fit(texts, labels, classes=sorted(set(labels)))
    stop = threading.Event()
    errors = []
    passes = [0]

    def train():
        try:
            while not stop.is_set():
                clf.partial_fit(texts, labels)
                passes[0] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    trainer = threading.Thread(target=train)
    trainer.start()
    try:
        checks, end = 0, time.monotonic() + 10
        while (passes[0] < 300 or checks < 50000) and time.monotonic() < end:
            assert not clf.decision_function(["qqqzz xxyyq"]).any()
            checks += 1
    finally:
        stop.set()
        trainer.join()
        sys.setswitchinterval(interval)
    assert not errors

RECIPE_EQUALITY = r"""
import sys
sys.path.insert(0, sys.argv[1])
import recipe
from ombrel_learn import OmbrelClassifier
from learn_support import read_tsv

for name, kind, limit in (("20newsgroups", "words", 3000), ("lang_id_tatoeba", "chars", 6000)):
    texts, labels = read_tsv(name, limit=limit)
    train_x, train_y, test_x = texts[:limit * 3 // 4], labels[:limit * 3 // 4], texts[limit * 3 // 4:]
    rc = recipe.Recipe()
    featurize = recipe.FEATURE_SETS[kind]
    classes = sorted(set(train_y))
    tokens, y = recipe.shuffled(rc.seed, [featurize(t) for t in train_x], [classes.index(l) for l in train_y])
    vocabulary = recipe.Vocabulary.build(tokens, y, len(classes), rc.min_df, rc.coverage)
    field = recipe.new_field(len(vocabulary), len(classes), rc.margin)
    recipe.train(field, len(vocabulary), [vocabulary.ids(t) for t in tokens], y, rc)
    expected = [classes[w] for w in field.predict_batch([vocabulary.ids(featurize(t)) for t in test_x])]
    clf = OmbrelClassifier(features=kind, learner="field", marks=False).fit(train_x, train_y)
    assert clf.predict(test_x).tolist() == expected, name
print("same")
"""


def test_one_worker_reproduces_the_low_level_recipe_exactly(tmp_path):
    """With one worker, training is sequential, and the classifier must give exactly the answers of
    examples/recipe.py (same features, vocabulary, probes, chunks and passes; only the ids differ)."""
    import subprocess
    import sys
    from learn_support import read_tsv
    read_tsv("20newsgroups", limit=1)  # skips without the datasets
    examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
    result = subprocess.run([sys.executable, "-c", RECIPE_EQUALITY, examples], capture_output=True, text=True,
                            timeout=300, cwd=os.path.dirname(__file__),
                            env=dict(os.environ, RAYON_NUM_THREADS="1",
                                     PYTHONPATH=os.pathsep.join(filter(None, (os.path.dirname(__file__),
                                                                                os.environ.get("PYTHONPATH"))))))
    assert result.stdout.strip() == "same", result.stdout + result.stderr


def test_fitting_twice_gives_the_same_model_whatever_the_pool():
    from learn_support import read_tsv
    texts, labels = read_tsv("20newsgroups", limit=2500)
    first = OmbrelClassifier(features="words", learner="field").fit(texts[:2000], labels[:2000]).predict(texts[2000:])
    again = OmbrelClassifier(features="words", learner="field").fit(texts[:2000], labels[:2000]).predict(texts[2000:])
    assert first.tolist() == again.tolist()
    other_seed = OmbrelClassifier(features="words", learner="field", random_state=1).fit(texts[:2000], labels[:2000])
    assert other_seed.predict(texts[2000:]).tolist() != first.tolist()  # the shuffle matters


def test_large_inputs_are_predicted_in_blocks_with_the_same_answers(corpus):
    from ombrel_learn.learning import fitted_model
    clf = fitted(corpus, features="words")
    _, _, test_x, _ = corpus
    texts = (test_x * (fitted_model.PREDICT_BLOCK // len(test_x) + 2))[:fitted_model.PREDICT_BLOCK + 7]
    expected = clf.predict(test_x).tolist()
    answers = clf.predict(texts)
    assert len(answers) == len(texts)
    assert answers.tolist() == [expected[i % len(test_x)] for i in range(len(texts))]
