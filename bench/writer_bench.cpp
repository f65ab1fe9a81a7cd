// What a service pays to log through IKQLOGWriter, beside spdlog writing
// the same messages into a null sink (its cheapest logger), in one process:
// a call for a level that is switched off, a fixed 31-byte text, a
// formatted line, and 4 threads writing the fixed text at once; then the
// latency of single calls with 4 threads. Prints Google Benchmark's rows,
// then one table with the ratios and the targets.
//
//   kqbench_writer [Google Benchmark options]
//
// The log is a 64 MiB ring under a scratch path in /tmp, written round once
// before the first row, removed at the end. Single-thread rows are CPU
// time per call, the 4-thread rows wall-clock rates.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "KQShmLogWriter.h"

namespace {

const char FIXED[] = "connection from 10.1.2.3 closed";
static_assert(sizeof(FIXED) - 1 == 31, "the fixed text is 31 bytes");
const int RING_BYTES = 64 << 20;
const int LATENCY_THREADS = 4;
const int LATENCY_CALLS = 200000;  // per thread

IKQLOGWriter* g_pWriter = nullptr;
KQLogId g_id = KQLOG_INVALID_ID;
std::shared_ptr<spdlog::logger> g_spd;

void KQ_Disabled(benchmark::State& state) {
    for (auto _ : state) g_pWriter->log(g_id, KQLOG_LEVEL_DEBUG, FIXED);
}
void Spdlog_Disabled(benchmark::State& state) {
    for (auto _ : state) g_spd->debug(FIXED);
}
void KQ_Fixed(benchmark::State& state) {
    for (auto _ : state) g_pWriter->log(g_id, KQLOG_LEVEL_INFO, FIXED);
    state.SetItemsProcessed(state.iterations());
}
void Spdlog_Fixed(benchmark::State& state) {
    for (auto _ : state) g_spd->info(FIXED);
    state.SetItemsProcessed(state.iterations());
}
void KQ_Formatted(benchmark::State& state) {
    long n = 0;
    for (auto _ : state)
        g_pWriter->logFormat(g_id, KQLOG_LEVEL_INFO,
                             "request %ld served in %d us from %s\n", ++n, 420,
                             "10.1.2.3");
}
void Spdlog_Formatted(benchmark::State& state) {
    long n = 0;
    for (auto _ : state)
        g_spd->info("request {} served in {} us from {}\n", ++n, 420,
                    "10.1.2.3");
}

BENCHMARK(KQ_Disabled);
BENCHMARK(Spdlog_Disabled);
BENCHMARK(KQ_Fixed);
BENCHMARK(Spdlog_Fixed);
BENCHMARK(KQ_Formatted);
BENCHMARK(Spdlog_Formatted);
BENCHMARK(KQ_Fixed)->Threads(LATENCY_THREADS)->UseRealTime();
BENCHMARK(Spdlog_Fixed)->Threads(LATENCY_THREADS)->UseRealTime();

// Keeps each row's figure (the median when repeated) as well as printing it.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            std::string name = run.run_name.str();
            // Single threads by the CPU time they took (other processes
            // share the machine); several by the wall clock.
            m_ns[name] = run.threads > 1 ? run.GetAdjustedRealTime()
                                         : run.GetAdjustedCPUTime();
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) m_rate[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double ns(const std::string& name) const { return get(m_ns, name); }
    double rate(const std::string& name) const { return get(m_rate, name); }

private:
    static double get(const std::map<std::string, double>& m,
                      const std::string& name) {
        auto it = m.find(name);
        return it == m.end() ? 0 : it->second;
    }
    std::map<std::string, double> m_ns, m_rate;
};

int64_t nowNs() { return benchNowNs(); }

// p50, p99 and p99.9 of single calls, LATENCY_THREADS threads calling at
// once, each call timed with the monotonic clock (whose own cost, the
// first figure of the timer row, is included).
struct Percentiles {
    double p50, p99, p999;
};

