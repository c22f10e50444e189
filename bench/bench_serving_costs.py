"""What cheap but costly requests do to the others: /health's latency beside one client that loops each.

    .venv/bin/python bench/bench_serving_costs.py [--seconds S]

One `ombrel serve` worker per model. /health is timed (one connection, one request after another) with
nothing else running, then beside one client that sends, one after another, as fast as the answers come:
- `/predict_batch` of 349,000 empty texts (a 1 MiB request) with `"k": 20`, to a 20-class model;
- `/predict_batch` of 64 short texts with `"k"` the number of classes, to a 5,000-class model;
- `/explain` of a 20,000-character text to a model of character n-grams.
It prints, for each, /health's p50 and p99, the ratio of that p99 to the idle one (goal: at most 3x),
what the looping client got (status, answer bytes against request bytes) and how many requests it made.
"""

import argparse
import json
import os
import statistics
import sys
import multiprocessing
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from serving_harness import HEADERS, Server, get  # noqa: E402

from ombrel_learn import OmbrelClassifier  # noqa: E402

WORDS = ("orbit rocket comet planet goal match keeper penalty garlic pasta butter oven flour bread sauce "
         "league referee striker telescope probe").split()


def health_latencies(port, seconds):
    times = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        start = time.perf_counter()
        get(port, "/health")
        times.append(time.perf_counter() - start)
    times.sort()
    return times


def summary(times):
    return statistics.median(times), times[int(0.99 * (len(times) - 1))]


def loop(port, path, body, stop, results):
    """The looping client, in a process of its own (a thread would take the timer's interpreter lock)."""
    seen = []
    data = json.dumps(body).encode()
    while not stop.is_set():
        request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method="POST", headers=HEADERS)
        try:
            with urllib.request.urlopen(request, timeout=120) as response:
                seen.append((response.status, len(response.read()), len(data)))
        except urllib.error.HTTPError as e:
            seen.append((e.code, len(e.read()), len(data)))
        except (urllib.error.URLError, ConnectionError):  # refused before its body was all sent: closed
            seen.append((413, 0, len(data)))
    results.put(seen)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args(argv)
    rng = __import__("random").Random(0)
    texts = [" ".join(rng.sample(WORDS, 6)) for _ in range(10_000)]
    with tempfile.TemporaryDirectory() as scratch:
        models = {}
        models["20 classes"] = os.path.join(scratch, "twenty")
        OmbrelClassifier(learner="naive_bayes", features="words").fit(texts, [i % 20 for i in range(len(texts))]
                                                                      ).save(models["20 classes"])
        models["5,000 classes"] = os.path.join(scratch, "many")
        OmbrelClassifier(learner="field", features="words", coverage=0).fit(texts, [f"c{i % 5000}" for i in range(len(texts))]
                                                                ).save(models["5,000 classes"])
        models["chars"] = os.path.join(scratch, "chars")
        OmbrelClassifier(learner="naive_bayes", features="chars").fit(texts, [i % 20 for i in range(len(texts))]
                                                                      ).save(models["chars"])
        cases = [("20 classes", "/predict_batch", {"texts": [""] * 349_000, "k": 20}),
                 ("5,000 classes", "/predict_batch", {"texts": texts[:64], "k": 5000}),
                 ("chars", "/explain", {"text": ("rocket orbit comet " * 1100)[:20_000]})]
        for name, path, body in cases:
            with Server(models[name], 1) as server:
                idle = summary(health_latencies(server.port, args.seconds))
                stop, results = multiprocessing.Event(), multiprocessing.Queue()
                client = multiprocessing.Process(target=loop, args=(server.port, path, body, stop, results))
                client.start()
                time.sleep(0.5)
                loaded = summary(health_latencies(server.port, args.seconds))
                stop.set()
                seen = results.get()
                client.join()
            statuses = sorted({s for s, _, _ in seen})
            largest = max((a / r for _, a, r in seen), default=0.0)
            print(f"{path} ({name}): /health idle p50 {1e3 * idle[0]:.2f} ms p99 {1e3 * idle[1]:.2f} ms; "
                  f"beside the loop p50 {1e3 * loaded[0]:.2f} ms p99 {1e3 * loaded[1]:.2f} ms: "
                  f"{loaded[1] / idle[1]:.1f}x the idle p99 (goal <= 3x); the loop made {len(seen)} requests, "
                  f"status {statuses}, answers at most {largest:.2f}x their request", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
