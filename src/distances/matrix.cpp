// Pair counting and the tiled mirror of the symmetric result matrix.
#include "distances/matrix.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "distances/isa.h"
#include "pool/pool.h"

#if BRANTOVEIL_X86_64
#include <immintrin.h>
#endif

namespace brantoveil::distances {

namespace {

constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

}  // namespace

std::uint64_t pairs_in_rows(std::size_t n, std::size_t r0, std::size_t rows) {
  if (rows == 0) return 0;
  const std::uint64_t w = rows;
  return w * (n - 1 - r0) - w * (w - 1) / 2;
}

void populate_pages(void* data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  // Purely a speed-up: an older kernel refuses it and the pages fault in on first write as before.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

namespace {

enum class HugePages { kNever, kOnRequest, kAlways };

// The system's setting for transparent huge pages: "never" refuses them, "madvise" gives them to
// regions that ask, "always" to every large region. Unreadable (no such pages): never. Read once.
HugePages huge_pages_setting() {
  static const HugePages setting = [] {
    std::FILE* file = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (file == nullptr) return HugePages::kNever;
    char text[128] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    if (got == 0 || std::strstr(text, "[never]") != nullptr) return HugePages::kNever;
    return std::strstr(text, "[always]") != nullptr ? HugePages::kAlways : HugePages::kOnRequest;
  }();
  return setting;
}

}  // namespace

void prepare_result_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Below this the page faults cost little, and a stall while the kernel assembles huge pages
  // could cost more than it saves.
  constexpr std::size_t kMinBytes = std::size_t{32} << 20;
  if (bytes < kMinBytes || huge_pages_setting() == HugePages::kNever) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  // Advice only: refused, the pages stay normal and nothing else changes.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

HugePageWatch::HugePageWatch(std::chrono::nanoseconds slow, int patience) : slow_(slow), patience_(patience) {}

bool HugePageWatch::record(std::chrono::nanoseconds took) {
  if (took <= slow_) return false;
  return slow_steps_.fetch_add(1, std::memory_order_relaxed) + 1 == patience_ && !given_up_.exchange(true);
}

void HugePageWatch::give_up() { given_up_.store(true, std::memory_order_relaxed); }

bool HugePageWatch::given_up() const { return given_up_.load(std::memory_order_relaxed); }

void populate_result(void* data, std::size_t bytes) {
#if defined(MADV_POPULATE_WRITE) && defined(MADV_NOHUGEPAGE)
  // Below this the faults cost little next to a parallel loop.
  constexpr std::size_t kMinBytes = std::size_t{32} << 20;
  if (bytes < kMinBytes) return;
  prepare_result_pages(data, bytes);
  // Huge pages take a 512th of the faults and zero memory faster when the memory behind them is
  // ready. A virtual machine that hands freed memory back to its host must first get it back,
  // and a huge page then costs far more than the same memory in small pages (400 MiB on one
  // thread: about 1 s against 0.27 s, `pages_bench first-touch`). Ready, a huge step takes
  // 0.1-0.6 ms against 0.5-0.8 ms in small pages; back from the host, 5 ms or more.
  HugePageWatch watch(std::chrono::microseconds(2000), 2);
  auto* cells = static_cast<unsigned char*>(data);
  const auto begin = reinterpret_cast<std::uintptr_t>(cells);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  if (last <= first) return;
  if (huge_pages_setting() == HugePages::kNever) watch.give_up();
  // Steps are claimed in ascending order, so the switch applies to what comes after the step
  // that decided it. Purely a speed-up: any refusal leaves the pages to fault in on first write
  // as before.
  (void)pool::parallel_for_batches((last - first + kHugePage - 1) / kHugePage, [&](std::size_t step) {
    const std::uintptr_t from = first + step * kHugePage;
    const std::uintptr_t to = std::min(last, from + kHugePage);
    const bool huge = !watch.given_up();
    const auto start = std::chrono::steady_clock::now();
    if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0) return;
    if (!huge || !watch.record(std::chrono::steady_clock::now() - start)) return;
    const std::uintptr_t rest = (to + kHugePage - 1) & ~(kHugePage - 1);
    if (last > rest) ::madvise(reinterpret_cast<void*>(rest), last - rest, MADV_NOHUGEPAGE);
  });
#else
  (void)data;
  (void)bytes;
#endif
}

namespace {

// One whole line, in 16-byte parts (SSE2) or at once (AVX-512); a plain copy elsewhere.
struct NarrowLine {
  static void copy(const unsigned char* from, unsigned char* to) {
#if BRANTOVEIL_X86_64
    for (std::size_t q = 0; q < 64; q += 16) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(to + q), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + q)));
    }
#else
    std::memcpy(to, from, 64);
#endif
  }
};
#if BRANTOVEIL_X86_64
struct WideLine {
  __attribute__((target("avx512f"))) static void copy(const unsigned char* from, unsigned char* to) {
    _mm512_stream_si512(reinterpret_cast<__m512i*>(to), _mm512_loadu_si512(from));
  }
};
#endif

