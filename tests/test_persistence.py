"""save_weights and load_weights through the Python surface: format, errors, shared mappings."""
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest

from ombrel import OmbrelField


def record(data, i):
    """(id, synapse_count, targets, weights, lock) of record i of a weight file."""
    fields = struct.unpack_from("<II8I8hi4x", data, 64 * i)
    return fields[0], fields[1], list(fields[2:10]), list(fields[10:18]), fields[18]


def test_file_format(tmp_path):
    path = tmp_path / "w.bin"
    OmbrelField(0, 3).save_weights(str(path))
    assert path.read_bytes() == b""
    OmbrelField(2, 3).save_weights(str(path))
    data = path.read_bytes()
    assert len(data) == 128 and data[64] == 1 and data.count(0) == 127
    field = OmbrelField(1, 4)
    field.train_stream([0], 3, 5, 1)
    field.save_weights(str(path))
    expected = bytearray(64)
    expected[4], expected[8], expected[40] = 1, 3, 5
    assert path.read_bytes() == bytes(expected)
    field = OmbrelField(1, 300)
    field.train_stream([0], 7, -2, 0)
    field.train_stream([0], 258, 1, 0)
    field.save_weights(str(path))
    data = path.read_bytes()
    assert data[40:42] == b"\xfe\xff" and data[12:16] == b"\x02\x01\x00\x00"
    # An existing longer file is cut to the field's length.
    path.write_bytes(b"x" * 1000)
    OmbrelField(3, 1).save_weights(str(path))
    assert len(path.read_bytes()) == 192


def test_round_trip_and_shared_mapping(tmp_path):
    path = str(tmp_path / "w.bin")
    field = OmbrelField(50, 5)
    for i in range(200):
        field.train_stream([i % 50, (i * 7) % 50], i % 5, 9, 2)
    field.predict([1, 2, 3])
    potentials = field.get_potentials()
    field.save_weights(path)
    saved = pathlib.Path(path).read_bytes()

    a, b = OmbrelField(50, 5), OmbrelField(50, 5)
    a.predict([1])  # potentials survive a load
    before = a.get_potentials()
    a.load_weights(path)
    b.load_weights(path)
    assert a.get_potentials() == before
    for i in range(50):
        assert a.get_neuron_synapses(i) == field.get_neuron_synapses(i)
    a.reset_potentials(), field.reset_potentials()
    assert a.predict([4, 5, 6]) == field.predict([4, 5, 6])

    # Training through one mapping is seen by the other and lands in the file, unsaved.
    a.train_stream([10], 4, 1000, 0)
    trained = a.get_neuron_synapses(10)
    assert b.get_neuron_synapses(10) == trained and any(t == 4 for t, _ in trained)
    _, count, targets, weights, lock = record(pathlib.Path(path).read_bytes(), 10)
    assert list(zip(targets, weights))[:count] == trained and lock == 0
    assert pathlib.Path(path).read_bytes() != saved
    other = str(tmp_path / "copy.bin")
    b.save_weights(other)
    assert pathlib.Path(other).read_bytes() == pathlib.Path(path).read_bytes()
    # Loading again (the same file or another) replaces the mapping.
    a.load_weights(other)
    a.load_weights(path)
    assert a.get_neuron_synapses(10) == b.get_neuron_synapses(10)
    assert potentials  # the original field kept its own potentials all along


def test_longer_files_and_empty_files(tmp_path):
    path = tmp_path / "w.bin"
    field = OmbrelField(4, 2)
    field.train_stream([3], 1, 7, 0)
    field.save_weights(str(path))
    with open(path, "ab") as f:
        f.write(b"\xab" * 100)
    small = OmbrelField(4, 2)
    small.load_weights(str(path))
    assert small.get_neuron_synapses(3) == [(1, 7)]
    out = tmp_path / "out.bin"
    small.save_weights(str(out))
    assert out.read_bytes() == path.read_bytes()[:256]
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    zero = OmbrelField(0, 3)
    zero.load_weights(str(empty))
    assert zero.predict([0, 1]) == 0


def test_loaded_records_are_used_as_they_are(tmp_path, PanicException):
    path = tmp_path / "w.bin"
    data = bytearray(64 * 3)
    # Record 0: one synapse to motor 1, lock word 1 (saved while a step held it).
    struct.pack_into("<II8I8hi", data, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 50, 0, 0, 0, 0, 0, 0, 0, 1)
    # Record 1: a target beyond motor_count.
    struct.pack_into("<III", data, 64, 1, 1, 99)
    struct.pack_into("<h", data, 64 + 40, 30000)
    # Record 2: synapse_count 9.
    struct.pack_into("<II", data, 128, 2, 9)
    path.write_bytes(bytes(data))
    field = OmbrelField(3, 2)
    field.load_weights(str(path))
    assert field.predict([0, 1]) == 1
    field.train_stream([0], 0, 5, 5)  # held: skipped
    assert field.get_neuron_synapses(0) == [(1, 50)]
    assert field.get_neuron_synapses(1) == [(99, 30000)]
    for call in (lambda: field.predict([2]), lambda: field.train_stream([2], 0, 1, 1),
                 lambda: field.get_neuron_synapses(2), lambda: field.predict_batch([[2]])):
        with pytest.raises(PanicException, match="index out of bounds: the len is 8 but the index is 8"):
            call()
    field.train_stream([1], 1, 1, 1)  # other records stay trainable
    assert field.get_neuron_synapses(1) == [(99, 29999), (1, 1)]


