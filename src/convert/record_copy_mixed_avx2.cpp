// The AVX2 kernel that reverses stretches of mixed fields: sixteen entries
// at a time become, in vector registers, a plan of where each pair of
// fields starts and which byte shuffle reverses it; the copy then takes one
// load, one shuffle and one store per pair.
#include "convert/record_copy.h"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace zelk::detail {

namespace {

using Byte = unsigned char;

// Shuffle patterns for two fields of a and b bytes (1 to 16) at the start
// of a 16-byte block: row (a - 1) * 16 + b - 1 reverses both where a + b is
// at most 16, and the first alone otherwise.
struct ReversePairs {
    unsigned char rows[256][16];
};

constexpr ReversePairs makeReversePairs()
{
    ReversePairs pairs{};
    for (int a = 1; a <= 16; ++a)
        for (int b = 1; b <= 16; ++b)
            for (int t = 0; t < 16; ++t) {
                int from = t;
                if (t < a)
                    from = a - 1 - t;
                else if (t < a + b)
                    from = 2 * a + b - 1 - t;
                pairs.rows[(a - 1) * 16 + b - 1][t] =
                    static_cast<unsigned char>(from);
            }
    return pairs;
}

alignas(64) constexpr ReversePairs kReversePairs = makeReversePairs();

// Shuffles a 16-byte block with the given pattern, which reverses one or two
// fields at the block's start; the rest of the block gets bytes that follow
// in any order, for the next fields to overwrite. Both areas must hold the
// whole block.
__attribute__((target("avx2"))) inline void
reverseBlock(const Byte *src, Byte *dst, const unsigned char *pattern)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(dst),
        _mm_shuffle_epi8(
            v, _mm_load_si128(reinterpret_cast<const __m128i *>(pattern))));
}

// Entries from..to one by one, any size; off is the bytes done so far.
__attribute__((target("avx2"))) size_t reverseEach(const Byte *src, Byte *dst,
                                                   const char *layout,
                                                   size_t from, size_t to,
                                                   size_t off, size_t room)
{
    for (size_t i = from; i < to; ++i) {
        const int n = layoutEntry(layout, i);
        if (n <= 0)
            continue;
        const size_t size = static_cast<size_t>(n);
        if (size <= 16 && room - off >= 16)
            reverseBlock(src + off, dst + off, kReverseHeads.rows[size & 15]);
        else
            reverseField(src + off, dst + off, size);
        off += size;
    }
    return off;
}

// A pair of fields of which one exceeds 16 bytes, taken one by one; kept
// out of line so that the common path keeps its registers.
__attribute__((target("avx2"), noinline, cold)) void
reverseApart(const Byte *src, Byte *dst, size_t a, size_t b)
{
    const size_t sizes[2] = {a, b};
    for (const size_t n : sizes) {
        if (n <= 16)
            reverseBlock(src, dst, kReverseHeads.rows[n & 15]);
        else
            reverseField(src, dst, n);
        src += n;
        dst += n;
    }
}

// Sixteen entries worked out in vector registers: where each pair of
// fields starts, which shuffle row reverses it, and whether it exceeds one
// 16-byte block.
struct ChunkPlan {
    alignas(16) uint32_t pairs[8]; // start | row << 16: one load per pair
    unsigned split;                // bit 2k: pair k exceeds a block
    unsigned total;                // bytes
};

enum class Plan { done, run, other, end };

