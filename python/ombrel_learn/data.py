"""The command line's text files: labelled lines for `train` and `test`, texts for `predict`.

Lines. A file (or standard input, read the same way, as bytes) is decoded in the encoding given
(UTF-8 by default; a UTF-8 byte order mark at the start is dropped) and split at "\\n" only: one "\\r"
before the "\\n" is dropped (Windows line ends), and a carriage return anywhere else is part of the
line. Bytes that are not valid in the encoding are an error naming the file and the line.

Labelled lines (`train`, `test`); blank lines are skipped:
- `label<TAB>text`: the label is everything before the first TAB (not empty), the text all after it.
- fastText's `__label__X text`: the line starts (after optional blanks) with one or more words
  `__label__X`; a label ends at the first blank (space, TAB, vertical tab, form feed, carriage
  return), and the text is the rest of the line after the blanks that follow the labels. The
  estimator learns one label per text, so a line with two different labels is an error (repeating
  the same label is allowed): dropping the others silently would train another task than the file's.
- In either format a `__label__` word after the text has begun is an error: a label goes first.
- Multi-label files (`train --multilabel`, and `test` with a multi-label model): a line has one or
  more labels: several `__label__X` words, or `label,label<TAB>text` (the first column split at its
  commas; an empty label is an error).

Texts (`predict`): one text per line, one answer per line (blank lines included), by one rule:
- "texts": each line as it stands.
- "labelled": each non-blank line is a labelled line as above and its label is dropped (a line that
  is not labelled is an error; several `__label__` words are all dropped, as fastText's predict does).
- "auto" (the default): leading `__label__` words are dropped (fastText's predict). For the TAB
  format the first line (not blank, not fastText) decides: with no TAB, the lines are texts; with a
  TAB and, before it, a class of the model, the lines are `label<TAB>text` and their first column is
  dropped; with a TAB and no class before it, it is an error (a text holding a TAB and a labelled
  file with labels the model does not know cannot be told apart: say which). Every later line must
  agree with that decision, else it is an error naming the line (say "labelled" or "texts").
"""

from __future__ import annotations

import codecs
import re
from typing import Any, BinaryIO, Iterable, Iterator, TextIO

FASTTEXT_PREFIX = "__label__"
BLANKS = " \t\v\f\r"  # what ends a fastText word within a line
READ_SIZE = 1 << 20

_LEADING_LABEL = re.compile(r"[ \t\v\f\r]*__label__([^ \t\v\f\r]*)")
_LATER_LABEL = re.compile(r"(?:^|[ \t\v\f\r])__label__")


class DataFormatError(ValueError):
    """A line that breaks the format rules above, or bytes not valid in the file's encoding."""


def check_encoding(name: str) -> str:
    """The encoding's name, or ValueError when Python does not know it."""
    try:
        codecs.lookup(name)
    except LookupError:
        raise ValueError(f"unknown encoding {name!r} (e.g. utf-8, latin-1, cp1252, utf-16)") from None
    return name


def _decoding_error(name: str, line: int, error: UnicodeDecodeError, encoding: str) -> DataFormatError:
    byte = error.object[error.start:error.start + 1].hex()
    advice = "e.g. --encoding latin-1" if codecs.lookup(encoding).name == "utf-8" else "with --encoding"
    return DataFormatError(f"{name}:{line}: byte 0x{byte} is not valid {encoding}; give the file's encoding, "
                           f"{advice}")


def _is_utf8(encoding: str) -> bool:
    return codecs.lookup(encoding).name == "utf-8"


def _split(text: str) -> list[str]:
    """Complete lines of `text` (which ends with "\\n" or is empty), without their line ends."""
    lines = text.split("\n")
    lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def read_lines(data: bytes, name: str, encoding: str = "utf-8") -> list[str]:
    """The lines of a whole file's bytes."""
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as e:
        raise _decoding_error(name, data.count(b"\n", 0, e.start) + 1, e, encoding) from None
    if text.startswith("\ufeff") and _is_utf8(encoding):
        text = text[1:]
    if text and not text.endswith("\n"):
        text += "\n"
    return _split(text)


def read_file_lines(path: str, encoding: str = "utf-8") -> list[str]:
    with open(path, "rb") as f:
        return read_lines(f.read(), path, encoding)


