"""The command line, run as a user runs it."""

import subprocess
import sys

import pytest

from learn_support import make_corpus


def ombrel(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "ombrel_learn", *args], capture_output=True, text=True,
                          input=stdin, timeout=120, cwd=cwd)


@pytest.fixture
def files(tmp_path):
    train_x, train_y = make_corpus(20, 1)
    test_x, test_y = make_corpus(5, 2)
    (tmp_path / "train.tsv").write_text("".join(f"{y}\t{x}\n" for x, y in zip(train_x, train_y)), encoding="utf-8")
    (tmp_path / "train.ft").write_text("".join(f"__label__{y} {x}\n" for x, y in zip(train_x, train_y)), encoding="utf-8")
    (tmp_path / "test.tsv").write_text("".join(f"{y}\t{x}\n" for x, y in zip(test_x, test_y)), encoding="utf-8")
    (tmp_path / "texts.txt").write_text("".join(f"{x}\n" for x in test_x), encoding="utf-8")
    return tmp_path, test_y


@pytest.mark.parametrize("train_file", ["train.tsv", "train.ft"])
@pytest.mark.parametrize("options", [[], ["--autotune", "5"], ["--learner", "field", "--features", "words"]])
def test_train_test_predict(files, train_file, options):
    folder, test_y = files
    result = ombrel("train", str(folder / train_file), "-o", str(folder / "model"), *options)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and "3 classes" in result.stderr
    assert ("autotune:" in result.stderr and "chose" in result.stderr) == ("--autotune" in options)
    if "--learner" in options:
        assert "learner field" in result.stderr
    assert "\r" not in result.stderr  # no progress bar when standard error is not a terminal
    result = ombrel("test", str(folder / "model"), str(folder / "test.tsv"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "accuracy\t1.0000" in lines
    assert any(line.startswith("space") and line.endswith("\t1.0000\t1.0000\t5") for line in lines)
    result = ombrel("predict", str(folder / "model"), str(folder / "texts.txt"))
    assert result.returncode == 0 and result.stdout.splitlines() == test_y
    piped = ombrel("predict", str(folder / "model"), stdin=(folder / "texts.txt").read_text())
    assert piped.returncode == 0 and piped.stdout == result.stdout


@pytest.mark.parametrize("args, message", [
    (["train", "{d}/nothing.tsv", "-o", "{d}/m"], "nothing.tsv: No such file"),
    (["train", "{d}/bad.tsv", "-o", "{d}/m"], "bad.tsv:2: expected 'label<TAB>text'"),
    (["train", "{d}/one.tsv", "-o", "{d}/m"], "at least two classes"),
    (["train", "{d}/blank.tsv", "-o", "{d}/m"], "empty training set"),
    (["test", "{d}/no-model", "{d}/one.tsv"], "No such model folder"),
    (["predict", "{d}", "{d}/one.tsv"], "model.json is missing"),
])
def test_errors_are_one_line_and_fail(tmp_path, args, message):
    (tmp_path / "bad.tsv").write_text("a\tfine\nno tab here\n", encoding="utf-8")
    (tmp_path / "one.tsv").write_text("a\tx y\na\ty z\n", encoding="utf-8")
    (tmp_path / "blank.tsv").write_text("\n\n", encoding="utf-8")
    result = ombrel(*[a.format(d=tmp_path) for a in args])
    assert result.returncode != 0
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "m").exists()
