// A control daemon for one test, on a port of the system's choice, stopped with all it started.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "exec/child.hpp"
#include "support/run.hpp"
#include "util/posix.hpp"

extern char** environ;

namespace ctrltest {

// Waits up to ms for pred to hold.
template <class P>
bool eventually(P pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class CtrldProcess {
   public:
    // Starts ctrld from bin with args (default: -f on a configuration of settings over the defaults).
    CtrldProcess(const testsupport::Sandbox& sb, const std::map<std::string, std::string>& settings = {},
                 const std::string& bin = testsupport::bin_dir() + "/", std::vector<std::string> args = {})
        : sb_(sb), bin_(bin) {
        std::map<std::string, std::string> s{{"listen", "127.0.0.1"},        {"allow_hosts", "127.0.0.0/8"},
                                             {"allow_users", "root nobody"}, {"idle_timeout", "60"},
                                             {"log_file", log_path()},       {"bin_dir", sb.path("ro/bin/")}};
        for (auto& [k, v] : settings) s[k] = v;
        std::string cfg = "[CTRLD]\n";
        for (auto& [k, v] : s) cfg += k + "=" + v + "\n";
        testsupport::write_file(sb.path("etc/ctrld_test.ini"), cfg);
        if (args.empty()) args = {"-f", "-c", sb.path("etc/ctrld_test.ini"), "-p", "0"};
        args.insert(args.begin(), bin + "ctrld");
        start(args);
    }
    ~CtrldProcess() { stop(); }
    CtrldProcess(const CtrldProcess&) = delete;
    CtrldProcess& operator=(const CtrldProcess&) = delete;

    int port() const { return port_; }
    std::string log() const { return testsupport::read_file(log_path()); }
    // Session processes started and not yet reaped (zombies included).
    std::string sessions() const {
        std::string id = std::to_string(daemon_.pid());
        return testsupport::read_file("/proc/" + id + "/task/" + id + "/children");
    }

    // sm_ctrlc -p PORT args...
    testsupport::RunResult client(const std::vector<std::string>& args,
                                  testsupport::RunOptions opt = {}) const {
        std::vector<std::string> argv{bin_ + "sm_ctrlc", "-p", std::to_string(port_)};
        argv.insert(argv.end(), args.begin(), args.end());
        opt.timeout_ms = 20000;
        return sb_.exec(argv, opt);
    }

    void stop() {
        if (!daemon_.started()) return;
        ::kill(daemon_.pid(), SIGTERM);
        int st;
        // Only a daemon that did not end by itself takes its group down with it.
        if (daemon_.wait_for(5000, st) == 1) daemon_.release();
        daemon_ = exec::Child();
    }

   private:
    std::string log_path() const { return sb_.path("rw/lgc/ctrld_test.log"); }

    // Starts the daemon in its own group and reads the port from its "listening on ...:PORT" line.
    void start(std::vector<std::string>& argv) {
        exec::SpawnOptions opt;
        opt.in = exec::Stdio::null();
        opt.out = exec::Stdio::pipe();
        opt.new_group = true;
        opt.env = std::vector<std::string>{"ZARVO_INI=" + sb_.root_file()};
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("ZARVO_INI=", 0) != 0) opt.env->push_back(*e);
        // A descriptor left open by whoever starts the daemon: no command may see it.
        posix::UniqueFd inherited(::open(argv[0].c_str(), O_RDONLY));
        daemon_ = exec::Child::spawn(argv, opt);
        if (!daemon_.started())
            throw std::runtime_error("ctrld did not start: " + posix::errtext(daemon_.error()));
        std::string text;
        char buf[256];
        const int out = daemon_.out().get();
        const posix::Deadline deadline = posix::Deadline::after_ms(10000);
        for (ssize_t n = 1; text.find('\n') == std::string::npos && n > 0;)
            if ((n = posix::read_some(out, buf, sizeof buf, deadline)) > 0)
                text.append(buf, static_cast<size_t>(n));
        daemon_.out().reset();
        size_t colon = text.rfind(':');
        if (text.find("listening on") == std::string::npos || colon == std::string::npos) {
            stop();
            throw std::runtime_error("ctrld did not start: " + text);
        }
        port_ = std::atoi(text.c_str() + colon + 1);
    }

    const testsupport::Sandbox& sb_;
    std::string bin_;
    exec::Child daemon_;
    int port_ = 0;
};

}  // namespace ctrltest
