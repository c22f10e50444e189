// ombrel_learn._native: the text pipeline of ombrel_learn as Python objects.
//
//   FeatureSpec(stop_words, stem, min_length, words, ngram_min, ngram_max, bigrams=False, marks=False,
//               log_tf=False)
//   Vocabulary: a frozen token table (len, tokens(), find(), to_bytes(), Vocabulary.from_bytes())
//   IdBatch: token ids of many texts in one flat uint32 buffer (buffer protocol, format "I"), with
//            views() giving one memoryview per text, which OmbrelField.predict_batch and train_batch
//            read without a Python object per token
//   build_vocabulary(spec, texts, labels, class_count, min_df, coverage, max_classes, probes)
//       -> (Vocabulary, IdBatch of the training texts, number of distinct features before pruning)
//   transform(spec, vocabulary, buckets, texts, trailing=None, suffix=None) -> IdBatch (suffix: ids after
//       every text's own, e.g. a compiled model's bias neurons)
//   features(spec, text) -> list of the feature strings of one text (for inspection and tests)
//   hash_bytes(str) -> the stable 64-bit hash of hashing mode
//   thread_count() -> the worker pool's thread count
//
// Texts are converted to UTF-8 views with the interpreter lock held (a tuple of the caller's objects
// keeps them alive, and str objects cache their UTF-8 form); the work then runs on the worker pool
// with the lock released and touches no Python object.
#include <Python.h>

#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "learn_glue/py_handle.h"
#include "pool/thread_pool.h"
#include "textpipe/byte_hash.h"
#include "textpipe/feature_extractor.h"
#include "textpipe/text_to_ids.h"
#include "textpipe/token_table.h"
#include "textpipe/vocabulary_builder.h"

