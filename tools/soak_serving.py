"""The serving soak: `ombrel serve --workers 2` under mixed work for MINUTES (tools/soak.sh runs it).

    .venv/bin/python tools/soak_serving.py [MINUTES] [--workers N] [--sample SECONDS]

For the whole run: wrk sends one 20 Newsgroups text per /predict request on 8 paced connections,
every 5th request being /feedback (live learning); a thread sends /predict_batch requests of 200
texts; a new model is saved into the served folder every 10 s (hot swap) and POST /reload is sent
every minute. Every few seconds it samples each worker's RSS, PSS, open file descriptors
(/proc/PID/fd) and memory mappings (/proc/PID/maps lines).

It fails (exit status 1) when a request failed, a worker was replaced (crashed), or, after a
warm-up (a fifth of the run, at least 30 s), the highest of a worker's figures in the last quarter
of the run exceeds the highest in the first quarter after the warm-up by more than the slack:
RSS 16 MiB, file descriptors 8, mappings 16 (a worker between two models briefly holds both).
"""

import argparse
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))

from serving_harness import (Server, mib, post, read_tsv, require_wrk, train, write_lines,  # noqa: E402
                             wrk)

from ombrel_learn.serve.service import process_usage  # noqa: E402

SLACK = {"rss": 16 << 20, "fds": 8, "maps": 16}
SAVE_EVERY = 10.0
RELOAD_EVERY = 60.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("minutes", nargs="?", type=float, default=30.0)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sample", type=float, default=5.0, help="seconds between samples")
    args = parser.parse_args()
    require_wrk()
    seconds = max(60, int(args.minutes * 60))

    train_x, train_y = read_tsv("20newsgroups", "train.tsv")
    test_x, _ = read_tsv("20newsgroups", "test.tsv")
    work = tempfile.mkdtemp(prefix="ombrel-soak-")
    folder = os.path.join(work, "model")
    models = [train(train_x, train_y), train(train_x, train_y, epochs=2, random_state=1)]
    models[0].save(folder)
    bodies = write_lines(os.path.join(work, "texts.jsonl"), ({"text": t} for t in test_x))
    feedback = write_lines(os.path.join(work, "feedback.jsonl"),
                           ({"text": t, "label": y} for t, y in zip(train_x, train_y)))
    print(f"soak: {seconds} s, {args.workers} workers, model folder {folder}", flush=True)

    problems = []
    samples = []  # (seconds since start, pid, usage)
    counts = {"saves": 0, "reloads": 0, "batches": 0, "batch_failures": 0}
    with Server(folder, args.workers, log=open(os.path.join(work, "server.log"), "w")) as server:
        workers = server.pids()
        stop = threading.Event()
        start = time.monotonic()
        result = {}

        def load():
            result.update(wrk(server.url, bodies, seconds, 8, feedback, 5, delay_ms=1, count=True))

        def batches():
            i = 0
            while not stop.wait(0.5):
                texts = [test_x[(i + k) % len(test_x)] for k in range(200)]
                i += 200
                try:
                    answer = post(server.port, "/predict_batch", {"texts": texts})
                    ok = len(answer["labels"]) == len(texts)
                except OSError:
                    ok = False
                counts["batches"] += 1
                counts["batch_failures"] += not ok

        def swaps():
            last_reload = time.monotonic()
            while not stop.wait(SAVE_EVERY):
                models[counts["saves"] % 2 ^ 1].save(folder)
                counts["saves"] += 1
                if time.monotonic() - last_reload >= RELOAD_EVERY:
                    try:
                        post(server.port, "/reload", {})
                        counts["reloads"] += 1
                    except OSError:
                        counts["batch_failures"] += 1
                    last_reload = time.monotonic()

        threads = [threading.Thread(target=f) for f in (load, batches, swaps)]
        for t in threads:
            t.start()
        next_report = 0.0
        while threads[0].is_alive():
            now = time.monotonic() - start
            current = server.pids()
            if current != workers:
                problems.append(f"workers changed at {now:.0f} s: {workers} -> {current}")
                workers = current
            for pid in current:
                try:
                    samples.append((now, pid, process_usage(pid)))
                except OSError:
                    pass
            if now >= next_report:
                line = "  ".join(f"pid {pid} RSS {mib(u['rss'])} MiB PSS {mib(u['pss'])} MiB fds {u['fds']} maps {u['maps']}"
                                 for t, pid, u in samples[-len(current):])
                print(f"{now:6.0f} s  {line}  saves {counts['saves']}", flush=True)
                next_report += 60
            threads[0].join(args.sample)
        stop.set()
        for t in threads[1:]:
            t.join()

    print(f"requests: {result['requests']:,} to /predict and /feedback ({result['feedback']:,} feedback), "
          f"{result['failed']} failed (non-2xx {result['non_2xx']} {result['statuses']}, socket errors "
          f"{result['socket_errors']}); {counts['batches']} batches of 200 texts, {counts['batch_failures']} "
          f"failed; {counts['saves']} saves (hot swaps), {counts['reloads']} reloads; "
          f"{len(result['models'].split())} models answered")
    if result["failed"] or counts["batch_failures"]:
        problems.append("requests failed")
    warm = max(30.0, seconds / 5)
    steady = [s for s in samples if s[0] >= warm]
    span = seconds - warm
    for pid in sorted({p for _, p, _ in steady}):
        mine = [(t, u) for t, p, u in steady if p == pid]
        early = [u for t, u in mine if t < warm + span / 4]
        late = [u for t, u in mine if t >= seconds - span / 4]
        if not early or not late:
            continue
        figures = []
        for key, slack in SLACK.items():
            first, last = max(u[key] for u in early), max(u[key] for u in late)
            shown = (lambda v: f"{mib(v)} MiB") if key == "rss" else str
            figures.append(f"{key} {shown(first)} -> {shown(last)}")
            if last - first > slack:
                problems.append(f"worker {pid}: {key} grew from {shown(first)} to {shown(last)} "
                                f"(slack {shown(slack)})")
        pss = [u["pss"] for _, u in mine]
        print(f"worker {pid}: highest in the first and last quarter after {warm:.0f} s of warm-up: "
              f"{', '.join(figures)}; PSS {mib(min(pss))}-{mib(max(pss))} MiB")
    if problems:
        print("FAILED: " + "; ".join(problems))
        return 1
    print("passed: no failed request, no worker replaced, no growth beyond the slack")
    return 0


if __name__ == "__main__":
    sys.exit(main())
