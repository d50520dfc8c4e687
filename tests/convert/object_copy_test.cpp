#include "zelk.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "convert/object_copy_reference.h"
#include "convert/record_copy.h"
#include "support/guarded_page.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Copies src under layout into a destination of 0xEE bytes, one guard byte
// longer than the record, and returns the destination.
Bytes copied(const Bytes &src, const std::string &layout, int swap)
{
    Bytes dst(src.size() + 1, 0xEE);
    EXPECT_EQ(0, zelkObjectCopy(src.data(), dst.data(), layout.c_str(), swap));
    return dst;
}

TEST(ObjectCopyTest, CopiesAndReversesEachField)
{
    const Bytes src{1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 0xEE}), copied(src, "\4\2\1", 0));
    EXPECT_EQ((Bytes{4, 3, 2, 1, 6, 5, 7, 0xEE}), copied(src, "\4\2\1", 1));
    EXPECT_EQ((Bytes{4, 3, 2, 1, 6, 5, 7, 0xEE}), copied(src, "\4\2\1", -9));

    const Bytes four{9, 8, 7, 6};
    EXPECT_EQ(copied(four, "\1\1\1\1", 0), copied(four, "\1\1\1\1", 1));

    // An empty descriptor writes nothing.
    EXPECT_EQ(Bytes(8, 0xEE), copied(Bytes(7, 1), "", 0));
    EXPECT_EQ(Bytes(8, 0xEE), copied(Bytes(7, 1), "", 1));

    // 127 bytes are one field; two entries reverse on their own.
    Bytes big(254);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i);
    const Bytes plain = copied(big, "\177\177", 0);
    const Bytes reversed = copied(big, "\177\177", 1);
    for (size_t k = 0; k < 127; ++k) {
        EXPECT_EQ(big[k], plain[k]);
        EXPECT_EQ(big[126 - k], reversed[k]);
        EXPECT_EQ(big[253 - k], reversed[127 + k]);
    }
    EXPECT_EQ(0xEE, reversed[254]);
}

