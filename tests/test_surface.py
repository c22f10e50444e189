"""The calling surface: module, type, docstrings, argument binding and conversion errors, borrows."""
import array
import gc
import sys
import threading

import numpy as np
import pytest

import ombrel
from ombrel import OmbrelField

METHODS = {
    "predict": ("($self, sensory_tokens)",
                "Predict\nEvaluates the active sensory tokens synchronously on the calling thread,\n"
                "adding their weights directly to the motor potentials.\n"
                "This is extremely fast and perfect for batch evaluation."),
    "tick_decay": ("($self, decay_factor)",
                   "Tick Decay\nExposes your prototype's background metabolic forgetting clock "
                   "straight to the Python loop."),
    "train_stream": ("($self, sensory_tokens, correct_motor_id, amplify_delta, suppress_delta)",
                     "Train Stream\nTrains active sensory tokens to target a specific correct motor neuron ID."),
    "reset_potentials": ("($self)", "Reset Potentials\nResets all motor neuron potentials to zero."),
    "get_potentials": ("($self)", "Get Potentials\nReturns the current potentials of all motor neurons."),
    "get_neuron_synapses": ("($self, token_id)",
                            "Get Neuron Synapses\nIntrospection method to read the explicit synaptic "
                            "weights of a sensory neuron.\nReturns a list of (target_motor_id, weight) tuples."),
    "save_weights": ("($self, path)",
                     "Save Weights\nSerializes and saves the sensory neurons' raw memory to a binary file."),
    "load_weights": ("($self, path)",
                     "Load Weights\nLoads and memory-maps the sensory neurons' connections from a binary "
                     "file for zero-copy access."),
}


def test_module_and_type_shape():
    assert ombrel.__all__ == ["OmbrelField", "tokenize"]
    assert ombrel.__doc__ == ""
    assert OmbrelField.__name__ == "OmbrelField"
    assert OmbrelField.__module__ == "ombrel"
    with pytest.raises(TypeError, match="'OmbrelField' has no len"):
        len(OmbrelField(1, 1))
    assert OmbrelField.__text_signature__ == "(sensory_count, motor_count)"
    assert OmbrelField.__doc__ == (
        "OmbrelField\nThe main Neuromorphic Cortex class exposed directly to Python runtimes.")
    assert ombrel.tokenize.__doc__ is None
    assert ombrel.tokenize.__text_signature__ == "(text, stop_words, apply_stemming, min_length)"
    assert ombrel.tokenize.__module__ == "ombrel"
    with pytest.raises(TypeError):
        type("Sub", (OmbrelField,), {})
    field = OmbrelField(1, 1)
    assert not hasattr(field, "__dict__")
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(field)
    assert not gc.is_tracked(field)
    with pytest.raises(AttributeError):
        field.anything = 1


def test_method_docs_and_signatures():
    for name, (sig, doc) in METHODS.items():
        method = getattr(OmbrelField, name)
        assert method.__text_signature__ == sig, name
        assert method.__doc__ == doc, name
    for name, opening in (("predict_batch", "Predict Batch\nEvaluates a batch of sensory token streams in parallel"),
                          ("train_batch", "Train Batch\nTrains a batch of (sensory_tokens, correct_motor_id) in parallel")):
        method = getattr(OmbrelField, name)
        assert method.__doc__.startswith(opening), name
        assert "\n" not in method.__doc__[len(opening):]


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("ombrel")
    try:
        import ombrel as again
        assert again.OmbrelField is first.OmbrelField
        assert again.tokenize is first.tokenize
    finally:
        sys.modules["ombrel"] = first


