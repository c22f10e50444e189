"""Batch potentials, probabilities, their temperature, top-k answers (estimator, command line, server)
and scikit-learn's probability tools on the classifier."""

import asyncio
import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import ombrel
from learn_support import make_corpus
from ombrel_learn import OmbrelClassifier, _learners
from ombrel_learn.learning import fields
from ombrel_learn.learning.calibration import fit_temperature
from ombrel_learn.learning.fitted_model import FIELD_TEMPERATURE


@pytest.fixture(scope="module")
def corpus():
    return make_corpus(40, 1), make_corpus(8, 2)


def random_records(rng, sensory, classes):
    """Weight-file bytes of random records: counts 0..8, targets partly beyond the classes, weights
    often at the 16-bit ends (so that sums overflow 32 bits), garbage in the unused slots."""
    words = np.zeros((sensory, 16), dtype="<u4")
    words[:, 0] = np.arange(sensory)
    words[:, 1] = rng.integers(0, 9, sensory)
    words[:, 2:10] = rng.integers(0, classes + 3, (sensory, 8))
    weights = rng.integers(-32768, 32768, (sensory, 8)).astype("<i2")
    pick = rng.integers(0, 3, (sensory, 8))
    weights[pick == 0], weights[pick == 1] = 32767, -32768
    words[:, 10:14] = weights.view("<u4")
    return words.tobytes()


def test_batch_potentials_are_the_fields_sums_from_zero(corpus):
    rng = np.random.default_rng(3)
    for classes in (2, 7, 70):  # 70: beyond the field's local sums
        sensory = 40
        records = random_records(rng, sensory, classes)
        field = fields.memory_field(records, sensory, classes)
        # Long texts of repeated ids (each occurrence adds again: the sums wrap), ids beyond the
        # records, empty texts; the suffix is added to every text.
        texts = [rng.integers(0, sensory + 4, rng.integers(0, 400)).astype(np.uint32) for _ in range(60)]
        texts[3] = np.full(5000, 7, dtype=np.uint32)
        suffix = np.array([1, 39, 41], dtype=np.uint32)
        tokens = np.concatenate(texts)
        offsets = np.concatenate([[0], np.cumsum([len(t) for t in texts])]).astype(np.uint64)
        got = np.frombuffer(_learners.field_potentials(records, classes, tokens, offsets, suffix),
                            dtype=np.int32).reshape(len(texts), classes)
        for i, text in enumerate(texts):
            field.reset_potentials()
            field.predict(np.concatenate([text, suffix]).tolist())
            assert got[i].tolist() == field.get_potentials(), (classes, i)
    nine = bytearray(records)
    nine[64 + 4] = 9  # record 1 claims nine synapses: damaged
    with pytest.raises(ValueError, match="record 1 holds 9 synapses"):
        _learners.field_potentials(bytes(nine), classes, np.array([1], np.uint32), np.array([0, 1], np.uint64))
    with pytest.raises(ValueError, match="last offset"):
        _learners.field_potentials(records, classes, tokens, offsets[:-1])

    # Through the estimator: every learner (compiled ones carry bias neurons), a batch large enough
    # to be summed natively, equal to the field answering one text at a time.
    (train_x, train_y), (test_x, _) = corpus
    batch = test_x * 20
    for learner in ("naive_bayes", "sgd", "field"):
        clf = OmbrelClassifier(learner=learner, features="words").fit(train_x, train_y)
        model = clf._model
        assert len(batch) * 64 > model.sensory_count  # the native path, not the one-by-one one
        assert np.array_equal(model.potentials(batch), model._potentials_one_by_one(batch)), learner
        assert model.field.get_potentials() == [0] * len(clf.classes_)  # the running potentials untouched


def test_fit_temperature_finds_the_temperature_of_sampled_labels():
    rng = np.random.default_rng(0)
    potentials = rng.normal(0, 1000, (20000, 4))
    for t in (50.0, 800.0):
        p = np.exp(potentials / t - (potentials / t).max(axis=1, keepdims=True))
        p /= p.sum(axis=1, keepdims=True)
        labels = (p.cumsum(axis=1) < rng.random((len(p), 1))).sum(axis=1)
        assert fit_temperature(potentials, labels) == pytest.approx(t, rel=0.1)
    # Rows all classified right, by far: a finite temperature (certainty no sample shows).
    labels = potentials.argmax(axis=1)
    t = fit_temperature(potentials[:100], labels[:100])
    assert 0 < t < np.inf
    with pytest.raises(ValueError):
        fit_temperature(potentials[:, :1], labels)


