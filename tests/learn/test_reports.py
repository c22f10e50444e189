"""`ombrel test MODEL DATA --report DIR`: the files hold the same figures as scikit-learn's metrics,
the matrix accounts for every text, and the strongest tokens are the model's own."""

import csv
import importlib.util
import json

import pytest

from learn_support import FILLER, WORDS, make_corpus
from ombrel_learn import OmbrelClassifier, reports
from ombrel_learn.cli import main


def read_tsv(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE))


def write(path, pairs):
    path.write_text("".join(f"{y}\t{x}\n" for x, y in pairs), encoding="utf-8")
    return path


@pytest.fixture
def trained(tmp_path, capsys):
    texts, labels = make_corpus(15, 3)
    write(tmp_path / "train.tsv", zip(texts, labels))
    assert main(["train", str(tmp_path / "train.tsv"), "-o", str(tmp_path / "model"), "--features", "words",
                 "--learner", "naive_bayes"]) == 0
    capsys.readouterr()
    return tmp_path, texts, labels


def test_single_label_report_figures_matrix_and_tokens(trained, capsys):
    folder, train_texts, train_labels = trained
    texts, labels = make_corpus(6, 4)
    # Filler-only texts and texts of one class labelled as another: the model must err, unevenly.
    texts += [" ".join(FILLER[i:i + 3]) for i in range(4)] + [" ".join(WORDS["food"][:4])] * 2
    labels += ["sport", "space", "space", "food", "space", "sport"]
    data = write(folder / "test.tsv", zip(texts, labels))
    out_dir = folder / "reports" / "first"  # parents created too
    assert main(["test", str(folder / "model"), str(data), "--report", str(out_dir)]) == 0
    out, err = capsys.readouterr()
    predicted = OmbrelClassifier.load(folder / "model").predict(texts).tolist()
    assert predicted != labels

    names = sorted(set(labels) | set(predicted))
    per_class = read_tsv(out_dir / "per_class.tsv")
    assert per_class[0] == ["class", "precision", "recall", "f1", "support"]
    assert [row[0] for row in per_class[1:]] == names + ["macro avg", "weighted avg"]
    got = {row[0]: [float(v) for v in row[1:]] for row in per_class[1:]}
    for name in names:  # counted text by text, apart from the report's matrix
        tp = sum(p == name == t for p, t in zip(predicted, labels))
        said, support = predicted.count(name), labels.count(name)
        p, r = (tp / said if said else 0.0), (tp / support if support else 0.0)
        f = 2 * p * r / (p + r) if p + r else 0.0
        assert got[name] == pytest.approx([p, r, f, support], abs=1e-4), name
    if importlib.util.find_spec("sklearn") is not None:
        from sklearn.metrics import precision_recall_fscore_support
        for average, row in ((None, None), ("macro", "macro avg"), ("weighted", "weighted avg")):
            expected = precision_recall_fscore_support(labels, predicted, average=average, zero_division=0)
            if average is None:
                for i, name in enumerate(names):
                    assert got[name] == pytest.approx([float(expected[k][i]) for k in range(4)], abs=1e-4)
            else:
                assert got[row][:3] == pytest.approx([float(v) for v in expected[:3]], abs=1e-4)

    matrix = read_tsv(out_dir / "confusion.tsv")
    assert matrix[0][1:] == names and [row[0] for row in matrix[1:]] == names
    cells = {(t[0], p): int(c) for t in matrix[1:] for p, c in zip(names, t[1:])}
    assert sum(cells.values()) == len(texts)
    assert all(cells[(t, p)] == sum(a == t and b == p for a, b in zip(labels, predicted)) for t, p in cells)
    confused = read_tsv(out_dir / "confusions.tsv")[1:]
    wrong = sorted(((c, t, p) for (t, p), c in cells.items() if t != p and c), key=lambda x: (-x[0], x[1], x[2]))
    assert [(int(c), t, p) for t, p, c, _ in confused] == wrong[:20]
    assert all(float(s) == pytest.approx(int(c) / labels.count(t), abs=1e-4) for t, _, c, s in confused)

    # Strongest tokens: each occurs in its class's training texts, and a class's first one is its own word.
    rows = read_tsv(out_dir / "strongest_tokens.tsv")
    assert rows[0] == ["class", "rank", "token", "weight"]
    by_class = {}
    for name, _, token, weight in rows[1:]:
        by_class.setdefault(name, []).append((token, int(weight)))
    assert sorted(by_class) == sorted(set(train_labels))
    for name, found in by_class.items():
        words = {w for x, y in zip(train_texts, train_labels) if y == name for w in x.split()}
        assert 1 <= len(found) <= 10 and all(token in words for token, _ in found), (name, found)
        assert found[0][0] in WORDS[name] and [w for _, w in found] == sorted((w for _, w in found), reverse=True)

    report = json.loads((out_dir / "report.json").read_text(encoding="utf-8"))
    accuracy = float(next(line for line in out.splitlines() if line.startswith("accuracy\t")).split("\t")[1])
    assert report["accuracy"] == pytest.approx(accuracy, abs=1e-4) and report["texts"] == len(texts)
    assert report["model"].endswith("model") and report["data"].endswith("test.tsv")
    assert report["confusion"]["matrix"] == [[cells[(t, p)] for p in names] for t in names]
    assert [c["class"] for c in report["classes"]] == names and set(report["strongest_tokens"]) == set(by_class)
    png = out_dir / "confusion.png"
    if importlib.util.find_spec("matplotlib") is not None:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert not png.exists() and "pip install matplotlib" in err and len(err.splitlines()) == 1

    # A hashing model has no token texts: a note, not made-up names.
    assert main(["train", str(folder / "train.tsv"), "-o", str(folder / "hashed"), "--features", "words",
                 "--learner", "naive_bayes", "--buckets", "64"]) == 0
    hashed_dir = folder / "reports" / "hashed"  # a report never writes over an earlier one
    assert main(["test", str(folder / "hashed"), str(data), "--report", str(hashed_dir)]) == 0
    assert (hashed_dir / "strongest_tokens.tsv").read_text(encoding="utf-8").startswith("# a hashing model")

    # DIR an existing file: refused as a usage error, the file left as it was.
    taken = folder / "taken"
    taken.write_text("keep", encoding="utf-8")
    with pytest.raises(SystemExit) as exited:
        main(["test", str(folder / "model"), str(data), "--report", str(taken)])
    err = capsys.readouterr().err
    assert exited.value.code == 2 and "--report" in err and "is not a folder" in err.splitlines()[-1]
    assert taken.read_text(encoding="utf-8") == "keep"


