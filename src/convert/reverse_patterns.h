// Byte shuffle patterns that reverse groups of small fields at the start
// of a 16-byte block, for the vector kernels that reverse mixed fields: one
// row per pair of sizes up to 16, and one per four sizes up to 8.
#ifndef ZELK_CONVERT_REVERSE_PATTERNS_H
#define ZELK_CONVERT_REVERSE_PATTERNS_H

namespace zelk::detail {

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

alignas(64) inline constexpr ReversePairs kReversePairs = makeReversePairs();

// Shuffle patterns for four fields of 1 to 8 bytes that together fit a
// 16-byte block: row ((a - 1) * 8 + b - 1) * 64 + (c - 1) * 8 + d - 1
// reverses each of a, b, c and d. Rows of larger sums are not used.
struct ReverseQuads {
    unsigned char rows[4096][16];
};

constexpr ReverseQuads makeReverseQuads()
{
    ReverseQuads quads{};
    for (int row = 0; row < 4096; ++row) {
        unsigned char *pattern = quads.rows[row];
        int start = 0;
        for (int shift = 9; shift >= 0; shift -= 3) {
            const int n = ((row >> shift) & 7) + 1;
            if (start + n > 16)
                break;
            for (int k = 0; k < n; ++k)
                pattern[start + k] =
                    static_cast<unsigned char>(start + n - 1 - k);
            start += n;
        }
        for (int t = start; t < 16; ++t)
            pattern[t] = static_cast<unsigned char>(t);
    }
    return quads;
}

alignas(64) inline constexpr ReverseQuads kReverseQuads = makeReverseQuads();

} // namespace zelk::detail

#endif
