// The record copy's driver and its baseline kernels.
//
// Fields lie back to back and negative entries move nothing, so a record is
// one contiguous area of "sum of positive entries" bytes on either side. The
// plain copy is therefore one block copy, keeping the forward byte-by-byte
// meaning where the areas overlap; the reversing copy walks the fields and
// hands runs of equal 2-, 4- or 8-byte entries to a vector kernel, and the
// stretches between them to another where the processor has one.
#include "convert/record_copy.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelk::detail {

namespace {

using Byte = unsigned char;

// Whether [a, a + total) and [b, b + total) share a byte.
inline bool overlap(const Byte *a, const Byte *b, size_t total)
{
    const uintptr_t x = reinterpret_cast<uintptr_t>(a);
    const uintptr_t y = reinterpret_cast<uintptr_t>(b);
    return x - y < total || y - x < total;
}

// Copies total bytes with the result of a forward byte-by-byte copy.
void forwardCopy(const Byte *src, Byte *dst, size_t total,
                 const CopyKernels &kernels)
{
    if (!overlap(src, dst, total)) {
        kernels.copyBytes(src, dst, total);
        return;
    }
    const uintptr_t gap =
        reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src);
    if (gap == 0)
        return;
    if (gap >= total) {
        // dst below src: every byte is read before it is overwritten,
        // which is what memmove gives.
        std::memmove(dst, src, total);
        return;
    }
    // dst lies inside the source, gap bytes on: each byte read at or beyond
    // dst was written gap bytes earlier, so the first gap source bytes
    // repeat. Copy them once, then double the copied prefix, which always
    // holds a whole number of repetitions.
    std::memcpy(dst, src, gap);
    size_t done = gap;
    while (done < total) {
        const size_t n = done < total - done ? done : total - done;
        std::memcpy(dst + done, dst, n);
        done += n;
    }
}

constexpr size_t kUnknownSize = SIZE_MAX;

// Reversing copy between areas that do not overlap; total is the record's
// size, or kUnknownSize until a kernel needs it.
void reverseDisjoint(const Byte *src, Byte *dst, const char *layout,
                     size_t count, size_t total, const CopyKernels &kernels)
{
    size_t i = 0;
    size_t done = 0; // bytes
    while (i < count) {
        const int n = layoutEntry(layout, i);
        if (n <= 0) { // passed over: neither position moves
            ++i;
            continue;
        }
        // Runs of at least eight equal entries go to the kernels; shorter
        // ones cost more to hand over than they gain.
        const size_t size = static_cast<size_t>(n);
        const bool run =
            (n == 1 || n == 2 || n == 4 || n == 8) && count - i >= 8 &&
            loadBytes<uint64_t>(reinterpret_cast<const Byte *>(layout + i)) ==
                0x0101010101010101u * size;
        if (run) {
            const size_t fields = kernels.runLength(layout + i, count - i);
            if (n == 1)
                kernels.copyBytes(src, dst, fields);
            else
                kernels.reverseRun(src, dst, fields, n);
            src += fields * size;
            dst += fields * size;
            done += fields * size;
            i += fields;
            continue;
        }
        if (kernels.reverseFields != nullptr) {
            if (total == kUnknownSize)
                total = kernels.recordSize(layout, count);
            size_t bytes = 0;
            const size_t entries = kernels.reverseFields(
                src, dst, layout + i, count - i, total - done, &bytes);
            src += bytes;
            dst += bytes;
            done += bytes;
            i += entries;
            if (entries != 0)
                continue;
        }
        reverseField(src, dst, size);
        src += size;
        dst += size;
        done += size;
        ++i;
    }
}

// Reversing copy byte by byte in the defined order, for overlapping areas:
// the result is then that of the definition, bytes already overwritten
// included.
void reverseBytewise(const Byte *src, Byte *dst, const char *layout,
                     size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const int n = layoutEntry(layout, i);
        if (n <= 0)
            continue;
        for (int k = 0; k < n; ++k)
            dst[k] = src[n - 1 - k];
        src += n;
        dst += n;
    }
}

size_t baseRecordSize(const char *layout, size_t count)
{
#if defined(__SSE2__)
    if (count < 16)
        return recordSizeFrom(layout, 0, count);
    // Positive entries are at most 127, so two blocks add up in bytes
    // before the sum of absolute differences widens them.
    const __m128i zero = _mm_setzero_si128();
    const auto positive = [zero](const char *p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        return _mm_and_si128(v, _mm_cmpgt_epi8(v, zero));
    };
    __m128i sums = zero;
    size_t i = 0;
    for (; i + 32 <= count; i += 32)
        sums = _mm_add_epi64(
            sums, _mm_sad_epu8(_mm_add_epi8(positive(layout + i),
                                            positive(layout + i + 16)),
                               zero));
    if (i + 16 <= count) {
        sums = _mm_add_epi64(sums, _mm_sad_epu8(positive(layout + i), zero));
        i += 16;
    }
    if (i < count) { // the last 16 entries, less those already counted
        const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i *>(
            kTailMask.bytes + 16 + (count - i)));
        sums = _mm_add_epi64(
            sums,
            _mm_sad_epu8(_mm_and_si128(positive(layout + count - 16), keep),
                         zero));
    }
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sums);
    return static_cast<size_t>(lanes[0] + lanes[1]);
