// Thread names with the driver running: the name pointer passes the memory
// probe or the thread is "noname"; the marker file carries up to 63
// characters of the name, the system name 15.
#include "zelk.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/guarded_page.h"
#include "support/zelkd_fixture.h"
#include "thread_watch.h"

namespace {

using zelk::test::fileExists;
using zelk::test::markerPath;
using zelk::test::ThreadWatch;

class ThreadNameDriverTest : public zelk::test::ZelkdTest {
protected:
    void SetUp() override
    {
        ZelkdTest::SetUp();
        if (IsSkipped())
            return;
        const std::string why = zelk::test::markerDirReady();
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    // Starts a thread with attr, expects its marker under markerName and
    // its system name, and lets it end.
    void expectNamed(const zelkThreadAttr &attr, const std::string &markerName,
                     const std::string &systemName)
    {
        ThreadWatch watch;
        pthread_t thread;
        ASSERT_EQ(0,
                  zelkThreadCreate(&thread, &attr, ThreadWatch::entry, &watch));
        ASSERT_TRUE(watch.waitStarted());
        const std::string marker = markerPath(watch.view.tid, markerName);
        EXPECT_TRUE(fileExists(marker)) << marker;
        EXPECT_EQ(systemName, watch.view.comm);
        watch.release();
        ASSERT_TRUE(zelk::test::waitThreadGone(watch.view.tid));
        EXPECT_FALSE(fileExists(marker));
    }
};

TEST_F(ThreadNameDriverTest, ValidNameFillsTheMarkerAndIsCutForTheSystem)
{
    const std::string twenty = "abcdefghijklmnopqrst";
    expectNamed({-1, 0, ZELK_THREAD_NAME_VALID, twenty.c_str()}, twenty,
                twenty.substr(0, 15));
    expectNamed({-1, 0, 0, twenty.c_str()}, "noname", "noname");

    // Names of 63 characters fit; longer ones are cut to 63.
    const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyz"
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (const size_t length : {63, 64, 100}) {
        const std::string name =
            alphabet.substr(0, 63) + std::string(length - 63, '#');
        expectNamed({-1, 0, ZELK_THREAD_NAME_VALID, name.c_str()},
                    alphabet.substr(0, 63), alphabet.substr(0, 15));
    }

    // A '/' cannot be part of a file name: the marker shows '_' for it.
    expectNamed({-1, 0, ZELK_THREAD_NAME_VALID, "../etc/x"}, ".._etc_x",
                "../etc/x");
}

TEST_F(ThreadNameDriverTest, NameThatCannotBeReadGivesNoname)
{
    const zelk::test::GuardedPage area;
    ASSERT_NE(nullptr, area.start());

    // The probe covers 64 bytes: a short name right before an unreadable
    // page is not used either.
    char *shortName = area.end() - 8;
    memcpy(shortName, "near", 5);
    expectNamed({-1, 0, ZELK_THREAD_NAME_VALID, shortName}, "noname", "noname");
    expectNamed({-1, 0, ZELK_THREAD_NAME_VALID, area.end()}, "noname",
                "noname");
    char *fits = area.end() - 64;
    memcpy(fits, "fits", 5);
    expectNamed({-1, 0, ZELK_THREAD_NAME_VALID, fits}, "fits", "fits");
}

} // namespace
