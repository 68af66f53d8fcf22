// Whole-process cost of sm_client jobs in a warm installation, next to the
// cost of starting /bin/true in the same run. Every job ends with a fixed
// 100 ms completion pause; the counters report the time above it. On a
// shared machine the mean follows the neighbours' load: the median and the
// minimum show the program's own cost.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "exec/child.hpp"
#include "support/run.hpp"

namespace {

constexpr double kPauseMs = 100.0;

testsupport::Sandbox& sandbox() {
    static auto sb = std::make_unique<testsupport::Sandbox>();
    return *sb;
}

double last_cpu_ms = 0;  // user+system time of the last child

// Runs argv with stdin/stdout/stderr on /dev/null; returns wall time in ms.
// A path as argv[0] and no user switch: the launcher takes its posix_spawn
// road, so it adds no cost of its own to what is measured.
double spawn_ms(const std::vector<std::string>& args) {
    exec::SpawnOptions opt;
    opt.in = opt.out = opt.err = exec::Stdio::null();
    auto t0 = std::chrono::steady_clock::now();
    exec::Child c = exec::Child::spawn(args, opt);
    int st;
    if (!c.started() || !c.wait(st)) return -1;
    auto t1 = std::chrono::steady_clock::now();
    const struct rusage& ru = c.usage();
    last_cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
                  (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double true_ms = 0, true_cpu_ms = 0, true_median_ms = 0;

void BM_BinTrue(benchmark::State& state) {
    double sum = 0, cpu = 0;
    std::vector<double> all;
    for (auto _ : state) {
        double ms = spawn_ms({"/bin/true"});
        state.SetIterationTime(ms / 1000.0);
        sum += ms;
        cpu += last_cpu_ms;
        all.push_back(ms);
    }
    true_ms = sum / static_cast<double>(state.iterations());
    true_median_ms = median(all);
    state.counters["median_ms"] = true_median_ms;
    true_cpu_ms = cpu / static_cast<double>(state.iterations());
    state.counters["ms"] = true_ms;
    state.counters["cpu_ms"] = true_cpu_ms;
}

void run_agent(benchmark::State& state, const std::vector<std::string>& args) {
    setenv("ZARVO_INI", sandbox().root_file().c_str(), 1);
    std::vector<std::string> argv{testsupport::bin_dir() + "/sm_client"};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn_ms(argv);  // warm the caches
    double sum = 0, cpu = 0;
    std::vector<double> all;
    for (auto _ : state) {
        double ms = spawn_ms(argv);
        state.SetIterationTime(ms / 1000.0);
        sum += ms;
        cpu += last_cpu_ms;
        all.push_back(ms);
    }
    double mean = sum / static_cast<double>(state.iterations());
    // CPU time of the child: less disturbed by other load than wall time.
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
    state.counters["own_cpu_ms"] = cpu / static_cast<double>(state.iterations()) - true_cpu_ms;
    state.counters["above_pause_ms"] = mean - kPauseMs;
    state.counters["own_work_ms"] = mean - kPauseMs - true_ms;  // minus process start-up
    state.counters["median_above_pause_ms"] = median(all) - kPauseMs;
    state.counters["min_above_pause_ms"] = *std::min_element(all.begin(), all.end()) - kPauseMs;
}

void BM_AgentWrite(benchmark::State& state) {
    run_agent(state, {"-i", "b1", "-f", "W", "-n", "gv_bench", "-s", "some value"});
}
void BM_AgentRead(benchmark::State& state) {
    run_agent(state, {"-i", "b2", "-f", "G", "-n", "gv_bench"});
}

}  // namespace

BENCHMARK(BM_BinTrue)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgentWrite)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgentRead)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
