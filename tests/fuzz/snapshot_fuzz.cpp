// libFuzzer target for the reader: arbitrary bytes through name mode and tree mode, both rootings.
// Input: tree 0's text, optionally a 0x01 byte and a second tree's text (else tree 0 is reused).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/build.h"
#include "snapshot/clades.h"
#include "snapshot/newick.h"

using namespace brantoveil::snapshot;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// What must hold of any tree that was read: its leaves, its keys, its canonical clades.
void check_tree(const Snapshot& tree, const LeafContext& context) {
  const std::size_t n = context.n_leaves();
  require(tree.leaf_order.size() == n);
  std::vector<std::uint8_t> seen(n, 0);
  for (std::uint32_t leaf : tree.leaf_order) {
    require(leaf < n && !seen[leaf]);
    seen[leaf] = 1;
  }
  CladeTable table;
  for (const Part& part : tree.parts) {
    require(part.size >= 1 && part.start <= n && part.size <= n - part.start);
    u128 key = 0;
    for (std::uint32_t k = 0; k < part.size; ++k) key ^= context.labels[tree.leaf_order[part.start + k]];
    if (!context.rooted && part.size > 1) key = std::min(key, key ^ context.total);
    require(part.key == key);
    tree.push_canonical(part, context.rooted, table);
    const auto clade = table.clade(table.size() - 1);
    require(std::is_sorted(clade.begin(), clade.end()));
    if (!context.rooted && part.size > 1) require(clade.empty() || clade.front() != 0);
  }
  for (std::size_t k = 1; k < table.size(); ++k) {
    const int forward = cmp_packed(table.clade(k - 1), table.clade(k));
    const int backward = cmp_packed(table.clade(k), table.clade(k - 1));
    require((forward > 0) == (backward < 0) && (forward == 0) == (backward == 0));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\x01');
  const std::string_view first = input.substr(0, cut);
  const std::string_view second = cut == std::string_view::npos ? first : input.substr(cut + 1);

  for (std::size_t pos : {std::size_t{0}, size / 2, size}) {
    const Token token = brantoveil::snapshot::token(input, std::min(pos, size));
    require(token.end >= std::min(pos, size) && token.end <= size);
    require(token.value.size() <= token.end - std::min(pos, size));
  }

  const TranslateMap no_translate;
  auto names = leaf_names(first, no_translate);
  (void)leaf_names(second, no_translate);
  if (!names.ok()) return 0;
  std::vector<std::string> sorted = std::move(names).value();
  if (!prepare_leaf_set(sorted).ok()) return 0;

  // Translating every name to itself must change nothing but the message for unknown names.
  TranslateMap identity;
  for (const std::string& name : sorted) identity.insert(name, name);

  for (bool rooted : {false, true}) {
    const LeafContext context = make_leaf_context(sorted, rooted);
    auto tree0 = snapshot(first, no_translate, 0, context);
    require(tree0.ok());  // tree 0 always matches its own leaf set
    check_tree(tree0.value(), context);

    auto plain = snapshot(second, no_translate, 7, context);
    auto translated = snapshot(second, identity, 7, context);
    require(plain.ok() == translated.ok());
    if (!plain.ok()) {
      // A name outside the map is an unnamed leaf once a map is in use.
      require(plain.error() == translated.error() ||
              translated.error() == "Tree 7 has an unnamed leaf. All leaves must be named.");
      continue;
    }
    check_tree(plain.value(), context);
    require(plain.value().leaf_order == translated.value().leaf_order);
    require(plain.value().parts.size() == translated.value().parts.size());
    auto again = leaf_names(second, no_translate);
    require(again.ok());
    std::vector<std::string> second_names = std::move(again).value();
    std::sort(second_names.begin(), second_names.end());
    require(second_names == sorted);
  }
  return 0;
}
