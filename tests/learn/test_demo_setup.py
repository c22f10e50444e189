"""What a newcomer meets first: where the datasets are looked for (one answer for the demo and the
tests), the line a run without them ends with, the demo script without data or network, and the
figures the demo shows for its automatic choice."""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

from learn_support import dataset_paths, find_dataset, read_tsv

ROOT = Path(__file__).resolve().parents[2]


def write_dataset(folder, rows=3):
    folder.mkdir(parents=True)
    for split in ("train", "test"):
        (folder / f"{split}.tsv").write_text("".join(f"c{i % 2}\ttext {i}\n" for i in range(rows)), encoding="utf-8")


def test_datasets_are_found_in_the_datasets_folder_then_in_the_demos_download_cache(tmp_path, monkeypatch):
    monkeypatch.setenv("OMBREL_DATA", str(tmp_path / "datasets"))
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    # Where run_demo.sh downloads to is where the tests look.
    cache = subprocess.run([sys.executable, str(ROOT / "examples" / "dataset_paths.py"), "--cache"],
                           capture_output=True, text=True, check=True).stdout.strip()
    assert cache == str(tmp_path / "xdg" / "ombrel" / "data")
    write_dataset(Path(cache) / "toy")
    try:
        texts, labels = read_tsv("toy")
    except pytest.skip.Exception:
        pytest.fail("a dataset in the demo's download cache was not found")
    assert (texts, labels) == (["text 0", "text 1", "text 2"], ["c0", "c1", "c0"])

    write_dataset(tmp_path / "datasets" / "toy", rows=1)  # the datasets folder comes first
    assert find_dataset("toy", "test.tsv") == str(tmp_path / "datasets" / "toy")

    monkeypatch.delenv("XDG_CACHE_HOME")  # then the cache is ~/.cache
    write_dataset(tmp_path / "home" / ".cache" / "ombrel" / "data" / "other")
    assert find_dataset("other") == str(tmp_path / "home" / ".cache" / "ombrel" / "data" / "other")
    assert dataset_paths.find_dataset("missing") is None


def test_a_run_without_the_datasets_ends_with_one_line_counting_their_skips(tmp_path):
    (tmp_path / "test_needs_data.py").write_text(
        "from learn_support import read_tsv\n"
        "def test_a(): read_tsv('sms_spam')\n"
        "def test_b(): read_tsv('20newsgroups', 'test.tsv')\n"
        "def test_c(): pass\n", encoding="utf-8")
    env = dict(os.environ, OMBREL_DATA=str(tmp_path / "none"), XDG_CACHE_HOME=str(tmp_path / "xdg"),
               PYTHONPATH=os.pathsep.join([str(ROOT / "tests"), str(ROOT / "tests" / "learn"),
                                           os.environ.get("PYTHONPATH", "")]))
    # The suite's conftest as a plugin, so that the run is only this file's.
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "conftest",
                             "--rootdir", str(tmp_path), str(tmp_path / "test_needs_data.py")],
                            capture_output=True, text=True, timeout=120, cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    last = result.stdout.strip().splitlines()[-1]
    assert last.startswith("2 dataset tests skipped (20newsgroups, sms_spam not found): to run them, "), last
    assert str(tmp_path / "none") in last and "OMBREL_DATA" in last, last
    assert "run_demo.sh" in last and str(tmp_path / "xdg" / "ombrel" / "data") in last, last


def test_run_demo_without_data_offline_stops_in_seconds_before_any_virtual_environment(tmp_path):
    env = dict(os.environ, HOME=str(tmp_path / "home"), XDG_CACHE_HOME=str(tmp_path / "xdg"),
               OMBREL_DATA=str(tmp_path / "none"), PYTHON312=sys.executable,
               # No mirror can answer: every request goes to a closed local port.
               http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9", no_proxy="")
    env.pop("OMBREL_DEMO_VENV", None)
    start = time.monotonic()
    result = subprocess.run(["bash", str(ROOT / "examples" / "run_demo.sh")], capture_output=True, text=True,
                            timeout=60, env=env, cwd=tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    assert time.monotonic() - start < 30, "the data check is meant to answer in seconds"
    cache = tmp_path / "xdg" / "ombrel" / "data" / "20newsgroups"
    assert f"copy train.tsv and test.tsv (label<TAB>text) into {cache}" in result.stderr, result.stderr
    assert "OMBREL_DATA" in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert not any("venv" in p.name for p in tmp_path.rglob("*")), "a virtual environment was started"


def test_the_demo_shows_the_held_out_figures_its_choice_decided_on():
    """The choice keeps words unless chars do significantly better on the held-out texts both kinds
    were scored on: so when it picks chars, the chars figure shown beats every words figure shown."""
    data = find_dataset("sms_spam", "train.tsv", "test.tsv")
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), "--data", data, "--no-check"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    line = next(line for line in result.stdout.splitlines() if line.startswith("fit:"))
    match = re.search(r"features (\w+) \(chosen on [^:]*: ([^)]*)\)", line)
    assert match, line
    chosen = match.group(1)
    shown = {}
    for item in match.group(2).split(", "):
        name, figure = item.rsplit(" ", 1)
        kind = name.split("/")[0]  # "words-plain" and "words+pairs" are word features too
        shown.setdefault("chars" if kind == "chars" else "words", []).append(float(figure.rstrip("%")))
    assert set(shown) == {"words", "chars"}, line
    if chosen != "words":
        assert min(shown[chosen]) > max(shown["words"]), line
    assert "temporary" in result.stdout and "--out DIR keeps one" in result.stdout  # no path that is gone