__attribute__((target("avx2"))) inline Plan
planChunk(const char *layout, size_t room, ChunkPlan &plan)
{
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i sizes =
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(layout));
    // Eight equal entries first: a run, perhaps, for the driver's kernel.
    if ((_mm_movemask_epi8(_mm_cmpeq_epi8(sizes, _mm_slli_si128(sizes, 1))) &
         0xFE) == 0xFE &&
        equalWordRun(
            loadBytes<uint64_t>(reinterpret_cast<const Byte *>(layout))))
        return Plan::run;
    const __m128i sum = _mm_sad_epu8(sizes, _mm_setzero_si128());
    const auto total = static_cast<unsigned>(
        _mm_cvtsi128_si32(_mm_add_epi64(sum, _mm_unpackhi_epi64(sum, sum))));
    if (_mm_movemask_epi8(sizes) != 0 || total > 255)
        return Plan::other; // negative entries, or starts beyond a byte
    if (room < total + 16)
        return Plan::end;
    __m128i ends = _mm_add_epi8(sizes, _mm_slli_si128(sizes, 1));
    ends = _mm_add_epi8(ends, _mm_slli_si128(ends, 2));
    ends = _mm_add_epi8(ends, _mm_slli_si128(ends, 4));
    ends = _mm_add_epi8(ends, _mm_slli_si128(ends, 8));
    // In each 16-bit lane, a in the low byte and b in the high one: with
    // both at most 16, (a - 1) * 256 + (b - 1) * 16 is the offset of the row
    // that reverses the pair, or a alone where a + b exceeds 16. Larger
    // fields give larger offsets, cut to the table's last row.
    const __m128i less = _mm_sub_epi8(sizes, ones);
    const __m128i rows = _mm_min_epu16(
        _mm_or_si128(_mm_slli_epi16(less, 8), _mm_srli_epi16(less, 4)),
        _mm_set1_epi16(255 * 16));
    const __m128i starts =
        _mm_and_si128(_mm_slli_si128(ends, 1), _mm_set1_epi16(0xFF));
    _mm_store_si128(reinterpret_cast<__m128i *>(plan.pairs),
                    _mm_unpacklo_epi16(starts, rows));
    _mm_store_si128(reinterpret_cast<__m128i *>(plan.pairs + 4),
                    _mm_unpackhi_epi16(starts, rows));
    plan.split = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpgt_epi16(_mm_maddubs_epi16(sizes, ones), _mm_set1_epi16(16))));
    plan.total = total;
    return Plan::done;
}

// The fields of a planned chunk: a load, a shuffle and a store per pair,
// then the second field alone where the pair exceeds a block.
__attribute__((target("avx2"))) inline void
reverseChunk(const Byte *src, Byte *dst, const char *layout,
             const ChunkPlan &plan, const unsigned char *pairs)
{
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
        const uint32_t pair = plan.pairs[k];
        const size_t at = pair & 0xFF;
        reverseBlock(src + at, dst + at, pairs + (pair >> 16));
        if ((plan.split & (1u << (2 * k))) != 0) [[unlikely]] {
            const auto a = static_cast<size_t>(layout[2 * k]);
            const auto b = static_cast<size_t>(layout[2 * k + 1]);
            if (a > 16 || b > 16)
                reverseApart(src + at, dst + at, a, b);
            else
                reverseBlock(src + at + a, dst + at + a, pairs + (b - 1) * 256);
        }
    }
}

} // namespace

__attribute__((target("avx2"))) size_t
avx2ReverseFields(const Byte *src, Byte *dst, const char *layout, size_t count,
                  size_t room, size_t *bytes)
{
    // Kept in a register rather than formed again for every pair.
    const unsigned char *pairs = kReversePairs.rows[0];
    asm("" : "+r"(pairs));
    size_t i = 0;
    size_t off = 0;
    // Four chunks of sixteen entries are planned before any is copied, so
    // that the copying never waits for its plan.
    constexpr size_t kChunks = 4;
    ChunkPlan plans[kChunks];
    while (i + 16 <= count) {
        size_t planned = 0;
        size_t ahead = off;
        Plan last = Plan::done;
        for (; planned < kChunks && i + 16 * (planned + 1) <= count;
             ++planned) {
            last = planChunk(layout + i + 16 * planned, room - ahead,
                             plans[planned]);
            if (last != Plan::done)
                break;
            ahead += plans[planned].total;
        }
        for (size_t c = 0; c < planned; ++c) {
            reverseChunk(src + off, dst + off, layout + i, plans[c], pairs);
            off += plans[c].total;
            i += 16;
        }
        if (last == Plan::run || last == Plan::end)
            break; // a run for the driver's kernel, or the record's end
        if (last == Plan::other) {
            off = reverseEach(src, dst, layout, i, i + 16, off, room);
            i += 16;
        }
    }
    if (i + 16 > count || room - off < 16 * 127 + 16) {
        // Few entries or bytes left: a field at a time.
        off = reverseEach(src, dst, layout, i, count, off, room);
        i = count;
    }
    *bytes = off;
    return i;
}

} // namespace zelk::detail

#endif
