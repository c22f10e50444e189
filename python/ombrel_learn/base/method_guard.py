"""The guard around OmbrelClassifier's public methods: an engine fault leaves them as an ordinary
exception, and the methods that change the fitted state (fit, partial_fit, autotune, ...) of one
instance take turns."""

from __future__ import annotations

import functools
import os
import threading
import weakref
from typing import Any, Callable, TypeVar


def engine_error(fault: BaseException) -> Exception:
    """The exception an engine fault becomes at ombrel_learn's surface: MemoryError for a failed
    allocation, RuntimeError otherwise (the engine's own fault type derives from BaseException, which
    `except Exception` handlers, servers and thread pools do not expect)."""
    message = str(fault.args[0]) if fault.args else str(fault)
    if "allocate" in message or "capacity overflow" in message or "memory layout" in message:
        return MemoryError(f"the ombrel engine could not allocate memory: {message}")
    return RuntimeError(f"internal fault in the ombrel engine: {message}")


# One lock per classifier serializes its fits (fit, partial_fit, autotune, ...): the last one to
# finish leaves its model. Kept beside the instance rather than in it, so that pickling, clone and
# deepcopy see only the estimator's own state.
_FIT_LOCKS: "weakref.WeakKeyDictionary[Any, threading.RLock]" = weakref.WeakKeyDictionary()
_FIT_LOCKS_GUARD = threading.Lock()

_Method = TypeVar("_Method", bound=Callable[..., Any])


def fit_lock(estimator: Any) -> threading.RLock:
    """The instance's fit lock (reentrant: autotune calls fit)."""
    with _FIT_LOCKS_GUARD:
        lock = _FIT_LOCKS.get(estimator)
        if lock is None:
            lock = _FIT_LOCKS[estimator] = threading.RLock()
        return lock


def _new_fit_locks_after_fork() -> None:
    # In a forked child: a fit that held a lock at the fork ran in a thread the child does not have,
    # so its lock would never be released there (the child's next fit would wait forever).
    global _FIT_LOCKS_GUARD
    _FIT_LOCKS_GUARD = threading.Lock()
    for estimator in list(_FIT_LOCKS.keys()):
        _FIT_LOCKS[estimator] = threading.RLock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_new_fit_locks_after_fork)


def guarded(serialized: bool = False) -> Callable[[_Method], _Method]:
    """Wraps a public method: an engine fault leaves it as a normal exception (`engine_error`),
    never as a BaseException; `serialized` methods change the fitted state and take the instance's
    fit lock (reentrant: autotune calls fit)."""
    def wrap(method: _Method) -> _Method:
        @functools.wraps(method)
        def call(self: Any, *args: Any, **kwargs: Any) -> Any:
            try:
                if serialized:
                    with fit_lock(self):
                        return method(self, *args, **kwargs)
                return method(self, *args, **kwargs)
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise
                raise engine_error(e) from e
        return call  # type: ignore[return-value]
    return wrap
