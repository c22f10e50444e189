"""Fuzzes the command line's reader of text files (ombrel_learn.data): labelled lines for `train`
and `test`, texts for `predict`.

Each input is a file's bytes, either taken as they come or made of lines in both formats
(`label<TAB>text`, `__label__X text`) with Windows line ends, lone carriage returns, a byte order
mark, blank lines, other Unicode line breaks (which are not line ends here), bytes not valid in the
encoding and empty labels. What is judged:
  - the file read whole (read_labelled_file) and the same bytes read as a stream in reads of
    random sizes (read_labelled, as standard input is read: a character, a "\\r\\n" or the byte
    order mark may be cut between two reads) give the same records, or the same error;
  - an error is a ValueError (DataFormatError for the format and the encoding) whose message starts
    with "<file>:<line>:", and <line> is the first line that fails when each line is read alone;
    any other exception is a finding;
  - lines are independent: the records of the file are those of its lines ("\\n" ends a line, one
    "\\r" before it is dropped) read one at a time, at most one record per line;
  - every record: a label that is not empty and holds no TAB or line end, and a text that holds no
    "\\n" and no `__label__` word; a fastText label holds no blank;
  - lines made well formed read back exactly: the labels and texts written are the records read,
    and the texts `predict` reads from them, in each of its modes, are the written texts.

Run it under atheris (coverage of ombrel_learn.data's branches):
    python fuzz/data_file_fuzzer.py [libFuzzer flags] [corpus dirs]
or without atheris, on pseudo-random inputs or on the files of a corpus:
    python fuzz/data_file_fuzzer.py --random N [--seed S]
    python fuzz/data_file_fuzzer.py --replay DIR...
"""
import atexit
import collections
import io
import os
import re
import shutil
import sys
import tempfile

if __name__ == "__main__" and not {"--random", "--replay"} & set(sys.argv):
    import atheris

    with atheris.instrument_imports(include=["ombrel_learn.data"]):
        from ombrel_learn import data
else:
    from ombrel_learn import data

import fuzz_input  # beside this file
from fuzz_input import Bytes, Finding

PREFIX = "__label__"
# What ends a fastText word within a line.
BLANKS = " \t\v\f\r"
LATER_LABEL = re.compile(r"(?:^|[ \t\v\f\r])__label__")
BOM = "\ufeff".encode("utf-8")
# ASCII-compatible encodings only: a line's bytes then decode on their own, so that each line can be
# read alone and compared with the whole file. cp1252 leaves five bytes undefined (errors).
ENCODINGS = ["utf-8", "utf-8", "utf-8", "latin-1", "cp1252"]

LABEL_PIECES = ["spam", "ham", "a", "B-2", "日本", "ünï", "x y", " lead", "trail ", "\x1c", "\u2028", "\x85",
                "__labe", "_", "label_", "9", "\u00a0"]
TEXT_PIECES = ["free prize now", "hello", " ", "  ", "\t", "a\rb", "\r", "\x0b", "\x0c", "\u2028", "\x85",
               "\u2029", "\x1c\x1d\x1e", "__label", "x__label__y", "ça va", "😀", "\ufeff", "word", "\u00a0",
               "tab\there", "__", "label__x"]
RAW_PIECES = [b"\n", b"\r\n", b"\r", b"\t", b" ", b"__label__", b"__label__spam", b"__label__ham", b"\xef\xbb\xbf",
              b"\xe9", b"\xff", b"\xc3", b"\xc3\xa9", b"\xe2\x80\xa8", b"\xf0\x9f\x98", b"\x81", b"\x00", b"\x0b", b"\x0c",
              b"spam", b"text", b"\r\r\n", b"\n\r"]


def piece_string(b, pieces, limit):
    return "".join(b.pick(pieces) for _ in range(b.below(limit)))


def make_label(b):
    """A label that reads back: not empty, no TAB or line end, no `__label__` in it, not blank."""
    label = piece_string(b, LABEL_PIECES, 4) or "c"
    while PREFIX in label:
        label = label.replace(PREFIX, "_")
    if not label.strip():
        label += "c"
    return label


def make_text(b):
    """A text that reads back after a label: no "\\n", no `__label__` word, not ending with "\\r"."""
    text = piece_string(b, TEXT_PIECES, 5)
    while LATER_LABEL.search(text):
        text = LATER_LABEL.sub(" label", text)
    return text.rstrip("\r")


