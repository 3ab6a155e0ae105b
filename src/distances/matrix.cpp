// Pair counting and the tiled mirror of the symmetric result matrix.
#include "distances/matrix.h"

#include <algorithm>
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
#if BRANTOVEIL_NEON
#include <arm_neon.h>
#endif

namespace brantoveil::distances {

std::uint64_t pairs_in_rows(std::size_t n, std::size_t r0, std::size_t rows) {
  if (rows == 0) return 0;
  const std::uint64_t w = rows;
  return w * (n - 1 - r0) - w * (w - 1) / 2;
}

namespace {

// One whole line, in 16-byte parts (SSE2), 32-byte parts (AVX2) or at once (AVX-512); a plain copy
// elsewhere.
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
struct HalfLine {
  __attribute__((target("avx2"))) static void copy(const unsigned char* from, unsigned char* to) {
    for (std::size_t q = 0; q < 64; q += 32) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(to + q), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + q)));
    }
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

__attribute__((target("avx2"))) void stream_bytes_avx2(const unsigned char* from, std::size_t bytes,
                                                       unsigned char* to) {
  stream_lines<HalfLine>(from, bytes, to);
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


// The same for the narrower vectors: rows [r, r + kRows) of a whole tile into local[c][at ..
// at + kRows), kRows x kRows squares (4 x 4 doubles or 8 x 8 counts with AVX2) transposed by
// interleaving pairs of rows, then pairs of pairs, then the two 128-bit halves.
struct TransposeAvx2 {
  static constexpr std::size_t kDoubleRows = 4;
  static constexpr std::size_t kCountRows = 8;

  __attribute__((target("avx2"))) static void rows(const double* cells, std::size_t n, std::size_t r,
                                                   std::size_t cb, double* local, std::size_t stride,
                                                   std::size_t at) {
    for (std::size_t c0 = 0; c0 < kMirrorTile; c0 += 4) {
      __m256d a[4];
      for (std::size_t i = 0; i < 4; ++i) a[i] = _mm256_loadu_pd(cells + (r + i) * n + cb + c0);
      const __m256d low01 = _mm256_unpacklo_pd(a[0], a[1]);  // columns 0 and 2 of rows 0-1
      const __m256d high01 = _mm256_unpackhi_pd(a[0], a[1]);  // columns 1 and 3
      const __m256d low23 = _mm256_unpacklo_pd(a[2], a[3]);
      const __m256d high23 = _mm256_unpackhi_pd(a[2], a[3]);
      double* to = local + c0 * stride + at;
      _mm256_storeu_pd(to, _mm256_permute2f128_pd(low01, low23, 0x20));
      _mm256_storeu_pd(to + stride, _mm256_permute2f128_pd(high01, high23, 0x20));
      _mm256_storeu_pd(to + 2 * stride, _mm256_permute2f128_pd(low01, low23, 0x31));
      _mm256_storeu_pd(to + 3 * stride, _mm256_permute2f128_pd(high01, high23, 0x31));
    }
  }

  __attribute__((target("avx2"))) static void rows(const std::uint32_t* cells, std::size_t n, std::size_t r,
                                                   std::size_t cb, std::uint32_t* local, std::size_t stride,
                                                   std::size_t at) {
    for (std::size_t c0 = 0; c0 < kMirrorTile; c0 += 8) {
      __m256i a[8];
      for (std::size_t i = 0; i < 8; ++i) {
        a[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cells + (r + i) * n + cb + c0));
      }
      // b: 2 x 2 squares of rows 2i, 2i + 1; c: 4 x 4 squares within each 128-bit half.
      __m256i b[8];
      for (std::size_t i = 0; i < 4; ++i) {
        b[2 * i] = _mm256_unpacklo_epi32(a[2 * i], a[2 * i + 1]);
        b[2 * i + 1] = _mm256_unpackhi_epi32(a[2 * i], a[2 * i + 1]);
      }
      __m256i c[8];
      for (std::size_t h = 0; h < 2; ++h) {
        c[4 * h + 0] = _mm256_unpacklo_epi64(b[4 * h], b[4 * h + 2]);      // column 0 (and 4)
        c[4 * h + 1] = _mm256_unpackhi_epi64(b[4 * h], b[4 * h + 2]);      // column 1 (and 5)
        c[4 * h + 2] = _mm256_unpacklo_epi64(b[4 * h + 1], b[4 * h + 3]);  // column 2 (and 6)
        c[4 * h + 3] = _mm256_unpackhi_epi64(b[4 * h + 1], b[4 * h + 3]);  // column 3 (and 7)
      }
      std::uint32_t* to = local + c0 * stride + at;
      for (std::size_t j = 0; j < 4; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + j * stride), _mm256_permute2x128_si256(c[j], c[4 + j], 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + (j + 4) * stride),
                            _mm256_permute2x128_si256(c[j], c[4 + j], 0x31));
      }
    }
  }
};
#endif

