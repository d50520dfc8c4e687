// Many threads on shared event objects, in a counted protocol: each of the 31
// low bits of a channel is a token held by exactly one party at a time
// (free in "empty", sent in "full", or in a thread's hands), so no signal
// ever finds its bit already set, and every bit signalled must be taken
// exactly once. Masks overlap only partly, so a woken waiter often finds
// bits meant for another. Meanwhile named threads are created and ended.
#include "zelk.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "thread_watch.h"

namespace {

constexpr uint32_t kTokens = 0x7FFFFFFFu;
constexpr uint32_t kStop = 0x80000000u;
constexpr int kChannels = 2;
constexpr int kProducersPerChannel = 3;
constexpr int kConsumersPerChannel = 3;
constexpr int kRounds = 3000;
constexpr int kNamedThreads = 200; // in batches of 8

const uint32_t kMasks[] = {0x0000FFFFu, 0x7FFF0000u, 0x00FFFF00u};

struct Channel {
    zelkEvent empty; // tokens free for producers
    zelkEvent full;  // tokens sent, for consumers; kStop ends the consumers
    std::array<std::atomic<long>, 31> sent{};
    std::array<std::atomic<long>, 31> taken{};
    std::atomic<long> sentTotal{0};
    std::atomic<long> takenTotal{0};
};

void count(std::array<std::atomic<long>, 31> &perBit, std::atomic<long> &total,
           uint32_t bits)
{
    for (int bit = 0; bit < 31; ++bit)
        if ((bits & (1u << bit)) != 0) {
            perBit[bit].fetch_add(1, std::memory_order_relaxed);
            total.fetch_add(1, std::memory_order_relaxed);
        }
}

struct Worker {
    Channel *channel;
    uint32_t mask;
    int failures = 0;
};

void *produce(void *arg)
{
    auto *self = static_cast<Worker *>(arg);
    Channel &channel = *self->channel;
    for (int round = 0; round < kRounds; ++round) {
        uint32_t bits = self->mask;
        if (zelkEventWait(&channel.empty, &bits) != 0) {
            ++self->failures;
            break;
        }
        count(channel.sent, channel.sentTotal, bits);
        if (zelkEventSignal(&channel.full, bits) != 0)
            ++self->failures;
    }
    return nullptr;
}

void *consume(void *arg)
{
    auto *self = static_cast<Worker *>(arg);
    Channel &channel = *self->channel;
    for (;;) {
        uint32_t bits = self->mask | kStop;
        if (zelkEventWait(&channel.full, &bits) != 0) {
            ++self->failures;
            break;
        }
        count(channel.taken, channel.takenTotal, bits & kTokens);
        if ((bits & kTokens) != 0 &&
            zelkEventSignal(&channel.empty, bits & kTokens) != 0)
            ++self->failures;
        if ((bits & kStop) != 0) {
            zelkEventSignal(&channel.full, kStop); // for the next consumer
            break;
        }
    }
    return nullptr;
}

// A short-lived named, detached thread that reports its end on a bit.
struct Ending {
    zelkEvent *done;
    uint32_t bit;
    int tid; // written before the bit is signalled
};

void *signalEnd(void *arg)
{
    auto *ending = static_cast<Ending *>(arg);
    ending->tid = gettid();
    zelkEventSignal(ending->done, ending->bit);
    return nullptr;
}

TEST(EventStressTest, EveryBitSignalledIsTakenExactlyOnce)
{
    std::array<Channel, kChannels> channels;
    for (Channel &channel : channels) {
        ASSERT_EQ(0, zelkEventInit(&channel.empty));
        ASSERT_EQ(0, zelkEventInit(&channel.full));
        ASSERT_EQ(0, zelkEventSignal(&channel.empty, kTokens));
    }

    std::vector<Worker> producers, consumers;
    for (Channel &channel : channels)
        for (const uint32_t mask : kMasks) {
            producers.push_back({&channel, mask});
            consumers.push_back({&channel, mask});
        }
    static_assert(std::size(kMasks) == kProducersPerChannel);
    static_assert(std::size(kMasks) == kConsumersPerChannel);

    std::vector<pthread_t> producerThreads(producers.size());
    std::vector<pthread_t> consumerThreads(consumers.size());
    for (size_t i = 0; i < consumers.size(); ++i)
        ASSERT_EQ(0, zelkThreadCreate(&consumerThreads[i], nullptr, consume,
                                      &consumers[i]));
    for (size_t i = 0; i < producers.size(); ++i)
        ASSERT_EQ(0, zelkThreadCreate(&producerThreads[i], nullptr, produce,
                                      &producers[i]));

    // Named threads come and go while the tokens move; each one's end is
    // taken from a shared event of its own bit.
    zelkEvent done;
    ASSERT_EQ(0, zelkEventInit(&done));
    std::array<Ending, 8> endings;
    for (uint32_t bit = 0; bit < endings.size(); ++bit)
        endings[bit] = {&done, 1u << bit, 0};
    int ended = 0;
    std::vector<int> tids;
    for (int batch = 0; batch < kNamedThreads / 8; ++batch) {
        for (Ending &ending : endings) {
            char name[32];
            snprintf(name, sizeof name, "stress-%d-%u", batch, ending.bit);
            const zelkThreadAttr attr{-1, 0, ZELK_THREAD_NAME_VALID, name};
            pthread_t thread;
            ASSERT_EQ(0, zelkThreadCreate(&thread, &attr, signalEnd, &ending));
        }
        for (const Ending &ending : endings) {
            uint32_t mask = ending.bit;
            ASSERT_EQ(0, zelkEventWait(&done, &mask));
            ended += mask == ending.bit ? 1 : 0;
            tids.push_back(ending.tid);
        }
    }
    EXPECT_EQ(kNamedThreads, ended);
    for (const int tid : tids) // their markers are gone with them
        EXPECT_TRUE(zelk::test::waitThreadGone(tid)) << tid;

    for (pthread_t thread : producerThreads)
        ASSERT_EQ(0, pthread_join(thread, nullptr));
    // Every token is back in "empty" once the consumers have drained "full".
    for (Channel &channel : channels) {
        uint32_t gathered = 0;
        while (gathered != kTokens) {
            uint32_t mask = kTokens & ~gathered;
            ASSERT_EQ(0, zelkEventWait(&channel.empty, &mask));
            gathered |= mask;
        }
        ASSERT_EQ(0, zelkEventSignal(&channel.full, kStop));
    }
    for (pthread_t thread : consumerThreads)
        ASSERT_EQ(0, pthread_join(thread, nullptr));

    for (const Worker &worker : producers)
        EXPECT_EQ(0, worker.failures);
    for (const Worker &worker : consumers)
        EXPECT_EQ(0, worker.failures);
    for (Channel &channel : channels) {
        EXPECT_GE(channel.sentTotal.load(), kProducersPerChannel * kRounds);
        EXPECT_EQ(channel.sentTotal.load(), channel.takenTotal.load());
        for (int bit = 0; bit < 31; ++bit)
            EXPECT_EQ(channel.sent[bit].load(), channel.taken[bit].load())
                << "bit " << bit;
        EXPECT_EQ(kStop, channel.full.bits);
        EXPECT_EQ(0u, channel.empty.bits);
        EXPECT_EQ(0, zelkEventDestroy(&channel.empty));
        EXPECT_EQ(0, zelkEventDestroy(&channel.full));
    }
    EXPECT_EQ(0, zelkEventDestroy(&done));
}

} // namespace
