"""Explanations (each token's share of the label's and the runner-up's potentials, from the
estimator, the command line and the server) and class weights (SGD's, by label or balanced)."""

import asyncio
import json
import random
import subprocess
import sys

import numpy as np
import pytest

from learn_support import make_corpus

from ombrel_learn import OmbrelClassifier


@pytest.fixture(scope="module")
def corpus():
    return make_corpus(20, 1), make_corpus(4, 2)


def check_sums(clf, text):
    found = clf.explain(text, k=1000)
    potentials = clf._model.potentials([text])[0].astype(np.int64)
    classes = clf.classes_.tolist()
    label, runner_up = classes.index(found["label"]), classes.index(found["runner_up"])
    assert found["label"] == clf.predict([text])[0] and label != runner_up
    assert potentials[runner_up] == max(p for i, p in enumerate(potentials) if i != label)
    assert sum(a for _, a, _ in found["tokens"]) + found["bias"][0] == potentials[label]
    assert sum(b for _, _, b in found["tokens"]) + found["bias"][1] == potentials[runner_up]
    assert len({t for t, _, _ in found["tokens"]}) == len(found["tokens"])  # each token once, however presented
    gaps = [abs(a - b) for _, a, b in found["tokens"]]
    assert gaps == sorted(gaps, reverse=True)
    return found


@pytest.mark.parametrize("params", [dict(learner="field", features="words"),
                                    dict(learner="sgd", features="words"),
                                    dict(learner="sgd", features="words", weighting="sublinear"),
                                    dict(learner="field", features="words", buckets=4096),
                                    dict(learner="sgd", features="chars", buckets=4096)])
def test_explanations_add_up_to_the_potentials(corpus, params):
    (x, y), (test_x, _) = corpus
    clf = OmbrelClassifier(**params).fit(x, y)
    for text in test_x[:3] + [test_x[0] + " " + test_x[-1], "", "unseen wording entirely", (test_x[1] + " ") * 6]:
        found = check_sums(clf, text)
    if params["learner"] == "field":
        assert found["bias"] == (0, 0)
    # The tokens by name: the vocabulary's, or in hashing mode the text's own features in the bucket.
    top = clf.explain(test_x[0] + " " + test_x[-1], k=3)["tokens"]
    assert len(top) == 3 and not any(t.startswith("#") for t, _, _ in top)
    if not params.get("buckets"):
        assert all(clf._model.vocabulary.find(t) is not None for t, _, _ in top)


