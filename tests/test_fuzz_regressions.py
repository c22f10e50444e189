"""The Python-surface fuzz harness, replayed in the ordinary test run.

fuzz/surface_fuzzer.py judges every call: only the module's documented exceptions may come out, no reference
count of any argument may change, and no borrow may be left behind. Here it replays the seed corpus
and a fixed set of pseudo-random inputs, so that a regression on hostile arguments shows up without
a fuzzing run.
"""
import os
import random
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus", "surface")


@pytest.fixture(scope="module")
def harness(fuzz_target):
    return fuzz_target("surface_fuzzer")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # __index__ returning a bool, on purpose
def test_surface_corpus_replays_clean(harness):
    assert harness.replay([CORPUS]) == len(os.listdir(CORPUS))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_surface_random_inputs(harness):
    rng = random.Random(20261207)
    for _ in range(4000):
        harness.test_one_input(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 200))))
    outcomes = {outcome for _, outcome in harness._surface.outcomes}
    # The inputs reach the engine and every kind of refusal, not only the argument binding.
    assert {"ok", "TypeError", "OverflowError", "UserError", "OSError", "PanicException"} <= outcomes


def raises(error):
    def call(*args, **kwargs):
        raise error
    return call


def test_harness_judges_exceptions(harness):
    """The judge itself: an exception outside the documented kinds is a finding."""
    surface = harness.Surface()
    with pytest.raises(harness.Finding):
        surface.invoke("predict", raises(KeyError("not a documented error")), [], {})
    with pytest.raises(harness.Finding):
        surface.invoke("predict", raises(OSError("only saving and loading touch files")), [], {})
    with pytest.raises(harness.Finding):
        surface.invoke("predict", raises(surface.panic("a fault where none is expected")), [], {})
    assert surface.invoke("save_weights", raises(OSError("refused")), [], {}) == "OSError"
    assert surface.invoke("__new__", raises(surface.panic("capacity overflow")), [], {}) == "PanicException"
    assert surface.invoke("predict", raises(harness.UserError("own")), [], {}) == "UserError"


UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer needs more address space than the limit leaves")
def test_unlayoutable_field_allocates_nothing_first():
    """Found by the surface fuzzer: OmbrelField(2**57, 2**32) used to allocate and zero 16 GiB of
    potentials before refusing the record layout. With 1 GiB of address space it must still fail
    with the layout fault, not run out of memory."""
    code = (
        "import resource, ombrel\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        "try:\n"
        "    ombrel.OmbrelField(2**57, 2**32)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "PanicException Failed to create memory layout for ThreadBoundedNeuronField: LayoutError"
