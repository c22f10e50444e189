"""Naive Bayes counted on a local Dask cluster of worker processes (examples/dask_training.py) is the
single-process fit, weight for weight."""

import os
import sys

import numpy as np
import pytest

pytest.importorskip("distributed", reason="dask[distributed] is not installed")
import dask.bag  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

from ombrel_learn import OmbrelClassifier  # noqa: E402

from learn_support import DATA, read_tsv  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


@pytest.fixture(scope="module")
def training():
    sys.path.insert(0, EXAMPLES)
    try:
        import dask_training
        yield dask_training
    finally:
        sys.path.remove(EXAMPLES)


def weights(clf, tmp_path, name):
    path = tmp_path / name
    clf._model.field.save_weights(str(path))
    return path.read_bytes()


def test_counts_summed_on_the_cluster_equal_one_fit(training, tmp_path):
    texts, labels = read_tsv("sms_spam")
    train_tsv = os.path.join(DATA, "sms_spam", "train.tsv")
    classes = sorted(set(labels))
    settings = dict(learner="naive_bayes", features="chars", buckets=1 << 16, alpha=0.1)
    assert dask.bag.read_text(train_tsv, blocksize="64KiB").npartitions > 4
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        client.wait_for_workers(2, timeout=60)
        distributed = training.train_distributed(client, OmbrelClassifier(**settings), train_tsv, classes,
                                                 blocksize="64KiB")
    single = OmbrelClassifier(**settings).fit(texts, labels)
    assert weights(distributed, tmp_path, "a") == weights(single, tmp_path, "b")
    test, test_labels = read_tsv("sms_spam", "test.tsv")
    assert distributed.predict(test).tolist() == single.predict(test).tolist()
    assert distributed.score(test, test_labels) > 0.95


def test_counting_in_parts_refuses_what_parts_cannot_share(corpus):
    train_x, train_y, _, _ = corpus
    classes = ["food", "space", "sport"]
    with pytest.raises(ValueError, match="buckets > 0"):
        OmbrelClassifier(features="words").count(train_x, train_y, classes)
    with pytest.raises(ValueError, match="features="):
        OmbrelClassifier(buckets=1024).count(train_x, train_y, classes)
    clf = OmbrelClassifier(features="words", buckets=1024, learner="naive_bayes")
    with pytest.raises(ValueError, match="not in classes"):
        clf.count(train_x, train_y, classes[:2])
    parts = clf.count(train_x[:30], train_y[:30], classes) + clf.count(train_x[30:], train_y[30:], classes)
    whole = clf.count(train_x, train_y, classes)
    assert np.array_equal(parts.feature_counts, whole.feature_counts)
    with pytest.raises(ValueError, match="expected"):
        OmbrelClassifier(features="words", buckets=2048).fit_counts(whole, classes)
