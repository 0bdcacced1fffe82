#pragma once

#include <mutex>

namespace zun {

// What the registry holds: an encoder or a decoder, told apart by dynamic type.
//
// Calls that change the handle run one at a time. Closing waits for the one in progress,
// refuses the ones after, and frees ports, sockets and memory before it returns, so neither
// a port nor a teardown is left to whichever thread lets go of the handle last.
class Handle {
public:
    virtual ~Handle() = default;

    // Runs change unless the handle is closed; failure otherwise.
    template <class R, class F>
    R change(R failure, F &&change)
    {
        std::lock_guard lock(mCallMutex);
        if (mClosed)
            return failure;
        return change();
    }

    void close()
    {
        {
            std::lock_guard lock(mCallMutex);
            mClosed = true;
        }
        // Outside the lock, so a call that waited for it fails at once instead of waiting
        // for the teardown.
        release();
    }

protected:
    // Stops the handle's threads and frees what it holds. Runs once, with no changing call
    // in progress or to come; the calls that only read may still run.
    virtual void release() = 0;

private:
    std::mutex mCallMutex;
    bool mClosed = false;
};

} // namespace zun
