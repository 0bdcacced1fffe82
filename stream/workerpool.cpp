#include "workerpool.h"

#include <algorithm>

namespace zun {

std::shared_ptr<WorkerPool> WorkerPool::shared()
{
    static const std::shared_ptr<WorkerPool> pool =
        std::make_shared<WorkerPool>(std::max(1u, std::thread::hardware_concurrency()));
    return pool;
}

WorkerPool::WorkerPool(unsigned workers)
{
    mWorkers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i)
        mWorkers.emplace_back([this](std::stop_token stop) { work(stop); });
}

WorkerPool::~WorkerPool()
{
    for (auto &worker : mWorkers)
        worker.request_stop();
    mWake.notify_all();
    mWorkers.clear();
}

uint32_t WorkerPool::take(TaskSet &set)
{
    const uint32_t index = set.next++;
    if (set.next == set.count)
        mQueue.erase(std::find(mQueue.begin(), mQueue.end(), &set));
    return index;
}

bool WorkerPool::finish(TaskSet &set)
{
    if (--set.unfinished != 0)
        return false;
    // Under the lock: a waited-for set lives on its caller's stack and goes as soon as it sees zero.
    if (!set.done)
        set.finished.notify_one();
    return true;
}

void WorkerPool::post(uint32_t count, std::function<void(uint32_t)> task, std::function<void()> done)
{
    if (count == 0) {
        done();
        return;
    }
    auto set = std::make_unique<TaskSet>();
    set->ownTask = std::move(task);
    set->task = &set->ownTask;
    set->count = count;
    set->unfinished = count;
    set->done = std::move(done);
    std::lock_guard lock(mMutex);
    mQueue.push_back(set.release());
    for (uint32_t i = 0; i < count && i < mWorkers.size(); ++i)
        mWake.notify_one();
}

void WorkerPool::run(uint32_t count, const std::function<void(uint32_t)> &task)
{
    if (count <= 1) {
        if (count == 1)
            task(0);
        return;
    }
    TaskSet set;
    set.task = &task;
    set.count = count;
    set.unfinished = count;
    std::unique_lock lock(mMutex);
    mQueue.push_back(&set);
    for (uint32_t i = 1; i < count && i <= mWorkers.size(); ++i)
        mWake.notify_one();
    while (set.next < set.count) {
        const uint32_t index = take(set);
        lock.unlock();
        task(index);
        lock.lock();
        finish(set);
    }
    set.finished.wait(lock, [&set] { return set.unfinished == 0; });
}

void WorkerPool::work(std::stop_token stop)
{
    std::unique_lock lock(mMutex);
    while (mWake.wait(lock, stop, [this] { return !mQueue.empty(); })) {
        TaskSet &set = *mQueue.front();
        const uint32_t index = take(set);
        lock.unlock();
        (*set.task)(index);
        lock.lock();
        if (finish(set) && set.done) {
            const std::unique_ptr<TaskSet> posted(&set);
            lock.unlock();
            posted->done();
            lock.lock();
        }
    }
}

} // namespace zun
