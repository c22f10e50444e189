"""Repeated calls with good and bad arguments leave memory and reference counts flat."""
import gc
import os
import sys

import numpy as np
import pytest

import ombrel
from ombrel import OmbrelField


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class BadIndex:
    def __index__(self):
        raise ValueError("bad")


class BadLen(list):
    def __len__(self):
        raise RuntimeError("no len")


def exercise(field, path):
    """One round of every method, each with good and bad arguments."""
    tokens = [1, 2, 3, 4, 5, 6, 7, 8]
    calls = [
        lambda: field.predict(tokens),
        lambda: field.predict(np.arange(8, dtype=np.uint32)),
        lambda: field.predict(BadLen(tokens)),
        lambda: field.predict("abc"),
        lambda: field.predict([2**40]),
        lambda: field.predict([BadIndex()]),
        lambda: field.predict(5),
        lambda: field.predict(x=1),
        lambda: field.train_stream(tokens, 3, 5, 1),
        lambda: field.train_stream(tokens, 3, 50000, 1),
        lambda: field.train_stream(tokens, -1, 5, 1),
        lambda: field.train_batch([(tokens, 1), (tokens, 2)], 5, 1),
        lambda: field.train_batch([(tokens, 1, 2)], 5, 1),
        lambda: field.train_batch([[tokens, 1]], 5, 1),
        lambda: field.predict_batch([tokens, tokens[:3], []]),
        lambda: field.predict_batch(["abc"]),
        lambda: field.tick_decay(0.5),
        lambda: field.tick_decay("x"),
        lambda: field.get_potentials(),
        lambda: field.reset_potentials(),
        lambda: field.get_neuron_synapses(3),
        lambda: field.get_neuron_synapses(-3),
        lambda: field.save_weights(path),
        lambda: field.save_weights("/nonexistent/dir/x"),
        lambda: field.save_weights(b"bytes"),
        lambda: field.save_weights("bad\udcffpath"),
        lambda: field.load_weights("/nonexistent/dir/x"),
        lambda: field.load_weights("nul\0byte"),
        lambda: OmbrelField(3, 2),
        lambda: OmbrelField(-1, 2),
        lambda: OmbrelField(2**57, 2),
        lambda: ombrel.tokenize("Hello, wonderful World!", {"the"}, True, 2),
        lambda: ombrel.tokenize("x", ["the"], True, 2),
        lambda: ombrel.tokenize("x\udcff", set(), True, 2),
    ]
    for call in calls:
        try:
            call()
        except BaseException:  # noqa: BLE001 - every kind of failure is exercised on purpose
            pass


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="under AddressSanitizer the resident size measures its quarantine of freed blocks")
def test_memory_stays_flat(tmp_path):
    field = OmbrelField(1000, 8)
    path = str(tmp_path / "w.bin")
    for _ in range(300):  # warm up caches, the pool and the allocator
        exercise(field, path)
    gc.collect()
    before = rss_kib()
    for _ in range(3000):
        exercise(field, path)
    gc.collect()
    grown = rss_kib() - before
    assert grown < 2048, f"RSS grew by {grown} KiB over 3000 rounds"


def test_reference_counts_of_arguments():
    field = OmbrelField(100, 4)
    tokens = [1, 2, 3]
    batch = [(tokens, 1), (tokens, 2)]
    stop = {"the", "a"}
    text = "the quick brown fox"
    bad = [2**40]
    objects = [tokens, batch, stop, text, bad, field]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        field.predict(tokens)
        field.train_stream(tokens, 1, 2, 1)
        field.train_batch(batch, 1, 1)
        field.predict_batch([tokens])
        ombrel.tokenize(text, stop, True, 1)
        with pytest.raises(OverflowError):
            field.predict(bad)
        with pytest.raises(OverflowError):
            field.train_batch([(bad, 1)], 1, 1)
    assert [sys.getrefcount(o) for o in objects] == before


def test_open_descriptors_and_maps_stay_flat(tmp_path):
    field = OmbrelField(16, 2)
    good = str(tmp_path / "good.bin")
    field.save_weights(good)
    short = str(tmp_path / "short.bin")
    with open(short, "wb") as f:
        f.write(b"\0" * 64)

    def counts():
        # Descriptors, the mappings of this test's files, and all mappings. Under AddressSanitizer the
        # number of the allocator's own mappings drifts by itself, so there only ours are counted.
        with open("/proc/self/maps") as maps:
            lines = maps.readlines()
        ours = sum(1 for line in lines if str(tmp_path) in line)
        return len(os.listdir("/proc/self/fd")), ours, len(lines)

    for _ in range(50):
        field.load_weights(good)
    before = counts()
    for _ in range(2000):
        for call in (lambda: field.load_weights("/nonexistent/x"),
                     lambda: field.load_weights(short),
                     lambda: field.load_weights(str(tmp_path)),
                     lambda: field.save_weights(str(tmp_path)),
                     lambda: field.save_weights("/nonexistent/x"),
                     lambda: field.save_weights(good)):
            try:
                call()
            except OSError:
                pass
        field.load_weights(good)
    fds, ours, total = counts()
    assert (fds, ours) == before[:2]
    assert ours == 1  # the one mapping of good.bin
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert total == before[2]
