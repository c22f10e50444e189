"""`ombrel test MODEL DATA --report DIR`: the figures behind the summary, as files people open.

Single-label models: per_class.tsv (precision, recall, F1 and support per class, then the macro and
support-weighted averages), confusions.tsv (the most confused pairs), confusion.tsv (the whole matrix),
strongest_tokens.tsv (per class, the tokens whose synapses weigh most toward it), report.json (all of
it) and confusion.png when matplotlib is importable. Multi-label models: per_label.tsv (with the
threshold each label is decided by) and report.json.

A report writes only new files: a folder already holding a file of one of these names (or a link by
that name) is refused before anything runs, and each file is created with O_EXCL, so a link that
appears meanwhile is not followed either.

Per-class figures follow scikit-learn's precision_recall_fscore_support: the classes are those of the
file's labels and of the answers, sorted; a figure whose denominator is 0 is 0.
"""

from __future__ import annotations

import importlib.util
import json
import os
import sys
from typing import Any, Sequence

import numpy as np

from .learning.fitted_model import Model

TOP_CONFUSIONS = 20
STRONGEST_TOKENS = 10


def fitted(estimator: Any) -> Model:
    """The fitted model of a loaded classifier, for what predictions do not show: the token weights
    and the thresholds (the same model that answered, not the folder read again)."""
    model: Model = estimator.model_
    return model


# Every file a report may write (single-label and multi-label alike).
REPORT_FILES = ("per_class.tsv", "confusions.tsv", "confusion.tsv", "strongest_tokens.tsv", "report.json",
                "confusion.png", "per_label.tsv")


def check_folder(path: str) -> str:
    """`path` as a report folder: refused (ValueError) when it exists and is not a folder, or holds
    a file (or a link, even a dangling one) of a report's name: a report never writes over a file."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise ValueError(f"{path} exists and is not a folder: give a folder for the report")
    for name in REPORT_FILES:
        if os.path.lexists(os.path.join(path, name)):
            raise ValueError(f"{os.path.join(path, name)} exists: a report never writes over a file; give a new "
                             f"folder, or remove the old report")
    return path


def _create(path: str, binary: bool = False) -> Any:
    """A new file at `path`, opened for writing: FileExistsError when anything is there already, a
    symbolic link included (O_EXCL with O_CREAT never follows one), so that what a link points at
    is never written, whatever appeared since check_folder looked."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags, 0o666)
    try:
        return os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", encoding="utf-8", newline="\n")
    except BaseException:
        os.close(fd)
        raise


def per_class(names: list[str], matrix: np.ndarray) -> dict[str, Any]:
    """Precision, recall, F1 and support of each class of a confusion matrix (rows: truth), and
    their macro and support-weighted averages."""
    tp = np.diag(matrix).astype(np.float64)
    support, said = matrix.sum(axis=1), matrix.sum(axis=0)
    precision = np.divide(tp, said, out=np.zeros(len(tp)), where=said > 0)
    recall = np.divide(tp, support, out=np.zeros(len(tp)), where=support > 0)
    f1 = np.divide(2 * precision * recall, precision + recall, out=np.zeros(len(tp)), where=precision + recall > 0)
    rows = [{"class": n, "precision": float(p), "recall": float(r), "f1": float(f), "support": int(s)}
            for n, p, r, f, s in zip(names, precision, recall, f1, support)]
    total = int(support.sum())
    averages = {}
    for name, weights in (("macro", np.ones(len(tp))), ("weighted", support.astype(np.float64))):
        scale = float(weights.sum())
        averages[name] = {key: float(np.dot(weights, values) / scale) if scale else 0.0
                          for key, values in (("precision", precision), ("recall", recall), ("f1", f1))}
        averages[name]["support"] = total
    return {"classes": rows, "averages": averages}


def confusion(truth: Sequence[str], predicted: Sequence[str]) -> tuple[list[str], np.ndarray]:
    """(class names, the confusion matrix: row = true class, column = predicted, int64)."""
    names = sorted(set(truth) | set(predicted))
    index = {n: i for i, n in enumerate(names)}
    matrix = np.zeros((len(names), len(names)), dtype=np.int64)
    np.add.at(matrix, ([index[t] for t in truth], [index[p] for p in predicted]), 1)
    return names, matrix


def most_confused(names: list[str], matrix: np.ndarray, top: int = TOP_CONFUSIONS) -> list[dict[str, Any]]:
    """The off-diagonal cells with the largest counts, at most `top` (ties in class order), each with
    its share of the true class's texts."""
    support = matrix.sum(axis=1)
    cells = [(int(matrix[i, j]), i, j) for i in range(len(names)) for j in range(len(names))
             if i != j and matrix[i, j] > 0]
    cells.sort(key=lambda c: (-c[0], c[1], c[2]))
    return [{"true": names[i], "predicted": names[j], "count": count, "share": count / int(support[i])}
            for count, i, j in cells[:top]]


def strongest_tokens(model: Model, top: int = STRONGEST_TOKENS) -> dict[str, list[tuple[str, int]]] | None:
    """Per class of the model, its `top` tokens of largest positive synapse weight toward it (equal
    weights in token order); None for a hashing model, whose neurons have no token texts."""
    if model.buckets or model.vocabulary is None:
        return None
    tokens = model.vocabulary.tokens()
    classes = [str(c) for c in model.classes.tolist()]
    best: list[list[tuple[int, int]]] = [[] for _ in classes]
    read = model.field.get_neuron_synapses
    for neuron in range(len(tokens)):
        for target, weight in read(neuron):
            if weight > 0 and 0 <= target < len(classes):
                best[target].append((-int(weight), neuron))
    return {name: [(tokens[n], -w) for w, n in sorted(found)[:top]] for name, found in zip(classes, best)}


