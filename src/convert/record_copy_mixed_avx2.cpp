// The AVX2 kernel that reverses stretches of mixed fields: thirty-two
// entries at a time become, in vector registers, a plan of where each
// group of two or four fields starts and which byte shuffle reverses it; the
// copy then takes one load, one shuffle and one store per group.
#include "convert/record_copy.h"
#include "convert/reverse_patterns.h"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace zelk::detail {

namespace {

using Byte = unsigned char;

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

// Thirty-two entries worked out in vector registers, sixteen pairs in the
// 16-bit lanes of one register and eight quads in the 32-bit ones: where
// each pair of fields starts, which shuffle row reverses it, whether it
// exceeds one 16-byte block, and which quads one shuffle reverses whole.
struct BlockPlan {
    alignas(32) uint16_t starts[16];  // bytes from the block's first field
    alignas(32) uint16_t rows[16];    // the row's offset in kReversePairs
    alignas(32) uint32_t quadRows[8]; // the row's offset in kReverseQuads
    uint32_t split;                   // bit 2k: pair k exceeds a block
    unsigned quads;                   // bit q: quad q fits a block
    unsigned total;                   // bytes
};

constexpr size_t kBlockEntries = 32;

enum class Plan { done, run, other, end };

// The plan's constant operands, formed once per call.
struct PlanConstants {
    __m256i ones, eights, lastLane, lastRow, sixteens, quadWeights, quadScale,
        wordOnes, wordSixteens;
};

__attribute__((target("avx2"))) inline PlanConstants planConstants()
{
    PlanConstants c{_mm256_set1_epi8(1),           _mm256_set1_epi8(8),
                    _mm256_set1_epi16(0x0F0E),     _mm256_set1_epi16(255 * 16),
                    _mm256_set1_epi16(16),         _mm256_set1_epi16(0x0108),
                    _mm256_set1_epi32(0x00010040), _mm256_set1_epi16(1),
                    _mm256_set1_epi32(16)};
    // Opaque to the compiler from here on, so that it keeps the values
    // rather than forming them again where they are used; one at a time, as
    // 32-bit x86 has only eight vector registers.
    asm("" : "+x"(c.ones));
    asm("" : "+x"(c.eights));
    asm("" : "+x"(c.lastLane));
    asm("" : "+x"(c.lastRow));
    asm("" : "+x"(c.sixteens));
    asm("" : "+x"(c.quadWeights));
    asm("" : "+x"(c.quadScale));
    asm("" : "+x"(c.wordOnes));
    asm("" : "+x"(c.wordSixteens));
    return c;
}

__attribute__((target("avx2"))) inline Plan planBlock(const char *layout,
                                                      size_t room,
                                                      BlockPlan &plan,
                                                      const PlanConstants &k)
{
    const __m256i sizes =
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(layout));
    // Eight equal entries first: a run, perhaps, for the driver's kernel.
    if ((_mm256_movemask_epi8(
             _mm256_cmpeq_epi8(sizes, _mm256_slli_si256(sizes, 1))) &
         0xFE) == 0xFE &&
        equalWordRun(
            loadBytes<uint64_t>(reinterpret_cast<const Byte *>(layout))))
        return Plan::run;
    if (_mm256_movemask_epi8(sizes) != 0)
        return Plan::other; // negative entries
    // Each pair's size, then the sums up to each pair's end: within each
    // half of the register, and the low half's total added to the high one.
    const __m256i pairSizes = _mm256_maddubs_epi16(sizes, k.ones);
    __m256i ends = _mm256_add_epi16(pairSizes, _mm256_slli_si256(pairSizes, 2));
    ends = _mm256_add_epi16(ends, _mm256_slli_si256(ends, 4));
    ends = _mm256_add_epi16(ends, _mm256_slli_si256(ends, 8));
    const __m256i lowTotal = _mm256_shuffle_epi8(
        _mm256_permute2x128_si256(ends, ends, 0x08), k.lastLane);
    ends = _mm256_add_epi16(ends, lowTotal);
    const auto total = static_cast<unsigned>(_mm256_extract_epi16(ends, 15));
    if (room < total + 16)
        return Plan::end;
    // In each 16-bit lane, a in the low byte and b in the high one: with
    // both at most 16, (a - 1) * 256 + (b - 1) * 16 is the offset of the row
    // that reverses the pair, or a alone where a + b exceeds 16. Larger
    // fields give other rows or larger offsets, cut to the table's last row;
    // their pairs are split and done again.
    const __m256i less = _mm256_sub_epi8(sizes, k.ones);
    const __m256i rows = _mm256_min_epu16(
        _mm256_or_si256(_mm256_slli_epi16(less, 8), _mm256_srli_epi16(less, 4)),
        k.lastRow);
    _mm256_store_si256(reinterpret_cast<__m256i *>(plan.starts),
                       _mm256_sub_epi16(ends, pairSizes));
    _mm256_store_si256(reinterpret_cast<__m256i *>(plan.rows), rows);
    plan.split = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpgt_epi16(pairSizes, k.sixteens)));
    // Quads of fields of at most 8 bytes and 16 in all take one row of
    // kReverseQuads, found from the four sizes three bits each.
    const __m256i quadIndex = _mm256_madd_epi16(
        _mm256_maddubs_epi16(less, k.quadWeights), k.quadScale);
    _mm256_store_si256(reinterpret_cast<__m256i *>(plan.quadRows),
                       _mm256_slli_epi32(quadIndex, 4));
    const __m256i small = _mm256_cmpeq_epi32(_mm256_cmpgt_epi8(sizes, k.eights),
                                             _mm256_setzero_si256());
    const __m256i fits = _mm256_andnot_si256(
        _mm256_cmpgt_epi32(_mm256_madd_epi16(pairSizes, k.wordOnes),
                           k.wordSixteens),
        small);
    plan.quads =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(fits)));
    plan.total = total;
    return Plan::done;
}