// Copies `bytes` bytes to `to` with streaming stores for the whole cache lines and plain stores
// for the partial lines at either end: the mirror is written once and not read again here, so
// reading its lines in first (as a plain store must) would only add traffic.
template <class Line>
[[gnu::always_inline]] inline void stream_lines(const unsigned char* from, std::size_t bytes, unsigned char* to) {
  std::size_t at = 0;
  const std::size_t head = (64 - reinterpret_cast<std::uintptr_t>(to) % 64) % 64;
  if (head >= bytes) {
    std::memcpy(to, from, bytes);
    return;
  }
  std::memcpy(to, from, head);
  for (at = head; at + 64 <= bytes; at += 64) Line::copy(from + at, to + at);
  std::memcpy(to + at, from + at, bytes - at);
}

void stream_bytes(const unsigned char* from, std::size_t bytes, unsigned char* to) {
  stream_lines<NarrowLine>(from, bytes, to);
}

#if BRANTOVEIL_X86_64
__attribute__((target("avx512f"))) void stream_bytes_avx512(const unsigned char* from, std::size_t bytes,
                                                            unsigned char* to) {
  stream_lines<WideLine>(from, bytes, to);
}

// Rows [r, r + 8) of a whole tile, columns [cb, cb + 64), into local[c][at .. at + 8) for each
// column c of the tile: 8 x 8 squares transposed in registers (three rounds of lane
// permutations), where the scalar copy would take a load and a store per cell.
__attribute__((target("avx512f"))) void transpose_rows_avx512(const double* cells, std::size_t n, std::size_t r,
                                                              std::size_t cb, double* local, std::size_t stride,
                                                              std::size_t at) {
  const __m512i pair_low = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i pair_high = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  const __m512i half_low = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
  const __m512i half_high = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
  for (std::size_t c0 = 0; c0 < kMirrorTile; c0 += 8) {
    __m512d a[8];
    for (int i = 0; i < 8; ++i) a[i] = _mm512_loadu_pd(cells + (r + static_cast<std::size_t>(i)) * n + cb + c0);
    // b: 2 x 2 squares; c: 4 x 4; d: column j of the 8 rows.
    __m512d b[8];
    for (int i = 0; i < 4; ++i) {
      b[2 * i] = _mm512_maskz_unpacklo_pd(0xFF, a[2 * i], a[2 * i + 1]);  // masked: GCC 12 warns on the plain form
      b[2 * i + 1] = _mm512_maskz_unpackhi_pd(0xFF, a[2 * i], a[2 * i + 1]);
    }
    const __m512d c[8] = {
        _mm512_permutex2var_pd(b[0], pair_low, b[2]),  _mm512_permutex2var_pd(b[0], pair_high, b[2]),
        _mm512_permutex2var_pd(b[1], pair_low, b[3]),  _mm512_permutex2var_pd(b[1], pair_high, b[3]),
        _mm512_permutex2var_pd(b[4], pair_low, b[6]),  _mm512_permutex2var_pd(b[4], pair_high, b[6]),
        _mm512_permutex2var_pd(b[5], pair_low, b[7]),  _mm512_permutex2var_pd(b[5], pair_high, b[7]),
    };
    // c[0]: columns 0 and 4 of rows 0-3; c[1]: 2 and 6; c[2]: 1 and 5; c[3]: 3 and 7; c[4..7] rows 4-7.
    constexpr int kFrom[8] = {0, 2, 1, 3, 0, 2, 1, 3};
    for (int j = 0; j < 8; ++j) {
      const __m512i half = j < 4 ? half_low : half_high;
      const __m512d column = _mm512_permutex2var_pd(c[kFrom[j]], half, c[kFrom[j] + 4]);
      _mm512_storeu_pd(local + (c0 + static_cast<std::size_t>(j)) * stride + at, column);
    }
  }
}

#endif

}  // namespace