namespace ombrel::learn {
namespace {

using textpipe::FeatureSpec;
using textpipe::IdBatch;
using textpipe::TokenTable;

// Below this much text one call stays on the calling thread with the lock held: releasing and
// waking the pool would cost more than the work.
constexpr std::size_t kInlineBytes = 2048;

// The caller's texts, held by a tuple, and their UTF-8 bytes.
struct TextViews {
  Ref owner;
  std::vector<std::string_view> views;
  std::size_t bytes = 0;
};

bool to_text_views(PyObject* texts, TextViews& out) {
  if (PyUnicode_Check(texts) || PyBytes_Check(texts)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of str, got a single %.200s", Py_TYPE(texts)->tp_name);
    return false;
  }
  out.owner = Ref::steal(PySequence_Tuple(texts));
  if (!out.owner) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(out.owner.get());
  out.views.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(out.owner.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "text %zd is %.200s, not str", i,
                   item == Py_None ? "None" : Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) return false;  // a lone surrogate: the interpreter's UnicodeEncodeError
    out.views.emplace_back(data, static_cast<std::size_t>(size));
    out.bytes += static_cast<std::size_t>(size);
  }
  return true;
}

// A sequence of ints in 0 .. 2^32 - 1.
bool to_u32_vector(PyObject* obj, const char* what, std::vector<std::uint32_t>& out) {
  Ref seq = Ref::steal(PySequence_Fast(obj, what));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(items[i]);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (v > 0xFFFFFFFFull) {
      PyErr_Format(PyExc_OverflowError, "%s[%zd] is above 2**32 - 1", what, i);
      return false;
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(v);
  }
  return true;
}

// "O&" converters for counts. The argument parser's own unsigned formats (I, K) take any int and keep
// its low bits, so 2**32 + 2 would become 2 and -1 the largest count: these refuse what does not fit
// with OverflowError instead.
int to_count(PyObject* obj, unsigned long long limit, unsigned long long& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return 0;
  const unsigned long long v =
      PyLong_AsUnsignedLongLong(index.get());  // OverflowError below 0, above 2**64 - 1
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
  if (v > limit) {
    PyErr_Format(PyExc_OverflowError, "%llu is above %llu", v, limit);
    return 0;
  }
  out = v;
  return 1;
}
int u32_arg(PyObject* obj, void* out) {
  unsigned long long v;
  if (!to_count(obj, 0xFFFFFFFFull, v)) return 0;
  *static_cast<unsigned int*>(out) = static_cast<unsigned int>(v);
  return 1;
}
int u64_arg(PyObject* obj, void* out) {
  return to_count(obj, ~0ull, *static_cast<unsigned long long*>(out));
}

// ---------------------------------------------------------------------------------------------
// FeatureSpec

struct FeatureSpecObject {
  PyObject_HEAD FeatureSpec* spec;
};

PyTypeObject* g_feature_spec_type = nullptr;
PyTypeObject* g_vocabulary_type = nullptr;
PyTypeObject* g_id_batch_type = nullptr;

// A FeatureSpec is set once: transform reads it with the interpreter lock released, so a second __init__
// (which would free it under a running call) is refused.
int feature_spec_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (reinterpret_cast<FeatureSpecObject*>(self)->spec != nullptr) {
    PyErr_SetString(PyExc_TypeError, "a FeatureSpec cannot be changed once made");
    return -1;
  }
  static const char* kKeywords[] = {"stop_words", "stem",      "min_length", "words", "ngram_min",
                                    "ngram_max",  "bigrams",   "marks",      "log_tf",    nullptr};
  PyObject* stop_words = nullptr;
  int stem = 1;
  unsigned long long min_length = 2;
  int words = 1;
  unsigned int ngram_min = 0;
  unsigned int ngram_max = 0;
  int bigrams = 0;
  int marks = 0;
  int log_tf = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OpO&pO&O&$ppp:FeatureSpec", const_cast<char**>(kKeywords),
                                   &stop_words, &stem, u64_arg, &min_length, &words, u32_arg, &ngram_min,
                                   u32_arg, &ngram_max, &bigrams, &marks, &log_tf)) {
    return -1;
  }
  if (ngram_max > 16 || ngram_min > ngram_max) {
    PyErr_SetString(PyExc_ValueError, "n-gram lengths must satisfy 0 <= ngram_min <= ngram_max <= 16");
    return -1;
  }
  if (bigrams && ngram_max > 0) {
    PyErr_SetString(PyExc_ValueError,
                    "word pairs (bigrams) are for word features only, not with character n-grams");
    return -1;
  }
  auto* spec = new (std::nothrow) FeatureSpec();
  if (spec == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  spec->apply_stemming = stem != 0;
  spec->min_length = min_length;
  spec->words = words != 0;
  spec->ngram_min = ngram_min;
  spec->ngram_max = ngram_max;
  spec->bigrams = bigrams != 0;
  spec->marks = marks != 0 ? text::Marks::kJoin : text::Marks::kSeparate;
  spec->log_tf = log_tf != 0;
  std::set<std::string> distinct_stop_words;
  if (stop_words != nullptr && stop_words != Py_None) {
    Ref iter = Ref::steal(PyObject_GetIter(stop_words));
    if (!iter) {
      delete spec;
      return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
      Py_ssize_t size;
      const char* data = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &size) : nullptr;
      if (data == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "stop words must be str");
        delete spec;
        return -1;
      }
      spec->stop_words.insert(std::string_view(data, static_cast<std::size_t>(size)));
      distinct_stop_words.emplace(data, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) {
      delete spec;
      return -1;
    }
  }
  // The stop words in byte order, then the stemming flag, then one more step when marks join words
  // (the default rule's digest stays the one that saved vocabularies carry).
  std::uint64_t digest = spec->apply_stemming ? 0x5354454Dull : 0;
  for (const std::string& word : distinct_stop_words) {
    digest = (digest ^ textpipe::hash_bytes(word)) * 0x9E3779B97F4A7C15ull + word.size();
  }
  if (spec->marks == text::Marks::kJoin) digest = (digest ^ 0x4D41524B53ull) * 0x9E3779B97F4A7C15ull + 1;
  spec->word_rule_digest = digest;
  reinterpret_cast<FeatureSpecObject*>(self)->spec = spec;
  return 0;
}

