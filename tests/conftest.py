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
