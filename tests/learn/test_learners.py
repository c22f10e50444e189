"""The float learners of ombrel_learn.learning.linear and their compilation into a field."""

import os
import threading

import numpy as np
import pytest

import ombrel
from ombrel_learn import ENGLISH_STOP_WORDS, _learners, _native
from ombrel_learn.learning import linear

from learn_support import read_tsv


def random_rows(seed, texts=200, features=40, classes=3, length=6):
    """Texts of distinct random ids; class c favours features c, c + classes, ..."""
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, classes, texts)
    rows = []
    for c in labels:
        own = rng.choice(np.arange(c, features, classes), length // 2, replace=False)
        rest = rng.choice(features, length - length // 2, replace=False)
        rows.append(np.unique(np.concatenate([own, rest])))
    offsets = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.uint64)
    tokens = np.concatenate(rows).astype(np.uint32)
    return (tokens, offsets), labels, features, classes


def dense(ids, features):
    tokens, offsets = ids
    x = np.zeros((len(offsets) - 1, features))
    for i in range(len(offsets) - 1):
        np.add.at(x[i], tokens[offsets[i]:offsets[i + 1]].astype(np.intp), 1)
    return x


@pytest.fixture(scope="module")
def newsgroups():
    """1500 training and 600 test texts of 20 Newsgroups (a random sample: the file is sorted by
    label) as ids of one vocabulary."""
    texts, labels = read_tsv("20newsgroups")
    sample = np.random.default_rng(0).permutation(len(texts))[:2100]
    texts = [texts[i] for i in sample]
    classes, y = np.unique([labels[i] for i in sample], return_inverse=True)
    spec = _native.FeatureSpec(ENGLISH_STOP_WORDS, True, 2)
    vocabulary, train, _ = _native.build_vocabulary(spec, texts[:1500], y[:1500].tolist(), len(classes), 2, 0.0, 8,
                                                    False)
    test = _native.transform(spec, vocabulary, 0, texts[1500:])
    return train, y[:1500], test, y[1500:], len(vocabulary), len(classes)


def test_naive_bayes_equals_a_direct_computation():
    ids, y, features, classes = random_rows(1)
    x = dense(ids, features)
    counts = linear.count_naive_bayes(ids, y, features, classes)
    expected = np.stack([x[y == c].sum(axis=0) for c in range(classes)], axis=1)
    np.testing.assert_array_equal(counts.feature_counts, expected)
    np.testing.assert_array_equal(counts.class_texts, np.bincount(y, minlength=classes))
    model = counts.to_model(alpha=0.5)
    log_prob = np.log((expected + 0.5) / (expected.sum(axis=0) + 0.5 * features))
    np.testing.assert_allclose(model.weights, log_prob, rtol=1e-6)
    np.testing.assert_allclose(model.bias, np.log(np.bincount(y) / len(y)), rtol=1e-6)
    np.testing.assert_array_equal(model.predict(ids), np.argmax(x @ log_prob + model.bias, axis=1))
    sklearn = pytest.importorskip("sklearn.naive_bayes")
    peer = sklearn.MultinomialNB(alpha=0.5).fit(x, y)
    np.testing.assert_allclose(model.weights, peer.feature_log_prob_.T, rtol=1e-6)
    np.testing.assert_allclose(model.bias, peer.class_log_prior_, rtol=1e-6)


def test_partitions_add_up_to_one_fit_and_models_average():
    ids, y, features, classes = random_rows(2, texts=300)
    tokens, offsets = ids
    parts = []
    for lo, hi in [(0, 70), (70, 71), (71, 300)]:
        part_offsets = offsets[lo:hi + 1] - offsets[lo]
        parts.append(linear.count_naive_bayes((tokens[offsets[lo]:offsets[hi]], part_offsets), y[lo:hi], features,
                                              classes))
    total = parts[0] + parts[1] + parts[2]
    whole = linear.count_naive_bayes(ids, y, features, classes)
    np.testing.assert_array_equal(total.feature_counts, whole.feature_counts)
    np.testing.assert_array_equal(total.class_texts, whole.class_texts)
    np.testing.assert_array_equal(total.to_model().weights, whole.to_model().weights)
    with pytest.raises(ValueError):
        total + linear.count_naive_bayes(ids, y, features + 1, classes)

    a = linear.fit_sgd(ids, y, features, classes, random_state=1)
    b = linear.fit_sgd(ids, y, features, classes, random_state=2)
    mean = linear.average_models([a, b], weights=[1, 3])
    np.testing.assert_allclose(mean.weights, 0.25 * a.weights + 0.75 * b.weights, rtol=1e-5, atol=1e-6)
    # One round of parameter mixing: each part starts from the average and moves away from it.
    again = linear.fit_sgd(ids, y, features, classes, epochs=1, initial=mean)
    assert not np.array_equal(again.weights, mean.weights)
    # A later round continues the step schedule: smaller steps, so it moves less from the average.
    later = linear.fit_sgd(ids, y, features, classes, epochs=1, initial=mean, first_step=20 * len(y))
    assert 0 < np.abs(later.weights - mean.weights).sum() < 0.5 * np.abs(again.weights - mean.weights).sum()
    np.testing.assert_array_equal(linear.fit_sgd(ids, y, features, classes, epochs=1, initial=mean,
                                                 first_step=0).weights, again.weights)
    with pytest.raises(ValueError):
        linear.average_models([a, linear.LinearModel(np.zeros((features + 1, classes)), np.zeros(classes))])


@pytest.mark.parametrize("fit", [
    lambda d: linear.fit_naive_bayes(d[0], d[1], d[4], d[5]),
    lambda d: linear.fit_perceptron(d[0], d[1], d[4], d[5]),
    lambda d: linear.fit_sgd(d[0], d[1], d[4], d[5], loss="hinge"),
    lambda d: linear.fit_sgd(d[0], d[1], d[4], d[5], loss="log_loss"),
    lambda d: linear.fit_sgd(d[0], d[1], d[4], d[5], loss="modified_huber", class_weight="balanced"),
    lambda d: linear.fit_linear_svm(d[0], d[1], d[4], d[5], C=0.1).model,
], ids=["naive_bayes", "perceptron", "hinge", "log_loss", "modified_huber", "svm"])
def test_the_compiled_field_answers_like_the_cut_model_where_its_margin_is_clear(newsgroups, fit, tmp_path):
    train, y_train, test, y_test, features, classes = newsgroups
    model = fit(newsgroups)
    accuracy = np.mean(model.predict(test) == y_test)
    assert accuracy > 0.45, accuracy  # 20 classes, 1500 texts: chance is 5%
    compiled = linear.compile_to_field(model)
    assert len(compiled.data) == 64 * (features + compiled.bias_neurons)
    assert compiled.bias_neurons == 3  # 20 classes, 8 per bias neuron
    field = compiled.field(tmp_path / "weights.bin")
    answers = np.asarray(field.predict_batch(compiled.streams(test)))
    # The field holds the cut model, rounded: where the cut model's best class wins by more than the
    # rounding of every token and bias neuron can move it, the field must answer the same.
    cut = linear.cut_to_slots(model)
    scores = cut.decision_function(test)
    top2 = np.sort(scores, axis=1)[:, -2:]
    lengths = np.diff(np.frombuffer(test.offsets, dtype=np.uint64)).astype(np.float64)
    clear = (top2[:, 1] - top2[:, 0]) * compiled.scale > lengths + compiled.bias_neurons + 1
    assert clear.mean() > 0.8
    np.testing.assert_array_equal(answers[clear], np.argmax(scores, axis=1)[clear])
    # and what the cut and the rounding cost stays small
    assert np.mean(answers == y_test) > accuracy - 0.03


def test_the_field_reads_the_records_the_compiler_wrote(tmp_path):
    weights = np.array([[1.0, -1.0, 0.0], [0.0, 0.0, 0.0], [0.25, 0.5, -2.0]], dtype=np.float32)
    compiled = linear.compile_to_field(weights, np.array([0.0, 1.0, 0.0], dtype=np.float32), tmp_path / "w.bin")
    assert (tmp_path / "w.bin").read_bytes() == compiled.data
    field = ombrel.OmbrelField(compiled.sensory_count, 3)
    field.load_weights(str(tmp_path / "w.bin"))
    s = compiled.scale
    assert field.get_neuron_synapses(0) == [(0, round(s * 1.0)), (1, round(s * -1.0))]
    assert field.get_neuron_synapses(1) == []
    # row 2 is shifted to the middle of its range (-0.75)
    assert field.get_neuron_synapses(2) == [(0, round(s * 1.0)), (1, round(s * 1.25)), (2, round(s * -1.25))]
    assert field.get_neuron_synapses(3) == [(0, round(s * -0.5)), (1, round(s * 0.5)), (2, round(s * -0.5))]
    assert [list(v) for v in compiled.streams(([0, 2], [0, 1, 1, 2]))] == [[0, 3], [3], [2, 3]]
    assert field.predict_batch(compiled.streams(([0, 2], [0, 1, 1, 2]))) == [0, 1, 1]
    # Compiling another model to the same path leaves the field that maps the first file intact.
    other = linear.compile_to_field(-weights, np.zeros(3, dtype=np.float32), tmp_path / "w.bin")
    assert field.get_neuron_synapses(0) == [(0, round(s * 1.0)), (1, round(s * -1.0))]
    assert other.field(tmp_path / "w.bin").get_neuron_synapses(0)[0][1] < 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["w.bin"]


def test_sgd_is_as_good_as_scikit_learns_on_the_same_ids(newsgroups):
    sklearn = pytest.importorskip("sklearn.linear_model")
    sp = pytest.importorskip("scipy.sparse")
    train, y_train, test, y_test, features, classes = newsgroups

    def matrix(batch):
        tokens = np.frombuffer(memoryview(batch), dtype=np.uint32)
        offsets = np.frombuffer(batch.offsets, dtype=np.uint64)
        return sp.csr_matrix((np.ones(len(tokens)), tokens, offsets), shape=(len(offsets) - 1, features))

    # One shuffle moves either by 2-3 points on this sample: compare the means of three.
    x_train, x_test = matrix(train), matrix(test)
    for loss in ("hinge", "log_loss"):
        ours = np.mean([np.mean(linear.fit_sgd(train, y_train, features, classes, loss=loss, random_state=seed)
                                .predict(test) == y_test) for seed in range(3)])
        theirs = np.mean([np.mean(sklearn.SGDClassifier(loss=loss, max_iter=5, tol=None, random_state=seed)
                                  .fit(x_train, y_train).predict(x_test) == y_test) for seed in range(3)])
        assert ours > theirs - 0.025, (loss, ours, theirs)


def test_linear_svm_converges_to_liblinears_solution_and_refuses_bad_settings():
    sklearn_svm = pytest.importorskip("sklearn.svm")
    sp = pytest.importorskip("scipy.sparse")
    for classes, texts in ((4, 300), (2, 200)):
        ids, y, features, _ = random_rows(5, texts=texts, features=60, classes=classes, length=8)
        # a counted token comes once per count, one after another: the solver must weigh its run as one value
        rows = [np.repeat(r, 1 + (np.arange(len(r)) == 0)) for r in np.split(ids[0], ids[1][1:-1].astype(np.intp))]
        tokens = np.concatenate(rows).astype(np.uint32)
        offsets = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.uint64)
        scale = np.linspace(0.5, 2.0, features).astype(np.float32)
        row_scale = np.random.default_rng(0).uniform(0.2, 1.0, texts).astype(np.float32)
        weight = np.random.default_rng(1).choice([0.0, 0.5, 1.0, 3.0], texts).astype(np.float32)
        fit = linear.fit_linear_svm((tokens, offsets), y, features, classes, C=0.7, tol=1e-5, feature_scale=scale,
                                    row_scale=row_scale, sample_weight=weight)
        assert fit.converged and len(fit.passes) == (1 if classes == 2 else classes)
        x = dense((tokens, offsets), features) * scale[None, :] * row_scale[:, None]
        theirs = sklearn_svm.LinearSVC(C=0.7, tol=1e-6, max_iter=100_000).fit(sp.csr_matrix(x), y,
                                                                             sample_weight=weight)
        coef = theirs.coef_.T if classes > 2 else np.stack([np.zeros(features), theirs.coef_[0]], axis=1)
        intercept = theirs.intercept_ if classes > 2 else np.array([0.0, theirs.intercept_[0]])
        np.testing.assert_allclose(fit.model.weights, coef, atol=1e-3 * np.abs(coef).max())
        np.testing.assert_allclose(fit.model.bias, intercept, atol=1e-3 * np.abs(coef).max())
        # one pass is not enough on these rows, and says so
        assert not linear.fit_linear_svm((tokens, offsets), y, features, classes, tol=1e-5, max_passes=1).converged
    ids, y, features, classes = random_rows(5, classes=4)
    for bad, message in (({"C": 0}, "C must be a positive"), ({"C": float("inf")}, "C must be a positive"),
                         ({"tol": -1.0}, "tol must be a positive"), ({"max_passes": 0}, "max_passes must be at least"),
                         ({"class_weight": [1.0, -1.0, 1.0, 1.0]}, "class weights must be positive")):
        with pytest.raises(ValueError, match=message):
            linear.fit_linear_svm(ids, y, features, classes, **bad)