class Line:
    """A line to write: its characters (without the line end) and the record it must give."""

    def __init__(self, chars, record):
        self.chars = chars
        self.record = record  # (label, text) or None for a blank line


def make_good_line(b):
    kind = b.below(5)
    if kind == 0:
        return Line(b.pick(["", " ", "\t", "\r", " \t ", "\x0c"]), None)
    if kind <= 2:
        label, text = make_label(b), make_text(b)
        return Line(f"{label}\t{text}", (label, text))
    # fastText: the label is one word; the text starts after the blanks that follow the labels.
    label = make_label(b)
    label = "".join(c for c in label if c not in BLANKS) or "c"
    while PREFIX in label:
        label = label.replace(PREFIX, "_")
    text = make_text(b).lstrip(BLANKS)
    lead = b.pick(["", "", " ", "\t"])
    repeats = " ".join([PREFIX + label] * (1 + b.below(2)))
    sep = b.pick([" ", "  ", "\t", " \t"]) if text else b.pick(["", " "])
    return Line(f"{lead}{repeats}{sep}{text}", (label, text))


def make_good_file(b):
    lines = [make_good_line(b) for _ in range(b.below(8))]
    ends = [b.pick(["\n", "\n", "\r\n"]) for _ in lines]
    if lines and b.flag():
        ends[-1] = ""  # no line end at the end of the file
        if not lines[-1].chars.strip():
            lines.pop()
            ends.pop()
    text = "".join(line.chars + end for line, end in zip(lines, ends))
    if b.below(4) == 0:
        text = "\ufeff" + text
    return text.encode("utf-8"), lines


def make_raw_file(b):
    if b.flag():
        return b.rest()
    return b"".join(b.pick(RAW_PIECES) if b.below(3) else b.raw(6) for _ in range(b.below(24)))


class ChunkedStream(io.RawIOBase):
    """A binary stream that gives its bytes in reads of the chosen sizes (a pipe, a terminal)."""

    def __init__(self, data, sizes):
        self.data = data
        self.pos = 0
        self.sizes = sizes or [1 << 20]
        self.reads = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        size = min(len(buffer), self.sizes[self.reads % len(self.sizes)])
        self.reads += 1
        chunk = self.data[self.pos:self.pos + size]
        self.pos += len(chunk)
        buffer[:len(chunk)] = chunk
        return len(chunk)

    def read1(self, size=-1):
        return self.read(size if size >= 0 else 1 << 20)


def outcome(call):
    """("ok", result) or ("error", message); anything but ValueError is a finding."""
    try:
        return "ok", call()
    except ValueError as e:
        return "error", str(e)
    except BaseException as e:  # noqa: BLE001 - everything else is judged here
        raise Finding(f"the reader raised {type(e).__name__}: {e}") from e


