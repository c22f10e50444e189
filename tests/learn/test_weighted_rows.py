"""TF-IDF rows for the float learners, and the word features the automatic choice compares: what the
field holds must answer as the model trained on weighted rows, and a saved model must read text as it
was trained to."""

import json
import os
import random

import numpy as np
import pytest

from ombrel_learn import OmbrelClassifier
from ombrel_learn.learning import learners, linear
from ombrel_learn.learning.settings import Settings

from learn_support import make_corpus


def tfidf_argmax(weights, bias, idf, tokens, offsets, bias_value):
    """The argmax of a model of weighted rows, computed directly: each row's ids weighted by idf (an
    id presented n times is worth n times its idf) and the intercept's constant feature, the row
    scaled to unit norm."""
    out = []
    for i in range(len(offsets) - 1):
        ids, counts = np.unique(tokens[offsets[i]:offsets[i + 1]], return_counts=True)
        values = counts * idf[ids]
        norm = np.sqrt(np.sum(values ** 2) + bias_value ** 2)
        scores = (values / norm) @ weights[ids] + (bias_value / norm) * bias
        out.append(int(np.argmax(scores)))
    return np.asarray(out)


@pytest.mark.parametrize("learner", ["sgd", "perceptron"])
@pytest.mark.parametrize("counted", [False, True])
def test_a_model_of_weighted_rows_folds_into_weights_of_presence_with_the_same_answers(learner, counted,
                                                                                      monkeypatch):
    rng = np.random.default_rng(3)
    features, k, texts = 60, 4, 300
    lengths = rng.integers(0, 12, size=texts)  # empty texts too: the intercept alone
    rows = [np.unique(rng.integers(0, features, size=n)) for n in lengths]
    if counted:  # sublinear tf: a counted token's presentations one after another
        rows = [np.repeat(r, rng.integers(1, 4, size=len(r))) for r in rows]
    offsets = np.concatenate(([0], np.cumsum([len(r) for r in rows]))).astype(np.uint64)
    tokens = np.concatenate(rows).astype(np.uint32)
    y = rng.integers(0, k, size=texts).astype(np.uint32)
    # Catch the model the learner made on the weighted rows, before it is folded.
    made = {}
    fit = getattr(linear, f"fit_{learner}")

    def keep(*args, **kwargs):
        made["model"] = fit(*args, **kwargs)
        return made["model"]

    monkeypatch.setattr(linear, f"fit_{learner}", keep)
    settings = Settings(**{**OmbrelClassifier().get_params(), "learner": learner, "weighting": "tfidf"})
    folded = learners.fit_float(settings, learner, None, (tokens, offsets), y, features, k)
    idf, _ = learners.idf_weights((tokens, offsets), features)
    df = np.bincount(np.concatenate([np.unique(r) for r in rows]).astype(np.int64), minlength=features)
    np.testing.assert_allclose(idf, np.log((1 + texts) / (1 + df)) + 1, rtol=1e-6)  # texts, not presentations
    weighted = made["model"]
    assert weighted.bias.any()  # an intercept, in proportion to each row's scale
    expected = tfidf_argmax(weighted.weights.astype(np.float64), weighted.bias.astype(np.float64),
                            idf.astype(np.float64), tokens, offsets.astype(np.int64), learners.BIAS_FEATURE)
    scores = folded.decision_function((tokens, offsets))
    # Ties aside (none on random float weights), the folded model answers as the weighted one.
    assert (np.argmax(scores, axis=1) == expected).all()
    assert not np.allclose(folded.weights, weighted.weights)


def questions(count, seed):
    """Questions whose class is carried by the question words alone, which English stop words remove."""
    rng = random.Random(seed)
    kinds = {"person": "who", "place": "where", "time": "when", "reason": "why"}
    nouns = "river castle engine poem market bridge forest senate bishop harbour".split()
    texts, labels = [], []
    for _ in range(count):
        label = rng.choice(sorted(kinds))
        texts.append(f"{kinds[label]} {rng.choice(['is', 'was', 'did'])} the {rng.choice(nouns)} {rng.choice(nouns)}")
        labels.append(label)
    return texts, labels


def test_the_choice_keeps_the_words_that_carry_the_class_and_the_folder_reads_text_as_trained(tmp_path):
    texts, labels = questions(1200, 0)
    test_x, test_y = questions(300, 1)
    clf = OmbrelClassifier().fit(texts, labels)
    # With English stop words (and so without who/where/when/why) no feature tells the classes apart.
    assert "words-plain/sgd" in clf.selection_scores_ or "words+pairs/sgd" in clf.selection_scores_
    assert clf.score(test_x, test_y) > 0.95
    pinned = OmbrelClassifier(stop_words="english", stem=True, word_ngrams=1, features="words").fit(texts, labels)
    assert pinned.score(test_x, test_y) < 0.5
    # The folder keeps the features the choice made; loading reads text the same way.
    clf.save(tmp_path / "m")
    manifest = json.loads((tmp_path / "m" / "model.json").read_text())
    assert manifest["params"]["stop_words"] == "auto" and manifest["feature_params"]["stop_words"] is None
    loaded = OmbrelClassifier.load(tmp_path / "m")
    assert loaded.predict(test_x).tolist() == clf.predict(test_x).tolist()


