// AVX2 kernels of the record copy, chosen at run time where the processor
// has AVX2 (the build itself assumes no more than the architecture's
// baseline). Same results as the baseline kernels, 32 bytes a step.
#include "convert/record_copy.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace zelk::detail {

namespace {

using Byte = unsigned char;

__attribute__((target("avx2"))) inline __m256i positiveEntries(const char *p)
{
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    return _mm256_and_si256(v, _mm256_cmpgt_epi8(v, _mm256_setzero_si256()));
}

__attribute__((target("avx2"))) size_t avx2RecordSize(const char *layout,
                                                      size_t count)
{
    if (count < 32)
        return recordSizeFrom(layout, 0, count);
    // Positive entries are at most 127, so two blocks add up in bytes
    // before the sum of absolute differences widens them.
    const __m256i zero = _mm256_setzero_si256();
    __m256i sums = zero;
    size_t i = 0;
    for (; i + 64 <= count; i += 64)
        sums = _mm256_add_epi64(
            sums,
            _mm256_sad_epu8(_mm256_add_epi8(positiveEntries(layout + i),
                                            positiveEntries(layout + i + 32)),
                            zero));
    if (i + 32 <= count) {
        sums = _mm256_add_epi64(
            sums, _mm256_sad_epu8(positiveEntries(layout + i), zero));
        i += 32;
    }
    if (i < count) { // the last 32 entries, less those already counted
        const __m256i keep = _mm256_loadu_si256(
            reinterpret_cast<const __m256i *>(kTailMask.bytes + (count - i)));
        sums = _mm256_add_epi64(
            sums,
            _mm256_sad_epu8(
                _mm256_and_si256(positiveEntries(layout + count - 32), keep),
                zero));
    }
    uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(lanes), sums);
    return static_cast<size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
}

__attribute__((target("avx2"))) size_t avx2RunLength(const char *layout,
                                                     size_t count)
{
    size_t i = 0;
    const __m256i first = _mm256_set1_epi8(layout[0]);
    for (; i + 32 <= count; i += 32) {
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(layout + i));
        const auto same = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, first)));
        if (same != 0xFFFFFFFFu)
            return i + static_cast<size_t>(__builtin_ctz(~same));
    }
    return runLengthFrom(layout, i, count);
}

__attribute__((target("avx2"))) void avx2ReverseRun(const Byte *src, Byte *dst,
                                                    size_t fields, int n)
{
    // One byte shuffle per 32 bytes; the pattern repeats in both halves.
    alignas(32) static constexpr char kPatterns[3][16] = {
        {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14},
        {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12},
        {7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8},
    };
    const int which = n == 2 ? 0 : n == 4 ? 1 : 2;
    const __m256i pattern = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(kPatterns[which])));
    const size_t size = static_cast<size_t>(n);
    const size_t perVector = 32 / size;
    size_t i = 0;
    for (; i + perVector <= fields; i += perVector) {
        const size_t off = i * size;
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + off));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + off),
                            _mm256_shuffle_epi8(v, pattern));
    }
    reverseFieldsFrom(src, dst, i, fields, n);
}

__attribute__((target("avx2"))) inline __m256i load32(const Byte *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

__attribute__((target("avx2"))) inline void store32(Byte *p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

__attribute__((target("avx2"))) void avx2CopyBytes(const Byte *src, Byte *dst,
                                                   size_t n)
{
    if (n < 32) {
        std::memcpy(dst, src, n);
        return;
    }
    size_t i = 0;
    for (; i + 128 <= n; i += 128) {
        __m256i v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = load32(src + i + 32 * k);
        for (int k = 0; k < 4; ++k)
            store32(dst + i + 32 * k, v[k]);
    }
    for (; i + 32 <= n; i += 32)
        store32(dst + i, load32(src + i));
    if (i < n) // the last 32 bytes, some of them again
        store32(dst + n - 32, load32(src + n - 32));
}

// Reverses one field of 1 to 16 bytes as the head of a 16-byte block; the
// rest of the block gets the bytes that follow in any order, for the next
// fields to overwrite. Both areas must hold the whole block.
__attribute__((target("avx2"))) inline void
reverseHead(const Byte *src, Byte *dst, size_t n)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    const __m128i pattern = _mm_load_si128(
        reinterpret_cast<const __m128i *>(kReverseHeads.rows[n & 15]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                     _mm_shuffle_epi8(v, pattern));
}

// Entries from..to one by one, any size; off is the bytes done so far.
__attribute__((target("avx2"))) size_t
reverseEach(const Byte *src, Byte *dst, const char *layout, size_t from,
            size_t to, size_t off, size_t room)
{
    for (size_t i = from; i < to; ++i) {
        const int n = layoutEntry(layout, i);
        if (n <= 0)
            continue;
        const size_t size = static_cast<size_t>(n);
        if (size <= 16 && room - off >= 16)
            reverseHead(src + off, dst + off, size);
        else
            reverseField(src + off, dst + off, size);
        off += size;
    }
    return off;
}

__attribute__((target("avx2"))) size_t
avx2ReverseFields(const Byte *src, Byte *dst, const char *layout, size_t count,
                  size_t room, size_t *bytes)
{
    constexpr uint64_t kOnes = 0x0101010101010101u;
    size_t i = 0;
    size_t off = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t group =
            loadBytes<uint64_t>(reinterpret_cast<const Byte *>(layout + i));
        if (equalWordRun(group))
            break;
        // Eight fields of 1 to 16 bytes take 128 bytes at most, so every
        // field's block lies in the record: no test per field.
        // Each field's offset and shuffle row come from the group at once:
        // the multiplication leaves in byte k the sum of sizes 0 to k, and
        // (n % 16) * 16 addresses the row for size n.
        if (((group - kOnes) & (kOnes * 0xF0)) == 0 && room - off >= 128) {
            uint64_t starts = (group * kOnes) << 8;
            uint64_t rows = (group & (kOnes * 0x0F)) << 4;
            const Byte *from = src + off;
            Byte *to = dst + off;
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k, starts >>= 8, rows >>= 8) {
                const size_t at = starts & 0xFF;
                const __m128i v = _mm_shuffle_epi8(
                    _mm_loadu_si128(
                        reinterpret_cast<const __m128i *>(from + at)),
                    _mm_load_si128(reinterpret_cast<const __m128i *>(
                        kReverseHeads.rows[0] + (rows & 0xFF))));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(to + at), v);
            }
            off += (group * kOnes) >> 56;
        } else {
            off = reverseEach(src, dst, layout, i, i + 8, off, room);
        }
    }
    if (i + 8 > count) {
        off = reverseEach(src, dst, layout, i, count, off, room);
        i = count;
    }
    *bytes = off;
    return i;
}

} // namespace

const CopyKernels *avx2CopyKernels()
{
    static constexpr CopyKernels kernels{avx2RecordSize, avx2RunLength,
                                         avx2ReverseRun, avx2CopyBytes,
                                         avx2ReverseFields};
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &kernels : nullptr;
}

} // namespace zelk::detail

#else

const zelk::detail::CopyKernels *zelk::detail::avx2CopyKernels()
{
    return nullptr;
}

#endif
