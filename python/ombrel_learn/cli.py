"""The command line: `ombrel` or `python -m ombrel_learn`.

    ombrel train DATA -o MODEL [--features auto|words|chars] [--learner auto|...] [--epochs N] ...
    ombrel train DATA -o MODEL --autotune [SECONDS]   search the settings within that many seconds
    ombrel train DATA -o MODEL --multilabel   several labels a line (label,label<TAB>text): tags
    ombrel test MODEL DATA          accuracy, macro F1, per-class precision, recall and F1 (TSV)
    ombrel test MODEL DATA --report DIR   the same, and per-class, confusion and token files in DIR
    ombrel predict MODEL [FILE|-]   one label per line
    ombrel predict MODEL FILE -k K [--threshold P] [--probabilities]   the K most probable labels
    ombrel explain MODEL TEXT|- [-k K]   the label, the runner-up and the tokens that decide between them
    ombrel serve MODEL [--workers N] [--host H] [--port P]   an HTTP service (JSON), see serving.py

DATA files hold `label<TAB>text` lines or fastText's `__label__X text` lines; how lines, labels and
the texts `predict` reads are told apart is in data.py. Errors are one line on standard error and a
non-zero exit status; what a fit is doing shows on standard error only when it is a terminal.
"""

from __future__ import annotations

import argparse
import copy
import inspect
import os
import re
import sys
import time
import warnings
from typing import Any, Sequence

from . import __version__, streaming
from . import data as data_files

PREDICT_STEP = 100_000  # texts per predict call: bounds the ids held at once


class _Failure(Exception):
    pass


class _Help(argparse.ArgumentDefaultsHelpFormatter):
    """Every option's help ends with its default. An option whose default means "off" or "chosen
    for you" says so in its own help."""

    def add_argument(self, action: argparse.Action) -> None:
        if action.help is None and action.option_strings and action.default not in (None, argparse.SUPPRESS):
            action = copy.copy(action)
            action.help = ""
            action.help = self._get_help_string(action)
        super().add_argument(action)

    def _get_help_string(self, action: argparse.Action) -> str:
        text = action.help or ""
        if ("%(default)" in text or "(default" in text or action.required
                or action.default is None or action.default == argparse.SUPPRESS):
            return text
        if not action.option_strings and action.nargs != "?":
            return text
        if action.default is False:
            return f"{text} (default: off)".strip()
        if action.default == []:
            return f"{text} (default: none)".strip()
        return f"{text} (default: %(default)s)".strip()


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _Help)
        super().__init__(*args, **kwargs)


