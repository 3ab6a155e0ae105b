// Every message the core can return to a caller, written once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brantoveil::snapshot::messages {

inline constexpr std::string_view kDuplicateLeafNames =
    "Tree 0 has duplicate leaf names. All leaf names must be unique.";
inline constexpr std::string_view kTooManySplits = "Too many distinct splits for 32-bit split IDs.";

}  // namespace brantoveil::snapshot::messages
