// The record copy's engine, shared by the exported zelkObjectCopy and its
// tests: one driver over the layout descriptor, and sets of vector kernels
// for the steps where the time goes (summing the descriptor, finding runs of
// equal entries, reversing runs of 2-, 4- and 8-byte fields and stretches of
// mixed ones, copying blocks).
#ifndef ZELK_CONVERT_RECORD_COPY_H
#define ZELK_CONVERT_RECORD_COPY_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelk::detail {

struct CopyKernels {
    // The sum of the positive entries among the first count.
    size_t (*recordSize)(const char *layout, size_t count);
    // How many of the first count entries (count >= 1) equal the first.
    size_t (*runLength)(const char *layout, size_t count);
    // The number of entries before the 0 that ends the descriptor (which
    // is not its first byte); stores in *run how many of them equal the
    // first.
    size_t (*lengthAndRun)(const char *layout, size_t *run);
    // Writes fields consecutive fields of n bytes (2, 4 or 8) reversed;
    // the areas do not overlap.
    void (*reverseRun)(const unsigned char *src, unsigned char *dst,
                       size_t fields, int n);
    // Copies n bytes between areas that do not overlap.
    void (*copyBytes)(const unsigned char *src, unsigned char *dst, size_t n);
    // Reverses the fields of the first count entries, whatever their sizes,
    // between areas of room bytes that do not overlap. Stops early before a
    // group of eight equal 1-, 2-, 4- or 8-byte entries (reverseRun's work);
    // returns the entries done and stores their bytes in *bytes. Null where
    // the processor has no byte shuffle: the driver then goes field by field.
    size_t (*reverseFields)(const unsigned char *src, unsigned char *dst,
                            const char *layout, size_t count, size_t room,
                            size_t *bytes);
};

// Kernels for every machine of the architecture (SSE2 on x86_64, plain
// code elsewhere).
const CopyKernels &baselineCopyKernels();

// AVX2 kernels, or nullptr when the processor (or the build) has none.
const CopyKernels *avx2CopyKernels();

#if defined(__x86_64__) || defined(__i386__)
// The AVX2 set's reverseFields, in a file of its own.
size_t avx2ReverseFields(const unsigned char *src, unsigned char *dst,
                         const char *layout, size_t count, size_t room,
                         size_t *bytes);
#endif
// NEON kernels, or nullptr when the processor (or the build) has none.
const CopyKernels *neonCopyKernels();

// The record copy of zelkObjectCopy, with the given kernels.
void copyRecord(const void *source, void *destination, const char *layout,
                int swap, const CopyKernels &kernels);

template <typename T> inline T loadBytes(const unsigned char *p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T> inline void storeBytes(unsigned char *p, T value)
{
    std::memcpy(p, &value, sizeof value);
}

// Reverses one field of n bytes (1 to 127); the areas do not overlap.
inline void reverseField(const unsigned char *src, unsigned char *dst, size_t n)
{
    switch (n) {
    case 1:
        *dst = *src;
        return;
    case 2:
        storeBytes(dst, __builtin_bswap16(loadBytes<uint16_t>(src)));
        return;
    case 4:
        storeBytes(dst, __builtin_bswap32(loadBytes<uint32_t>(src)));
        return;
    case 8:
        storeBytes(dst, __builtin_bswap64(loadBytes<uint64_t>(src)));
        return;
    default:
        break;
    }
    // Eight bytes at a time from the field's end, then the leftover head.
    size_t done = 0;
    for (; done + 8 <= n; done += 8)
        storeBytes(dst + done,
                   __builtin_bswap64(loadBytes<uint64_t>(src + n - done - 8)));
    for (; done < n; ++done)
        dst[done] = src[n - 1 - done];
}

// Entries are signed bytes whatever the signedness of char.
inline int layoutEntry(const char *layout, size_t i)
{
    return static_cast<signed char>(layout[i]);
}

// Thirty-two zero bytes, then thirty-two 0xFF: a window of W bytes (16 or
// 32) from kTailMask + 32 - W + r keeps the last r bytes (0 < r < W).
struct TailMask {
    unsigned char bytes[64];
};

constexpr TailMask makeTailMask()
{
    TailMask mask{};
    for (int i = 32; i < 64; ++i)
        mask.bytes[i] = 0xFF;
    return mask;
}

alignas(64) inline constexpr TailMask kTailMask = makeTailMask();

// Whether eight entries are equal and 1, 2, 4 or 8: a run for reverseRun.
inline bool equalWordRun(uint64_t entries)
{
    const uint64_t first = entries & 0xFF;
    return (first & (first - 1)) == 0 && first <= 8 &&
           entries == first * 0x0101010101010101u;
}

// A byte shuffle pattern per field size that reverses a field of 1 to 16
// bytes at the start of a 16-byte block; row n % 16 serves size n.
struct ReverseHeads {
    unsigned char rows[16][16];
};

constexpr ReverseHeads makeReverseHeads()
{
    ReverseHeads heads{};
    for (int row = 0; row < 16; ++row) {
        const int n = row == 0 ? 16 : row;
        for (int t = 0; t < 16; ++t)
            heads.rows[row][t] =
                static_cast<unsigned char>(t < n ? n - 1 - t : t);
    }
    return heads;
}

alignas(64) inline constexpr ReverseHeads kReverseHeads = makeReverseHeads();

// The kernels' plain-code tails, from entry i on.
inline size_t recordSizeFrom(const char *layout, size_t i, size_t count)
{
    size_t total = 0;
    for (; i < count; ++i)
        if (layoutEntry(layout, i) > 0)
            total += static_cast<size_t>(layoutEntry(layout, i));
    return total;
}

inline size_t runLengthFrom(const char *layout, size_t i, size_t count)
{
    while (i < count && layout[i] == layout[0])
        ++i;
    return i;
}

// lengthAndRun for kernel sets without a one-pass scan: the length first,
// then the leading run by the set's own runLength.
template <size_t (*runLength)(const char *, size_t)>
size_t lengthThenRun(const char *layout, size_t *run)
{
    const size_t count = std::strlen(layout);
    *run = runLength(layout, count);
    return count;
}

inline void reverseFieldsFrom(const unsigned char *src, unsigned char *dst,
                              size_t i, size_t fields, int n)
{
    const size_t size = static_cast<size_t>(n);
    for (; i < fields; ++i)
        reverseField(src + i * size, dst + i * size, size);
}

} // namespace zelk::detail

#endif
