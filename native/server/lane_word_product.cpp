#include "server/lane_word_product.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "server/parallel_for.hpp"

namespace quorvex {

namespace {

// A block holds the values of 16 vectors (a strip) at a pair of columns as
// 16 words of their low halves, one column in each 16-bit half of a word,
// then 16 words of their high halves; strip after strip, each pair after pair.
constexpr std::size_t kStrip = 16;
constexpr std::size_t kPairWords = 2 * kStrip;
// Strips are padded with zero vectors to whole groups of this many, the widest tile's.
constexpr std::size_t kStripGroup = 2;
constexpr std::size_t kMaxTileRows = 6;

// The halves of a word as 16-bit patterns, a = lo + 2^16 hi modulo 2^32 with
// lo and hi read as signed: hi takes the carry of a negative lo.
constexpr std::uint32_t low_half(std::uint32_t a) { return a & 0xFFFFu; }
constexpr std::uint32_t high_half(std::uint32_t a) { return ((a + 0x8000u) >> 16) & 0xFFFFu; }

// The 16-bit pattern in the low half of `word`, sign-extended (as a 32-bit
// value modulo 2^32).
constexpr std::uint32_t signed_half(std::uint32_t word) {
  return static_cast<std::uint32_t>(static_cast<std::int16_t>(word & 0xFFFFu));
}

// Rows of lanes times some strips of a block, added to each row's sums.
struct Tile {
  std::size_t rows = 0;    // the portable kernel's counts; the SIMD kernels take their own
  std::size_t strips = 0;
  // Each row from the block's first column on, read to an even count of
  // lanes: the lane after an odd block's last one meets zero words.
  const std::uint16_t* lanes[kMaxTileRows] = {};
  std::uint32_t* out[kMaxTileRows] = {};  // each row's sums at the first vector of the tile
  const std::uint32_t* factors = nullptr;  // the tile's first strip
  std::size_t strip_words = 0;             // from one strip to the next
  std::size_t columns = 0;                 // of the block
};

using TileKernel = void (*)(const Tile& tile);

// Adds low + 2^16 high to `count` sums.
void add_halves(std::uint32_t* out, const std::uint32_t* low, const std::uint32_t* high, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] += low[i] + (high[i] << 16);
}

// Any lane: unsigned 32-bit arithmetic, which wraps as the sums do.
void tile_portable(const Tile& tile) {
  for (std::size_t r = 0; r < tile.rows; ++r) {
    const std::uint16_t* lanes = tile.lanes[r];
    for (std::size_t s = 0; s < tile.strips; ++s) {
      const std::uint32_t* words = tile.factors + s * tile.strip_words;
      std::uint32_t low[kStrip] = {}, high[kStrip] = {};
      for (std::size_t c = 0; c < tile.columns; c += 2, words += kPairWords) {
        const std::uint32_t lane0 = lanes[c], lane1 = lanes[c + 1];
        for (std::size_t i = 0; i < kStrip; ++i) {
          low[i] += lane0 * signed_half(words[i]) + lane1 * signed_half(words[i] >> 16);
          high[i] += lane0 * signed_half(words[kStrip + i]) + lane1 * signed_half(words[kStrip + i] >> 16);
        }
      }
      add_halves(tile.out[r] + s * kStrip, low, high, kStrip);
    }
  }
}

#if defined(__x86_64__)

std::uint32_t lane_pair(const std::uint16_t* lanes) {
  std::uint32_t pair = 0;
  std::memcpy(&pair, lanes, sizeof pair);
  return pair;
}

// The SIMD kernels keep their sums in registers over the columns and store
// them to memory before adding them up: GCC 12 moves and spills the sums
// inside the loop when its exit needs registers of its own.

// Six rows by two strips: 24 sums in registers. Each step broadcasts a row's
// pair of lanes and multiplies it with the words of a pair of columns
// (vpdpwssd: two signed 16-bit products added to each 32-bit sum).
__attribute__((target("avx512f,avx512vnni"))) void tile_avx512_vnni(const Tile& tile) {
  constexpr std::size_t kRows = 6, kStrips = 2;
  __m512i low[kRows][kStrips], high[kRows][kStrips];
#pragma GCC unroll 6
  for (std::size_t r = 0; r < kRows; ++r) {
#pragma GCC unroll 2
    for (std::size_t s = 0; s < kStrips; ++s) low[r][s] = high[r][s] = _mm512_setzero_si512();
  }
  const std::uint32_t* words = tile.factors;
  for (std::size_t c = 0; c < tile.columns; c += 2, words += kPairWords) {
    __m512i low_words[kStrips], high_words[kStrips];
#pragma GCC unroll 2
    for (std::size_t s = 0; s < kStrips; ++s) {
      low_words[s] = _mm512_load_si512(words + s * tile.strip_words);
      high_words[s] = _mm512_load_si512(words + s * tile.strip_words + kStrip);
    }
#pragma GCC unroll 6
    for (std::size_t r = 0; r < kRows; ++r) {
      const __m512i lanes = _mm512_set1_epi32(static_cast<int>(lane_pair(tile.lanes[r] + c)));
#pragma GCC unroll 2
      for (std::size_t s = 0; s < kStrips; ++s) {
        low[r][s] = _mm512_dpwssd_epi32(low[r][s], lanes, low_words[s]);
        high[r][s] = _mm512_dpwssd_epi32(high[r][s], lanes, high_words[s]);
      }
    }
  }
  alignas(64) std::uint32_t low_sums[kRows][kStrips * kStrip], high_sums[kRows][kStrips * kStrip];
#pragma GCC unroll 6
  for (std::size_t r = 0; r < kRows; ++r) {
#pragma GCC unroll 2
    for (std::size_t s = 0; s < kStrips; ++s) {
      _mm512_store_si512(low_sums[r] + s * kStrip, low[r][s]);
      _mm512_store_si512(high_sums[r] + s * kStrip, high[r][s]);
    }
  }
  for (std::size_t r = 0; r < kRows; ++r) add_halves(tile.out[r], low_sums[r], high_sums[r], kStrips * kStrip);
}

// Two rows by one strip, as two halves of eight vectors: vpmaddwd forms the
// two products of a pair and their sum, vpaddd adds it.
__attribute__((target("avx2"))) void tile_avx2(const Tile& tile) {
  constexpr std::size_t kRows = 2, kHalves = 2, kHalf = kStrip / kHalves;
  __m256i low[kRows][kHalves], high[kRows][kHalves];
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t h = 0; h < kHalves; ++h) low[r][h] = high[r][h] = _mm256_setzero_si256();
  }
  const std::uint32_t* words = tile.factors;
  for (std::size_t c = 0; c < tile.columns; c += 2, words += kPairWords) {
    __m256i low_words[kHalves], high_words[kHalves];
    for (std::size_t h = 0; h < kHalves; ++h) {
      low_words[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(words + h * kHalf));
      high_words[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(words + kStrip + h * kHalf));
    }
    for (std::size_t r = 0; r < kRows; ++r) {
      const __m256i lanes = _mm256_set1_epi32(static_cast<int>(lane_pair(tile.lanes[r] + c)));
      for (std::size_t h = 0; h < kHalves; ++h) {
        low[r][h] = _mm256_add_epi32(low[r][h], _mm256_madd_epi16(lanes, low_words[h]));
        high[r][h] = _mm256_add_epi32(high[r][h], _mm256_madd_epi16(lanes, high_words[h]));
      }
    }
  }
  alignas(32) std::uint32_t low_sums[kRows][kStrip], high_sums[kRows][kStrip];
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t h = 0; h < kHalves; ++h) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(low_sums[r] + h * kHalf), low[r][h]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(high_sums[r] + h * kHalf), high[r][h]);
    }
  }
  for (std::size_t r = 0; r < kRows; ++r) add_halves(tile.out[r], low_sums[r], high_sums[r], kStrip);
}

