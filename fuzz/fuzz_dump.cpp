// Dump files, as quillon-view reads them: the input is the file's text.
// Whatever it holds, the reader either throws DumpError or gives a model
// whose every index points at a beacon, whose beacon addresses are unique,
// and whose JSON is a well-formed document with all of it.  The fuzzer's
// own limits (-rss_limit_mb, -malloc_limit_mb, -timeout) catch a reader
// that grows past its bounds or takes more than linear time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "view/json_output.h"
#include "view/model.h"

namespace {

[[noreturn]] void violated(const char* what) {
    fprintf(stderr, "invariant violated: %s\n", what);
    abort();
}

void check(bool ok, const char* what) {
    if (!ok) violated(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    view::Model model;
    try {
        model = view::parse_dump(text, "dump.xml");
    } catch (const view::DumpError& e) {
        check(std::string(e.what()).rfind("dump.xml: ", 0) == 0, "an error line names the file");
        check(std::string(e.what()).find('\n') == std::string::npos, "an error is one line");
        return 0;
    }
    const int n = static_cast<int>(model.beacons.size());
    check(n >= 1, "a model has the local beacon");
    check(model.local >= 0 && model.local < n, "local is a beacon");
    check(model.interval > 0, "the interval is positive");
    std::set<std::string> addresses;
    for (const view::Beacon& beacon : model.beacons) check(addresses.insert(beacon.address).second, "addresses are unique");
    for (const view::Measurement& m : model.measurements) {
        check(m.receiver >= 0 && m.receiver < n && m.sender >= 0 && m.sender < n, "measurement indexes");
        check(!m.age_s || *m.age_s >= 0, "ages are not negative");
    }
    nlohmann::json json = nlohmann::json::parse(view::model_json(model), nullptr, false);
    check(!json.is_discarded(), "the JSON parses");
    check(json["measurements"].size() <= model.measurements.size(), "no measurement is invented");
    return 0;
}
