"""Fuzzes the Python surface of ombrel: every method and tokenize called with hostile objects.

The input bytes choose a call (the constructor, one of the ten methods, or tokenize), how its
arguments are passed (positionally, by keyword, too many, too few, unknown keywords) and the
arguments themselves: nested lists and tuples, bytes, bytearray, memoryview, array.array and numpy
arrays of every integer width and byte order, huge and negative ints, floats, lone surrogates, sets,
dicts, and objects whose __index__, __len__, __iter__, __float__ or __getitem__ raise or lie.

What may come out of a call:
  - a result, or one of TypeError, OverflowError, ValueError, UnicodeEncodeError, OSError (saving
    and loading only), or the error a user object raised itself (UserError below);
  - PanicException only where an internal fault is the documented outcome: the constructor with
    counts too large to lay out or allocate, and tokenize when iterating the stop words raises.
Anything else is a finding, and so are, after every call: a reference count of any generated object
that changed (a leaked or stolen reference; tokenize may hold on to the last frozenset of stop words
it was given, and only until it is given another), or a borrow left behind (the next exclusive
borrow fails). A crash or a sanitizer report ends the process.

Run it under atheris (coverage-guided, the module built with -fsanitize=fuzzer-no-link):
    python fuzz/surface_fuzzer.py [libFuzzer flags] [corpus dirs]
or without atheris, on pseudo-random inputs or on the files of a corpus:
    python fuzz/surface_fuzzer.py --random N [--seed S]
    python fuzz/surface_fuzzer.py --replay DIR...
"""
import array
import atexit
import collections
import gc
import operator
import os
import shutil
import sys
import tempfile
import weakref
import zlib

import numpy as np

import ombrel
from ombrel import OmbrelField

import fuzz_input  # beside this file
from fuzz_input import Bytes, Finding

# Counts up to these are cheap; the constructor never gets a count between them and the sizes that
# fail before any allocation (2**57 records, 2**61 potentials), which would only cost memory.
SMALL_SENSORY = 64
SMALL_MOTORS = 80


class UserError(Exception):
    """Raised by the generated objects' own methods; it must come through unchanged."""


# --- hostile objects -----------------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise UserError("__index__")


class WrongIndex:
    def __index__(self):
        return "not an int"


class RaisingFloat:
    def __float__(self):
        raise UserError("__float__")


class FloatLike:
    def __float__(self):
        return 0.5


class Seq:
    """A sequence by __getitem__/__len__ only, with controllable lies."""

    def __init__(self, items, length=None, raise_len=False, raise_at=None):
        self.items = items
        self.length = len(items) if length is None else length
        self.raise_len = raise_len
        self.raise_at = raise_at

    def __len__(self):
        if self.raise_len:
            raise UserError("__len__")
        return self.length

    def __getitem__(self, i):
        if self.raise_at is not None and i == self.raise_at:
            raise UserError("__getitem__")
        return self.items[i]


class LyingList(list):
    """A list whose __len__ lies or raises and whose __iter__ may raise or mutate it."""

    def __init__(self, items, mode):
        super().__init__(items)
        self.mode = mode

    def __len__(self):
        if self.mode == "len-raises":
            raise UserError("__len__")
        if self.mode == "len-huge":
            return sys.maxsize
        return super().__len__()

    def __iter__(self):
        if self.mode == "iter-raises":
            raise UserError("__iter__")
        if self.mode == "iter-clears":
            it = super().__iter__()
            first = next(it, None)
            self.clear()
            return iter([] if first is None else [first])
        return super().__iter__()


class Holder(list):
    """A list that its own element may clear (weakly referenced, so that no cycle keeps it)."""


class MutatingIndex:
    """An element whose conversion empties the list that holds it, dropping itself."""

    def __init__(self, owner):
        self.owner = weakref.ref(owner)

    def __index__(self):
        self.owner().clear()
        return 1


class RaisingSet(set):
    def __iter__(self):
        raise UserError("set __iter__")


class IntSub(int):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


INTS = [0, 1, 2, 7, 63, 64, 65, 255, 256, -1, -2, 32767, 32768, -32768, -32769, 2**31 - 1, 2**31,
        -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, -2**64,
        2**200, -2**200, True, False]
FLOATS = [0.0, -0.0, 0.5, 1.0, -1.0, 1e39, -1e39, float("inf"), float("-inf"), float("nan"), 3.4e38,
          1e-45, 2.5]
STRINGS = ["", "a", "the", "Hello, World!", "ΟΔΟΣ ΑΣ.Β", "x\udcff", "\ud800", "nul\0byte", "Kelvin \u212a",
           "running studies nations", "İ", "ß" * 40, "💥" * 3]
