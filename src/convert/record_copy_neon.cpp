// NEON kernels of the record copy for ARM, 16 bytes a step: one vrev per
// 16 bytes of 2-, 4- or 8-byte fields, and the descriptor scans. Every
// aarch64 processor has NEON; on 32-bit ARM the armhf baseline does not
// promise it, so these functions alone are built for it and are chosen
// only when the processor reports it.
#include "convert/record_copy.h"

#include <cstdint>
#include <cstring>

#if defined(__aarch64__) || defined(__arm__)
#include <arm_neon.h>
#if defined(__arm__)
#include <sys/auxv.h>
#define ZELK_NEON __attribute__((target("fpu=neon")))
#else
#define ZELK_NEON
#endif

namespace zelk::detail {

namespace {

using Byte = unsigned char;

ZELK_NEON size_t neonRecordSize(const char *layout, size_t count)
{
    const auto *entries = reinterpret_cast<const int8_t *>(layout);
    const int8x16_t zero = vdupq_n_s8(0);
    uint64x2_t total = vdupq_n_u64(0);
    size_t i = 0;
    while (i + 16 <= count) {
        // Up to 128 blocks of positive entries (at most 127 each) add up
        // in 16-bit lanes before they are widened.
        uint16x8_t sums = vdupq_n_u16(0);
        for (int block = 0; block < 128 && i + 16 <= count; ++block, i += 16)
            sums = vpadalq_u8(sums, vreinterpretq_u8_s8(
                                        vmaxq_s8(vld1q_s8(entries + i), zero)));
        total = vpadalq_u32(total, vpaddlq_u16(sums));
    }
    return static_cast<size_t>(vgetq_lane_u64(total, 0) +
                               vgetq_lane_u64(total, 1)) +
           recordSizeFrom(layout, i, count);
}

ZELK_NEON size_t neonRunLength(const char *layout, size_t count)
{
    const auto *entries = reinterpret_cast<const uint8_t *>(layout);
    const uint8x16_t first = vdupq_n_u8(entries[0]);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const uint64x2_t same =
            vreinterpretq_u64_u8(vceqq_u8(vld1q_u8(entries + i), first));
        const uint64_t low = vgetq_lane_u64(same, 0);
        const uint64_t high = vgetq_lane_u64(same, 1);
        // Lanes are little-endian: the lowest clear byte is the first
        // entry that differs.
        if (low != UINT64_MAX)
            return i + static_cast<size_t>(__builtin_ctzll(~low)) / 8;
        if (high != UINT64_MAX)
            return i + 8 + static_cast<size_t>(__builtin_ctzll(~high)) / 8;
    }
    return runLengthFrom(layout, i, count);
}

ZELK_NEON void neonReverseRun(const Byte *src, Byte *dst, size_t fields, int n)
{
    const size_t size = static_cast<size_t>(n);
    const size_t perVector = 16 / size;
    size_t i = 0;
    for (; i + perVector <= fields; i += perVector) {
        const size_t off = i * size;
        const uint8x16_t v = vld1q_u8(src + off);
        vst1q_u8(dst + off, n == 2   ? vrev16q_u8(v)
                            : n == 4 ? vrev32q_u8(v)
                                     : vrev64q_u8(v));
    }
    reverseFieldsFrom(src, dst, i, fields, n);
}

// The C library's copy is already vectorised on these processors.
void neonCopyBytes(const Byte *src, Byte *dst, size_t n)
{
    std::memcpy(dst, src, n);
}

} // namespace

const CopyKernels *neonCopyKernels()
{
    // No reverseFields yet: mixed fields go field by field.
    static constexpr CopyKernels kernels{
        neonRecordSize, neonRunLength, lengthThenRun<neonRunLength>,
        neonReverseRun, neonCopyBytes, nullptr};
#if defined(__arm__)
    if ((getauxval(AT_HWCAP) & HWCAP_ARM_NEON) == 0)
        return nullptr;
#endif
    return &kernels;
}

} // namespace zelk::detail

#else

const zelk::detail::CopyKernels *zelk::detail::neonCopyKernels()
{
    return nullptr;
}

#endif
