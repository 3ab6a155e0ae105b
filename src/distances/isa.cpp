// The instruction-set cap, read once from BRANTOVEIL_ISA, and the CPU's features behind it.
#include "distances/isa.h"

#include <atomic>
#include <cstdlib>

namespace brantoveil::distances {

namespace {

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::atomic<int>& cap_cell() {
  static std::atomic<int> cell{[] {
    const char* raw = std::getenv("BRANTOVEIL_ISA");
    const std::optional<IsaLevel> level =
        parse_isa_level(raw == nullptr ? std::nullopt : std::optional<std::string_view>(raw));
    return static_cast<int>(level.value_or(IsaLevel::avx512));
  }()};
  return cell;
}

}  // namespace

std::optional<IsaLevel> parse_isa_level(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  std::string_view text = *value;
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
  if (text == "plain") return IsaLevel::plain;
  if (text == "neon") return IsaLevel::neon;
  if (text == "avx2") return IsaLevel::avx2;
  if (text == "avx512") return IsaLevel::avx512;
  return std::nullopt;
}

IsaLevel isa_cap() { return static_cast<IsaLevel>(cap_cell().load(std::memory_order_relaxed)); }

IsaLevel cap_isa(IsaLevel level) {
  return static_cast<IsaLevel>(cap_cell().exchange(static_cast<int>(level), std::memory_order_relaxed));
}

IsaLevel isa_level() {
  if (isa_allows(IsaLevel::avx512) && cpu_has_avx512f()) return IsaLevel::avx512;
  if (isa_allows(IsaLevel::avx2) && cpu_has_avx2()) return IsaLevel::avx2;
  if (isa_allows(IsaLevel::neon) && cpu_has_neon()) return IsaLevel::neon;
  return IsaLevel::plain;
}

#if BRANTOVEIL_X86_64
// Asked once each: __builtin_cpu_init is cheap but the answers never change.
bool cpu_has_popcnt() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("popcnt"));
  return has;
}
bool cpu_has_avx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}
bool cpu_has_avx512f() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f"));
  return has;
}
bool cpu_has_avx512_popcount() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") &&
                                                    __builtin_cpu_supports("avx512vl") &&
                                                    __builtin_cpu_supports("avx512vpopcntdq") &&
                                                    __builtin_cpu_supports("avx2"));
  return has;
}
#else
bool cpu_has_popcnt() { return false; }
bool cpu_has_avx2() { return false; }
bool cpu_has_avx512f() { return false; }
bool cpu_has_avx512_popcount() { return false; }
#endif

}  // namespace brantoveil::distances
