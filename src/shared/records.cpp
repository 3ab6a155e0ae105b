// Kernel input ownership: owned records are released block by block as the layout goes.
#include "shared/records.h"

#include <utility>

namespace brantoveil {

Input Input::owned(std::vector<InternSnap> snaps, std::vector<std::uint32_t> supports) {
  Input input;
  input.owns_ = true;
  input.owned_snaps_ = std::move(snaps);
  input.owned_supports_ = std::move(supports);
  input.snaps_ = input.owned_snaps_;
  input.supports_ = input.owned_supports_;
  return input;
}

Input Input::borrowed(std::span<const InternSnap> snaps, std::span<const std::uint32_t> supports) {
  Input input;
  input.snaps_ = snaps;
  input.supports_ = supports;
  return input;
}

// The views must follow the owned vectors, so moves re-point them rather than copy them.
Input::Input(Input&& other) noexcept { *this = std::move(other); }

Input& Input::operator=(Input&& other) noexcept {
  if (this == &other) return *this;
  owns_ = other.owns_;
  owned_snaps_ = std::move(other.owned_snaps_);
  owned_supports_ = std::move(other.owned_supports_);
  if (owns_) {
    snaps_ = owned_snaps_;
    supports_ = owned_supports_;
  } else {
    snaps_ = other.snaps_;
    supports_ = other.supports_;
  }
  other.owns_ = false;
  other.snaps_ = {};
  other.supports_ = {};
  return *this;
}

void Input::release(std::size_t first, std::size_t last) {
  if (!owns_) return;
  for (std::size_t i = first; i < last && i < owned_snaps_.size(); ++i) owned_snaps_[i] = InternSnap{};
}

void Input::release_supports() {
  if (!owns_) return;
  owned_supports_ = {};
  supports_ = {};
}

}  // namespace brantoveil
