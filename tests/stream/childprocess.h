#pragma once

// A child process for two-process tests: started with posix_spawn, its stdout read line by
// line, SIGKILLed and reaped by the destructor if still running.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char **environ;

namespace zuntest {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string> &args)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        mOut = out[0];
    }
    ~ChildProcess()
    {
        kill();
        if (mOut >= 0)
            close(mOut);
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return mPid > 0; }

    // The next line the child prints, or "" when none comes within the time.
    std::string readLine(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto nl = mBuffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = mBuffer.substr(0, nl);
                mBuffer.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {};
            pollfd p{mOut, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0)
                continue;
            char chunk[256];
            const ssize_t n = read(mOut, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            mBuffer.append(chunk, size_t(n));
        }
    }

    // The exit code once it has exited, else -1; never waits.
    int poll()
    {
        int status = 0;
        if (mPid <= 0 || waitpid(mPid, &status, WNOHANG) != mPid)
            return mPid > 0 || mExitCode < 0 ? -1 : mExitCode;
        mPid = -1;
        mExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        return mExitCode;
    }

    // The exit code, or -1 when it did not exit within the time (it is then killed).
    int wait(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const int code = poll();
            if (code >= 0 || mPid <= 0)
                return code;
            if (std::chrono::steady_clock::now() > end)
                break;
            usleep(2000);
        }
        kill();
        return -1;
    }

    void kill()
    {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }

private:
    pid_t mPid = -1;
    int mOut = -1;
    int mExitCode = -1;
    std::string mBuffer;
};

} // namespace zuntest
