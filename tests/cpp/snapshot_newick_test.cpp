// The Newick dialect: tokens, lengths, comments, quotes, translate maps and every reader message.
#include "snapshot/newick.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "snapshot/build.h"
#include "snapshot/messages.h"

namespace brantoveil::snapshot {
namespace {

std::string syntax(std::string_view reason) { return "Failed to parse newick at index 0: " + std::string(reason); }

// The leaf index views its names, so they live as long as the tests.
const std::vector<std::string> kAB{"A", "B"};

const std::string kUnnamed = "Tree 0 has an unnamed leaf. All leaves must be named.";

std::string format_length(double length) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", length);
  return buffer;
}

// Reads `text` as a first tree (name mode, leaf set, then rooted tree mode) and lists its parts
// as "names:length" in emission order, names joined with '|'; or the first error message.
std::string read_rooted(std::string_view text, const TranslateMap& translate = TranslateMap()) {
  auto names = leaf_names(text, translate);
  if (!names) return names.error();
  std::vector<std::string> sorted = names.value();
  if (Status prepared = prepare_leaf_set(sorted); !prepared) return prepared.error();
  const LeafContext context = make_leaf_context(sorted, /*rooted=*/true);
  auto tree = snapshot(text, translate, 0, context);
  if (!tree) return tree.error();
  std::string out;
  for (const Part& part : tree.value().parts) {
    if (!out.empty()) out += ' ';
    for (std::uint32_t k = 0; k < part.size; ++k) {
      if (k > 0) out += '|';
      out += sorted[tree.value().leaf_order[part.start + k]];
    }
    out += ':' + format_length(part.length);
  }
  return out;
}

struct DialectRow {
  std::string_view text;
  std::string expected;  // parts, or the exact message
};

TEST(NewickReader, ReadsTheDialect) {
  const DialectRow rows[] = {
      // Plain groups; the same text over several lines with tabs.
      {"(A,B,(C,D));", "A:0 B:0 C:0 D:0 C|D:0"},
      {"(\n\tA ,\r\n\tB,\f(C,\tD)\n)\n;", "A:0 B:0 C:0 D:0 C|D:0"},
      // Root label and root length are ignored; a support value is ignored, its length kept.
      {"(A,B)C:0.5;", "A:0 B:0"},
      {"((A,B)0.95:1,C,D);", "A:0 B:0 A|B:1 C:0 D:0"},
      // Empty lengths leave 0; a second colon overwrites; comments anywhere between tokens.
      {"(A:,B:);", "A:0 B:0"},
      {"(A:1[&note]:2,B,C);", "A:2 B:0 C:0"},
      {"([c](A[x]:[y] 1 .5[z],B)[w]);", "A:1.5 B:0"},  // the whole-tree group is dropped
      {"(A],B]);", "A:0 B:0"},
      // Only the first tree is read.
      {"(A,B);xyz", "A:0 B:0"},
      {"(A,B); (C,D);", "A:0 B:0"},
      {"(A,B);(", "A:0 B:0"},
      // A single leaf without a group.
      {"A;", ""},
      // Whitespace inside a label is removed, quoted runs keep theirs and their quotes.
      {"(A B,C);", "AB:0 C:0"},
      {"(\"A,B\",C);", "\"A,B\":0 C:0"},
      {"(\"Homo sapiens\",x\" y \"z,C);", "\"Homo sapiens\":0 x\" y \"z:0 C:0"},
      {"('A B',C);", "'AB':0 C:0"},
      {"(A\vB,C);", "A\vB:0 C:0"},
      // Lengths as written, including signs, infinities and NaN.
      {"(A:1e-3,B:-2,C:inf,D:NaN);", "A:0.001 B:-2 C:inf D:nan"},
      // Syntax errors.
      {"", syntax("the tree does not end in ';'")},
      {"(A,B)", syntax("the tree does not end in ';'")},
      {"(A,B):", syntax("the tree does not end in ';'")},
      {"(\"A,B);", syntax("the tree does not end in ';'")},
      {";", syntax("the tree is empty")},
      {"[c];", syntax("the tree is empty")},
      {"((A,B);", syntax("a '(' is never closed")},
      {"A,B;", syntax("',' outside any subtree")},
      {"(A,B))C;", syntax("')' outside any subtree")},
      {")", syntax("')' outside any subtree")},
      {"(A,B)(C,D);", syntax("'(' after a finished subtree")},
      {"A(B);", syntax("'(' after a finished subtree")},
      {"(A,B)[x;", syntax("a '[' comment is never closed")},
      {"(A:[x,B);", syntax("a '[' comment is never closed")},
      {"[", syntax("a '[' comment is never closed")},
      {"(A:x,B);", syntax("invalid branch length \"x\": invalid float literal")},
      {"(A:1 x,B);", syntax("invalid branch length \"1x\": invalid float literal")},
      // Unnamed leaves, reported as they stand.
      {"(A,,B);", kUnnamed},
      {"(A,B,);", kUnnamed},
      {"();", kUnnamed},
      {"(:1,A);", kUnnamed},
      {":1;", kUnnamed},
      // The first tree's leaf set must be duplicate-free.
      {"(B,A,B);", "Tree 0 has duplicate leaf names. All leaf names must be unique."},
  };
  for (const auto& row : rows) EXPECT_EQ(read_rooted(row.text), row.expected) << "text: " << row.text;
}

TEST(NewickReader, ReadsLabelsHoldingNulAndHighBytes) {
  static constexpr char kText[] = "(A\0B,\xff\xfe,C);";
  static constexpr char kParts[] = "A\0B:0 \xff\xfe:0 C:0";
  EXPECT_EQ(read_rooted(std::string(kText, sizeof kText - 1)), std::string(kParts, sizeof kParts - 1));
}

struct LengthRow {
  std::string_view token;
  double expected;  // NaN for NaN
};

TEST(NewickReader, ParsesBranchLengthNumbers) {
  const double inf = INFINITY;
  const LengthRow rows[] = {
      {"1", 1},          {"1.", 1},           {".5", 0.5},         {"+2", 2},           {"-0.25", -0.25},
      {"1E2", 100},      {"-1e+2", -100},     {"2.5e-3", 0.0025},  {"007", 7},          {"0.0123456789", 0.0123456789},
      {"INF", inf},      {"-Infinity", -inf}, {"+iNf", inf},       {"nAn", NAN},        {"-NaN", NAN},
      {"1e400", inf},    {"-1e400", -inf},    {"1e-400", 0},       {"1e99999999999999999999", inf},
      {"0e999999", 0},   {"4.9e-324", 4.9e-324},  {"3.083642e-02", 3.083642e-02}, {"-0e5", -0.0},
      {"9007199254740993e-22", 9007199254740993e-22},   {"1.5E+0022", 1.5e22},  {"1.5e00023", 1.5e23},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      {"0.00000000000000000000000001", 1e-26},
  };
  for (const auto& row : rows) {
    const std::string text = "(A:" + std::string(row.token) + ",B);";
    auto names = leaf_names(text, TranslateMap());
    ASSERT_TRUE(names.ok()) << row.token << ": " << names.error();
    const LeafContext context = make_leaf_context(kAB, true);
    auto tree = snapshot(text, TranslateMap(), 0, context);
    ASSERT_TRUE(tree.ok()) << row.token << ": " << tree.error();
    const double length = tree.value().parts[0].length;
    if (std::isnan(row.expected)) {
      EXPECT_TRUE(std::isnan(length)) << row.token;
    } else {
      EXPECT_EQ(length, row.expected) << row.token;
      EXPECT_EQ(std::signbit(length), std::signbit(row.expected)) << row.token;
    }
  }
  // Underflow keeps the sign, like the nearest double would.
  const LeafContext context = make_leaf_context(kAB, true);
  auto tree = snapshot("(A:-1e-400,B);", TranslateMap(), 0, context);
  ASSERT_TRUE(tree.ok());
  EXPECT_TRUE(std::signbit(tree.value().parts[0].length));
}

TEST(NewickReader, RejectsMalformedNumbers) {
  for (std::string_view token : {"x", "1_0", "0x10", "1e", "1e+", "e5", ".", "-", "+", "--1", "+-1", "1.2.3", "1e5.0",
                                 "in", "infinit", "infinityy", "nana", "1e5e5", "1..", "\"1\"", "1'", "1.5f", "\x01",
                                 // junk inside or right after an eight-digit block
                                 "12345678a9", "1234567\xff", "0.1234567\xba", "0.12345678\xc0", "1234/678",
                                 "0.123456789012345678901234x"}) {
    const std::string text = "(A:" + std::string(token) + ",B);";
    EXPECT_EQ(read_rooted(text),
              syntax("invalid branch length " + messages::quoted_debug(token) + ": invalid float literal"))
        << token;
  }
}

// Every decimal is read as the nearest double: compared with strtod over many shapes.
TEST(NewickReader, ConvertsDecimalsToTheNearestDouble) {
  std::mt19937_64 random(7);
  const LeafContext context = make_leaf_context(kAB, true);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string number;
    const int integer_digits = static_cast<int>(random() % 6);
    const int fraction_digits = static_cast<int>(random() % 25);
    for (int i = 0; i < integer_digits; ++i) number += static_cast<char>('0' + random() % 10);
    if (fraction_digits > 0 || integer_digits == 0) {
      number += '.';
      for (int i = 0; i < std::max(fraction_digits, 1); ++i) number += static_cast<char>('0' + random() % 10);
    }
    if (random() % 3 == 0) number += "e" + std::to_string(static_cast<int>(random() % 80) - 40);
    auto tree = snapshot("(A:" + number + ",B);", TranslateMap(), 0, context);
    ASSERT_TRUE(tree.ok()) << number;
    ASSERT_EQ(tree.value().parts[0].length, std::strtod(number.c_str(), nullptr)) << number;
  }
}

