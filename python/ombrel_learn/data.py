"""Labelled text files: `label<TAB>text` lines, or fastText's `__label__X text` lines."""

from __future__ import annotations

import io
from typing import Iterable, TextIO

FASTTEXT_PREFIX = "__label__"


class DataFormatError(ValueError):
    """A data file line that is neither `label<TAB>text` nor `__label__X text`."""


def parse_line(line: str, where: str) -> tuple[str, str] | None:
    """(label, text) of one line; None for a blank line."""
    line = line.rstrip("\r\n")
    if not line.strip():
        return None
    if line.startswith(FASTTEXT_PREFIX):
        # fastText: labels are the leading __label__ words; the first one is the class.
        words = line.split(" ")
        labels = [w for w in words if w.startswith(FASTTEXT_PREFIX)]
        text_words = [w for w in words if not w.startswith(FASTTEXT_PREFIX)]
        return labels[0][len(FASTTEXT_PREFIX):], " ".join(text_words)
    label, tab, text = line.partition("\t")
    if not tab or not label:
        raise DataFormatError(f"{where}: expected 'label<TAB>text' or '__label__X text'")
    return label, text


def read_labelled(stream: TextIO, name: str = "<input>") -> tuple[list[str], list[str]]:
    """(texts, labels) of every non-blank line."""
    texts: list[str] = []
    labels: list[str] = []
    for number, line in enumerate(stream, 1):
        parsed = parse_line(line, f"{name}:{number}")
        if parsed is None:
            continue
        labels.append(parsed[0])
        texts.append(parsed[1])
    return texts, labels


def read_labelled_file(path: str) -> tuple[list[str], list[str]]:
    with open(path, encoding="utf-8", newline="") as f:
        return read_labelled(f, path)


def read_texts(stream: TextIO) -> list[str]:
    """One text per line (a leading label, in either format, is dropped)."""
    texts = []
    for line in stream:
        line = line.rstrip("\r\n")
        if line.startswith(FASTTEXT_PREFIX):
            line = " ".join(w for w in line.split(" ") if not w.startswith(FASTTEXT_PREFIX))
        texts.append(line)
    return texts


def iter_lines(text: str) -> Iterable[str]:
    return io.StringIO(text)
