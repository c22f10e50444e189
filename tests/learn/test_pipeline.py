"""The native text pipeline against the module's own tokenize and the demo recipe's definitions."""

import os
import subprocess
import sys
import unicodedata

import pytest

import ombrel
from ombrel_learn import ENGLISH_STOP_WORDS, _native
from ombrel_learn.learning import featurizing

from learn_support import read_tsv

WORD_SETTINGS = [
    (ENGLISH_STOP_WORDS, True, 2),
    (frozenset(), False, 1),
    (frozenset({"the", "über"}), True, 0),
]


def python_ngrams(words, lo, hi):
    """The demo recipe's character n-grams: over the words joined by blanks, a blank at each end."""
    padded = " " + " ".join(words) + " "
    out = []
    for n in range(lo, hi + 1):
        out.extend(padded[i:i + n] for i in range(len(padded) - n + 1))
    return out


@pytest.mark.parametrize("dataset", ["20newsgroups", "lang_id_tatoeba"])
@pytest.mark.parametrize("stop, stem, min_length", WORD_SETTINGS)
def test_word_features_equal_tokenize_on_real_text(dataset, stop, stem, min_length):
    texts, _ = read_tsv(dataset, limit=1500)
    spec = _native.FeatureSpec(stop, stem, min_length)
    for text in texts:
        assert _native.features(spec, text) == ombrel.tokenize(text, stop, stem, min_length)


@pytest.mark.parametrize("lo, hi", [(1, 4), (2, 3), (3, 3)])
def test_char_ngrams_follow_the_padded_word_text(lo, hi):
    texts, _ = read_tsv("lang_id_tatoeba", limit=1500)
    texts += ["", "   ", "Ab c", "ΑΣ Β", "日本語のテキスト", "x² naïve café"]
    spec = _native.FeatureSpec(None, False, 1, True, lo, hi)
    ngrams_only = _native.FeatureSpec(None, False, 1, False, lo, hi)
    for text in texts:
        words = ombrel.tokenize(text, frozenset(), False, 1)
        expected = python_ngrams(words, lo, hi)
        assert _native.features(spec, text) == words + expected
        assert _native.features(ngrams_only, text) == expected


def test_transform_maps_distinct_known_features_in_first_seen_order():
    spec = _native.FeatureSpec(ENGLISH_STOP_WORDS, True, 2)
    vocabulary = _native.Vocabulary.from_tokens(["dog", "bark", "cat", "na"])
    assert [vocabulary.token(i) for i in range(4)] == ["dog", "bark", "cat", "na"]  # explain's names
    with pytest.raises(IndexError):
        vocabulary.token(4)
    texts = ["Dogs dog DOG barking cats dog nation zebra", "", "the of and", "cat " * 1000]
    batch = _native.transform(spec, vocabulary, 0, texts)
    expected = []
    for text in texts:
        ids = []
        for token in ombrel.tokenize(text, ENGLISH_STOP_WORDS, True, 2):
            i = vocabulary.find(token)
            if i is not None and i not in ids:
                ids.append(i)
        expected.append(ids)
    assert batch.to_lists() == expected
    assert len(batch) == len(texts) and batch.token_count == sum(map(len, expected))
    assert [list(v) for v in batch.views()] == expected
    with_trailing = _native.transform(spec, vocabulary, 0, texts, [7, 8, 9, 10])
    assert with_trailing.to_lists() == [e + [t] for e, t in zip(expected, [7, 8, 9, 10])]
    assert [list(v) for v in with_trailing.views(True)] == expected
    # A suffix (a compiled model's bias neurons) follows every text, after its trailing id.
    suffixed = _native.transform(spec, vocabulary, 0, texts, [7, 8, 9, 10], [100, 101])
    assert suffixed.to_lists() == [e + [t, 100, 101] for e, t in zip(expected, [7, 8, 9, 10])]
    assert _native.transform(spec, vocabulary, 0, texts[:1], None, (5,)).to_lists() == [expected[0] + [5]]
    assert _native.transform(spec, vocabulary, 0, texts, None, []).to_lists() == expected
    with pytest.raises(OverflowError, match=r"suffix\[1\] is above"):
        _native.transform(spec, vocabulary, 0, texts, None, [1, 2**32])
    with pytest.raises(TypeError):
        _native.transform(spec, vocabulary, 0, texts, None, ["1"])


def test_many_texts_on_the_pool_match_one_at_a_time():
    texts, _ = read_tsv("20newsgroups", limit=3000)
    spec = _native.FeatureSpec(ENGLISH_STOP_WORDS, True, 2)
    tokens = sorted({t for text in texts[:200] for t in ombrel.tokenize(text, ENGLISH_STOP_WORDS, True, 2)})
    vocabulary = _native.Vocabulary.from_tokens(tokens)
    together = _native.transform(spec, vocabulary, 0, texts).to_lists()
    assert together == [_native.transform(spec, vocabulary, 0, [t]).to_lists()[0] for t in texts]
    hashed = _native.transform(spec, None, 1 << 24, texts[:300]).to_lists()  # sorted deduplication
    for text, ids in zip(texts, hashed):
        expected = []
        for token in ombrel.tokenize(text, ENGLISH_STOP_WORDS, True, 2):
            h = _native.hash_bytes(token) % (1 << 24)
            if h not in expected:
                expected.append(h)
        assert ids == expected