#if BRANTOVEIL_NEON
// NEON: 2 x 2 squares of doubles and 4 x 4 squares of counts (interleaving pairs of rows, then
// their 64-bit halves).
struct TransposeNeon {
  static constexpr std::size_t kDoubleRows = 2;
  static constexpr std::size_t kCountRows = 4;

  static void rows(const double* cells, std::size_t n, std::size_t r, std::size_t cb, double* local,
                   std::size_t stride, std::size_t at) {
    for (std::size_t c0 = 0; c0 < kMirrorTile; c0 += 2) {
      const float64x2_t a0 = vld1q_f64(cells + r * n + cb + c0);
      const float64x2_t a1 = vld1q_f64(cells + (r + 1) * n + cb + c0);
      vst1q_f64(local + c0 * stride + at, vzip1q_f64(a0, a1));
      vst1q_f64(local + (c0 + 1) * stride + at, vzip2q_f64(a0, a1));
    }
  }

  static void rows(const std::uint32_t* cells, std::size_t n, std::size_t r, std::size_t cb, std::uint32_t* local,
                   std::size_t stride, std::size_t at) {
    for (std::size_t c0 = 0; c0 < kMirrorTile; c0 += 4) {
      uint32x4_t a[4];
      for (std::size_t i = 0; i < 4; ++i) a[i] = vld1q_u32(cells + (r + i) * n + cb + c0);
      const uint64x2_t b0 = vreinterpretq_u64_u32(vtrn1q_u32(a[0], a[1]));  // columns 0 and 2 of rows 0-1
      const uint64x2_t b1 = vreinterpretq_u64_u32(vtrn2q_u32(a[0], a[1]));  // columns 1 and 3
      const uint64x2_t b2 = vreinterpretq_u64_u32(vtrn1q_u32(a[2], a[3]));
      const uint64x2_t b3 = vreinterpretq_u64_u32(vtrn2q_u32(a[2], a[3]));
      std::uint32_t* to = local + c0 * stride + at;
      vst1q_u32(to, vreinterpretq_u32_u64(vtrn1q_u64(b0, b2)));
      vst1q_u32(to + stride, vreinterpretq_u32_u64(vtrn1q_u64(b1, b3)));
      vst1q_u32(to + 2 * stride, vreinterpretq_u32_u64(vtrn2q_u64(b0, b2)));
      vst1q_u32(to + 3 * stride, vreinterpretq_u32_u64(vtrn2q_u64(b1, b3)));
    }
  }
};
#endif

// The transpose of a whole tile's rows and the copy of its lines this CPU and the cap allow.
template <class T>
struct TileCopy {
  void (*transpose)(const T*, std::size_t, std::size_t, std::size_t, T*, std::size_t, std::size_t) = nullptr;
  std::size_t rows_per_step = 1;
  void (*stream)(const unsigned char*, std::size_t, unsigned char*) = stream_bytes;
};

#if BRANTOVEIL_X86_64
// AVX-512 has no 16 x 16 transpose of counts: AVX2's 8 x 8 one serves them.
template <class T>
constexpr TileCopy<T> avx512_copy() {
  if constexpr (std::is_same_v<T, double>) {
    return {transpose_rows_avx512, 8, stream_bytes_avx512};
  } else {
    return {TransposeAvx2::rows, TransposeAvx2::kCountRows, stream_bytes_avx512};
  }
}
#endif

// The copies, best first.
template <class T>
const Implementation<TileCopy<T>> kTileCopies[] = {
#if BRANTOVEIL_X86_64
    {Isa::avx512, avx512_copy<T>()},
    {Isa::avx2, {TransposeAvx2::rows,
                 std::is_same_v<T, double> ? TransposeAvx2::kDoubleRows : TransposeAvx2::kCountRows,
                 stream_bytes_avx2}},
#endif
#if BRANTOVEIL_NEON
    {Isa::neon, {TransposeNeon::rows,
                 std::is_same_v<T, double> ? TransposeNeon::kDoubleRows : TransposeNeon::kCountRows, stream_bytes}},
#endif
    {Isa::plain, {}},
};

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
  const TileCopy<T> copy = pick<TileCopy<T>>(kTileCopies<T>).entry;
  for (std::size_t rb = first; rb < last; rb += kTile) {
    const std::size_t r_end = std::min(rb + kTile, n);
    const std::size_t above = std::min(rb, kLead);  // rows above the tile row that may be read
    for (std::size_t cb = rb; cb < n; cb += kTile) {
      const std::size_t c_end = std::min(cb + kTile, n);
      if (cb >= r_end && r_end - rb == kTile && c_end - cb == kTile) {
        std::size_t r = rb - above;
        if (copy.transpose != nullptr) {
          // The rows above the tile one by one, then the tile's own 64 rows a square at a time.
          for (; r < rb; ++r) {
            for (std::size_t c = 0; c < kTile; ++c) local[c][kLead + r - rb] = cells[r * n + cb + c];
          }
          for (; r < r_end; r += copy.rows_per_step) {
            copy.transpose(cells, n, r, cb, &local[0][0], kTile + kLead, kLead + r - rb);
          }
        }
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
          copy.stream(from, (end - start) * sizeof(T), to);
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