def test_probabilities_follow_the_potentials_and_keep_their_temperature(corpus, tmp_path):
    (train_x, train_y), (test_x, _) = corpus
    two_x = [x for x, y in zip(train_x, train_y) if y != "space"]
    two_y = [y for y in train_y if y != "space"]
    for learner in ("naive_bayes", "field"):
        for x, y in ((train_x, train_y), (two_x, two_y)):
            clf = OmbrelClassifier(learner=learner, features="words").fit(x, y)
            t = clf._model.temperature
            assert t is not None and t > 0  # fitted on held-out rows
            proba = clf.predict_proba(test_x)
            assert proba.shape == (len(test_x), len(clf.classes_)) and proba.dtype == np.float64
            assert np.allclose(proba.sum(axis=1), 1.0)
            assert np.array_equal(clf.classes_[proba.argmax(axis=1)], clf.predict(test_x))
            assert np.allclose(np.exp(clf.predict_log_proba(test_x)), proba)
            z = clf._model.potentials(test_x) / t
            expected = np.exp(z - z.max(axis=1, keepdims=True))
            assert np.allclose(proba, expected / expected.sum(axis=1, keepdims=True))
            # Kept by pickles and model folders.
            assert np.array_equal(pickle.loads(pickle.dumps(clf)).predict_proba(test_x), proba)
            path = tmp_path / f"{learner}-{len(clf.classes_)}"
            clf.save(path)
            assert json.loads((path / "model.json").read_text())["temperature"] == t
            assert np.array_equal(OmbrelClassifier.load(path).predict_proba(test_x), proba)
            # A folder from before temperatures were kept loads with the default.
            manifest = json.loads((path / "model.json").read_text())
            for key in ("temperature", "scale"):
                manifest.pop(key, None)
            (path / "model.json").write_text(json.dumps(manifest))
            old = OmbrelClassifier.load(path)
            assert old._model.temperature is None
            if learner == "field":
                assert old._model.softmax_temperature() == FIELD_TEMPERATURE
            assert np.allclose(old.predict_proba(test_x).sum(axis=1), 1.0)
            manifest["temperature"] = -1.0
            (path / "model.json").write_text(json.dumps(manifest))
            with pytest.raises(ValueError, match="temperature"):
                OmbrelClassifier.load(path)
    # partial_fit keeps the default temperature.
    streamed = OmbrelClassifier().partial_fit(train_x, train_y, classes=sorted(set(train_y)))
    assert streamed._model.temperature is None
    assert np.allclose(streamed.predict_proba(test_x).sum(axis=1), 1.0)


