// Newick reader: translate maps, the tokenizer, branch-length numbers and name-mode collection.
#include "snapshot/newick.h"

#include <algorithm>

#include "snapshot/messages.h"
#include "snapshot/newick-inl.h"

namespace brantoveil::snapshot {

// ---- Translate map ----------------------------------------------------------------------
// The index views the strings in labels_; a short string's bytes live inside the std::string
// object, so whenever the vector reallocates the index is rebuilt over the new addresses.

void TranslateMap::reserve(std::size_t entries) {
  if (entries <= labels_.capacity()) return;
  labels_.reserve(entries);
  taxa_.reserve(entries);
  index_ = StringIndex(entries);
  rebuild_index();
}

void TranslateMap::insert(std::string label, std::string taxon) {
  const std::uint32_t existing = index_.find(label);
  if (existing != StringIndex::kAbsent) {
    taxa_[existing] = std::move(taxon);
    return;
  }
  const bool moves = labels_.size() == labels_.capacity();
  labels_.push_back(std::move(label));
  taxa_.push_back(std::move(taxon));
  if (moves) {
    index_ = StringIndex(labels_.capacity());
    rebuild_index();
  } else {
    index_.insert(labels_.back(), static_cast<std::uint32_t>(labels_.size() - 1));
  }
}

void TranslateMap::rebuild_index() {
  for (std::size_t i = 0; i < labels_.size(); ++i) index_.insert(labels_[i], static_cast<std::uint32_t>(i));
}

// ---- Tokenizer ---------------------------------------------------------------------------

namespace detail {

std::string_view scan_token_slow(std::string_view text, std::size_t pos, std::size_t stop, std::size_t& end,
                                 std::string& scratch) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = stop;
  std::size_t kept_end = stop;  // one past the last byte that stays in the value
  bool removed = false;  // whitespace dropped since the last kept byte
  bool gap = false;  // some removed whitespace lies before a kept byte: the value needs a copy
  while (i < n) {
    const std::uint8_t cls = byte_class(s[i]);
    if (cls == kSpaceByte) {
      removed = true;
      ++i;
      continue;
    }
    if (is_delimiter(cls)) break;
    gap = gap || removed;
    if (cls == kQuoteByte) {
      // Delimiters and whitespace inside the run are ordinary; an unclosed run takes the rest.
      const void* close = i + 1 < n ? std::memchr(s + i + 1, '"', n - i - 1) : nullptr;
      i = close == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(close) - s) + 1;
    } else {
      ++i;
    }
    kept_end = i;
  }
  end = i;
  if (!gap) return text.substr(pos, kept_end - pos);

  scratch.clear();
  bool quoted = false;
  for (std::size_t k = pos; k < kept_end; ++k) {
    const char c = s[k];
    if (c == '"') quoted = !quoted;
    if (!quoted && byte_class(c) == kSpaceByte) continue;
    scratch += c;
  }
  return scratch;
}

}  // namespace detail

Token token(std::string_view text, std::size_t pos) {
  Token result;
  if (pos >= text.size()) {
    result.end = text.size();
    return result;
  }
  std::size_t end = pos;
  const std::string_view value = detail::scan_token(text, pos, end, result.owned);
  result.end = end;
  result.value = value.data() == result.owned.data() ? std::string_view(result.owned) : value;
  return result;
}

// ---- Name mode ---------------------------------------------------------------------------

namespace {

// Name mode keeps no group records: only the names matter.
struct NameCollector {
  std::vector<std::string>& names;

  void open() {}
  detail::LeafVerdict leaf(std::string_view name) {
    names.emplace_back(name);
    return detail::LeafVerdict::kAccepted;
  }
  void set_length(double) {}
  void attach() {}
  void close() {}
};

}  // namespace

Result<std::vector<std::string>> leaf_names(std::string_view text, const TranslateMap& translate) {
  std::vector<std::string> names;
  NameCollector collector{names};
  Status status = detail::walk(text, translate, 0, collector);
  if (!status) return std::move(status).take_error();
  return names;
}

Status prepare_leaf_set(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end());
  if (std::adjacent_find(names.begin(), names.end()) != names.end()) {
    return messages::tree_error(ErrorKind::tree, 0, messages::kDuplicateLeafNames);
  }
  return success();
}

}  // namespace brantoveil::snapshot
