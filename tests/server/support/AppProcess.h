// Test helpers for the process tests: the built TessilServiceApp as a child process with
// its standard output and error collected, and its panel driven over HTTP. One test
// thread each; the reader thread of AppProcess only appends to the collected text.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace tessil::apptest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline fs::path AppPath() {
    if (const char* env = std::getenv("TESSIL_APP")) return env;
    // build/<kind>/tests/server_tests -> build/<kind>/server/TessilServiceApp
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "server" /
           "TessilServiceApp";
}

inline std::string UniqueName(const char* what) {
    static std::atomic<int> n{0};
    return std::string("proc-") + what + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(++n);
}

// One child process with its standard output and error collected by a reader thread.
class AppProcess {
  public:
    // `env` entries ("NAME=VALUE") are added to the test's environment.
    explicit AppProcess(std::vector<std::string> args, std::vector<std::string> env = {}) {
        int out[2], err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::string exe = AppPath().string();
        std::vector<char*> argv{exe.data()};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        EXPECT_EQ(rc, 0) << "cannot start " << exe;
        if (rc != 0) pid_ = -1;
        reader_ = std::thread([this, o = out[0], e = err[0]] { Read(o, e); });
    }
    ~AppProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            Wait(10s);
        }
        reader_.join();
    }

    pid_t Pid() const { return pid_; }
    void Signal(int sig) { ::kill(pid_, sig); }
    // The exit code, or -1 when the process is still running after the limit.
    int Wait(std::chrono::milliseconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!exited_) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                // Everything the process wrote is read before its output is looked at.
                std::unique_lock lock(mu_);
                cv_.wait_for(lock, 5s, [&] { return readerDone_; });
                break;
            }
            if (std::chrono::steady_clock::now() > until) return -1;
            std::this_thread::sleep_for(10ms);
        }
        return code_;
    }
    bool Running() { return Wait(0ms) == -1; }

    bool WaitOut(const std::string& needle, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return out_.find(needle) != std::string::npos; });
    }
    std::string Out() {
        std::lock_guard lock(mu_);
        return out_;
    }
    std::string Err() {
        std::lock_guard lock(mu_);
        return err_;
    }
    // The panel's port from its "Control panel: http://127.0.0.1:PORT/" line.
    uint16_t PanelPort() {
        if (!WaitOut("/\n")) return 0;
        std::string out = Out();
        auto at = out.find("http://127.0.0.1:");
        if (at == std::string::npos) return 0;
        return static_cast<uint16_t>(std::atoi(out.c_str() + at + 17));
    }

  private:
    void Read(int out, int err) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open = 2;
        char buf[4096];
        while (open > 0 && ::poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard lock(mu_);
                (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
                cv_.notify_all();
            }
        }
        std::lock_guard lock(mu_);
        readerDone_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    bool readerDone_ = false;
};

// The panel of a running process: button presses and the window log.
class Panel {
  public:
    explicit Panel(uint16_t port) : http_("127.0.0.1", port) { http_.set_read_timeout(30, 0); }
    bool Press(const std::string& button) {
        auto res =
            http_.Post(("/api/" + button).c_str(), {{"X-Tessil-Panel", "1"}}, "", "text/plain");
        return res && (res->status == 200 || res->status == 202);
    }
    std::string State() {
        auto res = http_.Get("/api/state");
        return res ? res->body : "";
    }
    // Status and body of a GET (status 0 when there was no answer).
    std::pair<int, std::string> Get(const std::string& path, const httplib::Headers& h = {}) {
        auto res = http_.Get(path.c_str(), h);
        return res ? std::make_pair(res->status, res->body) : std::make_pair(0, std::string());
    }

  private:
    httplib::Client http_;
};

}  // namespace tessil::apptest