TEST(NewickReader, TranslatesLabels) {
  TranslateMap translate;
  translate.insert("1", "Homo");
  translate.insert("2", "Pan");
  EXPECT_EQ(read_rooted("(1,2);", translate), "Homo:0 Pan:0");
  EXPECT_EQ(read_rooted("(1,3);", translate), kUnnamed);
  // Exact byte matches only: the label "Homo" is not a key.
  EXPECT_EQ(read_rooted("(1,Homo);", translate), kUnnamed);
}

TEST(NewickReader, TranslateMapSurvivesGrowthAndReplacement) {
  TranslateMap translate;
  for (int i = 0; i < 1000; ++i) translate.insert(std::to_string(i), "T" + std::to_string(i));
  translate.insert("5", "five");
  TranslateMap moved = std::move(translate);
  EXPECT_EQ(moved.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    const std::string* taxon = moved.find(std::to_string(i));
    ASSERT_NE(taxon, nullptr) << i;
    EXPECT_EQ(*taxon, i == 5 ? "five" : "T" + std::to_string(i));
  }
  EXPECT_EQ(moved.find("1000"), nullptr);
  TranslateMap reserved;
  reserved.insert("a", "x");
  reserved.reserve(100);
  reserved.insert("b", "y");
  ASSERT_NE(reserved.find("a"), nullptr);
  EXPECT_EQ(*reserved.find("a"), "x");
  EXPECT_EQ(*reserved.find("b"), "y");
}

