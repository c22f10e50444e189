import pytest

import ombrel


def panic_type():
    """The module's internal-fault exception type, found by provoking a fault."""
    try:
        ombrel.OmbrelField(2**57, 1)
    except BaseException as e:  # noqa: BLE001 - the type is what we are after
        return type(e)
    raise AssertionError("no fault raised")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


@pytest.fixture(scope="session")
def fuzz_target():
    """Imports a Python fuzz target of fuzz/ (a script beside the corpora, not in a package) as a
    module: its input reader and its judgement of one input."""
    import importlib
    import os
    import sys

    def load(name):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz"))
        try:
            return importlib.import_module(name)
        finally:
            sys.path.pop(0)
    return load
