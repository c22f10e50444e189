"""ombrel_learn in the life of a process: exiting while other threads are still inside native calls."""
import subprocess
import sys

EXIT_WHILE_BUSY = """
import random
import threading
from ombrel_learn import OmbrelClassifier

rng = random.Random(6)
words = [f"w{i}" for i in range(3_000)]
texts = [" ".join(rng.choices(words, k=12)) for _ in range(20_000)]
labels = [f"c{i % 5}" for i in range(len(texts))]
models = {learner: OmbrelClassifier(learner=learner).fit(texts[:4_000], labels[:4_000])
          for learner in ("naive_bayes", "sgd", "field")}
streaming = OmbrelClassifier(learner="field")
streaming.partial_fit(texts[:1_000], labels[:1_000], classes=sorted(set(labels)))

def loop(call, started):
    call()
    started.set()
    while True:
        call()

calls = [lambda m=m: m.predict(texts) for m in models.values()]
calls.append(lambda: streaming.partial_fit(texts[:5_000], labels[:5_000]))
running = []
for call in calls:
    started = threading.Event()
    threading.Thread(target=loop, args=(call, started), daemon=True).start()
    running.append(started)
for started in running:
    assert started.wait(120)
print("exiting", flush=True)
"""


def test_exit_while_daemon_threads_predict_and_train():
    # Daemon threads still inside native calls (the interpreter lock released: texts to ids, the float
    # learners, the field) when the main thread exits are ended by the interpreter as it finalizes.
    # The process must exit as if they were not there: status 0, and no abort from the C++ runtime.
    result = subprocess.run([sys.executable, "-c", EXIT_WHILE_BUSY], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert "terminate" not in result.stderr, result.stderr
    assert result.stdout == "exiting\n"