#endif

// A kernel and the rows and strips of its tiles.
struct TileShape {
  TileKernel kernel;
  std::size_t rows;
  std::size_t strips;
};

TileShape tile_shape(WordProductKernel kernel) {
  switch (kernel) {
#if defined(__x86_64__)
    case WordProductKernel::Avx512Vnni:
      return {tile_avx512_vnni, 6, 2};
    case WordProductKernel::Avx2:
      return {tile_avx2, 2, 1};
#endif
    default:
      return {tile_portable, 2, kStripGroup};
  }
}

// Whether the SIMD kernels, which read lanes as signed, take the tile's lanes.
bool lanes_below_2_15(const Tile& tile) {
  std::uint16_t any = 0;
  for (std::size_t r = 0; r < tile.rows; ++r) {
    for (std::size_t c = 0; c < tile.columns; ++c) any |= tile.lanes[r][c];
  }
  return any < 0x8000;
}

struct AlignedDelete {
  void operator()(std::uint32_t* words) const { ::operator delete[](words, std::align_val_t{64}); }
};

// One block of columns of every vector in the kernels' layout, each pair of
// columns of a strip on a 64-byte boundary; padding vectors stay zero, as
// does the missing partner of an odd block's last column.
class PackedBlock {
 public:
  PackedBlock(std::size_t strips, std::size_t capacity)
      : strip_words_((capacity + 1) / 2 * kPairWords),
        words_(static_cast<std::uint32_t*>(::operator new[](strips * strip_words_ * 4, std::align_val_t{64}))) {
    std::fill_n(words_.get(), strips * strip_words_, 0u);
  }

  std::size_t strip_words() const { return strip_words_; }
  const std::uint32_t* strip(std::size_t s) const { return words_.get() + s * strip_words_; }