void feature_spec_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<FeatureSpecObject*>(self)->spec;
  type->tp_free(self);
  Py_DECREF(type);
}

const FeatureSpec* spec_of(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, g_feature_spec_type) ||
      reinterpret_cast<FeatureSpecObject*>(obj)->spec == nullptr) {
    PyErr_SetString(PyExc_TypeError, "expected an initialised FeatureSpec");
    return nullptr;
  }
  return reinterpret_cast<FeatureSpecObject*>(obj)->spec;
}

// The options callers act on (texts go to NFC when marks join words), read-only like the rest.
PyObject* feature_spec_bigrams(PyObject* self, void*) {
  const FeatureSpec* spec = spec_of(self);
  return spec == nullptr ? nullptr : PyBool_FromLong(spec->bigrams);
}
PyObject* feature_spec_marks(PyObject* self, void*) {
  const FeatureSpec* spec = spec_of(self);
  return spec == nullptr ? nullptr : PyBool_FromLong(spec->marks == text::Marks::kJoin);
}

PyObject* feature_spec_log_tf(PyObject* self, void*) {
  const FeatureSpec* spec = spec_of(self);
  return spec == nullptr ? nullptr : PyBool_FromLong(spec->log_tf);
}

PyGetSetDef kFeatureSpecGetSet[] = {
    {"bigrams", feature_spec_bigrams, nullptr, "Whether pairs of consecutive words are features too.",
     nullptr},
    {"marks", feature_spec_marks, nullptr, "Whether combining marks continue words instead of cutting them.",
     nullptr},
    {"log_tf", feature_spec_log_tf, nullptr,
     "Whether transform presents a feature round(1 + ln(count)) times (count: in the text), not once.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFeatureSpecSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(feature_spec_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(feature_spec_dealloc)},
    {Py_tp_getset, kFeatureSpecGetSet},
    {Py_tp_doc, const_cast<char*>("How texts become features: words as ombrel.tokenize makes them (or with "
                                  "combining marks kept inside words), pairs of consecutive words, and "
                                  "character n-grams of the padded word text.")},
    {0, nullptr},
};
PyType_Spec kFeatureSpecSpec = {"ombrel_learn._native.FeatureSpec", sizeof(FeatureSpecObject), 0,
                                Py_TPFLAGS_DEFAULT, kFeatureSpecSlots};

// ---------------------------------------------------------------------------------------------
// Vocabulary

// The token table and, for word features, the map from raw training words to ids.
struct VocabularyData {
  TokenTable table;
  std::unique_ptr<textpipe::WordMap> words;
};

struct VocabularyObject {
  PyObject_HEAD VocabularyData* data;
};

PyObject* new_vocabulary(TokenTable&& table, std::unique_ptr<textpipe::WordMap> words = nullptr) {
  auto* self = PyObject_New(VocabularyObject, g_vocabulary_type);
  if (self == nullptr) return nullptr;
  self->data = new (std::nothrow) VocabularyData{std::move(table), std::move(words)};
  if (self->data == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

void vocabulary_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<VocabularyObject*>(self)->data;
  PyObject_Free(self);
  Py_DECREF(type);
}

const TokenTable& table_of(PyObject* self) {
  return reinterpret_cast<VocabularyObject*>(self)->data->table;
}
const textpipe::WordMap* words_of(PyObject* self) {
  return reinterpret_cast<VocabularyObject*>(self)->data->words.get();
}

Py_ssize_t vocabulary_length(PyObject* self) {
  return static_cast<Py_ssize_t>(table_of(self).size());
}

PyObject* vocabulary_tokens(PyObject* self, PyObject*) {
  const TokenTable& table = table_of(self);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table.size())));
  if (!list) return nullptr;
  for (std::uint32_t id = 0; id < table.size(); ++id) {
    const std::string_view token = table.token(id);
    PyObject* text =
        PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), "surrogateescape");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), id, text);
  }
  return list.release();
}

