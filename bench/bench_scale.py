"""Training on files of growing size: fit time and peak memory of `ombrel train` in memory
(--stream no), streamed (--stream yes) and fastText (train_supervised, thread=2, its defaults), each
fit in a child process of its own (its peak resident memory from wait4's ru_maxrss).

    python bench/bench_scale.py                  # 0.1 GB (a few minutes)
    python bench/bench_scale.py --gb 0.1 1 2     # larger files (minutes to an hour)

The files are written by bench/make_corpus.py from ../shared/data into a temporary folder (or
--keep DIR, reused when present). fastText runs from the benchmark environment of run_peers.sh
($OMBREL_BENCH_VENV or ~/.cache/ombrel/venv-bench) when it has fastText; else its rows are
skipped and the script says so. The in-memory fit is skipped where the file times 8 exceeds the
memory available. Ratios are against the streamed fit of the same file, measured in the same run.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
import make_corpus  # noqa: E402

FASTTEXT_TRAIN = """
import sys, fasttext
fasttext.train_supervised(input=sys.argv[1], thread=2, verbose=0).save_model(sys.argv[2])
"""


def run(command: list[str], env: dict[str, str] | None = None) -> tuple[float, float, str]:
    """(seconds, peak RSS in MB, last line of stderr) of a child process; raises when it fails."""
    start = time.perf_counter()
    with tempfile.TemporaryFile() as err:
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.perf_counter() - start
        err.seek(0)
        text = err.read().decode(errors="replace").strip().splitlines()
    if child.returncode:
        raise RuntimeError(f"{command[:4]} failed: {text[-1] if text else child.returncode}")
    return seconds, usage.ru_maxrss / 1024, text[-1] if text else ""


def bench_python() -> str | None:
    venv = Path(os.environ.get("OMBREL_BENCH_VENV", Path.home() / ".cache/ombrel/venv-bench"))
    python = venv / "bin" / "python"
    if python.exists() and subprocess.run([str(python), "-c", "import fasttext"], capture_output=True).returncode == 0:
        return str(python)
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gb", type=float, nargs="+", default=[0.1])
    parser.add_argument("--keep", default=None, help="folder for the corpora (kept; reused when present)")
    args = parser.parse_args()
    from ombrel_learn.base.validation import available_memory
    fasttext = bench_python()
    if fasttext is None:
        print("fastText: not in the benchmark environment (bench/run_peers.sh installs it); its rows are skipped")
    folder = args.keep or tempfile.mkdtemp(prefix="bench-scale-")
    os.makedirs(folder, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), os.environ.get("PYTHONPATH", "")]))
    print(f"{'file':>8} {'system':<18} {'seconds':>8} {'peak MB':>8} {'RSS/file':>8} {'time/streamed':>13}")
    for gb in args.gb:
        path = os.path.join(folder, f"corpus-{gb:g}gb.tsv")
        if not os.path.exists(path):
            make_corpus.write(path, int(gb * 1e9), make_corpus.DEFAULT_SETS.split(","), 0)
        size_mb = os.path.getsize(path) / 1e6
        rows: list[tuple[str, float, float]] = []
        ombrel = [sys.executable, "-m", "ombrel_learn", "train", path, "-o"]
        seconds, peak, said = run(ombrel + [os.path.join(folder, "model-s"), "--stream", "yes"], env)
        rows.append(("ombrel streamed", seconds, peak))
        streamed = seconds
        available = available_memory()
        if available is None or size_mb * 1e6 * 8 < available:
            seconds, peak, _ = run(ombrel + [os.path.join(folder, "model-m"), "--stream", "no"], env)
            rows.append(("ombrel in memory", seconds, peak))
        else:
            print(f"{size_mb:>6.0f}MB ombrel in memory: skipped (8 x the file exceeds the memory available)")
        if fasttext is not None:
            ft_input = path + ".ft"
            if not os.path.exists(ft_input):  # fastText's own format (not timed)
                with open(path, encoding="utf-8") as src, open(ft_input, "w", encoding="utf-8") as out:
                    for line in src:
                        label, _, text = line.partition("\t")
                        out.write(f"__label__{label} {text}")
            seconds, peak, _ = run([fasttext, "-c", FASTTEXT_TRAIN, ft_input, os.path.join(folder, "ft.bin")])
            rows.append(("fastText", seconds, peak))
        for name, seconds, peak in rows:
            print(f"{size_mb:>6.0f}MB {name:<18} {seconds:>8.1f} {peak:>8.0f} {peak / size_mb:>8.2f} "
                  f"{seconds / streamed:>13.2f}")
        print(f"         ({said})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
