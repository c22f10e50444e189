import os
import sys

import pytest

# The helpers are imported by name from the test files; the folder goes on the path first, so that
# the suite's own top-level conftest cannot shadow them.
sys.path.insert(0, os.path.dirname(__file__))

from learn_support import DATA, make_corpus, read_tsv  # noqa: E402,F401  (also imported by name from here)


@pytest.fixture(scope="session")
def corpus():
    train = make_corpus(20, 1)
    test = make_corpus(5, 2)
    return train[0], train[1], test[0], test[1]
