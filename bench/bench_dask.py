"""Throughput of Dask scoring with 1 and 2 worker processes, and the memory of each worker.

Trains a model on <dataset>/train.tsv (20newsgroups by default), writes <dataset>/test.tsv repeated
--copies times to a scratch file, and scores that file with examples/dask_scoring.py:

  - in this process, without Dask (the baseline: one engine thread, like one worker);
  - on a LocalCluster of 1, then 2 worker processes, one thread each and RAYON_NUM_THREADS=1.

Each figure is the best of --runs timed runs after one warm-up run. The Dask answers are checked
against the baseline's.

Memory is read by each worker from /proc/self/smaps_rollup (RSS, PSS, USS = private pages) and, for
the weight file's mapping alone, from /proc/self/smaps. RSS counts every resident page the process
maps; PSS divides each page by the number of processes that map it. The weights are one shared file
mapping, so with 2 workers each worker's PSS of it is about half its RSS of it, and the workers' PSS
of it adds up to the pages resident once.

Usage: .venv/bin/python bench/bench_dask.py [--data DIR] [--dataset NAME] [--copies N] [--runs N]
Needs dask[distributed] (requirements-dist.txt) and Linux /proc.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

# One engine thread in this process too, decided before the first batch call creates the pool.
os.environ["RAYON_NUM_THREADS"] = "1"

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

try:
    from distributed import Client, LocalCluster
except ImportError:
    sys.exit("bench_dask needs dask[distributed]: pip install -r requirements-dist.txt")

import dask_scoring  # noqa: E402

MIB = 1024 * 1024


def smaps_memory(dask_worker, weights_path):
    """Runs in a worker: its pid, its RSS/PSS/USS, and RSS/PSS of the weight file's mapping (bytes)."""
    rollup = {}
    with open("/proc/self/smaps_rollup", encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                rollup[parts[0].rstrip(":")] = int(parts[1]) * 1024
    weights = {"Rss": 0, "Pss": 0}
    regions = 0
    inside = False
    with open("/proc/self/smaps", encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if not fields[0].endswith(":"):  # a mapping's header: address range ... [path]
                inside = len(fields) >= 6 and line.rstrip("\n").endswith(weights_path)
                regions += inside
            elif inside and fields[0][:-1] in weights:
                weights[fields[0][:-1]] += int(fields[1]) * 1024
    return {
        "pid": os.getpid(),
        "rss": rollup["Rss"],
        "pss": rollup["Pss"],
        "uss": rollup.get("Private_Clean", 0) + rollup.get("Private_Dirty", 0),
        "weights_rss": weights["Rss"],
        "weights_pss": weights["Pss"],
        "weights_mappings": regions,
    }


def best_time(runs, work):
    times = []
    result = None
    for _ in range(runs):
        started = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - started)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description="Dask scoring throughput and per-worker memory")
    parser.add_argument("--data", type=Path, default=Path(os.environ.get("OMBREL_DATA", ROOT.parent / "shared" / "data")))
    parser.add_argument("--dataset", default="20newsgroups")
    parser.add_argument("--copies", type=int, default=3, help="copies of test.tsv in the scored corpus")
    parser.add_argument("--runs", type=int, default=3, help="timed runs per configuration")
    parser.add_argument("--blocksize", default="1MiB", help="corpus bytes per partition")
    args = parser.parse_args()

    train_tsv = args.data / args.dataset / "train.tsv"
    test_tsv = args.data / args.dataset / "test.tsv"
    if not train_tsv.is_file() or not test_tsv.is_file():
        sys.exit(f"dataset not found: {train_tsv.parent} needs train.tsv and test.tsv "
                 "(the datasets live in ../shared/data beside the repository; or pass --data)")

    with tempfile.TemporaryDirectory(prefix="ombrel-bench-dask-") as scratch:
        model_dir = Path(scratch) / "model"
        dask_scoring.train_model(train_tsv, model_dir)
        weights = str(dask_scoring.weights_file(model_dir))
        corpus = Path(scratch) / "corpus.tsv"
        corpus.write_bytes(test_tsv.read_bytes() * args.copies)
        size = corpus.stat().st_size
        with open(corpus, encoding="utf-8") as f:
            texts = sum(1 for _ in f)
        model = dask_scoring.Model(model_dir)
        print("load average before: %.1f %.1f %.1f (the figures need idle cores to mean much)"
              % os.getloadavg())
        print(f"corpus: {args.dataset}/test.tsv x{args.copies} = {texts} texts, {size / 1e6:.1f} MB; "
              f"model: {model.classifier.n_features_} tokens x {len(model.labels)} classes, "
              f"weight file {os.path.getsize(weights) / MIB:.1f} MiB")
        del model  # unmaps: only the workers map the weights while memory is measured

        def report(name, seconds, baseline=None, extra=""):
            line = (f"{name:<34} {seconds:7.3f} s  {texts / seconds:8.0f} texts/s  "
                    f"{size / 1e6 / seconds:6.1f} MB/s")
            if baseline is not None:
                line += f"  x{baseline / seconds:.2f} of in-process"
            print(line + extra)

        dask_scoring.score_locally(model_dir, corpus)  # warm-up: page cache, pool
        local_seconds, expected = best_time(args.runs, lambda: dask_scoring.score_locally(model_dir, corpus))
        report("in-process, no Dask (baseline)", local_seconds)

        memory = {}
        per_workers = {}
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
                    Client(cluster) as client:
                client.wait_for_workers(workers)

                def score(client=client):
                    return dask_scoring.score_corpus(client, model_dir, str(corpus), args.blocksize)

                if score() != expected:
                    sys.exit(f"the answers of {workers} Dask worker(s) differ from the in-process run")
                seconds, answers = best_time(args.runs, score)
                assert answers == expected
                per_workers[workers] = seconds
                extra = f", x{per_workers[1] / seconds:.2f} of 1 worker" if workers > 1 else ""
                report(f"Dask, {workers} worker process{'es' if workers > 1 else ''}", seconds,
                       local_seconds, extra)
                memory[workers] = sorted(client.run(smaps_memory, weights_path=weights).values(),
                                         key=lambda m: m["pid"])

        print("\nmemory of each worker after scoring (MiB); weights = the weight file's mapping")
        print(f"{'workers':>7} {'pid':>8} {'RSS':>7} {'PSS':>7} {'USS':>7} "
              f"{'weights RSS':>12} {'weights PSS':>12} {'mappings':>9}")
        for workers, rows in memory.items():
            for m in rows:
                print(f"{workers:>7} {m['pid']:>8} {m['rss'] / MIB:7.1f} {m['pss'] / MIB:7.1f} "
                      f"{m['uss'] / MIB:7.1f} {m['weights_rss'] / MIB:12.2f} {m['weights_pss'] / MIB:12.2f} "
                      f"{m['weights_mappings']:>9}")
        two = memory[2]
        rss_sum = sum(m["weights_rss"] for m in two)
        pss_sum = sum(m["weights_pss"] for m in two)
        print("load average after: %.1f %.1f %.1f" % os.getloadavg())
        print(f"\n2 workers, the weight file's mapping: RSS summed {rss_sum / MIB:.2f} MiB, "
              f"PSS summed {pss_sum / MIB:.2f} MiB (x{rss_sum / pss_sum:.2f}); "
              f"file {os.path.getsize(weights) / MIB:.2f} MiB.\n"
              "PSS counts each resident page of the weights once across the workers, RSS once per worker.")

if __name__ == "__main__":
    main()
