// Times quillon-view's work on a large dump: reading it into the model,
// producing its JSON, and /metrics in both scopes.  Best and median of the repetitions, wall and CPU:
//   quillon_view_bench DUMP [REPETITIONS]
// (make DUMP with quillon_group_dump; see RESULTS.md).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "view/json_output.h"
#include "view/metrics.h"
#include "view/model.h"
#include "view/pairs.h"

namespace {

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void measure(const char* what, int repetitions, const std::function<size_t()>& work) {
    std::vector<double> wall, cpu;
    size_t size = 0;
    for (int i = 0; i < repetitions; ++i) {
        double w = seconds(CLOCK_MONOTONIC), c = seconds(CLOCK_PROCESS_CPUTIME_ID);
        size = work();
        cpu.push_back((seconds(CLOCK_PROCESS_CPUTIME_ID) - c) * 1e3);
        wall.push_back((seconds(CLOCK_MONOTONIC) - w) * 1e3);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%-34s wall best %7.2f ms, median %7.2f ms; CPU best %7.2f ms  (%zu bytes out)\n", what, wall[0],
                wall[wall.size() / 2], cpu[0], size);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillon_view_bench DUMP [REPETITIONS]\n");
        return 2;
    }
    const std::string path = argv[1];
    int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    try {
        view::Model model = view::read_dump(path);
        std::printf("%s: %zu beacons, %zu measurements\n", path.c_str(), model.beacons.size(),
                    model.measurements.size());
        measure("read the file", repetitions, [&] { return view::read_file(path).size(); });
        measure("read and parse into the model", repetitions, [&] { return view::read_dump(path).measurements.size(); });
        measure("JSON of the model", repetitions, [&] { return view::model_json(model).size(); });
        measure("dump to JSON (the json command)", repetitions,
                [&] { return view::model_json(view::read_dump(path)).size(); });
        std::vector<view::Pair> pairs = view::find_pairs(model);
        std::vector<int> suspects = view::clock_suspects(model, pairs, 10);
        measure("pairs and clock suspects", repetitions, [&] {
            std::vector<view::Pair> p = view::find_pairs(model);
            return view::clock_suspects(model, p, 10).size() + p.size();
        });
        for (bool all : {false, true}) {
            view::MetricsInput input;
            input.model = &model;
            input.pairs = &pairs;
            input.clock_suspects = &suspects;
            input.all = all;
            input.dump_interval_s = 10;
            input.version = "bench";
            std::string text = view::render_metrics(input);
            size_t series = 0;
            for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
                if (text[at] != '#') ++series;
            std::printf("/metrics %s: %zu series\n", all ? "--all" : "(local beacon)", series);
            measure(all ? "/metrics --all, fresh buffer" : "/metrics, fresh buffer", repetitions,
                    [&] { return view::render_metrics(input).size(); });
            std::string buffer;
            measure(all ? "/metrics --all, buffer reused" : "/metrics, buffer reused", repetitions, [&] {
                view::render_metrics(input, buffer);
                return buffer.size();
            });
        }
    } catch (const view::DumpError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