struct TokenRow {
  std::string_view text;
  std::size_t pos;
  std::string_view value;
  std::size_t end;
};

TEST(NewickTokenizer, CleansWhitespaceOutsideQuotes) {
  const TokenRow rows[] = {
      {"Homo sapiens,", 0, "Homosapiens", 12},
      {"\"Homo sapiens\",", 0, "\"Homo sapiens\"", 14},
      {"'A B')", 0, "'AB'", 5},
      {"1 .5;", 0, "1.5", 4},
      {"A  ,", 0, "A", 3},
      {"x(A", 1, "", 1},
      {"abc", 3, "", 3},
      {"a\"b,c", 0, "a\"b,c", 5},   // an unclosed quote runs to the end
      {"a\" \" b:", 0, "a\" \"b", 6},  // whitespace after a closed run is removed again
      {"[c]", 0, "", 0},
  };
  for (const auto& row : rows) {
    const Token token = snapshot::token(row.text, row.pos);
    EXPECT_EQ(token.value, row.value) << row.text;
    EXPECT_EQ(token.end, row.end) << row.text;
  }
}

TEST(NewickTokenizer, CopiesKeepTheirOwnValue) {
  Token original = token("A B C,", 0);
  ASSERT_EQ(original.value, "ABC");
  const Token copy = original;
  Token moved = std::move(original);
  original = token("x y", 0);
  EXPECT_EQ(copy.value, "ABC");
  EXPECT_EQ(moved.value, "ABC");
  EXPECT_EQ(original.value, "xy");
  Token assigned;
  assigned = copy;
  EXPECT_EQ(assigned.value, "ABC");
  EXPECT_NE(assigned.value.data(), copy.value.data());
}

