"""The ombrel_learn demo (examples/demo.py) run end to end as a user runs it, on a small corpus."""

import re
import subprocess
import sys
from pathlib import Path

from learn_support import make_corpus

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_fits_evaluates_saves_and_reloads(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    for name, (texts, labels) in (("train", make_corpus(20, 1)), ("test", make_corpus(4, 2))):
        (data / f"{name}.tsv").write_text("".join(f"{y}\t{x}\n" for x, y in zip(texts, labels)), encoding="utf-8")
    out = tmp_path / "model"
    result = subprocess.run([sys.executable, str(DEMO), "--data", str(data), "--out", str(out)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"accuracy 100\.00% on 12 test texts", result.stdout), result.stdout
    assert "identical for all 12 texts: yes" in result.stdout
    assert (out / "model.json").is_file()


def test_demo_explains_a_missing_data_directory(tmp_path):
    result = subprocess.run([sys.executable, str(DEMO), "--data", str(tmp_path / "none")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and "No dataset directory" in result.stderr
    assert "Traceback" not in result.stderr
