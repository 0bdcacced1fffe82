#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zun {

// Worker threads that run sets of independent tasks, such as the strips of one frame. The
// thread that hands in a set works on it too, so a set finishes even when every worker is
// busy with other sets, and its latency is never worse than running it alone.
class WorkerPool {
public:
    // The pool of the process, one worker per core, shared by every encoder and decoder.
    // Holders keep it alive, so it outlives whatever still codes at exit.
    static std::shared_ptr<WorkerPool> shared();

    explicit WorkerPool(unsigned workers);
    // Waits for the workers to finish the task they are on.
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    unsigned workerCount() const { return unsigned(mWorkers.size()); }

    // Runs task(0) .. task(count - 1), each once, on the workers and the calling thread;
    // returns when all have returned. Safe from any thread, any number at once.
    void run(uint32_t count, const std::function<void(uint32_t)> &task);
    // Hands in task(0) .. task(count - 1) for the workers alone and returns at once; the
    // thread that finishes the last task then calls done. Sets run in the order handed in;
    // a pool of no workers never runs them.
    void post(uint32_t count, std::function<void(uint32_t)> task, std::function<void()> done);

private:
    struct TaskSet {
        const std::function<void(uint32_t)> *task = nullptr;
        uint32_t count = 0;
        uint32_t next = 0;     // the first task nobody has taken
        uint32_t unfinished = 0;
        std::condition_variable finished;
        // A posted set's own: nobody waits for it, so it keeps its task and goes when done.
        std::function<void(uint32_t)> ownTask;
        std::function<void()> done;
    };

    // Takes the next task of the set, dropping the set from the queue once all are taken.
    uint32_t take(TaskSet &set);
    // True when that was the set's last task.
    bool finish(TaskSet &set);
    void work(std::stop_token stop);

    std::mutex mMutex;
    std::condition_variable_any mWake;
    std::deque<TaskSet *> mQueue; // sets with tasks not yet taken, oldest first
    std::vector<std::jthread> mWorkers; // last: stop before what they use goes
};

} // namespace zun