@pytest.mark.parametrize("call, message", [
    (lambda f: f.predict([1], [2]),
     "OmbrelField.predict() takes 1 positional arguments but 2 were given"),
    (lambda f: f.predict(),
     "OmbrelField.predict() missing 1 required positional argument: 'sensory_tokens'"),
    (lambda f: f.train_stream([1], 2),
     "OmbrelField.train_stream() missing 2 required positional arguments: 'amplify_delta' and 'suppress_delta'"),
    (lambda f: f.train_stream([1]),
     "OmbrelField.train_stream() missing 3 required positional arguments: "
     "'correct_motor_id', 'amplify_delta', and 'suppress_delta'"),
    (lambda f: f.predict([1], bogus=2),
     "OmbrelField.predict() got an unexpected keyword argument 'bogus'"),
    (lambda f: f.predict([1], sensory_tokens=[2]),
     "OmbrelField.predict() got multiple values for argument 'sensory_tokens'"),
    (lambda f: f.train_batch([], 1, 2, 3),
     "OmbrelField.train_batch() takes 3 positional arguments but 4 were given"),
    (lambda f: OmbrelField(1),
     "OmbrelField.__new__() missing 1 required positional argument: 'motor_count'"),
    (lambda f: OmbrelField(1, 2, 3),
     "OmbrelField.__new__() takes 2 positional arguments but 3 were given"),
    (lambda f: OmbrelField(1, 2, motor_count=3),
     "OmbrelField.__new__() got multiple values for argument 'motor_count'"),
    (lambda f: ombrel.tokenize("a", set(), False),
     "tokenize() missing 1 required positional argument: 'min_length'"),
])
def test_binding_errors(call, message):
    field = OmbrelField(4, 4)
    with pytest.raises(TypeError) as info:
        call(field)
    assert str(info.value) == message


def test_keywords_bind_like_positions():
    field = OmbrelField(sensory_count=8, motor_count=3)
    field.train_stream(suppress_delta=1, amplify_delta=5, correct_motor_id=2, sensory_tokens=[1])
    assert field.predict(sensory_tokens=[1, 2]) == 2
    with pytest.raises(TypeError):
        field.reset_potentials(1)
    with pytest.raises(TypeError):
        field.get_potentials(x=1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("boom")


class BadLen(list):
    def __len__(self):
        raise RuntimeError("no length")


def test_token_list_conversions():
    field = OmbrelField(300, 4)
    field.train_stream([97], 3, 5, 0)
    for tokens in ([97], (97,), b"a", bytearray(b"a"), range(97, 98), [Index(97)], array.array("i", [97]),
                   np.array([97], dtype=np.int64), np.array([97], dtype=np.uint8),
                   np.array([0, 97])[1:], memoryview(b"a"), BadLen([97]), [True, 97]):
        field.reset_potentials()
        assert field.predict(tokens) == 3, tokens
    for bad, exc, message in [
        ("abc", TypeError, "argument 'sensory_tokens': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'sensory_tokens': 'int' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'sensory_tokens': 'set' object cannot be converted to 'Sequence'"),
        ({1: 2}, TypeError, "argument 'sensory_tokens': 'dict' object cannot be converted to 'Sequence'"),
        ([2**32], OverflowError, "out of range integral type conversion attempted"),
        (np.array([2**32]), OverflowError, "out of range integral type conversion attempted"),
        ([1.5], TypeError, "argument 'sensory_tokens': 'float' object cannot be interpreted as an integer"),
        ([BadIndex()], ValueError, "boom"),
    ]:
        with pytest.raises(exc) as info:
            field.predict(bad)
        assert str(info.value) == message
    # Negative and huge values raise the interpreter's own OverflowError, the same on every path.
    messages = set()
    for bad in ([-1], np.array([-1]), array.array("q", [-1]), [Index(-1)]):
        with pytest.raises(OverflowError) as info:
            field.predict(bad)
        messages.add(str(info.value))
    assert len(messages) == 1
    with pytest.raises(OverflowError):
        field.predict([2**100])


def test_scalar_conversions():
    field = OmbrelField(4, 4)
    with pytest.raises(OverflowError) as info:
        field.train_stream([1], 0, 40000, 1)
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError) as info:
        field.train_stream([1], 0, 1, -32769)
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError) as info:
        field.train_stream([1], 0, 2**70, 1)
    assert str(info.value) != "out of range integral type conversion attempted"
    with pytest.raises(OverflowError) as info:
        field.train_stream([1], 2**32, 1, 1)
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(TypeError) as info:
        field.train_stream([1], 0, "x", 1)
    assert str(info.value).startswith("argument 'amplify_delta': ")
    with pytest.raises(TypeError) as info:
        field.tick_decay("x")
    assert str(info.value).startswith("argument 'decay_factor': ")
    with pytest.raises(OverflowError):
        OmbrelField(-1, 3)
    with pytest.raises(OverflowError):
        OmbrelField(2**64, 3)
    with pytest.raises(TypeError) as info:
        OmbrelField(1.0, 3)
    assert str(info.value) == "argument 'sensory_count': 'float' object cannot be interpreted as an integer"
    assert OmbrelField(Index(3), True).get_potentials() == [0]
    with pytest.raises(ValueError, match="boom"):
        OmbrelField(BadIndex(), 1)
    # Nothing was trained by the failed calls.
    assert all(field.get_neuron_synapses(i) == [] for i in range(4))


