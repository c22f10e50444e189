"""The command line: `ombrel` or `python -m ombrel_learn`.

    ombrel train DATA -o MODEL [--features auto|words|chars] [--learner auto|...] [--epochs N] ...
    ombrel train DATA -o MODEL --autotune SECONDS   search the settings within that many seconds
    ombrel test MODEL DATA          accuracy, per-class precision and recall
    ombrel predict MODEL [FILE|-]   one label per line
    ombrel serve MODEL [--workers N] [--host H] [--port P]   an HTTP service (JSON), see serving.py

DATA files hold `label<TAB>text` lines or fastText's `__label__X text` lines. Errors are one line on
standard error and a non-zero exit status; progress bars appear on standard error only when it is a
terminal.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Sequence

from . import data as data_files


class _Failure(Exception):
    pass


def _parser() -> argparse.ArgumentParser:
    from .classifier import OmbrelClassifier
    defaults = OmbrelClassifier().get_params()
    p = argparse.ArgumentParser(prog="ombrel", description="Text classification with ombrel.")
    sub = p.add_subparsers(dest="command", required=True)
    train = sub.add_parser("train", help="train a model from a labelled file")
    train.add_argument("data", help="label<TAB>text or __label__X text lines")
    train.add_argument("-o", "--output", required=True, help="model folder to write")
    train.add_argument("--features", choices=["auto", "words", "chars"], default=defaults["features"])
    train.add_argument("--learner", choices=["auto", "field", "naive_bayes", "sgd", "perceptron"],
                       default=defaults["learner"])
    train.add_argument("--alpha", type=float, default=defaults["alpha"],
                       help="naive Bayes smoothing or SGD penalty (default: chosen on held-out rows)")
    train.add_argument("--epochs", type=int, default=defaults["epochs"])
    train.add_argument("--buckets", type=int, default=defaults["buckets"],
                       help="hash tokens into this many neurons instead of building a vocabulary")
    train.add_argument("--min-df", type=int, default=defaults["min_df"])
    train.add_argument("--seed", type=int, default=defaults["random_state"])
    train.add_argument("--autotune", type=float, metavar="SECONDS", default=None,
                       help="search features, learner and settings on held-out rows within SECONDS "
                            "(the final fit included); the other training options are starting points")
    test = sub.add_parser("test", help="accuracy and per-class precision and recall on a labelled file")
    test.add_argument("model")
    test.add_argument("data")
    predict = sub.add_parser("predict", help="one label per line of text")
    predict.add_argument("model")
    predict.add_argument("file", nargs="?", default="-", help="texts, one per line ('-': standard input)")
    from .serving import DEFAULT_MAX_BODY, DEFAULT_POLL
    serve = sub.add_parser("serve", help="serve a model folder over HTTP (JSON); needs ombrel[serve]")
    serve.add_argument("model")
    serve.add_argument("--workers", type=int, default=1, help="worker processes; they share the mapped weights")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    serve.add_argument("--max-body", type=int, default=DEFAULT_MAX_BODY, metavar="BYTES",
                       help="larger request bodies are refused with 413 (default %(default)s)")
    serve.add_argument("--poll", type=float, default=DEFAULT_POLL, metavar="SECONDS",
                       help="how often each worker checks the folder for a newly saved model")
    serve.add_argument("--access-log", action="store_true", help="log every request")
    serve.add_argument("--log-level", default="info", choices=["critical", "error", "warning", "info", "debug"])
    return p


def _read_labelled(path: str) -> tuple[list[str], list[str]]:
    if path == "-":
        return data_files.read_labelled(sys.stdin, "<stdin>")
    return data_files.read_labelled_file(path)


def _train(args: argparse.Namespace) -> int:
    from .classifier import OmbrelClassifier
    texts, labels = _read_labelled(args.data)
    clf = OmbrelClassifier(features=args.features, learner=args.learner, alpha=args.alpha, epochs=args.epochs,
                           buckets=args.buckets, min_df=args.min_df, random_state=args.seed, verbose=True)
    start = time.perf_counter()
    if args.autotune is not None:
        clf.autotune(texts, labels, budget=args.autotune)
    else:
        clf.fit(texts, labels)
    seconds = time.perf_counter() - start
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
    texts, labels = _read_labelled(args.data)
    if not texts:
        raise _Failure(f"{args.data} holds no labelled lines")
    predicted = clf.predict(texts).astype(str)
    truth = np.asarray(labels, dtype=str)
    print(f"texts\t{len(texts)}")
    print(f"accuracy\t{np.mean(predicted == truth):.4f}")
    names = sorted(set(truth.tolist()) | set(clf.classes_.astype(str).tolist()))
    width = max(len(n) for n in names)
    print(f"{'class':<{width}}\tprecision\trecall\tsupport")
    for name in names:
        tp = int(np.sum((predicted == name) & (truth == name)))
        said = int(np.sum(predicted == name))
        support = int(np.sum(truth == name))
        precision = tp / said if said else 0.0
        recall = tp / support if support else 0.0
        print(f"{name:<{width}}\t{precision:.4f}\t{recall:.4f}\t{support}")
    return 0


def _predict(args: argparse.Namespace) -> int:
    from .classifier import OmbrelClassifier
    clf = OmbrelClassifier.load(args.model)
    if args.file == "-":
        texts = data_files.read_texts(sys.stdin)
    else:
        with open(args.file, encoding="utf-8", newline="") as f:
            texts = data_files.read_texts(f)
    out = sys.stdout
    step = 100_000
    for start in range(0, len(texts), step):
        out.write("".join(f"{label}\n" for label in clf.predict(texts[start:start + step]).tolist()))
    out.flush()
    return 0


def _serve(args: argparse.Namespace) -> int:
    import importlib.util

    from . import serving
    if importlib.util.find_spec("uvicorn") is None:
        raise _Failure("serving needs uvicorn: pip install 'ombrel[serve]'")
    if args.workers < 1 or args.max_body < 1 or args.poll <= 0:
        raise _Failure("--workers and --max-body must be at least 1, --poll above 0")
    serving.load_served(args.model)  # a missing or damaged folder is one line here, not N worker tracebacks
    serving.run(args.model, workers=args.workers, host=args.host, port=args.port, max_body=args.max_body,
                poll=args.poll, access_log=args.access_log, log_level=args.log_level)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return {"train": _train, "test": _test, "predict": _predict, "serve": _serve}[args.command](args)
    except KeyboardInterrupt:
        print("ombrel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
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
