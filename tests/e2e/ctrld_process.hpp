// A control daemon started in the foreground for one test, on a port the
// system chooses, stopped (with everything it started) at the end.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/run.hpp"

namespace ctrltest {

inline std::vector<pid_t> all_pids() {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d) return out;
    while (struct dirent* e = ::readdir(d)) {
        char* end = nullptr;
        long v = std::strtol(e->d_name, &end, 10);
        if (end && *end == '\0' && v > 0) out.push_back(static_cast<pid_t>(v));
    }
    ::closedir(d);
    return out;
}

// Children of pid (from /proc/PID/stat), zombies included.
inline std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    for (pid_t p : all_pids()) {
        std::string stat = testsupport::read_file("/proc/" + std::to_string(p) + "/stat");
        size_t rp = stat.rfind(')');
        if (rp == std::string::npos) continue;
        std::istringstream in(stat.substr(rp + 2));
        std::string state;
        long ppid = 0;
        in >> state >> ppid;
        if (ppid == parent) out.push_back(p);
    }
    return out;
}

// Processes whose command line contains text (arguments joined by blanks).
inline int processes_with(const std::string& text) {
    int n = 0;
    for (pid_t p : all_pids()) {
        std::string cl = testsupport::read_file("/proc/" + std::to_string(p) + "/cmdline");
        for (char& c : cl)
            if (c == '\0') c = ' ';
        if (cl.find(text) != std::string::npos) ++n;
    }
    return n;
}

// Waits up to ms for pred to hold.
template <class P>
bool eventually(P pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

class CtrldProcess {
public:
    using Settings = std::map<std::string, std::string>;

    // Writes a configuration for sandbox (settings over the test defaults)
    // and starts ctrld -f on it. program: the daemon binary to run.
    CtrldProcess(const testsupport::Sandbox& sb, const Settings& settings = {}, std::string program = "",
                 std::vector<std::string> args = {})
        : sb_(sb) {
        Settings s{{"listen", "127.0.0.1"},
                   {"allow_hosts", "127.0.0.0/8"},
                   {"allow_users", "root nobody"},
                   {"idle_timeout", "60"},
                   {"log_file", sb.path("rw/lgc/ctrld_test.log")},
                   {"bin_dir", sb.path("ro/bin/")}};
        for (auto& [k, v] : settings) s[k] = v;
        std::string cfg = "[CTRLD]\n";
        for (auto& [k, v] : s) cfg += k + "=" + v + "\n";
        config_ = sb.path("etc/ctrld_test.ini");
        testsupport::write_file(config_, cfg);
        if (program.empty()) program = testsupport::bin_dir() + "/ctrld";
        if (args.empty()) args = {"-f", "-c", config_, "-p", "0"};
        start(program, args);
    }
    ~CtrldProcess() { stop(); }
    CtrldProcess(const CtrldProcess&) = delete;
    CtrldProcess& operator=(const CtrldProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string log() const { return testsupport::read_file(sb_.path("rw/lgc/ctrld_test.log")); }
    std::string stderr_text() const { return testsupport::read_file(err_file_); }
    std::vector<pid_t> sessions() const { return children_of(pid_); }

    // Runs sm_ctrlc against this daemon: sm_ctrlc -p PORT args...
    testsupport::RunResult client(const std::vector<std::string>& args, testsupport::RunOptions opt = {}) const {
        std::vector<std::string> argv{testsupport::bin_dir() + "/sm_ctrlc", "-p", std::to_string(port_)};
        argv.insert(argv.end(), args.begin(), args.end());
        if (opt.timeout_ms == 30000) opt.timeout_ms = 20000;
        return sb_.exec(argv, opt);
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int st;
        bool gone = eventually([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }, 5000);
        if (!gone) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &st, 0);
        }
        pid_ = -1;
    }

private:
    void start(const std::string& program, const std::vector<std::string>& args) {
        err_file_ = sb_.path("rw/lgc/ctrld_test.err");
        int out[2];
        if (::pipe2(out, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::string zi = sb_.root_file();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            int e = ::open(err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int n = ::open("/dev/null", O_RDONLY);
            ::dup2(n, 0);
            ::dup2(out[1], 1);
            ::dup2(e, 2);
            ::setenv("ZARVO_INI", zi.c_str(), 1);
            ::execv(cargv[0], cargv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string text;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            struct pollfd p {out[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buf[256];
            ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        size_t colon = text.rfind(':');
        if (text.find("listening on") == std::string::npos || colon == std::string::npos) {
            stop();
            throw std::runtime_error("ctrld did not start: " + text + stderr_text());
        }
        port_ = std::atoi(text.c_str() + colon + 1);
    }

    const testsupport::Sandbox& sb_;
    std::string config_, err_file_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace ctrltest
