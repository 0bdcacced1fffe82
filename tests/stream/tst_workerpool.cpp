// The worker pool: every task of every set runs exactly once and is done when run returns,
// however many threads hand in sets at once; a set's tasks really run side by side; and a
// set finishes even with no worker free. Run under ThreadSanitizer too (label library).

#include "workerpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(WorkerPool, EveryTaskOfEverySetRunsOnceBeforeRunReturns)
{
    zun::WorkerPool pool(3);
    constexpr int kCallers = 4, kSets = 150;
    std::atomic<int> wrong{0};
    std::vector<std::jthread> callers;
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (int set = 0; set < kSets; ++set) {
                const uint32_t count = 1 + uint32_t(set + c) % 9;
                // Plain ints: what a task wrote must be visible to its caller after run.
                std::vector<int> runs(count, 0);
                pool.run(count, [&](uint32_t i) { runs[i] += 1; });
                for (int r : runs)
                    wrong += r != 1;
            }
        });
    }
    callers.clear();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPool, TasksOfOneSetRunSideBySide)
{
    zun::WorkerPool pool(1);
    // Each task waits for the other: only a worker and the caller together finish both.
    std::atomic<int> arrived{0};
    std::atomic<int> metPartner{0};
    pool.run(2, [&](uint32_t) {
        ++arrived;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (arrived.load() < 2 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        metPartner += arrived.load() == 2;
    });
    EXPECT_EQ(metPartner.load(), 2);
}

TEST(WorkerPool, CallerFinishesItsSetWhenNoWorkerIsFree)
{
    zun::WorkerPool none(0);
    int sum = 0;
    none.run(5, [&](uint32_t i) { sum += int(i) + 1; });
    EXPECT_EQ(sum, 15);

    // The only worker is held by another caller's task: a second set still completes.
    zun::WorkerPool one(1);
    std::atomic<bool> release{false};
    std::atomic<int> blockedRan{0};
    std::jthread holder([&] {
        one.run(2, [&](uint32_t) {
            while (!release.load())
                std::this_thread::yield();
            ++blockedRan;
        });
    });
    int second = 0;
    one.run(4, [&](uint32_t) { ++second; });
    EXPECT_EQ(second, 4);
    release = true;
    holder.join();
    EXPECT_EQ(blockedRan.load(), 2);
}

TEST(WorkerPool, APostedSetRunsEachTaskOnceAndThenItsDoneOnceWithoutTheCaller)
{
    zun::WorkerPool pool(2);
    constexpr int kSets = 200;
    struct Posted {
        std::vector<int> runs;
        std::atomic<int> doneCalls{0};
        bool allRanBeforeDone = false;
    };
    std::vector<Posted> sets(kSets);
    std::atomic<int> finished{0};
    std::vector<std::jthread> posters;
    for (int half = 0; half < 2; ++half) {
        posters.emplace_back([&, half] {
            for (int s = half; s < kSets; s += 2) {
                Posted &set = sets[size_t(s)];
                set.runs.assign(1 + size_t(s) % 7, 0);
                pool.post(uint32_t(set.runs.size()), [&set](uint32_t i) { set.runs[i] += 1; }, [&set, &finished] {
                    set.allRanBeforeDone = std::all_of(set.runs.begin(), set.runs.end(), [](int r) { return r == 1; });
                    ++set.doneCalls;
                    ++finished;
                });
            }
        });
    }
    posters.clear();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (finished.load() < kSets && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(finished.load(), kSets);
    for (const Posted &set : sets) {
        EXPECT_EQ(set.doneCalls.load(), 1);
        EXPECT_TRUE(set.allRanBeforeDone);
    }
}

TEST(WorkerPool, SharedPoolIsOneSizedToTheCores)
{
    const auto a = zun::WorkerPool::shared(), b = zun::WorkerPool::shared();
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->workerCount(), std::max(1u, std::thread::hardware_concurrency()));
}

} // namespace