def _encoding(name: str) -> str:
    try:
        return data_files.check_encoding(name)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _parser() -> argparse.ArgumentParser:
    from .classifier import OmbrelClassifier
    defaults = OmbrelClassifier().get_params()
    budget = inspect.signature(OmbrelClassifier.autotune).parameters["budget"].default
    p = _Parser(prog="ombrel", description="Text classification with ombrel.")
    p.add_argument("--version", action="version",
                   version=f"ombrel {__version__} (Python {sys.version.split()[0]})")
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)
    encoding: dict[str, Any] = {"type": _encoding, "default": "utf-8",
                "help": "the file's text encoding (e.g. latin-1, cp1252, utf-16)"}
    train = sub.add_parser("train", help="train a model from a labelled file")
    train.add_argument("data", help="label<TAB>text or __label__X text lines ('-': standard input)")
    train.add_argument("-o", "--output", required=True, help="model folder to write (required)")
    train.add_argument("--features", choices=["auto", "words", "chars"], default=defaults["features"],
                       help="word tokens or character n-grams; auto: chosen on held-out rows")
    train.add_argument("--learner", choices=["auto", "field", "naive_bayes", "sgd", "perceptron", "svm"],
                       default=defaults["learner"], help="how the weights are learnt; auto: chosen on held-out rows")
    train.add_argument("--alpha", type=float, default=defaults["alpha"],
                       help="naive Bayes smoothing or SGD penalty (default: chosen on held-out rows)")
    train.add_argument("--epochs", type=int, default=defaults["epochs"], help="training passes")
    train.add_argument("--buckets", type=int, default=defaults["buckets"],
                       help="hash tokens into this many neurons instead of building a vocabulary (0: a vocabulary)")
    train.add_argument("--min-df", type=int, default=defaults["min_df"],
                       help="a vocabulary keeps tokens seen in at least this many texts")
    train.add_argument("--seed", type=int, default=defaults["random_state"], help="shuffling and learners' seed")
    train.add_argument("--autotune", type=float, nargs="?", const=budget, metavar="SECONDS", default=None,
                       help=f"search features, learner and settings on held-out rows, the search and the final fit "
                            f"within SECONDS ({budget:g} when SECONDS is left out; reading the file and writing the "
                            f"model come on top); the other training options are starting points (default: off)")
    train.add_argument("--encoding", **encoding)
    train.add_argument("--multilabel", action="store_true",
                       help="each line has one or more labels (several __label__X words, or label,label<TAB>text): "
                            "train a multi-label model, one class against the rest")
    train.add_argument("--min-labels", type=int, default=defaults["min_labels"], metavar="N",
                       help="with --multilabel: every text gets at least its N best labels (0: possibly none)")
    streaming.add_arguments(train)
    test = sub.add_parser("test", help="accuracy, macro F1 and per-class precision, recall and F1 on a labelled file")
    test.add_argument("model", help="model folder")
    test.add_argument("data", help="label<TAB>text or __label__X text lines ('-': standard input)")
    test.add_argument("--encoding", **encoding)
    test.add_argument("--report", type=_report_folder, default=None, metavar="DIR",
                      help="also write the figures as files into DIR (created if needed): per-class or per-label "
                           "TSVs, confusions, strongest tokens, report.json, confusion.png with matplotlib; a "
                           "report file already in DIR is refused, never written over (default: none)")
    predict = sub.add_parser("predict", help="one label per line of text",
                             description="One label per line of FILE, blank lines included. Leading __label__ "
                                         "words are dropped; label<TAB>text lines are recognised when the first "
                                         "line's first column is a class of the model (said on standard error), "
                                         "and a TAB that cannot be told apart is an error: say --labelled or --texts.")
    predict.add_argument("model", help="model folder")
    predict.add_argument("file", nargs="?", default="-", help="texts, one per line ('-': standard input)")
    reading = predict.add_mutually_exclusive_group()
    reading.add_argument("--labelled", dest="input", action="store_const", const="labelled", default="auto",
                         help="every line is label<TAB>text or __label__X text: predict on its text (default: "
                              "recognised from the first line)")
    reading.add_argument("--texts", dest="input", action="store_const", const="texts",
                         help="every whole line is a text, as it stands (default: recognised from the first line)")
    predict.add_argument("--encoding", **encoding)
    ranked = predict.add_argument_group(
        "several labels and probabilities",
        "With any of these options, each line holds the model's most probable labels, best first: __label__X "
        "words (each followed by its probability when probabilities are asked for) when the input is fastText "
        "style or probabilities are asked for, else the labels separated by TABs; an empty line when no label "
        "reaches the threshold. A multi-label model's labels are those it predicts (each label's own "
        "probability past that label's threshold), or with --threshold those of probability >= P.")
    ranked.add_argument("-k", type=_at_least_one, default=None, metavar="K",
                        help="at most K labels per line (default: 1; a multi-label model: every label it predicts)")
    ranked.add_argument("--threshold", type=_probability, default=None, metavar="P",
                        help="only labels of probability >= P, from 0 to 1 (default: 0)")
    ranked.add_argument("--probabilities", action="store_true", help="write each label's probability after it")
    explain = sub.add_parser(
        "explain", help="why a text gets its label: the tokens that decide between it and the runner-up",
        description="Prints 'label<TAB>L', 'runner_up<TAB>R', 'bias<TAB>+a<TAB>+b' (the bias neurons' share, 0 "
                    "for the field learner), then one line 'token<TAB>+a<TAB>+b' per token, the K tokens whose "
                    "contributions to L (a) and to R (b) differ most first. Contributions are in the field's "
                    "potential units (integers, the model's own scale); the tokens of the text and the bias add up "
                    "to the potentials of L and R. Single-label models only.")
    explain.add_argument("model", help="model folder")
    explain.add_argument("text", help="the text to explain ('-': standard input, read whole as one text, UTF-8)")
    explain.add_argument("-k", type=_at_least_one, default=10, metavar="K", help="at most K tokens")
    from .serve import service as serving
    serve = sub.add_parser(
        "serve", help="serve a model folder over HTTP (JSON); needs uvicorn",
        description="Serve a model folder over HTTP (JSON). /feedback and /reload are off unless "
                    "--allow-writes is given with a token (environment variable OMBREL_SERVE_TOKEN or "
                    "--token-file); requests must then carry 'Authorization: Bearer <token>'.")
    serve.add_argument("model")
    serve.add_argument("--workers", type=int, default=1,
                       help="worker processes; they share the mapped weights (default %(default)s)")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    serve.add_argument("--port", type=int, default=8000, help="0 to 65535; 0 picks a free one (default %(default)s)")
    serve.add_argument("--max-body", type=int, default=serving.DEFAULT_MAX_BODY, metavar="BYTES",
                       help="larger request bodies are refused with 413 (default %(default)s)")
    serve.add_argument("--poll", type=float, default=serving.DEFAULT_POLL, metavar="SECONDS",
                       help="how often each worker checks the folder for a newly saved model (at least 0.05; "
                            "default %(default)s)")
    serve.add_argument("--allow-writes", action="store_true",
                       help="enable /feedback and /reload for requests carrying the token (from the environment "
                            "variable OMBREL_SERVE_TOKEN or --token-file; at least 16 characters)")
    serve.add_argument("--token-file", metavar="FILE",
                       help="read the token of the writing endpoints from FILE (its first line)")
    serve.add_argument("--allowed-host", action="append", default=[], metavar="NAME",
                       help="a host name clients may use in Host besides IP addresses, localhost and --host "
                            "(repeat for several; '*' for any: only behind a proxy that checks it)")
    serve.add_argument("--allowed-origin", action="append", default=[], metavar="ORIGIN",
                       help="a web origin (scheme://host:port) whose pages may call the service (repeatable)")
    serve.add_argument("--no-page", action="store_true",
                       help="do not answer / with the page to try the model (for production deployments)")
    serve.add_argument("--timeout-header", type=float, default=serving.DEFAULT_HEADER_TIMEOUT, metavar="SECONDS",
                       help="close a connection whose request head has not arrived within SECONDS of its opening "
                            "or of the previous answer (default %(default)s)")
    serve.add_argument("--timeout-body", type=float, default=serving.DEFAULT_BODY_TIMEOUT, metavar="SECONDS",
                       help="answer 408 to a request whose body has not arrived within SECONDS (default %(default)s)")
    serve.add_argument("--timeout-keep-alive", type=float, default=serving.DEFAULT_KEEP_ALIVE, metavar="SECONDS",
                       help="close an idle kept-alive connection after SECONDS (default %(default)s)")
    serve.add_argument("--max-connections", type=int, default=serving.DEFAULT_MAX_CONNECTIONS, metavar="N",
                       help="open connections per worker, at most (kept below the open-file limit; default "
                            "%(default)s)")
    serve.add_argument("--max-head", type=int, default=serving.DEFAULT_MAX_HEAD, metavar="BYTES",
                       help="a request line and headers longer than BYTES are answered 431 and the connection "
                            "closed (default %(default)s)")
    serve.add_argument("--restart-delay-max", type=float, default=10.0, metavar="SECONDS",
                       help="longest wait before another try to start a worker that keeps failing (default "
                            "%(default)s)")
    serve.add_argument("--access-log", action="store_true", help="log every request")
    serve.add_argument("--log-level", default="info", choices=["critical", "error", "warning", "info", "debug"])
    return p


