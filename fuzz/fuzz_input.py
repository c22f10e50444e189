"""What the Python fuzz targets share: the reader of the fuzzer's input and the error a finding raises."""


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