class TypeErrorSubclass(TypeError):
    pass


class RaisesSubclass:
    def __index__(self):
        raise TypeErrorSubclass("sub")


class RaisesWithCause:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


def test_argument_prefix_rule():
    field = OmbrelField(4, 4)
    with pytest.raises(TypeErrorSubclass) as info:
        field.predict([RaisesSubclass()])
    assert str(info.value) == "sub"  # subclasses pass unchanged
    with pytest.raises(TypeError) as info:
        field.get_neuron_synapses(RaisesWithCause())
    assert str(info.value) == "argument 'token_id': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_borrow_rules():
    field = OmbrelField(1000, 4)
    entered = threading.Event()
    release = threading.Event()

    class Slow:
        """An element whose conversion blocks while the shared borrow is held."""
        def __index__(self):
            entered.set()
            release.wait(10)
            return 1

    worker = threading.Thread(target=field.predict, args=([Slow()],))
    worker.start()
    assert entered.wait(10)
    with pytest.raises(RuntimeError) as info:
        field.load_weights("/nonexistent/file")
    assert str(info.value) == "Already borrowed"
    assert field.predict([1, 2]) == 0  # shared with shared is fine
    release.set()
    worker.join()

    class Path(str):
        pass

    # A subclass of str is accepted as a path; a missing file raises after the borrow is given back.
    with pytest.raises(FileNotFoundError):
        field.load_weights(Path("/nonexistent/file"))
    assert field.predict([1]) == 0


def test_calls_during_a_load_fail_at_once(tmp_path):
    field = OmbrelField(4096, 4)
    path = str(tmp_path / "w.bin")
    field.save_weights(path)
    errors = []
    stop = threading.Event()

    def loader():
        while not stop.is_set():
            try:
                field.load_weights(path)
            except RuntimeError as e:
                errors.append(str(e))

    thread = threading.Thread(target=loader)
    thread.start()
    seen = set()
    try:
        for _ in range(20000):
            try:
                field.predict([1, 2, 3])
            except RuntimeError as e:
                seen.add(str(e))
                if len(seen) and errors:
                    break
    finally:
        stop.set()
        thread.join()
    assert seen <= {"Already mutably borrowed"}
    assert set(errors) <= {"Already borrowed"}
    assert seen, "no call overlapped a load"


def test_wrong_receiver():
    with pytest.raises(TypeError):
        OmbrelField.predict(object(), [1])


def test_panic_exception_is_a_base_exception(PanicException):
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(PanicException) as info:
        OmbrelField(1, 2**62)
    assert info.value.args == ("capacity overflow",)
    with pytest.raises(PanicException) as info:
        OmbrelField(2**57, 1)
    assert info.value.args == ("Failed to create memory layout for ThreadBoundedNeuronField: LayoutError",)
    with pytest.raises(PanicException) as info:
        OmbrelField(2**57 - 1, 1)
    assert info.value.args == ("Failed to allocate memory for ThreadBoundedNeuronField",)
    assert type(info.value) is PanicException  # one type, created once


def test_only_the_init_function_is_exported():
    import shutil
    import subprocess
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", ombrel.__file__], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_ombrel"]