def line_batches(stream: TextIO | BinaryIO | Any, name: str, encoding: str = "utf-8",
                 size: int = READ_SIZE) -> Iterator[tuple[int, list[str]]]:
    """(number of the first line, lines) of a stream, as they become readable: each read takes what
    the stream has at hand (up to `size` bytes; from a pipe or a terminal, without waiting for more),
    so a reader of a pipe answers each line as it comes and a reader of a file works in large
    batches. A text stream without a binary buffer (io.StringIO) is read as text."""
    source = getattr(stream, "buffer", stream)
    decoder = None
    read = source.read
    if not isinstance(source.read(0), str):  # bytes (else a text stream of its own: nothing to decode)
        decoder = codecs.getincrementaldecoder(encoding)("strict")
        read = getattr(source, "read1", None) or source.read  # read1: what is at hand, without waiting
    number = 1
    pending = ""
    first = True
    while True:
        chunk: Any = read(size)
        text: str
        if decoder is not None:
            try:
                text = decoder.decode(chunk, final=not chunk)
            except UnicodeDecodeError as e:  # e.object: the bytes of this read (and of a character cut by the last)
                line = number + e.object.count(b"\n", 0, e.start)
                raise _decoding_error(name, line, e, encoding) from None
        else:
            text = chunk
        if first and text:
            first = False
            if text.startswith("\ufeff") and (decoder is None or _is_utf8(encoding)):
                text = text[1:]
        pending += text
        if not chunk:
            if pending:
                yield number, _split(pending + "\n")
            return
        end = pending.rfind("\n") + 1
        if end:
            lines = _split(pending[:end])
            pending = pending[end:]
            yield number, lines
            number += len(lines)


def _fasttext(line: str) -> tuple[list[str], str] | None:
    """(labels, text) of a line that starts with `__label__` words (after blanks), else None."""
    match = _LEADING_LABEL.match(line)
    if match is None:
        return None
    labels = []
    end = 0
    while match is not None:
        labels.append(match.group(1))
        end = match.end()
        match = _LEADING_LABEL.match(line, end)
    return labels, line[end:].lstrip(BLANKS)


def _check_text(text: str, where: str) -> None:
    if _LATER_LABEL.search(text):
        raise DataFormatError(f"{where}: a '{FASTTEXT_PREFIX}' word after the text has begun; labels go first "
                              f"on the line (__label__X text, or label<TAB>text)")


def parse_line(line: str, where: str) -> tuple[str, str] | None:
    """(label, text) of one labelled line (without its line end); None for a blank line."""
    if not line.strip():
        return None
    fasttext = _fasttext(line)
    if fasttext is not None:
        labels, text = fasttext
        if "" in labels:
            raise DataFormatError(f"{where}: '{FASTTEXT_PREFIX}' with no label name after it")
        distinct = list(dict.fromkeys(labels))
        if len(distinct) > 1:
            shown = " ".join(FASTTEXT_PREFIX + label for label in distinct)
            raise DataFormatError(f"{where}: {len(distinct)} labels ({shown}); a text has one label here, "
                                  f"so keep one per line")
        _check_text(text, where)
        return distinct[0], text
    label, tab, text = line.partition("\t")
    if not tab or not label:
        if _LATER_LABEL.search(line):
            _check_text(line, where)
        raise DataFormatError(f"{where}: expected 'label<TAB>text' or '__label__X text'")
    _check_text(text, where)
    return label, text


def parse_lines(lines: Iterable[str], name: str, first: int = 1) -> tuple[list[str], list[str]]:
    """(texts, labels) of the labelled lines, blank ones skipped."""
    texts: list[str] = []
    labels: list[str] = []
    for number, line in enumerate(lines, first):
        parsed = parse_line(line, f"{name}:{number}")
        if parsed is None:
            continue
        labels.append(parsed[0])
        texts.append(parsed[1])
    return texts, labels


def parse_label_set_line(line: str, where: str) -> tuple[list[str], str] | None:
    """(labels, text) of one line of a multi-label file (`train --multilabel`, and `test` with a
    multi-label model); None for a blank line. The labels are every leading `__label__X` word
    (fastText), or the first column of `label,label<TAB>text` split at its commas; in order, each
    once (a repeat is dropped)."""
    if not line.strip():
        return None
    fasttext = _fasttext(line)
    if fasttext is not None:
        labels, text = fasttext
        if "" in labels:
            raise DataFormatError(f"{where}: '{FASTTEXT_PREFIX}' with no label name after it")
    else:
        column, tab, text = line.partition("\t")
        if not tab or not column:
            if _LATER_LABEL.search(line):
                _check_text(line, where)
            raise DataFormatError(f"{where}: expected 'label,label<TAB>text' or '__label__X __label__Y text'")
        labels = column.split(",")
        if "" in labels:
            raise DataFormatError(f"{where}: an empty label in {column[:40]!r}: labels are joined by single commas")
    _check_text(text, where)
    return list(dict.fromkeys(labels)), text


