// libFuzzer target: the record copy against its byte-by-byte definition.
// Input: one byte of mode (bit 0: reverse; bit 1: the AVX2 or NEON kernels,
// where the processor has them) and one of placement (the
// destination's distance from the source, signed, so areas overlap either
// way or not at all), then the descriptor up to its 0, then source bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convert/object_copy_reference.h"
#include "convert/record_copy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int swap = data[0] & 1;
    const zelk::detail::CopyKernels *vector = zelk::detail::avx2CopyKernels();
    if (vector == nullptr)
        vector = zelk::detail::neonCopyKernels();
    const zelk::detail::CopyKernels &kernels =
        (data[0] & 2) != 0 && vector != nullptr
            ? *vector
            : zelk::detail::baselineCopyKernels();
    const int shift = static_cast<signed char>(data[1]);
    data += 2;
    size -= 2;

    const auto *end = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t entries =
        end != nullptr ? static_cast<size_t>(end - data) : size;
    const char *layout = reinterpret_cast<const char *>(data);
    std::vector<char> ownLayout(layout, layout + entries);
    ownLayout.push_back(0);

    size_t total = 0;
    for (size_t i = 0; i < entries; ++i)
        if (static_cast<signed char>(layout[i]) > 0)
            total += static_cast<size_t>(layout[i]);

    // Source at 128 in an arena with room for the destination 128 bytes
    // either side of it; fill it from the remaining input, then a pattern.
    const size_t from = 128;
    const size_t to = static_cast<size_t>(static_cast<long>(from) + shift);
    std::vector<uint8_t> arena(total + 2 * from);
    const uint8_t *fill = data + entries;
    const size_t fillSize = size - entries;
    for (size_t i = 0; i < arena.size(); ++i)
        arena[i] = i < fillSize ? fill[i] : static_cast<uint8_t>(i * 37);

    std::vector<uint8_t> expected = arena;
    zelk::test::referenceObjectCopy(
        expected.data() + from, expected.data() + to, ownLayout.data(), swap);
    zelk::detail::copyRecord(arena.data() + from, arena.data() + to,
                             ownLayout.data(), swap, kernels);
    if (arena != expected)
        std::abort();
    return 0;
}
