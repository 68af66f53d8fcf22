// Whole-process throughput of the usefile read and create jobs against cat,
// and the peak resident size of each, over a 1 GiB file; and both roads of
// copy_fd (kernel copy, large buffer) for each kind of source into a file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "support/run.hpp"
#include "util/posix.hpp"

namespace {

constexpr unsigned long long kSize = 1ULL << 30;

struct Figures {
    double total_seconds = 0;
    double cpu_seconds = 0;
    int runs = 0;
    long max_rss_kb = 0;
    double mean() const { return total_seconds / runs; }
};
std::map<std::string, Figures> gFigures;

testsupport::Sandbox* gSandbox = nullptr;
std::string gInput;   // the 1 GiB file read by the read benchmarks
std::string gOutput;  // the file written by the create benchmarks

std::map<std::string, std::string> sandbox_env() {
    return {{"ZARVO_INI", gSandbox->root_file()}};
}

void measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv,
             const std::string& stdin_path, unsigned long long generated, const std::string& out) {
    for (auto _ : state) {
        // Start every run with no dirty pages and no old output, so that
        // writeback and truncation left by the previous run do not land on
        // this one (the create runs otherwise favour whichever runs first).
        state.PauseTiming();
        ::unlink(gOutput.c_str());
        ::sync();
        state.ResumeTiming();
        testsupport::MeasuredRun r =
            testsupport::run_measured(argv, sandbox_env(), stdin_path, generated, out);
        if (r.rc != 0) {
            state.SkipWithError(("exit code " + std::to_string(r.rc)).c_str());
            return;
        }
        state.SetIterationTime(r.seconds);
        Figures& f = gFigures[name];
        f.total_seconds += r.seconds;
        f.cpu_seconds += r.cpu_seconds;
        ++f.runs;
        f.max_rss_kb = std::max(f.max_rss_kb, r.max_rss_kb);
        state.counters["peak_rss_kb"] = static_cast<double>(f.max_rss_kb);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_UsefileRead(benchmark::State& s) {
    measure(s, "usefile_read", {testsupport::bin_dir() + "/sm_client", "-f", "u", "-m", "r", "-n", gInput},
            "", 0, "/dev/null");
}
void BM_CatRead(benchmark::State& s) {
    measure(s, "cat_read", {"/bin/cat", gInput}, "", 0, "/dev/null");
}
void BM_UsefileCreate(benchmark::State& s) {
    measure(s, "usefile_create",
            {testsupport::bin_dir() + "/sm_client", "-f", "u", "-m", "c", "-s", "-", "-n", gOutput}, "",
            kSize, "/dev/null");
}
void BM_CatCreate(benchmark::State& s) {
    measure(s, "cat_create", {"/bin/sh", "-c", "exec cat > '" + gOutput + "'"}, "", kSize, "/dev/null");
}

// copy_fd from a file, a pipe or a socket (fed by another thread, as a
// producer process would) into a file, by the road given.
constexpr unsigned long long kRoadSize = kSize;  // the file source is the whole input
void BM_CopyRoad(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const auto road = static_cast<posix::CopyRoad>(state.range(1));
    state.SetLabel(std::string(kind == 0   ? "file"
                               : kind == 1 ? "pipe"
                                           : "socket") +
                   " into file, " + (road == posix::CopyRoad::kernel ? "kernel" : "buffer"));
    const std::string chunk(1 << 20, 'r');
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(gOutput.c_str());
        ::sync();
        posix::UniqueFd in, feed;
        if (kind == 0) {
            in = posix::open_fd(gInput, O_RDONLY);
        } else {
            int fds[2];
            if (kind == 1 ? ::pipe2(fds, O_CLOEXEC)
                          : ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds)) {
                state.SkipWithError("pipe");
                return;
            }
            in.reset(fds[0]);
            feed.reset(fds[1]);
        }
        posix::UniqueFd out = posix::open_fd(gOutput, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        std::thread feeder([&] {
            for (unsigned long long done = 0; feed && done < kRoadSize; done += chunk.size())
                if (!posix::write_all(feed.get(), chunk)) break;
            feed.reset();
        });
        const posix::CopyResult r = posix::copy_fd(in.get(), out.get(), posix::Deadline::never(), road);
        const bool closed = out.close_checked() == 0;
        feeder.join();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        if (!r || !closed) {
            state.SkipWithError(posix::errtext(r.err).c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRoadSize));
}
BENCHMARK(BM_CopyRoad)
    ->ArgsProduct({{0, 1, 2},
                   {static_cast<int>(posix::CopyRoad::kernel), static_cast<int>(posix::CopyRoad::buffer)}})
    ->UseManualTime()
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);

// Each side is measured over several whole runs; the ratio compares means
// (the create runs write through the page cache and vary with writeback).
BENCHMARK(BM_CatRead)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UsefileRead)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatCreate)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UsefileCreate)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

bool make_input(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::string chunk(1 << 20, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7 + i / 4096);
    bool ok = true;
    for (unsigned long long done = 0; ok && done < kSize; done += chunk.size())
        ok = ::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    testsupport::Sandbox sandbox;
    gSandbox = &sandbox;
    gInput = sandbox.path("bench_input.dat");
    gOutput = sandbox.path("bench_output.dat");
    if (!make_input(gInput)) {
        std::fprintf(stderr, "cannot create %s\n", gInput.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(gInput.c_str());
    ::unlink(gOutput.c_str());

    auto ratio = [](const char* ours, const char* theirs) {
        const Figures& a = gFigures[ours];
        const Figures& b = gFigures[theirs];
        if (a.runs == 0 || b.runs == 0) return;
        // On a busy machine the wall-clock ratio swings; the CPU ratio does not.
        std::printf(
            "%-15s %7.0f MiB/s  peak %6.1f MiB | %-10s %7.0f MiB/s  peak %6.1f MiB | throughput ratio %.2f"
            " | CPU %.0f ms vs %.0f ms, ratio %.2f\n",
            ours, 1024 / a.mean(), a.max_rss_kb / 1024.0, theirs, 1024 / b.mean(), b.max_rss_kb / 1024.0,
            b.mean() / a.mean(), a.cpu_seconds * 1000 / a.runs, b.cpu_seconds * 1000 / b.runs,
            b.cpu_seconds / a.cpu_seconds * a.runs / b.runs);
    };
    ratio("usefile_read", "cat_read");
    ratio("usefile_create", "cat_create");
    return 0;
}
