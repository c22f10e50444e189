"""What the Python fuzz targets share: the reader of the fuzzer's input, the error a finding raises,
and the two ways to run a target without libFuzzer (replaying a corpus, random inputs)."""

import os
import random


class Finding(AssertionError):
    pass


class Bytes:
    """Reads choices from the fuzzer's input; past its end every choice is 0."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        """An int in range(n)."""
        if n <= 1:
            return 0
        value = self.byte() if n <= 256 else self.byte() | (self.byte() << 8)
        return value % n

    def pick(self, options):
        return options[self.below(len(options))]

    def flag(self):
        return self.byte() & 1 == 1

    def raw(self, limit):
        n = self.below(limit + 1)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return bytes(chunk)

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return bytes(chunk)


def replay(paths, one_input):
    """Runs one_input on every file of the given files and folders; returns how many."""
    count = 0
    for path in paths:
        files = [os.path.join(path, f) for f in sorted(os.listdir(path))] if os.path.isdir(path) else [path]
        for file in files:
            with open(file, "rb") as f:
                one_input(f.read())
            count += 1
    return count


def run_random(count, seed, longest, one_input):
    """Runs one_input on `count` random inputs of 1 to longest - 1 bytes."""
    rng = random.Random(seed)
    for _ in range(count):
        one_input(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, longest))))


def command_line(argv, name, one_input, longest, summary):
    """The targets' shared command line: `--random N [--seed S] [--verbose]`, `--replay PATH...`, or
    atheris's own flags. summary(seed, verbose) prints what a random run did."""
    if "--random" in argv:
        seed = int(argv[argv.index("--seed") + 1]) if "--seed" in argv else 0
        run_random(int(argv[argv.index("--random") + 1]), seed, longest, one_input)
        summary(seed, "--verbose" in argv)
        return
    if "--replay" in argv:
        n = replay(argv[argv.index("--replay") + 1:], one_input)
        print(f"{name}: {n} corpus inputs replayed, no finding")
        return
    import atheris
    atheris.Setup(argv, one_input)
    atheris.Fuzz()
