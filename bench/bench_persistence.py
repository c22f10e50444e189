"""Saving and loading weight files, against baselines measured in the same run.

    python bench/bench_persistence.py [directory]

Loading maps the file instead of reading it, so its cost should not grow with the file: the time to
load a 1 GiB weight file is compared with a 1 MiB one (goal: ratio below 2, both well under a
millisecond). Saving writes the records straight to the file: its MB/s is compared with writing the
same number of bytes from a Python bytes object (goal: at least 0.8x). A save of a field that maps its
weight file (1 GiB) is timed too, against the same plain write: a save only reads the field, so the
mapped file's pages are not dirtied and nothing is written back to it.
"""
import os
import sys
import tempfile
import time

import ombrel

MIB = 1 << 20


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.gettempdir()
    small_path = os.path.join(directory, "ombrel-bench-1mib.bin")
    big_path = os.path.join(directory, "ombrel-bench-1gib.bin")
    plain_path = os.path.join(directory, "ombrel-bench-plain.bin")
    small = ombrel.OmbrelField(MIB // 64, 16)
    big = ombrel.OmbrelField(1024 * MIB // 64, 16)
    try:
        small.save_weights(small_path)
        save_big = best(lambda: big.save_weights(big_path), 3)
        payload = bytes(1024 * MIB)

        def write_plain():
            with open(plain_path, "wb") as f:
                f.write(payload)

        write_big = best(write_plain, 3)
        del payload

        small_target = ombrel.OmbrelField(MIB // 64, 16)
        big_target = ombrel.OmbrelField(1024 * MIB // 64, 16)
        small_target.load_weights(small_path)
        big_target.load_weights(big_path)
        load_small = best(lambda: small_target.load_weights(small_path), 50)
        load_big = best(lambda: big_target.load_weights(big_path), 50)
        save_mapped = best(lambda: big_target.save_weights(plain_path), 3)
    finally:
        for p in (small_path, big_path, plain_path):
            if os.path.exists(p):
                os.remove(p)

    print(f"load 1 MiB weight file:   {load_small * 1e6:9.1f} us")
    print(f"load 1 GiB weight file:   {load_big * 1e6:9.1f} us")
    print(f"load ratio 1 GiB / 1 MiB: {load_big / load_small:9.2f}   (goal < 2)")
    print(f"save 1 GiB:               {1024 / save_big:9.0f} MB/s")
    print(f"write 1 GiB bytes object: {1024 / write_big:9.0f} MB/s")
    print(f"save / plain write:       {write_big / save_big:9.2f}   (goal >= 0.8)")
    print(f"save of a mapped field:   {1024 / save_mapped:9.0f} MB/s")
    print(f"mapped save / plain write:{write_big / save_mapped:9.2f}")


if __name__ == "__main__":
    main()