def test_top_k_in_the_estimator_the_command_line_and_the_server(corpus, tmp_path):
    (train_x, train_y), (test_x, _) = corpus
    clf = OmbrelClassifier(learner="naive_bayes", features="words").fit(train_x, train_y)
    proba = clf.predict_proba(test_x)
    ranked = clf.predict_top_k(test_x, k=2)
    for pairs, row, label in zip(ranked, proba, clf.predict(test_x)):
        assert len(pairs) == 2 and pairs[0][0] == label and pairs[0][1] >= pairs[1][1]
        assert [p for _, p in pairs] == sorted(row.tolist(), reverse=True)[:2]
    assert all(len(p) == 3 for p in clf.predict_top_k(test_x, k=10))
    high = clf.predict_top_k(test_x, k=3, threshold=0.5)
    assert all(len(pairs) <= 1 and all(p >= 0.5 for _, p in pairs) for pairs in high)
    for bad in ({"k": 0}, {"k": 1.5}, {"threshold": 1.5}, {"threshold": -0.1}):
        with pytest.raises(ValueError):
            clf.predict_top_k(test_x, **bad)

    folder = tmp_path / "model"
    clf.save(folder)
    (tmp_path / "texts.txt").write_text("".join(f"{x}\n" for x in test_x[:4]) + "\n", encoding="utf-8")
    (tmp_path / "texts.ft").write_text("".join(f"__label__x {x}\n" for x in test_x[:4]), encoding="utf-8")

    def ombrel(*args):
        done = subprocess.run([sys.executable, "-m", "ombrel_learn", "predict", str(folder), *args],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout.splitlines()

    top = clf.predict_top_k(test_x[:4], k=2)
    plain = ombrel(str(tmp_path / "texts.txt"))
    assert plain == clf.predict(test_x[:4]).tolist() + [clf.predict([""])[0]]  # unchanged without options
    assert ombrel(str(tmp_path / "texts.txt"), "-k", "2")[:4] == ["\t".join(l for l, _ in p) for p in top]
    assert ombrel(str(tmp_path / "texts.ft"), "-k", "2") == [" ".join(f"__label__{l}" for l, _ in p) for p in top]
    with_p = ombrel(str(tmp_path / "texts.txt"), "-k", "2", "--probabilities")[:4]
    assert with_p == [" ".join(f"__label__{l} {p:.6g}" for l, p in pairs) for pairs in top]
    likely = clf.predict_top_k(test_x[:4], 1, 0.9)
    assert ombrel(str(tmp_path / "texts.ft"), "--threshold", "0.9") == [
        " ".join(f"__label__{l}" for l, _ in pairs) for pairs in likely]
    refused = subprocess.run([sys.executable, "-m", "ombrel_learn", "predict", str(folder), "-k", "0"],
                             capture_output=True, text=True, timeout=120)
    assert refused.returncode != 0 and "-k" in refused.stderr

    serving = pytest.importorskip("ombrel_learn.serve.service")

    async def scenario():
        app = serving.ServingApp(str(folder))
        await app.start(watch=False)
        try:
            out = []
            for path, body in (("/predict", {"text": test_x[0], "k": 2}),
                               ("/predict_batch", {"texts": test_x[:3], "k": 3, "threshold": 0.01}),
                               ("/predict_batch", {"texts": test_x * 10, "k": 2}),  # through the thread
                               ("/predict", {"text": test_x[0]}),
                               ("/predict", {"text": test_x[0], "k": 0}),
                               ("/predict", {"text": test_x[0], "k": True}),
                               ("/predict_batch", {"texts": test_x[:2], "threshold": "0.5"}),
                               ("/predict_batch", {"texts": test_x[:2], "threshold": 2})):
                sent = []

                async def receive(body=json.dumps(body).encode()):
                    return {"type": "http.request", "body": body, "more_body": False}

                async def send(message):
                    sent.append(message)

                scope = {"type": "http", "method": "POST", "path": path,
                         "headers": [(b"content-type", b"application/json")]}
                await app(scope, receive, send)
                out.append((sent[0]["status"], json.loads(b"".join(m.get("body", b"") for m in sent[1:]))))
            return out
        finally:
            await app.stop()

    one, batch, big, unchanged, *refusals = asyncio.run(scenario())
    assert one[0] == 200 and one[1]["labels"] == [l for l, _ in top[0]]
    assert one[1]["probabilities"] == [p for _, p in top[0]]  # JSON keeps a float exactly
    expected = clf.predict_top_k(test_x[:3], k=3, threshold=0.01)
    assert batch[1]["labels"] == [[l for l, _ in p] for p in expected]
    assert batch[1]["probabilities"] == [[p for _, p in pairs] for pairs in expected]
    assert big[0] == 200 and big[1]["labels"] == [[l for l, _ in p] for p in clf.predict_top_k(test_x * 10, k=2)]
    assert unchanged == (200, {"label": clf.predict(test_x[:1])[0], "model": unchanged[1]["model"]})
    assert [status for status, _ in refusals] == [422] * 4


def test_scikit_learn_probability_tools(corpus):
    sklearn = pytest.importorskip("sklearn")
    from sklearn.calibration import CalibratedClassifierCV
    from sklearn.ensemble import StackingClassifier
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import cross_val_score

    assert sklearn
    (train_x, train_y), (test_x, test_y) = corpus
    x, y = np.array(train_x + test_x, dtype=object), np.array(train_y + test_y)
    base = OmbrelClassifier(learner="naive_bayes", features="words")
    calibrated = CalibratedClassifierCV(base, cv=3).fit(train_x, train_y)
    assert np.allclose(calibrated.predict_proba(test_x).sum(axis=1), 1.0)
    losses = cross_val_score(base, x, y, cv=3, scoring="neg_log_loss")
    assert np.all(np.isfinite(losses)) and np.all(losses <= 0)
    auc = cross_val_score(base, x, y, cv=3, scoring="roc_auc_ovr")
    assert np.all(auc > 0.9)
    stack = StackingClassifier([("ombrel", base)], final_estimator=LogisticRegression(), cv=3)
    assert stack.fit(train_x, train_y).score(test_x, test_y) > 0.9
