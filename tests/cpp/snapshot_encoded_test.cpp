// Encoded samples: sorted IDs with their lengths, read-order private sums, and the checked byte form.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "snapshot/encoded.h"

namespace brantoveil::snapshot {
namespace {

class ListSource : public TreeSource {
 public:
  explicit ListSource(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::optional<TreeItem> next() override {
    if (next_ == texts_.size()) return std::nullopt;
    return TreeItem{texts_[next_++], nullptr};
  }
  std::size_t size_hint() override { return texts_.size() - next_; }

 private:
  std::vector<std::string> texts_;
  std::size_t next_ = 0;
};

const std::vector<std::string> kTrees = {
    "((a:0.1,b:0.2):0.3,(c:0.4,d:0.5):0.6,(e:0.7,(f:0.8,g:0.9):1.1):1.3);",
    "((a:1,c:2):3,(b:4,d:5):6,(e:7,(f:8,g:9):10):11);",
    "((a:0.1,b:0.2):0.3,(c:0.4,d:0.5):0.6,(e:0.7,(f:0.8,g:0.9):1.1):1.3);",
    "(((a:0.5,b:0.25):0.125,c:1e-3):0.3,d:7,(g:0.7,(f:0.8,e:0.9):1.1):1.3);",
};

Snapshots read(bool lengths) {
  ListSource source(kTrees);
  Result<Snapshots> set =
      Snapshots::from_newick_iter_opts(source, {.rooted = false, .keep_lengths = lengths, .keep_clades = true});
  EXPECT_TRUE(set.ok());
  return std::move(set).value();
}

std::vector<std::string> names() { return {"one", "two", "three", "four", "unread"}; }

TEST(EncodedSample, SortsEachTreesIdsWithTheirLengths) {
  const Snapshots set = read(true);
  const EncodedSample sample = EncodedSample::from_snapshots(read(true), names(), false, true);
  ASSERT_EQ(sample.size(), 4u);
  EXPECT_EQ(sample.names, (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_EQ(sample.pendants, 7u);
  EXPECT_EQ(sample.supports, set.supports);
  for (std::size_t t = 0; t < 4; ++t) {
    const InternSnap& snap = set.snaps[t];
    std::map<std::uint32_t, double> expected;
    for (std::size_t k = 0; k < snap.ids.size(); ++k) expected[snap.ids[k]] = snap.lengths[snap.pendants + k];
    const auto ids = sample.ids_of(t);
    const auto lengths = sample.lengths_of(t);
    ASSERT_EQ(ids.size(), expected.size());
    std::size_t k = 0;
    for (const auto& [id, length] : expected) {
      EXPECT_EQ(ids[k], id);
      EXPECT_EQ(lengths[k], length);
      ++k;
    }
    const auto pendant = sample.pendant_lengths_of(t);
    EXPECT_TRUE(std::equal(pendant.begin(), pendant.end(), snap.lengths.begin()));
    // Private sums over the tree's unshared splits, in the order they were read.
    double wrf = 0.0, kf = 0.0;
    for (std::size_t k2 = 0; k2 < snap.ids.size(); ++k2) {
      if (set.supports[snap.ids[k2]] >= 2) continue;
      const double l = snap.lengths[snap.pendants + k2];
      wrf = wrf + l;
      kf = kf + l * l;
    }
    EXPECT_EQ(sample.private_wrf[t], wrf);
    EXPECT_EQ(sample.private_kf[t], kf);
  }
  // Pendant clade rows are single leaves; every row has ceil(7 / 8) = 1 byte.
  ASSERT_EQ(sample.clades.size(), sample.n_splits());
  for (std::size_t leaf = 0; leaf < 7; ++leaf) EXPECT_EQ(sample.clades[leaf], 1u << leaf);
}

TEST(EncodedSample, BytesRoundTrip) {
  for (const bool lengths : {false, true}) {
    const EncodedSample sample = EncodedSample::from_snapshots(read(lengths), names(), false, lengths);
    const std::vector<std::uint8_t> bytes = sample.to_bytes();
    const Result<EncodedSample> back = EncodedSample::from_bytes(bytes);
    ASSERT_TRUE(back.ok()) << back.error();
    const EncodedSample& copy = back.value();
    EXPECT_EQ(copy.names, sample.names);
    EXPECT_EQ(copy.leaf_names, sample.leaf_names);
    EXPECT_EQ(copy.has_lengths, lengths);
    EXPECT_EQ(copy.offsets, sample.offsets);
    EXPECT_EQ(copy.ids, sample.ids);
    EXPECT_EQ(copy.lengths, sample.lengths);
    EXPECT_EQ(copy.pendant_lengths, sample.pendant_lengths);
    EXPECT_EQ(copy.private_wrf, sample.private_wrf);
    EXPECT_EQ(copy.private_kf, sample.private_kf);
    EXPECT_EQ(copy.supports, sample.supports);
    EXPECT_EQ(copy.clades, sample.clades);
    EXPECT_EQ(copy.to_bytes(), bytes);
  }
}

void expect_corrupt(const std::vector<std::uint8_t>& bytes, const std::string& reason) {
  const Result<EncodedSample> back = EncodedSample::from_bytes(bytes);
  ASSERT_FALSE(back.ok());
  EXPECT_EQ(back.error(), "Corrupt encoded sample: " + reason);
  EXPECT_EQ(back.failure().kind, ErrorKind::corrupt);
}

TEST(EncodedSample, RejectsEveryTruncation) {
  const std::vector<std::uint8_t> bytes = EncodedSample::from_snapshots(read(true), names(), false, true).to_bytes();
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    const Result<EncodedSample> back =
        EncodedSample::from_bytes(std::span<const std::uint8_t>(bytes.data(), size));
    ASSERT_FALSE(back.ok()) << "accepted the first " << size << " bytes";
    EXPECT_EQ(back.failure().kind, ErrorKind::corrupt) << size;
  }
}

TEST(EncodedSample, RejectsDamage) {
  const EncodedSample sample = EncodedSample::from_snapshots(read(false), names(), false, false);
  const std::vector<std::uint8_t> good = sample.to_bytes();
  // Byte offsets of the header fields: magic 0, version 8, flags 12, trees 16, leaves 24.
  const auto damaged = [&](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = good;
    bytes[at] = value;
    return bytes;
  };
  expect_corrupt(damaged(0, 'X'), "no header");
  expect_corrupt(damaged(8, 2), "unknown version 2");
  expect_corrupt(damaged(12, 0x80), "unknown flags");
  expect_corrupt(damaged(16, 1), "fewer than 2 trees");
  expect_corrupt(damaged(24, 9), "inconsistent split counts");
  std::vector<std::uint8_t> longer = good;
  longer.push_back(0);
  expect_corrupt(longer, "trailing bytes");
  // The last ID of the last tree, just before the clades, pointed past every split.
  std::vector<std::uint8_t> bad_id = good;
  const std::size_t last_id = good.size() - sample.clades.size() - 4;
  const std::uint32_t past = static_cast<std::uint32_t>(sample.n_splits());
  std::memcpy(bad_id.data() + last_id, &past, 4);
  expect_corrupt(bad_id, "split ID out of range");
  // A tree whose run ends past every ID, the next one back in range.
  std::size_t offsets = 56;
  for (const auto& text : sample.names) offsets += 8 + text.size();
  for (const auto& text : sample.leaf_names) offsets += 8 + text.size();
  std::vector<std::uint8_t> past_the_ids = good;
  const std::uint64_t far = sample.ids.size() + 1000;
  std::memcpy(past_the_ids.data() + offsets + 8, &far, 8);
  expect_corrupt(past_the_ids, "offsets out of order");
  std::vector<std::uint8_t> padding = good;
  padding.back() |= 0x80;  // leaf 7 of 7 leaves
  expect_corrupt(padding, "clade bits past the leaves");
}

}  // namespace
}  // namespace brantoveil::snapshot