template <class T>
void mirror_upper_rows(T* cells, std::size_t n, std::size_t first, std::size_t last) {
  // 64 x 64 tiles keep both the row-wise reads and the column-wise writes inside a cached block.
  // A whole tile off the diagonal is transposed into a local copy and streamed out a row at a
  // time; within other tiles, blocks one cache line wide turn each strided write run into a
  // whole line.
  //
  // A run that started mid-line would leave that line to be written in two parts by two tile
  // rows, each part reading the line in first. So in every row of the whole tile columns the runs
  // start on a line: tile row rb writes [rb - h, rb + 64 - h), h being how far into its line the
  // cell of column rb lies, and reads the up to kLead rows above its own for that. The diagonal
  // tile writes the last h cells before it.
  constexpr std::size_t kTile = kMirrorTile;
  constexpr std::size_t kBlock = 64 / sizeof(T);
  constexpr std::size_t kLead = kBlock - 1;
  const std::size_t whole_columns = n - n % kTile;
  const auto lead_of = [&](std::size_t row, std::size_t rb) {
    return std::min(rb, reinterpret_cast<std::uintptr_t>(cells + row * n + rb) % 64 / sizeof(T));
  };
  alignas(64) T local[kTile][kTile + kLead];
  const bool wide = isa_level() == IsaLevel::avx512;
  for (std::size_t rb = first; rb < last; rb += kTile) {
    const std::size_t r_end = std::min(rb + kTile, n);
    const std::size_t above = std::min(rb, kLead);  // rows above the tile row that may be read
    for (std::size_t cb = rb; cb < n; cb += kTile) {
      const std::size_t c_end = std::min(cb + kTile, n);
      if (cb >= r_end && r_end - rb == kTile && c_end - cb == kTile) {
        std::size_t r = rb - above;
#if BRANTOVEIL_X86_64
        if constexpr (std::is_same_v<T, double>) {
          if (wide) {
            // The rows above the tile one by one, then the tile's own 64 rows eight at a time.
            for (; r < rb; ++r) {
              for (std::size_t c = 0; c < kTile; ++c) local[c][kLead + r - rb] = cells[r * n + cb + c];
            }
            for (; r < r_end; r += 8) transpose_rows_avx512(cells, n, r, cb, &local[0][0], kTile + kLead, kLead + r - rb);
          }
        }
#endif
        for (; r < r_end; ++r) {
          const T* from = cells + r * n + cb;
          for (std::size_t c = 0; c < kTile; ++c) local[c][kLead + r - rb] = from[c];
        }
        for (std::size_t c = 0; c < kTile; ++c) {
          const std::size_t row = cb + c;
          const std::size_t start = rb - lead_of(row, rb);
          const std::size_t end = rb + kTile - reinterpret_cast<std::uintptr_t>(cells + row * n + rb) % 64 / sizeof(T);
          const auto* from = reinterpret_cast<const unsigned char*>(&local[c][kLead + start - rb]);
          auto* to = reinterpret_cast<unsigned char*>(cells + row * n + start);
#if BRANTOVEIL_X86_64
          if (wide) {
            stream_bytes_avx512(from, (end - start) * sizeof(T), to);
            continue;
          }
#endif
          stream_bytes(from, (end - start) * sizeof(T), to);
        }
        continue;
      }
      if (cb == rb && rb > 0) {
        // The diagonal tile of a whole tile column: the cells the tile row above left to it.
        for (std::size_t c = cb; c < std::min(c_end, whole_columns); ++c) {
          for (std::size_t r = rb - lead_of(c, rb); r < rb; ++r) cells[c * n + r] = cells[r * n + c];
        }
      }
      for (std::size_t rs = rb; rs < r_end; rs += kBlock) {
        for (std::size_t cs = std::max(cb, rs); cs < c_end; cs += kBlock) {
          if (cs >= rs + kBlock && cs + kBlock <= c_end && rs + kBlock <= r_end) {
            // Wholly above the diagonal: a plain square transpose.
            for (std::size_t c = cs; c < cs + kBlock; ++c) {
              T* to = cells + c * n + rs;
              const T* from = cells + rs * n + c;
              for (std::size_t r = 0; r < kBlock; ++r) to[r] = from[r * n];
            }
            continue;
          }
          const std::size_t r_stop = std::min(rs + kBlock, r_end);
          const std::size_t c_stop = std::min(cs + kBlock, c_end);
          for (std::size_t r = rs; r < r_stop; ++r) {
            for (std::size_t c = std::max(cs, r + 1); c < c_stop; ++c) cells[c * n + r] = cells[r * n + c];
          }
        }
      }
    }
  }
  // The streamed lines reach memory before the loop that ran this returns.
#if BRANTOVEIL_X86_64
  _mm_sfence();
#else
  (void)wide;
#endif
}

template <class T>
void mirror_upper(T* cells, std::size_t n) {
  pool::parallel_for((n + kMirrorTile - 1) / kMirrorTile, [&](std::size_t tile) {
    const std::size_t first = tile * kMirrorTile;
    mirror_upper_rows(cells, n, first, std::min(first + kMirrorTile, n));
  });
}

template void mirror_upper<std::uint32_t>(std::uint32_t*, std::size_t);
template void mirror_upper<double>(double*, std::size_t);
template void mirror_upper_rows<std::uint32_t>(std::uint32_t*, std::size_t, std::size_t, std::size_t);
template void mirror_upper_rows<double>(double*, std::size_t, std::size_t, std::size_t);

void wrong_result_size(std::size_t expected, std::size_t given) {
  std::fprintf(stderr, "brantoveil: internal error: a result view holds %zu cells where %zu are needed\n", given,
               expected);
  std::abort();
}

}  // namespace brantoveil::distances
