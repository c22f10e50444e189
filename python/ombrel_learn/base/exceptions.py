"""Exceptions of ombrel_learn."""

from __future__ import annotations


class NotFittedError(ValueError, AttributeError):
    """The classifier was used before `fit` (scikit-learn's convention: a ValueError and an
    AttributeError). When scikit-learn is installed, the exception raised is also an instance of
    `sklearn.exceptions.NotFittedError`, so either class catches it."""


class ModelFolderError(ValueError):
    """A model folder is damaged: unknown format version, missing or inconsistent files, or weight
    records the engine cannot use (the message names the folder or the file). File errors are
    `OSError`s instead, with `errno` and `filename` set."""


class DataConversionWarning(UserWarning):
    """The labels were given in a shape that had to be converted (scikit-learn's warning of that
    name, for a column vector y)."""


class FitWarning(UserWarning):
    """A fit that succeeded but whose model cannot be what was wanted (it kept no token, so it
    answers every text alike): the message says why and what to change."""


def not_fitted(name: str) -> NotFittedError:
    """The not-fitted error for `name`, made an instance of scikit-learn's class when it is
    installed (imported only here, on the error path, to keep `import ombrel_learn` light)."""
    message = (f"This {name} instance is not fitted yet. Call 'fit' with appropriate arguments "
               "before using this estimator.")
    try:
        from sklearn.exceptions import NotFittedError as SklearnNotFitted
    except ImportError:
        return NotFittedError(message)
    global _BOTH
    if _BOTH is None:
        _BOTH = type("NotFittedError", (NotFittedError, SklearnNotFitted), {"__module__": __name__})
    return _BOTH(message)


_BOTH: type[NotFittedError] | None = None