PyObject* vocabulary_token(PyObject* self, PyObject* arg) {
  const TokenTable& table = table_of(self);
  const unsigned long long id = PyLong_AsUnsignedLongLong(arg);
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  if (id >= table.size()) {
    PyErr_Format(PyExc_IndexError, "token id %llu is not below the vocabulary's %zu tokens", id, table.size());
    return nullptr;
  }
  const std::string_view token = table.token(static_cast<std::uint32_t>(id));
  PyObject* text = PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), "strict");
  if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();  // bytes cut inside a character: no text to show
    Py_RETURN_NONE;
  }
  return text;
}

PyObject* vocabulary_find(PyObject* self, PyObject* token) {
  if (!PyUnicode_Check(token)) {
    PyErr_SetString(PyExc_TypeError, "token must be str");
    return nullptr;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(token, &size);
  if (data == nullptr) return nullptr;
  const std::uint32_t id = table_of(self).find(std::string_view(data, static_cast<std::size_t>(size)));
  if (id == TokenTable::kNotFound) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(id);
}

// Serialized form: "OLVOCAB1", the token count as a little-endian u32, each token's length as a
// little-endian u32, then the tokens' bytes back to back. Then, when the vocabulary has a word map:
// "RAWWORDS", its rule digest as a little-endian u64, the raw words as above (count, lengths,
// bytes), then each raw word's target id as a little-endian u32.
constexpr char kVocabularyMagic[8] = {'O', 'L', 'V', 'O', 'C', 'A', 'B', '1'};
constexpr char kWordMapMagic[8] = {'R', 'A', 'W', 'W', 'O', 'R', 'D', 'S'};

void put_tokens(std::string& out, const TokenTable& table);

void put_u32(std::string& out, std::uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 24)};
  out.append(bytes, 4);
}
std::uint32_t get_u32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void put_tokens(std::string& out, const TokenTable& table) {
  put_u32(out, static_cast<std::uint32_t>(table.size()));
  for (std::uint32_t id = 0; id < table.size(); ++id)
    put_u32(out, static_cast<std::uint32_t>(table.token(id).size()));
  for (std::uint32_t id = 0; id < table.size(); ++id) out.append(table.token(id));
}

