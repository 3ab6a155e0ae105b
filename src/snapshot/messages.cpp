// Formatting of the reader's messages and the quoted debug form of names and tokens.
#include "snapshot/messages.h"

#include <utility>

#include "shared/utf8.h"

namespace brantoveil::snapshot::messages {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t value) {
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count > 0) out += digits[--count];
}

// Controls and invisible format characters: a name holding one would print as if it did not.
// Unassigned and combining code points print as they are; taxon names practically never hold them.
bool printable(std::uint32_t code) {
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
  if (code == 0xAD || code == 0x61C || code == 0x180E || code == 0xFEFF) return false;
  if ((code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E)) return false;
  if ((code >= 0x2060 && code <= 0x206F) || (code >= 0xFFF0 && code <= 0xFFFB)) return false;
  if (code >= 0xE000 && code <= 0xF8FF) return false;  // private use
  if (code >= 0xE0000) return false;                   // tags, variation selectors, private use planes
  return true;
}

}  // namespace

// Names are bytes, not always UTF-8: each byte that does not start a well-formed sequence is
// written as \x and two lowercase hex digits, so the message stays valid UTF-8 and shows the byte.
std::string quoted_debug(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t code = 0;
    const std::size_t length = decode_utf8(text, i, code);
    if (length == 0) {
      const auto b = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++i;
      continue;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (printable(code)) {
          out.append(text.data() + i, length);
        } else {
          out += "\\u{";
          append_hex(out, code);
          out += '}';
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

Error newick_syntax(std::uint64_t tree, std::uint64_t offset, std::string_view reason) {
  std::string message = "Failed to parse newick at index ";
  message += std::to_string(tree);
  message += ": ";
  const std::size_t reason_at = message.size();
  message += reason;
  return Error{std::move(message), ErrorKind::syntax, tree, offset, reason_at};
}

Error tree_error(ErrorKind kind, std::uint64_t tree, std::string_view reason, std::uint64_t offset) {
  std::string message = "Tree ";
  message += std::to_string(tree);
  message += ' ';
  const std::size_t reason_at = message.size();
  message += reason;
  return Error{std::move(message), kind, tree, offset, reason_at};
}

std::string outside_subtree(char delimiter) {
  std::string out = "'";
  out += delimiter;
  out += "' outside any subtree";
  return out;
}

std::string invalid_length(std::string_view token) {
  std::string out = "invalid branch length ";
  out += quoted_debug(token);
  out += ": ";
  out += kInvalidFloat;
  return out;
}

std::string repeated_leaf(std::string_view name) {
  return "repeats the leaf name " + quoted_debug(name) + ". All leaf names must be unique.";
}

std::string corrupt_sample(std::string_view reason) {
  std::string out = "Corrupt encoded sample: ";
  out += reason;
  return out;
}

}  // namespace brantoveil::snapshot::messages
