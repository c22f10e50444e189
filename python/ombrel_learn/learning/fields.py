"""Fields held in this process's memory, the engine's file errors, and checks of weight records.

The engine keeps a field's records in memory it allocates, or maps them from a weight file
(`load_weights`, shared with the file and with every process that maps it). A model compiled from a
float learner, unpickled or copied has its records as bytes: they go to a memory file of this
process (no disk, no TMPDIR), which the field maps. Such a field is private: a forked child gets a
copy of its own (a mapping of a memory file would otherwise be shared with the parent). Only a
model loaded from a folder shares its records between processes.
"""

from __future__ import annotations

import contextlib
import errno
import gc
import os
import re
import shutil
import sys
import tempfile
import threading
import warnings
import weakref
from typing import Any, Iterator

import numpy as np

import ombrel

from ..base.exceptions import ModelFolderError

_OS_ERROR_CODE = re.compile(r"(.*) \(os error (\d+)\)", re.S)


# -- errors of the engine's file operations ---------------------------------------------------------

def io_error(e: OSError, path: str) -> OSError:
    """The engine's file error with its code and file: the engine raises its OSError with one text
    ("... (os error N)"), so `errno` and `filename` are None there; callers here and the command line
    need both. Same class, code recovered from the text (EIO for the engine's own errors)."""
    if e.errno is not None and e.filename is not None:
        return e
    text = str(e)
    match = _OS_ERROR_CODE.fullmatch(text)
    code, reason = (int(match.group(2)), match.group(1)) if match else (errno.EIO, text)
    error = type(e)(code, reason, path)
    return error


@contextlib.contextmanager
def engine_file(path: str) -> Iterator[None]:
    """Runs an engine file operation on `path`; its OSError comes out with errno and filename."""
    try:
        yield
    except OSError as e:
        raise io_error(e, path) from e


# -- in-memory fields: private to this process --------------------------------------------------------