def test_hashing_is_stable_across_processes():
    words = ["hello", "naïve", "a" * 40, "", "日本"]
    code = ("from ombrel_learn import _native; import sys; "
            "print([_native.hash_bytes(w) for w in sys.argv[1:]])")
    runs = {subprocess.run([sys.executable, "-c", code, *words], capture_output=True, text=True,
                           env=dict(os.environ, PYTHONHASHSEED=str(seed)), check=True).stdout
            for seed in (1, 2)}
    assert len(runs) == 1
    hashes = [_native.hash_bytes(w) for w in words]
    assert len(set(hashes)) == len(words)
    assert runs.pop().strip() == str(hashes)


def test_vocabulary_pruning_matches_the_recipe():
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
    import recipe
    texts, labels = read_tsv("20newsgroups", limit=4000)
    classes = sorted(set(labels))
    y = [classes.index(l) for l in labels]
    spec = _native.FeatureSpec(ENGLISH_STOP_WORDS, True, 2)
    vocabulary, documents, distinct = _native.build_vocabulary(spec, texts, y, len(classes), 2, 0.9, 8, True)
    tokens = [recipe.WORDS(t) for t in texts]
    expected = recipe.Vocabulary.build(tokens, y, len(classes), 2, 0.9)
    assert sorted(vocabulary.tokens()) == expected.tokens
    assert distinct == len(set().union(*map(set, tokens)))
    size = len(vocabulary)
    kept = vocabulary.tokens()
    for doc_tokens, label, ids in zip(tokens, y, documents.to_lists()):
        assert ids[-1] == size + label  # the class's margin probe
        assert sorted(kept[i] for i in ids[:-1]) == sorted(
            {t for t in doc_tokens if vocabulary.find(t) is not None})


def test_id_batches_feed_the_field_without_lists():
    spec = _native.FeatureSpec(frozenset(), False, 1)
    vocabulary = _native.Vocabulary.from_tokens([f"w{i}" for i in range(50)])
    texts = [" ".join(f"w{(i * 7 + k) % 50}" for k in range(i % 9)) for i in range(200)]
    batch = _native.transform(spec, vocabulary, 0, texts)
    field = ombrel.OmbrelField(50, 5)
    field.train_batch([(v, i % 5) for i, v in enumerate(batch.views())], 10, 1)
    assert field.predict_batch(batch.views()) == field.predict_batch(batch.to_lists())
    view = memoryview(batch)
    assert view.format == "I" and view.readonly and len(view) == batch.token_count


def test_vocabulary_bytes_round_trip_and_damage():
    vocabulary = _native.Vocabulary.from_tokens(["a", "naïve", "x" * 300, ""])
    data = vocabulary.to_bytes()
    again = _native.Vocabulary.from_bytes(data)
    assert again.tokens() == vocabulary.tokens() and again.find("x" * 300) == 2
    for bad in (data[:-1], data + b"!", b"nonsense", data[:10]):
        with pytest.raises(ValueError, match="damaged"):
            _native.Vocabulary.from_bytes(bad)
    with pytest.raises(ValueError):
        _native.Vocabulary.from_tokens(["a", "a"])


@pytest.mark.parametrize("bad, name", [(b"bytes", "bytes"), (None, "None"), (3, "int")])
def test_non_str_texts_are_named_by_index(bad, name):
    spec = _native.FeatureSpec()
    with pytest.raises(TypeError, match=rf"text 2 is {name}, not str"):
        _native.transform(spec, None, 8, ["a", "b", bad])
    with pytest.raises(TypeError):
        _native.transform(spec, None, 8, "a single string")
    with pytest.raises(UnicodeEncodeError):
        _native.transform(spec, None, 8, ["ok", "\ud800"])


def test_the_raw_word_map_changes_no_id():
    """A built vocabulary maps raw training words straight to ids; the ids must be those of the full
    path (stop words, stemming, look-up), for seen and unseen words, and after a round trip."""
    texts, labels = read_tsv("20newsgroups", limit=3000)
    unseen, _ = read_tsv("20newsgroups", "test.tsv", limit=2000)
    classes = sorted(set(labels))
    y = [classes.index(l) for l in labels]
    for stop, stem in ((ENGLISH_STOP_WORDS, True), (frozenset({"the", "of"}), False)):
        spec = _native.FeatureSpec(stop, stem, 2)
        built, _, _ = _native.build_vocabulary(spec, texts, y, len(classes), 2, 0.9, 8, True)
        plain = _native.Vocabulary.from_tokens(built.tokens())
        expected = _native.transform(spec, plain, 0, unseen + texts[:500]).to_lists()
        assert _native.transform(spec, built, 0, unseen + texts[:500]).to_lists() == expected
        again = _native.Vocabulary.from_bytes(built.to_bytes())
        assert len(again.to_bytes()) > len(plain.to_bytes())  # the map travels with it
        assert _native.transform(spec, again, 0, unseen).to_lists() == expected[:len(unseen)]
        # Under another rule (here: no stop words) the map is not used.
        other = _native.FeatureSpec(frozenset(), stem, 2)
        assert (_native.transform(other, built, 0, unseen).to_lists()
                == _native.transform(other, plain, 0, unseen).to_lists())