PyObject* vocabulary_to_bytes(PyObject* self, PyObject*) {
  const TokenTable& table = table_of(self);
  const textpipe::WordMap* words = words_of(self);
  std::string out;
  try {
    out.append(kVocabularyMagic, sizeof kVocabularyMagic);
    put_tokens(out, table);
    if (words != nullptr) {
      out.append(kWordMapMagic, sizeof kWordMapMagic);
      put_u32(out, static_cast<std::uint32_t>(words->word_rule_digest));
      put_u32(out, static_cast<std::uint32_t>(words->word_rule_digest >> 32));
      put_tokens(out, words->raw);
      for (std::uint32_t target : words->target) put_u32(out, target);
    }
  } catch (...) {
    return raise_from_native();
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* damaged(const char* what) {
  PyErr_Format(PyExc_ValueError, "vocabulary data is damaged: %s", what);
  return nullptr;
}

// Reads a token list (count, lengths, bytes) at p[at, size) into table; nullptr, or what is wrong.
const char* read_tokens(const unsigned char* p, std::size_t size, std::size_t& at, TokenTable& table) {
  if (size - at < 4) return "shorter than its token count";
  const std::uint32_t count = get_u32(p + at);
  at += 4;
  if ((size - at) / 4 < count) return "shorter than its token count";
  const unsigned char* lengths = p + at;
  at += std::size_t{count} * 4;
  table.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t length = get_u32(lengths + 4 * std::size_t{i});
    if (length > size - at) return "a token runs past the end";
    const std::string_view token(reinterpret_cast<const char*>(p + at), length);
    at += length;
    if (table.insert(token) != i) return "a token appears twice";
  }
  return nullptr;
}

PyObject* vocabulary_from_bytes(PyObject*, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  const auto* p = static_cast<const unsigned char*>(view.buf);
  const auto size = static_cast<std::size_t>(view.len);
  if (size < 8 || std::memcmp(p, kVocabularyMagic, sizeof kVocabularyMagic) != 0)
    return damaged("bad header");
  std::size_t at = 8;
  try {
    TokenTable table;
    if (const char* problem = read_tokens(p, size, at, table)) return damaged(problem);
    std::unique_ptr<textpipe::WordMap> words;
    if (at != size) {
      if (size - at < 16 || std::memcmp(p + at, kWordMapMagic, sizeof kWordMapMagic) != 0) {
        return damaged("bytes after the last token");
      }
      words = std::make_unique<textpipe::WordMap>();
      words->word_rule_digest = get_u32(p + at + 8) | std::uint64_t{get_u32(p + at + 12)} << 32;
      at += 16;
      if (const char* problem = read_tokens(p, size, at, words->raw)) return damaged(problem);
      if ((size - at) / 4 != words->raw.size() || (size - at) % 4 != 0) return damaged("word map targets");
      for (std::size_t i = 0; i < words->raw.size(); ++i, at += 4) {
        const std::uint32_t target = get_u32(p + at);
        if (target != textpipe::WordMap::kDrop && target >= table.size())
          return damaged("word map target out of range");
        words->target.push_back(target);
      }
      words->raw.set_values(words->target);
    }
    return new_vocabulary(std::move(table), std::move(words));
  } catch (...) {
    return raise_from_native();
  }
}

PyObject* vocabulary_from_tokens(PyObject*, PyObject* tokens) {
  TextViews views;
  if (!to_text_views(tokens, views)) return nullptr;
  try {
    TokenTable table;
    table.reserve(views.views.size());
    for (std::size_t i = 0; i < views.views.size(); ++i) {
      if (table.insert(views.views[i]) != i) {
        PyErr_Format(PyExc_ValueError, "token %zu appears twice", i);
        return nullptr;
      }
    }
    return new_vocabulary(std::move(table));
  } catch (...) {
    return raise_from_native();
  }
}

PyMethodDef kVocabularyMethods[] = {
    {"tokens", vocabulary_tokens, METH_NOARGS, "The tokens in id order."},
    {"find", vocabulary_find, METH_O, "The id of a token, or None."},
    {"token", vocabulary_token, METH_O, "The token of an id, or None when its bytes are not whole UTF-8."},
    {"to_bytes", vocabulary_to_bytes, METH_NOARGS, "The serialized vocabulary."},
    {"from_bytes", vocabulary_from_bytes, METH_O | METH_STATIC, "A vocabulary from to_bytes() output."},
    {"from_tokens", vocabulary_from_tokens, METH_O | METH_STATIC,
     "A vocabulary of distinct tokens, ids in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kVocabularySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(vocabulary_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(vocabulary_length)},
    {Py_tp_methods, kVocabularyMethods},
    {Py_tp_doc, const_cast<char*>("A frozen table from token bytes to ids.")},
    {0, nullptr},
};
PyType_Spec kVocabularySpec = {"ombrel_learn._native.Vocabulary", sizeof(VocabularyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kVocabularySlots};

// ---------------------------------------------------------------------------------------------
// IdBatch

struct IdBatchObject {
  PyObject_HEAD IdBatch* batch;
  Py_ssize_t shape;   // ids.size(), for the buffer's shape
  Py_ssize_t stride;  // 4
};

PyObject* new_id_batch(IdBatch&& batch) {
  auto* self = PyObject_New(IdBatchObject, g_id_batch_type);
  if (self == nullptr) return nullptr;
  self->batch = new (std::nothrow) IdBatch(std::move(batch));
  if (self->batch == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  self->shape = static_cast<Py_ssize_t>(self->batch->ids.size());
  self->stride = sizeof(std::uint32_t);
  return reinterpret_cast<PyObject*>(self);
}

void id_batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IdBatchObject*>(self)->batch;
  PyObject_Free(self);
  Py_DECREF(type);
}

const IdBatch& batch_of(PyObject* self) {
  return *reinterpret_cast<IdBatchObject*>(self)->batch;
}

// The ids never change after the batch is made, so every export is read-only and no export count
// is needed: the object outlives its views through their reference.
int id_batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "IdBatch is read-only");
    view->obj = nullptr;
    return -1;
  }
  auto* object = reinterpret_cast<IdBatchObject*>(self);
  static char kFormat[] = "I";
  view->buf = object->batch->ids.data();
  view->obj = Py_NewRef(self);
  view->len = object->shape * object->stride;
  view->readonly = 1;
  view->itemsize = sizeof(std::uint32_t);
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? kFormat : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &object->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &object->stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t id_batch_length(PyObject* self) {
  return static_cast<Py_ssize_t>(batch_of(self).size());
}

// views(drop_last=False): one read-only uint32 memoryview per text, slices of one view of this
// batch; with drop_last, each text's last id (its trailing id) is left out.
PyObject* id_batch_views(PyObject* self, PyObject* args) {
  int drop_last = 0;
  if (!PyArg_ParseTuple(args, "|p:views", &drop_last)) return nullptr;
  const IdBatch& batch = batch_of(self);
  Ref whole = Ref::steal(PyMemoryView_FromObject(self));
  if (!whole) return nullptr;
  const auto n = static_cast<Py_ssize_t>(batch.size());
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto begin = static_cast<Py_ssize_t>(batch.offsets[i]);
    auto end = static_cast<Py_ssize_t>(batch.offsets[i + 1]);
    if (drop_last && end > begin) --end;
    PyObject* slice = PySequence_GetSlice(whole.get(), begin, end);
    if (slice == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, slice);
  }
  return list.release();
}

