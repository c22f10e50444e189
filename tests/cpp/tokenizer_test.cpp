#include "lib/text/tokenizer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/text/unicode_tables.h"
#include "lib/text/utf8.h"

namespace ombrel::text {
namespace {

using Tokens = std::vector<std::string>;

std::string utf8_of(const std::vector<char32_t>& chars) {
  std::string out;
  char buffer[4];
  for (char32_t c : chars) out.append(buffer, utf8::encode(c, buffer));
  return out;
}

StopWordSet stop_set(std::initializer_list<std::string_view> words) {
  StopWordSet set;
  for (std::string_view w : words) set.insert(w);
  return set;
}

struct EdgeCase {
  std::string text;
  std::vector<std::string_view> stop_words;
  bool stemming;
  std::uint64_t min_length;
  Tokens expected;
};

TEST(TokenizeTest, EdgeCaseTable) {
  const std::string kelvin = "\u212A";
  const std::vector<EdgeCase> cases = {
      {"Hello, World!", {}, false, 1, {"hello", "world"}},
      {"Hello, World!", {}, false, 0, {"hello", "", "world", ""}},
      {"", {}, false, 0, {""}},
      {"", {}, false, 1, {}},
      {"", {""}, false, 0, {}},
      {"don't", {}, false, 1, {"don", "t"}},
      {"snake_case", {}, false, 1, {"snake", "case"}},
      {"3.14", {}, false, 1, {"3", "14"}},
      {"R2D2", {}, false, 1, {"r2d2"}},
      {"Ünïcödé", {}, false, 1, {"ünïcödé"}},
      {"x²", {}, false, 1, {"x²"}},
      {"café", {}, false, 5, {"café"}},
      {"cafe", {}, false, 5, {}},
      {kelvin, {}, false, 2, {}},
      {"nation", {}, true, 5, {"na"}},
      {"The THE the", {"the"}, false, 1, {}},
      {"The THE the", {"The"}, false, 1, {"the", "the", "the"}},
      {"running", {"running"}, true, 1, {}},
      {"running", {"run"}, true, 1, {"runn"}},
      {"ΟΔΟΣ", {}, false, 1, {"οδος"}},
      {"ΑΣ.Β", {}, false, 1, {"ασ", "β"}},
      {"ΑΣ Β", {}, false, 1, {"ας", "β"}},
      {"a a a", {}, false, 1, {"a", "a", "a"}},
  };
  for (const EdgeCase& c : cases) {
    StopWordSet stop_words;
    for (std::string_view w : c.stop_words) stop_words.insert(w);
    EXPECT_EQ(tokenize(c.text, stop_words, c.stemming, c.min_length), c.expected) << "text: " << c.text;
  }
  EXPECT_EQ(tokenize(kelvin, {}, false, 1), Tokens{"k"});
}

TEST(TokenizeTest, SeparatorsGiveOneMoreTokenThanTheyAre) {
  EXPECT_EQ(tokenize(" \t-_'", {}, false, 0), Tokens(6, ""));
  EXPECT_EQ(tokenize("a\u0301b", {}, false, 0), (Tokens{"a", "b"}));  // a mark that is not Alphabetic
  EXPECT_EQ(tokenize("a\u0345b", {}, false, 0), Tokens{"a\u0345b"});  // one that is
  EXPECT_EQ(tokenize("\u2167x\u0663", {}, false, 0), Tokens{"\u2177x\u0663"});  // Nl, Nd
  // U+0130 lowercases to i and a combining dot, which is a separator.
  EXPECT_EQ(tokenize("\u0130stanbul", {}, false, 0), (Tokens{"i", "stanbul"}));
  // Long ASCII stretches cross the eight-byte steps of the fast path.
  EXPECT_EQ(tokenize("ABCDEFGHIJKLMNOP,qrstuvwx.YZ0123456789é Z", {}, false, 0),
            (Tokens{"abcdefghijklmnop", "qrstuvwx", "yz0123456789é", "z"}));
}

TEST(TokenizeTest, JoiningMarksKeepsCombiningMarksInsideWords) {
  const std::string istanbul = "\u0130stanbul";           // lowers to i, U+0307, stanbul
  const std::string ecole = "e\u0301cole";                // decomposed
  const std::string kshatriya = "\u0915\u094D\u0937\u0924\u094D\u0930\u093F\u092F";  // viramas split it
  // The rule of `tokenize`, unchanged.
  EXPECT_EQ(tokenize(istanbul, {}, false, 1), (Tokens{"i", "stanbul"}));
  EXPECT_EQ(tokenize(ecole, {}, false, 1), (Tokens{"e", "cole"}));
  EXPECT_EQ(tokenize(kshatriya, {}, false, 1),
            (Tokens{"\u0915", "\u0937\u0924", "\u0930\u093F\u092F"}));
  EXPECT_EQ(tokenize(ecole, stop_set({ecole}), false, 1), (Tokens{"e", "cole"}));
  // Joined: one word each, and the stop-word test sees the whole word.
  EXPECT_EQ(tokenize(istanbul, {}, false, 1, Marks::kJoin), Tokens{"i\u0307stanbul"});
  EXPECT_EQ(tokenize(ecole, {}, false, 1, Marks::kJoin), Tokens{ecole});
  EXPECT_EQ(tokenize(kshatriya, {}, false, 1, Marks::kJoin), Tokens{kshatriya});
  EXPECT_EQ(tokenize(ecole + " x", stop_set({ecole}), false, 1, Marks::kJoin), Tokens{"x"});
  // A mark after a mark still continues; one that would begin a word is a separator (a stray
  // mark, or the variation selector after an emoji, is no word).
  EXPECT_EQ(tokenize("A\u0301\u0302b", {}, false, 0, Marks::kJoin), Tokens{"a\u0301\u0302b"});
  EXPECT_EQ(tokenize("\u0301ab \u20DD", {}, false, 0, Marks::kJoin), (Tokens{"", "ab", "", ""}));
  EXPECT_EQ(tokenize("\U0001F600\uFE0F ok", {}, false, 1, Marks::kJoin), Tokens{"ok"});
  std::vector<std::pair<std::string, bool>> seen;
  const auto sink = [&](std::string_view token, bool ascii) {
    seen.emplace_back(token, ascii);
    return true;
  };
  for_each_token("e\u0301 ab", StopWordSet{}, false, 1, Marks::kJoin, sink);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"e\u0301", false}, {"ab", true}}));
}

