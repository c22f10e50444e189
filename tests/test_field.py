"""Prediction, potentials, training, decay and introspection through the Python surface."""
import math
import threading

import pytest

from ombrel import OmbrelField


def test_fresh_field_predicts_zero():
    field = OmbrelField(10, 4)
    assert field.predict([]) == 0
    assert field.predict([1, 2, 3, 99]) == 0
    assert field.get_potentials() == [0, 0, 0, 0]
    empty = OmbrelField(5, 0)
    assert empty.predict([1, 2]) == 0
    assert empty.get_potentials() == []
    assert OmbrelField(0, 0).predict([0]) == 0


def test_prediction_accumulates_until_reset():
    field = OmbrelField(10, 6)
    field.train_stream([1], 5, 10, 0)
    field.train_stream([2], 2, 10, 0)
    assert field.predict([1, 2]) == 2  # tie between 2 and 5 goes low
    assert field.predict([1]) == 5
    assert field.get_potentials() == [0, 0, 10, 0, 0, 20]
    assert field.predict([10, 11, 2**32 - 1]) == 5  # out of range: potentials unchanged
    assert field.get_potentials() == [0, 0, 10, 0, 0, 20]
    field.reset_potentials()
    assert field.get_potentials() == [0] * 6


def test_negative_sums_and_wrapping():
    field = OmbrelField(4, 3)
    field.train_stream([0], 1, -100, 0)
    assert field.predict([0]) == 0  # motor 0 keeps 0, which beats -100
    field.reset_potentials()
    field.train_stream([1], 2, 32767, 0)
    for _ in range(65540):
        field.predict([1])
    value = (32767 * 65540) % 2**32
    assert field.get_potentials()[2] == value - 2**32  # wrapped to a negative number


def test_training_matches_the_documented_example():
    field = OmbrelField(3, 20)
    field.train_stream([0], 7, 100, 0)
    field.train_stream([0], 2, 50, 0)
    field.train_stream([0], 7, 10, 3)
    assert field.get_neuron_synapses(0) == [(7, 110), (2, 47)]
    field.train_stream([1], 2, 50, 0)
    field.train_stream([1], 7, 10, 3)
    assert field.get_neuron_synapses(1) == [(2, 47), (7, 10)]
    for k, w in enumerate([5, -4, 9, 4, 30, 30, 30, 30]):
        field.train_stream([2], 11 + k, w, 0)
    field.train_stream([2], 7, 10, 3)
    assert field.get_neuron_synapses(2) == [
        (11, 2), (7, 10), (13, 6), (14, 1), (15, 27), (16, 27), (17, 27), (18, 27)]


def test_training_edges():
    field = OmbrelField(8, 4)
    field.train_stream([], 1, 1, 1)
    field.train_stream([8], 1, 1, 1)  # equal to sensory_count: skipped
    assert all(field.get_neuron_synapses(i) == [] for i in range(8))
    field.train_stream([5], 2, 10, 3)
    assert field.get_neuron_synapses(5) == [(2, 10)]
    field.train_stream([5], 4, 10, 3)
    assert field.get_neuron_synapses(5) == [(2, 7), (4, 10)]
    field.train_stream([5, 5], 4, 1, 1)  # repeated token trains twice
    assert field.get_neuron_synapses(5) == [(2, 5), (4, 12)]
    field.train_stream([6], 2**32 - 1, 0, 0)  # any correct id, amplify 0 still appends
    assert field.get_neuron_synapses(6) == [(2**32 - 1, 0)]
    field.reset_potentials()
    assert field.predict([6]) == 0  # a target beyond motor_count is never counted
    assert field.get_neuron_synapses(8) == []
    assert field.get_neuron_synapses(2**32 - 1) == []
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            field.get_neuron_synapses(bad)
    with pytest.raises(OverflowError):
        field.train_stream([1], 0, 32768, 0)
    with pytest.raises(OverflowError):
        field.train_stream([1], 0, 0, -32769)
    assert field.get_neuron_synapses(1) == []


def test_saturation():
    field = OmbrelField(2, 3)
    field.train_stream([0], 1, 32760, 0)
    field.train_stream([0], 1, 10, 0)
    field.train_stream([0], 2, -32767, 0)
    field.train_stream([0], 1, 0, 3)
    assert field.get_neuron_synapses(0) == [(1, 32767), (2, -32768)]
    field.train_stream([0], 1, 0, -32768)
    assert field.get_neuron_synapses(0) == [(1, 32767), (2, 0)]