#else
    return recordSizeFrom(layout, 0, count);
#endif
}

size_t baseRunLength(const char *layout, size_t count)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(layout[0]);
    for (; i + 16 <= count; i += 16) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(layout + i));
        const unsigned same =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, first)));
        if (same != 0xFFFF)
            return i + static_cast<size_t>(__builtin_ctz(~same));
    }
#endif
    return runLengthFrom(layout, i, count);
}

void baseReverseRun(const Byte *src, Byte *dst, size_t fields, int n)
{
    size_t i = 0;
#if defined(__SSE2__)
    // Swap the bytes of each 16-bit lane, then the lanes within each field.
    const size_t perVector = 16 / static_cast<size_t>(n);
    for (; i + perVector <= fields; i += perVector) {
        const size_t off = i * static_cast<size_t>(n);
        __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + off));
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        if (n == 4)
            v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
        else if (n == 8)
            v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x1B), 0x1B);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + off), v);
    }
#endif
    reverseFieldsFrom(src, dst, i, fields, n);
}

void baseCopyBytes(const Byte *src, Byte *dst, size_t n)
{
#if defined(__SSE2__)
    // A loop of our own: on some processors the string instructions that
    // the C library uses for blocks of this size run several times slower.
    if (n >= 16) {
        const auto load = [src](size_t at) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + at));
        };
        const auto store = [dst](size_t at, __m128i v) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + at), v);
        };
        size_t i = 0;
        for (; i + 64 <= n; i += 64) {
            const __m128i a = load(i), b = load(i + 16), c = load(i + 32),
                          d = load(i + 48);
            store(i, a);
            store(i + 16, b);
            store(i + 32, c);
            store(i + 48, d);
        }
        for (; i + 16 <= n; i += 16)
            store(i, load(i));
        if (i < n) // the last 16 bytes, some of them again
            store(n - 16, load(n - 16));
        return;
    }
#endif
    std::memcpy(dst, src, n);
}

} // namespace

const CopyKernels &baselineCopyKernels()
{
    // SSE2 has no byte shuffle, so no reverseFields: the driver's field by
    // field path is as fast as plain code gets.
    static constexpr CopyKernels kernels{
        baseRecordSize, baseRunLength, lengthThenRun<baseRunLength>,
        baseReverseRun, baseCopyBytes, nullptr};
    return kernels;
}

void copyRecord(const void *source, void *destination, const char *layout,
                int swap, const CopyKernels &kernels)
{
    const auto *src = static_cast<const Byte *>(source);
    auto *dst = static_cast<Byte *>(destination);
    if (layout[0] == 0)
        return;
    // A record of equal entries has its size without a sum.
    size_t run = 0;
    const size_t count = kernels.lengthAndRun(layout, &run);
    const int first = layoutEntry(layout, 0);
    const size_t equalTotal =
        run == count && first > 0 ? count * static_cast<size_t>(first) : 0;
    if (swap == 0) {
        forwardCopy(src, dst,
                    run == count ? equalTotal
                                 : kernels.recordSize(layout, count),
                    kernels);
        return;
    }
    // A record of equal 1-, 2-, 4- or 8-byte fields goes to one kernel
    // whole.
    size_t total = kUnknownSize;
    if (run == count &&
        (first == 1 || first == 2 || first == 4 || first == 8)) {
        if (overlap(src, dst, equalTotal))
            reverseBytewise(src, dst, layout, count);
        else if (first == 1)
            kernels.copyBytes(src, dst, equalTotal);
        else
            kernels.reverseRun(src, dst, count, first);
        return;
    }
    // No entry exceeds 127 bytes: most calls need no exact size to see
    // that the areas are apart.
    const size_t bound = count <= SIZE_MAX / 127 ? count * 127 : SIZE_MAX;
    if (overlap(src, dst, bound)) {
        total = kernels.recordSize(layout, count);
        if (overlap(src, dst, total)) {
            reverseBytewise(src, dst, layout, count);
            return;
        }
    }
    reverseDisjoint(src, dst, layout, count, total, kernels);
}

} // namespace zelk::detail