def test_explain_from_the_command_line_and_the_server(corpus, tmp_path):
    (x, y), (test_x, _) = corpus
    folder = tmp_path / "model"
    clf = OmbrelClassifier(learner="sgd", features="words").fit(x, y)
    clf.save(folder)
    text = test_x[0] + " " + test_x[-1]
    done = subprocess.run([sys.executable, "-m", "ombrel_learn", "explain", str(folder), text, "-k", "2"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    found = clf.explain(text, 2)
    assert lines[:3] == [f"label\t{found['label']}", f"runner_up\t{found['runner_up']}",
                         "bias\t{:+d}\t{:+d}".format(*found["bias"])]
    assert lines[3:] == [f"{t}\t{a:+d}\t{b:+d}" for t, a, b in found["tokens"]] and len(lines) == 5

    serving = pytest.importorskip("ombrel_learn.serve.service")

    async def scenario():
        app = serving.ServingApp(str(folder))
        await app.start(watch=False)
        answers = []
        try:
            for body, kind in (({"text": text, "k": 2}, b"application/json"), ({"text": text}, b"application/json"),
                               ({"text": text, "k": 0}, b"application/json"), ({"texts": [text]}, b"application/json"),
                               ({"text": text}, b"text/plain")):
                sent = []

                async def receive(body=json.dumps(body).encode()):
                    return {"type": "http.request", "body": body, "more_body": False}

                async def send(message):
                    sent.append(message)

                scope = {"type": "http", "method": "POST", "path": "/explain",
                         "headers": [(b"content-type", kind)]}
                await app(scope, receive, send)
                answers.append((sent[0]["status"], json.loads(b"".join(m.get("body", b"") for m in sent[1:]))))
        finally:
            await app.stop()
        return answers

    answers = asyncio.run(scenario())
    (status, two), (_, default), *refused = answers
    assert status == 200 and two["label"] == found["label"] and two["runner_up"] == found["runner_up"]
    assert two["tokens"] == [list(t) for t in found["tokens"]] and two["bias"] == list(found["bias"])
    assert len(default["tokens"]) == len(clf.explain(text)["tokens"])
    assert [status for status, _ in refused] == [422, 422, 415]


def skewed(seed, rare, common):
    """Two classes of the same words; every rare text has a marker that 5% of the common ones have
    too, so that without weights the common class's numbers win over it."""
    rng = random.Random(seed)
    shared = [f"word{i}" for i in range(40)]
    texts, labels = [], []
    for label, count in (("rare", rare), ("common", common)):
        for _ in range(count):
            words = rng.sample(shared, 6)
            if label == "rare" or rng.random() < 0.05:
                words.append("marker")
            texts.append(" ".join(words))
            labels.append(label)
    return texts, labels


def test_class_weight_raises_the_minority_recall_and_is_saved(tmp_path):
    x, y = skewed(0, 20, 600)
    test_x, test_y = skewed(1, 300, 300)
    rare = np.asarray(test_y) == "rare"
    recall = {}
    for weight in (None, "balanced", {"rare": 30.0}):
        clf = OmbrelClassifier(learner="sgd", features="words", min_df=1, class_weight=weight).fit(x, y)
        recall[str(weight)] = float(np.mean(clf.predict(test_x)[rare] == "rare"))
    assert recall["None"] < 0.5 and recall["balanced"] > 0.9 and recall[str({"rare": 30.0})] > 0.9
    # A class weight is a sample weight by class: every learner honours it (the field presents the
    # texts as many times as their weight, on average), and learner="auto" compares them all.
    for learner in ("field", "naive_bayes", "perceptron"):
        plain = OmbrelClassifier(learner=learner, features="words", min_df=1, alpha=1.0).fit(x, y)
        weighed = OmbrelClassifier(learner=learner, features="words", min_df=1, alpha=1.0,
                                   class_weight="balanced").fit(x, y)
        by_class = OmbrelClassifier(learner=learner, features="words", min_df=1, alpha=1.0).fit(
            x, y, sample_weight=np.where(np.asarray(y) == "rare", len(y) / 40, len(y) / 1200))
        assert np.mean(plain.predict(test_x)[rare] == "rare") < 0.5, learner
        assert np.mean(weighed.predict(test_x)[rare] == "rare") > 0.8, learner
        assert weighed.predict(test_x).tolist() == by_class.predict(test_x).tolist(), learner
    auto = OmbrelClassifier(class_weight={1: 5.0}).fit(x, [int(label == "rare") for label in y])
    assert {name.split("/")[1] for name in auto.selection_scores_} == {"naive_bayes", "sgd", "svm"}
    # Labels of any type survive the folder.
    auto.save(tmp_path / "model")
    assert OmbrelClassifier.load(tmp_path / "model").class_weight == {1: 5.0}
    for bad in ({"nope": 2.0}, {"rare": 0}, "heavy"):
        with pytest.raises(ValueError, match="class_weight"):
            OmbrelClassifier(learner="sgd", class_weight=bad).fit(x, y)


def test_sample_weight_reaches_every_float_learner_through_the_choice():
    (x, y), (test_x, test_y) = make_corpus(30, 3), make_corpus(10, 4)
    # The same texts again with wrong labels, weighed 0: with the weights, a model as if they were absent.
    wrong = {"sport": "food", "food": "space", "space": "sport"}
    texts, labels = x + x, y + [wrong[label] for label in y]
    weights = [1.0] * len(x) + [0.0] * len(x)
    for learner in ("auto", "naive_bayes", "sgd", "perceptron"):
        params = dict(learner=learner, features="words", min_df=1)
        if learner == "naive_bayes":
            params["alpha"] = None  # its smoothing chosen on held-out rows, with the weights too
        weighed = OmbrelClassifier(**params).fit(texts, labels, sample_weight=weights)
        assert weighed.score(test_x, test_y) == 1.0, learner
        assert OmbrelClassifier(**params).fit(texts, labels).score(test_x, test_y) < 0.8, learner
    # Whole numbers: the field learner presents each text that many times (as weights by counts say).
    field = OmbrelClassifier(learner="field", features="words", min_df=1)
    assert field.fit(texts, labels, sample_weight=[2] * len(x) + [0] * len(x)).score(test_x, test_y) == 1.0
    # Balanced weights raise the minority's recall as class_weight="balanced" does.
    x, y = skewed(0, 20, 600)
    test_x, test_y = skewed(1, 300, 300)
    rare = np.asarray(test_y) == "rare"
    balanced = np.where(np.asarray(y) == "rare", len(y) / 40, len(y) / 1200)
    clf = OmbrelClassifier(learner="sgd", features="words", min_df=1).fit(x, y, sample_weight=balanced)
    assert np.mean(clf.predict(test_x)[rare] == "rare") > 0.9
    with pytest.raises(ValueError, match="presentations of 620 texts for learner 'field'"):
        OmbrelClassifier(learner="field").fit(x, y, sample_weight=balanced * 1000)
    with pytest.raises(ValueError, match="multi-label"):
        OmbrelClassifier().fit(x, [[label] for label in y], sample_weight=balanced)
    for bad, message in ((balanced[:5], "one weight per text"), (-balanced, "at least 0"), (balanced * 1e39, "finite"),
                         (balanced * 0, "0 for every text"), (["a"] * len(y), "numbers")):
        with pytest.raises(ValueError, match=message):
            OmbrelClassifier(learner="sgd").fit(x, y, sample_weight=bad)
