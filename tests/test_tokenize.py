import pathlib
import random
import re
import unicodedata

import numpy
import pytest

import ombrel
from ombrel import tokenize

KELVIN = "\u212a"

EDGE_CASES = [
    # text, stop words, stemming, min_length, expected
    ("Hello, World!", set(), False, 1, ["hello", "world"]),
    ("Hello, World!", set(), False, 0, ["hello", "", "world", ""]),
    ("", set(), False, 0, [""]),
    ("", set(), False, 1, []),
    ("", {""}, False, 0, []),
    ("don't", set(), False, 1, ["don", "t"]),
    ("snake_case", set(), False, 1, ["snake", "case"]),
    ("3.14", set(), False, 1, ["3", "14"]),
    ("R2D2", set(), False, 1, ["r2d2"]),
    ("Ünïcödé", set(), False, 1, ["ünïcödé"]),
    ("x²", set(), False, 1, ["x²"]),
    ("café", set(), False, 5, ["café"]),
    ("cafe", set(), False, 5, []),
    (KELVIN, set(), False, 2, []),
    ("nation", set(), True, 5, ["na"]),
    ("The THE the", {"the"}, False, 1, []),
    ("The THE the", {"The"}, False, 1, ["the", "the", "the"]),
    ("running", {"running"}, True, 1, []),
    ("running", {"run"}, True, 1, ["runn"]),
    ("ΟΔΟΣ", set(), False, 1, ["οδος"]),
    ("ΑΣ.Β", set(), False, 1, ["ασ", "β"]),
    ("ΑΣ Β", set(), False, 1, ["ας", "β"]),
    ("a a a", set(), False, 1, ["a", "a", "a"]),
]


@pytest.mark.parametrize("text,stop_words,stemming,min_length,expected", EDGE_CASES)
def test_edge_cases(text, stop_words, stemming, min_length, expected):
    assert tokenize(text, stop_words, stemming, min_length) == expected
    assert tokenize(text, frozenset(stop_words), stemming, min_length) == expected


STEMS = [
    ("nation", "na"), ("vision", "vi"), ("movement", "move"), ("happiness", "happi"),
    ("running", "runn"), ("thing", "thing"), ("things", "thing"), ("flies", "fly"),
    ("studies", "study"), ("quickly", "quick"), ("jumped", "jump"), ("speed", "spe"),
    ("boxes", "box"), ("classes", "class"), ("class", "class"), ("nations", "nation"),
    ("cats", "cats"),
]


@pytest.mark.parametrize("token,stem", STEMS)
def test_stemmer_examples(token, stem):
    assert tokenize(token, set(), True, 1) == [stem]
    assert tokenize(token.upper(), set(), False, 1) == [token]


def test_result_type_order_and_keywords():
    result = tokenize(min_length=1, apply_stemming=False, stop_words=set(), text="b a b")
    assert type(result) is list and all(type(t) is str for t in result)
    assert result == ["b", "a", "b"]
    assert tokenize.__text_signature__ == "(text, stop_words, apply_stemming, min_length)"


def test_accepted_argument_variants():
    class Text(str):
        pass

    class Words(set):
        pass

    class FrozenWords(frozenset):
        pass

    assert tokenize(Text("Ab cd"), Words({"cd"}), False, 1) == ["ab"]
    assert tokenize("Ab cd", FrozenWords({"ab"}), False, 1) == ["cd"]
    assert tokenize("jumped", set(), numpy.bool_(True), 1) == ["jump"]
    assert tokenize("jumped", set(), numpy.bool_(False), 1) == ["jumped"]
    assert tokenize("a bb", set(), False, True) == ["a", "bb"]
    assert tokenize("a bb", set(), False, numpy.int64(2)) == ["bb"]
    assert tokenize("a bb", set(), False, 2**64 - 1) == []


def message_of(excinfo):
    return str(excinfo.value)


