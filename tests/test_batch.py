"""predict_batch and train_batch through the Python surface."""
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from ombrel import OmbrelField


def trained_field(seed=5, sensory=400, motors=7, items=2000):
    rng = random.Random(seed)
    field = OmbrelField(sensory, motors)
    for _ in range(items):
        field.train_stream([rng.randrange(sensory + 3) for _ in range(rng.randrange(12))],
                           rng.randrange(motors), rng.randrange(-5, 60), rng.randrange(0, 4))
    return field, rng


def test_predict_batch_equals_isolated_predictions():
    field, rng = trained_field()
    streams = [[rng.randrange(403) for _ in range(rng.randrange(20))] for _ in range(10_000)]
    field.reset_potentials()
    winners = field.predict_batch(streams)
    assert field.get_potentials() == [0] * 7
    expected = []
    for s in streams:
        field.reset_potentials()
        expected.append(field.predict(s))
    assert winners == expected
    # The same stream alone or among many, and in other sequence shapes.
    assert field.predict_batch([streams[17]]) == [winners[17]]
    assert field.predict_batch(tuple(tuple(s) for s in streams[:50])) == winners[:50]
    assert field.predict_batch([np.array(s, dtype=np.int32) for s in streams[:50]]) == winners[:50]


def test_batch_edge_cases():
    field = OmbrelField(4, 3)
    assert field.predict_batch([]) == []
    assert field.train_batch([], 1, 1) is None
    assert field.predict_batch([[]]) == [0]
    field.train_stream([1], 1, -5, 0)
    assert field.predict_batch([[1]]) == [0]  # motor 0's zero beats -5
    assert field.predict_batch(batch_tokens=[[1], [2]]) == [0, 0]
    field.train_batch(batch=[([2], 2)], amplify_delta=4, suppress_delta=1)
    assert field.get_neuron_synapses(2) == [(2, 4)]
    assert field.predict_batch([[]] * 100_000) == [0] * 100_000


