// The record copy's engine, shared by the exported zelkObjectCopy and its
// tests: one driver over the layout descriptor, and sets of vector kernels
// for the steps where the time goes (summing the descriptor, finding runs of
// equal entries, reversing runs of 2-, 4- and 8-byte fields).
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
    // Writes fields consecutive fields of n bytes (2, 4 or 8) reversed;
    // the areas do not overlap.
    void (*reverseRun)(const unsigned char *src, unsigned char *dst,
                       size_t fields, int n);
};

// Kernels for every machine of the architecture (SSE2 on x86_64, plain
// code elsewhere).
const CopyKernels &baselineCopyKernels();

// AVX2 kernels, or nullptr when the processor (or the build) has none.
const CopyKernels *avx2CopyKernels();

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

inline void reverseFieldsFrom(const unsigned char *src, unsigned char *dst,
                              size_t i, size_t fields, int n)
{
    const size_t size = static_cast<size_t>(n);
    for (; i < fields; ++i)
        reverseField(src + i * size, dst + i * size, size);
}

} // namespace zelk::detail

#endif
