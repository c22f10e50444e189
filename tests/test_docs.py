"""The README and the guides in docs/: every code block runs as a reader would paste it.

Sybil finds the fenced blocks. A block's language says what happens to it:
  python   run in a fresh interpreter, in an empty working folder that it must leave empty;
  bash     run by `bash -e -o pipefail` in an empty working folder of its own;
  console  shown, not run: commands that build, install, serve, download or run for minutes;
  text     shown, not run: output, layouts.
Any other fence, and any indented code block, fails the inventory: a new block is run or marked.
Each runnable block stands alone (its own data, its own files), so that it works when copied by itself.
`ombrel` and `python` are the ones of the interpreter running the tests. A block that names
`../shared/data/NAME` runs where that path leads to the dataset, and skips when the dataset is absent.
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

sybil = pytest.importorskip("sybil", reason="the documentation tests need sybil (requirements-dev.txt)")
from sybil.parsers.markdown import CodeBlockParser  # noqa: E402
from sybil.parsers.markdown.lexers import FencedCodeBlockLexer  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "learn"))
from learn_support import find_dataset  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUN = ("python", "bash")
NOT_RUN = ("console", "text")
DATASET = re.compile(r"\.\./shared/data/([\w.-]+)(?:/([\w.-]+))?")
BLOCK_SECONDS = 120


def _run(example, command, python):
    """Runs one block in a scratch layout where `../shared/data` holds the datasets it names."""
    source = str(example.parsed)
    if python:  # a traceback's line numbers are the page's
        source = "\n" * example.line + source
    where = f"{Path(example.path).relative_to(ROOT)}:{example.line}"
    with tempfile.TemporaryDirectory(prefix="ombrel-doc-block-") as scratch:
        cwd = Path(scratch) / "work"
        cwd.mkdir()
        datasets = {}
        for name, file in DATASET.findall(source):
            datasets.setdefault(name, set()).update([file] if file else [])
        for name, files in sorted(datasets.items()):
            found = find_dataset(name, *sorted(files))  # skips the block when the dataset is absent
            (Path(scratch) / "shared" / "data").mkdir(parents=True, exist_ok=True)
            (Path(scratch) / "shared" / "data" / name).symlink_to(found)
        env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")]))
        proc = subprocess.run([*command, source], cwd=cwd, env=env, capture_output=True, text=True,
                              timeout=BLOCK_SECONDS, stdin=subprocess.DEVNULL)
        assert proc.returncode == 0, f"the block at {where} failed ({proc.returncode}):\n{proc.stderr[-3000:]}"
        left = sorted(p.name for p in cwd.iterdir())
    if python:
        assert not left, f"the block at {where} left {left} in the working folder"


PARSERS = [CodeBlockParser("python", lambda example: _run(example, [sys.executable, "-c"], True)),
           CodeBlockParser("bash", lambda example: _run(example, ["bash", "-e", "-o", "pipefail", "-c"], False))]


def _examples():
    found = []
    for page in PAGES:
        for example in sybil.Document.parse(str(page), *PARSERS):
            found.append(pytest.param(example, id=f"{page.relative_to(ROOT)}:{example.line}"))
    return found


def _anchors(page):
    """The anchors a Markdown renderer gives the page's headings: lower case, punctuation dropped, blanks
    as hyphens."""
    anchors, in_fence = set(), False
    for line in page.read_text(encoding="utf-8").splitlines():
        if line.lstrip().startswith(("```", "~~~")):
            in_fence = not in_fence
        elif not in_fence and line.startswith("#"):
            anchors.add(re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-"))
    return anchors


def test_every_block_is_run_or_marked_not_run_and_every_link_leads_somewhere():
    assert (ROOT / "README.md").is_file() and len(PAGES) > 1, "the README and docs/ are part of the suite"
    fences = FencedCodeBlockLexer(r"[^\n]*", mapping={"language": "language", "source": "source"})
    problems = []
    for page in PAGES:
        document = sybil.Document.parse(str(page))
        name = page.relative_to(ROOT)
        for region in fences(document):
            language = region.lexemes["language"].strip()
            if language not in RUN + NOT_RUN:
                line = document.text.count("\n", 0, region.start) + 1
                problems.append(f"{name}:{line}: a ```{language} block: say python or bash (run) or console or text")
        # Indented code blocks (four spaces after a blank line, outside a fence and a list) run nowhere.
        in_fence, previous = False, ""
        for number, line in enumerate(document.text.splitlines(), 1):
            if line.lstrip().startswith(("```", "~~~")):
                in_fence = not in_fence
            elif not in_fence and line.startswith("    ") and line.strip() and not previous.strip():
                problems.append(f"{name}:{number}: an indented code block: fence it as python, bash, console or text")
            previous = line
        # Relative links point at files of the repository, and at headings of those that are pages.
        for target in re.findall(r"\]\(([^)\s]+)\)", document.text):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            path = (page.parent / file) if file else page
            if not path.exists() or (anchor and path.suffix == ".md" and anchor not in _anchors(path)):
                problems.append(f"{name}: the link {target} leads nowhere")
    assert not problems, "\n".join(problems)
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert readme.count("\n") <= 150, f"the README is a front page; the guides are in docs/ ({readme.count(chr(10))} lines)"
    # In the present tense: runs and rounds go to the changelog.
    dated = re.findall(r"20\d\d-\d\d-\d\d|before this round|no longer needed", readme)
    assert not dated, f"the README holds history ({dated}); it goes to CHANGELOG.md"


def test_every_extra_the_guides_install_exists_and_the_cluster_guide_names_its_own():
    import tomllib
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["optional-dependencies"]
    named = {page.name: set(re.findall(r"pip install '\.\[(\w+)\]'", page.read_text(encoding="utf-8")))
             for page in PAGES}
    assert set().union(*named.values()) <= set(extras), named
    # The Dask examples import dask and distributed: the guide that runs them says how to get both.
    assert "dask" in named["distributed.md"] and any(r.startswith("dask[distributed]") for r in extras["dask"])


@pytest.mark.parametrize("example", _examples())
def test_block_runs_as_pasted(example):
    example.evaluate()