def _name(path: str) -> str:
    return "standard input" if path == "-" else path


def _read_labelled(path: str, encoding: str) -> tuple[list[str], list[str]]:
    if path == "-":
        return data_files.read_labelled(sys.stdin, _name(path), encoding)
    return data_files.read_labelled_file(path, encoding)


def _train(args: argparse.Namespace) -> int:
    from .classifier import OmbrelClassifier
    if streaming.wanted(args):
        return streaming.train(args)
    if args.multilabel:
        texts, labels = _read_label_sets(args.data, args.encoding)
        if args.autotune is not None:
            raise _Failure("--autotune searches single-label models; train a multi-label model without it")
    else:
        texts, labels = _read_labelled(args.data, args.encoding)
    if not texts:
        raise _Failure(f"{_name(args.data)} holds no labelled lines (an empty training set)")
    from .store import folder as model_folder
    model_folder.check_target(args.output)  # before the fit, not after it
    distinct = {label for found in labels for label in found} if args.multilabel else set(labels)
    if len(distinct) == 1:
        raise _Failure(f"{_name(args.data)} has only one label {distinct.pop()!r}: training needs at least two classes")
    joined = sorted(label for label in distinct if "," in label) if not args.multilabel else []
    if joined:  # GoEmotions' label,label<TAB>text lines would make hundreds of combined classes
        print(f"ombrel: warning: {len(joined)} of the {len(distinct)} labels of {_name(args.data)} hold a comma "
              f"(such as {joined[0][:60]!r}), and each is trained as a class of its own; if commas join several "
              f"labels of a text (label,label<TAB>text), train with --multilabel", file=sys.stderr)
    clf = OmbrelClassifier(features=args.features, learner=args.learner, alpha=args.alpha, epochs=args.epochs,
                           buckets=args.buckets, min_df=args.min_df, random_state=args.seed, verbose=True,
                           min_labels=args.min_labels)
    start = time.perf_counter()
    if args.autotune is not None:
        clf.autotune(texts, labels, budget=args.autotune)
    else:
        clf.fit(texts, labels)
    seconds = time.perf_counter() - start
    clf.set_params(verbose=False)  # the saved model is quiet when loaded; the command line turned it on
    clf.save(args.output)
    if args.autotune is not None:
        report: dict[str, Any] = getattr(clf, "autotune_report_")
        chosen = " ".join(f"{k}={v}" for k, v in report["chosen"].items())
        print(f"autotune: {report['candidates_tried']} candidates in {report['search_seconds']:.1f} s, "
              f"held-out accuracy {report['held_out_accuracy']:.4f}; chose {chosen}", file=sys.stderr)
    print(f"trained on {len(texts):,} texts, {len(clf.classes_)} classes, features "
          f"{clf.features_}, learner {clf.learner_}, {clf.n_features_:,} token neurons in {seconds:.2f} s; "
          f"saved to {args.output}", file=sys.stderr)
    return 0


