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


# Tests that need a real dataset skip when it is absent (learn_support.find_dataset marks those
# skips with the dataset's name and how to make it available). A run without the datasets ends with
# one line that counts them and says how to bring them back, instead of leaving them among the other
# skips.
_missing_datasets = {}  # test id -> dataset name
_how_to_enable = []


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    yield
    error = call.excinfo.value if call.excinfo is not None else None
    name = getattr(error, "missing_dataset", None)
    if name is not None:
        _missing_datasets[item.nodeid] = name
        _how_to_enable[:] = [error.how_to_enable]


def pytest_unconfigure(config):
    """After pytest's own summary, so that the line is the run's last."""
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if not _missing_datasets or reporter is None:
        return
    names = ", ".join(sorted(set(_missing_datasets.values())))
    reporter.write_line(f"{len(_missing_datasets)} dataset tests skipped ({names} not found): to run them, "
                        f"{_how_to_enable[0]}", yellow=True)
