"""Where the datasets are: one answer for the demo, its downloader and the tests.

    python examples/dataset_paths.py NAME        # prints the folder of dataset NAME (train.tsv and test.tsv),
                                                 # or says where it looked and exits with 1
    python examples/dataset_paths.py --cache     # prints the download cache (where the demo puts what it fetches)

A dataset is a folder NAME/ holding train.tsv and/or test.tsv (label<TAB>text). It is looked for, in
this order, in
  1. the datasets folder: $OMBREL_DATA when set, else ../shared/data beside the repository;
  2. the download cache: $XDG_CACHE_HOME/ombrel/data when XDG_CACHE_HOME is set, else
     ~/.cache/ombrel/data (examples/run_demo.sh downloads 20 Newsgroups there).
Standard library only: run_demo.sh asks it before any virtual environment exists.
"""
from __future__ import annotations

import os
import sys
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent


def datasets_folder() -> Path:
    """$OMBREL_DATA, else ../shared/data beside the repository."""
    configured = os.environ.get("OMBREL_DATA")
    return Path(configured) if configured else REPO_ROOT.parent / "shared" / "data"


def download_cache() -> Path:
    """Where downloaded datasets go: $XDG_CACHE_HOME/ombrel/data, else ~/.cache/ombrel/data."""
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "ombrel" / "data"


def find_dataset(name: str, files: tuple[str, ...] = ("train.tsv",)) -> Path | None:
    """The first folder NAME/ holding every one of `files`, in the datasets folder, then in the
    download cache; None when neither has it."""
    for root in (datasets_folder(), download_cache()):
        folder = root / name
        if all((folder / file).is_file() for file in files):
            return folder
    return None


def how_to_enable() -> str:
    """One sentence: how to make the datasets available."""
    named = " ($OMBREL_DATA)" if os.environ.get("OMBREL_DATA") else ""
    return (f"put the datasets (one folder per dataset, of label<TAB>text files) in {datasets_folder()}{named}, "
            f"or set OMBREL_DATA to the folder that holds them; examples/run_demo.sh downloads 20newsgroups "
            f"into {download_cache()}, which is searched too")


def main(argv: list[str]) -> int:
    if argv == ["--cache"]:
        print(download_cache())
        return 0
    if len(argv) != 1 or argv[0].startswith("-"):
        print(__doc__.split("\n\n")[1].rstrip(), file=sys.stderr)
        return 2
    found = find_dataset(argv[0], ("train.tsv", "test.tsv"))
    if found is None:
        print(f"{argv[0]} (train.tsv and test.tsv) is neither in {datasets_folder() / argv[0]} "
              f"nor in {download_cache() / argv[0]}", file=sys.stderr)
        return 1
    print(found)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