TEST(NewickReader, CollectsNamesInTextOrder) {
  auto names = leaf_names("((c,b)x:1,(a,\"d e\"));", TranslateMap());
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names.value(), (std::vector<std::string>{"c", "b", "a", "\"d e\""}));
  // Name mode does not check repeats; leaf set preparation does.
  auto repeated = leaf_names("(a,a);", TranslateMap());
  ASSERT_TRUE(repeated.ok());
  EXPECT_EQ(repeated.value().size(), 2u);
}

TEST(LeafSet, SortsByteWiseAndRejectsDuplicates) {
  std::vector<std::string> names{"b", "B", "a", "\xc3\xa9", "ab", ""};
  ASSERT_TRUE(prepare_leaf_set(names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xc3\xa9"}));
  std::vector<std::string> twice{"x", "y", "x"};
  const Status status = prepare_leaf_set(twice);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), "Tree 0 has duplicate leaf names. All leaf names must be unique.");
}

TEST(TreeMode, ReportsLeafSetErrorsWithTheTreeIndex) {
  const std::vector<std::string> abc{"A", "B", "C"};
  const LeafContext context = make_leaf_context(abc, false);
  const struct {
    std::string_view text;
    std::string expected;
  } rows[] = {
      {"(A,B,A);", "Tree 3 repeats the leaf name \"A\". All leaf names must be unique."},
      {"(A,B,D);", "Tree 3 has a different leaf set than tree 0. All trees must share the same taxa."},
      {"(A,B);", "Tree 3 has a different leaf set than tree 0. All trees must share the same taxa."},
      {"(A,,B);", "Tree 3 has an unnamed leaf. All leaves must be named."},
      {"(A,B,C)", "Failed to parse newick at index 3: the tree does not end in ';'"},
  };
  for (const auto& row : rows) {
    auto tree = snapshot(row.text, TranslateMap(), 3, context);
    ASSERT_FALSE(tree.ok()) << row.text;
    EXPECT_EQ(tree.error(), row.expected) << row.text;
  }
  // The repeated name is shown in its debug form, after translation.
  TranslateMap translate;
  translate.insert("1", "A\"\n");
  translate.insert("2", "B");
  translate.insert("3", "C");
  const std::vector<std::string> odd_names{"A\"\n", "B", "C"};
  const LeafContext odd = make_leaf_context(odd_names, false);
  auto tree = snapshot("(1,2,1);", translate, 12, odd);
  ASSERT_FALSE(tree.ok());
  EXPECT_EQ(tree.error(), "Tree 12 repeats the leaf name \"A\\\"\\n\". All leaf names must be unique.");
}