// to_lists(): the ids of each text as a list of ints (tests and inspection).
PyObject* id_batch_to_lists(PyObject* self, PyObject*) {
  const IdBatch& batch = batch_of(self);
  const auto n = static_cast<Py_ssize_t>(batch.size());
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::uint64_t begin = batch.offsets[i];
    const std::uint64_t end = batch.offsets[i + 1];
    PyObject* ids = PyList_New(static_cast<Py_ssize_t>(end - begin));
    if (ids == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, ids);
    for (std::uint64_t k = begin; k < end; ++k) {
      PyObject* id = PyLong_FromUnsignedLong(batch.ids[k]);
      if (id == nullptr) return nullptr;
      PyList_SET_ITEM(ids, static_cast<Py_ssize_t>(k - begin), id);
    }
  }
  return list.release();
}

PyObject* id_batch_offsets(PyObject* self, void*) {
  const IdBatch& batch = batch_of(self);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(batch.offsets.data()),
                                   static_cast<Py_ssize_t>(batch.offsets.size() * sizeof(std::uint64_t)));
}

PyObject* id_batch_token_count(PyObject* self, void*) {
  return PyLong_FromSize_t(batch_of(self).ids.size());
}

PyMethodDef kIdBatchMethods[] = {
    {"views", id_batch_views, METH_VARARGS, "views(drop_last=False): one uint32 memoryview per text."},
    {"to_lists", id_batch_to_lists, METH_NOARGS, "The ids of each text as lists of int."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kIdBatchGetSet[] = {
    {"offsets", id_batch_offsets, nullptr, "The n + 1 text offsets as native uint64 bytes.", nullptr},
    {"token_count", id_batch_token_count, nullptr, "Ids in all texts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kIdBatchSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(id_batch_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(id_batch_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(id_batch_length)},
    {Py_tp_methods, kIdBatchMethods},
    {Py_tp_getset, kIdBatchGetSet},
    {Py_tp_doc, const_cast<char*>("Token ids of many texts in one flat uint32 buffer.")},
    {0, nullptr},
};
PyType_Spec kIdBatchSpec = {"ombrel_learn._native.IdBatch", sizeof(IdBatchObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kIdBatchSlots};

// ---------------------------------------------------------------------------------------------
// Functions

PyObject* build_vocabulary(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"spec",     "texts",       "labels", "class_count", "min_df",
                                    "coverage", "max_classes", "probes", nullptr};
  PyObject* spec_obj;
  PyObject* texts;
  PyObject* labels_obj;
  unsigned int class_count;
  unsigned int min_df = 2;
  double coverage = 0.9;
  unsigned int max_classes = 8;
  int probes = 1;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OOOO&|O&dO&p:build_vocabulary", const_cast<char**>(kKeywords), &spec_obj, &texts,
          &labels_obj, u32_arg, &class_count, u32_arg, &min_df, &coverage, u32_arg, &max_classes, &probes)) {
    return nullptr;
  }
  const FeatureSpec* spec = spec_of(spec_obj);
  if (spec == nullptr) return nullptr;
  TextViews views;
  if (!to_text_views(texts, views)) return nullptr;
  std::vector<std::uint32_t> labels;
  if (!to_u32_vector(labels_obj, "labels", labels)) return nullptr;
  if (labels.size() != views.views.size()) {
    PyErr_Format(PyExc_ValueError, "%zu texts but %zu labels", views.views.size(), labels.size());
    return nullptr;
  }
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] >= class_count) {
      PyErr_Format(PyExc_ValueError, "label %u of text %zu is not below class_count %u", labels[i], i,
                   class_count);
      return nullptr;
    }
  }
  textpipe::BuiltVocabulary built;
  try {
    const UnlockedScope unlocked(true);
    built = textpipe::build_vocabulary(pool::global_pool(), views.views, labels, class_count, *spec,
                                       textpipe::PruningRule{min_df, coverage, max_classes}, probes != 0);
  } catch (...) {
    return raise_from_native();
  }
  std::unique_ptr<textpipe::WordMap> words;
  if (built.has_words) {
    try {
      words = std::make_unique<textpipe::WordMap>(std::move(built.words));
    } catch (...) {
      return raise_from_native();
    }
  }
  Ref vocabulary = Ref::steal(new_vocabulary(std::move(built.table), std::move(words)));
  if (!vocabulary) return nullptr;
  Ref documents = Ref::steal(new_id_batch(std::move(built.documents)));
  if (!documents) return nullptr;
  return Py_BuildValue("(OOK)", vocabulary.get(), documents.get(),
                       static_cast<unsigned long long>(built.distinct_features));
}