def test_a_feature_spec_cannot_change_under_a_running_call():
    spec = _native.FeatureSpec(ENGLISH_STOP_WORDS, True, 2)
    with pytest.raises(TypeError, match="cannot be changed"):
        spec.__init__(frozenset(), False, 1)
    assert _native.features(spec, "The nations") == ["nation"]
    with pytest.raises(ValueError):
        _native.FeatureSpec(None, False, 1, True, 3, 2)
    with pytest.raises(TypeError):
        _native.FeatureSpec([1, 2])


KSHATRIYA = "\u0915\u094d\u0937\u0924\u094d\u0930\u093f\u092f"  # two viramas, which are not Alphabetic


def test_word_pairs_and_joined_marks_through_a_vocabulary():
    """Words that keep their combining marks, and pairs of kept words, are features like any word,
    while the module's tokenize keeps cutting at the marks; NFC makes both spellings one word."""
    assert ombrel.tokenize("\u0130stanbul " + KSHATRIYA, frozenset(), False, 1) == [
        "i", "stanbul", "\u0915", "\u0937\u0924", "\u0930\u093f\u092f"]
    spec = featurizing.feature_spec("words", "english", True, 2, (1, 4), bigrams=True, marks=True)
    texts = ["The e\u0301coles of \u0130stanbul", "\u0130stanbul'un \u00e9coles", KSHATRIYA + " \u0939\u0942\u0901"]
    nfc = featurizing.nfc_texts(texts)
    assert nfc is not texts and nfc[1] is texts[1] and nfc[0] == unicodedata.normalize("NFC", texts[0])
    tokens = ["\u00e9col", "i\u0307stanbul", "\u00e9col i\u0307stanbul", "un", "i\u0307stanbul un", "un \u00e9col",
              KSHATRIYA, KSHATRIYA + " \u0939\u0942\u0901"]
    vocabulary = _native.Vocabulary.from_tokens(tokens)
    assert _native.transform(spec, vocabulary, 0, nfc).to_lists() == [[0, 1, 2], [1, 3, 0, 4, 5], [6, 7]]
    # Without NFC the decomposed 'écoles' is another word; without the options, tokenize's words.
    assert _native.features(spec, texts[0])[0] == "e\u0301col"
    plain = featurizing.feature_spec("words", "english", True, 2, (1, 4))
    assert (spec.bigrams, spec.marks, plain.bigrams, plain.marks) == (True, True, False, False)
    for text in texts:
        assert _native.features(plain, text) == ombrel.tokenize(text, ENGLISH_STOP_WORDS, True, 2)
    with pytest.raises(ValueError, match="bigrams"):
        featurizing.feature_spec("chars", None, False, 1, (1, 4), bigrams=True)
    assert _native.features(featurizing.feature_spec("chars", None, False, 1, (4, 4), marks=True),
                            "e\u0301") == ["e\u0301", " e\u0301 "]
    # Nothing to change: the very same list, ASCII or NFC already; what is not a str stays for the
    # native layer to refuse by its index.
    same = ["ascii only", "\u00e9cole", "\u65e5\u672c", None]
    assert featurizing.nfc_texts(same) is same


def test_joined_marks_leave_fewer_one_character_words_in_indic_and_arabic_scripts():
    """Real sentences: with marks joined, Devanagari words are no longer cut at every virama into
    one-letter pieces; Arabic script, whose harakat are Alphabetic already, loses nothing."""
    texts, _ = read_tsv("lang_id_tatoeba")
    scripts = {"Devanagari": ((0x900, 0x97F),), "Thai": ((0xE00, 0xE7F),),
               "Arabic": ((0x600, 0x6FF), (0x750, 0x77F), (0xFB50, 0xFDFF), (0xFE70, 0xFEFF))}
    rows = {name: [] for name in scripts}
    for text in texts:
        letters = [c for c in text if unicodedata.category(c)[0] in "LM"]
        for name, ranges in scripts.items():
            if 2 * sum(any(lo <= ord(c) <= hi for lo, hi in ranges) for c in letters) > len(letters) > 0:
                rows[name].append(text)

    def one_character_share(spec, sample):
        words = [w for text in sample for w in _native.features(spec, text)]
        return sum(len(w) == 1 for w in words) / len(words)

    cut = _native.FeatureSpec(None, False, 1)
    joined = _native.FeatureSpec(None, False, 1, marks=True)
    shares = {name: (one_character_share(cut, sample), one_character_share(joined, featurizing.nfc_texts(sample)))
              for name, sample in rows.items() if sample}
    print("one-character word share (marks cut, joined):", shares)
    assert len(rows["Devanagari"]) >= 100
    before, after = shares["Devanagari"]
    assert after < before / 2
    assert all(after <= before for before, after in shares.values())