DTYPES = ["u1", "i1", "<u2", ">u2", "<i2", "<u4", ">u4", "<i4", "<u8", ">i8", "<i8", "f8", "?", "<f4"]
ARRAY_CODES = "bBhHiIlLqQfd"


def small_int(b):
    return b.pick([0, 1, 2, 3, 5, 8, 16, 31, 63, 64, 65, 79, 80, 81])


def make_int(b):
    if b.flag():
        return small_int(b)
    return b.pick(INTS)


def make_str(b):
    if b.flag():
        return b.pick(STRINGS)
    return b.raw(24).decode("utf-8", "surrogateescape" if b.below(4) == 0 else "replace")


def make_tokens(b, made, depth):
    n = b.below(6)
    return [make_object(b, made, depth + 1) if b.below(4) == 0 else make_int(b) for _ in range(n)]


def make_array(b):
    dtype = np.dtype(b.pick(DTYPES))
    values = [make_int(b) % 300 for _ in range(b.below(6))]
    a = np.array(values, dtype=np.int64).astype(dtype)
    shape = b.below(5)
    if shape == 1 and a.size >= 2:
        a = a[::2]  # strided
    elif shape == 2 and a.size >= 2:
        a = a[::-1]  # negative stride
    elif shape == 3:
        a = np.zeros((2, 2), dtype=dtype)  # two dimensions
    elif shape == 4:
        a = np.array(make_int(b) % 300, dtype=np.int64).astype(dtype)  # zero dimensions
    if b.flag() and dtype.kind in "iu":
        a = a - np.array(make_int(b) % 5, dtype=dtype)  # may wrap to huge or negative values
    return a


def make_object(b, made, depth=0):
    kind = b.below(32 if depth < 3 else 14)
    if kind == 0:
        obj = make_int(b)
    elif kind == 1:
        obj = b.pick(FLOATS)
    elif kind == 2:
        obj = make_str(b)
    elif kind == 3:
        obj = b.raw(16)
    elif kind == 4:
        obj = bytearray(b.raw(16))
    elif kind == 5:
        obj = Index(make_int(b))
    elif kind == 6:
        obj = b.pick([RaisingIndex(), WrongIndex(), RaisingFloat(), FloatLike(), None, object(), ...])
    elif kind == 7:
        obj = IntSub(make_int(b))
    elif kind == 8:
        obj = StrSub(make_str(b))
    elif kind == 9:
        obj = b.pick([np.True_, np.False_, np.uint32(7), np.int64(-1), np.float32(0.5)])
    elif kind == 10:
        obj = make_array(b)
    elif kind == 11:
        code = b.pick(ARRAY_CODES)
        values = [make_int(b) % 100 for _ in range(b.below(6))]
        obj = array.array(code, values)
    elif kind == 12:
        obj = memoryview(b.raw(12))
        if b.flag() and len(obj) >= 4:
            obj = obj.cast(b.pick(["H", "I", "b", "h"])) if len(obj) % 4 == 0 else obj[::2]
    elif kind == 13:
        obj = range(b.below(10), b.below(40), 1 + b.below(3))
    elif kind in (14, 15, 16, 17):
        obj = make_tokens(b, made, depth)
    elif kind == 18:
        obj = tuple(make_tokens(b, made, depth))
    elif kind == 19:
        obj = [make_tokens(b, made, depth) for _ in range(b.below(4))]
    elif kind in (20, 21):
        # a train batch: mostly well-formed (tokens, id) pairs
        items = []
        for _ in range(b.below(4)):
            shape = b.below(8)
            if shape == 0:
                items.append(make_object(b, made, depth + 1))
            elif shape == 1:
                items.append(tuple(make_object(b, made, depth + 1) for _ in range(b.below(4))))
            elif shape == 2:
                items.append(TupleSub((make_tokens(b, made, depth), make_int(b))))
            elif shape == 3:
                items.append([make_tokens(b, made, depth), make_int(b)])
            else:
                items.append((make_tokens(b, made, depth), make_int(b)))
        obj = items if b.flag() else tuple(items)
    elif kind == 22:
        obj = Seq(make_tokens(b, made, depth), length=b.pick([None, 0, 100, sys.maxsize]),
                  raise_len=b.flag(), raise_at=b.pick([None, 0, 1, 2]))
    elif kind == 23:
        mode = b.pick(["len-raises", "len-huge", "iter-raises", "iter-clears", "plain"])
        # A list that clears itself drops its elements: fresh ints only, none of them in `made`
        # (the ints of INTS may be arguments of the same call).
        if mode == "iter-clears":
            items = [int(str(int(make_int(b)))) for _ in range(b.below(6))]
        else:
            items = make_tokens(b, made, depth)
        obj = LyingList(items, mode)
    elif kind == 24:
        holder = Holder([1, 2])
        holder.append(MutatingIndex(holder))
        holder.extend([3, 4])
        obj = holder
    elif kind == 25:
        words = {make_str(b) for _ in range(b.below(4))}
        obj = b.pick([set, frozenset, RaisingSet])(words)
    elif kind == 26:
        obj = {make_str(b), make_int(b)}
    elif kind == 27:
        obj = {make_int(b): make_int(b)}
    elif kind == 28:
        obj = [make_array(b) for _ in range(b.below(3))]
    elif kind == 29:
        obj = iter(make_tokens(b, made, depth))
    elif kind == 30:
        obj = [[make_int(b)] * b.below(3)] * b.below(3)
    else:
        obj = (make_tokens(b, made, depth), b.pick([make_int(b), Index(make_int(b)), RaisingIndex()]))
    made.append(obj)
    return obj