// Where each fault is found, in bytes from the start of the tree's text; faults of the leaf set as a
// whole have no place. Name mode (tree 0's first pass) places syntax errors the same way.
TEST(TreeMode, PlacesEachErrorAtItsByte) {
  constexpr std::uint64_t kNone = Error::kUnknown;
  const std::vector<std::string> abc{"A", "B", "C"};
  const LeafContext context = make_leaf_context(abc, false);
  TranslateMap numbers;
  numbers.insert("1", "A");
  numbers.insert("2", "B");
  numbers.insert("3", "C");
  const TranslateMap plain;
  const struct {
    std::string_view text;
    const TranslateMap& translate;
    ErrorKind kind;
    std::uint64_t offset;
    std::string reason;
  } rows[] = {
      // Missing ';': the end of the text.
      {"(A,B,C)", plain, ErrorKind::syntax, 7, "the tree does not end in ';'"},
      {"", plain, ErrorKind::syntax, 0, "the tree does not end in ';'"},
      // An unfinished tree: its ';'.
      {" [x] ;", plain, ErrorKind::syntax, 5, "the tree is empty"},
      {"((A,B),C;", plain, ErrorKind::syntax, 8, "a '(' is never closed"},
      // A stray delimiter, an unclosed comment's '['.
      {"(A,B),C);", plain, ErrorKind::syntax, 5, "',' outside any subtree"},
      {"(A,B,C));", plain, ErrorKind::syntax, 7, "')' outside any subtree"},
      {"(A,B)(C);", plain, ErrorKind::syntax, 5, "'(' after a finished subtree"},
      {"(A,B,C)[x;", plain, ErrorKind::syntax, 7, "a '[' comment is never closed"},
      {"(A: [x,B,C);", plain, ErrorKind::syntax, 4, "a '[' comment is never closed"},
      // A bad length: its first byte after the colon, spaces and comments; bytes, not characters.
      {"(A:1,B: [c]2x5,C);", plain, ErrorKind::syntax, 11, "invalid branch length \"2x5\": invalid float literal"},
      {"(A:1.5x,B,C);", plain, ErrorKind::syntax, 3, "invalid branch length \"1.5x\": invalid float literal"},
      {"([\xc3\xa9]A,B:x,C);", plain, ErrorKind::syntax, 9, "invalid branch length \"x\": invalid float literal"},
      // Leaves: the delimiter after an empty one, the label of a repeat or an unknown translation.
      {"(A,,B,C);", plain, ErrorKind::tree, 3, "has an unnamed leaf. All leaves must be named."},
      {"(:1,A,B,C);", plain, ErrorKind::tree, 1, "has an unnamed leaf. All leaves must be named."},
      {"(1,2,9);", numbers, ErrorKind::tree, 5, "has an unnamed leaf. All leaves must be named."},
      {"(A,B,C, A);", plain, ErrorKind::tree, 8, "repeats the leaf name \"A\". All leaf names must be unique."},
      {"(A,B,D);", plain, ErrorKind::leaf_set, kNone,
       "has a different leaf set than tree 0. All trees must share the same taxa."},
      {"(A,B);", plain, ErrorKind::leaf_set, kNone,
       "has a different leaf set than tree 0. All trees must share the same taxa."},
  };
  for (const auto& row : rows) {
    auto tree = snapshot(row.text, row.translate, 3, context);
    ASSERT_FALSE(tree.ok()) << row.text;
    const Error& error = tree.failure();
    EXPECT_EQ(error.kind, row.kind) << row.text;
    EXPECT_EQ(error.tree, 3u) << row.text;
    EXPECT_EQ(error.offset, row.offset) << row.text;
    EXPECT_EQ(error.reason(), row.reason) << row.text;
    if (row.kind != ErrorKind::syntax) continue;
    auto names = leaf_names(row.text, row.translate);
    ASSERT_FALSE(names.ok()) << row.text;
    EXPECT_EQ(names.failure().offset, row.offset) << row.text;
  }
}