class DataFiles:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ombrel-data-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        atexit.register(shutil.rmtree, self.dir, ignore_errors=True)
        self.path = os.path.join(self.dir, "data.tsv")
        self.outcomes = collections.Counter()
        self.calls = 0

    def read_alone(self, number, line, encoding):
        """The records of one line's bytes read alone (as a file of that line)."""
        if number > 1 and line.startswith(BOM) and encoding == "utf-8":
            line = BOM + line  # a byte order mark is dropped at the start of a file only
        return outcome(lambda: data.read_labelled(io.BytesIO(line + b"\n"), self.path, encoding))

    def stream(self, raw, sizes, as_stdin):
        stream = ChunkedStream(raw, sizes)
        if as_stdin:  # standard input: a text stream over a buffered binary one
            return io.TextIOWrapper(io.BufferedReader(stream), encoding="utf-8", newline="\n")
        return stream

    def check(self, raw, encoding, sizes, as_stdin, good):
        with open(self.path, "wb") as f:
            f.write(raw)
        whole = outcome(lambda: data.read_labelled_file(self.path, encoding))
        streamed = outcome(lambda: data.read_labelled(self.stream(raw, sizes, as_stdin), self.path, encoding))
        # Each line alone: "\n" ends a line.
        pieces = raw.split(b"\n")
        if pieces[-1] == b"":
            pieces.pop()
        expected_texts, expected_labels = [], []
        failing = set()
        for number, piece in enumerate(pieces, 1):
            kind, value = self.read_alone(number, piece, encoding)
            if kind == "error":
                if not value.startswith(f"{self.path}:1:"):
                    raise Finding(f"line {piece!r} read alone is refused without its file and line: {value!r}")
                failing.add(number)
                continue
            texts, labels = value
            if len(texts) > 1 or len(texts) != len(labels):
                raise Finding(f"line {number} ({piece!r}) alone gives {len(texts)} texts and {len(labels)} labels")
            expected_texts += texts
            expected_labels += labels
        for how, (kind, value) in (("whole", whole), (f"in reads of {sizes} bytes", streamed)):
            if failing:
                # The line named is one that fails alone (a reader may find a later line's bad
                # bytes before an earlier line's format error).
                named = re.match(re.escape(self.path) + r":(\d+):", value) if kind == "error" else None
                if named is None or int(named.group(1)) not in failing:
                    raise Finding(f"lines {sorted(failing)} fail alone, but the file read {how} gives "
                                  f"{kind}: {value!r}")
                continue
            if kind == "error":
                raise Finding(f"every line reads alone, but the file read {how} gives {value!r}")
            if value != (expected_texts, expected_labels):
                texts, labels = value
                raise Finding(f"the file read {how} gives {list(zip(labels, texts))!r}, its lines one at a "
                              f"time {list(zip(expected_labels, expected_texts))!r}")
        if failing:
            self.outcomes["error"] += 1
            if good is not None:
                raise Finding(f"a well-formed file is refused: {whole!r}")
            return
        for label, text in zip(expected_labels, expected_texts):
            self.check_record(label, text)
        self.outcomes["records" if expected_labels else "no record"] += 1
        if good is not None:
            self.check_good(raw, good, expected_texts, expected_labels)

    @staticmethod
    def check_record(label, text):
        if not label or "\t" in label or "\n" in label or "\n" in text:
            raise Finding(f"record {(label, text)!r}: an empty label, or a TAB or line end where none can be")
        if LATER_LABEL.search(text):
            raise Finding(f"record {(label, text)!r}: the text holds a label word")

    def check_good(self, raw, lines, texts, labels):
        records = [line.record for line in lines if line.record is not None]
        if list(zip(labels, texts)) != records:
            raise Finding(f"well-formed lines {records!r} read back as {list(zip(labels, texts))!r}")
        reader = getattr(data, "TextReader", None)
        if reader is None:
            return
        file_lines = data.read_lines(raw, self.path)
        if len(file_lines) != len(lines) or any(line.record is not None and line.chars != read
                                                for line, read in zip(lines, file_lines)):
            raise Finding(f"lines {[line.chars for line in lines]!r} written, {file_lines!r} read")
        classes = set(labels)
        for mode in reader.MODES:
            try:
                got = reader(mode, classes, self.path).texts(file_lines)
            except ValueError as e:
                # "auto" refuses a TAB line only when the text before the TAB is not a class; every
                # label is one here.
                raise Finding(f"predict's reader ({mode}) refuses well-formed lines: {e}") from e
            if len(got) != len(lines):
                raise Finding(f"predict's reader ({mode}) gives {len(got)} texts for {len(lines)} lines")
            for line, read, text in zip(lines, file_lines, got):
                if mode == "texts" or line.record is None:
                    want = "" if mode == "labelled" else read
                else:
                    want = line.record[1]
                if text != want:
                    raise Finding(f"predict's reader ({mode}) reads {read!r} as {text!r}, not {want!r}")
        self.outcomes["well formed"] += 1

    def one_input(self, raw_input):
        b = Bytes(raw_input)
        sizes = [1 + b.below(7) for _ in range(b.below(4))]
        as_stdin = b.flag()
        if b.below(3) == 0:
            good = None
            encoding = ENCODINGS[b.below(len(ENCODINGS))]
            raw = make_raw_file(b)
        else:
            raw, good = make_good_file(b)
            encoding = "utf-8"
        self.check(raw, encoding, sizes, as_stdin, good)
        self.calls += 1


_files = None


def test_one_input(raw_input):
    global _files
    if _files is None:
        _files = DataFiles()
    _files.one_input(raw_input)


def replay(paths):
    return fuzz_input.replay(paths, test_one_input)


def run_random(count, seed):
    fuzz_input.run_random(count, seed, 200, test_one_input)


def summary(seed, verbose):
    print(f"data_file: {_files.calls} inputs, random (seed {seed}), no finding")
    if verbose:
        for name, n in sorted(_files.outcomes.items()):
            print(f"  {name:20} {n}")


def main(argv):
    fuzz_input.command_line(argv, "data_file", test_one_input, 200, summary)


if __name__ == "__main__":
    main(sys.argv)
