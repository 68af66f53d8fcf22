// Statements per second through the agent's database layer (one damisql
// process per statement, under the "ctrl_db" semaphore) against the plain
// command-line tools (sqlite3, psql) running the same statements one process
// each. Prints the ratios at the end; the goal is at least 0.8.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>

#include "db/sql.hpp"
#include "support/pgserver.hpp"
#include "support/run.hpp"

namespace {

using testsupport::run;

const char* const kSelect =
    "select oper_systems.platform,clients.accessmode,clients.access_options from oper_systems,clients where "
    "clients.name='bench' and oper_systems.os=clients.os";
const char* const kUpdate = "update clients set data_mover='x' where name='bench'";

struct Setup {
    testsupport::Sandbox sqlite_sb, pg_sb;
    testsupport::PgServer server;
    bool pg_ok = false;
    std::string db_file, conninfo;

    Setup() {
        db_file = sqlite_sb.path("rw/db/zarvo_db.sqlite");
        const char* row =
            "insert into clients (client_id, name, os, accessmode, access_options) values (7, 'bench', "
            "'Linux', "
            "'SSH', '-p 22')";
        run({"/usr/bin/sqlite3", db_file, row});
        if (server.start() && server.create_database("zarvo_db")) {
            conninfo = server.conninfo("zarvo_db");
            auto r = run({"/bin/bash", testsupport::source_dir() + "/scripts/db/load-postgres", conninfo,
                          pg_sb.dir()});
            pg_ok = r.rc == 0 && run({"/usr/bin/psql", "-X", "-q", "-d", conninfo, "-c", row}).rc == 0;
        }
        if (!pg_ok) std::cerr << "PostgreSQL benchmarks skipped: " << server.why() << "\n";
    }
};

Setup* g_setup = nullptr;

// One statement through the agent; false when it failed.
bool agent_once(const char* stmt, str_log& log, std::string& msg) {
    DB_REC_LIS rl;
    msg.clear();
    int rc = iDB_ACCESS(stmt, msg, &rl, log);
    DB_SEL_LOOP_RECORDS(&rl, 'd');
    return rc == 1;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The agent and the plain tool run the statement in alternating batches, so
// that changes in the machine's load hit both sides alike. One iteration is
// one batch each way.
void compare(benchmark::State& state, const testsupport::Sandbox& sb, const std::vector<std::string>& tool,
             const char* stmt) {
    constexpr int kBatch = 10;
    setenv("ZARVO_INI", sb.root_file().c_str(), 1);
    str_log log;
    std::string msg;
    double agent_s = 0, tool_s = 0;
    long n = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i)
            if (!agent_once(stmt, log, msg))
                return state.SkipWithError(("iDB_ACCESS failed: " + msg).c_str());
        agent_s += seconds_since(t0);
        t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i) {
            auto r = run(tool);
            if (r.rc != 0) return state.SkipWithError(("tool failed: " + r.err).c_str());
        }
        tool_s += seconds_since(t0);
        n += kBatch;
    }
    state.counters["agent_per_s"] = static_cast<double>(n) / agent_s;
    state.counters["tool_per_s"] = static_cast<double>(n) / tool_s;
    state.counters["ratio"] = tool_s / agent_s;
}

void BM_SQLite(benchmark::State& s, const char* stmt) {
    compare(s, g_setup->sqlite_sb, {"/usr/bin/sqlite3", g_setup->db_file, stmt}, stmt);
}
void BM_Postgres(benchmark::State& s, const char* stmt) {
    if (!g_setup->pg_ok) return s.SkipWithError("no PostgreSQL server");
    compare(s, g_setup->pg_sb, {"/usr/bin/psql", "-X", "-q", "-A", "-t", "-d", g_setup->conninfo, "-c", stmt},
            stmt);
}

// Keeps every run's counters so the ratios can be printed after the table.
class RateReporter : public benchmark::ConsoleReporter {
   public:
    std::vector<std::pair<std::string, benchmark::UserCounters>> runs;
    void ReportRuns(const std::vector<Run>& rs) override {
        for (const auto& r : rs)
            if (!r.error_occurred) runs.emplace_back(r.benchmark_name(), r.counters);
        ConsoleReporter::ReportRuns(rs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Setup setup;
    g_setup = &setup;
    for (auto [label, stmt] : {std::pair{"select", kSelect}, std::pair{"update", kUpdate}}) {
        benchmark::RegisterBenchmark((std::string("sqlite3_vs_agent/") + label).c_str(), BM_SQLite, stmt)
            ->Iterations(30)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("psql_vs_agent/") + label).c_str(), BM_Postgres, stmt)
            ->Iterations(10)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    RateReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    std::printf("\nstatements per second, one process each (goal: ratio >= 0.80):\n");
    for (auto& [name, c] : rep.runs)
        std::printf("  %-36s agent %7.1f/s  plain tool %7.1f/s  ratio %.2f\n", name.c_str(),
                    static_cast<double>(c["agent_per_s"]), static_cast<double>(c["tool_per_s"]),
                    static_cast<double>(c["ratio"]));
    g_setup = nullptr;
    benchmark::Shutdown();
    return 0;
}