TEST(Messages, QuotesNamesReadably) {
  const struct {
    std::string_view text;
    std::string_view expected;
  } rows[] = {
      {"x", "\"x\""},
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string_view("\0", 1), "\"\\0\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"'", "\"'\""},
      {"caf\xc3\xa9 \xe6\x97\xa5", "\"caf\xc3\xa9 \xe6\x97\xa5\""},  // printable non-ASCII stays
      {"\xc2\x85", "\"\\u{85}\""},                                   // C1 control
      {"\xe2\x80\x8b", "\"\\u{200b}\""},                             // zero-width space
      {"\xff", "\"\\xff\""},                                         // malformed bytes shown as bytes
      {"\xc3(", "\"\\xc3(\""},
      {"\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},  // an encoded surrogate is malformed
  };
  for (const auto& row : rows) EXPECT_EQ(messages::quoted_debug(row.text), row.expected);
}

// Nesting depth is bounded by memory only: a million levels in both modes.
TEST(NewickReader, ReadsAMillionLevelsDeep) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string text = "(B:1,";
  text.append(kDepth, '(');
  text += "A:1";
  for (std::size_t i = 0; i < kDepth; ++i) text += "):1";
  text += ");";
  auto names = leaf_names(text, TranslateMap());
  ASSERT_TRUE(names.ok()) << names.error();
  EXPECT_EQ(names.value(), (std::vector<std::string>{"B", "A"}));
  for (bool rooted : {false, true}) {
    const LeafContext context = make_leaf_context(kAB, rooted);
    auto tree = snapshot(text, TranslateMap(), 0, context);
    ASSERT_TRUE(tree.ok()) << tree.error();
    ASSERT_EQ(tree.value().parts.size(), 2u);
    for (const Part& part : tree.value().parts) {
      EXPECT_EQ(part.length, part.key == context.labels[0] ? kDepth + 1.0 : 1.0);
    }
  }
  // Unclosed, the same depth fails cleanly.
  std::string open(kDepth, '(');
  EXPECT_EQ(read_rooted(open + "A;"), syntax("a '(' is never closed"));
}

// Texts of 100 MB in one label, one comment, one run of whitespace or one unclosed quote.
TEST(NewickReader, ReadsHundredMegabyteTexts) {
  constexpr std::size_t kSize = 100'000'000;
  const std::string big(kSize, 'x');
  {
    auto names = leaf_names("(" + big + ",B);", TranslateMap());
    ASSERT_TRUE(names.ok());
    EXPECT_EQ(names.value()[0].size(), kSize);
  }
  EXPECT_EQ(read_rooted("(A[" + big + "],B);"), "A:0 B:0");
  EXPECT_EQ(read_rooted("(A" + std::string(kSize, ' ') + ",B);"), "A:0 B:0");
  EXPECT_EQ(read_rooted("(A,\"" + big + ");"), syntax("the tree does not end in ';'"));
  EXPECT_EQ(read_rooted("(A:" + std::string(kSize, '1') + ",B);"), "A:inf B:0");
}

// Arbitrary bytes never crash or read out of bounds: a quick in-tree cousin of the fuzz target.
TEST(NewickReader, SurvivesGarbage) {
  std::mt19937_64 random(11);
  // Sized by the array, not by strlen: the embedded NUL and the bytes after it belong to it.
  static constexpr char kAlphabet[] = "(),:;[]\" \t'ABCabc0123.e-+\x00\xff\x0b";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  ASSERT_EQ(alphabet.size(), 28u);
  ASSERT_EQ(alphabet.substr(25), std::string("\x00\xff\x0b", 3));
  const std::vector<std::string> names6{"A", "B", "C", "a", "b", "c"};
  const LeafContext context = make_leaf_context(names6, false);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    auto names = leaf_names(text, TranslateMap());
    auto tree = snapshot(text, TranslateMap(), 5, context);
    if (tree.ok()) {
      EXPECT_TRUE(names.ok()) << text;
      EXPECT_EQ(tree.value().leaf_order.size(), 6u) << text;
    } else {
      EXPECT_FALSE(tree.error().empty());
    }
  }
}

}  // namespace
}  // namespace brantoveil::snapshot
