// Every message the core can return to a caller, written once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brantoveil::snapshot::messages {

inline constexpr std::string_view kDuplicateLeafNames =
    "Tree 0 has duplicate leaf names. All leaf names must be unique.";
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

/// The text between double quotes with Rust-style `{:?}` escapes.
std::string quoted_debug(std::string_view text);

/// "Failed to parse newick at index {tree}: {reason}".
std::string newick_syntax(std::uint64_t tree, std::string_view reason);
/// The reason for ',' or ')' with no open group.
std::string outside_subtree(char delimiter);
/// The reason for a length token that is not a number.
std::string invalid_length(std::string_view token);

/// An empty leaf, or a label missing from a non-empty translate map.
std::string unnamed_leaf(std::uint64_t tree);
/// A leaf set that differs from tree 0's.
std::string different_leaf_set(std::uint64_t tree);
/// A tree text too long for the 32-bit positions of a tree.
std::string tree_too_large(std::uint64_t tree);
/// A taxon name seen twice in one tree.
std::string repeated_leaf(std::uint64_t tree, std::string_view name);

/// Bytes that do not hold an encoded sample: "Corrupt encoded sample: {reason}".
std::string corrupt_sample(std::string_view reason);

}  // namespace brantoveil::snapshot::messages