def _test(args: argparse.Namespace) -> int:
    import numpy as np

    from .classifier import OmbrelClassifier
    clf = OmbrelClassifier.load(args.model)
    if clf.multilabel_:
        return _test_multilabel(clf, args)
    texts, labels = _read_labelled(args.data, args.encoding)
    if not texts:
        raise _Failure(f"{_name(args.data)} holds no labelled lines")
    _check_known(args, clf.classes_.astype(str).tolist(), [[label] for label in labels])
    predicted = clf.predict(texts).astype(str)
    truth = np.asarray(labels, dtype=str)
    # Per class: precision, recall and F1 (0 where undefined, as scikit-learn reports them); macro F1
    # averages the classes that occur in the file or in the answers, as f1_score(average="macro").
    rows = {}
    for name in sorted(set(truth.tolist()) | set(predicted.tolist()) | set(clf.classes_.astype(str).tolist())):
        tp = int(np.sum((predicted == name) & (truth == name)))
        said = int(np.sum(predicted == name))
        support = int(np.sum(truth == name))
        precision = tp / said if said else 0.0
        recall = tp / support if support else 0.0
        f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
        rows[name] = (precision, recall, f1, support, said)
    macro = [f1 for _, _, f1, support, said in rows.values() if support or said]
    print(f"texts\t{len(texts)}")
    print(f"accuracy\t{np.mean(predicted == truth):.4f}")
    print(f"macro_f1\t{sum(macro) / len(macro):.4f}")
    print("class\tprecision\trecall\tf1\tsupport")
    for name, (precision, recall, f1, support, _) in rows.items():
        print(f"{name}\t{precision:.4f}\t{recall:.4f}\t{f1:.4f}\t{support}")
    if args.report is not None:
        from . import reports
        reports.write_single_label(args.report, reports.fitted(clf), args.model, args.data, truth.tolist(),
                                   predicted.tolist())
    return 0