# --- calls ---------------------------------------------------------------------------------------

METHODS = {
    "predict": ["sensory_tokens"],
    "predict_batch": ["batch_tokens"],
    "tick_decay": ["decay_factor"],
    "train_stream": ["sensory_tokens", "correct_motor_id", "amplify_delta", "suppress_delta"],
    "train_batch": ["batch", "amplify_delta", "suppress_delta"],
    "reset_potentials": [],
    "get_potentials": [],
    "get_neuron_synapses": ["token_id"],
    "save_weights": ["path"],
    "load_weights": ["path"],
}
CONVERSION_ERRORS = (TypeError, OverflowError, ValueError, UnicodeEncodeError, UserError)


class Surface:
    """The state shared by the calls of one process: a work directory and a few fields."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ombrel-surface-")
        atexit.register(shutil.rmtree, self.dir, ignore_errors=True)
        self.fields = [OmbrelField(s, m) for s, m in ((0, 0), (4, 3), (16, 8), (SMALL_SENSORY, SMALL_MOTORS))]
        self.missing = os.path.join(self.dir, "missing", "x.bin")
        self.panic = None
        try:
            OmbrelField(2**57, 1)
        except BaseException as e:  # noqa: BLE001 - finding the module's fault type
            self.panic = type(e)
        for i, field in enumerate(self.fields):
            field.save_weights(os.path.join(self.dir, f"f{i}.bin"))
        self.calls = 0
        self.outcomes = collections.Counter()

    def make_path(self, b, made):
        if b.below(3) > 0:
            return make_object(b, made)  # mostly refused, a str is mapped below
        choice = b.below(8)
        names = ["f0.bin", "f1.bin", "f2.bin", "f3.bin", "new.bin", "sub", ""]
        if choice < 6:
            return os.path.join(self.dir, b.pick(names))
        return b.pick([self.missing, self.dir, os.path.join(self.dir, "nul\0.bin"),
                       os.path.join(self.dir, "bad\udcff.bin")])

    def make_argument(self, b, made, param):
        """Mostly an argument of the parameter's own kind (so that calls reach the engine), else
        anything at all."""
        if param == "path":
            return self.make_path(b, made)
        if b.below(4) == 0:
            return make_object(b, made)
        if param == "sensory_tokens":
            return b.pick([list, tuple])(make_tokens(b, made, 1)) if b.flag() else make_array(b)
        if param == "batch_tokens":
            return [make_tokens(b, made, 1) if b.flag() else make_array(b) for _ in range(b.below(5))]
        if param == "batch":
            return [(make_tokens(b, made, 1), make_int(b)) for _ in range(b.below(5))]
        if param == "decay_factor":
            return b.pick(FLOATS)
        return make_int(b)

    def safe_path(self, obj):
        """Keeps saves and loads inside the work directory whatever str the fuzzer made."""
        if isinstance(obj, str) and not obj.startswith(self.dir):
            # crc32, not hash(): the same input must pick the same file in every process.
            return os.path.join(self.dir, f"any-{zlib.crc32(obj.encode('utf-8', 'surrogatepass')) % 7}")
        return obj

    def constructor_count(self, b, made, limit, too_big):
        choice = b.below(6)
        if choice == 0:
            obj = make_object(b, made) if b.flag() else b.pick([-1, -2**70, 2**64, 2**200])
            # A count between the small ones and the sizes refused outright would allocate (and
            # zero) up to terabytes before anything else is checked: keep such counts small.
            try:
                value = operator.index(obj)  # ints, numpy integers, objects with __index__
            except Exception:  # noqa: BLE001 - not a count at all: the constructor refuses it
                return obj
            return value % (limit + 1) if limit < value < too_big else obj
        if choice == 1:
            return too_big + b.below(4) if b.flag() else IntSub(too_big)
        if choice == 2:
            return Index(b.below(limit + 1))
        return b.below(limit + 1)

    def one_call(self, data):
        b = Bytes(data)
        made = []
        target = b.below(len(METHODS) + 2)
        if target == len(METHODS):
            name, params = "__new__", ["sensory_count", "motor_count"]
            func = OmbrelField
            values = [self.constructor_count(b, made, SMALL_SENSORY, 2**57),
                      self.constructor_count(b, made, SMALL_MOTORS, 2**61)]
        elif target == len(METHODS) + 1:
            name, params = "tokenize", ["text", "stop_words", "apply_stemming", "min_length"]
            func = ombrel.tokenize
            values = [make_str(b) if b.below(4) else make_object(b, made),
                      make_object(b, made) if b.below(4) == 0 else b.pick([set, frozenset, RaisingSet])(
                          {make_str(b) for _ in range(b.below(4))}),
                      b.pick([True, False, np.True_, np.False_, 1, None]) if b.below(4) else make_object(b, made),
                      small_int(b) if b.below(4) else make_object(b, made)]
        else:
            name = list(METHODS)[target]
            params = METHODS[name]
            field = b.pick(self.fields)
            func = getattr(field, name)
            values = [self.make_argument(b, made, p) for p in params]
            values = [self.safe_path(v) for v in values]
        made.extend(values)

        # How the arguments are passed.
        style = b.below(12)  # 0 and 6 to 11: all positional
        args, kwargs = list(values), {}
        if style == 1:
            args, kwargs = [], dict(zip(params, values))
        elif style == 2 and params:
            split = b.below(len(params) + 1)
            args, kwargs = values[:split], dict(zip(params[split:], values[split:]))
        elif style == 3:
            args = values + [make_object(b, made)]
        elif style == 4 and values:
            args = values[:-1]
        elif style == 5:
            kwargs = {b.pick(params + ["bogus"]): make_object(b, made)} if params else {"x": 1}
            args = values

        gc.disable()
        try:
            before = [sys.getrefcount(o) for o in made]
            outcome = self.invoke(name, func, args, kwargs)
            if name == "tokenize":
                # tokenize keeps its table of the last frozenset of stop words, and a reference to
                # that frozenset, until another one comes: pass another, so that nothing of this
                # call may stay referenced.
                ombrel.tokenize("", frozenset({"x"}), False, 0)
            after = [sys.getrefcount(o) for o in made]
        finally:
            gc.enable()
        if before != after:
            changed = [(type(o).__name__, x, y) for o, x, y in zip(made, before, after) if x != y]
            raise Finding(f"{name}: reference counts changed {changed} ({outcome})")
        self.check_borrow_free()
        self.calls += 1
        self.outcomes[(name, outcome)] += 1

    def invoke(self, name, func, args, kwargs):
        try:
            func(*args, **kwargs)
            return "ok"
        except CONVERSION_ERRORS as e:
            return type(e).__name__
        except OSError as e:
            if name not in ("save_weights", "load_weights"):
                raise Finding(f"{name} raised {e!r}") from e
            return "OSError"
        except BaseException as e:  # noqa: BLE001 - everything else is judged here
            if self.panic is not None and type(e) is self.panic and name in ("__new__", "tokenize"):
                return "PanicException"
            raise Finding(f"{name}({args!r}, {kwargs!r}) raised {type(e).__name__}: {e}") from e

    def check_borrow_free(self):
        for field in self.fields:
            try:
                field.load_weights(self.missing)  # takes the exclusive borrow first
            except FileNotFoundError:
                pass
            except RuntimeError as e:
                raise Finding(f"a borrow was left behind: {e}") from e


_surface = None


def test_one_input(data):
    global _surface
    if _surface is None:
        _surface = Surface()
    _surface.one_call(data)


def replay(paths):
    return fuzz_input.replay(paths, test_one_input)


def run_random(count, seed):
    fuzz_input.run_random(count, seed, 160, test_one_input)


def summary(seed, verbose):
    print(f"surface: {_surface.calls} calls on random inputs (seed {seed}), no finding")
    if verbose:
        for (name, outcome), n in sorted(_surface.outcomes.items()):
            print(f"  {name:20} {outcome:18} {n}")


def main(argv):
    fuzz_input.command_line(argv, "surface", test_one_input, 160, summary)


if __name__ == "__main__":
    main(sys.argv)