// A pair of a planned block: a load, a shuffle and a store, then the
// second field alone where the pair exceeds a block.
__attribute__((target("avx2"))) inline void
reversePair(const Byte *src, Byte *dst, const char *layout,
            const BlockPlan &plan, const unsigned char *pairs, int k)
{
    const size_t at = plan.starts[k];
    reverseBlock(src + at, dst + at, pairs + plan.rows[k]);
    if ((plan.split & (1u << (2 * k))) != 0) [[unlikely]] {
        const auto a = static_cast<size_t>(layout[2 * k]);
        const auto b = static_cast<size_t>(layout[2 * k + 1]);
        if (a > 16 || b > 16)
            reverseApart(src + at, dst + at, a, b);
        else
            reverseBlock(src + at + a, dst + at + a, pairs + (b - 1) * 256);
    }
}

// The fields of a planned block: one shuffle for each quad that fits a
// block, one or two for each pair of the others.
__attribute__((target("avx2"))) inline void
reverseBlockFields(const Byte *src, Byte *dst, const char *layout,
                   const BlockPlan &plan, const unsigned char *pairs,
                   const unsigned char *quads)
{
#pragma GCC unroll 8
    for (int q = 0; q < 8; ++q) {
        if ((plan.quads & (1u << q)) != 0) {
            const size_t at = plan.starts[2 * q];
            reverseBlock(src + at, dst + at, quads + plan.quadRows[q]);
        } else {
            reversePair(src, dst, layout, plan, pairs, 2 * q);
            reversePair(src, dst, layout, plan, pairs, 2 * q + 1);
        }
    }
}

} // namespace

__attribute__((target("avx2"))) size_t
avx2ReverseFields(const Byte *src, Byte *dst, const char *layout, size_t count,
                  size_t room, size_t *bytes)
{
    // Kept in registers rather than formed again for every group.
    const unsigned char *pairs = kReversePairs.rows[0];
    const unsigned char *quads = kReverseQuads.rows[0];
    asm("" : "+r"(pairs), "+r"(quads));
    size_t i = 0;
    size_t off = 0;
    // Eight blocks are planned before any is copied, so that the copying
    // never waits for the stores of its plan.
    constexpr size_t kAhead = 8;
    BlockPlan plans[kAhead];
    const PlanConstants constants = planConstants();
    Plan last = Plan::done;
    while (i + kBlockEntries <= count) {
        size_t planned = 0;
        size_t ahead = off;
        for (; planned < kAhead && i + kBlockEntries * (planned + 1) <= count;
             ++planned) {
            last = planBlock(layout + i + kBlockEntries * planned, room - ahead,
                             plans[planned], constants);
            if (last != Plan::done)
                break;
            ahead += plans[planned].total;
        }
        for (size_t c = 0; c < planned; ++c) {
            reverseBlockFields(src + off, dst + off, layout + i, plans[c],
                               pairs, quads);
            off += plans[c].total;
            i += kBlockEntries;
        }
        if (last == Plan::run || last == Plan::end)
            break; // a run for the driver's kernel, or the record's end
        if (last == Plan::other) {
            off =
                reverseEach(src, dst, layout, i, i + kBlockEntries, off, room);
            i += kBlockEntries;
            last = Plan::done;
        }
    }
    if (last != Plan::run) {
        // Few entries or bytes left: a field at a time.
        off = reverseEach(src, dst, layout, i, count, off, room);
        i = count;
    }
    *bytes = off;
    return i;
}

} // namespace zelk::detail

#endif