def parse_label_set_lines(lines: Iterable[str], name: str, first: int = 1) -> tuple[list[str], list[list[str]]]:
    """(texts, label sets) of multi-label lines, blank ones skipped."""
    texts: list[str] = []
    label_sets: list[list[str]] = []
    for number, line in enumerate(lines, first):
        parsed = parse_label_set_line(line, f"{name}:{number}")
        if parsed is not None:
            label_sets.append(parsed[0])
            texts.append(parsed[1])
    return texts, label_sets


def read_label_sets(stream: TextIO | BinaryIO | Any, name: str = "<input>",
                    encoding: str = "utf-8") -> tuple[list[str], list[list[str]]]:
    """(texts, label sets) of every non-blank line of a stream of multi-label lines."""
    texts: list[str] = []
    label_sets: list[list[str]] = []
    for first, lines in line_batches(stream, name, encoding):
        more_texts, more_sets = parse_label_set_lines(lines, name, first)
        texts += more_texts
        label_sets += more_sets
    return texts, label_sets


def read_labelled(stream: TextIO | BinaryIO | Any, name: str = "<input>",
                  encoding: str = "utf-8") -> tuple[list[str], list[str]]:
    """(texts, labels) of every non-blank line of a stream."""
    texts: list[str] = []
    labels: list[str] = []
    for first, lines in line_batches(stream, name, encoding):
        more_texts, more_labels = parse_lines(lines, name, first)
        texts += more_texts
        labels += more_labels
    return texts, labels


def read_labelled_file(path: str, encoding: str = "utf-8") -> tuple[list[str], list[str]]:
    return parse_lines(read_file_lines(path, encoding), path)


class TextReader:
    """The texts `predict` reads from lines, by the rule of `mode` ("auto", "labelled" or "texts";
    see the module's docstring). `notice`: what "auto" decided, when the user should hear it."""

    MODES = ("auto", "labelled", "texts")

    def __init__(self, mode: str, classes: Iterable[Any], name: str, multilabel: bool = False):
        if mode not in self.MODES:
            raise ValueError(f"mode must be one of {self.MODES}, got {mode!r}")
        self.mode = mode
        self.classes = frozenset(str(c) for c in classes)
        # A multi-label model's labelled lines may start with several classes joined by commas.
        self.multilabel = multilabel
        self.name = name
        self.decided: str | None = None if mode == "auto" else mode
        self.decided_at = 0
        self.notice: str | None = None

    def _ambiguous(self, number: int, why: str) -> DataFormatError:
        return DataFormatError(f"{self.name}:{number}: {why}; say --labelled (drop what is before the first TAB) "
                               f"or --texts (each whole line is a text)")

    def _auto(self, line: str, number: int) -> str:
        fasttext = _fasttext(line)
        if fasttext is not None:
            return fasttext[1]
        if not line.strip():
            return line
        first, tab, text = line.partition("\t")
        labelled = bool(tab) and (first in self.classes or (
            self.multilabel and all(part in self.classes for part in first.split(","))))
        if self.decided is None:
            if tab and not labelled:
                raise self._ambiguous(number, f"the line holds a TAB but {first[:40]!r} before it is not a class "
                                              f"of the model, so it cannot tell a text from a label")
            self.decided, self.decided_at = ("labelled" if labelled else "texts"), number
            if labelled:
                self.notice = (f"{self.name}: reading label<TAB>text lines ({first[:40]!r}, before line {number}'s "
                               f"TAB, is a class of the model): the labels are not part of the texts "
                               f"(--texts reads whole lines)")
        elif (self.decided == "labelled") != labelled:
            if self.decided == "labelled":
                why = (f"line {self.decided_at} was label<TAB>text, but this one has no TAB"
                       if not tab else f"line {self.decided_at} was label<TAB>text, but {first[:40]!r} before "
                                       f"this line's TAB is not a class of the model")
            else:
                why = (f"line {self.decided_at} was a plain text, but this one starts with "
                       f"{first[:40]!r}<TAB>, a class of the model")
            raise self._ambiguous(number, why)
        return text if labelled else line

    def texts(self, lines: list[str], first: int = 1) -> list[str]:
        """The text of each line (numbered from `first`); a blank line is an empty text."""
        if self.mode == "texts":
            return lines
        out = []
        for number, line in enumerate(lines, first):
            if self.mode == "auto":
                out.append(self._auto(line, number))
                continue
            if not line.strip():
                out.append("")
                continue
            fasttext = _fasttext(line)
            if fasttext is not None:
                out.append(fasttext[1])
                continue
            label, tab, text = line.partition("\t")
            if not tab or not label:
                raise DataFormatError(f"{self.name}:{number}: expected 'label<TAB>text' or '__label__X text' "
                                      f"(--labelled)")
            out.append(text)
        return out