def _check_known(args: argparse.Namespace, classes: list[str], label_sets: list[list[str]]) -> None:
    """`test` fails when none of the file's labels is a class of the model (the wrong model or file:
    every answer would count as wrong), and warns when some are not (their texts count as missed)."""
    known = set(classes)
    unknown = sorted({label for found in label_sets for label in found} - known)
    if not unknown:
        return
    texts = sum(1 for found in label_sets if any(label not in known for label in found))
    shown = ", ".join(repr(label[:40]) for label in unknown[:3]) + (", ..." if len(unknown) > 3 else "")
    if len(unknown) == len({label for found in label_sets for label in found}):
        listed = ", ".join(repr(c[:40]) for c in classes[:5]) + (", ..." if len(classes) > 5 else "")
        raise _Failure(f"none of the labels of {_name(args.data)} ({shown}) is a class of the model {args.model} "
                       f"({listed}): is this the model of that file?")
    print(f"ombrel: warning: {_count(len(unknown), 'label')} of {_name(args.data)} not among the model's classes "
          f"({shown}): the {_count(texts, 'text')} holding them count as missed", file=sys.stderr)


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


def _read_label_sets(path: str, encoding: str) -> tuple[list[str], list[list[str]]]:
    if path == "-":
        return data_files.read_label_sets(sys.stdin, _name(path), encoding)
    with open(path, "rb") as f:
        return data_files.read_label_sets(f, path, encoding)


def _test_multilabel(clf: Any, args: argparse.Namespace) -> int:
    """`test` of a multi-label model: micro, macro and samples F1, precision at 1, and per class
    precision, recall and F1 (labels of the file the model does not know count as missed)."""
    import numpy as np

    from .learning import multilabel
    texts, label_sets = _read_label_sets(args.data, args.encoding)
    if not texts:
        raise _Failure(f"{_name(args.data)} holds no labelled lines")
    _check_known(args, [str(c) for c in clf.classes_.tolist()], label_sets)
    names = [str(c) for c in clf.classes_.tolist()]
    names += sorted({label for found in label_sets for label in found} - set(names))
    column = {name: j for j, name in enumerate(names)}
    truth = np.zeros((len(texts), len(names)), dtype=bool)
    for i, found in enumerate(label_sets):
        truth[i, [column[label] for label in found]] = True
    known = len(clf.classes_)
    predicted = np.zeros(truth.shape, dtype=np.uint8)
    decision = np.full(truth.shape, -np.inf)
    for start in range(0, len(texts), PREDICT_STEP):
        part = texts[start:start + PREDICT_STEP]
        decision[start:start + len(part), :known] = clf.decision_function(part)
        predicted[start:start + len(part), :known] = multilabel.decide(decision[start:start + len(part), :known],
                                                                        clf.min_labels)
    measured = multilabel.metrics(truth, predicted, decision)
    print(f"texts\t{len(texts)}")
    for key in ("micro_f1", "macro_f1", "samples_f1", "precision_at_1"):
        print(f"{key}\t{measured[key]:.4f}")
    print("class\tprecision\trecall\tf1\tsupport")
    for name, (precision, recall, f1, support) in sorted(zip(names, measured["per_class"])):
        print(f"{name}\t{precision:.4f}\t{recall:.4f}\t{f1:.4f}\t{support}")
    if args.report is not None:
        from . import reports
        reports.write_multilabel(args.report, reports.fitted(clf), args.model, args.data, names, measured)
    return 0