@contextlib.contextmanager
def _scratch() -> Iterator[tuple[int, str]]:
    """(fd, path) of a new empty file that only this process reaches: a memory file (no disk, no
    TMPDIR) or, on a system without one, a temporary file that is removed on exit. A mapping of it
    stays valid after it is closed."""
    try:
        fd = os.memfd_create("ombrel-learn-weights", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        fd = -1
    if fd >= 0:
        path = f"/proc/self/fd/{fd}"
        if not os.path.exists(path):  # no /proc: the engine cannot open the memory file by name
            os.close(fd)
            fd = -1
    if fd >= 0:
        try:
            yield fd, path
        finally:
            os.close(fd)
        return
    fd, path = tempfile.mkstemp(prefix="ombrel-learn-", suffix=".bin")
    try:
        yield fd, path
    finally:
        os.close(fd)
        try:
            os.remove(path)
        except OSError:
            pass


# In-memory fields are private to their process, also across fork. A forked child must get the
# model exactly as the parent had it at the fork, and must not depend on any call that was running
# on another parent thread then (such a call's borrow of the field is copied into the child, where
# its thread does not exist, so the child can never load new records into that field object). So:
# just before the fork the parent snapshots each owned in-memory field's records into a memory file
# of their own (`_before_fork`); in the child a NEW field maps that snapshot, which only the child
# holds, and replaces the old one in its owner (`_after_fork_in_child`): nothing is called on the
# old object. The parent drops the snapshots after the fork.
#
# An owner is an object with a `field` attribute (the fitted model) registered with `own`; it is
# held weakly. A field made by `memory_field` waits in `_unowned` until its owner registers; the
# field type takes no weak reference, so an unowned entry is dropped once this list holds its only
# reference (checked when one is added, at each garbage collection and at fork).
_unowned: list[tuple[ombrel.OmbrelField, int, int]] = []
_owners: "weakref.WeakKeyDictionary[Any, tuple[int, int]]" = weakref.WeakKeyDictionary()
_in_memory_lock = threading.RLock()
# (owner, field at the fork, snapshot: a memory file's descriptor, the records as bytes, or the
# error that prevented the snapshot), from just before a fork until just after it.
_snapshots: list[tuple[Any, ombrel.OmbrelField, Any]] = []


def _prune() -> None:
    # A field held by its entry here and nowhere else has 2 references in the comprehension: the
    # entry's and getrefcount's argument.
    with _in_memory_lock:
        _unowned[:] = [entry for entry in _unowned if sys.getrefcount(entry[0]) > 2]


def _on_gc(phase: str, info: dict[str, Any]) -> None:
    # Never waits: a collection may run in any thread, also while another one holds the lock.
    if phase == "stop" and _unowned and _in_memory_lock.acquire(blocking=False):
        try:
            _prune()
        finally:
            _in_memory_lock.release()


def own(owner: Any) -> None:
    """Registers `owner` (an object whose `field` attribute holds a field) as the holder of its
    field: when that field was made by `memory_field`, a forked child gives the owner a private copy
    of it, as the records were at the fork. Other fields (the engine's own memory, copied by fork
    anyway, or a weight file mapped shared) are left as they are."""
    with _in_memory_lock:
        for i, (field, sensory_count, motor_count) in enumerate(_unowned):
            if field is owner.field:
                del _unowned[i]
                _owners[owner] = (sensory_count, motor_count)
                return


def _snapshot(field: ombrel.OmbrelField) -> Any:
    """The field's records in a memory file of their own (its descriptor), or as bytes on a system
    without memory files. The saving call takes the field shared, as every other call but a load."""
    try:
        fd = os.memfd_create("ombrel-learn-fork", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        return field_bytes(field)
    path = f"/proc/self/fd/{fd}"
    try:
        if not os.path.exists(path):
            os.close(fd)
            return field_bytes(field)
        field.save_weights(path)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _before_fork() -> None:
    # The lock is held across the fork: no owner is registered half-way in either process.
    # (Released by `_after_fork_in_parent`, which runs also when this hook fails.)
    _in_memory_lock.acquire()
    for owner, _ in list(_owners.items()):
        field = owner.field
        try:
            snapshot: Any = _snapshot(field)
        except Exception as e:  # noqa: BLE001 - the child says so; the fork itself goes on
            snapshot = e
        _snapshots.append((owner, field, snapshot))


def _after_fork_in_parent() -> None:
    try:
        for _, _, snapshot in _snapshots:
            if isinstance(snapshot, int):
                os.close(snapshot)
        _snapshots.clear()
    finally:
        _in_memory_lock.release()


def _field_from(snapshot: Any, sensory_count: int, motor_count: int) -> ombrel.OmbrelField:
    if isinstance(snapshot, BaseException):
        raise snapshot
    if isinstance(snapshot, int):
        field = ombrel.OmbrelField(sensory_count, motor_count)
        field.load_weights(f"/proc/self/fd/{snapshot}")
        return field
    return _new_memory_field(snapshot, sensory_count, motor_count)


def _after_fork_in_child() -> None:
    """Each owned in-memory field is replaced in its owner by a new field mapping the parent's
    snapshot of it, which no other process holds: training in the child does not change the
    parent's model, nor the parent's training (also in the instants after the fork) the child's."""
    global _in_memory_lock
    _in_memory_lock = threading.RLock()  # the child's only thread: a holder at the fork is gone
    snapshots = list(_snapshots)
    _snapshots.clear()
    _unowned.clear()  # fields whose owner was being made by a thread that the child does not have
    for owner, field, snapshot in snapshots:
        try:
            counts = _owners.get(owner)
            if counts is None or owner.field is not field:
                raise RuntimeError("the model changed during the fork")
            owner.field = _field_from(snapshot, *counts)
        except Exception as e:  # noqa: BLE001 - one model's failure must not leave the others shared
            warnings.warn(f"an in-memory model could not be made private to this forked process ({e}): "
                          "its training is shared with the parent", RuntimeWarning)
        finally:
            if isinstance(snapshot, int):
                os.close(snapshot)  # the new field keeps its mapping


gc.callbacks.append(_on_gc)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                        after_in_child=_after_fork_in_child)


def _copy_into(fd: int, source: Any) -> None:
    """Writes `source` (bytes, or a readable binary file) to the empty file fd."""
    with open(fd, "wb", closefd=False) as out:
        if isinstance(source, (bytes, bytearray, memoryview)):
            out.write(source)
        else:
            shutil.copyfileobj(source, out, 1 << 20)


def _new_memory_field(source: Any, sensory_count: int, motor_count: int) -> ombrel.OmbrelField:
    field = ombrel.OmbrelField(sensory_count, motor_count)
    with _scratch() as (fd, path):
        _copy_into(fd, source)
        with engine_file(path):
            field.load_weights(path)
    return field


def memory_field(source: Any, sensory_count: int, motor_count: int) -> ombrel.OmbrelField:
    """A field of its own whose records are `source` (weight-file bytes, or a binary file open for
    reading at its start), held in memory: private to this process, and (once its owner registered
    with `own`) copied for a forked child as it was at the fork."""
    field = _new_memory_field(source, sensory_count, motor_count)
    with _in_memory_lock:
        _prune()
        _unowned.append((field, sensory_count, motor_count))
    return field


def field_bytes(field: ombrel.OmbrelField) -> bytes:
    """The field's records, as save_weights writes them, without a file on disk."""
    with _scratch() as (fd, path):
        with engine_file(path):
            field.save_weights(path)
        with open(fd, "rb", closefd=False) as f:
            f.seek(0)
            return f.read()


# -- weight records a field may be given --------------------------------------------------------------

# A sensory neuron's record in the field and in its weight file, and its synapse slots.
NEURON_BYTES = 64
SYNAPSES = 8
# Records checked per numpy step (bounds the temporary arrays).
CHECK_RECORDS = 1 << 18


def first_bad_record(records: Any, motor_count: int) -> tuple[int, str] | None:
    """(index, what is wrong) of the first of the weight-file bytes' records that the engine would
    fault on or misread: a synapse count above 8 (prediction raises), a target beyond the classes in
    a slot in use, or a record not numbered as its place (a shifted or overwritten file). None: all
    are sound."""
    # Returns rather than raises: no array may still view `records` (a mapping the caller closes)
    # once this returns, which a traceback holding these locals would break.
    n = len(records) // NEURON_BYTES
    words = np.frombuffer(records, dtype="<u4", count=n * (NEURON_BYTES // 4)).reshape(n, NEURON_BYTES // 4)
    slots = np.arange(SYNAPSES, dtype=np.uint32)
    for start in range(0, n, CHECK_RECORDS):
        part = words[start:start + CHECK_RECORDS]
        counts = part[:, 1]
        misnumbered = part[:, 0] != np.arange(start, start + len(part), dtype=np.uint32)
        if misnumbered.any():
            i = int(np.flatnonzero(misnumbered)[0])
            return start + i, f"is numbered {int(part[i, 0])}"
        if (counts > SYNAPSES).any():
            i = int(np.flatnonzero(counts > SYNAPSES)[0])
            return start + i, f"holds {int(counts[i])} synapses (at most {SYNAPSES})"
        beyond = (part[:, 2:2 + SYNAPSES] >= motor_count) & (slots < counts[:, None])
        if beyond.any():
            i = int(np.flatnonzero(beyond.any(axis=1))[0])
            target = int(part[i, 2:2 + SYNAPSES][beyond[i]][0])
            return start + i, f"has a synapse to class {target}, of {motor_count} classes"
    return None


def check_records(records: Any, motor_count: int, where: str) -> None:
    """ModelFolderError naming `where` for records `first_bad_record` refuses."""
    problem = first_bad_record(records, motor_count)
    if problem is not None:
        raise ModelFolderError(f"{where} is damaged: record {problem[0]} {problem[1]}")