def test_results_are_numpy_arrays_and_decision_function_agrees_with_predict():
    ids, y, features, classes = random_rows(3)
    model = linear.fit_perceptron(ids, y, features, classes)
    assert model.weights.dtype == np.float32 and model.weights.shape == (features, classes)
    raw_weights, _ = _learners.fit_perceptron(ids[0], ids[1], y.astype(np.uint32), features, classes)
    view = np.asarray(raw_weights)
    assert view.shape == (features, classes) and np.shares_memory(view, np.asarray(raw_weights))
    scores = model.decision_function(ids)
    np.testing.assert_allclose(scores, dense(ids, features) @ model.weights + model.bias, rtol=1e-5, atol=1e-5)
    np.testing.assert_array_equal(np.argmax(scores, axis=1), model.predict(ids))
    assert np.mean(model.predict(ids) == y) > 0.9
    # ids past the model's features are skipped; no texts, no rows
    np.testing.assert_array_equal(model.decision_function(linear.append_feature(ids, features + 3)), scores)
    empty = (np.zeros(0, dtype=np.uint32), np.zeros(1, dtype=np.uint64))
    assert model.decision_function(empty).shape == (0, classes)


def test_fits_run_in_parallel_threads_with_the_same_results():
    ids, y, features, classes = random_rows(4, texts=2000, features=500, classes=5, length=40)
    expected = linear.fit_sgd(ids, y, features, classes, loss="log_loss").weights
    results = [None] * 4

    def fit(i):
        results[i] = linear.fit_sgd(ids, y, features, classes, loss="log_loss").weights

    threads = [threading.Thread(target=fit, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, expected)


def test_bad_input_raises_the_errors_users_expect():
    ids, y, features, classes = random_rows(5, texts=20)
    tokens, offsets = ids
    with pytest.raises(ValueError, match="labels"):
        linear.fit_naive_bayes(ids, y[:-1], features, classes)
    with pytest.raises(ValueError, match="below class_count"):
        linear.fit_sgd(ids, y, features, 1)
    with pytest.raises(ValueError, match="negative"):
        linear.fit_perceptron(ids, -np.ones(len(y), dtype=int), features, classes)
    with pytest.raises(TypeError):
        linear.fit_naive_bayes(ids, y.astype(float), features, classes)
    with pytest.raises(TypeError):
        linear.fit_naive_bayes([[1, 2], [3]], y, features, classes)
    with pytest.raises(ValueError, match="class_count"):
        linear.fit_naive_bayes(ids, y, features, 0)
    with pytest.raises(ValueError, match="last offset"):
        linear.fit_sgd((tokens[:-1], offsets), y, features, classes)
    bad_offsets = offsets.copy()
    bad_offsets[3], bad_offsets[4] = bad_offsets[4], bad_offsets[3]
    with pytest.raises(ValueError, match="decrease"):
        linear.fit_perceptron((tokens, bad_offsets), y, features, classes)
    with pytest.raises(ValueError, match="loss"):
        linear.fit_sgd(ids, y, features, classes, loss="squared")
    with pytest.raises(ValueError, match="alpha"):
        linear.fit_sgd(ids, y, features, classes, alpha=0)
    with pytest.raises(ValueError, match="class_weight"):
        linear.fit_sgd(ids, y, features, classes, class_weight=[1.0, 2.0])
    with pytest.raises(ValueError, match="initial"):
        linear.fit_sgd(ids, y, features, classes, initial=linear.LinearModel(np.zeros((2, classes)), np.zeros(classes)))
    with pytest.raises(ValueError, match="alpha"):
        linear.count_naive_bayes(ids, y, features, classes).to_model(alpha=-1)
    model = linear.fit_naive_bayes(ids, y, features, classes)
    with pytest.raises(ValueError, match="slots"):
        linear.compile_to_field(model, slots=9)
    with pytest.raises(ValueError, match="choice"):
        linear.compile_to_field(model, choice="best")
    with pytest.raises(ValueError, match="finite"):
        linear.compile_to_field(np.full((2, 2), np.nan, dtype=np.float32), np.zeros(2, dtype=np.float32))
    with pytest.raises(ValueError):
        linear.LinearModel(np.zeros((3, 2)), np.zeros(3))
    # The native layer checks buffer types itself.
    with pytest.raises(TypeError, match="uint32"):
        _learners.count_naive_bayes(tokens.astype(np.float32), offsets, y.astype(np.uint32), features, classes)
    with pytest.raises(TypeError, match="labels"):
        _learners.count_naive_bayes(tokens, offsets, y.astype(np.int64), features, classes)
    with pytest.raises(ValueError, match="dimension"):
        _learners.predict(tokens, offsets, model.weights.ravel(), model.bias)
    with pytest.raises(ValueError, match="bias"):
        _learners.compile(model.weights, model.bias[:-1])
    # gather_rows: texts in the order asked, ids renumbered or left out; nothing out of bounds
    runs = (np.array([3, 4, 5, 6, 7], dtype=np.uint32), np.array([0, 2, 2, 5], dtype=np.uint64))
    renumber = np.full(8, 0xFFFFFFFF, dtype=np.uint32)
    renumber[[4, 6, 7]] = [0, 1, 2]
    got, bounds = _learners.gather_rows(*runs, np.array([2, 0, 1], dtype=np.uint64), renumber)
    assert np.asarray(got).tolist() == [1, 2, 0] and np.asarray(bounds).tolist() == [0, 2, 3, 3]
    with pytest.raises(ValueError, match="row"):
        _learners.gather_rows(*runs, np.array([3], dtype=np.uint64))
    with pytest.raises(ValueError, match="renumber"):
        _learners.gather_rows(*runs, np.array([2], dtype=np.uint64), renumber[:7])


def test_learners_train_on_tf_idf_values_given_as_feature_and_row_scales():
    ids, y, features, classes = random_rows(6, texts=300)
    idf = np.random.default_rng(6).uniform(0.5, 4.0, features).astype(np.float32)
    x = dense(ids, features) * idf
    norms = linear.row_norms(ids, idf)
    assert norms.dtype == np.float32
    np.testing.assert_allclose(norms, np.linalg.norm(x, axis=1), rtol=1e-6)
    # Ids beyond the scales are skipped; extra is one more value every text carries.
    np.testing.assert_allclose(linear.row_norms(ids, idf[:10], extra=2.0),
                               np.sqrt(4.0 + (x[:, :10] ** 2).sum(axis=1)), rtol=1e-6)
    # A run of one id (a counted token's repeats) is one value n times as large, and counts once
    # among the texts that hold the id.
    runs = (np.array([3, 3, 5, 3, 7, 7, 7], dtype=np.uint32), np.array([0, 3, 7], dtype=np.uint64))
    np.testing.assert_allclose(linear.row_norms(runs, idf), [np.sqrt(4 * idf[3] ** 2 + idf[5] ** 2),
                                                             np.sqrt(idf[3] ** 2 + 9 * idf[7] ** 2)], rtol=1e-6)
    np.testing.assert_array_equal(linear.document_frequency(runs, 8)[[3, 5, 7]], [2, 1, 1])
    tf_idf = x / norms[:, None]
    scales = dict(feature_scale=idf, row_scale=1.0 / norms)

    counts = linear.count_naive_bayes(ids, y, features, classes, **scales)
    np.testing.assert_allclose(counts.feature_counts,
                               np.stack([tf_idf[y == c].sum(axis=0) for c in range(classes)], axis=1), rtol=1e-6)
    np.testing.assert_array_equal(counts.class_texts, np.bincount(y, minlength=classes))
    np.testing.assert_array_equal(linear.fit_naive_bayes(ids, y, features, classes, **scales).weights,
                                  counts.to_model().weights)

    for fit in (linear.fit_sgd, linear.fit_perceptron):
        model = fit(ids, y, features, classes, fit_intercept=False, **scales)
        assert not model.bias.any(), fit.__name__
        assert np.mean(np.argmax(tf_idf @ model.weights, axis=1) == y) > 0.9, fit.__name__
        # Without an intercept the row scale cannot change an argmax: the weights times the idf
        # predict binary rows alike.
        folded = linear.LinearModel(model.weights * idf[:, None], model.bias)
        np.testing.assert_array_equal(folded.predict(ids), np.argmax(tf_idf @ model.weights, axis=1))
        assert not np.array_equal(model.weights, fit(ids, y, features, classes, fit_intercept=False).weights)

    for fit in (linear.fit_sgd, linear.fit_perceptron, linear.fit_naive_bayes, linear.count_naive_bayes):
        with pytest.raises(ValueError, match="feature_scale"):
            fit(ids, y, features, classes, feature_scale=idf[:-1])
        with pytest.raises(ValueError, match="row_scale"):
            fit(ids, y, features, classes, row_scale=np.ones(len(y) + 1))
        with pytest.raises(ValueError, match=r"feature_scale\[3\]"):
            fit(ids, y, features, classes, feature_scale=np.where(np.arange(features) == 3, -1.0, idf))
        with pytest.raises(ValueError, match=r"row_scale\[0\]"):
            fit(ids, y, features, classes, row_scale=np.r_[np.nan, np.ones(len(y) - 1)])


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="under AddressSanitizer the resident size measures its quarantine of freed blocks")
def test_repeated_calls_with_good_and_bad_arguments_leave_memory_flat(tmp_path):
    def rss_kib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    ids, y, features, classes = random_rows(6, texts=3000, features=2000, classes=4, length=30)
    tokens, offsets = ids
    labels = y.astype(np.uint32)
    weights = np.ones((features, classes), dtype=np.float32)  # 32 KB a call if results leaked
    bias = np.zeros(classes, dtype=np.float32)
    calls = [
        lambda: _learners.count_naive_bayes(tokens, offsets, labels, features, classes),
        lambda: _learners.fit_perceptron(tokens, offsets, labels, features, classes, 1),
        lambda: _learners.fit_sgd(tokens, offsets, labels, features, classes, "hinge", 1e-4, 1, 0, None, weights, bias),
        lambda: _learners.compile(weights, bias),
        lambda: _learners.cut(weights, bias),
        lambda: _learners.predict(tokens, offsets, weights, bias),
        lambda: _learners.append_ids(tokens, offsets, np.arange(3, dtype=np.uint32)),
        lambda: _learners.count_naive_bayes(tokens, offsets[:-1], labels, features, classes),  # bad offsets
        lambda: _learners.fit_sgd(tokens, offsets, labels, features, classes, "nope"),
        lambda: _learners.compile(weights, bias[:-1]),
        lambda: _learners.predict(tokens.astype(np.int64), offsets, weights, bias),
        lambda: _learners.fit_perceptron(tokens, offsets, labels, features, classes, 1, 0, True, weights, None),
    ]

    def round_of_calls():
        for call in calls:
            try:
                call()
            except (TypeError, ValueError):
                pass

    for _ in range(20):
        round_of_calls()
    before = rss_kib()
    for _ in range(200):
        round_of_calls()
    assert rss_kib() - before < 8_000