TEST(ObjectCopyTest, OverlappingPlainCopyRunsForwardByteByByte)
{
    unsigned char buf[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(0, zelkObjectCopy(buf, buf, "\4\4", 0));
    EXPECT_EQ(1, buf[0]);
    EXPECT_EQ(8, buf[7]);

    // Three bytes on: the first three source bytes repeat.
    ASSERT_EQ(0, zelkObjectCopy(buf, buf + 3, "\5\3\1", 0));
    const unsigned char repeated[12] = {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3};
    EXPECT_EQ(0, std::memcmp(repeated, buf, sizeof buf));

    // Three bytes back: an ordinary move.
    unsigned char moved[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(0, zelkObjectCopy(moved + 3, moved, "\2\3", 0));
    const unsigned char expected[8] = {4, 5, 6, 7, 8, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(expected, moved, sizeof moved));
}

// Negative entries read and write nothing and move neither position; in
// particular the reversing copy never reads before the record.
TEST(ObjectCopyTest, NegativeEntriesArePassedOver)
{
    const Bytes src{1, 2, 3, 4, 5, 6};
    for (int swap : {0, 1}) {
        const Bytes expected = copied(src, "\4\2", swap);
        EXPECT_EQ(expected, copied(src, "\4\375\2\200", swap));
        EXPECT_EQ(expected, copied(src, "\377\4\2\377", swap));
        EXPECT_EQ(Bytes(7, 0xEE), copied(src, "\200\377", swap));
    }
}

// Descriptors that favour the fast paths: runs of equal 1-, 2-, 4- and
// 8-byte entries (long enough for the vector steps), stretches of mixed
// small fields with now and then a large or negative one, odd sizes up to
// 127, and an occasional negative entry.
std::string randomLayout(std::mt19937 &rng)
{
    std::string layout;
    const int segments = std::uniform_int_distribution<>(0, 12)(rng);
    for (int s = 0; s < segments; ++s) {
        const int kind = std::uniform_int_distribution<>(0, 11)(rng);
        if (kind >= 10) {
            const int entries = std::uniform_int_distribution<>(8, 70)(rng);
            for (int e = 0; e < entries; ++e) {
                const int pick = std::uniform_int_distribution<>(0, 99)(rng);
                layout += static_cast<char>(
                    pick < 94 ? std::uniform_int_distribution<>(1, 16)(rng)
                    : pick < 98
                        ? std::uniform_int_distribution<>(17, 127)(rng)
                        : -std::uniform_int_distribution<>(1, 128)(rng));
            }
        } else if (kind < 5) {
            const char size = "\1\2\4\10"[kind % 4];
            const int run = std::uniform_int_distribution<>(1, 40)(rng);
            layout.append(static_cast<size_t>(run), size);
        } else if (kind < 9) {
            layout +=
                static_cast<char>(std::uniform_int_distribution<>(1, 127)(rng));
        } else {
            layout += static_cast<char>(
                std::uniform_int_distribution<>(-128, -1)(rng));
        }
    }
    return layout;
}

size_t recordSize(const std::string &layout)
{
    size_t total = 0;
    for (char c : layout)
        total += static_cast<signed char>(c) > 0 ? static_cast<size_t>(c) : 0;
    return total;
}

// The exported copy and each set of kernels that this processor runs.
using CopyFunction = void (*)(const void *, void *, const char *, int);

void exportedCopy(const void *src, void *dst, const char *layout, int swap)
{
    ASSERT_EQ(0, zelkObjectCopy(src, dst, layout, swap));
}

void baselineCopy(const void *src, void *dst, const char *layout, int swap)
{
    zelk::detail::copyRecord(src, dst, layout, swap,
                             zelk::detail::baselineCopyKernels());
}

void avx2Copy(const void *src, void *dst, const char *layout, int swap)
{
    zelk::detail::copyRecord(src, dst, layout, swap,
                             *zelk::detail::avx2CopyKernels());
}

void neonCopy(const void *src, void *dst, const char *layout, int swap)
{
    zelk::detail::copyRecord(src, dst, layout, swap,
                             *zelk::detail::neonCopyKernels());
}

void compareWithDefinition(CopyFunction copy)
{
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        const std::string layout = randomLayout(rng);
        const size_t total = recordSize(layout);
        const size_t margin = 64;
        Bytes arena(3 * total + 2 * margin + 16);
        for (auto &b : arena)
            b = static_cast<unsigned char>(rng());

        // Source somewhere in the first part; destination near it (areas
        // overlapping either way) or anywhere.
        const size_t from = std::uniform_int_distribution<size_t>(
            margin, margin + total + 8)(rng);
        const size_t reach = std::min(from, total);
        const size_t to =
            round % 2 == 0
                ? from - reach +
                      std::uniform_int_distribution<size_t>(0, 2 * reach)(rng)
                : std::uniform_int_distribution<size_t>(0, arena.size() -
                                                               total)(rng);
        for (int swap : {0, 1}) {
            Bytes expected = arena;
            Bytes actual = arena;
            zelk::test::referenceObjectCopy(expected.data() + from,
                                            expected.data() + to,
                                            layout.c_str(), swap);
            copy(actual.data() + from, actual.data() + to, layout.c_str(),
                 swap);
            ASSERT_EQ(expected, actual)
                << "round " << round << ", swap " << swap << ", "
                << layout.size() << " entries, " << total << " bytes from "
                << from << " to " << to;
        }
    }
}

TEST(ObjectCopyTest, MatchesTheByteByByteDefinition)
{
    compareWithDefinition(exportedCopy);
}

TEST(ObjectCopyTest, EachKernelSetMatchesTheByteByByteDefinition)
{
    compareWithDefinition(baselineCopy);
    if (zelk::detail::avx2CopyKernels() != nullptr)
        compareWithDefinition(avx2Copy);
    if (zelk::detail::neonCopyKernels() != nullptr)
        compareWithDefinition(neonCopy);
    if (zelk::detail::avx2CopyKernels() == nullptr &&
        zelk::detail::neonCopyKernels() == nullptr)
        GTEST_SKIP() << "this processor has neither AVX2 nor NEON";
}

// Long stretches of small mixed fields, as message headers have, through
// each kernel set, from storage exactly as long as the record: the vector
// steps that write whole blocks ahead of the fields must stop at its end,
// also where pairs exceed a block, a field exceeds 16 bytes or an entry is
// negative, and whatever the bytes left after the last full step.
TEST(ObjectCopyTest, MixedSmallFieldsStayInsideTheRecord)
{
    const std::string cycles[] = {
        {4, 4, 2, 2, 8, 1, 1, 4, 8, 3, 16, 2, 1, 1},
        {16, 16, 15, 2, 1, 17, 3, 127, 5, 9, 9},
        // Fours that fill a block exactly, just fit, or have an 8 or a 9.
        {8, 4, 2, 2, 1, 1, 1, 1, 3, 5, 7, 1, 8, 8, 9, 1, 2, 3, 4, 6},
        "\2\4\375\10\1\1\20\6\200\7", // -3 and -128 among them
    };
    std::vector<CopyFunction> copies{exportedCopy, baselineCopy};
    if (zelk::detail::avx2CopyKernels() != nullptr)
        copies.push_back(avx2Copy);
    for (const std::string &cycle : cycles)
        for (size_t entries = 0; entries < 120; entries += 7) {
            std::string layout;
            for (size_t e = 0; e < entries; ++e)
                layout += cycle[e % cycle.size()];
            const size_t total = recordSize(layout);
            Bytes src(total);
            for (size_t i = 0; i < total; ++i)
                src[i] = static_cast<unsigned char>(i * 13 + 5);
            // Guard bytes after the record; the source ends with it (the
            // sanitizer builds catch reads past it).
            Bytes expected(total + 32, 0xEE);
            zelk::test::referenceObjectCopy(src.data(), expected.data(),
                                            layout.c_str(), 1);
            for (CopyFunction copy : copies) {
                Bytes dst(total + 32, 0xEE);
                copy(src.data(), dst.data(), layout.c_str(), 1);
                ASSERT_EQ(expected, dst) << entries << " entries";
            }
        }
}

// The descriptor is read ahead in aligned blocks: one that ends at the last
// byte of its page, before a page that cannot be read, is still read safely.
TEST(ObjectCopyTest, DescriptorAtTheEndOfAPageIsReadSafely)
{
    const zelk::test::GuardedPage area;
    ASSERT_NE(nullptr, area.start());
    std::string small;
    for (int i = 0; i < 150; ++i)
        small += "\4\4\2\2\10\1\1\4\10\3\20\2\1\1"[i % 14];
    const std::string layouts[] = {std::string(200, '\4'), small, "\4\2\1",
                                   std::string(63, '\2')};
    std::vector<CopyFunction> copies{exportedCopy, baselineCopy};
    if (zelk::detail::avx2CopyKernels() != nullptr)
        copies.push_back(avx2Copy);
    for (const std::string &layout : layouts) {
        char *text = area.end() - layout.size() - 1;
        std::memcpy(text, layout.c_str(), layout.size() + 1);
        const size_t total = recordSize(layout);
        Bytes src(total);
        for (size_t i = 0; i < total; ++i)
            src[i] = static_cast<unsigned char>(i * 11 + 3);
        for (int swap : {0, 1}) {
            Bytes expected(total + 1, 0xEE);
            zelk::test::referenceObjectCopy(src.data(), expected.data(), text,
                                            swap);
            for (CopyFunction copy : copies) {
                Bytes dst(total + 1, 0xEE);
                copy(src.data(), dst.data(), text, swap);
                ASSERT_EQ(expected, dst) << layout.size() << " entries";
            }
        }
    }
}

} // namespace
