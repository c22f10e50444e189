"""Per-call costs of predict and train_stream against sum() over the same list, in one run.

    python bench/bench_calls.py

Prints nanoseconds per call and per token, and the ratios the project tracks:
  - predict(16 tokens) / sum(16 tokens)            goal <= 2
  - train_stream per token / predict per token     goal <= 2   (64-token streams)
  - train_stream([]) / predict([]) per-call cost   goal <= 1.2
The field has 100,000 sensory and 16 motor neurons, trained so that every token has synapses.
"""
import random
import timeit

import ombrel

SENSORY, MOTORS = 100_000, 16


def best_ns(stmt, number, repeat=7):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number * 1e9


def main():
    rng = random.Random(1)
    field = ombrel.OmbrelField(SENSORY, MOTORS)
    for _ in range(20_000):
        field.train_stream([rng.randrange(SENSORY) for _ in range(20)], rng.randrange(MOTORS), 7, 1)
    field.reset_potentials()

    t16 = [rng.randrange(SENSORY) for _ in range(16)]
    t64 = [rng.randrange(SENSORY) for _ in range(64)]
    empty = []
    predict, train = field.predict, field.train_stream

    n = 200_000
    sum16 = best_ns(lambda: sum(t16), n)
    predict16 = best_ns(lambda: predict(t16), n)
    sum64 = best_ns(lambda: sum(t64), n // 4)
    predict64 = best_ns(lambda: predict(t64), n // 4)
    train64 = best_ns(lambda: train(t64, 3, 1, 0), n // 4)
    predict0 = best_ns(lambda: predict(empty), n)
    train0 = best_ns(lambda: train(empty, 3, 1, 0), n)
    noop = best_ns(lambda: None, n)

    print(f"{'call':34s} {'ns/call':>9s} {'ns/token':>9s}")
    rows = [("sum(16 ints)", sum16, 16), ("predict(16 tokens)", predict16, 16),
            ("sum(64 ints)", sum64, 64), ("predict(64 tokens)", predict64, 64),
            ("train_stream(64 tokens)", train64, 64), ("predict([])", predict0, 0),
            ("train_stream([])", train0, 0), ("lambda: None (loop floor)", noop, 0)]
    for name, ns, tokens in rows:
        per = f"{ns / tokens:9.2f}" if tokens else f"{'':9s}"
        print(f"{name:34s} {ns:9.1f} {per}")
    print()
    print(f"predict(16) / sum(16):                    {predict16 / sum16:5.2f}  (goal <= 2)")
    print(f"predict(64) / sum(64) per token:          {predict64 / sum64:5.2f}")
    print(f"train_stream / predict per token (64):    {train64 / predict64:5.2f}  (goal <= 2)")
    print(f"train_stream([]) / predict([]) per call:  {train0 / predict0:5.2f}  (goal <= 1.2)")


if __name__ == "__main__":
    main()
