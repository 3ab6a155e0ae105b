// The one choice of instruction set: one ordered list of levels, one detection of what the CPU
// has, one override (BRANTOVEIL_ISA), and one picker that every kernel family asks.
//
// BRANTOVEIL_ISA=avx512|avx2|popcnt|plain on x86-64 and BRANTOVEIL_ISA=neon|plain on 64-bit ARM
// is a testing and benchmarking aid: it caps the kernels at that level so that every path can be
// compared and timed on one machine. Every level gives the same bits. The variable is read on the
// first kernel call; any other value leaves the kernels uncapped. A cap from the other
// architecture keeps what lies below it in the order plain < neon < popcnt < avx2 < avx512 (neon
// on x86-64 means plain).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

// The x86-64 kernels (SSE2 is part of the architecture; AVX2 and AVX-512 are chosen at run time).
// 64-bit ARM always has NEON. Any other architecture builds the plain kernels only.
#if defined(__x86_64__)
#define BRANTOVEIL_X86_64 1
#else
#define BRANTOVEIL_X86_64 0
#endif
#if defined(__aarch64__)
#define BRANTOVEIL_NEON 1
#else
#define BRANTOVEIL_NEON 0
#endif

namespace brantoveil::distances {

/// Instruction-set levels of the kernels, lowest first; each admits the ones before it. `popcnt`
/// is x86-64's scalar popcount instruction, which every AVX2 CPU has. `neon` is 64-bit ARM's only
/// level: ordered below the x86-64 ones so that their caps leave it in place.
enum class Isa { plain, neon, popcnt, avx2, avx512 };

/// Every level, best first: the order in which a family's implementations are tried.
inline constexpr Isa kIsaOrder[] = {Isa::avx512, Isa::avx2, Isa::popcnt, Isa::neon, Isa::plain};

/// The name BRANTOVEIL_ISA gives `isa`.
std::string_view isa_name(Isa isa);

/// The level a BRANTOVEIL_ISA value names (white space around it ignored); nullopt for an
/// absent or unknown value, which caps nothing.
std::optional<Isa> parse_isa(std::optional<std::string_view> value);

/// The highest level the kernels may use: avx512 unless capped by BRANTOVEIL_ISA or `cap_isa`.
Isa isa_cap();

/// Caps the kernels at `level` for the whole process from now on, in place of BRANTOVEIL_ISA
/// (tests and benchmarks compare the levels in one process); returns the cap it replaces.
Isa cap_isa(Isa level);

/// What a kernel may need of the CPU: a level's own instructions, or AVX-512's vector popcount.
enum class CpuFeature { none, neon, popcnt, avx2, avx512f, avx512_popcount };

/// The features a level's kernels need unless they say otherwise.
constexpr CpuFeature feature_of(Isa isa) {
  switch (isa) {
    case Isa::plain:
      return CpuFeature::none;
    case Isa::neon:
      return CpuFeature::neon;
    case Isa::popcnt:
      return CpuFeature::popcnt;
    case Isa::avx2:
      return CpuFeature::avx2;
    case Isa::avx512:
      return CpuFeature::avx512f;
  }
  return CpuFeature::none;
}

/// Whether this CPU has `feature` (the one detection, asked once per feature). `avx512_popcount`
/// is AVX-512 F, VL and VPOPCNTDQ with AVX2. Off x86-64 only NEON (64-bit ARM) and `none` hold.
bool cpu_has(CpuFeature feature);

/// One implementation of a kernel family: its level, what it needs of the CPU, and its entry.
template <class Entry>
struct Implementation {
  Isa isa;
  Entry entry;
  CpuFeature needs = feature_of(isa);
};

/// Whether `implementation` may run: the cap admits its level and the CPU has what it needs.
template <class Entry>
bool runs(const Implementation<Entry>& implementation) {
  return implementation.isa <= isa_cap() && cpu_has(implementation.needs);
}

/// The family's implementation to use, from its list ordered best first and ending with one that
/// always runs: the first that runs, or, when `pinned` (tests compare them), the one of that level
/// if it runs and else the plain last one.
template <class Entry>
const Implementation<Entry>& pick(std::span<const Implementation<Entry>> list, std::optional<Isa> pinned = {}) {
  for (const Implementation<Entry>& implementation : list) {
    if ((!pinned || implementation.isa == *pinned) && runs(implementation)) return implementation;
  }
  return list.back();
}

/// Whether the family has an implementation of level `isa` that runs here.
template <class Entry>
bool implemented(std::span<const Implementation<Entry>> list, Isa isa) {
  for (const Implementation<Entry>& implementation : list) {
    if (implementation.isa == isa && runs(implementation)) return true;
  }
  return false;
}

/// The best level both this CPU and the cap admit, a level's own features counted (neon on 64-bit
/// ARM, plain elsewhere off x86-64): what the benchmarks print and the tests cap through.
Isa best_isa();

}  // namespace brantoveil::distances
