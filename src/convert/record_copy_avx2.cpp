// AVX2 kernels of the record copy, chosen at run time where the processor
// has AVX2 (the build itself assumes no more than the architecture's
// baseline). Same results as the baseline kernels, 32 bytes a step; the
// kernel for stretches of mixed fields is in record_copy_mixed_avx2.cpp.
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

__attribute__((target("avx2"))) inline __m256i sameEntries(const char *p,
                                                           __m256i first)
{
    return _mm256_cmpeq_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), first);
}

__attribute__((target("avx2"))) size_t avx2RunLength(const char *layout,
                                                     size_t count)
{
    size_t i = 0;
    const __m256i first = _mm256_set1_epi8(layout[0]);
    // 128 entries a step while all are equal; the step that is not is
    // searched 32 entries at a time below.
    for (; i + 128 <= count; i += 128) {
        const __m256i all = _mm256_and_si256(
            _mm256_and_si256(sameEntries(layout + i, first),
                             sameEntries(layout + i + 32, first)),
            _mm256_and_si256(sameEntries(layout + i + 64, first),
                             sameEntries(layout + i + 96, first)));
        if (_mm256_movemask_epi8(all) != -1)
            break;
    }
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

// Bit k set where entry k of an aligned 64-byte block differs from first.
__attribute__((target("avx2"), no_sanitize_address,
               no_sanitize_thread)) inline uint64_t
differingEntries(const char *block, __m256i first)
{
    const auto *p = reinterpret_cast<const __m256i *>(block);
    const auto low = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_load_si256(p), first)));
    const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_load_si256(p + 1), first)));
    return ~(static_cast<uint64_t>(high) << 32 | low);
}

// How many entries equal the first, up to the 0 that ends the descriptor:
// read in aligned 64-byte blocks, which never cross a page, so that no
// separate pass needs to find the end first. The block that holds the 0
// may extend past the descriptor's storage (and the first one may start
// before it), as the C library's string functions read it, and the
// sanitizers are told so.
__attribute__((target("avx2"), no_sanitize_address, no_sanitize_thread)) size_t
avx2LeadingRun(const char *layout)
{
    const __m256i first = _mm256_set1_epi8(layout[0]);
    const auto start = reinterpret_cast<uintptr_t>(layout);
    const uintptr_t skip = start & 63;
    const char *block = reinterpret_cast<const char *>(start - skip);
    // The bytes before the descriptor in its first block count as equal.
    uint64_t found = differingEntries(block, first) & (~uint64_t{0} << skip);
    while (found == 0) {
        block += 64;
        const __m256i *p = reinterpret_cast<const __m256i *>(block);
        const __m256i same = _mm256_and_si256(
            _mm256_cmpeq_epi8(_mm256_load_si256(p), first),
            _mm256_cmpeq_epi8(_mm256_load_si256(p + 1), first));
        if (_mm256_movemask_epi8(same) != -1)
            found = differingEntries(block, first);
    }
    return static_cast<size_t>(reinterpret_cast<uintptr_t>(block) - start) +
           static_cast<size_t>(__builtin_ctzll(found));
}

// A record of equal entries is measured in that one pass; the others then
// need the length of the rest.
__attribute__((target("avx2"))) size_t avx2LengthAndRun(const char *layout,
                                                        size_t *run)
{
    *run = avx2LeadingRun(layout);
    return layout[*run] == 0 ? *run : *run + std::strlen(layout + *run);
}

__attribute__((target("avx2"))) inline __m256i load32(const Byte *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

__attribute__((target("avx2"))) inline void store32(Byte *p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

__attribute__((target("avx2"))) inline void
reverse32(const Byte *src, Byte *dst, __m256i pattern)
{
    store32(dst, _mm256_shuffle_epi8(load32(src), pattern));
}

__attribute__((target("avx2"))) void avx2ReverseRun(const Byte *src, Byte *dst,
                                                    size_t fields, int n)
{
    // One byte shuffle per 32 bytes, four to a step; the pattern repeats in
    // both halves.
    alignas(32) static constexpr char kPatterns[3][16] = {
        {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14},
        {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12},
        {7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8},
    };
    const int which = n == 2 ? 0 : n == 4 ? 1 : 2;
    const __m256i pattern = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(kPatterns[which])));
    const size_t size = static_cast<size_t>(n);
    const size_t bytes = fields * size;
    if (bytes < 32) {
        reverseFieldsFrom(src, dst, 0, fields, n);
        return;
    }
    // Stores that straddle two cache lines cost about twice as much, so the
    // body stores at 32-byte boundaries of the destination, where these fall
    // on field boundaries; the first 32 bytes and the last 32 go apart, over
    // bytes that the body writes again with the same values.
    size_t off = (0 - reinterpret_cast<uintptr_t>(dst)) & 31;
    if (off % size != 0)
        off = 0;
    reverse32(src, dst, pattern);
    for (; off + 128 <= bytes; off += 128) {
        const __m256i a = load32(src + off);
        const __m256i b = load32(src + off + 32);
        const __m256i c = load32(src + off + 64);
        const __m256i d = load32(src + off + 96);
        store32(dst + off, _mm256_shuffle_epi8(a, pattern));
        store32(dst + off + 32, _mm256_shuffle_epi8(b, pattern));
        store32(dst + off + 64, _mm256_shuffle_epi8(c, pattern));
        store32(dst + off + 96, _mm256_shuffle_epi8(d, pattern));
    }
    for (; off + 32 <= bytes; off += 32)
        reverse32(src + off, dst + off, pattern);
    // Whole fields: bytes and 32 are multiples of n.
    reverse32(src + bytes - 32, dst + bytes - 32, pattern);
}

__attribute__((target("avx2"))) void avx2CopyBytes(const Byte *src, Byte *dst,
                                                   size_t n)
{
    if (n < 32) {
        std::memcpy(dst, src, n);
        return;
    }
    // As above: the body's stores at 32-byte boundaries of the destination,
    // the first and last 32 bytes apart.
    store32(dst, load32(src));
    size_t i = (0 - reinterpret_cast<uintptr_t>(dst)) & 31;
    for (; i + 128 <= n; i += 128) {
        const __m256i a = load32(src + i);
        const __m256i b = load32(src + i + 32);
        const __m256i c = load32(src + i + 64);
        const __m256i d = load32(src + i + 96);
        store32(dst + i, a);
        store32(dst + i + 32, b);
        store32(dst + i + 64, c);
        store32(dst + i + 96, d);
    }
    for (; i + 32 <= n; i += 32)
        store32(dst + i, load32(src + i));
    store32(dst + n - 32, load32(src + n - 32));
}

} // namespace

const CopyKernels *avx2CopyKernels()
{
    static constexpr CopyKernels kernels{avx2RecordSize,   avx2RunLength,
                                         avx2LengthAndRun, avx2ReverseRun,
                                         avx2CopyBytes,    avx2ReverseFields};
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
