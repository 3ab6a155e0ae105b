// Newick reader: tokenizer, grammar walk and leaf-name collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "snapshot/fingerprint.h"
#include "snapshot/result.h"

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
  const std::string* find(std::string_view label) const;

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
};

/// Scans one label or length token starting at `pos`.
Token token(std::string_view text, std::size_t pos);

/// The leaf names of one tree in text order, translated when the map is non-empty.
Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& translate);

/// Sorts names byte-wise and rejects duplicates (tree 0's leaf set).
Status prepare_leaf_set(std::vector<std::string>& names);

}  // namespace brantoveil::snapshot
