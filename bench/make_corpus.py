"""Writes a labelled corpus of a chosen size (`label<TAB>text` lines) for the scale benchmark.

Each line is a new text of one class of a shared data set: sentences of that class's texts
recombined (drawn with a seed), plus a few rare made-up words, so that the vocabulary keeps growing with the
file as a real corpus's does (Heaps' law, exponent 0.5) instead of stopping at the source's.

    python bench/make_corpus.py OUT --mb 100 [--sets 20newsgroups,ag_news,...] [--seed 0]
    python bench/make_corpus.py OUT --gb 1

The sets are read from ../shared/data (beside the project); a set that is absent is skipped, and
the script says so. Labels are prefixed with the set's name, so the classes of several sets add up.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import re
import sys
from pathlib import Path

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
DEFAULT_SETS = "20newsgroups,ag_news,banking77,imdb,sms_spam,snips,go_emotions"
_SENTENCE_END = re.compile(r"(?<=[.!?])\s+")


def sentences_by_class(sets: list[str], data: Path) -> dict[str, list[str]]:
    by_class: dict[str, list[str]] = {}
    for name in sets:
        folder = data / name
        files = sorted(folder.glob("train.tsv")) or sorted(folder.glob("*.tsv"))
        if not files:
            print(f"make_corpus: {folder} is absent; skipped", file=sys.stderr)
            continue
        with open(files[0], encoding="utf-8") as f:
            for line in f:
                label, tab, text = line.rstrip("\n").partition("\t")
                if not tab or not label or "," in label or not text.strip():
                    continue
                parts = [part for part in _SENTENCE_END.split(text) if part]
                by_class.setdefault(f"{name}.{label}", []).extend(parts)
    return by_class


def rare_token(number: int) -> str:
    """A made-up word for each number (syllables of a consonant and a vowel, at least three)."""
    syllables = []
    while number or len(syllables) < 3:
        number, digit = divmod(number, 100)
        syllables.append("bcdfghjklmnpqrstvwxz"[digit // 5] + "aeiou"[digit % 5])
    return "".join(syllables)


def write(out: str, size: int, sets: list[str], seed: int, data: Path = DATA) -> int:
    """Writes about `size` bytes of lines to `out`; returns the number of lines."""
    by_class = sentences_by_class(sets, data)
    if not by_class:
        raise SystemExit(f"make_corpus: no data set found under {data}")
    rng = random.Random(seed)
    classes = sorted(by_class)
    written = lines = 0
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        buffer: list[str] = []
        while written < size:
            label = rng.choice(classes)
            pool = by_class[label]
            text = " ".join(rng.choice(pool) for _ in range(rng.randint(2, 6)))
            # Rare words drawn from a pool that grows with the square root of the lines so far: the
            # vocabulary grows as Heaps' law has it (exponent 0.5), about 200 sqrt(lines) words.
            pool_size = 200 * int(math.sqrt(lines + 1)) + 1000
            text += " " + " ".join(rare_token(rng.randrange(pool_size)) for _ in range(rng.randint(0, 2)))
            line = f"{label}\t{' '.join(text.split())}\n"
            buffer.append(line)
            written += len(line.encode("utf-8"))
            lines += 1
            if len(buffer) >= 10_000:
                f.write("".join(buffer))
                buffer.clear()
        f.write("".join(buffer))
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    size = parser.add_mutually_exclusive_group(required=True)
    size.add_argument("--mb", type=float)
    size.add_argument("--gb", type=float)
    parser.add_argument("--sets", default=DEFAULT_SETS)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    size = int((args.mb or 0) * 1e6 + (args.gb or 0) * 1e9)
    lines = write(args.out, size, args.sets.split(","), args.seed)
    print(f"make_corpus: {lines:,} lines, {os.path.getsize(args.out) / 1e6:.1f} MB in {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
