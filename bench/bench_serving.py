"""Load test of `ombrel serve`, with wrk, on a model trained on 20 Newsgroups.

    bench/load_test.sh [--seconds S]      (installs wrk when missing, then runs this)
    .venv/bin/python bench/bench_serving.py [--seconds S] [--json out.json]

Every figure comes from one run, and every goal is a ratio of two of them:
- requests/s and p50/p99 latency with 1 and 2 workers at 1, 4, 16 and 64 connections, each request
  one 20 Newsgroups test text to /predict (goal: 2 workers >= 1.7x one worker's best);
- the idle latency of one short text (one connection, nothing else running), and its p99 while
  other connections keep the service at about half of its 2-worker capacity (goal: within 3x the
  idle latency);
- memory per worker (RSS, PSS: /proc/PID/smaps_rollup), and, for two hashing models of 2^16 and
  2^21 buckets (4 MiB and 128 MiB of weights), what a second worker adds (goal: the same for both);
- failed requests (non-2xx and socket errors) while new models are saved into the served folder
  every second (hot swaps), and while every 5th request is feedback (live learning) (goal: 0).
The load generator runs on the same machine as the service and takes a share of its cores. The
service runs as a deployment that takes feedback does: writing endpoints enabled, every request
carrying the token (see serving_harness.py).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from serving_harness import (Server, get, mib, read_tsv, require_wrk, train, write_lines, wrk,  # noqa: E402
                             wrk_command, wrk_env, wrk_result)

from ombrel_learn import OmbrelClassifier  # noqa: E402

CONCURRENCY = (1, 4, 16, 64)
SHORT_TEXT = "The new graphics card renders 3D images faster than my old one"


def run_rate_limited(url, bodies, seconds, connections, delay_ms):
    """A background wrk (Popen) pacing each connection by delay_ms."""
    return subprocess.Popen(wrk_command(url, bodies, seconds, connections, delay_ms=delay_ms), stdout=subprocess.PIPE,
                            text=True, env=wrk_env(False))


def parse(process):
    return wrk_result(process.communicate()[0])


def row(label, r):
    line = (f"  {label:<22} {r['rps']:>7,.0f} req/s  p50 {r['p50_us'] / 1000:6.2f} ms  p99 "
            f"{r['p99_us'] / 1000:6.2f} ms  failed {r['failed']}")
    if "service_cores" in r:
        line += (f"  | cores: service {r['service_cores']:.2f}, wrk {r['wrk_cores']:.2f}, other jobs "
                 f"{r['other_cores']:.2f}; {r['service_us_per_request']:.0f} us of service CPU per request")
    return line


def memory_line(usage):
    return "; ".join(f"pid {pid}: RSS {mib(u['rss'])} MiB, PSS {mib(u['pss'])} MiB, private {mib(u['private'])} MiB "
                     f"(its weights mapping: RSS {mib(u['weights_rss'])}, PSS {mib(u['weights_pss'])})"
                     for pid, u in usage.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=8, help="length of each measured wrk run")
    parser.add_argument("--json", help="write every figure to this file")
    args = parser.parse_args()
    require_wrk()
    seconds = args.seconds
    report = {"load_average_before": os.getloadavg()}
    print(f"{os.cpu_count()} cores; load average before the run {os.getloadavg()[0]:.2f} (other jobs' share of "
          f"the cores shows in every figure)")

    train_x, train_y = read_tsv("20newsgroups", "train.tsv")
    test_x, test_y = read_tsv("20newsgroups", "test.tsv")
    work = tempfile.mkdtemp(prefix="ombrel-bench-serving-")
    folder = os.path.join(work, "model")
    start = time.perf_counter()
    served = train(train_x, train_y)
    other = train(train_x, train_y, epochs=2, random_state=1)
    served.save(folder)
    print(f"model: 20 Newsgroups, learner field, {served.n_features_:,} token neurons, trained in "
          f"{time.perf_counter() - start:.1f} s (two models, for the swaps); accuracy "
          f"{served.score(test_x, test_y):.4f}")
    bodies = write_lines(os.path.join(work, "texts.jsonl"), ({"text": t} for t in test_x))
    short = write_lines(os.path.join(work, "short.jsonl"), [{"text": SHORT_TEXT}])
    feedback = write_lines(os.path.join(work, "feedback.jsonl"),
                           ({"text": t, "label": y} for t, y in zip(train_x, train_y)))

    # -- throughput and latency, 1 and 2 workers --------------------------------------------------
    runs = {}
    for workers in (1, 2):
        with Server(folder, workers) as server:
            wrk(server.url, bodies, 2, 8)  # warm-up: first requests map pages and fill caches
            print(f"{workers} worker(s), one 20 Newsgroups test text per request:")
            for c in CONCURRENCY:
                r = wrk(server.url, bodies, seconds, c, workers=server.pids())
                runs[(workers, c)] = r
                print(row(f"{c} connection(s)", r))
            idle = wrk(server.url, short, seconds, 1, workers=server.pids())
            runs[(workers, "idle")] = idle
            print(row("short text, idle", idle))
            usage = server.usage()
            print(f"  memory: {memory_line(usage)}")
            report[f"memory_{workers}_workers"] = usage
    best = {w: max(runs[(w, c)]["rps"] for c in CONCURRENCY) for w in (1, 2)}
    ratio = best[2] / best[1]
    print(f"throughput: 2 workers {best[2]:,.0f} req/s against 1 worker {best[1]:,.0f}: {ratio:.2f}x "
          f"(goal 1.7x); per connection count: "
          + ", ".join(f"{c}: {runs[(2, c)]['rps'] / runs[(1, c)]['rps']:.2f}x" for c in CONCURRENCY))
    cost = {w: min(runs[(w, c)]["service_us_per_request"] for c in CONCURRENCY) for w in (1, 2)}
    used = max(runs[(2, c)]["service_cores"] for c in CONCURRENCY)
    print(f"  service CPU per request at best: {cost[1]:.0f} us with 1 worker, {cost[2]:.0f} us with 2: with a "
          f"core for each worker, 2 workers would serve {2 * cost[1] / cost[2]:.2f}x one worker (a projection, "
          f"not a measurement); here the 2 workers got at most {used:.2f} cores, wrk and other jobs the rest")
    report["projected_ratio"] = 2 * cost[1] / cost[2]
    report["throughput"] = {f"{w}_workers_{c}": runs[(w, c)] for w in (1, 2) for c in (*CONCURRENCY, "idle")}
    report["throughput_ratio"] = ratio

    # -- one short text under moderate load, and failures through swaps and learning ---------------
    with Server(folder, 2) as server:
        wrk(server.url, bodies, 2, 8)
        idle = wrk(server.url, short, seconds, 1)
        connections = 8
        rate = 0.5 * best[2]
        delay_ms = max(1, int(connections / rate * 1000))
        background = run_rate_limited(server.url, bodies, seconds + 2, connections, delay_ms)
        time.sleep(1)
        probe = wrk(server.url, short, seconds, 1)
        load = parse(background)
        p99_ratio = probe["p99_us"] / idle["p50_us"]
        print("2 workers, one short text on one connection:")
        print(row("idle", idle))
        print(row(f"beside {load['rps']:,.0f} req/s", probe))
        print(f"  (the other load: {connections} connections paced to about half of the 2-worker capacity, "
              f"{load['rps'] / best[2]:.0%} of it; failed {load['failed']})")
        print(f"  p99 under load / idle p50: {p99_ratio:.2f}x; / idle p99: {probe['p99_us'] / idle['p99_us']:.2f}x "
              f"(goal 3x)")
        report["latency"] = {"idle": idle, "probe": probe, "load": load, "p99_ratio": p99_ratio}

        # Hot swaps: a new model saved into the served folder every second while wrk runs.
        swap_seconds = max(10, 2 * seconds)
        saves = []

        def saver(stop):
            models = [other, served]
            while not stop.wait(1.0):
                models[len(saves) % 2].save(folder)
                saves.append(time.monotonic())

        stop = threading.Event()
        thread = threading.Thread(target=saver, args=(stop,))
        thread.start()
        swapped = wrk(server.url, bodies, swap_seconds, 16, count=True)
        stop.set()
        thread.join()
        identities = swapped["models"].split()
        print(f"hot swaps: {len(saves)} saves during {swap_seconds} s at 16 connections: "
              f"{swapped['requests']:,} requests, {len(identities)} models answered, failed {swapped['failed']} "
              f"(non-2xx {swapped['non_2xx']}, socket errors {swapped['socket_errors']})")
        report["hot_swap"] = dict(swapped, saves=len(saves))

        # How long after a save every worker answers with the new model (the poll is 0.1 s).
        delays = []
        for i in range(6):
            (other if i % 2 == 0 else served).save(folder)
            saved = time.monotonic()
            with open(os.path.join(folder, "model.json")) as f:
                identity = json.load(f)["weights"]
            seen = {}
            while set(seen) != set(server.pids()) or any(v != identity for v in seen.values()):
                health = get(server.port, "/health")
                seen[health["pid"]] = health["model"]
            delays.append(time.monotonic() - saved)
            time.sleep(0.3)
        print(f"  after a save, every worker answered with the new model within {max(delays) * 1000:.0f} ms "
              f"(median {sorted(delays)[len(delays) // 2] * 1000:.0f} ms, 6 saves)")
        report["swap_delays"] = delays

        # Live learning: every 5th request is feedback (a 20 Newsgroups training text and its label).
        before = OmbrelClassifier.load(folder).score(test_x, test_y)
        learned = wrk(server.url, bodies, seconds, 16, feedback, 5, count=True)
        after = OmbrelClassifier.load(folder).score(test_x, test_y)
        print(f"live learning: {learned['requests']:,} requests of which {learned['feedback']:,} feedback, "
              f"failed {learned['failed']}; the folder's accuracy {before:.4f} -> {after:.4f} "
              f"(read by a fresh load: the feedback is in the mapped file)")
        report["learning"] = dict(learned, accuracy_before=before, accuracy_after=after)

    # -- memory against model size ---------------------------------------------------------------
    print("memory with hashing models (the weights mapped once, shared by the workers):")
    sizes = {}
    for bits in (16, 21):
        small = os.path.join(work, f"hash{bits}")
        train(train_x, train_y, buckets=1 << bits, epochs=1).save(small)
        weights = sum(os.path.getsize(os.path.join(small, n)) for n in os.listdir(small) if n.startswith("weights-"))
        totals = {}
        for workers in (1, 2):
            with Server(small, workers) as server:
                wrk(server.url, bodies, 4, 16)  # every worker predicts thousands of texts
                if any(u["weights_rss"] == 0 for u in server.usage().values()):
                    wrk(server.url, bodies, 4, 64)  # the kernel gave one worker every connection: again
                usage = server.usage()
            totals[workers] = usage
            print(f"  2^{bits} buckets ({mib(weights)} MiB of weights), {workers} worker(s): {memory_line(usage)}")
        pss = {w: sum(u["pss"] for u in totals[w].values()) for w in (1, 2)}
        private = {w: sum(u["private"] for u in totals[w].values()) for w in (1, 2)}
        sizes[bits] = {"weights": weights, "pss_total": pss, "private_total": private,
                       "extra_worker_pss": pss[2] - pss[1], "usage": {w: totals[w] for w in (1, 2)}}
        weights_pss = {w: sum(u["weights_pss"] for u in totals[w].values()) for w in (1, 2)}
        sizes[bits]["weights_pss_total"] = weights_pss
        print(f"  2^{bits}: total PSS {mib(pss[1])} -> {mib(pss[2])} MiB: a second worker adds "
              f"{mib(pss[2] - pss[1])} MiB (private memory {mib(private[1])} -> {mib(private[2])} MiB; the "
              f"weights' PSS summed over the workers {mib(weights_pss[1])} -> {mib(weights_pss[2])} MiB)")
    extra = {b: sizes[b]["extra_worker_pss"] for b in sizes}
    print("  (the weights' PSS summed over the workers stays the size of the file; a worker's own memory is "
          "the interpreter, the libraries and the server, not the model)")
    print(f"  a second worker adds {mib(extra[21])} MiB with 128 MiB of weights and {mib(extra[16])} MiB with "
          f"4 MiB: ratio {extra[21] / extra[16]:.2f} (goal: about 1, independent of the model's size)")
    report["memory_by_size"] = sizes

    report["load_average_after"] = os.getloadavg()
    print(f"summary (load average over the last 5 minutes {os.getloadavg()[1]:.2f}):")
    print(f"  throughput 2 workers / 1 worker: {ratio:.2f}x (goal >= 1.7x)")
    print(f"  short text p99 under half load / idle p50: {p99_ratio:.2f}x (goal <= 3x)")
    print(f"  failed requests: {swapped['failed']} through {len(saves)} hot swaps, {learned['failed']} through "
          f"{learned['feedback']:,} feedback requests (goal 0)")
    print(f"  extra worker, 128 MiB model / 4 MiB model: {extra[21] / extra[16]:.2f} (goal about 1)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1, default=str)


if __name__ == "__main__":
    main()