def test_multilabel_report_has_labels_with_thresholds(tmp_path, capsys):
    lines = ["sport\ta goal in the match", "space\tthe rocket in orbit", "food\tgarlic and pasta",
             "sport,space\ta goal and a rocket", "food,sport\tpasta after the match", "food,space\tgarlic in orbit"]
    (tmp_path / "train.tsv").write_text("".join(line + "\n" for line in lines * 5), encoding="utf-8")
    (tmp_path / "test.tsv").write_text("".join(line + "\n" for line in lines) + "moon\tthe moon\n",
                                       encoding="utf-8")
    assert main(["train", str(tmp_path / "train.tsv"), "-o", str(tmp_path / "m"), "--multilabel"]) == 0
    capsys.readouterr()
    assert main(["test", str(tmp_path / "m"), str(tmp_path / "test.tsv"), "--report", str(tmp_path / "r")]) == 0
    printed = dict(line.split("\t", 1) for line in capsys.readouterr().out.splitlines())
    model = reports.fitted(OmbrelClassifier.load(tmp_path / "m"))
    thresholds = dict(zip(model.classes.tolist(), model.thresholds.tolist()))
    rows = read_tsv(tmp_path / "r" / "per_label.tsv")
    assert rows[0] == ["label", "precision", "recall", "f1", "support", "threshold"]
    assert [row[0] for row in rows[1:]] == ["food", "moon", "space", "sport"]
    for label, *figures, threshold in rows[1:]:
        assert "\t".join(figures) == printed[label]  # the figures `test` prints
        if label == "moon":  # not a label of the model: missed, with no threshold
            assert threshold == "" and figures[3] == "1"
        else:
            assert float(threshold) == pytest.approx(thresholds[label], abs=1e-4)
    report = json.loads((tmp_path / "r" / "report.json").read_text(encoding="utf-8"))
    for key in ("micro_f1", "macro_f1", "samples_f1", "precision_at_1"):
        assert report[key] == pytest.approx(float(printed[key]), abs=1e-4)
    assert sorted(p.name for p in (tmp_path / "r").iterdir()) == ["per_label.tsv", "report.json"]