def _report_folder(text: str) -> str:
    from . import reports
    try:
        return reports.check_folder(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _at_least_one(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be an integer >= 1, not {text!r}")
    return value


def _probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 <= value <= 1.0:  # also refuses nan
        raise argparse.ArgumentTypeError(f"must be a number from 0 to 1, not {text!r}")
    return value


def _ranked_lines(ranked: list[list[tuple[Any, float]]], fasttext: bool, probabilities: bool) -> str:
    """predict's -k / --threshold / --probabilities lines (see the predict command's help)."""
    lines = []
    for pairs in ranked:
        if probabilities:
            lines.append(" ".join(f"{data_files.FASTTEXT_PREFIX}{label} {p:.6g}" for label, p in pairs))
        elif fasttext:
            lines.append(" ".join(f"{data_files.FASTTEXT_PREFIX}{label}" for label, _ in pairs))
        else:
            lines.append("\t".join(str(label) for label, _ in pairs))
    return "".join(line + "\n" for line in lines)


def _multilabel_rows(clf: Any, texts: list[str], k: int | None, threshold: float | None, ranking: bool
                     ) -> list[list[tuple[Any, float]]]:
    """A multi-label model's (label, probability) pairs of each text: the labels predict gives (each
    label's probability past its own threshold, see label_thresholds_), or those of probability >=
    `threshold` when one is given; ranked by probability and at most k of them when ranking."""
    import numpy as np
    classes = clf.classes_.tolist()
    found = clf.predict(texts).astype(bool)
    probabilities = clf.predict_proba(texts)
    rows = []
    for said, row in zip(found, probabilities):
        chosen = np.flatnonzero(row >= threshold if threshold is not None else said)
        if ranking:
            chosen = chosen[np.argsort(-row[chosen], kind="stable")][:k]
        rows.append([(classes[j], float(row[j])) for j in chosen.tolist()])
    return rows


def _predict(args: argparse.Namespace) -> int:
    from .classifier import OmbrelClassifier
    clf = OmbrelClassifier.load(args.model)
    ranking = args.k is not None or args.threshold is not None or args.probabilities
    k, threshold = args.k or 1, args.threshold or 0.0
    fasttext: bool | None = None  # whether the input is fastText style: decided by its first non-blank line
    multi = clf.multilabel_  # each line gets its labels (see _ranked_lines)
    reader = data_files.TextReader(args.input, clf.classes_.tolist(), _name(args.file), multilabel=multi)
    if args.file == "-":
        # What standard input has at hand is answered and flushed at once: through a pipe or from a
        # terminal each line gets its answer when it arrives; a redirected file comes in large reads.
        batches = data_files.line_batches(sys.stdin, _name(args.file), args.encoding)
    else:  # every line is checked before the first answer is written
        batches = iter([(1, data_files.read_file_lines(args.file, args.encoding))])
    out = sys.stdout
    told = False
    for first, lines in batches:
        texts = reader.texts(lines, first)
        if reader.notice and not told:
            print(f"ombrel: {reader.notice}", file=sys.stderr, flush=True)
            told = True
        if (ranking or multi) and fasttext is None:
            fasttext = next((line.lstrip(data_files.BLANKS).startswith(data_files.FASTTEXT_PREFIX)
                             for line in lines if line.strip()), None)
        for start in range(0, len(texts), PREDICT_STEP):
            part = texts[start:start + PREDICT_STEP]
            if multi:
                out.write(_ranked_lines(_multilabel_rows(clf, part, args.k, args.threshold, ranking),
                                        bool(fasttext), args.probabilities))
                continue
            if ranking:
                out.write(_ranked_lines(clf.predict_top_k(part, k, threshold), bool(fasttext), args.probabilities))
                continue
            out.write("".join(f"{label}\n" for label in clf.predict(part).tolist()))
        out.flush()
    return 0


def _explain(args: argparse.Namespace) -> int:
    from .classifier import OmbrelClassifier
    clf = OmbrelClassifier.load(args.model)
    if clf.multilabel_:
        raise _Failure("explain answers why one label wins over the runner-up; a multi-label model decides each "
                       "label against its own threshold")
    text = args.text
    if text == "-":  # the whole of standard input is the text, without its last line end
        lines = [line for _, batch in data_files.line_batches(sys.stdin, _name(text)) for line in batch]
        text = "\n".join(lines)
    found = clf.explain(text, args.k)
    lines = [f"label\t{found['label']}", f"runner_up\t{found['runner_up']}",
             "bias\t{:+d}\t{:+d}".format(*found["bias"])]
    lines += [f"{token}\t{a:+d}\t{b:+d}" for token, a, b in found["tokens"]]
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0


def _serve(args: argparse.Namespace) -> int:
    import importlib.util
    import os

    from .serve import service as serving
    if importlib.util.find_spec("uvicorn") is None:
        raise _Failure("serving needs uvicorn, uvloop and httptools: pip install uvicorn uvloop httptools "
                       "(or, in the source folder, pip install '.[serve]')")
    token = None
    if args.token_file is not None and not args.allow_writes:
        raise _Failure("--token-file is for --allow-writes, which was not given")
    if args.allow_writes:
        if args.token_file is not None:
            with open(args.token_file, encoding="utf-8") as f:
                token = f.readline().strip()
        else:
            token = os.environ.get("OMBREL_SERVE_TOKEN", "").strip()
        if not token:
            raise _Failure("--allow-writes needs a token: set the environment variable OMBREL_SERVE_TOKEN or "
                           "give --token-file FILE (never on the command line, where other users can read it)")
    try:
        # Settings first, then the folder: a missing or damaged folder is one line here, not N worker tracebacks.
        serving.check_settings(args.port, args.workers, args.max_body, args.poll,
                               {"--timeout-header": args.timeout_header, "--timeout-body": args.timeout_body,
                                "--timeout-keep-alive": args.timeout_keep_alive}, args.max_connections,
                               args.restart_delay_max, args.max_head)
        serving.load_served(args.model)
        serving.run(args.model, workers=args.workers, host=args.host, port=args.port, max_body=args.max_body,
                    poll=args.poll, access_log=args.access_log, log_level=args.log_level, token=token,
                    allowed_hosts=args.allowed_host, allowed_origins=args.allowed_origin,
                    header_timeout=args.timeout_header, body_timeout=args.timeout_body,
                    keep_alive=args.timeout_keep_alive, max_connections=args.max_connections,
                    restart_delay_max=args.restart_delay_max, max_head=args.max_head, page=not args.no_page)
    except serving.ServeError as e:
        raise _Failure(str(e)) from None
    return 0


def _warn(message: Warning | str, category: type[Warning], filename: str, lineno: int, file: Any = None,
          line: str | None = None) -> None:
    # The library's advice on its own keywords is for code, not for the command line.
    text = re.sub(r" \(OmbrelClassifier\.\w+\(.*?\) [^)]*\)", "", str(message))
    print(f"ombrel: warning: {text}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    previous = warnings.showwarning
    warnings.showwarning = _warn  # one line each, as the errors are, not a Python source excerpt
    try:
        return {"train": _train, "test": _test, "predict": _predict, "explain": _explain,
                "serve": _serve}[args.command](args)
    except KeyboardInterrupt:
        print("ombrel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly, also at exit's flush
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 0
    except (OSError, ValueError, TypeError, _Failure) as e:
        text = str(e).splitlines()[0] if str(e) else type(e).__name__
        if isinstance(e, OSError) and e.filename and e.strerror:
            text = f"{e.filename}: {e.strerror}"
        print(f"ombrel: error: {text}", file=sys.stderr)
        return 1
    except Exception as e:  # noqa: BLE001 - the command line promises one line, never a traceback
        print(f"ombrel: error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    finally:
        warnings.showwarning = previous
