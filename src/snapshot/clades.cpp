// Clade table building and the packed-bit-row order used for export columns.
#include "snapshot/clades.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace brantoveil::snapshot {

CladeTable CladeTable::with_capacity(std::size_t clades, std::size_t members) {
  CladeTable table;
  table.offsets.reserve(clades + 1);
  table.members.reserve(members);
  return table;
}

CladeTable CladeTable::singletons(std::size_t n) {
  CladeTable table = with_capacity(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    table.members.push_back(static_cast<std::uint32_t>(i));
    table.offsets.push_back(static_cast<std::uint32_t>(i + 1));
  }
  return table;
}

CladeTable CladeTable::concat(std::vector<CladeTable> tables) {
  std::size_t clades = 0;
  std::size_t members = 0;
  for (const CladeTable& table : tables) {
    clades += table.size();
    members += table.members.size();
  }
  // Offsets past 32 bits would wrap and send the column sort out of bounds; callers check first,
  // so reaching this is a bug, and ending here beats a silently wrong table.
  if (members > kMaxMembers) {
    std::fputs("brantoveil: internal error: clade table past 32-bit offsets\n", stderr);
    std::abort();
  }
  CladeTable result = with_capacity(clades, members);
  for (CladeTable& table : tables) {
    const auto base = static_cast<std::uint32_t>(result.members.size());
    result.members.insert(result.members.end(), table.members.begin(), table.members.end());
    for (std::size_t k = 1; k < table.offsets.size(); ++k) result.offsets.push_back(table.offsets[k] + base);
    // Release each input as soon as it is copied, so the peak stays near one table's worth.
    table = CladeTable{};
  }
  return result;
}

void CladeTable::push(std::span<const std::uint32_t> leaves) { push(leaves, {}); }

void CladeTable::push(std::span<const std::uint32_t> first, std::span<const std::uint32_t> second) {
  const std::size_t begin = members.size();
  members.insert(members.end(), first.begin(), first.end());
  members.insert(members.end(), second.begin(), second.end());
  std::sort(members.begin() + static_cast<std::ptrdiff_t>(begin), members.end());
  assert(members.size() <= 0xFFFFFFFFu);
  offsets.push_back(static_cast<std::uint32_t>(members.size()));
}

/*
 * Packed order without building rows: the first element where the lists part decides which
 * 64-bit word differs first; inside that word the larger highest differing bit wins, so both
 * runs in that word are walked from the top down.
 */
int cmp_packed(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) {
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < common && a[i] == b[i]) ++i;
  if (i == a.size() && i == b.size()) return 0;
  std::uint32_t x;
  if (i == a.size()) {
    x = b[i];
  } else if (i == b.size()) {
    x = a[i];
  } else {
    x = std::min(a[i], b[i]);
  }
  const std::uint64_t lo = static_cast<std::uint64_t>(x / 64) * 64;
  const std::uint64_t hi = lo + 64;
  auto run = [&](std::span<const std::uint32_t> list) {
    auto first = std::lower_bound(list.begin(), list.end(), lo);
    auto last = std::lower_bound(first, list.end(), hi);
    return std::span<const std::uint32_t>(first, last);
  };
  const auto ra = run(a);
  const auto rb = run(b);
  std::size_t ia = ra.size();
  std::size_t ib = rb.size();
  while (ia > 0 && ib > 0) {
    --ia;
    --ib;
    if (ra[ia] != rb[ib]) return ra[ia] > rb[ib] ? 1 : -1;
  }
  if (ia > 0) return 1;
  if (ib > 0) return -1;
  return 0;  // unreachable for ascending lists that differ inside this word
}

}  // namespace brantoveil::snapshot
