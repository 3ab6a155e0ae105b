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
    const std::optional<Isa> level = parse_isa(raw == nullptr ? std::nullopt : std::optional<std::string_view>(raw));
    return static_cast<int>(level.value_or(Isa::avx512));
  }()};
  return cell;
}

#if BRANTOVEIL_X86_64
// Asked once: __builtin_cpu_init is cheap but the answers never change.
struct X86Features {
  bool popcnt, avx2, avx512f, avx512_popcount;
};

const X86Features& x86_features() {
  static const X86Features features = [] {
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool avx512f = __builtin_cpu_supports("avx512f");
    return X86Features{__builtin_cpu_supports("popcnt") != 0, avx2, avx512f,
                       avx512f && avx2 && __builtin_cpu_supports("avx512vl") &&
                           __builtin_cpu_supports("avx512vpopcntdq")};
  }();
  return features;
}
#endif

}  // namespace

std::string_view isa_name(Isa isa) {
  switch (isa) {
    case Isa::plain:
      return "plain";
    case Isa::neon:
      return "neon";
    case Isa::popcnt:
      return "popcnt";
    case Isa::avx2:
      return "avx2";
    case Isa::avx512:
      return "avx512";
  }
  return "plain";
}

std::optional<Isa> parse_isa(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  std::string_view text = *value;
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ascii_space(text.back())) text.remove_suffix(1);
  for (const Isa isa : kIsaOrder) {
    if (text == isa_name(isa)) return isa;
  }
  return std::nullopt;
}

Isa isa_cap() { return static_cast<Isa>(cap_cell().load(std::memory_order_relaxed)); }

Isa cap_isa(Isa level) {
  return static_cast<Isa>(cap_cell().exchange(static_cast<int>(level), std::memory_order_relaxed));
}

bool cpu_has(CpuFeature feature) {
  switch (feature) {
    case CpuFeature::none:
      return true;
    case CpuFeature::neon:
      return BRANTOVEIL_NEON != 0;
#if BRANTOVEIL_X86_64
    case CpuFeature::popcnt:
      return x86_features().popcnt;
    case CpuFeature::avx2:
      return x86_features().avx2;
    case CpuFeature::avx512f:
      return x86_features().avx512f;
    case CpuFeature::avx512_popcount:
      return x86_features().avx512_popcount;
#else
    default:
      return false;
#endif
  }
  return false;
}

Isa best_isa() {
  for (const Isa isa : kIsaOrder) {
    if (isa <= isa_cap() && cpu_has(feature_of(isa))) return isa;
  }
  return Isa::plain;
}

}  // namespace brantoveil::distances
