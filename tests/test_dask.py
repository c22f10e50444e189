"""Scoring on a local Dask cluster of worker processes (examples/dask_scoring.py) equals scoring in
one process, and each worker maps the weight file once.

Reads the SMS spam corpus where the other dataset tests find it (tests/learn/learn_support.py).
"""

import os
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="dask[distributed] is not installed "
                    "(pip install -r requirements-dist.txt)")
from distributed import Client, LocalCluster, get_task_stream  # noqa: E402

TESTS = Path(__file__).resolve().parent
EXAMPLES = TESTS.parent / "examples"
sys.path.insert(0, str(TESTS / "learn"))
from learn_support import find_dataset  # noqa: E402  (where every test finds the datasets)

WORKERS = 2


@pytest.fixture(scope="module")
def corpus_dir():
    return Path(find_dataset("sms_spam", "train.tsv", "test.tsv"))


@pytest.fixture(scope="module")
def scoring(corpus_dir):
    if not (EXAMPLES / "dask_scoring.py").is_file():
        pytest.skip(f"{EXAMPLES / 'dask_scoring.py'} is not there")
    # Imported by name, so its functions travel to the workers by reference; the spawned worker
    # processes start with this process's sys.path and import it the same way.
    sys.path.insert(0, str(EXAMPLES))
    try:
        import dask_scoring
    finally:
        sys.path.remove(str(EXAMPLES))
    return dask_scoring


@pytest.fixture(scope="module")
def client(scoring):
    sys.path.insert(0, str(EXAMPLES))
    try:
        with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                          dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster:
            with Client(cluster) as client:
                client.wait_for_workers(WORKERS, timeout=60)
                yield client
    finally:
        sys.path.remove(str(EXAMPLES))


@pytest.fixture(scope="module")
def model_dir(scoring, corpus_dir, tmp_path_factory):
    directory = tmp_path_factory.mktemp("model")
    scoring.train_model(corpus_dir / "train.tsv", directory)
    return directory


def test_cluster_answers_equal_one_process_and_each_worker_maps_once(scoring, client, model_dir, corpus_dir):
    corpus = corpus_dir / "test.tsv"
    expected = scoring.score_locally(model_dir, corpus)
    with open(corpus, encoding="utf-8") as f:
        assert len(expected) == sum(1 for _ in f)
    assert len(set(expected)) == 2, "a model that answers one class everywhere proves little"

    with get_task_stream(client) as stream:
        answers = scoring.score_corpus(client, model_dir, corpus, blocksize="8KiB")
    assert answers == expected

    score_tasks = [t for t in stream.data if "score_lines" in str(t["key"])]
    assert len(score_tasks) >= 4 * WORKERS
    assert len({t["worker"] for t in stream.data}) == WORKERS, "one worker scored everything"

    weights = str(scoring.weights_file(model_dir))

    def mappings_of_weights(dask_worker):
        with open("/proc/self/maps", encoding="utf-8") as maps:
            regions = [line for line in maps if line.rstrip("\n").endswith(weights)]
        model = dask_worker.plugins[scoring.plugin_name(model_dir)].model
        return os.getpid(), len(regions), id(model)

    before = client.run(mappings_of_weights)
    assert len({pid for pid, _, _ in before.values()}) == WORKERS
    assert os.getpid() not in {pid for pid, _, _ in before.values()}
    # One mapping per worker process, alive between tasks: not one per partition, and not dropped.
    assert all(regions == 1 for _, regions, _ in before.values()), before

    # Scoring again (two files, in order) registers the same model again and reuses each worker's
    # field: no worker makes a new one, and the mappings stay the same.
    client.run(count_new_fields)
    corpora = [str(corpus_dir / "test.tsv"), str(corpus_dir / "train.tsv")]
    again = scoring.score_corpus(client, model_dir, corpora, blocksize="64KiB")
    assert again == expected + scoring.score_locally(model_dir, corpus_dir / "train.tsv")
    assert set(client.run(stop_counting_new_fields).values()) == {0}
    assert client.run(mappings_of_weights) == before


def count_new_fields():
    import ombrel

    real = ombrel.OmbrelField

    def counting(*args, **kwargs):
        counting.made += 1
        return real(*args, **kwargs)

    counting.made, counting.real = 0, real
    ombrel.OmbrelField = counting


def stop_counting_new_fields():
    import ombrel

    counting = ombrel.OmbrelField
    ombrel.OmbrelField = counting.real
    return counting.made


def test_a_worker_that_joins_later_loads_the_model(scoring, client, model_dir):
    # The plugin is registered with the scheduler, so a new worker sets it up before its first task.
    client.register_plugin(scoring.ModelPlugin(model_dir))
    cluster = client.cluster
    cluster.scale(WORKERS + 1)
    try:
        client.wait_for_workers(WORKERS + 1, timeout=60)
        name = scoring.plugin_name(model_dir)
        ready = client.run(lambda dask_worker: dask_worker.plugins[name].model is not None)
        assert len(ready) == WORKERS + 1 and all(ready.values()), ready
    finally:
        cluster.scale(WORKERS)
