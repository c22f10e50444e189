"""A fit streamed from a file: the model it gives, and what a failure leaves behind."""

import os
import subprocess
import sys

import numpy as np
import pytest

from learn_support import find_dataset, make_corpus, read_tsv
from ombrel_learn import OmbrelClassifier, streaming


def write_tsv(path, texts, labels):
    path.write_text("".join(f"{y}\t{x}\n" for x, y in zip(texts, labels)), encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("learner", ["naive_bayes", "sgd", "field"])
def test_streamed_fit_matches_the_fit_in_memory(tmp_path, learner):
    # 20 Newsgroups' first 3,000 texts: several parts, a sample smaller than the file for the
    # field learner (its choice then runs on part of the data), the whole file for the others.
    texts, labels = read_tsv("20newsgroups", limit=3000)
    test_x, test_y = read_tsv("20newsgroups", "test.tsv", limit=1500)
    path = write_tsv(tmp_path / "train.tsv", texts, labels)
    params = dict(features="words", learner=learner, random_state=0)
    spill = tmp_path / "spill"
    spill.mkdir()
    streamed = streaming.fit_file(OmbrelClassifier(**params), path, part_bytes=os.path.getsize(path) // 40,
                                  sample_bytes=1 << 20 if learner == "field" else 64 << 20, spill_folder=str(spill))
    assert streamed.stream_report_["parts"] >= 5 and os.listdir(spill) == []
    memory = OmbrelClassifier(**params).fit(texts, labels)
    assert streamed.n_features_ == memory.n_features_  # the same vocabulary: min_df over the whole file
    assert streamed.classes_.tolist() == memory.classes_.tolist()
    ours, theirs = streamed.predict(test_x), memory.predict(test_x)
    if learner == "naive_bayes":  # counts add up exactly, whatever the parts
        assert (ours == theirs).all()
        np.testing.assert_allclose(streamed.predict_proba(test_x), memory.predict_proba(test_x), atol=1e-6)
    else:
        accuracy = np.mean(ours == np.asarray(test_y)), np.mean(theirs == np.asarray(test_y))
        assert abs(accuracy[0] - accuracy[1]) < 0.03, accuracy
        assert np.mean(ours == theirs) > 0.85


def test_a_failed_streamed_fit_leaves_no_spill_and_a_bad_line_is_named(tmp_path, monkeypatch):
    texts, labels = make_corpus(300, 1)
    lines = [f"{y}\t{x}\n" for x, y in zip(texts, labels)]
    spill = tmp_path / "spill"
    spill.mkdir()
    bad = tmp_path / "bad.tsv"
    bad.write_text("".join(lines[:850]) + "no tab on this line\n" + "".join(lines[850:]), encoding="utf-8")
    with pytest.raises(ValueError, match=rf"{bad}:851: expected 'label<TAB>text'"):
        streaming.fit_file(OmbrelClassifier(features="words"), str(bad), part_bytes=2000, spill_folder=str(spill))
    good = write_tsv(tmp_path / "good.tsv", texts, labels)
    reads = []
    real = streaming.Spill.part

    def failing(self, *args, **kwargs):  # the second read of a part of the spill fails
        # While in use, the spill's files have no name on disk: even SIGKILL leaves nothing behind.
        assert os.listdir(spill) == [] and self.rows[0] > 0
        reads.append(list(self.files))
        if len(reads) == 2:
            raise MemoryError("injected")
        return real(self, *args, **kwargs)
    monkeypatch.setattr(streaming.Spill, "part", failing)
    with pytest.raises(MemoryError, match="injected"):
        streaming.fit_file(OmbrelClassifier(features="words", learner="sgd"), good, part_bytes=2000,
                           spill_folder=str(spill))
    assert len(reads) == 2 and len(reads[1]) >= 2 and all(f.closed for f in reads[1]) and os.listdir(spill) == []


def test_train_stream_on_the_command_line(tmp_path):
    texts, labels = make_corpus(200, 3)
    lines = [f"{y}\t{x}\n" for x, y in zip(texts, labels)]
    good = tmp_path / "good.tsv"
    good.write_text("".join(lines), encoding="utf-8")
    bad = tmp_path / "bad.tsv"
    bad.write_text("".join(lines) + "__label__a text __label__b\n", encoding="utf-8")
    env = dict(os.environ, TMPDIR=str(tmp_path))

    def train(path, out):
        return subprocess.run([sys.executable, "-m", "ombrel_learn", "train", str(path), "-o", str(out),
                               "--stream", "yes"], capture_output=True, text=True, timeout=120, env=env)
    result = train(bad, tmp_path / "bad_model")
    assert result.returncode == 1 and f"{bad}:{len(lines) + 1}:" in result.stderr
    assert not (tmp_path / "bad_model").exists()
    result = train(good, tmp_path / "model")
    assert result.returncode == 0, result.stderr
    assert "trained (streamed) on 600 texts, 3 classes" in result.stderr
    assert sorted(os.listdir(tmp_path)) == ["bad.tsv", "good.tsv", "model"]  # no spill left in TMPDIR
    model = OmbrelClassifier.load(str(tmp_path / "model"))
    test_x, test_y = make_corpus(20, 4)
    assert np.mean(model.predict(test_x) == np.asarray(test_y)) > 0.95