@pytest.mark.parametrize("args,message", [
    ((1, set(), False, 1), "argument 'text': 'int' object cannot be converted to 'PyString'"),
    ((b"x", set(), False, 1), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    (("x", ["a"], False, 1), "argument 'stop_words': 'list' object cannot be converted to 'PySet'"),
    (("x", ("a",), False, 1), "argument 'stop_words': 'tuple' object cannot be converted to 'PySet'"),
    (("x", {1}, False, 1), "argument 'stop_words': 'int' object cannot be converted to 'PyString'"),
    (("x", set(), 1, 1), "argument 'apply_stemming': 'int' object cannot be converted to 'PyBool'"),
    (("x", set(), 0, 1), "argument 'apply_stemming': 'int' object cannot be converted to 'PyBool'"),
    (("x", set(), None, 1), "argument 'apply_stemming': 'NoneType' object cannot be converted to 'PyBool'"),
    # Conversions run in parameter order: the first failure wins.
    ((1, ["a"], 1, -1), "argument 'text': 'int' object cannot be converted to 'PyString'"),
    (("x", ["a"], 1, -1), "argument 'stop_words': 'list' object cannot be converted to 'PySet'"),
])
def test_type_errors(args, message):
    with pytest.raises(TypeError) as excinfo:
        tokenize(*args)
    assert type(excinfo.value) is TypeError
    assert message_of(excinfo) == message


def test_min_length_errors():
    with pytest.raises(TypeError, match=r"^argument 'min_length': "):
        tokenize("x", set(), False, 1.5)
    with pytest.raises(TypeError, match=r"^argument 'min_length': "):
        tokenize("x", set(), False, "1")
    with pytest.raises(OverflowError):
        tokenize("x", set(), False, -1)
    with pytest.raises(OverflowError):
        tokenize("x", set(), False, 2**64)


def test_lone_surrogates_raise_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        tokenize("a\ud800b", set(), False, 1)
    with pytest.raises(UnicodeEncodeError):
        tokenize("ab", {"\udc00"}, False, 1)


def test_failing_stop_word_iteration_propagates():
    class Exploding(set):
        def __iter__(self):
            raise ValueError("no iteration today")

    with pytest.raises(ValueError, match="no iteration today"):
        tokenize("a", Exploding({"a"}), False, 1)


def test_large_text():
    text = "Lorem IPSUM dolor, sit ΑΜΕΤ; " * 200_000
    tokens = tokenize(text, {"sit"}, True, 1)
    assert len(tokens) == 4 * 200_000
    assert tokens[-4:] == ["lorem", "ipsum", "dolor", "αμετ"]


# Differential test against str.lower(), which applies the same full mappings and the same
# Final_Sigma rule. Every character of a token must be a letter, a number or a mark or symbol
# that may be Alphabetic; every separator must be neither a letter nor a number.
TOKEN_CATEGORIES = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nd", "Nl", "No"}
MAYBE_ALPHABETIC = {"Mn", "Mc", "So"}  # categories of Other_Alphabetic


def tables_version():
    generated = pathlib.Path(__file__).parent.parent / "src" / "lib" / "text" / "unicode_tables.cpp"
    match = re.search(r"Unicode Character Database (\d+\.\d+\.\d+)", generated.read_text(encoding="utf-8"))
    return match.group(1)


def random_texts(count, length):
    assigned = [c for c in range(0x110000)
                if unicodedata.category(chr(c)) not in ("Cn", "Cs")]
    greek = [chr(c) for c in range(0x391, 0x3AA) if unicodedata.category(chr(c)) != "Cn"]
    ignorable = ["'", ".", ":", "\u0301", "\u0345", "\u00b7", "\u02b0", "\u00ad"]
    other = [" ", "-", "_", "a", "Z", "1", "\u0130", KELVIN, "ß"]
    rng = random.Random(2024)
    for _ in range(count):
        chars = []
        for _ in range(length):
            r = rng.random()
            if r < 0.4:
                chars.append(chr(rng.choice(assigned)))
            elif r < 0.7:
                chars.append("Σ" if rng.random() < 0.3 else rng.choice(greek))
            elif r < 0.85:
                chars.append(rng.choice(ignorable))
            else:
                chars.append(rng.choice(other))
        yield "".join(chars)


def test_matches_str_lower_on_random_mixed_scripts():
    if unicodedata.unidata_version != tables_version():
        pytest.skip(f"Python's Unicode {unicodedata.unidata_version} differs from the tables' {tables_version()}")
    for text in random_texts(400, 120):
        lowered = text.lower()
        tokens = tokenize(text, set(), False, 0)
        pos = 0
        for i, token in enumerate(tokens):
            assert lowered.startswith(token, pos), (text, lowered, tokens, i)
            for ch in token:
                assert unicodedata.category(ch) in TOKEN_CATEGORIES | MAYBE_ALPHABETIC, (text, token, ch)
            pos += len(token)
            if i + 1 < len(tokens):
                assert pos < len(lowered), (text, tokens)
                assert unicodedata.category(lowered[pos]) not in TOKEN_CATEGORIES, (text, lowered[pos])
                pos += 1
        assert pos == len(lowered), (text, lowered, tokens)


def test_module_exports_tokenize():
    assert "tokenize" in ombrel.__all__


def test_repeated_frozensets_give_the_same_answers_as_fresh_sets():
    """The table built from a frozenset is reused while the same object is passed again."""
    text = "the cat and the dog, a bird"
    first = frozenset({"the", "a"})
    for _ in range(3):
        assert ombrel.tokenize(text, first, False, 1) == ["cat", "and", "dog", "bird"]
    second = frozenset({"cat", "dog"})
    assert ombrel.tokenize(text, second, False, 1) == ["the", "and", "the", "a", "bird"]
    assert ombrel.tokenize(text, first, False, 1) == ["cat", "and", "dog", "bird"]
    # An equal set that is not the cached object, and a mutable set, give the same answers.
    assert ombrel.tokenize(text, set(first), False, 1) == ["cat", "and", "dog", "bird"]
    assert ombrel.tokenize(text, frozenset({"the", "a"}), False, 1) == ["cat", "and", "dog", "bird"]
    # A frozenset that fails to convert fails every time, and does not replace the cached table.
    bad = frozenset({"the", 3})
    for _ in range(2):
        with pytest.raises(TypeError, match="argument 'stop_words'"):
            ombrel.tokenize(text, bad, False, 1)
    assert ombrel.tokenize(text, first, False, 1) == ["cat", "and", "dog", "bird"]
    # The cached frozenset is kept alive: dropping the caller's last reference changes nothing.
    key = frozenset({"bird"})
    assert ombrel.tokenize(text, key, False, 1)[-1] == "a"
    del key
    assert ombrel.tokenize(text, frozenset({"dog"}), False, 1) == ["the", "cat", "and", "the", "a", "bird"]


class _Reentrant:
    """An argument whose conversion calls tokenize with other stop words."""

    def __init__(self, value, inner_stop_words):
        self.value = value
        self.inner_stop_words = inner_stop_words
        self.inner_results = []

    def __index__(self):
        self.inner_results.append(tokenize("the cat sat", self.inner_stop_words, False, 1))
        return self.value


def test_a_nested_call_does_not_change_the_outer_calls_stop_words():
    outer = frozenset({"the"})
    inner = frozenset({"cat"})
    for warm in (None, outer, inner):  # the outer set not yet cached, cached, and another cached
        if warm is not None:
            tokenize("x", warm, False, 1)
        nested = _Reentrant(1, inner)
        assert tokenize("the cat sat", outer, False, nested) == ["cat", "sat"]
        assert nested.inner_results == [["the", "sat"]]
        # Both tables still answer right afterwards, whichever is cached now.
        assert tokenize("the cat sat", inner, False, 1) == ["the", "sat"]
        assert tokenize("the cat sat", outer, False, 1) == ["cat", "sat"]
    nested = _Reentrant(1, outer)  # the same frozenset inside
    assert tokenize("the cat sat", outer, False, nested) == ["cat", "sat"]
    assert nested.inner_results == [["cat", "sat"]]


class _Word(str):
    """A stop word whose release calls tokenize: replacing a cached frozenset runs Python code."""

    calls = []

    def __del__(self):
        _Word.calls.append(tokenize("a b c", frozenset({"b"}), False, 1))


def test_releasing_the_previously_cached_stop_words_may_call_tokenize():
    tokenize("a b c", frozenset({_Word("a")}), False, 1)  # cached: the only reference to the set
    _Word.calls.clear()
    assert tokenize("a b c", frozenset({"c"}), False, 1) == ["a", "b"]
    assert _Word.calls == [["a", "c"]]
    assert tokenize("a b c", frozenset({"c"}), False, 1) == ["a", "b"]


def test_many_distinct_words_come_back_exactly_each_time():
    """Token strings are handed out again for repeated words; many words of every length, in
    several scripts, going in and out of that store, always come back as they are."""
    rng = random.Random(11)
    letters = "abcdefghijklmnopqrstuvwxyz0123456789" + "éßøπλжщ漢字한글"
    words = sorted({"".join(rng.choice(letters) for _ in range(rng.randrange(1, 31)))
                    for _ in range(60_000)})
    for _ in range(3):
        rng.shuffle(words)
        assert tokenize(" ".join(words), set(), False, 0) == words
    # Short texts one by one, as a caller tokenizing a corpus does.
    some = words[:3000]
    for word in some + some:
        (token,) = tokenize(word.upper(), set(), False, 1)
        assert token == word.upper().lower() and type(token) is str
    # The empty token and long tokens are strings like the others.
    assert tokenize(",,", set(), False, 0) == ["", "", ""]
    long_word = "x" * 40
    assert tokenize(f"{long_word} {long_word}", set(), False, 0) == [long_word, long_word]
    # A huge text, then a small one (the vector the strings are collected in is kept between calls).
    assert tokenize(" ".join(["w"] * 300_000), set(), False, 1) == ["w"] * 300_000
    assert tokenize("after that", set(), False, 1) == ["after", "that"]
