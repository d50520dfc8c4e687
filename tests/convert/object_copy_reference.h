// The record copy in its simplest form, byte by byte in the defined order,
// to compare the library's copy with (tests and fuzzer).
#ifndef ZELK_TESTS_CONVERT_OBJECT_COPY_REFERENCE_H
#define ZELK_TESTS_CONVERT_OBJECT_COPY_REFERENCE_H

namespace zelk::test {

inline void referenceObjectCopy(const void *source, void *destination,
                                const char *layout, int swap)
{
    const auto *src = static_cast<const unsigned char *>(source);
    auto *dst = static_cast<unsigned char *>(destination);
    for (; *layout != 0; ++layout) {
        const int n = static_cast<signed char>(*layout);
        if (n < 0)
            continue; // passed over: neither position moves
        for (int k = 0; k < n; ++k)
            dst[k] = swap != 0 ? src[n - 1 - k] : src[k];
        src += n;
        dst += n;
    }
}

} // namespace zelk::test

#endif