def test_word_pairs_and_marks_are_features_of_new_models_and_not_of_old_folders(tmp_path):
    # The class is in the order of two words, which single words cannot see.
    rng = random.Random(2)
    words = "alpha beta gamma delta".split()
    texts, labels = [], []
    for _ in range(800):
        a, b = rng.sample(words, 2)
        texts.append(f"{a} {b} " + " ".join(rng.sample(words, 2)))
        labels.append(f"{a}>{b}")
    clf = OmbrelClassifier(features="words", learner="sgd", word_ngrams=2).fit(texts, labels)
    assert clf.score(texts[:200], labels[:200]) > OmbrelClassifier(features="words", learner="sgd",
                                                                   word_ngrams=1).fit(texts, labels).score(
                                                                       texts[:200], labels[:200]) + 0.2
    # Marks stay inside words, in NFC: composed and decomposed spellings are one word.
    decomposed = "e\u0301cole"
    x, y = make_corpus(40, 0)
    x = x + [f"{decomposed} {decomposed} lesson"] * 40 + ["\u00e9cole class lesson"] * 40
    y = y + ["school"] * 80
    new = OmbrelClassifier(features="words", learner="naive_bayes", alpha=0.1).fit(x, y)
    assert new.predict([decomposed + " x", "\u00e9cole y"]).tolist() == ["school", "school"]
    new.save(tmp_path / "new")
    # A folder written before models recorded their features was trained on tokenize's words
    # (cut at marks): it keeps being read that way.
    manifest = json.loads((tmp_path / "new" / "model.json").read_text())
    assert manifest["feature_params"]["marks"] is True
    del manifest["feature_params"]
    manifest["params"].update(stop_words="english", stem=True)
    (tmp_path / "new" / "model.json").write_text(json.dumps(manifest))
    old = OmbrelClassifier.load(tmp_path / "new")
    assert old._model.feature_params["marks"] is False


def test_sublinear_tf_is_chosen_where_counts_carry_the_class_and_the_field_presents_them(tmp_path):
    # Both words are in every text; only how often tells the classes apart, which presence cannot see.
    rng = random.Random(4)
    filler = "river castle engine poem market bridge forest senate".split()

    def counted(count):
        x, y = [], []
        for _ in range(count):
            label = rng.choice(["alpha", "beta"])
            major, minor = ("alpha", "beta") if label == "alpha" else ("beta", "alpha")
            words = [major] * rng.randint(5, 9) + [minor] * rng.randint(1, 2) + rng.sample(filler, 4)
            rng.shuffle(words)
            x.append(" ".join(words))
            y.append(label)
        return x, y

    train_x, train_y = counted(1500)
    test_x, test_y = counted(300)
    clf = OmbrelClassifier(features="words").fit(train_x, train_y)
    assert clf._model.feature_params["tf"] == "log"
    assert max(clf.selection_scores_, key=clf.selection_scores_.get).split("/")[0].endswith("+logtf")
    assert clf.score(test_x, test_y) > 0.95
    assert OmbrelClassifier(features="words", learner="sgd", weighting="tfidf").fit(
        train_x, train_y).score(test_x, test_y) < 0.7
    # The field is presented a token round(1 + ln n) times: "alpha" 7 times -> 3, "beta" once -> 1.
    model = clf._model
    ids = model.ids(["alpha " * 7 + "beta"]).to_lists()[0]
    alpha, beta = model.vocabulary.find("alpha"), model.vocabulary.find("beta")
    assert ids[:4] == [alpha] * 3 + [beta]
    # Saved and loaded, the model counts as it was trained to; a folder from before counted nothing.
    clf.save(tmp_path / "m")
    loaded = OmbrelClassifier.load(tmp_path / "m")
    assert loaded.predict(test_x).tolist() == clf.predict(test_x).tolist()
    manifest = json.loads((tmp_path / "m" / "model.json").read_text())
    del manifest["feature_params"]["tf"]
    (tmp_path / "m" / "model.json").write_text(json.dumps(manifest))
    assert OmbrelClassifier.load(tmp_path / "m")._model.ids(["alpha alpha beta"]).to_lists()[0][:2] == [alpha, beta]
    with pytest.raises(ValueError, match="field learner sees each token once"):
        OmbrelClassifier(learner="field", weighting="sublinear").fit(train_x, train_y)
    # Training that sees each token once (a stream, parameter mixing) predicts as it trained: presence.
    stream = OmbrelClassifier(weighting="sublinear", min_df=1).partial_fit(train_x, train_y, classes=["alpha", "beta"])
    mixed = OmbrelClassifier(weighting="sublinear", features="words", learner="sgd", buckets=1 << 12)
    mixed.fit_model(mixed.fit_part(train_x, train_y, ["alpha", "beta"]), ["alpha", "beta"])
    for once in (stream, mixed):
        assert once._model.feature_params["tf"] == "binary"
        assert len(set(ids := once._model.ids(["alpha " * 7]).to_lists()[0])) == len(ids)