TEST(TokenizeTest, MinLengthCountsBytesOfTheLoweredToken) {
  EXPECT_EQ(tokenize("é e", {}, false, 2), Tokens{"é"});
  EXPECT_EQ(tokenize("é e", {}, false, 3), Tokens{});
  EXPECT_EQ(tokenize("日本 x", {}, false, 6), Tokens{"日本"});
  EXPECT_EQ(tokenize("Ⱥ", {}, false, 3), Tokens{"ⱥ"});  // 2 bytes, lowers to 3
  EXPECT_EQ(tokenize("abc", {}, false, UINT64_MAX), Tokens{});
}

TEST(TokenizeTest, StopWordsAreMatchedBeforeStemmingAndOnlyExactly) {
  const StopWordSet set = stop_set({"flies", "é", "ab"});
  EXPECT_EQ(tokenize("Flies fly É ab abc a", set, true, 0), (Tokens{"fly", "abc", "a"}));
  EXPECT_EQ(tokenize("flies", stop_set({"fly"}), true, 0), Tokens{"fly"});
}

TEST(StopWordSetTest, HoldsExactlyWhatWasInserted) {
  for (const bool reserve : {false, true}) {
    StopWordSet set;
    EXPECT_TRUE(set.empty());
    EXPECT_FALSE(set.contains(""));
    if (reserve) set.reserve(1500);
    std::set<std::string> words;
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
      std::string w(rng() % 40, '\0');
      for (char& c : w) c = static_cast<char>('a' + rng() % 3);  // few letters: many near misses
      set.insert(w);
      words.insert(w);
    }
    set.insert(*words.begin());  // duplicates are ignored
    EXPECT_EQ(set.size(), words.size());
    for (const std::string& w : words) {
      EXPECT_TRUE(set.contains(w)) << w;
      for (const std::string& near : {w + "a", w + "d", w.empty() ? "d" : w.substr(1), "d" + w}) {
        EXPECT_EQ(set.contains(near), words.count(near) == 1) << near;
      }
    }
  }
}

TEST(StemTokenTest, ExampleTable) {
  const std::vector<std::pair<std::string, std::string>> examples = {
      {"nation", "na"},     {"vision", "vi"},     {"movement", "move"}, {"happiness", "happi"},
      {"running", "runn"},  {"thing", "thing"},   {"things", "thing"},  {"flies", "fly"},
      {"studies", "study"}, {"quickly", "quick"}, {"jumped", "jump"},   {"speed", "spe"},
      {"boxes", "box"},     {"classes", "class"}, {"class", "class"},   {"nations", "nation"},
      {"cats", "cats"},
  };
  std::string scratch;
  for (const auto& [token, stem] : examples) EXPECT_EQ(stem_token(token, scratch), stem) << token;
}

