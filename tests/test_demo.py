"""The demo (examples/classify.py) run end to end as a user runs it, on a tiny generated corpus."""

import json
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

CLASSIFY = Path(__file__).resolve().parent.parent / "examples" / "classify.py"

# Three classes with disjoint vocabularies: any working classifier gets every test text right.
WORDS = {
    "sport": "football goal referee striker penalty stadium league keeper match tackle".split(),
    "food": "tomato pasta garlic oven recipe butter onion pepper kitchen flour".split(),
    "space": "rocket orbit planet galaxy comet telescope asteroid lunar nebula astronaut".split(),
}
TRAIN_PER_CLASS, TEST_PER_CLASS = 12, 4


def write_corpus(directory: Path) -> None:
    rng = random.Random(7)
    directory.mkdir()
    for name, per_class in (("train", TRAIN_PER_CLASS), ("test", TEST_PER_CLASS)):
        lines = [f"{label}\tthe {' '.join(rng.sample(words, 5))}"
                 for _ in range(per_class) for label, words in WORDS.items()]
        (directory / f"{name}.tsv").write_text("\n".join(lines) + "\n", encoding="utf-8")


def run_demo(*args: str, cwd: Path) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != "OMBREL_DATA"}
    return subprocess.run([sys.executable, str(CLASSIFY), *args], capture_output=True, text=True,
                          timeout=60, cwd=cwd, env=env)


@pytest.mark.parametrize("features", ["words", "chars"])
def test_demo_trains_evaluates_and_reloads(tmp_path, features):
    write_corpus(tmp_path / "data")
    out = tmp_path / "out"
    result = run_demo("--data", str(tmp_path / "data"), "--features", features, "--epochs", "2",
                      "--out", str(out), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr

    test_count = TEST_PER_CLASS * len(WORDS)
    match = re.search(rf"accuracy (\d+\.\d+)% on {test_count} test texts", result.stdout)
    assert match, result.stdout
    assert float(match.group(1)) >= 90.0, result.stdout
    assert f"identical for all {test_count} texts: yes" in result.stdout, result.stdout
    assert f"{len(WORDS)} classes" in result.stdout

    assert (out / "weights.bin").stat().st_size > 0
    vocabulary = json.loads((out / "vocabulary.json").read_text(encoding="utf-8"))
    assert vocabulary and vocabulary == sorted(vocabulary)


def test_demo_explains_a_missing_data_directory(tmp_path):
    missing = tmp_path / "no-such-data"
    result = run_demo("--data", str(missing), cwd=tmp_path)
    assert result.returncode == 2, result.stdout + result.stderr
    assert f"No dataset directory at {str(missing)!r}" in result.stderr, result.stderr
    assert "--data DIR" in result.stderr and "label<TAB>text" in result.stderr, result.stderr
    assert "Traceback" not in result.stderr
    assert "accuracy" not in result.stdout


def test_downloaded_archive_becomes_sorted_tsv_rows(tmp_path):
    """The demo's dataset fetcher, on a small archive of the same shape as the real one."""
    import io
    import tarfile

    sys.path.insert(0, str(CLASSIFY.parent))
    try:
        import fetch_20newsgroups as fetch
    finally:
        sys.path.pop(0)
    posts = {
        "20news-bydate/20news-bydate-train/sci.space/102": "Subject: orbit\n\n  Lunar\tlanding ".encode(),
        "20news-bydate/20news-bydate-train/sci.space/11": b"first",
        "20news-bydate/20news-bydate-train/alt.atheism/5": "caf\xe9".encode("latin-1"),  # not UTF-8
        "20news-bydate/20news-bydate-test/rec.autos/7": "engine \u00e9".encode(),
        "__MACOSX/20news-bydate/20news-bydate-test/rec.autos/._7": b"resource fork",
    }
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        for name, data in posts.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    files = fetch.convert(buffer.getvalue())
    assert files["train"] == ("alt.atheism\tcaf\u00e9\n"
                              "sci.space\tfirst\n"
                              "sci.space\tSubject: orbit Lunar landing\n")
    assert files["test"] == "rec.autos\tengine \u00e9\n"
    assert fetch.main([]) == 2
