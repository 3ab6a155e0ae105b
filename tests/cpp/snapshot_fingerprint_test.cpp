// Taxon labels and the string index behind leaf lookups and translate maps.
#include "snapshot/fingerprint.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace brantoveil::snapshot {
namespace {

u128 hex128(std::uint64_t high, std::uint64_t low) { return (static_cast<u128>(high) << 64) | low; }

TEST(TaxonLabels, AreFixedPerLeafIndex) {
  const u128 first = hex128(0x2cb0f69f4abea221ULL, 0x9417034723148989ULL);
  const u128 second = hex128(0xdd555950609dfe03ULL, 0xdbafb150deb12800ULL);
  for (std::size_t n : {2u, 3u, 100u}) {
    const auto labels = taxon_labels(n);
    ASSERT_EQ(labels.size(), n);
    EXPECT_TRUE(labels[0] == first) << n;
    EXPECT_TRUE(labels[1] == second) << n;
  }
  EXPECT_TRUE(taxon_labels(1)[0] == first);
  EXPECT_TRUE(taxon_labels(0).empty());
  const auto many = taxon_labels(5000);
  EXPECT_EQ(std::set<u128>(many.begin(), many.end()).size(), many.size());
}

TEST(StringIndex, FindsEveryKeyAndOnlyThose) {
  std::vector<std::string> keys{"", "a", std::string("a\0", 2), "ab", "abcdefgh", "abcdefghi", "\xff"};
  for (int i = 0; i < 3000; ++i) keys.push_back("Taxon_" + std::to_string(i));
  for (std::size_t expected : {0u, 10u, 5000u}) {
    StringIndex index(expected);
    EXPECT_EQ(index.find("a"), StringIndex::kAbsent);
    for (std::size_t i = 0; i < keys.size(); ++i) index.insert(keys[i], static_cast<std::uint32_t>(i));
    EXPECT_EQ(index.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(index.find(keys[i]), i) << keys[i];
    for (std::string_view absent : {"b", "Taxon_3000", "Taxon_", "abcdefg", "aa"}) {
      EXPECT_EQ(index.find(absent), StringIndex::kAbsent) << absent;
    }
    index.insert("a", 77);
    EXPECT_EQ(index.find("a"), 77u);
    EXPECT_EQ(index.size(), keys.size());
  }
  const StringIndex empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.find(""), StringIndex::kAbsent);
}

TEST(StringIndex, LeafIndexMapsNamesToPositions) {
  const std::vector<std::string> names{"A", "B", "a", "b"};
  const LeafIndex index = build_leaf_index(names);
  for (std::uint32_t i = 0; i < names.size(); ++i) EXPECT_EQ(index.find(names[i]), i);
  EXPECT_EQ(index.find("c"), StringIndex::kAbsent);
}

}  // namespace
}  // namespace brantoveil::snapshot