TEST(StemTokenTest, LengthThresholdsAndRuleOrder) {
  std::string scratch;
  for (const char* short_token : {"", "s", "ies", "ties", "tion", "ing", "ness", "ly"}) {
    EXPECT_EQ(stem_token(short_token, scratch), short_token);
  }
  EXPECT_EQ(stem_token("xties", scratch), "xty");
  EXPECT_EQ(stem_token("xtion", scratch), "x");
  EXPECT_EQ(stem_token("xxing", scratch), "xxing");
  EXPECT_EQ(stem_token("xxxing", scratch), "xxx");
  EXPECT_EQ(stem_token("xxxss", scratch), "xxxss");
  EXPECT_EQ(stem_token("blessing", scratch), "bless");  // rule 5 wins over rule 10
  EXPECT_EQ(stem_token("caféed", scratch), "café");
  // Results that are prefixes point into the token itself.
  const std::string token = "jumped";
  EXPECT_EQ(stem_token(token, scratch).data(), token.data());
}

TEST(LowercaseTest, FinalSigmaContext) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Σ", "σ"},  // nothing before
      {"ΑΣ", "ας"},
      {"ΣΣ", "σς"},
      {"ΑΣΣΑ", "ασσα"},
      {"aΣ", "aς"},    // any cased letter counts, ASCII included
      {"a.Σ", "a.ς"},  // ignorable before
      {"a.:'^`Σ", "a.:'^`ς"},
      {"Α\u0301Σ", "α\u0301ς"},
      {"a Σ", "a σ"},  // a space is not ignorable
      {"1Σ", "1σ"},
      {"ΑΣ'", "ας'"},              // ignorable after, then the end
      {"ΑΣ\u0301Β", "ασ\u0301β"},  // ignorable after, then cased
      {"ΑΣ.'.Β", "ασ.'.β"},        // across separators
      {"ΑΣ.' Β", "ας.' β"},
      {"ΑΣ1", "ας1"},
      // U+0345 is Cased and Case_Ignorable: it counts as ignorable on both sides.
      {" \u0345Σ", " \u0345σ"},
      {"Α\u0345Σ", "α\u0345ς"},
      {"ΑΣ\u0345", "ας\u0345"},
      {"ΑΣ\u0345Β", "ασ\u0345β"},
      {"ΑΣ\xff", "ας\xff"},  // a malformed byte is neither cased nor ignorable
      {"\xffΣ", "\xffσ"},
  };
  for (const auto& [text, lowered] : cases) EXPECT_EQ(lowercase(text), lowered) << text;
}

TEST(LowercaseTest, LongRunsOfSigmasAndIgnorables) {
  constexpr int kRun = 20000;
  std::string text = "Α", expected = "α";
  for (int i = 0; i < kRun; ++i) {
    text += "Σ'''''''''";
    expected += (i + 1 < kRun ? "σ" : "ς") + std::string(9, '\'');
  }
  EXPECT_EQ(lowercase(text), expected);
  std::string ignorables(200000, '.');
  EXPECT_EQ(lowercase("Α" + ignorables + "Σ" + ignorables), "α" + ignorables + "ς" + ignorables);
}

