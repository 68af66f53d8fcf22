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

#include "exec/child.hpp"
#include "util/posix.hpp"

extern char** environ;

namespace testsupport {

namespace {

// Our environment with env added (or replacing).
std::vector<std::string> environment(const std::map<std::string, std::string>& env) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e)
        if (!env.count(std::string(*e).substr(0, std::string(*e).find('=')))) out.push_back(*e);
    for (auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

}  // namespace

std::string bin_dir() {
    return SM_TEST_BIN_DIR;
}
std::string source_dir() {
    return SM_TEST_SOURCE_DIR;
}

std::string status(const RunResult& r) {
    const size_t p = r.err.rfind("STATUS=");
    return p == std::string::npos ? "<none>" : r.err.substr(p, r.err.find('\n', p) - p);
}

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

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& opt) {
    RunResult r;
    exec::SpawnOptions so;
    so.in = opt.stdin_data.empty() ? exec::Stdio::null() : exec::Stdio::pipe();
    so.out = so.err = exec::Stdio::pipe();
    so.new_group = true;  // a timeout ends everything the program started
    so.env = environment(opt.env);
    so.cwd = opt.cwd;
    exec::Child child = exec::Child::spawn(argv, so);
    if (!child.started()) {
        r.rc = 127;
        r.err = argv[0] + ": could not start: " + posix::errtext(child.error());
        return r;
    }
    posix::UniqueFd& in = child.in();
    size_t in_off = 0;
    if (in) posix::set_nonblocking(in.get(), true);
    const posix::Deadline deadline = posix::Deadline::after_ms(opt.timeout_ms);
    posix::UniqueFd* fds[2] = {&child.out(), &child.err()};
    std::string* bufs[2] = {&r.out, &r.err};
    while (*fds[0] || *fds[1] || in) {
        struct pollfd p[3];
        int n = 0, idx[3];
        for (int i = 0; i < 2; ++i)
            if (*fds[i]) {
                p[n] = {fds[i]->get(), POLLIN, 0};
                idx[n++] = i;
            }
        if (in) {
            p[n] = {in.get(), POLLOUT, 0};
            idx[n++] = 2;
        }
        if (posix::poll_until(p, static_cast<nfds_t>(n), deadline) == 0) {
            child.kill(SIGKILL);
            break;
        }
        for (int j = 0; j < n; ++j) {
            if (!p[j].revents) continue;
            if (idx[j] == 2) {
                ssize_t w = posix::retry_eintr([&] {
                    return ::write(in.get(), opt.stdin_data.data() + in_off, opt.stdin_data.size() - in_off);
                });
                if (w > 0) in_off += static_cast<size_t>(w);
                if ((w < 0 && errno != EAGAIN) || in_off >= opt.stdin_data.size()) in.reset();
                continue;
            }
            char buf[65536];
            ssize_t rd = posix::read_some(p[j].fd, buf, sizeof buf);
            if (rd > 0)
                bufs[idx[j]]->append(buf, static_cast<size_t>(rd));
            else
                fds[idx[j]]->reset();
        }
    }
    int st = 0;
    child.wait(st);
    child.release();  // what the program left running on purpose stays
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

Sandbox::Sandbox() {
    char tmpl[] = "/tmp/sm_test_XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    RunResult r = refresh();
    if (r.rc != 0) throw std::runtime_error("sandbox creation failed: " + r.err);
}

RunResult Sandbox::refresh(const std::map<std::string, std::string>& env) const {
    RunOptions o;
    o.env = env;
    return run({"/bin/bash", source_dir() + "/scripts/sandbox", dir_, bin_dir()}, o);
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

bool Sandbox::prot_has(const std::string& a, const std::string& b) const {
    std::istringstream in(protocol());
    for (std::string l; std::getline(in, l);)
        if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
    return false;
}

std::string Sandbox::var(const std::string& name) const {
    return read_file(store_file(name));
}

void Sandbox::set_var(const std::string& name, const std::string& value) const {
    write_file(store_file(name), value);
}

void Sandbox::set_config(const std::string& section, const std::string& key, const std::string& value) const {
    const std::string path = dir_ + "/etc/sm.ini", entry = key + "=" + value + "\n";
    std::istringstream in(read_file(path));
    std::string out, current;
    bool done = false;
    for (std::string line; std::getline(in, line);) {
        const bool header = !line.empty() && line[0] == '[';
        if (header && current == section && !done) out += entry, done = true;
        if (header) current = line;
        if (current != section || line.rfind(key + "=", 0) != 0)
            out += line + "\n";
        else if (!done)
            out += entry, done = true;
    }
    if (!done) out += (current == section ? "" : section + "\n") + entry;
    write_file(path, out);
}

MeasuredRun run_measured(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::string& stdin_path, unsigned long long stdin_bytes,
                         const std::string& stdout_path) {
    MeasuredRun r;
    const bool generate = stdin_path.empty() && stdin_bytes > 0;
    posix::UniqueFd in, out = posix::open_fd(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!generate && !stdin_path.empty()) in = posix::open_fd(stdin_path, O_RDONLY);
    if (!out || (!generate && !stdin_path.empty() && !in)) throw std::runtime_error("open");
    exec::SpawnOptions so;
    so.in = generate ? exec::Stdio::pipe() : in ? exec::Stdio::from(in.get()) : exec::Stdio::null();
    so.out = exec::Stdio::from(out.get());
    // Forked, then executed: a child that shares our memory until its exec
    // (posix_spawn) inherits our peak size in its own.
    std::vector<std::string> args = argv, vars = environment(env);
    std::vector<char*> cargv, cenv;
    for (auto& a : args) cargv.push_back(a.data());
    for (auto& v : vars) cenv.push_back(v.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    exec::Child child = exec::Child::call(
        [&] {
            ::execve(cargv[0], cargv.data(), cenv.data());
            return 127;
        },
        so);
    if (!child.started()) throw std::runtime_error("could not start " + argv[0]);
    if (generate) {
        // A reader that stops early must not kill us with SIGPIPE.
        struct sigaction ign {
        }, old{};
        ign.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ign, &old);
        std::string chunk(1 << 20, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
        for (unsigned long long left = stdin_bytes; left > 0;) {
            size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            if (!posix::write_all(child.in().get(), std::string_view(chunk.data(), n)))
                break;  // the reader is gone
            left -= n;
        }
        child.in().reset();
        ::sigaction(SIGPIPE, &old, nullptr);
    }
    int st = 0;
    child.wait(st);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    const struct rusage ru = child.usage();
    r.max_rss_kb = ru.ru_maxrss;
    r.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return r;
}

}  // namespace testsupport