// transform(spec, vocabulary, buckets, texts, trailing=None, suffix=None)
PyObject* transform(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 4 || nargs > 6) {
    PyErr_SetString(PyExc_TypeError,
                    "transform(spec, vocabulary, buckets, texts, trailing=None, suffix=None)");
    return nullptr;
  }
  const FeatureSpec* spec = spec_of(args[0]);
  if (spec == nullptr) return nullptr;
  textpipe::IdMapping mapping;
  const unsigned long buckets = PyLong_AsUnsignedLong(args[2]);
  if (buckets == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  if (buckets > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_OverflowError, "buckets must be below 2**32");
    return nullptr;
  }
  mapping.buckets = static_cast<std::uint32_t>(buckets);
  if (mapping.buckets == 0) {
    if (!PyObject_TypeCheck(args[1], g_vocabulary_type)) {
      PyErr_SetString(PyExc_TypeError, "a Vocabulary is needed when buckets is 0");
      return nullptr;
    }
    mapping.table = &table_of(args[1]);
    mapping.words = words_of(args[1]);
  }
  TextViews views;
  if (!to_text_views(args[3], views)) return nullptr;
  std::vector<std::uint32_t> trailing;
  if (nargs >= 5 && args[4] != Py_None) {
    if (!to_u32_vector(args[4], "trailing", trailing)) return nullptr;
    if (trailing.size() != views.views.size()) {
      PyErr_Format(PyExc_ValueError, "%zu texts but %zu trailing ids", views.views.size(), trailing.size());
      return nullptr;
    }
  }
  std::vector<std::uint32_t> suffix;
  if (nargs == 6 && args[5] != Py_None && !to_u32_vector(args[5], "suffix", suffix)) return nullptr;
  IdBatch batch;
  try {
    // The vocabulary object is held by the caller's argument for the whole call.
    const bool release = views.views.size() > 1 || views.bytes > kInlineBytes;
    const UnlockedScope unlocked(release);
    textpipe::texts_to_ids(pool::global_pool(), views.views, *spec, mapping, trailing, suffix, batch);
  } catch (...) {
    return raise_from_native();
  }
  return new_id_batch(std::move(batch));
}

