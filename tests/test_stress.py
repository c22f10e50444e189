"""Concurrency stress: many threads, and two processes, on shared fields and one mapped file.

Several Python threads mix every method on the same fields for a bounded time: one field with its
own records, one that maps a weight file for the whole run, and two more that map the same file
(and keep loading it, or snapshots, again while the others work on them). Afterwards every record must be well formed, every saved file must
have the field's length, and the only errors seen must be the borrow conflicts that loading causes
("Already borrowed", "Already mutably borrowed") and the refusal to save over a mapped file. A
watchdog dumps every thread's stack and ends the run if anything deadlocks.

OMBREL_STRESS_SECONDS sets the duration of each phase (default 2 seconds).
"""
import faulthandler
import os
import random
import struct
import subprocess
import sys
import threading
import time

import pytest

from ombrel import OmbrelField

SECONDS = float(os.environ.get("OMBREL_STRESS_SECONDS", "2"))
SENSORY = 40
MOTORS = 6
RECORD = struct.Struct("<II8I8hi4s")  # id, synapse_count, targets, weights, lock, padding
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture
def watchdog():
    faulthandler.dump_traceback_later(SECONDS * 4 + 120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def parse_records(data):
    return [RECORD.unpack_from(data, offset) for offset in range(0, len(data) - len(data) % 64, 64)]


def check_records(data, sensory, *, locks_free):
    """Every record of a weight file is one the engine could have written."""
    assert len(data) == sensory * 64
    for index, (rid, count, *rest) in enumerate(parse_records(data)):
        targets, weights, lock, padding = rest[:8], rest[8:16], rest[16], rest[17]
        assert rid == index
        assert count <= 8, f"record {index} counts {count} synapses"
        assert all(t <= MOTORS + 1 for t in targets[:count]), f"record {index}: targets {targets}"
        assert targets[count:] == [0] * (8 - count) and weights[count:] == [0] * (8 - count)
        assert padding == b"\0\0\0\0"
        # A save that overlaps a training step on a record may store its held lock word (1).
        assert lock == 0 if locks_free else lock in (0, 1), f"record {index}: lock word {lock}"


def check_synapses(pairs):
    assert len(pairs) <= 8
    for target, weight in pairs:
        assert 0 <= target <= MOTORS + 1 and -32768 <= weight <= 32767


def random_tokens(rng):
    return [rng.randrange(SENSORY + 3) for _ in range(rng.randrange(12))]


class Worker(threading.Thread):
    """Calls random methods until the deadline; collects counts and unexpected errors."""

    def __init__(self, index, fields, mapped, shared_path, snapshots, save_dir, deadline):
        super().__init__(name=f"stress-{index}")
        self.rng = random.Random(index)
        self.fields, self.mapped = fields, mapped
        self.shared_path, self.snapshots = shared_path, snapshots
        self.save_paths = [os.path.join(save_dir, f"save-{index}-{k}.bin") for k in range(2)]
        self.deadline = deadline
        self.counts = {}
        self.errors = []

    def op(self, name, field):
        rng = self.rng
        if name == "predict":
            assert 0 <= field.predict(random_tokens(rng)) < max(MOTORS, 1)
        elif name == "train_stream":
            field.train_stream(random_tokens(rng), rng.randrange(MOTORS + 2), rng.randrange(-5, 40),
                               rng.randrange(-3, 6))
        elif name == "predict_batch":
            batch = [random_tokens(rng) for _ in range(rng.randrange(8))]
            assert len(field.predict_batch(batch)) == len(batch)
        elif name == "train_batch":
            batch = [(random_tokens(rng), rng.randrange(MOTORS + 2)) for _ in range(rng.randrange(8))]
            field.train_batch(batch, rng.randrange(-5, 40), rng.randrange(-3, 6))
        elif name == "tick_decay":
            field.tick_decay(rng.choice([0.5, 0.9, 1.0, -1.0, 0.0]))
        elif name == "reset_potentials":
            field.reset_potentials()
        elif name == "get_potentials":
            assert len(field.get_potentials()) == MOTORS
        elif name == "get_neuron_synapses":
            check_synapses(field.get_neuron_synapses(rng.randrange(SENSORY + 1)))
        elif name == "save_weights":
            path = rng.choice(self.save_paths)
            field.save_weights(path)
            assert os.path.getsize(path) == SENSORY * 64  # only this thread writes this path
        elif name == "save_over_mapped":
            field.save_weights(self.shared_path)  # always mapped by the anchor field: refused
            raise AssertionError("saving over a mapped file was not refused")
        elif name == "load_weights":
            field.load_weights(rng.choice([self.shared_path, *self.snapshots]))

    NAMES = ["predict", "train_stream", "predict_batch", "train_batch", "tick_decay", "reset_potentials",
             "get_potentials", "get_neuron_synapses", "save_weights", "save_over_mapped", "load_weights"]
    WEIGHTS = [6, 6, 3, 3, 2, 2, 2, 4, 1, 1, 2]

    def run(self):
        while time.monotonic() < self.deadline:
            name = self.rng.choices(self.NAMES, self.WEIGHTS)[0]
            field = self.rng.choice(self.mapped if name == "load_weights" else self.fields)
            outcome = "ok"
            try:
                self.op(name, field)
            except RuntimeError as e:
                outcome = str(e)
                if outcome not in BORROW_ERRORS or field not in self.mapped:
                    self.errors.append(f"{name}: RuntimeError {e}")
            except OSError as e:
                outcome = "OSError"
                if name != "save_over_mapped":
                    self.errors.append(f"{name}: {e!r}")
            except BaseException as e:  # noqa: BLE001 - every other outcome is a failure
                self.errors.append(f"{name}: {type(e).__name__} {e}")
            self.counts[(name, outcome)] = self.counts.get((name, outcome), 0) + 1


def test_threads_share_fields_and_one_mapped_file(tmp_path, watchdog):
    owned = OmbrelField(SENSORY, MOTORS)
    owned.train_batch([([t, (t * 7) % SENSORY], t % MOTORS) for t in range(SENSORY)], 20, 2)
    shared_path = str(tmp_path / "shared.bin")
    snapshots = [str(tmp_path / f"snapshot-{k}.bin") for k in range(2)]
    for path in (shared_path, *snapshots):
        owned.save_weights(path)
    anchor = OmbrelField(SENSORY, MOTORS)  # maps the shared file throughout, so nobody rewrites it
    mapped = [OmbrelField(SENSORY, MOTORS), OmbrelField(SENSORY, MOTORS)]
    for field in (anchor, *mapped):
        field.load_weights(shared_path)

    deadline = time.monotonic() + SECONDS
    workers = [Worker(i, [owned, anchor, *mapped], mapped, shared_path, snapshots, str(tmp_path), deadline)
               for i in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()

    errors = [e for w in workers for e in w.errors]
    assert not errors, errors[:10]
    totals = {}
    for w in workers:
        for (name, outcome), n in w.counts.items():
            totals[name] = totals.get(name, 0) + n
            if outcome in BORROW_ERRORS:
                totals[outcome] = totals.get(outcome, 0) + n
    print("\nstress threads:", totals)
    assert all(totals.get(name, 0) > 0 for name in Worker.NAMES), totals

    # Well-formed records in memory (through introspection) and in every file written.
    for field in (owned, anchor, *mapped):
        for t in range(SENSORY):
            check_synapses(field.get_neuron_synapses(t))
        final = str(tmp_path / f"final-{id(field)}.bin")
        field.save_weights(final)
        with open(final, "rb") as f:
            check_records(f.read(), SENSORY, locks_free=field is owned)
    for name in os.listdir(tmp_path):
        with open(tmp_path / name, "rb") as f:
            check_records(f.read(), SENSORY, locks_free=False)

    # The fields still work: two that map one fresh file see each other's training, and batches
    # agree with single predictions.
    fresh = str(tmp_path / "fresh.bin")
    OmbrelField(SENSORY, MOTORS).save_weights(fresh)
    for field in mapped:
        field.load_weights(fresh)
    mapped[0].train_stream([3], 2, 7, 0)
    assert mapped[1].get_neuron_synapses(3) == [(2, 7)]
    for field in (owned, anchor):
        streams = [[1, 2, 3], [SENSORY - 1], []]
        expected = []
        for stream in streams:
            field.reset_potentials()
            expected.append(field.predict(stream))
        assert field.predict_batch(streams) == expected


CHILD = r"""
import os, random, sys, time
from ombrel import OmbrelField
path, seed, seconds, sensory, motors = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(seed)
field = OmbrelField(sensory, motors)
field.load_weights(path)
deadline = time.monotonic() + seconds
steps = 0
while time.monotonic() < deadline:
    tokens = [rng.randrange(2, sensory + 2) for _ in range(rng.randrange(10))]  # 0 and 1 are the marks
    kind = rng.randrange(4)
    if kind == 0:
        field.train_stream(tokens, rng.randrange(motors + 2), rng.randrange(-5, 40), rng.randrange(-3, 6))
    elif kind == 1:
        field.train_batch([(tokens, rng.randrange(motors + 2))] * rng.randrange(6), 9, 1)
    elif kind == 2:
        field.predict_batch([tokens, tokens[:3]])
    else:
        pairs = field.get_neuron_synapses(rng.randrange(sensory))
        assert len(pairs) <= 8, pairs
    steps += 1
# A mark on a record nobody else trains, which the parent must see through its own mapping.
field.train_stream([seed], motors + seed, 1000, 0)
assert (motors + seed, 1000) in field.get_neuron_synapses(seed)
print(steps)
"""


def test_two_processes_map_one_file(tmp_path, watchdog):
    field = OmbrelField(SENSORY, MOTORS)
    path = str(tmp_path / "shared.bin")
    field.save_weights(path)
    field.load_weights(path)
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    children = [subprocess.Popen([sys.executable, str(script), path, str(seed), str(SECONDS), str(SENSORY),
                                  str(MOTORS)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for seed in (0, 1)]
    # This process trains the same mapped records meanwhile.
    rng = random.Random(7)
    deadline = time.monotonic() + SECONDS
    while time.monotonic() < deadline:
        field.train_stream([rng.randrange(2, SENSORY) for _ in range(8)], rng.randrange(MOTORS + 2), 5, 1)
    for child in children:
        out, err = child.communicate(timeout=SECONDS * 4 + 120)
        assert child.returncode == 0, err
        steps = int(out)
        assert steps > 0
        print(f"\nstress process: {steps} calls on the mapped file")
    with open(path, "rb") as f:
        check_records(f.read(), SENSORY, locks_free=True)  # every training step gave its lock back
    for seed in (0, 1):
        assert field.get_neuron_synapses(seed) == [(MOTORS + seed, 1000)], \
            "training in another process shows through this process's mapping"
