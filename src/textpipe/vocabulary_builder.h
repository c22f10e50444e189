// Building a vocabulary from labelled training texts, in one tokenizing pass.
//
// The texts are featurized on the worker pool, a block at a time, each worker collecting its part's
// distinct features in a table of its own and each text's distinct features as ids of that table;
// one thread then gives every distinct feature a provisional id in a growing TokenTable (one
// look-up per distinct feature of a part, not per occurrence), while the other threads featurize
// the next block, and counts, per feature, the
// documents it occurs in (document frequency) and the documents of each class (kept sparse: one
// counter per (feature, class) pair that occurs). A feature is kept when
//   - its document frequency is at least min_df, and
//   - it occurs in at most max_classes classes, or its max_classes most frequent classes hold at
//     least `coverage` of its documents (a sensory neuron has eight synapses; a feature spread over
//     more classes overwrites its own synapses and votes noise).
// Kept features get the final ids 0, 1, ... in order of first appearance, and the training
// documents' ids are rewritten to them, so training needs no second tokenizing pass.
//
// For word features the training words are gathered in their raw form (lowercased, before the
// stop-word test and stemming), and each distinct raw word is tested and stemmed once; the map from
// raw words to final ids comes out with the vocabulary (WordMap), so prediction skips both steps for
// every word seen in training.
//
// Thread-safety: one call uses the pool for featurizing and for counting, one block after another;
// it shares nothing with other calls.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "pool/thread_pool.h"
#include "textpipe/feature_extractor.h"
#include "textpipe/text_to_ids.h"
#include "textpipe/token_table.h"

namespace ombrel::textpipe {

struct PruningRule {
  std::uint32_t min_df = 2;
  double coverage = 0.9;
  std::uint32_t max_classes = 8;
};

struct BuiltVocabulary {
  TokenTable table;  // the kept features
  WordMap words;     // for word features (has_words): every raw training word to its final id
  bool has_words = false;
  // Each training text's distinct kept ids (with FeatureSpec::log_tf, each round(1 + ln(count)) times
  // in a row, as transform presents them), then its trailing id if asked.
  IdBatch documents;
  std::uint64_t distinct_features = 0;  // before pruning
};

// REQUIRES: labels.size() == texts.size(), every label < class_count. When with_probes, every
// document's ids end with the probe id table.size() + label (one probe sensory neuron per class,
// placed after the vocabulary). The views must stay valid and unchanged for the call.
BuiltVocabulary build_vocabulary(pool::ThreadPool& pool, std::span<const std::string_view> texts,
                                 std::span<const std::uint32_t> labels, std::uint32_t class_count,
                                 const FeatureSpec& spec, const PruningRule& rule, bool with_probes);

}  // namespace ombrel::textpipe