def test_refit_keeps_the_cut_form_and_the_field_holds_it(newsgroups, tmp_path):
    train, y_train, test, y_test, features, classes = newsgroups
    model = linear.fit_naive_bayes(train, y_train, features, classes, alpha=0.1)
    cut = linear.cut_to_slots(model)
    tuned = linear.refit_cut(model, train, y_train)
    np.testing.assert_array_equal(tuned.weights == 0, cut.weights == 0)
    assert not np.array_equal(tuned.weights, cut.weights)
    assert np.mean(tuned.predict(test) == y_test) > np.mean(cut.predict(test) == y_test) - 0.02
    compiled = linear.compile_to_field(tuned)
    field = compiled.field(tmp_path / "tuned.bin")
    answers = np.asarray(field.predict_batch(compiled.streams(test)))
    assert np.mean(answers == tuned.predict(test)) > 0.97
    with pytest.raises(ValueError, match="step"):
        linear.refit_cut(model, train, y_train, step=0)
    with pytest.raises(ValueError, match="labels"):
        linear.refit_cut(model, train, y_train[:-1])


def test_sample_weights_count_a_text_as_that_many_repeats():
    ids, labels, features, classes = random_rows(11, texts=60)
    tokens, offsets = ids
    weights = np.random.default_rng(3).integers(0, 4, len(labels)).astype(np.float32)
    # Naive Bayes counts: a weight of n is the text n times, to the bit (0 drops it).
    repeat = np.repeat(np.arange(len(labels)), weights.astype(np.intp))
    rows = [tokens[offsets[i]:offsets[i + 1]] for i in repeat]
    repeated = (np.concatenate(rows).astype(np.uint32),
                np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.uint64))
    weighted = linear.count_naive_bayes(ids, labels, features, classes, sample_weight=weights)
    plain = linear.count_naive_bayes(repeated, labels[repeat], features, classes)
    assert np.array_equal(weighted.feature_counts, plain.feature_counts)
    assert np.array_equal(weighted.class_texts, plain.class_texts)
    # Weights of 1 change nothing, to the bit, in every learner that takes them.
    ones = np.ones(len(labels))
    fits = [lambda **w: linear.fit_sgd(ids, labels, features, classes, **w),
            lambda **w: linear.fit_sgd(ids, labels, features, classes, feature_scale=np.full(features, 0.5),
                                       row_scale=np.full(len(labels), 0.3), intercept_by_row=True, **w),
            lambda **w: linear.fit_perceptron(ids, labels, features, classes, **w),
            lambda **w: linear.refit_cut(linear.fit_sgd(ids, labels, features, classes), ids, labels, slots=2, **w)]
    for fit in fits:
        a, b = fit(), fit(sample_weight=ones)
        assert np.array_equal(a.weights, b.weights) and np.array_equal(a.bias, b.bias)
    # A text of weight 0 teaches nothing: SGD and the perceptron fitted with every text of one class
    # at 0 never score that class above the others for its own texts' sake.
    muted = np.where(labels == 2, 0.0, 1.0)
    for fit in fits[:3]:
        model = fit(sample_weight=muted)
        assert not (model.predict(ids) == 2).any()
    for bad, message in (([1.0] * 3, "one value per text"), (-ones, "non-negative"), (ones * np.nan, "non-negative")):
        with pytest.raises(ValueError, match=message):
            linear.fit_sgd(ids, labels, features, classes, sample_weight=bad)