@pytest.mark.parametrize("value, factor, expected", [
    (1000, 0.5, 500), (-7, 0.5, -3), (3, 0.25, 0), (5, -1, -5), (16777217, 1, 16777216),
    (7, math.inf, 2147483647), (-7, math.inf, -2147483648), (7, math.nan, 0), (7, 0.0, 0),
    (7, -0.0, 0), (7, 1e39, 2147483647), (9, 1, 9),
])
def test_decay(value, factor, expected):
    field = OmbrelField(1, 2)
    # Build the potential from a weight that divides it, predicted the right number of times.
    weight = next(w for w in range(32767, 0, -1) if abs(value) % w == 0)
    field.train_stream([0], 0, weight if value > 0 else -weight, 0)
    for _ in range(abs(value) // weight):
        field.predict([0])
    assert field.get_potentials() == [value, 0]
    assert field.tick_decay(factor) is None
    assert field.get_potentials() == [expected, 0]


def test_decay_conversions():
    field = OmbrelField(1, 1)
    field.train_stream([0], 0, 8, 0)
    field.predict([0])

    class Half:
        def __float__(self):
            return 0.5

    field.tick_decay(Half())
    assert field.get_potentials() == [4]
    field.tick_decay(decay_factor=2)
    assert field.get_potentials() == [8]
    with pytest.raises(TypeError):
        field.tick_decay(None)
    assert field.get_potentials() == [8]
    OmbrelField(1, 0).tick_decay(0.5)


def test_extreme_potentials_decay():
    field = OmbrelField(1, 1)
    field.train_stream([0], 0, -32768, 0)
    for _ in range(65536):
        field.predict([0])
    assert field.get_potentials() == [-2147483648]
    field.tick_decay(1.0)
    assert field.get_potentials() == [-2147483648]
    field.tick_decay(-1.0)
    assert field.get_potentials() == [2147483647]


def test_threads_share_a_field():
    field = OmbrelField(64, 4)
    errors = []

    def train(seed):
        try:
            for i in range(300):
                field.train_stream([(seed * 7 + i) % 64, (i * 3) % 64], i % 4, 5, 1)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    def predict():
        try:
            for i in range(300):
                assert 0 <= field.predict([i % 64]) < 4
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=train, args=(s,)) for s in range(3)]
    threads += [threading.Thread(target=predict) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i in range(64):
        synapses = field.get_neuron_synapses(i)
        assert len(synapses) <= 8
        assert all(-32768 <= w <= 32767 for _, w in synapses)


def reference_train(records, tokens, correct, amplify, suppress):
    """The training step as the rules state it, on records {token: [[target, weight], ...]}."""
    def sat(v):
        return max(-32768, min(32767, v))

    for t in tokens:
        if t not in records:
            continue
        slots = records[t]
        found = next((k for k, (target, _) in enumerate(slots) if target == correct), None)
        if found is not None:
            slots[found][1] = sat(slots[found][1] + amplify)
        elif len(slots) < 8:
            slots.append([correct, amplify])
        else:
            weakest = min(range(8), key=lambda k: (abs(slots[k][1]), k))
            slots[weakest] = [correct, amplify]
        for slot in slots:
            if slot[0] != correct:
                slot[1] = sat(slot[1] - suppress)


def test_training_follows_the_rules_on_random_streams(tmp_path):
    import random
    import struct
    rng = random.Random(4)
    sensory, motors = 6, 12  # more motors than slots, so full records replace their weakest
    field = OmbrelField(sensory, motors)
    # Start from records a file may hold: a repeated target, and weights at both limits.
    data = bytearray(64 * sensory)
    for i in range(sensory):
        struct.pack_into("<I", data, 64 * i, i)
    struct.pack_into("<II3I", data, 64 * 1, 1, 3, 4, 4, 9)
    struct.pack_into("<3h", data, 64 * 1 + 40, 5, -7, 32767)
    struct.pack_into("<II8I8h", data, 64 * 2, 2, 8, *range(8), -32768, 32767, 0, 1, -1, 2, -2, 3)
    path = tmp_path / "start.bin"
    path.write_bytes(bytes(data))
    field.load_weights(str(path))
    model = {i: [list(s) for s in field.get_neuron_synapses(i)] for i in range(sensory)}
    assert model[1] == [[4, 5], [4, -7], [9, 32767]]
    for step in range(3000):
        tokens = [rng.randrange(sensory + 2) for _ in range(rng.randrange(6))]
        correct = rng.randrange(motors + 2)
        if step % 7 == 0:
            amplify, suppress = rng.randrange(-32768, 32768), rng.randrange(-32768, 32768)
        else:
            amplify, suppress = rng.randrange(-20, 200), rng.randrange(-3, 30)
        field.train_stream(tokens, correct, amplify, suppress)
        reference_train(model, tokens, correct, amplify, suppress)
        for t in set(tokens):
            if t < sensory:
                assert field.get_neuron_synapses(t) == [tuple(s) for s in model[t]], (step, t)
    assert all(field.get_neuron_synapses(i) == [tuple(s) for s in model[i]] for i in range(sensory))
    # A batch with one worker-free item at a time gives the same records as the model too.
    items = [([rng.randrange(sensory)], rng.randrange(motors)) for _ in range(200)]
    for tokens, correct in items:
        field.train_batch([(tokens, correct)], 9, 2)
        reference_train(model, tokens, correct, 9, 2)
    assert all(field.get_neuron_synapses(i) == [tuple(s) for s in model[i]] for i in range(sensory))
