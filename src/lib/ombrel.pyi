# Type stubs of the ombrel extension module.
#
# Installed as the stub-only package `ombrel-stubs` beside the module, where type checkers look for
# the types of a module that is a single compiled file (mypy does not read a lone .pyi next to an
# extension in site-packages).
#
# The names, parameters and docstrings are those of the module's declarations (field_methods.h for
# OmbrelField, tokenize_function.cpp for tokenize); tests/test_typing.py checks them against the built
# module word for word (docstrings) and with mypy's stubtest (names, parameters and their kinds).
#
# Integers are accepted through __index__ (typing.SupportsIndex), so numpy integers work as well as
# int. The token-list parameters take any sequence whose items have __index__ (list, tuple, range,
# bytes, array.array, a numpy array); a str is refused, and so is a set or a dict.
#
# Internal faults (a broken invariant, an impossible allocation) raise an exception named
# PanicException, derived from BaseException and not from Exception. It is not an attribute of the
# module, so it is not declared here; catch BaseException to handle it.
from collections.abc import Iterator
from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar, final, type_check_only

__all__ = ["OmbrelField", "tokenize"]

_T_co = TypeVar("_T_co", covariant=True)

# A sequence as the module reads it: indexable and iterable. collections.abc.Sequence would refuse
# numpy arrays, which the module accepts.
@type_check_only
class _SequenceOf(Protocol[_T_co]):
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

_TokenIds = _SequenceOf[SupportsIndex]

def tokenize(
    text: str,
    stop_words: set[str] | frozenset[str],
    apply_stemming: bool,
    min_length: SupportsIndex,
) -> list[str]:
    """Split text into lowercase word tokens.

    The text is lowercased (full Unicode mapping) and cut at every character that is neither a
    letter nor a number. Tokens shorter than min_length UTF-8 bytes and tokens in stop_words
    (compared exactly, after lowercasing, before stemming) are dropped. With apply_stemming, the
    first matching suffix rule of a small stemmer shortens each token of five bytes or more.
    apply_stemming must be a bool (a numpy.bool_ is also accepted at run time).
    """

@final
class OmbrelField:
    """OmbrelField
    The main Neuromorphic Cortex class exposed directly to Python runtimes."""

    def __new__(cls, sensory_count: SupportsIndex, motor_count: SupportsIndex) -> OmbrelField: ...
    def predict(self, sensory_tokens: _TokenIds) -> int:
        """Predict
        Evaluates the active sensory tokens synchronously on the calling thread,
        adding their weights directly to the motor potentials.
        This is extremely fast and perfect for batch evaluation."""

    def predict_batch(self, batch_tokens: _SequenceOf[_TokenIds]) -> list[int]:
        """Predict Batch
        Evaluates a batch of sensory token streams in parallel on the worker pool, each on private potentials, and returns one motor id per stream in input order."""

    def tick_decay(self, decay_factor: SupportsFloat | SupportsIndex) -> None:
        """Tick Decay
        Exposes your prototype's background metabolic forgetting clock straight to the Python loop."""

    def train_stream(
        self,
        sensory_tokens: _TokenIds,
        correct_motor_id: SupportsIndex,
        amplify_delta: SupportsIndex,
        suppress_delta: SupportsIndex,
    ) -> None:
        """Train Stream
        Trains active sensory tokens to target a specific correct motor neuron ID."""

    def train_batch(
        self,
        batch: _SequenceOf[tuple[_TokenIds, SupportsIndex]],
        amplify_delta: SupportsIndex,
        suppress_delta: SupportsIndex,
    ) -> None:
        """Train Batch
        Trains a batch of (sensory_tokens, correct_motor_id) in parallel on the worker pool, with the same amplify and suppress deltas for every item."""

    def reset_potentials(self) -> None:
        """Reset Potentials
        Resets all motor neuron potentials to zero."""

    def get_potentials(self) -> list[int]:
        """Get Potentials
        Returns the current potentials of all motor neurons."""

    def get_neuron_synapses(self, token_id: SupportsIndex) -> list[tuple[int, int]]:
        """Get Neuron Synapses
        Introspection method to read the explicit synaptic weights of a sensory neuron.
        Returns a list of (target_motor_id, weight) tuples."""

    def save_weights(self, path: str) -> None:
        """Save Weights
        Serializes and saves the sensory neurons' raw memory to a binary file."""

    def load_weights(self, path: str) -> None:
        """Load Weights
        Loads and memory-maps the sensory neurons' connections from a binary file for zero-copy access."""