TEST(ForEachTokenTest, SinkSeesAsciiFlagAndCanStop) {
  std::vector<std::pair<std::string, bool>> seen;
  const bool finished =
      for_each_token("Abc É \u212A xy", StopWordSet{}, false, 1, [&](std::string_view token, bool ascii) {
        seen.emplace_back(token, ascii);
        return true;
      });
  EXPECT_TRUE(finished);
  const std::vector<std::pair<std::string, bool>> expected = {
      {"abc", true}, {"é", false}, {"k", true}, {"xy", true}};
  EXPECT_EQ(seen, expected);

  int calls = 0;
  EXPECT_FALSE(
      for_each_token("a b c d", StopWordSet{}, false, 0, [&](std::string_view) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

// Tokens of arbitrary bytes are well-formed UTF-8 made of token characters only.
void expect_well_formed_tokens(const std::string& bytes) {
  for (const std::string& token : tokenize(bytes, {}, false, 0)) {
    const auto* p = reinterpret_cast<const unsigned char*>(token.data());
    const auto* end = p + token.size();
    while (p < end) {
      char32_t cp = *p;
      unsigned length = 1;
      if (cp >= 0x80) {
        const utf8::Decoded d = utf8::decode(p, end);
        ASSERT_NE(d.length, 0u) << "malformed token";
        cp = d.code_point;
        length = d.length;
      }
      ASSERT_TRUE(unicode::record_of(cp).flags & unicode::kTokenChar)
          << "U+" << std::hex << static_cast<unsigned>(cp);
      p += length;
    }
  }
}

TEST(MalformedInputTest, InvalidBytesAreSeparatorsKeptByLowercase) {
  // Stray continuation, overlong, surrogate, above U+10FFFF, bad lead bytes: each byte alone.
  for (const std::string bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8", "\xFF"}) {
    EXPECT_EQ(lowercase("A" + bad + "B"), "a" + bad + "b");
    Tokens expected = {"a"};
    for (std::size_t i = 1; i < bad.size(); ++i) expected.push_back("");
    expected.push_back("b");
    EXPECT_EQ(tokenize("A" + bad + "B", {}, false, 0), expected);
  }
  // Every cut of a multi-byte character, at the very end of its own allocation: the
  // complete characters are lowered, the bytes of the cut one are kept.
  const std::string sample = "Ω€𝔄ΑΣ\u0130";
  std::size_t boundary = 0;
  for (std::size_t cut = 0; cut <= sample.size(); ++cut) {
    if (cut == sample.size() || (sample[cut] & 0xC0) != 0x80) boundary = cut;
    const auto exact = std::make_unique<char[]>(cut);
    std::copy(sample.begin(), sample.begin() + cut, exact.get());
    const std::string_view prefix(exact.get(), cut);
    expect_well_formed_tokens(std::string(prefix));
    EXPECT_EQ(lowercase(prefix),
              lowercase(prefix.substr(0, boundary)) + std::string(prefix.substr(boundary)));
  }
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes(rng() % 64, '\0');
    for (char& c : bytes) {
      // Mostly high bytes and sigma pieces, so that sequences are often almost valid.
      const unsigned r = rng();
      c = static_cast<char>(r % 4 == 0 ? "\xCE\xA3\xCD\x85.'A"[r / 4 % 7] : 0x80 | (r / 4));
    }
    expect_well_formed_tokens(bytes);
  }
}

TEST(HugeTextTest, CountsTokensOfManyMegabytes) {
  const std::string unit = "Lorem IPSUM dolor, sit ΑΜΕΤ; consectetur ";  // 8 separators
  std::string text;
  constexpr std::size_t kUnits = (48u << 20) / 44;
  text.reserve(kUnits * unit.size());
  for (std::size_t i = 0; i < kUnits; ++i) text += unit;
  std::size_t tokens = 0, bytes = 0;
  for_each_token(text, StopWordSet{}, true, 0, [&](std::string_view token) {
    ++tokens;
    bytes += token.size();
    return true;
  });
  EXPECT_EQ(tokens, 8 * kUnits + 1);
  EXPECT_EQ(bytes, kUnits * std::string("loremipsumdolorsitαμετconsectetur").size());
}

// The Unicode Character Database, parsed independently of the generator.
class UnicodeDatabase {
 public:
  explicit UnicodeDatabase(const std::string& dir) : dir_(dir) {}

  bool load() {
    std::ifstream data(dir_ + "/UnicodeData.txt");
    std::ifstream special(dir_ + "/SpecialCasing.txt");
    std::ifstream derived(dir_ + "/DerivedCoreProperties.txt");
    if (!data || !special || !derived) return false;
    std::getline(derived, version_line_);
    derived.seekg(0);
    char32_t range_first = 0;
    for (const auto& f : rows(data)) {
      const char32_t cp = hex(f[0]);
      if (f[1].ends_with(", First>")) {
        range_first = cp;
        continue;
      }
      const char32_t first = f[1].ends_with(", Last>") ? range_first : cp;
      for (char32_t c = first; c <= cp; ++c) category_[c] = f[2];
      if (!f[13].empty()) lower_[cp] = {hex(f[13])};
    }
    for (const auto& f : rows(special)) {
      if (f.size() > 4 && !f[4].empty()) continue;  // conditional mappings
      std::vector<char32_t> chars;
      std::istringstream in(f[1]);
      for (std::string c; in >> c;) chars.push_back(hex(c));
      lower_[hex(f[0])] = chars;
    }
    for (const auto& f : rows(derived)) {
      const std::size_t dots = f[0].find("..");
      const char32_t lo = hex(f[0].substr(0, dots));
      const char32_t hi = dots == std::string::npos ? lo : hex(f[0].substr(dots + 2));
      for (char32_t c = lo; c <= hi; ++c) properties_[f[1]].insert(c);
    }
    return true;
  }

  const std::string& version_line() const { return version_line_; }
  bool is_mark(char32_t cp) const {
    const auto it = category_.find(cp);
    return it != category_.end() && (it->second == "Mn" || it->second == "Mc" || it->second == "Me");
  }
  bool has(const char* property, char32_t cp) const {
    const auto it = properties_.find(property);
    return it != properties_.end() && it->second.count(cp) != 0;
  }
  bool is_token(char32_t cp) const {
    const auto it = category_.find(cp);
    const bool number =
        it != category_.end() && (it->second == "Nd" || it->second == "Nl" || it->second == "No");
    return number || has("Alphabetic", cp);
  }
  std::vector<char32_t> lower(char32_t cp) const {
    const auto it = lower_.find(cp);
    return it == lower_.end() ? std::vector<char32_t>{cp} : it->second;
  }

 private:
  static char32_t hex(const std::string& s) { return static_cast<char32_t>(std::stoul(s, nullptr, 16)); }

  static std::vector<std::vector<std::string>> rows(std::istream& in) {
    std::vector<std::vector<std::string>> result;
    for (std::string line; std::getline(in, line);) {
      line = line.substr(0, line.find('#'));
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::vector<std::string> fields;
      std::istringstream fields_in(line);
      for (std::string field; std::getline(fields_in, field, ';');) {
        const auto first = field.find_first_not_of(' ');
        const auto last = field.find_last_not_of(' ');
        fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
      }
      while (fields.size() < 15) fields.emplace_back();
      result.push_back(std::move(fields));
    }
    return result;
  }

  std::string dir_;
  std::string version_line_;
  std::map<char32_t, std::string> category_;
  std::map<char32_t, std::vector<char32_t>> lower_;
  std::map<std::string, std::set<char32_t>> properties_;
};

TEST(UnicodeTablesTest, EveryCodePointMatchesTheDatabase) {
  const char* env = std::getenv("OMBREL_UCD_DIR");
  UnicodeDatabase ucd(env != nullptr ? env : OMBREL_UCD_DIR);
  if (!ucd.load()) {
    GTEST_SKIP()
        << "Unicode Character Database files not found (install the package unicode-data, "
           "or point OMBREL_UCD_DIR at UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt)";
  }
  EXPECT_NE(ucd.version_line().find(std::string("-") + unicode::unicode_version() + ".txt"),
            std::string::npos)
      << ucd.version_line();
  int failures = 0;
  for (char32_t cp = 0; cp <= unicode::kMaxCodePoint && failures < 20; ++cp) {
    const unicode::CharRecord& record = unicode::record_of(cp);
    const std::vector<char32_t> lower = ucd.lower(cp);
    std::vector<char32_t> table_lower;
    if (record.flags & unicode::kMultiLowercase) {
      const unicode::MultiLowercase& m = unicode::multi_lowercase(record);
      table_lower.assign(m.chars, m.chars + m.size);
    } else {
      table_lower = {static_cast<char32_t>(static_cast<std::int32_t>(cp) + record.lowercase)};
    }
    const bool ok = table_lower == lower && ((record.flags & unicode::kTokenChar) != 0) == ucd.is_token(cp) &&
                    ((record.flags & unicode::kCased) != 0) == ucd.has("Cased", cp) &&
                    ((record.flags & unicode::kCaseIgnorable) != 0) == ucd.has("Case_Ignorable", cp) &&
                    ((record.flags & unicode::kMark) != 0) == ucd.is_mark(cp);
    EXPECT_TRUE(ok) << "U+" << std::hex << static_cast<unsigned>(cp);
    failures += !ok;
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // no UTF-8 form
    if (cp == 0x03A3) continue;                  // context-dependent, tested above

    // The same character through the whole pipeline, ASCII fast path included.
    const std::string text = utf8_of({cp});
    const std::string lowered = utf8_of(lower);
    EXPECT_LE(2 * lowered.size(), 3 * text.size());  // the lowered buffer's bound
    Tokens expected(1);
    for (char32_t c : lower) {
      if (ucd.is_token(c)) {
        expected.back() += utf8_of({c});
      } else {
        expected.emplace_back();
      }
    }
    const bool pipeline_ok = lowercase(text) == lowered && tokenize(text, {}, false, 0) == expected;
    EXPECT_TRUE(pipeline_ok) << "U+" << std::hex << static_cast<unsigned>(cp);
    failures += !pipeline_ok;
  }
}

}  // namespace
}  // namespace ombrel::text