template <typename Call>
Percentiles latency(Call call) {
    std::vector<std::vector<int32_t>> samples(LATENCY_THREADS);
    std::atomic<int> ready(0);
    std::vector<std::thread> pool;
    for (int t = 0; t < LATENCY_THREADS; ++t) {
        pool.emplace_back([&, t] {
            std::vector<int32_t>& mine = samples[size_t(t)];
            mine.reserve(LATENCY_CALLS);
            ++ready;
            while (ready.load() < LATENCY_THREADS) std::this_thread::yield();
            for (int i = 0; i < LATENCY_CALLS; ++i) {
                int64_t t0 = nowNs();
                call();
                mine.push_back(int32_t(std::min<int64_t>(nowNs() - t0, INT32_MAX)));
            }
        });
    }
    for (std::thread& th : pool) th.join();
    std::vector<int32_t> all;
    for (const auto& v : samples) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    auto at = [&](double q) { return double(all[size_t(q * double(all.size() - 1))]); };
    return Percentiles{at(0.50), at(0.99), at(0.999)};
}

void printTable(const TableReporter& r) {
    const char* sep = "|---|---|---|---|---|\n";
    printf("\n| call | IKQLOGWriter | spdlog, null sink | ratio | target |\n%s", sep);
    struct Row {
        const char* label;
        const char* kq;
        const char* spd;
        const char* target;
    } rows[] = {
        {"disabled (level below the tag's)", "KQ_Disabled", "Spdlog_Disabled", "<= 4x"},
        {"fixed 31-byte text", "KQ_Fixed", "Spdlog_Fixed", "<= 1.0x"},
        {"`\"request %ld served in %d us from %s\\n\"`", "KQ_Formatted",
         "Spdlog_Formatted", "<= 1.0x"},
    };
    for (const Row& row : rows) {
        double kq = r.ns(row.kq), spd = r.ns(row.spd);
        printf("| %s | %.2f ns | %.2f ns | %.2fx | %s |\n", row.label, kq, spd,
               spd > 0 ? kq / spd : 0, row.target);
    }
    std::string threads = "/threads:" + std::to_string(LATENCY_THREADS);
    double kq4 = r.rate("KQ_Fixed/real_time" + threads) / 1e6;
    double kq1 = r.rate("KQ_Fixed") / 1e6;
    double spd4 = r.rate("Spdlog_Fixed/real_time" + threads) / 1e6;
    printf("| 4 threads on %u cores, fixed text, aggregate | %.1f M lines/s "
           "(1 thread: %.1f M; %.2fx) | %.1f M lines/s | %.2fx | >= 0.7x 1 thread, "
           ">= 0.5x spdlog |\n",
           std::thread::hardware_concurrency(), kq4, kq1, kq1 > 0 ? kq4 / kq1 : 0,
           spd4, spd4 > 0 ? kq4 / spd4 : 0);

    Percentiles timer = latency([] {});
    Percentiles kq = latency([] { g_pWriter->log(g_id, KQLOG_LEVEL_INFO, FIXED); });
    Percentiles spd = latency([] { g_spd->info(FIXED); });
    printf("\n| single call, 4 threads, fixed text | p50 | p99 | p99.9 |\n"
           "|---|---|---|---|\n");
    printf("| IKQLOGWriter | %.0f ns | %.0f ns | %.0f ns |\n", kq.p50, kq.p99, kq.p999);
    printf("| spdlog, null sink | %.0f ns | %.0f ns | %.0f ns |\n", spd.p50, spd.p99,
           spd.p999);
    printf("| the timer alone | %.0f ns | %.0f ns | %.0f ns |\n", timer.p50, timer.p99,
           timer.p999);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string path = benchNewLogPath("/tmp");
    if (path.empty()) return 1;
    g_pWriter = IKQLOGWriter::getInst();
    if (!g_pWriter->init(path.c_str(), RING_BYTES)) {
        benchRemoveLog(path);
        return 1;
    }
    g_id = g_pWriter->registerTag("bench", KQLOG_LEVEL_INFO);
    // The ring is written round once first: a service's log is in steady
    // state, its pages mapped in and every append evicting.
    for (int i = 0; i < RING_BYTES / int(sizeof(FIXED) + 9); ++i)
        g_pWriter->log(g_id, KQLOG_LEVEL_INFO, FIXED);
    g_spd = std::make_shared<spdlog::logger>(
        "bench", std::make_shared<spdlog::sinks::null_sink_mt>());
    g_spd->set_level(spdlog::level::info);

    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable(reporter);
    benchmark::Shutdown();
    benchRemoveLog(path);
    return 0;
}
