"""The command line as a careful fastText or scikit-learn user relies on it: what it reads from a file,
the labelled-line format, its errors and help, streaming answers, and what it shows on a terminal."""

import importlib.util
import io
import os
import pty
import re
import select
import subprocess
import sys
import time

import pytest

from learn_support import FILLER, make_corpus
from ombrel_learn import OmbrelClassifier
from ombrel_learn.cli import _parser, main


def run(capsys, *args, stdin=None, monkeypatch=None):
    """main(args) in this process: (exit status, standard output, standard error)."""
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def write(path, lines, encoding="utf-8"):
    path.write_bytes("".join(lines).encode(encoding))
    return path


@pytest.fixture
def leaky(tmp_path, capsys):
    """A model in whose training texts each class name is a strong word of another class, and texts
    of filler words only: a label read as part of a text changes the answer."""
    texts, labels = make_corpus(20, 1)
    other = {"sport": "space", "food": "sport", "space": "food"}
    write(tmp_path / "train.tsv", [f"{y}\t{x} {other[y]} {other[y]}\n" for x, y in zip(texts, labels)])
    status, _, err = run(capsys, "train", tmp_path / "train.tsv", "-o", tmp_path / "model", "--features", "words")
    assert status == 0, err
    fillers = [" ".join(FILLER[i:i + 3]) for i in range(4)]
    truth = ["sport", "food", "space", "food"]
    return tmp_path, fillers, truth


def test_predict_drops_labels_by_one_documented_rule(leaky, capsys, monkeypatch):
    folder, fillers, truth = leaky
    model = folder / "model"
    bare = write(folder / "bare.txt", [f"{x}\n" for x in fillers])
    status, expected, err = run(capsys, "predict", model, bare)
    assert status == 0 and err == "" and len(expected.splitlines()) == 4
    tsv = write(folder / "test.tsv", [f"{y}\t{x}\n" for x, y in zip(fillers, truth)])
    ft = write(folder / "test.ft", [f"__label__{y}\t{x}\n" for x, y in zip(fillers, truth)])
    for source in (tsv, ft):
        status, out, err = run(capsys, "predict", model, source)
        assert status == 0 and out == expected, source
        assert ("label<TAB>text" in err) == (source == tsv)  # the automatic decision is said, once
        assert run(capsys, "predict", model, source, "--labelled")[1] == expected
    # The leak would be real: reading the TSV lines whole gives other answers.
    assert run(capsys, "predict", model, tsv, "--texts")[1] != expected
    status, out, err = run(capsys, "predict", model, "-", stdin=tsv.read_bytes(), monkeypatch=monkeypatch)
    assert status == 0 and out == expected
    # A TAB that cannot be told apart is an error naming the line, never a silent guess.
    odd = write(folder / "odd.tsv", [f"{x}\n" for x in fillers[:2]] + [f"sport\t{fillers[2]}\n"])
    for source, line in ((odd, 3), (write(folder / "tabs.txt", [f"not a class\t{fillers[0]}\n"]), 1)):
        status, out, err = run(capsys, "predict", model, source)
        assert status == 1 and out == "" and f"{source.name}:{line}:" in err and "--labelled" in err
    assert run(capsys, "predict", model, odd, "--texts")[0] == 0


def test_lines_end_at_newline_only_in_files_and_on_standard_input(leaky, capsys, monkeypatch):
    folder, fillers, truth = leaky
    model = folder / "model"
    data = f"{fillers[0]}\r{fillers[1]}\r\n{fillers[2]}\n".encode()
    write(folder / "two.txt", [data.decode()])
    from_file = run(capsys, "predict", model, folder / "two.txt")
    from_stdin = run(capsys, "predict", model, "-", stdin=data, monkeypatch=monkeypatch)
    assert from_file[0] == 0 and len(from_file[1].splitlines()) == 2
    assert from_stdin[1] == from_file[1]
    # CRLF labelled files: the "\r" belongs to neither label nor text; a lone "\r" stays in its line.
    labelled = "".join(f"{y}\t{x}\r\n" for x, y in zip(fillers, truth)) + f"food\t{fillers[0]}\rmore\r\n"
    write(folder / "crlf.tsv", [labelled])
    status, out, _ = run(capsys, "test", model, folder / "crlf.tsv")
    assert status == 0 and "texts\t5" in out.splitlines()
    assert not any("\r" in line for line in out.splitlines())


