"""Every public name of ombrel used the way its stub allows, with the types it promises.

test_typing.py checks this file with `mypy --strict` against the installed stub, and also runs it
against the installed module, so the stub accepts what the module accepts and the inferred result
types are the ones the module returns.
"""

from __future__ import annotations

import array
import os
import tempfile
from typing import SupportsIndex, assert_type

import numpy as np

import ombrel
from ombrel import OmbrelField


class TokenId:
    """A user type that converts to an int through __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def exercise(directory: str) -> None:
    stop_words = {"the", "of"}
    words = ombrel.tokenize("The barking of the dogs", stop_words, True, 3)
    assert_type(words, list[str])
    assert words == ["bark", "dogs"]
    assert ombrel.tokenize(text="Jumped", stop_words=frozenset(), apply_stemming=False,
                           min_length=np.uint64(1)) == ["jumped"]

    field = OmbrelField(16, np.int64(3))
    ids: list[int] = [1, 2, 3]
    field.train_stream(ids, 2, 10, 3)
    field.train_stream(sensory_tokens=(4, TokenId(5)), correct_motor_id=np.uint32(1),
                       amplify_delta=np.int16(8), suppress_delta=TokenId(1))
    field.train_batch([(ids, 2), (range(4, 6), 1)], 4, 1)
    field.train_batch(batch=[(np.array([7], dtype=np.uint32), TokenId(0))], amplify_delta=1,
                      suppress_delta=0)

    field.reset_potentials()
    winner = field.predict(ids)
    assert_type(winner, int)
    assert winner == 2
    potentials = field.get_potentials()
    assert_type(potentials, list[int])
    field.tick_decay(0.5)
    field.tick_decay(decay_factor=np.float32(0.5))
    field.tick_decay(TokenId(1))
    assert field.get_potentials() == [p // 4 for p in potentials]

    tokens: list[SupportsIndex] = [TokenId(1), np.int32(2), 3]
    answers = field.predict_batch([tokens, b"\x04\x05", range(4, 6), array.array("I", [7]),
                                   np.array([1, 2, 3])])
    assert_type(answers, list[int])
    assert answers == [2, 1, 1, 0, 2]

    synapses = field.get_neuron_synapses(TokenId(1))
    assert_type(synapses, list[tuple[int, int]])
    assert synapses == [(2, 14)]

    path = os.path.join(directory, "weights.bin")
    field.save_weights(path)
    mapped = OmbrelField(sensory_count=16, motor_count=3)
    mapped.load_weights(path=path)
    assert mapped.predict_batch(batch_tokens=[ids]) == [2]


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        exercise(directory)


if __name__ == "__main__":
    main()