  // Lays out `values` (columns of vector_count values each) and adds each
  // vector's values to its sum.
  void pack(std::span<const std::uint32_t> values, std::size_t vector_count, std::span<std::uint32_t> sums) {
    const std::size_t columns = values.size() / vector_count;
    for (std::size_t c = 0; c < columns; ++c) {
      const std::uint32_t* column = values.data() + c * vector_count;
      std::uint32_t* pair = words_.get() + c / 2 * kPairWords;
      const bool second = c % 2 == 1;
      for (std::size_t k = 0; k < vector_count; ++k) {
        std::uint32_t* word = pair + k / kStrip * strip_words_ + k % kStrip;
        const std::uint32_t value = column[k];
        if (second) {
          word[0] |= low_half(value) << 16;
          word[kStrip] |= high_half(value) << 16;
        } else {
          word[0] = low_half(value);
          word[kStrip] = high_half(value);
        }
        sums[k] += value;
      }
    }
  }

 private:
  std::size_t strip_words_;
  std::unique_ptr<std::uint32_t[], AlignedDelete> words_;
};

// Columns per block: a block of every vector takes about 1 MiB, which stays
// in the second-level cache beside the lanes of a tile.
std::size_t block_columns(std::size_t padded_vectors) {
  constexpr std::size_t kBlockBytes = 1024 * 1024;
  const std::size_t columns = kBlockBytes / (4 * padded_vectors);
  return std::max<std::size_t>(2, columns - columns % 2);
}

}  // namespace

WordProductKernel fastest_word_product_kernel() {
  static const WordProductKernel fastest = [] {
    for (const WordProductKernel kernel : {WordProductKernel::Avx512Vnni, WordProductKernel::Avx2}) {
      if (word_product_kernel_available(kernel)) return kernel;
    }
    return WordProductKernel::Portable;
  }();
  return fastest;
}

bool word_product_kernel_available(WordProductKernel kernel) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (kernel == WordProductKernel::Avx512Vnni) return __builtin_cpu_supports("avx512vnni");
  if (kernel == WordProductKernel::Avx2) return __builtin_cpu_supports("avx2");
#endif
  return kernel == WordProductKernel::Portable;
}

std::vector<std::uint32_t> lane_word_products(const LaneRows& rows, std::size_t column_count,
                                              std::size_t vector_count, std::uint32_t lane_offset, unsigned threads,
                                              const FillWords& fill, WordProductKernel kernel) {
  if (vector_count == 0) return {};
  const TileShape shape = tile_shape(kernel);
  const std::size_t strip_count = (vector_count + kStrip * kStripGroup - 1) / (kStrip * kStripGroup) * kStripGroup;
  const std::size_t width = strip_count * kStrip;  // values per row while the sums are taken
  const std::size_t block = block_columns(width);
  std::vector<std::uint32_t> out(rows.row_count * width, 0);
  // Each thread takes a contiguous range of rows and every block of columns.
  parallel_for(rows.row_count, threads, [&](std::size_t, std::size_t first_row, std::size_t last_row) {
    PackedBlock packed(strip_count, block);
    std::vector<std::uint32_t> values(block * vector_count), sums(vector_count, 0), spare(width);
    // The lanes of the rows that pad the last tile, and of the last row of
    // an odd last block, which the kernels read one lane past.
    std::vector<std::uint16_t> zeros(block + 1, 0), last(block + 1, 0);
    for (std::size_t first = 0; first < column_count; first += block) {
      const std::size_t length = std::min(block, column_count - first);
      fill(std::span(values).first(length * vector_count), first);
      packed.pack(std::span(values).first(length * vector_count), vector_count, sums);
      for (std::size_t r = first_row; r < last_row; r += shape.rows) {
        Tile tile{.rows = shape.rows, .strips = shape.strips, .strip_words = packed.strip_words(), .columns = length};
        std::uint32_t* row_sums[kMaxTileRows];
        for (std::size_t i = 0; i < shape.rows; ++i) {
          const std::size_t row = r + i;
          if (row >= last_row) {
            tile.lanes[i] = zeros.data();
            row_sums[i] = spare.data();
            continue;
          }
          tile.lanes[i] = rows.first + row * rows.row_stride + first;
          if (length % 2 == 1 && row + 1 == rows.row_count && first + length == column_count) {
            std::copy_n(tile.lanes[i], length, last.begin());
            tile.lanes[i] = last.data();
          }
          row_sums[i] = out.data() + row * width;
        }
        const TileKernel kernel_of_tile = lanes_below_2_15(tile) ? shape.kernel : tile_portable;
        for (std::size_t s = 0; s < strip_count; s += shape.strips) {
          tile.factors = packed.strip(s);
          for (std::size_t i = 0; i < shape.rows; ++i) tile.out[i] = row_sums[i] + s * kStrip;
          kernel_of_tile(tile);
        }
      }
    }
    for (std::size_t row = first_row; row < last_row; ++row) {
      for (std::size_t k = 0; k < vector_count; ++k) out[row * width + k] -= lane_offset * sums[k];
    }
  });
  // Rows move down to vector_count values each (front to back, so nothing is
  // overwritten before it moves).
  if (width != vector_count) {
    for (std::size_t row = 1; row < rows.row_count; ++row) {
      std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(row * width), vector_count,
                  out.begin() + static_cast<std::ptrdiff_t>(row * vector_count));
    }
    out.resize(rows.row_count * vector_count);
  }
  return out;
}

}  // namespace quorvex
