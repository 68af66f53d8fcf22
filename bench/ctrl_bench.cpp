// Throughput and round trip of a command run through ctrld with sm_ctrlc,
// against a plain loopback TCP copy with socat (the floor, with the same
// 64 KiB pieces), in one run.
// Prints the ratios at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tests/e2e/ctrld_process.hpp"
#include "exec/child.hpp"
#include "support/run.hpp"

extern char** environ;

namespace {

constexpr size_t kDataBytes = 128u << 20;

std::unique_ptr<testsupport::Sandbox> g_sb;
std::unique_ptr<ctrltest::CtrldProcess> g_daemon;
std::string g_data;                       // a file of kDataBytes
std::map<std::string, double> g_rate;     // bytes per second, mean
std::map<std::string, double> g_seconds;  // per iteration, mean

void setup() {
    if (g_sb) return;
    g_sb = std::make_unique<testsupport::Sandbox>();
    g_daemon = std::make_unique<ctrltest::CtrldProcess>(*g_sb);
    g_data = g_sb->path("rw/tmp/bench.dat");
    std::string block(1 << 20, '\0');
    std::mt19937 rng(1);
    for (char& c : block) c = static_cast<char>(rng());
    FILE* f = std::fopen(g_data.c_str(), "wb");
    for (size_t i = 0; i < kDataBytes / block.size(); ++i) std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
}

exec::Child spawn(const std::vector<std::string>& argv) {
    exec::SpawnOptions opt;
    opt.env.emplace();
    for (char** e = environ; *e; ++e) opt.env->push_back(*e);
    opt.env->push_back("ZARVO_INI=" + g_sb->root_file());
    return exec::Child::spawn(argv, opt);
}

int wait_for(exec::Child c) {
    int st = 0;
    if (!c.started() || !c.wait(st)) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

double timed_shell(const std::string& cmd) {
    auto t0 = std::chrono::steady_clock::now();
    int rc = wait_for(spawn({"/bin/sh", "-c", cmd}));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) std::fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
    return s;
}

std::string ctrlc() {
    return testsupport::bin_dir() + "/sm_ctrlc -p " + std::to_string(g_daemon->port()) +
           " -l root 127.0.0.1 ";
}

void record(benchmark::State& state, const std::string& name, double total_s, size_t bytes) {
    double iters = static_cast<double>(state.iterations());
    g_seconds[name] = total_s / iters;
    if (bytes) {
        g_rate[name] = static_cast<double>(bytes) * iters / total_s;
        state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
    }
}

void BM_SocatCopy(benchmark::State& state) {
    setup();
    double total = 0;
    for (auto _ : state) {
        int port = 0;
        {
            // A port free a moment ago; socat listens there next.
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
            socklen_t l = sizeof a;
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
            port = ntohs(a.sin_port);
            ::close(s);
        }
        std::string p = std::to_string(port);
        exec::Child listener =
            spawn({"/usr/bin/socat", "-u", "-b", "65536", "TCP-LISTEN:" + p + ",bind=127.0.0.1,reuseaddr",
                   "OPEN:/dev/null,wronly"});
        ::usleep(200000);  // listening before the clock starts
        auto t0 = std::chrono::steady_clock::now();
        int rc =
            wait_for(spawn({"/usr/bin/socat", "-u", "-b", "65536", "OPEN:" + g_data, "TCP:127.0.0.1:" + p}));
        wait_for(std::move(listener));
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (rc != 0) state.SkipWithError("socat failed");
        state.SetIterationTime(s);
        total += s;
    }
    record(state, "socat", total, kDataBytes);
}

// Times one sm_ctrlc shell line per iteration, recorded under label.
void time_ctrlc_transfer(benchmark::State& state, const std::string& line, const char* label) {
    double total = 0;
    for (auto _ : state) {
        double s = timed_shell(line);
        state.SetIterationTime(s);
        total += s;
    }
    record(state, label, total, kDataBytes);
}

void BM_CtrlcStdinToCommand(benchmark::State& state) {
    setup();  // the line names the daemon's port and the data file
    time_ctrlc_transfer(state, ctrlc() + "sh -c 'cat >/dev/null' < " + g_data, "up");
}

void BM_CtrlcOutputToCaller(benchmark::State& state) {
    setup();
    time_ctrlc_transfer(state, ctrlc() + "cat " + g_data + " </dev/null >/dev/null", "down");
}

void BM_CtrlcRoundTripTrue(benchmark::State& state) {
    setup();
    std::vector<std::string> argv{testsupport::bin_dir() + "/sm_ctrlc",
                                  "-p",
                                  std::to_string(g_daemon->port()),
                                  "-l",
                                  "root",
                                  "127.0.0.1",
                                  "true"};
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int rc = wait_for(spawn(argv));
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (rc != 0) state.SkipWithError("sm_ctrlc true failed");
        state.SetIterationTime(s);
        total += s;
    }
    record(state, "rtt", total, 0);
}

void BM_ProcessStartTrue(benchmark::State& state) {
    setup();
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        wait_for(spawn({"/bin/true"}));
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        total += s;
    }
    record(state, "spawn", total, 0);
}

BENCHMARK(BM_SocatCopy)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CtrlcStdinToCommand)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CtrlcOutputToCaller)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CtrlcRoundTripTrue)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessStartTrue)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto mib = [](double r) { return r / (1 << 20); };
    if (g_rate.count("socat") && g_rate.count("up") && g_rate.count("down")) {
        std::printf("\nloopback copy (socat):        %8.1f MiB/s\n", mib(g_rate["socat"]));
        std::printf("sm_ctrlc stdin -> command:    %8.1f MiB/s  ratio %.2f (goal >= 0.5)\n",
                    mib(g_rate["up"]), g_rate["up"] / g_rate["socat"]);
        std::printf("sm_ctrlc command -> caller:   %8.1f MiB/s  ratio %.2f (goal >= 0.5)\n",
                    mib(g_rate["down"]), g_rate["down"] / g_rate["socat"]);
    }
    if (g_seconds.count("rtt"))
        std::printf(
            "sm_ctrlc ... true round trip: %8.2f ms (goal < 5 ms; starting /bin/true alone: %.2f ms)\n",
            g_seconds["rtt"] * 1e3, g_seconds.count("spawn") ? g_seconds["spawn"] * 1e3 : 0.0);
    g_daemon.reset();
    g_sb.reset();
    return 0;
}