@pytest.mark.parametrize("call, exc, message", [
    (lambda f: f.predict_batch("abc"), TypeError, "argument 'batch_tokens': Can't extract `str` to `Vec`"),
    (lambda f: f.predict_batch(["abc"]), TypeError, "argument 'batch_tokens': Can't extract `str` to `Vec`"),
    (lambda f: f.predict_batch(5), TypeError,
     "argument 'batch_tokens': 'int' object cannot be converted to 'Sequence'"),
    (lambda f: f.predict_batch([[1], 5]), TypeError,
     "argument 'batch_tokens': 'int' object cannot be converted to 'Sequence'"),
    (lambda f: f.predict_batch([[1], [2**32]]), OverflowError, "out of range integral type conversion attempted"),
    (lambda f: f.train_batch([([1, 2], 3, 4)], 1, 1), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda f: f.train_batch([()], 1, 1), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (lambda f: f.train_batch([[[1, 2], 3]], 1, 1), TypeError,
     "argument 'batch': 'list' object cannot be converted to 'PyTuple'"),
    (lambda f: f.train_batch("ab", 1, 1), TypeError, "argument 'batch': Can't extract `str` to `Vec`"),
    (lambda f: f.train_batch([("ab", 1)], 1, 1), TypeError, "argument 'batch': Can't extract `str` to `Vec`"),
    (lambda f: f.train_batch([([1], 2**32)], 1, 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda f: f.train_batch([([1], -1)], 1, 1), OverflowError, None),
    (lambda f: f.train_batch([([1], 2)], 1, 40000), OverflowError, "out of range integral type conversion attempted"),
    (lambda f: f.train_batch([([1], 2)], "a", 1), TypeError, None),
])
def test_batch_conversion_errors_train_nothing(call, exc, message):
    field = OmbrelField(4, 4)
    with pytest.raises(exc) as info:
        call(field)
    if message is not None:
        assert str(info.value) == message
    assert all(field.get_neuron_synapses(i) == [] for i in range(4))


class Mutator:
    """A token id whose conversion changes another stream of the batch, as Python code may."""

    def __init__(self, value, target):
        self.value, self.target = value, target

    def __index__(self):
        self.target[:] = [2, 2, 2]
        return self.value


def test_large_batches_convert_as_item_by_item():
    # Batches large enough to be read by the worker pool behave exactly like small ones.
    field, rng = trained_field(sensory=300, motors=6)
    streams = [[rng.randrange(303) for _ in range(10)] for _ in range(12_000)]
    expected = []
    for s in streams:
        field.reset_potentials()
        expected.append(field.predict(s))
    assert field.predict_batch(streams) == expected
    one = field.predict_batch([[2, 2, 2]])[0]

    # An item that runs Python code in the middle: what it changes further on is seen.
    changed = [list(s) for s in streams]
    changed[5000][5] = Mutator(changed[5000][5], changed[9000])
    winners = field.predict_batch(changed)
    assert changed[9000] == [2, 2, 2]
    assert winners[9000] == one
    assert winners[:9000] == expected[:9000] and winners[9001:] == expected[9001:]

    # Bad values far into a large batch, in both batch kinds; nothing is trained.
    for bad, exc, message in [(-1, OverflowError, "can't convert negative int to unsigned"),
                              (2**40, OverflowError, "out of range integral type conversion attempted"),
                              ("x", TypeError, "'str' object cannot be interpreted as an integer")]:
        broken = [list(s) for s in streams]
        broken[11_000][3] = bad
        prefix = (lambda name: f"argument '{name}': ") if exc is TypeError else (lambda name: "")
        with pytest.raises(exc) as info:
            field.predict_batch(broken)
        assert str(info.value) == prefix("batch_tokens") + message
        fresh = OmbrelField(300, 6)
        with pytest.raises(exc) as info:
            fresh.train_batch([(s, 1) for s in broken], 5, 1)
        assert str(info.value) == prefix("batch") + message
        with pytest.raises(exc):
            fresh.train_batch([(s, 1) for s in streams] + [([1], bad)], 5, 1)
        assert all(fresh.get_neuron_synapses(i) == [] for i in range(300))


def test_numpy_matrix_batch_is_its_rows():
    field, rng = trained_field(sensory=300, motors=6)
    matrix = np.array([[rng.randrange(303) for _ in range(12)] for _ in range(9000)], dtype=np.int64)
    rows = [list(map(int, row)) for row in matrix]
    expected = field.predict_batch(rows)
    assert field.predict_batch(matrix) == expected
    assert field.predict_batch(matrix.astype(np.uint16)) == expected
    assert field.predict_batch(np.asfortranarray(matrix)) == expected
    assert field.predict_batch(matrix[::2, 1::3]) == field.predict_batch([r[1::3] for r in rows[::2]])
    assert field.predict_batch(np.zeros((5, 0), dtype=np.int32)) == [0] * 5
    assert field.predict_batch(np.zeros((0, 3), dtype=np.int32)) == []
    # The errors of the rows' own conversion.
    for bad, message in [(-3, "can't convert negative int to unsigned"),
                         (2**33, "out of range integral type conversion attempted")]:
        broken = matrix.copy()
        broken[7000, 4] = bad
        with pytest.raises(OverflowError) as info:
            field.predict_batch(broken)
        assert str(info.value) == message
    floats = matrix[:3].astype(np.float64)
    with pytest.raises(TypeError) as from_matrix:
        field.predict_batch(floats)
    with pytest.raises(TypeError) as from_rows:
        field.predict_batch(list(floats))
    assert str(from_matrix.value) == str(from_rows.value)
    # A 2-D memoryview cannot be iterated, so it is refused as before.
    with pytest.raises(NotImplementedError):
        field.predict_batch(memoryview(matrix[:3]))


def run_python(code, **env):
    full_env = dict(os.environ, **env)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            env=full_env, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_one_worker_batch_training_equals_stream_training():
    out = run_python("""
        import random
        from ombrel import OmbrelField
        rng = random.Random(3)
        # Enough tokens that the batch is read by the worker pool.
        items = [([rng.randrange(60) for _ in range(rng.randrange(10))], rng.randrange(5)) for _ in range(30000)]
        a, b = OmbrelField(60, 5), OmbrelField(60, 5)
        a.train_batch(items, 7, 2)
        for tokens, correct in items:
            b.train_stream(tokens, correct, 7, 2)
        print(all(a.get_neuron_synapses(i) == b.get_neuron_synapses(i) for i in range(60)))
    """, RAYON_NUM_THREADS="1")
    assert out.strip() == "True"


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, len(os.sched_getaffinity(0))),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "2"}, 2),
    ({}, len(os.sched_getaffinity(0))),
])
def test_pool_is_created_by_the_first_batch_and_sized_once(env, expected):
    out = run_python("""
        import os, ombrel
        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()
        field = ombrel.OmbrelField(2, 2)
        field.predict(range(2)); field.train_stream([1], 1, 1, 1)
        assert threads() == before
        field.predict_batch([])
        after = threads()
        os.environ["RAYON_NUM_THREADS"] = "7"
        field.train_batch([([1], 1)] * 100, 1, 1)
        assert threads() == after
        print(after - before)
    """, **{k: v for k, v in env.items()},
        **({} if "RAYON_NUM_THREADS" in env else {"RAYON_NUM_THREADS": ""}),
        **({} if "RAYON_RS_NUM_CPUS" in env else {"RAYON_RS_NUM_CPUS": ""}))
    assert int(out) == expected


def test_fault_in_a_batch_item_is_a_panic(tmp_path, PanicException):
    field = OmbrelField(4, 4)
    for m in range(8):
        field.train_stream([1], m, 1, 0)
    path = tmp_path / "w.bin"
    field.save_weights(str(path))
    data = bytearray(path.read_bytes())
    data[64 + 4] = 9  # record 1: synapse_count 9
    path.write_bytes(bytes(data))
    broken = OmbrelField(4, 4)
    broken.load_weights(str(path))
    with pytest.raises(PanicException) as info:
        broken.predict_batch([[0], [1], [2]] * 100)
    assert info.value.args == ("index out of bounds: the len is 8 but the index is 8",)
    with pytest.raises(PanicException):
        broken.train_batch([([2], 1), ([1], 1)] * 100, 1, 1)
    # Each part stops at its first broken item; the items before it, in every part, were trained.
    [(target, weight)] = broken.get_neuron_synapses(2)
    assert target == 1 and weight >= 1
    assert broken.predict_batch([[0], [2]]) == [0, 1]  # the field and the pool still work
