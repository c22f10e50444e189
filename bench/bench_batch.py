"""End-to-end batch throughput from Python, against per-item calls, in one run.

    python bench/bench_batch.py

Prints tokens per second of predict_batch against calling reset_potentials + predict item by item,
of train_batch against train_stream item by item, the cost of a batch of one stream against one
predict call, and how much of predict_batch's time is argument conversion (lists vs numpy arrays).
Goals: predict_batch >= 5x the per-item loop; a batch of one <= 3x one predict call.
"""
import os

# numpy's BLAS threads are not used here, but they would otherwise start with numpy and compete
# with the worker pool for the processors.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import random  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import ombrel

SENSORY, MOTORS, STREAMS, TOKENS = 100_000, 16, 50_000, 20


def best_of_rounds(fns, rounds=7):
    """Best time of each function over `rounds` rounds that run every function once, in turn, so
    that a burst of load from elsewhere on the machine hits all of them alike."""
    times = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            times[name] = min(times[name], time.perf_counter() - start)
    return times


def main():
    rng = random.Random(2)
    # Zipf-like token ids, as words are.
    weights = [1.0 / (i + 1) for i in range(SENSORY)]
    ids = rng.choices(range(SENSORY), weights=weights, k=STREAMS * TOKENS)
    streams = [ids[i * TOKENS:(i + 1) * TOKENS] for i in range(STREAMS)]
    labels = [rng.randrange(MOTORS) for _ in range(STREAMS)]
    items = list(zip(streams, labels))
    arrays = [np.array(s, dtype=np.uint32) for s in streams]
    matrix = np.array(streams, dtype=np.uint32)

    field = ombrel.OmbrelField(SENSORY, MOTORS)
    field.train_batch(items, 7, 1)
    tokens = STREAMS * TOKENS

    def per_item_predict():
        reset, predict = field.reset_potentials, field.predict
        for s in streams:
            reset()
            predict(s)

    def per_item_train():
        train = field.train_stream
        for s, y in items:
            train(s, y, 7, 1)

    one = [streams[0]]
    n = 20_000

    def singles():
        predict = field.predict
        s = streams[0]
        for _ in range(n):
            predict(s)

    def batches_of_one():
        predict_batch = field.predict_batch
        for _ in range(n):
            predict_batch(one)

    t = best_of_rounds({
        "loop_p": per_item_predict,
        "batch_p": lambda: field.predict_batch(streams),
        "batch_np": lambda: field.predict_batch(arrays),
        "batch_matrix": lambda: field.predict_batch(matrix),
        "loop_t": per_item_train,
        "batch_t": lambda: field.train_batch(items, 7, 1),
        "single": singles,
        "batch_one": batches_of_one,
    })
    loop_p, batch_p, batch_np, loop_t, batch_t = (t[k] for k in ("loop_p", "batch_p", "batch_np",
                                                                 "loop_t", "batch_t"))
    single, batch_one = t["single"] / n, t["batch_one"] / n

    print(f"{STREAMS} streams x {TOKENS} tokens, {SENSORY} sensory / {MOTORS} motor neurons, "
          f"pool of {len(os.sched_getaffinity(0))} CPUs")
    print(f"{'how':44s} {'Mtokens/s':>10s}")
    for name, t in [("reset_potentials + predict per item", loop_p), ("predict_batch (lists)", batch_p),
                    ("predict_batch (list of numpy uint32 arrays)", batch_np),
                    ("predict_batch (one 2-D numpy uint32 array)", t["batch_matrix"]),
                    ("train_stream per item", loop_t),
                    ("train_batch (list of tuples)", batch_t)]:
        print(f"{name:44s} {tokens / t / 1e6:10.2f}")
    print()
    print(f"predict_batch / per-item predict:   {loop_p / batch_p:6.2f}x  (goal >= 5x)")
    print(f"train_batch / per-item train_stream: {loop_t / batch_t:6.2f}x")
    print(f"predict_batch of one / predict:      {batch_one / single:6.2f}   (goal <= 3; "
          f"{batch_one * 1e9:.0f} ns vs {single * 1e9:.0f} ns)")


if __name__ == "__main__":
    main()
