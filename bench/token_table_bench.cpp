// The token table against std::unordered_map, on the tokenizer's real output, in one run.
//
//   cmake -S . -B build/bench -DOMBREL_BUILD_MODULE=OFF -DOMBREL_BUILD_BENCH=ON
//   cmake --build build/bench -j && build/bench/bench/token_table_bench [test.tsv [train.tsv]]
//
// One core. The vocabulary is every token of the training file (20 Newsgroups by default, from
// ../shared/data beside the repository); the timed loop tokenizes every test text (English stop
// words, stemming, minimum length 2) and (a) only counts the tokens, (b) looks each one up in the
// TokenTable, (c) looks each one up in a std::unordered_map<std::string_view, uint32_t>. Best of 5
// rounds each, interleaved; prints MB/s of text and the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/text/stop_word_set.h"
#include "lib/text/tokenizer.h"
#include "textpipe/token_table.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> read_texts(const std::string& path) {
  std::vector<std::string> texts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) texts.push_back(line.substr(tab + 1));
  }
  return texts;
}

constexpr const char* kStopWords[] = {
    "a",         "about",   "above",   "after",   "again",      "against", "all",       "also",    "am",
    "an",        "and",     "any",     "are",     "as",         "at",      "be",        "because", "been",
    "before",    "being",   "below",   "between", "both",       "but",     "by",        "can",     "could",
    "did",       "do",      "does",    "doing",   "down",       "during",  "each",      "few",     "for",
    "from",      "further", "had",     "has",     "have",       "having",  "he",        "her",     "here",
    "hers",      "herself", "him",     "himself", "his",        "how",     "i",         "if",      "in",
    "into",      "is",      "it",      "its",     "itself",     "just",    "me",        "more",    "most",
    "my",        "myself",  "no",      "nor",     "not",        "now",     "of",        "off",     "on",
    "once",      "only",    "or",      "other",   "our",        "ours",    "ourselves", "out",     "over",
    "own",       "same",    "she",     "should",  "so",         "some",    "such",      "than",    "that",
    "the",       "their",   "theirs",  "them",    "themselves", "then",    "there",     "these",   "they",
    "this",      "those",   "through", "to",      "too",        "under",   "until",     "up",      "very",
    "was",       "we",      "were",    "what",    "when",       "where",   "which",     "while",   "who",
    "whom",      "why",     "will",    "with",    "would",      "you",     "your",      "yours",   "yourself",
    "yourselves"};

}  // namespace

int main(int argc, char** argv) {
  const std::string test_path = argc > 1 ? argv[1] : "../shared/data/20newsgroups/test.tsv";
  const std::string train_path = argc > 2 ? argv[2] : "../shared/data/20newsgroups/train.tsv";
  const std::vector<std::string> test = read_texts(test_path);
  const std::vector<std::string> train = read_texts(train_path);
  if (test.empty() || train.empty()) {
    std::fprintf(stderr, "no texts in %s or %s (give the test and train label<TAB>text files)\n",
                 test_path.c_str(), train_path.c_str());
    return 2;
  }
  ombrel::text::StopWordSet stop;
  for (const char* w : kStopWords) stop.insert(w);

  ombrel::textpipe::TokenTable table;
  std::unordered_map<std::string_view, std::uint32_t> map;
  for (const std::string& text : train) {
    ombrel::text::for_each_token(text, stop, true, 2, [&](std::string_view token) {
      table.insert(token);
      return true;
    });
  }
  for (std::uint32_t id = 0; id < table.size(); ++id) map.emplace(table.token(id), id);
  std::size_t bytes = 0;
  for (const std::string& text : test) bytes += text.size();

  std::uint64_t sink = 0;
  std::uint64_t tokens = 0;
  for (const std::string& text : test) {
    ombrel::text::for_each_token(text, stop, true, 2, [&](std::string_view) { return ++tokens, true; });
  }
  const auto round = [&](int kind) {
    const auto start = Clock::now();
    for (const std::string& text : test) {
      ombrel::text::for_each_token(text, stop, true, 2, [&](std::string_view token) {
        if (kind == 0) {
          sink += token.size();
        } else if (kind == 1) {
          sink += table.find(token);
        } else {
          const auto it = map.find(token);
          sink += it == map.end() ? ombrel::textpipe::TokenTable::kNotFound : it->second;
        }
        return true;
      });
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  double best[3] = {1e30, 1e30, 1e30};
  for (int r = 0; r < 5; ++r) {
    for (int kind = 0; kind < 3; ++kind) best[kind] = std::min(best[kind], round(kind));
  }
  const auto mbps = [&](double s) { return static_cast<double>(bytes) / s / 1e6; };
  std::printf("%zu test texts, %.1f MB; vocabulary of %zu training tokens\n", test.size(), bytes / 1e6,
              table.size());
  std::printf("tokenize only:                 %7.1f MB/s\n", mbps(best[0]));
  std::printf("tokenize + TokenTable:         %7.1f MB/s\n", mbps(best[1]));
  std::printf("tokenize + std::unordered_map: %7.1f MB/s\n", mbps(best[2]));
  const double table_cost = best[1] - best[0];
  const double map_cost = best[2] - best[0];
  std::printf(
      "whole loop: TokenTable %.2fx faster than unordered_map; look-ups alone %.2fx (%.1f vs %.1f ns per "
      "token)\n",
      best[2] / best[1], map_cost / table_cost, 1e9 * table_cost / static_cast<double>(tokens),
      1e9 * map_cost / static_cast<double>(tokens));
  std::fprintf(stderr, "(checksum %llu)\n", static_cast<unsigned long long>(sink));
  return 0;
}