PyObject* features(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "features(spec, text)");
    return nullptr;
  }
  const FeatureSpec* spec = spec_of(args[0]);
  if (spec == nullptr) return nullptr;
  if (!PyUnicode_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "text must be str");
    return nullptr;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(args[1], &size);
  if (data == nullptr) return nullptr;
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  bool ok = true;
  try {
    textpipe::FeatureExtractor extractor(*spec);
    extractor.run(std::string_view(data, static_cast<std::size_t>(size)), [&](std::string_view feature) {
      if (!ok) return;
      Ref text = Ref::steal(
          PyUnicode_DecodeUTF8(feature.data(), static_cast<Py_ssize_t>(feature.size()), "surrogateescape"));
      ok = text && PyList_Append(list.get(), text.get()) == 0;
    });
  } catch (...) {
    return raise_from_native();
  }
  return ok ? list.release() : nullptr;
}

// The worker pool's thread count (making the pool on first use, as any pipeline call would).
PyObject* thread_count(PyObject*, PyObject*) {
  try {
    return PyLong_FromSize_t(pool::global_pool().num_threads());
  } catch (...) {
    return raise_from_native();
  }
}

PyObject* hash_bytes(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text)) {
    PyErr_SetString(PyExc_TypeError, "expected str");
    return nullptr;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(
      textpipe::hash_bytes(std::string_view(data, static_cast<std::size_t>(size))));
}

PyMethodDef kFunctions[] = {
    {"build_vocabulary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_vocabulary)),
     METH_VARARGS | METH_KEYWORDS,
     "build_vocabulary(spec, texts, labels, class_count, min_df=2, coverage=0.9, max_classes=8, "
     "probes=True)"},
    {"transform", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transform)), METH_FASTCALL,
     "transform(spec, vocabulary, buckets, texts, trailing=None) -> IdBatch"},
    {"features", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(features)), METH_FASTCALL,
     "features(spec, text) -> list of feature strings"},
    {"hash_bytes", hash_bytes, METH_O, "hash_bytes(text) -> the stable 64-bit hash of its UTF-8 bytes"},
    {"thread_count", thread_count, METH_NOARGS, "thread_count() -> the worker pool's thread count"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "ombrel_learn._native",
                       "The native text pipeline of ombrel_learn.",
                       -1,
                       kFunctions,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

bool add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** out) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return false;
  *out = reinterpret_cast<PyTypeObject*>(type);  // the module and this pointer share one reference
  const char* dot = std::strrchr(spec->name, '.');
  return PyModule_AddObjectRef(module, dot + 1, type) == 0;
}

}  // namespace
}  // namespace ombrel::learn

PyMODINIT_FUNC PyInit__native() {
  using namespace ombrel::learn;
  Ref module = Ref::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!add_type(module.get(), &kFeatureSpecSpec, &g_feature_spec_type) ||
      !add_type(module.get(), &kVocabularySpec, &g_vocabulary_type) ||
      !add_type(module.get(), &kIdBatchSpec, &g_id_batch_type)) {
    return nullptr;
  }
  return module.release();
}