def test_fasttext_format_rules(tmp_path, capsys):
    texts, labels = make_corpus(10, 1)
    # A label ends at any blank, TAB included; the same label repeated is one label.
    write(tmp_path / "tab.ft", [f"__label__{y}\t{x}\n" for x, y in zip(texts, labels)]
          + [f"__label__{labels[0]} __label__{labels[0]}  {texts[0]}\n"])
    status, _, err = run(capsys, "train", tmp_path / "tab.ft", "-o", tmp_path / "m")
    assert status == 0, err
    assert sorted(OmbrelClassifier.load(tmp_path / "m").classes_.tolist()) == sorted(set(labels))
    for line, message in [
        ("__label__a __label__b two labels here\n", "2 labels (__label__a __label__b)"),
        ("__label__a some text __label__b\n", "labels go first"),
        ("a\tsome text __label__b\n", "labels go first"),
        ("some text __label__b\n", "labels go first"),
    ]:
        write(tmp_path / "bad.ft", [f"__label__{y} {x}\n" for x, y in zip(texts[:3], labels[:3])] + [line])
        status, out, err = run(capsys, "train", tmp_path / "bad.ft", "-o", tmp_path / "m2")
        assert status == 1 and len(err.splitlines()) == 1 and f"bad.ft:4: " in err and message in err, err
    assert not (tmp_path / "m2").exists()


def test_errors_help_and_reports(leaky, capsys, monkeypatch):
    folder, fillers, truth = leaky
    model = folder / "model"
    texts, labels = make_corpus(10, 1)
    latin = write(folder / "latin.tsv", [f"{y}\t{x} caf\u00e9\n" for x, y in zip(texts, labels)], "latin-1")
    status, _, err = run(capsys, "train", latin, "-o", folder / "m")
    assert status == 1 and err.count("\n") == 1 and "latin.tsv:1:" in err and "--encoding latin-1" in err
    assert run(capsys, "train", latin, "-o", folder / "m", "--encoding", "latin-1")[0] == 0
    write(folder / "one.tsv", ["a\tx y\n", "a\ty z\n"])
    status, _, err = run(capsys, "train", folder / "one.tsv", "-o", folder / "m1")
    assert status == 1 and "one.tsv has only one label 'a': training needs at least two" in err

    # Every option's help states its default; --autotune alone means the API's default budget.
    for name in ("train", "test", "predict"):
        with pytest.raises(SystemExit):
            main([name, "--help"])
        options = capsys.readouterr().out.split("\noptions:\n")[1]
        entries = re.split(r"\n(?=  -)", options.strip("\n"))  # one per option, continuation lines included
        assert len(entries) >= 2 and all(re.search(r"\(default|\(required", e) for e in entries[1:]), entries
    assert _parser().parse_args(["train", "d", "-o", "m", "--autotune"]).autotune == 30.0
    with pytest.raises(SystemExit) as exited:
        main(["--version"])
    assert exited.value.code == 0 and re.match(r"ombrel \d+\.\d+", capsys.readouterr().out)

    # `test`: a plain TSV (no padding), F1 per class and macro F1, as scikit-learn computes them.
    sample = write(folder / "mixed.tsv", [f"{y}\t{x}\n" for x, y in zip(fillers, truth)])
    predicted = OmbrelClassifier.load(model).predict(fillers).tolist()
    status, out, _ = run(capsys, "test", model, sample)
    rows = [line.split("\t") for line in out.splitlines()]
    assert status == 0 and all(cell == cell.strip() for row in rows for cell in row)
    table = {row[0]: row[1:] for row in rows}
    assert table["class"] == ["precision", "recall", "f1", "support"]
    f1 = {}
    for name in ("food", "space", "sport"):
        tp = sum(p == t == name for p, t in zip(predicted, truth))
        precision = tp / max(1, predicted.count(name))
        recall = tp / max(1, truth.count(name))
        f1[name] = 2 * precision * recall / (precision + recall) if tp else 0.0
        assert table[name] == [f"{precision:.4f}", f"{recall:.4f}", f"{f1[name]:.4f}", str(truth.count(name))]
    assert table["macro_f1"] == [f"{sum(f1.values()) / 3:.4f}"]

    # The missing serving extra says how to install it from a source folder too.
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "uvicorn" else real(name, *a))
    status, _, err = run(capsys, "serve", model)
    assert status == 1 and "pip install uvicorn" in err and ".[serve]" in err


