// Every message the core can return to a caller, written once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shared/result.h"

namespace brantoveil::snapshot::messages {

inline constexpr std::string_view kTooManySplits = "Too many distinct splits for 32-bit split IDs.";
inline constexpr std::string_view kTooManyCladeMembers = "Too many clade members for 32-bit offsets.";
inline constexpr std::string_view kTooManyTrees = "Too many trees for 32-bit tree counts.";
/// Never shown: the caller's stop check ended the read and raises its own error.
inline constexpr std::string_view kStopped = "Reading was stopped.";

// Reasons of a Newick syntax error (see `newick_syntax`).
inline constexpr std::string_view kNoSemicolon = "the tree does not end in ';'";
inline constexpr std::string_view kParenAfterSubtree = "'(' after a finished subtree";
inline constexpr std::string_view kUnclosedComment = "a '[' comment is never closed";
inline constexpr std::string_view kUnclosedParen = "a '(' is never closed";
inline constexpr std::string_view kEmptyTree = "the tree is empty";
inline constexpr std::string_view kInvalidFloat = "invalid float literal";

// Reasons of any other error of one tree (see `tree_error`), which follow "Tree {tree} ".
inline constexpr std::string_view kUnnamedLeaf = "has an unnamed leaf. All leaves must be named.";
inline constexpr std::string_view kDifferentLeafSet =
    "has a different leaf set than tree 0. All trees must share the same taxa.";
inline constexpr std::string_view kTreeTooLarge = "is too large: a tree's text must be shorter than 4 GiB.";
/// Tree 0's names hold a repeat: found once they are sorted, so it has no place in the text.
inline constexpr std::string_view kDuplicateLeafNames = "has duplicate leaf names. All leaf names must be unique.";

/// `text` between double quotes, readable whatever its bytes: a double quote and a backslash get a
/// backslash; tab, carriage return, line feed and NUL are written \t \r \n \0; other control and
/// invisible code points are \u{hex}; a byte that starts no well-formed UTF-8 sequence is \xHH.
std::string quoted_debug(std::string_view text);

/// "Failed to parse newick at index {tree}: {reason}", found at byte `offset` of the tree's text.
Error newick_syntax(std::uint64_t tree, std::uint64_t offset, std::string_view reason);
/// "Tree {tree} {reason}"; `offset` is the byte of the tree's text it concerns, when it has one.
Error tree_error(ErrorKind kind, std::uint64_t tree, std::string_view reason,
                 std::uint64_t offset = Error::kUnknown);

/// The reason for ',' or ')' with no open group.
std::string outside_subtree(char delimiter);
/// The reason for a length token that is not a number.
std::string invalid_length(std::string_view token);
/// The reason for a taxon name seen twice in one tree.
std::string repeated_leaf(std::string_view name);

/// Bytes that do not hold an encoded sample: "Corrupt encoded sample: {reason}".
std::string corrupt_sample(std::string_view reason);

}  // namespace brantoveil::snapshot::messages
