// The directory listing ("dir DIR") of 100 000 and 1 000 000 entries against
// `ls -l --time-style=full-iso` on the same directory: wall and CPU time, and
// peak resident size per entry beyond the names and an empty listing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "support/run.hpp"

namespace {

struct Figures {
    double seconds = 0, cpu_seconds = 0;
    int runs = 0;
    long max_rss_kb = 0;
};
std::map<std::string, Figures> gFigures;
std::string gBase;                  // holds one directory per size
std::map<long, double> gNameBytes;  // bytes of the full names per size
const std::map<std::string, std::string> kEnv = {{"LC_ALL", "C"}, {"TZ", "Europe/Vienna"}};

std::string dir_of(long n) {
    return gBase + "/d" + std::to_string(n);
}

// n entries in an order unlike the sorted one; every 100th a directory.
bool make_dir(long n) {
    const std::string d = dir_of(n);
    if (::mkdir(d.c_str(), 0755) != 0) return false;
    double names = 0;
    char name[64];
    for (long i = 0; i < n; ++i) {
        const unsigned long h = (static_cast<unsigned long>(i) * 2654435761UL) % 1000003UL;
        const int len = std::snprintf(name, sizeof name, "%s_%06lu_%ld", i % 3 ? "data" : "Report", h, i);
        const std::string path = d + "/" + name;
        names += len;
        if (i % 100 == 0) {
            if (::mkdir(path.c_str(), 0755) != 0) return false;
        } else {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, name, static_cast<size_t>(len)) != len || ::close(fd) != 0)
                return false;
        }
    }
    gNameBytes[n] = names;
    return true;
}

void measure(benchmark::State& state, const std::string& name, const std::vector<std::string>& argv) {
    for (auto _ : state) {
        testsupport::MeasuredRun r = testsupport::run_measured(argv, kEnv, "", 0, "/dev/null");
        if (r.rc != 0) {
            state.SkipWithError(("exit code " + std::to_string(r.rc)).c_str());
            return;
        }
        state.SetIterationTime(r.seconds);
        Figures& f = gFigures[name];
        f.seconds += r.seconds;
        f.cpu_seconds += r.cpu_seconds;
        ++f.runs;
        f.max_rss_kb = std::max(f.max_rss_kb, r.max_rss_kb);
        state.counters["peak_rss_kb"] = static_cast<double>(f.max_rss_kb);
    }
}

void BM_Listing(benchmark::State& s) {
    const long n = s.range(0);
    measure(s, "dir " + std::to_string(n), {testsupport::bin_dir() + "/sm_client", "dir", dir_of(n)});
}
void BM_Ls(benchmark::State& s) {
    const long n = s.range(0);
    measure(s, "ls " + std::to_string(n), {"/bin/ls", "-l", "--time-style=full-iso", dir_of(n)});
}

// The sides alternate so that both see the same cache and machine load.
BENCHMARK(BM_Listing)->Arg(0)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ls)->Arg(100000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Listing)->Arg(100000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ls)->Arg(1000000)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Listing)->Arg(1000000)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // SM_BENCH_DIR: where the directories go (default /tmp; they need about
    // 1.1 million inodes and 4 GiB on a disk with 4 KiB blocks).
    const char* where = std::getenv("SM_BENCH_DIR");
    gBase = std::string(where ? where : "/tmp") + "/sm_listing_bench_XXXXXX";
    if (!::mkdtemp(gBase.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    bool ok = make_dir(0) && make_dir(100000) && make_dir(1000000);
    if (ok) benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    testsupport::run({"/bin/rm", "-rf", gBase}, {{}, {}, "", 600000});
    if (!ok) {
        std::fprintf(stderr, "cannot create the directories below %s\n", gBase.c_str());
        return 1;
    }

    const Figures& empty = gFigures["dir 0"];
    for (long n : {100000L, 1000000L}) {
        const Figures& a = gFigures["dir " + std::to_string(n)];
        const Figures& b = gFigures["ls " + std::to_string(n)];
        if (a.runs == 0 || b.runs == 0) continue;
        const double per_entry = ((a.max_rss_kb - empty.max_rss_kb) * 1024.0 - gNameBytes[n]) / n;
        std::printf(
            "%8ld entries: dir %7.0f ms (CPU %7.0f) peak %6.1f MiB | ls -l %7.0f ms (CPU %7.0f) peak %6.1f "
            "MiB"
            " | time ratio %.2f, CPU ratio %.2f | %.0f bytes per entry beyond the names\n",
            n, a.seconds * 1000 / a.runs, a.cpu_seconds * 1000 / a.runs, a.max_rss_kb / 1024.0,
            b.seconds * 1000 / b.runs, b.cpu_seconds * 1000 / b.runs, b.max_rss_kb / 1024.0,
            (a.seconds / a.runs) / (b.seconds / b.runs), (a.cpu_seconds / a.runs) / (b.cpu_seconds / b.runs),
            per_entry);
    }
    return 0;
}