def snapshot(field, sensory):
    return [field.get_neuron_synapses(i) for i in range(sensory)], field.get_potentials()


@pytest.mark.parametrize("make_path, exc", [
    (lambda d: str(d / "missing" / "w.bin"), FileNotFoundError),
    (lambda d: str(d), OSError),
    (lambda d: "/dev/full", OSError),
    (lambda d: str(d / "nul\0byte"), OSError),
])
def test_save_errors(tmp_path, make_path, exc):
    field = OmbrelField(8, 2)
    field.train_stream([1], 1, 3, 0)
    field.predict([1])
    before = snapshot(field, 8)
    with pytest.raises(exc) as info:
        field.save_weights(make_path(tmp_path))
    error = info.value
    assert error.errno is None and error.strerror is None and error.filename is None
    assert len(error.args) == 1 and isinstance(error.args[0], str)
    if exc is OSError:
        assert type(error) is OSError
    assert snapshot(field, 8) == before


def test_error_texts(tmp_path):
    field = OmbrelField(8, 2)
    with pytest.raises(FileNotFoundError) as info:
        field.save_weights(str(tmp_path / "missing" / "w.bin"))
    assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(OSError) as info:
        field.save_weights("/dev/full")
    assert str(info.value) == "No space left on device (os error 28)"
    with pytest.raises(OSError) as info:
        field.save_weights(str(tmp_path))
    assert str(info.value) == "Is a directory (os error 21)"
    with pytest.raises(OSError) as info:
        field.load_weights(str(tmp_path / "a\0b"))
    assert str(info.value) == "file name contained an unexpected NUL byte"
    assert not (tmp_path / "a").exists()


def test_permission_errors(tmp_path):
    field = OmbrelField(1, 1)
    # Root passes file-mode checks; sysfs refuses writes to everyone.
    read_only = "/sys/devices/system/cpu/online"
    if os.path.exists(read_only):
        with pytest.raises(PermissionError):
            field.load_weights(read_only)
        with pytest.raises(PermissionError):
            field.save_weights(read_only)
    if os.geteuid() != 0:
        path = tmp_path / "ro.bin"
        field.save_weights(str(path))
        path.chmod(0o444)
        with pytest.raises(PermissionError):
            field.load_weights(str(path))


@pytest.mark.parametrize("bad, exc", [
    (b"w.bin", TypeError), (5, TypeError), (pathlib.Path("w.bin"), TypeError), ("w\udcff.bin", UnicodeEncodeError),
])
def test_path_conversion(tmp_path, monkeypatch, bad, exc):
    field = OmbrelField(1, 1)
    monkeypatch.chdir(tmp_path)
    for method in (field.save_weights, field.load_weights):
        with pytest.raises(exc) as info:
            method(bad)
        if exc is TypeError:
            assert str(info.value) == (
                f"argument 'path': '{type(bad).__qualname__}' object cannot be converted to 'PyString'")
    assert os.listdir(tmp_path) == []


def test_load_failures_leave_the_field_unchanged(tmp_path):
    field = OmbrelField(4, 2)
    field.train_stream([2], 1, 6, 0)
    field.predict([2])
    before = snapshot(field, 4)
    short = tmp_path / "short.bin"
    short.write_bytes(bytes(100))
    with pytest.raises(OSError) as info:
        field.load_weights(str(short))
    assert str(info.value) == "weight file is too short: 100 bytes, but a field of 4 sensory neurons needs 256 bytes"
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    for path in (str(empty), str(tmp_path / "missing.bin"), str(tmp_path)):
        with pytest.raises(OSError):
            field.load_weights(path)
    assert snapshot(field, 4) == before


def test_saving_over_a_mapped_file_is_refused(tmp_path):
    path = tmp_path / "w.bin"
    field = OmbrelField(4, 2)
    field.train_stream([1], 1, 6, 0)
    field.save_weights(str(path))
    mapped = OmbrelField(4, 2)
    mapped.load_weights(str(path))
    original = path.read_bytes()
    for saver in (field, mapped):
        with pytest.raises(OSError) as info:
            saver.save_weights(str(path))
        assert type(info.value) is OSError
    assert path.read_bytes() == original
    assert mapped.get_neuron_synapses(1) == [(1, 6)]
    del mapped, saver  # the mapping goes with the field; saving is allowed again
    field.save_weights(str(path))


def test_two_processes_share_one_file(tmp_path):
    path = str(tmp_path / "w.bin")
    OmbrelField(16, 4).save_weights(path)
    field = OmbrelField(16, 4)
    field.load_weights(path)
    code = textwrap.dedent(f"""
        from ombrel import OmbrelField
        f = OmbrelField(16, 4)
        f.load_weights({path!r})
        f.train_stream([3, 4], 2, 77, 0)
        print(f.get_neuron_synapses(5))
    """)
    field.train_stream([5], 1, 9, 0)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[(1, 9)]"  # the child saw this process's training
    assert field.get_neuron_synapses(3) == [(2, 77)]  # and this process sees the child's
