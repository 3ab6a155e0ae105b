// Which instruction-set level the kernels may use: what the CPU has, capped by BRANTOVEIL_ISA.
//
// BRANTOVEIL_ISA=avx512|avx2|plain on x86-64 and BRANTOVEIL_ISA=neon|plain on 64-bit ARM is a
// testing and benchmarking aid: it caps the kernels at that level so that every path can be compared
// and timed on one machine. Every level gives the same bits. The variable is read on the first
// kernel call; any other value leaves the kernels uncapped. A cap from the other architecture keeps
// what lies below it in the order plain < neon < avx2 < avx512 (neon on x86-64 means plain).
#pragma once

#include <optional>
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

/// Instruction-set levels of the kernels, lowest first; each admits the ones before it. `avx2`
/// also admits the scalar popcount instruction, which every AVX2 CPU has. `neon` is 64-bit ARM's
/// only level: ordered below the x86-64 ones so that their caps leave it in place.
enum class IsaLevel { plain, neon, avx2, avx512 };

/// The level a BRANTOVEIL_ISA value names (white space around it ignored); nullopt for an
/// absent or unknown value, which caps nothing.
std::optional<IsaLevel> parse_isa_level(std::optional<std::string_view> value);

/// The highest level the kernels may use: avx512 unless capped by BRANTOVEIL_ISA or `cap_isa`.
IsaLevel isa_cap();

/// Whether the cap admits `level`; a kernel still checks that the CPU has what it needs.
inline bool isa_allows(IsaLevel level) { return level <= isa_cap(); }

/// Caps the kernels at `level` for the whole process from now on, in place of BRANTOVEIL_ISA
/// (tests and benchmarks compare the levels in one process); returns the cap it replaces.
IsaLevel cap_isa(IsaLevel level);

/// The highest level both this CPU and the cap admit (neon on 64-bit ARM, plain elsewhere off x86-64).
IsaLevel isa_level();

/// Whether this CPU has the scalar popcount instruction; false off x86-64, as are the others.
bool cpu_has_popcnt();
/// Whether this CPU has AVX2.
bool cpu_has_avx2();
/// Whether this CPU has AVX-512 F.
bool cpu_has_avx512f();
/// AVX-512 F, VL and VPOPCNTDQ with AVX2: what the vector popcount of Robinson-Foulds needs.
bool cpu_has_avx512_popcount();
/// Whether this CPU has NEON: always on 64-bit ARM, never elsewhere.
constexpr bool cpu_has_neon() { return BRANTOVEIL_NEON != 0; }

}  // namespace brantoveil::distances