def test_nothing_silent_commas_unknown_labels_reports_and_explain_from_standard_input(leaky, capsys, monkeypatch):
    folder, fillers, truth = leaky
    model = folder / "model"
    texts, labels = make_corpus(10, 2)
    # Comma-joined labels without --multilabel are classes of their own: said, with the flag to use.
    joined = write(folder / "tags.tsv", [f"{y},{'space' if y != 'space' else 'food'}\t{x}\n" if i % 3 == 0
                                         else f"{y}\t{x}\n" for i, (x, y) in enumerate(zip(texts, labels))])
    status, _, err = run(capsys, "train", joined, "-o", folder / "joined")
    assert status == 0 and "hold a comma" in err and "--multilabel" in err, err
    # test: a file of labels the model does not know fails; some unknown labels are a warning.
    unknown = write(folder / "unknown.tsv", [f"{y.upper()}\t{x}\n" for x, y in zip(fillers, truth)])
    status, out, err = run(capsys, "test", model, unknown)
    assert status == 1 and out == "" and "none of the labels" in err and "'FOOD'" in err, err
    some = write(folder / "some.tsv", [f"{y}\t{x}\n" for x, y in zip(fillers, truth)] + ["sports\tgoal\n"])
    status, out, err = run(capsys, "test", model, some)
    assert status == 0 and "accuracy" in out and "1 label of" in err and "'sports'" in err, err
    # --report never writes over a file, nor through a link, as the guide says (exit status 2).
    assert run(capsys, "test", model, some, "--report", folder / "report")[0] == 0
    before = (folder / "report" / "report.json").read_bytes()
    (folder / "target").write_text("precious")
    (folder / "linked").mkdir()
    (folder / "linked" / "report.json").symlink_to(folder / "target")
    for report in ("report", "linked"):
        with pytest.raises(SystemExit) as exited:
            main(["test", str(model), str(some), "--report", str(folder / report)])
        assert exited.value.code == 2 and "exists" in capsys.readouterr().err
    assert (folder / "report" / "report.json").read_bytes() == before
    (folder / "late").mkdir()
    (folder / "late" / "per_class.tsv").symlink_to(folder / "target")  # appears after the check
    from ombrel_learn import reports
    monkeypatch.setattr(reports, "check_folder", lambda path: path)
    status, _, err = run(capsys, "test", model, some, "--report", folder / "late")
    assert status == 1 and "File exists" in err and (folder / "target").read_text() == "precious"
    # explain MODEL - reads the text from standard input.
    text = "referee tomato\nthe orbit"
    status, from_stdin, _ = run(capsys, "explain", model, "-", stdin=(text + "\n").encode(), monkeypatch=monkeypatch)
    assert status == 0 and from_stdin == run(capsys, "explain", model, text)[1]
    assert from_stdin != run(capsys, "explain", model, "-", stdin=b"", monkeypatch=monkeypatch)[1]


def test_predict_answers_each_line_of_a_pipe_as_it_comes(leaky):
    folder, fillers, _ = leaky
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen([sys.executable, "-m", "ombrel_learn", "predict", str(folder / "model")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        answers = []
        for text in fillers[:2]:
            child.stdin.write(f"{text}\n".encode())
            child.stdin.flush()  # the input stays open: the answer must come before its end
            ready, _, _ = select.select([child.stdout], [], [], 60)
            assert ready, "no answer before the end of the input"
            answers.append(child.stdout.readline().decode().strip())
        assert all(answers)
    finally:
        child.stdin.close()
        child.wait(60)
    assert child.returncode == 0, child.stderr.read()


def terminal_phases(*args):
    """The phase lines `ombrel train` draws on a terminal: for each line, its successive states."""
    primary, secondary = pty.openpty()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "COLUMNS": "200"}
    child = subprocess.Popen([sys.executable, "-m", "ombrel_learn", "train", *map(str, args)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=secondary, env=env)
    os.close(secondary)
    shown = b""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([primary], [], [], 1)
        if ready:
            try:
                chunk = os.read(primary, 65536)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            shown += chunk
        elif child.poll() is not None:
            break
    os.close(primary)
    assert child.wait(60) == 0, shown
    lines = []
    for line in shown.decode().replace("\x1b[K", "").split("\n"):
        states = [s.strip() for s in line.split("\r") if s.strip()]
        if states and not states[-1].startswith("trained on") and not states[-1].startswith("autotune:"):
            lines.append(states)
    return lines


def test_a_terminal_shows_one_line_per_phase(tmp_path):
    texts, labels = make_corpus(30, 1)
    data = write(tmp_path / "train.tsv", [f"{y}\t{x}\n" for x, y in zip(texts, labels)])
    for options, last in ([], "training"), (["--learner", "field"], "training"), (["--autotune", "1"], None):
        lines = terminal_phases(data, "-o", tmp_path / "m", *options)
        names = [states[-1].split(":")[0] for states in lines]
        assert len(names) == len(set(names)), lines  # one line per phase: no bar starts over
        assert all(all(s.startswith(name + ":") for s in states) for name, states in zip(names, lines))
        assert names[0] == ("searching settings" if "--autotune" in options else "choosing features and learner")
        assert set(names) <= {"searching settings", "choosing features and learner", "featurizing", "training"}
        assert names[-1] == "training" and all("done in" in states[-1] for states in lines)
        for states in lines:
            percents = [int(p) for s in states for p in re.findall(r"(\d+)% \|", s)]
            assert percents == sorted(percents)
        if "field" in options:
            assert re.search(r"100% \|#+\| 360/360 texts", lines[-1][-1]), lines
