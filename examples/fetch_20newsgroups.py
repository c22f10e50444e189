"""Downloads 20 Newsgroups ("bydate" split) and writes it as train.tsv and test.tsv (label<TAB>text).

    python examples/fetch_20newsgroups.py DEST_DIR
    python examples/fetch_20newsgroups.py --check DEST_DIR   # only whether a mirror answers, in seconds

The archive is the one the corpus's maintainer publishes (20news-bydate.tar.gz, 14 MB), fetched from a
mirror and checked against its SHA-256 before anything is unpacked. Each post becomes one line: the
label is its newsgroup, the text the whole raw post (headers included), decoded as UTF-8 where it is
valid and as Latin-1 otherwise, with every run of whitespace made one space; rows are sorted by group,
then by the post's numeric id. Nothing is written to DEST_DIR unless the whole conversion succeeds.
Exit status 0 on success, 1 on a failure (offline machine, bad checksum), with one line saying what to do.
With --check, nothing is downloaded: exit status 0 when a mirror answers within CHECK_SECONDS, else 1
with the same line (examples/run_demo.sh asks this before it builds anything).
"""
from __future__ import annotations

import hashlib
import io
import os
import re
import sys
import tarfile
import tempfile
import urllib.error
import urllib.request
from pathlib import Path

ARCHIVE_SHA256 = "8f1b2514ca22a5ade8fbb9cfa5727df95fa587f4c87b786e15c759fa66d95610"
MIRRORS = (
    "https://ndownloader.figshare.com/files/5975967",
    "http://qwone.com/~jason/20Newsgroups/20news-bydate.tar.gz",
)
CHECK_SECONDS = 5
SPLITS = {"train": "20news-bydate-train", "test": "20news-bydate-test"}
WHITESPACE = re.compile(r"\s+")


def download(url: str) -> bytes:
    """The whole body of `url`, with a progress bar on standard error when it is a terminal."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:  # the bar is a nicety
        tqdm = None
    request = urllib.request.Request(url, headers={"User-Agent": "ombrel-demo"})
    with urllib.request.urlopen(request, timeout=60) as response:
        total = int(response.headers.get("Content-Length") or 0) or None
        bar = (tqdm(total=total, unit="B", unit_scale=True, desc="20news-bydate.tar.gz", file=sys.stderr,
                    disable=not sys.stderr.isatty()) if tqdm else None)
        body = io.BytesIO()
        while chunk := response.read(1 << 16):
            body.write(chunk)
            if bar is not None:
                bar.update(len(chunk))
        if bar is not None:
            bar.close()
    return body.getvalue()


def decode(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def convert(archive: bytes) -> dict[str, str]:
    """The two TSV files' contents, from the archive's bytes."""
    rows: dict[str, list[tuple[str, int, str]]] = {name: [] for name in SPLITS}
    with tarfile.open(fileobj=io.BytesIO(archive), mode="r:gz") as tar:
        for member in tar:
            parts = member.name.split("/")
            if not member.isfile() or len(parts) < 3 or not parts[-1].isdigit():
                continue
            split = next((name for name, folder in SPLITS.items() if parts[-3] == folder), None)
            if split is None:
                continue
            handle = tar.extractfile(member)
            if handle is None:
                continue
            raw = handle.read()
            text = WHITESPACE.sub(" ", decode(raw)).strip()
            rows[split].append((parts[-2], int(parts[-1]), text))
    out = {}
    for split, items in rows.items():
        if not items:
            raise ValueError(f"the archive holds no {split} posts")
        items.sort(key=lambda row: (row[0], row[1]))
        out[split] = "".join(f"{label}\t{text}\n" for label, _, text in items)
    return out


def fetch(dest: Path) -> None:
    errors = []
    for url in MIRRORS:
        try:
            archive = download(url)
        except (urllib.error.URLError, OSError) as error:
            errors.append(f"{url}: {error}")
            continue
        digest = hashlib.sha256(archive).hexdigest()
        if digest != ARCHIVE_SHA256:
            errors.append(f"{url}: SHA-256 {digest}, expected {ARCHIVE_SHA256}")
            continue
        files = convert(archive)
        dest.mkdir(parents=True, exist_ok=True)
        for split, content in files.items():
            # Written beside the target and renamed into place: an interrupted run leaves no half file.
            with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=dest, delete=False,
                                             suffix=".part") as f:
                f.write(content)
            os.replace(f.name, dest / f"{split}.tsv")
        print(f"20 Newsgroups written to {dest} "
              f"({files['train'].count(chr(10))} training and {files['test'].count(chr(10))} test posts)",
              file=sys.stderr)
        return
    raise RuntimeError("could not download 20 Newsgroups (" + "; ".join(errors) + ")")


def reachable() -> list[str]:
    """[] when a mirror answers a HEAD request within CHECK_SECONDS, else why each did not."""
    errors = []
    for url in MIRRORS:
        request = urllib.request.Request(url, method="HEAD", headers={"User-Agent": "ombrel-demo"})
        try:
            with urllib.request.urlopen(request, timeout=CHECK_SECONDS):
                return []
        except (urllib.error.URLError, OSError) as error:
            errors.append(f"{url}: {getattr(error, 'reason', error)}")
    return errors


def offline_help(dest: str) -> str:
    return (f"On a machine without internet access, copy train.tsv and test.tsv (label<TAB>text) into "
            f"{dest}, or set OMBREL_DATA to a folder holding 20newsgroups/.")


def main(argv: list[str]) -> int:
    check = argv[:1] == ["--check"]
    if check:
        argv = argv[1:]
    if len(argv) != 1:
        print("\n".join(line.strip() for line in __doc__.split("\n\n")[1].splitlines()), file=sys.stderr)
        return 2
    if check:
        errors = reachable()
        if errors:
            print(f"error: 20 Newsgroups cannot be downloaded ({'; '.join(errors)}). {offline_help(argv[0])}",
                  file=sys.stderr)
            return 1
        return 0
    try:
        fetch(Path(argv[0]))
    except (RuntimeError, ValueError, tarfile.TarError) as error:
        print(f"error: {error}. {offline_help(argv[0])}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
