// Newick reader: tokenizer, grammar walk and leaf-name collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/result.h"
#include "snapshot/fingerprint.h"

namespace brantoveil::snapshot {

/// A tree file's translate table: label to taxon name, exact byte matches.
class TranslateMap {
 public:
  TranslateMap() = default;
  TranslateMap(TranslateMap&&) noexcept = default;
  TranslateMap& operator=(TranslateMap&&) noexcept = default;
  TranslateMap(const TranslateMap&) = delete;
  TranslateMap& operator=(const TranslateMap&) = delete;

  /// Room for `entries` inserts without rehashing.
  void reserve(std::size_t entries);
  /// Adds or replaces one entry.
  void insert(std::string label, std::string taxon);
  /// The taxon name of `label`, or nullptr.
  const std::string* find(std::string_view label) const {
    const std::uint32_t at = index_.find(label);
    return at == StringIndex::kAbsent ? nullptr : &taxa_[at];
  }

  /// The entry number of `label` (below size()), or StringIndex::kAbsent.
  std::uint32_t entry_of(std::string_view label) const { return index_.find(label); }
  /// The taxon name of entry `entry`.
  const std::string& taxon_at(std::uint32_t entry) const { return taxa_[entry]; }

  bool empty() const { return labels_.empty(); }
  std::size_t size() const { return labels_.size(); }

 private:
  void rebuild_index();

  std::vector<std::string> labels_;
  std::vector<std::string> taxa_;
  StringIndex index_;
};

/// A label or length token: a view into the text, or a cleaned owned copy.
struct Token {
  std::string_view value;
  std::size_t end = 0;
  std::string owned;  // backs `value` when whitespace had to be removed

  Token() = default;
  // Copies and moves re-point `value` when it views `owned`, whose bytes move with it.
  Token(const Token& other) { assign(other, other.owned); }
  Token(Token&& other) noexcept { assign(other, std::move(other.owned)); }
  Token& operator=(const Token& other) {
    if (this != &other) assign(other, other.owned);
    return *this;
  }
  Token& operator=(Token&& other) noexcept {
    if (this != &other) assign(other, std::move(other.owned));
    return *this;
  }

 private:
  template <class Owned>
  void assign(const Token& other, Owned&& other_owned) {
    const bool views_owned = !other.owned.empty() && other.value.data() == other.owned.data();
    const std::string_view other_value = other.value;
    end = other.end;
    owned = std::forward<Owned>(other_owned);
    value = views_owned ? std::string_view(owned) : other_value;
  }
};

/// Scans one label or length token starting at `pos`.
Token token(std::string_view text, std::size_t pos);

/// The leaf names of one tree in text order, translated when the map is non-empty.
Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& translate);

/// Sorts names byte-wise and rejects duplicates (tree 0's leaf set).
Status prepare_leaf_set(std::vector<std::string>& names);

}  // namespace brantoveil::snapshot
