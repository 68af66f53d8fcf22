#include "support/run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

// argv and environment vectors for execve, built before fork.
class ExecArgs {
public:
    ExecArgs(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::vector<std::string>& unset_env)
        : args_(argv) {
        for (char** e = environ; *e; ++e) {
            std::string kv = *e;
            std::string k = kv.substr(0, kv.find('='));
            if (env.count(k)) continue;
            bool drop = false;
            for (auto& u : unset_env) drop |= (u == k);
            if (!drop) envs_.push_back(kv);
        }
        for (auto& [k, v] : env) envs_.push_back(k + "=" + v);
        for (auto& s : envs_) cenv_.push_back(s.data());
        cenv_.push_back(nullptr);
        for (auto& s : args_) cargv_.push_back(s.data());
        cargv_.push_back(nullptr);
    }
    char** argv() { return cargv_.data(); }
    char** envp() { return cenv_.data(); }

private:
    std::vector<std::string> args_, envs_;
    std::vector<char*> cargv_, cenv_;
};

}  // namespace

std::string bin_dir() { return SM_TEST_BIN_DIR; }
std::string source_dir() { return SM_TEST_SOURCE_DIR; }

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

RunResult run(const std::vector<std::string>& argv, const RunOptions& opt) {
    RunResult r;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");

    ExecArgs ea(argv, opt.env, opt.unset_env);
    char** cargv = ea.argv();
    char** cenv = ea.envp();

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::setpgid(0, 0);
        if (opt.stdin_data.empty() && opt.stdin_null) {
            int dn = ::open("/dev/null", O_RDONLY);
            ::dup2(dn, 0);
        } else {
            ::dup2(in[0], 0);
        }
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!opt.cwd.empty() && ::chdir(opt.cwd.c_str()) != 0) ::_exit(126);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(cargv[0], cargv, cenv);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    int infd = in[1];
    size_t in_off = 0;
    if (opt.stdin_data.empty()) {
        ::close(infd);
        infd = -1;
    } else {
        ::fcntl(infd, F_SETFL, O_NONBLOCK);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opt.timeout_ms);
    int fds[2] = {out[0], err[0]};
    std::string* bufs[2] = {&r.out, &r.err};
    int open_count = 2;
    while (open_count > 0 || infd >= 0) {
        struct pollfd p[3];
        int n = 0, idx[3];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                idx[n++] = i;
            }
        if (infd >= 0) {
            p[n] = {infd, POLLOUT, 0};
            idx[n++] = 2;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timed_out = true;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            break;
        }
        int pr = ::poll(p, static_cast<nfds_t>(n), static_cast<int>(left.count()));
        if (pr < 0 && errno == EINTR) continue;
        for (int j = 0; j < n; ++j) {
            if (!p[j].revents) continue;
            if (idx[j] == 2) {
                ssize_t w = ::write(infd, opt.stdin_data.data() + in_off, opt.stdin_data.size() - in_off);
                if (w > 0) in_off += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) in_off = opt.stdin_data.size();
                if (in_off >= opt.stdin_data.size()) {
                    ::close(infd);
                    infd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t rd = ::read(p[j].fd, buf, sizeof buf);
            if (rd > 0) {
                bufs[idx[j]]->append(buf, static_cast<size_t>(rd));
            } else if (rd == 0 || (rd < 0 && errno != EINTR)) {
                ::close(fds[idx[j]]);
                fds[idx[j]] = -1;
                --open_count;
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    if (infd >= 0) ::close(infd);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

Sandbox::Sandbox() {
    char tmpl[] = "/tmp/sm_test_XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    RunResult r = run({"/bin/bash", source_dir() + "/scripts/sandbox", dir_, bin_dir()});
    if (r.rc != 0) throw std::runtime_error("sandbox creation failed: " + r.err);
}

Sandbox::~Sandbox() {
    if (!dir_.empty() && !std::getenv("SM_KEEP_SANDBOX")) run({"/bin/rm", "-rf", dir_});
}

std::string Sandbox::hostname() const {
    std::string line;
    std::ifstream f(dir_ + "/etc/sm.ini");
    while (std::getline(f, line))
        if (line.rfind("name=", 0) == 0) return line.substr(5);
    return {};
}

RunResult Sandbox::exec(const std::vector<std::string>& argv, RunOptions opt) const {
    opt.env["ZARVO_INI"] = root_file();
    return run(argv, opt);
}

RunResult Sandbox::sm(const std::vector<std::string>& args, RunOptions opt) const {
    std::vector<std::string> argv{bin_dir() + "/sm_client"};
    argv.insert(argv.end(), args.begin(), args.end());
    return exec(argv, std::move(opt));
}

std::string Sandbox::var(const std::string& name) const { return read_file(store_file(name)); }

void Sandbox::set_var(const std::string& name, const std::string& value) const {
    write_file(store_file(name), value);
}

void Sandbox::set_config(const std::string& section, const std::string& key, const std::string& value) const {
    std::string path = dir_ + "/etc/sm.ini";
    std::istringstream in(read_file(path));
    std::string line, out, current;
    bool done = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            if (current == section && !done) {
                out += key + "=" + value + "\n";
                done = true;
            }
            current = line;
        }
        if (current == section && line.rfind(key + "=", 0) == 0) {
            if (!done) out += key + "=" + value + "\n";
            done = true;
            continue;
        }
        out += line + "\n";
    }
    if (!done) {
        if (current != section) out += section + "\n";
        out += key + "=" + value + "\n";
    }
    write_file(path, out);
}

MeasuredRun run_measured(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::string& stdin_path, unsigned long long stdin_bytes,
                         const std::string& stdout_path) {
    MeasuredRun r;
    ExecArgs ea(argv, env, {});
    char** cargv = ea.argv();
    char** cenv = ea.envp();

    int feed[2] = {-1, -1};
    const bool generate = stdin_path.empty() && stdin_bytes > 0;
    if (generate && ::pipe2(feed, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        int in = generate ? feed[0] : ::open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        int out = ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(cargv[0], cargv, cenv);
        ::_exit(127);
    }
    if (generate) {
        ::close(feed[0]);
        // A reader that stops early must not kill us with SIGPIPE.
        struct sigaction ign {}, old {};
        ign.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ign, &old);
        std::string chunk(1 << 20, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
        unsigned long long left = stdin_bytes;
        while (left > 0) {
            size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            ssize_t w = ::write(feed[1], chunk.data(), n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;  // the reader is gone
            left -= static_cast<unsigned long long>(w);
        }
        ::close(feed[1]);
        ::sigaction(SIGPIPE, &old, nullptr);
    }
    int st = 0;
    struct rusage ru {};
    while (::wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.max_rss_kb = ru.ru_maxrss;
    r.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return r;
}

}  // namespace testsupport
