// Microbenchmarks of the beacon's hot paths, each with the heap allocations
// one iteration makes.  Run the Release build:
//   build/bench/bench_quillon [--benchmark_filter=REGEX]
// The program exits with status 1 when a probe from a known sender
// allocated.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "allocation_counter.h"
#include "beacon_group.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "output/bandwidth.h"
#include "output/dump.h"
#include "protocol/decode.h"
#include "protocol/report.h"
#include "protocol/wire.h"
#include "scheduler/main_loop.h"
#include "scheduler/timer_queue.h"
#include "state/source_table.h"
#include "scheduler/clock.h"
#include "state/stats.h"

namespace {

bool probe_allocated = false;

// Allocations made between its construction and report(), per iteration.
class AllocationMeter {
public:
    AllocationMeter() : start_(allocation_counts()) {}

    // Sets the counters and gives the allocations (operator new and, where
    // counted, the C library's) of the whole measured loop.
    uint64_t report(benchmark::State& state) const {
        AllocationCounts end = allocation_counts();
        uint64_t news = end.news - start_.news;
        uint64_t mallocs = end.mallocs - start_.mallocs;
        state.counters["allocs/iter"] =
            benchmark::Counter(static_cast<double>(news), benchmark::Counter::kAvgIterations);
        if (malloc_counting_available())
            state.counters["mallocs/iter"] =
                benchmark::Counter(static_cast<double>(mallocs), benchmark::Counter::kAvgIterations);
        return news + mallocs;
    }

private:
    AllocationCounts start_;
};

// The least of the repetitions: on a shared machine, the run least disturbed
// by other work.
double min_of(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

double peak_rss_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// Heap bytes in use, where the C library can tell.
double heap_in_use_mb() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    return static_cast<double>(mallinfo2().uordblks) / (1024.0 * 1024.0);
#else
    return 0.0;
#endif
}

Settings own_settings() {
    Settings s;
    s.beacon_name = "bench-beacon.example";
    s.admin_contact = "noc@bench.example";
    s.country_code = "FR";
    s.websites['G'] = "http://bench.example/beacon/";
    s.websites['M'] = "http://bench.example/matrix/";
    return s;
}

// --- decoding -----------------------------------------------------------

// Probes from known senders in a table of 150 sources.  Arguments: address
// family (4 or 6), and 0 for probes from one sender or 1 for probes from
// each sender in turn.  The sequence numbers carry losses, late arrivals,
// duplicates, window publications and restarts.
void BM_ProbeKnownSender(benchmark::State& state) {
    settings = Settings{};
    int family = state.range(0) == 6 ? AF_INET6 : AF_INET;
    bool rotate = state.range(1) != 0;
    BeaconGroup group(family, GROUP_SIZE);
    SourceTable table;
    uint64_t now = START_NOW_MS;
    std::vector<ProbeStream> streams;
    uint8_t probe[PROBE_LENGTH];
    for (int i = 0; i < GROUP_SIZE; ++i) {
        streams.emplace_back(7000000u * static_cast<uint32_t>(i + 1));
        // The first probe makes the sender known; that one allocates.
        encode_probe(probe, streams.back().next(), static_cast<uint32_t>(START_WALL_MS + now));
        handle_beacon_packet_at(table, group.local, group.remote[static_cast<size_t>(i)], START_WALL_MS + now, 58,
                                probe, PROBE_LENGTH, false, now);
    }

    size_t sender = GROUP_SIZE / 2;
    uint32_t k = 0;
    AllocationMeter meter;
    for (auto _ : state) {
        ++now;
        if (rotate && ++sender == GROUP_SIZE) sender = 0;
        uint64_t wall = START_WALL_MS + now;
        encode_probe(probe, streams[sender].next(), static_cast<uint32_t>(wall) - 20 - (++k & 7));
        handle_beacon_packet_at(table, group.local, group.remote[sender], wall, 58, probe, PROBE_LENGTH, false, now);
        benchmark::DoNotOptimize(probe);
    }
    if (meter.report(state) != 0) {
        probe_allocated = true;
        state.SkipWithError("a probe from a known sender allocated on the heap");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProbeKnownSender)->ArgNames({"family", "rotate"})->ArgsProduct({{4, 6}, {0, 1}})->ComputeStatistics("min", min_of);

// The reception statistics alone, on the same probe pattern.
void BM_ReceptionStatsUpdate(benchmark::State& state) {
    settings = Settings{};
    ReceptionStats stats;
    ProbeStream stream(123456789u);
    uint64_t now = START_NOW_MS;
    uint32_t k = 0;
    AllocationMeter meter;
    for (auto _ : state) {
        ++now;
        uint64_t wall = START_WALL_MS + now;
        stats.update(58, stream.next(), static_cast<uint32_t>(wall) - 20 - (++k & 7), now, wall);
        benchmark::DoNotOptimize(stats);
    }
    meter.report(state);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceptionStatsUpdate)->ComputeStatistics("min", min_of);

// A report from a known sender, applied over and over to the full matrix.
void run_known_sender_report(benchmark::State& state,
                             std::vector<uint8_t> (*build)(const BeaconGroup&, int, bool)) {
    settings = Settings{};
    BeaconGroup group(AF_INET, GROUP_SIZE);
    SourceTable table;
    uint64_t now = build_matrix(table, group, START_NOW_MS);
    const int sender = 17;
    std::vector<uint8_t> report = build(group, sender, true);
    const Address& from = group.remote[sender];

    AllocationMeter meter;
    for (auto _ : state) {
        ++now;
        handle_beacon_packet_at(table, group.local, from, START_WALL_MS + now, 58, report.data(),
                                static_cast<int32_t>(report.size()), false, now);
    }
    meter.report(state);
    state.counters["bytes"] = static_cast<double>(report.size());
    state.counters["listings"] = GROUP_SIZE;
    state.SetItemsProcessed(state.iterations() * GROUP_SIZE);
}

// 150 beacons listed (149 others and this one), each with ASM and SSM figures.
void BM_FiguresReportKnownSender(benchmark::State& state) { run_known_sender_report(state, figures_report); }
BENCHMARK(BM_FiguresReportKnownSender)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", min_of);

// The same for a map report (names and contacts of the 150 listed beacons).
void BM_MapReportKnownSender(benchmark::State& state) { run_known_sender_report(state, map_report); }
BENCHMARK(BM_MapReportKnownSender)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", min_of);

// --- encoding -------------------------------------------------------------

// Reports of kind 82 (figures) and 84 (map) over 150 identified Sources with
// valid ASM and SSM figures.
void BM_EncodeReport(benchmark::State& state) {
    settings = Settings{};
    uint32_t kind = static_cast<uint32_t>(state.range(0));
    BeaconGroup group(AF_INET, GROUP_SIZE);
    SourceTable table;
    uint64_t now = build_matrix(table, group, START_NOW_MS);
    Settings own = own_settings();
    std::vector<uint8_t> buffer(PACKET_BUFFER_SIZE);

    // Every Source must be in the report, or the benchmark measures less.
    int32_t length = encode_report_from(buffer.data(), PACKET_BUFFER_SIZE, kind, own, FLAG_SSM, table, now);
    int listed = 0;
    for (int32_t p = 5; p + 2 <= length; p += 2 + buffer[static_cast<size_t>(p) + 1])
        if (buffer[static_cast<size_t>(p)] == TLV_SOURCE_IPV4) ++listed;
    if (listed != GROUP_SIZE) {
        state.SkipWithError("the report does not list every Source");
        return;
    }

    AllocationMeter meter;
    for (auto _ : state) {
        int32_t n = encode_report_from(buffer.data(), PACKET_BUFFER_SIZE, kind, own, FLAG_SSM, table, now);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    meter.report(state);
    state.counters["bytes"] = static_cast<double>(length);
    state.counters["listings"] = listed;
    state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(BM_EncodeReport)->ArgName("kind")->Arg(SEND_REPORT)->Arg(SEND_MAP_REPORT)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", min_of);

// --- the matrix and the dump ------------------------------------------------

// The whole 150-beacon matrix (150 Sources, each reporting 149 others with
// both figures: 22 350 reported entries) built from scratch from the probes
// and reports that make it.
void BM_BuildMatrix(benchmark::State& state) {
    settings = Settings{};
    BeaconGroup group(AF_INET, GROUP_SIZE);
    double heap_before = heap_in_use_mb();
    double heap_with_matrix = 0;
    size_t externals = 0;
    AllocationMeter meter;
    for (auto _ : state) {
        SourceTable table;
        build_matrix(table, group, START_NOW_MS);
        externals = table.external_count();
        heap_with_matrix = heap_in_use_mb();
        benchmark::DoNotOptimize(table);
    }
    meter.report(state);
    state.counters["externals"] = static_cast<double>(externals);
    state.counters["matrix_heap_MB"] = heap_with_matrix - heap_before;
    state.counters["peak_rss_MB"] = peak_rss_mb();
}
BENCHMARK(BM_BuildMatrix)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", min_of);

// Fills the process-wide table (which write_dump reads) with the matrix,
// once.  Its times lie just behind the real clock, because write_dump reads
// now_ms itself: the ages it writes are then those of a running beacon.
uint64_t global_matrix_now() {
    static uint64_t now = [] {
        settings = Settings{};
        BeaconGroup group(AF_INET, GROUP_SIZE);
        source_table.clear();
        uint64_t clock = now_ms();
        uint64_t base = clock > 120000 ? clock - 120000 : 0;
        uint64_t reached = build_matrix(source_table, group, base);
        runtime = Runtime{};
        runtime.local_address = group.local;
        runtime.beacon_group.set_family(AF_INET);
        runtime.beacon_group.set_address("239.195.255.255");
        runtime.beacon_group.set_port(10000);
        runtime.beacon_group_label = runtime.beacon_group.to_string(true);
        runtime.ssm_group.set_family(AF_INET);
        runtime.ssm_group.set_address("232.195.255.255");
        runtime.ssm_group.set_port(10000);
        runtime.ssm_socket = 1000;  // only read as "SSM reception is on"; no socket is used
        runtime.beacon_flags = FLAG_SSM;
        loop_start_ms = base;
        last_dump_ms = reached;
        return reached;
    }();
    return now;
}

size_t matrix_externals() {
    size_t n = 0;
    for (const auto& entry : source_table.sources) n += entry.second.external_sources.size();
    return n;
}

DumpContext matrix_context() {
    static Settings own = own_settings();
    return DumpContext{&own, &runtime, 5.0, loop_start_ms, 12.34, 5.67};
}

// Renders the dump of the matrix.  Argument 0: to /dev/null (the formatting
// alone); 1: into a memory stream (formatting and copying; run last, as its
// growing buffer raises the peak RSS of the process).
void BM_RenderDump(benchmark::State& state) {
    uint64_t now = global_matrix_now() + 1000;
    DumpContext context = matrix_context();
    bool to_memory = state.range(0) != 0;

    // Size of one dump, from a rendering into a temporary file.
    long size = -1;
    if (FILE* sizing = tmpfile()) {
        render_dump(sizing, context, source_table, now);
        size = ftell(sizing);
        fclose(sizing);
    }
    FILE* null = to_memory ? nullptr : fopen("/dev/null", "w");
    if (size <= 0 || (!to_memory && !null)) {
        if (null) fclose(null);
        state.SkipWithError("cannot render into a temporary file or /dev/null");
        return;
    }
    AllocationMeter meter;
    for (auto _ : state) {
        if (to_memory) {
            char* buffer = nullptr;
            size_t length = 0;
            FILE* out = open_memstream(&buffer, &length);
            render_dump(out, context, source_table, now);
            fclose(out);
            benchmark::DoNotOptimize(buffer);
            free(buffer);
        } else {
            render_dump(null, context, source_table, now);
            fflush(null);
        }
    }
    meter.report(state);
    if (null) fclose(null);
    state.counters["externals"] = static_cast<double>(matrix_externals());
    state.counters["dump_bytes"] = static_cast<double>(size);
    state.counters["peak_rss_MB"] = peak_rss_mb();
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_RenderDump)->ArgName("memory")->Arg(0)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", min_of);

// The DUMP_STATS work itself: render the matrix, write dump_file.working on
// disk, close it and rename it over the dump file.  The time measured is the
// loop's pause (write_dump returning); the counters give the longest pause
// and the longest whole dump, file work by the writer included, which is
// what the loop used to wait for.  QUILLON_BENCH_DIR names the directory
// (default /var/tmp).
void BM_WriteDump(benchmark::State& state) {
    uint64_t now = global_matrix_now();
    (void)now;
    static Settings own = own_settings();
    const char* dir = getenv("QUILLON_BENCH_DIR");
    std::string path = std::string(dir && *dir ? dir : "/var/tmp") + "/quillon-bench-" +
                       std::to_string(static_cast<long>(getpid())) + ".xml";
    Settings saved = settings;
    settings = own;
    settings.dump_file = path;
    settings.launch_program.clear();

    AllocationMeter meter;
    double longest_pause = 0, longest_dump = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        write_dump();
        auto returned = std::chrono::steady_clock::now();
        state.PauseTiming();
        finish_dump_write();
        auto written = std::chrono::steady_clock::now();
        longest_pause = std::max(longest_pause, std::chrono::duration<double, std::milli>(returned - start).count());
        longest_dump = std::max(longest_dump, std::chrono::duration<double, std::milli>(written - start).count());
        state.ResumeTiming();
    }
    meter.report(state);
    state.counters["loop_pause_max_ms"] = longest_pause;
    state.counters["whole_dump_max_ms"] = longest_dump;

    FILE* written = fopen(path.c_str(), "r");
    long size = -1;
    if (written) {
        fseek(written, 0, SEEK_END);
        size = ftell(written);
        fclose(written);
    }
    unlink(path.c_str());
    settings = saved;
    if (size <= 0) {
        state.SkipWithError("the dump file was not written");
        return;
    }
    state.counters["externals"] = static_cast<double>(matrix_externals());
    state.counters["dump_bytes"] = static_cast<double>(size);
    state.counters["peak_rss_MB"] = peak_rss_mb();
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_WriteDump)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", min_of);

BENCHMARK(BM_RenderDump)->Name("BM_RenderDump")->ArgName("memory")->Arg(1)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", min_of);

// --- the timer queue ----------------------------------------------------------

uint64_t fake_clock_ms = 0;
uint64_t fake_clock() { return fake_clock_ms; }

// One pass of the main loop's timing for each due event, on a queue of ten
// entries as the running beacon holds: charge the elapsed time, take the due
// head, insert its follow-up.
void BM_TimerQueueCycle(benchmark::State& state) {
    fake_clock_ms = START_NOW_MS;
    TimerQueue queue(fake_clock);
    const TimerEvent events[] = {
        {GARBAGE_COLLECT, 30000, 0},   {DUMP_STATS, 5000, 0},       {BANDWIDTH_STATS, 10000, 0},
        {BANDWIDTH_STATS_2, 600000, 0}, {SEND_PROBE, 100, 0},        {SSM_SEND_PROBE, 100, 0},
        {SEND_REPORT, 10000, 0},        {SEND_SSM_REPORT, 20000, 0}, {SEND_MAP_REPORT, 30000, 0},
        {SEND_WEBSITE_REPORT, 120000, 0},
    };
    for (const TimerEvent& e : events) queue.insert_event(e.type, e.period);

    AllocationMeter meter;
    for (auto _ : state) {
        fake_clock_ms += queue.next_timeout();
        queue.update_taccum(fake_clock_ms);
        TimerEvent due;
        if (queue.pop_due(due)) queue.insert_event(due.type, due.period);
        benchmark::DoNotOptimize(due);
    }
    meter.report(state);
    state.counters["entries"] = static_cast<double>(queue.count());
}
BENCHMARK(BM_TimerQueueCycle)->ComputeStatistics("min", min_of);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (probe_allocated) {
        fprintf(stderr, "FAILED: a probe from a known sender allocated on the heap\n");
        return 1;
    }
    return 0;
}
