"""Throughput of ombrel.tokenize on real English text, against two baselines in the same run.

    python bench/bench_tokenize.py [--data PATH] [--mb MEGABYTES] [--repeat N]

The text is the documents of ../shared/data/20newsgroups/train.tsv (label<TAB>text), up to
--mb megabytes of UTF-8. Every run uses stemming, min_length 2 and ~100 English stop words,
once per document (the stop-word set is rebuilt by every call, as a caller pays it) and
once on all the documents joined into one text. Baselines:
  - python: the plain-Python equivalent, re.findall(r"[^\\W_]+", text.lower()) followed by
    the same length (UTF-8 bytes), stop-word and stemming steps written in Python;
  - floor:  only building the same list of str objects, [low[a:b] for a, b in spans], from
    spans computed beforehand on the lowered text.
Goals: tokenize >= 5x the Python equivalent, and >= 0.6x the floor (floor time / tokenize time).
"""
import argparse
import gc
import os
import re
import sys
import time

import ombrel

DATA = os.path.join(os.environ.get("OMBREL_DATA", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                               "..", "shared", "data")),
                    "20newsgroups", "train.tsv")

STOP_WORDS = frozenset("""
a about above after again against all also am an and any are as at be because been before
being below between both but by can could did do does doing down during each few for from
further had has have having he her here hers him his how i if in into is it its itself just
me more most my no nor not now of off on once only or other our out over own same she should
so some such than that the their them then there these they this those through to too under
until up very was we were what when where which while who whom why will with would you your
""".split())

WORD = re.compile(r"[^\W_]+")


def utf8_len(token):
    return len(token) if token.isascii() else len(token.encode("utf-8"))


def py_stem(token):
    n = utf8_len(token)
    if n < 5:
        return token
    for suffix in ("tion", "sion", "ment", "ness"):
        if token.endswith(suffix):
            return token[:-4]
    if token.endswith("ing"):
        return token[:-3] if n >= 6 else token
    if token.endswith("ies"):
        return token[:-3] + "y"
    for suffix in ("ly", "ed", "es"):
        if token.endswith(suffix):
            return token[:-2]
    if token.endswith("s") and not token.endswith("ss"):
        return token[:-1]
    return token


def py_tokenize(text, stop_words, apply_stemming, min_length):
    out = []
    for token in WORD.findall(text.lower()):
        if utf8_len(token) < min_length:
            continue
        if stop_words and token in stop_words:
            continue
        out.append(py_stem(token) if apply_stemming else token)
    return out


def floor_spans(text, stop_words, min_length):
    """The lowered text and the spans of the tokens py_tokenize keeps, cut to the stem's length."""
    low = text.lower()
    spans = []
    for m in WORD.finditer(low):
        token = m.group()
        if utf8_len(token) < min_length or token in stop_words:
            continue
        stem = py_stem(token)
        spans.append((m.start(), m.start() + len(stem)))
    return low, spans


def best_seconds(fns, repeat):
    """Best time of each function over `repeat` interleaved rounds (so that a busy machine
    slows all of them alike), with the cyclic garbage collector off as timeit does."""
    best = [float("inf")] * len(fns)
    gc.disable()
    try:
        for _ in range(repeat):
            for i, fn in enumerate(fns):
                start = time.perf_counter()
                fn()
                best[i] = min(best[i], time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def load_documents(path, megabytes):
    if not os.path.exists(path):
        sys.exit(f"{path} not found: the benchmark reads the datasets in $OMBREL_DATA (default ../shared/data beside the project)")
    docs, size = [], 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            text = line.rstrip("\n").split("\t", 1)[1]
            docs.append(text)
            size += len(text.encode("utf-8"))
            if size >= megabytes * 1e6:
                break
    return docs, size


def measure(name, docs, size, repeat):
    tokenize, stop, n = ombrel.tokenize, set(STOP_WORDS), len(docs)
    prepared = [floor_spans(d, stop, 2) for d in docs]

    def run_ombrel():
        return [tokenize(d, stop, True, 2) for d in docs]

    def run_python():
        return [py_tokenize(d, stop, True, 2) for d in docs]

    def run_floor():
        return [[low[a:b] for a, b in spans] for low, spans in prepared]

    ours, theirs = run_ombrel(), run_python()
    tokens = sum(len(t) for t in ours)
    differing = sum(a != b for a, b in zip(ours, theirs))
    t_ombrel, t_python, t_floor = best_seconds([run_ombrel, run_python, run_floor], repeat)
    mb = size / 1e6
    print(f"{name}: {n} call(s), {mb:.1f} MB, {tokens} tokens out"
          f" ({differing} call(s) whose output differs from the Python equivalent)")
    for label, t in (("ombrel.tokenize", t_ombrel), ("python equivalent", t_python), ("floor (str list)", t_floor)):
        print(f"  {label:20s} {mb / t:8.1f} MB/s  {t * 1e9 / tokens:7.1f} ns/token")
    print(f"  speed-up over the Python equivalent: {t_python / t_ombrel:5.2f}x  (goal >= 5)")
    print(f"  fraction of the floor:               {t_floor / t_ombrel:5.2f}x  (goal >= 0.6)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--data", default=os.path.normpath(DATA))
    parser.add_argument("--mb", type=float, default=8.0, help="megabytes of text (default 8)")
    parser.add_argument("--repeat", type=int, default=5, help="best of N runs (default 5)")
    args = parser.parse_args()
    docs, size = load_documents(args.data, args.mb)
    print(f"{os.path.relpath(args.data)}: stemming on, min_length 2, {len(STOP_WORDS)} stop words\n")
    measure("per document", docs, size, args.repeat)
    print()
    measure("one text", ["\n".join(docs)], size + len(docs) - 1, args.repeat)


if __name__ == "__main__":
    main()