def _tsv(path: str, header: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    def cell(value: Any) -> str:
        return f"{value:.4f}" if isinstance(value, float) else str(value)
    with _create(path) as f:
        f.write("\t".join(header) + "\n")
        f.writelines("\t".join(cell(v) for v in row) + "\n" for row in rows)


def _json(path: str, content: dict[str, Any]) -> None:
    with _create(path) as f:
        json.dump(content, f, indent=2, ensure_ascii=False)
        f.write("\n")


def _picture(path: str, names: list[str], matrix: np.ndarray) -> bool:
    """confusion.png; False (and a note on standard error) when matplotlib is not importable."""
    if importlib.util.find_spec("matplotlib") is None:
        print("ombrel: note: no confusion.png: it needs matplotlib (pip install matplotlib)", file=sys.stderr)
        return False
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
    size = min(4 + 0.35 * len(names), 40)
    fig, ax = plt.subplots(figsize=(size, size))
    try:
        ax.imshow(matrix, cmap="Blues")
        ax.set_xticks(range(len(names)), names, rotation=90)
        ax.set_yticks(range(len(names)), names)
        ax.set_xlabel("predicted")
        ax.set_ylabel("true")
        if len(names) <= 30:
            limit = matrix.max() / 2 if matrix.size else 0
            for (i, j), count in np.ndenumerate(matrix):
                ax.text(j, i, str(count), ha="center", va="center", fontsize=8,
                        color="white" if count > limit else "black")
        fig.tight_layout()
        with _create(path, binary=True) as f:
            fig.savefig(f, format="png", dpi=100)
    finally:
        plt.close(fig)
    return True


def write_single_label(folder: str, model: Model, model_path: str, data_path: str, truth: Sequence[str],
                       predicted: Sequence[str]) -> None:
    """The single-label report of `predicted` against `truth` in `folder` (created if needed)."""
    os.makedirs(check_folder(folder), exist_ok=True)
    names, matrix = confusion(truth, predicted)
    figures = per_class(names, matrix)
    _tsv(os.path.join(folder, "per_class.tsv"), ("class", "precision", "recall", "f1", "support"),
         [tuple(r.values()) for r in figures["classes"]]
         + [(f"{k} avg", *v.values()) for k, v in figures["averages"].items()])
    confused = most_confused(names, matrix)
    _tsv(os.path.join(folder, "confusions.tsv"), ("true", "predicted", "count", "share"),
         [tuple(c.values()) for c in confused])
    _tsv(os.path.join(folder, "confusion.tsv"), ("true\\predicted", *names),
         [(name, *row.tolist()) for name, row in zip(names, matrix)])
    strongest = strongest_tokens(model)
    path = os.path.join(folder, "strongest_tokens.tsv")
    if strongest is None:
        with _create(path) as f:
            f.write("# a hashing model (buckets > 0): its token neurons have no token texts\n")
    else:
        _tsv(path, ("class", "rank", "token", "weight"),
             [(name, rank, token, weight) for name, found in strongest.items()
              for rank, (token, weight) in enumerate(found, 1)])
    _json(os.path.join(folder, "report.json"), {
        "model": os.path.abspath(model_path), "data": data_path if data_path == "-" else os.path.abspath(data_path),
        "texts": len(truth), "accuracy": float(np.trace(matrix) / max(1, len(truth))), **figures,
        "confusions": confused, "confusion": {"classes": names, "matrix": matrix.tolist()},
        "strongest_tokens": None if strongest is None else
        {name: [{"token": t, "weight": w} for t, w in found] for name, found in strongest.items()}})
    _picture(os.path.join(folder, "confusion.png"), names, matrix)


def write_multilabel(folder: str, model: Model, model_path: str, data_path: str, names: list[str],
                     measured: dict[str, Any]) -> None:
    """The multi-label report: per_label.tsv (with each known label's threshold; none for a label the
    model does not know) and report.json, from multilabel.metrics' figures over `names`."""
    os.makedirs(check_folder(folder), exist_ok=True)
    thresholds = [] if model.thresholds is None else [float(t) for t in model.thresholds.tolist()]
    rows = [(name, float(p), float(r), float(f), int(s), thresholds[j] if j < len(thresholds) else "")
            for j, (name, (p, r, f, s)) in enumerate(zip(names, measured["per_class"]))]
    rows.sort(key=lambda row: row[0])
    _tsv(os.path.join(folder, "per_label.tsv"), ("label", "precision", "recall", "f1", "support", "threshold"), rows)
    keys = ("micro_f1", "macro_f1", "samples_f1", "precision_at_1")
    _json(os.path.join(folder, "report.json"), {
        "model": os.path.abspath(model_path), "data": data_path if data_path == "-" else os.path.abspath(data_path),
        **{key: float(measured[key]) for key in keys},
        "labels": [{"label": r[0], "precision": r[1], "recall": r[2], "f1": r[3], "support": r[4],
                    "threshold": r[5] if r[5] != "" else None} for r in rows]})
