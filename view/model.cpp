#include "view/model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include <pugixml.hpp>

namespace view {

const char* channel_name(Channel channel) { return channel == Channel::Asm ? "asm" : "ssm"; }

std::string beacon_identity(const std::string& address) {
    size_t slash = address.rfind('/');
    return slash == std::string::npos ? address : address.substr(0, slash);
}

std::time_t Model::next_staleness_change() const {
    std::time_t next = 0;
    if (!written) return next;
    for (const Measurement& m : measurements) {
        if (!m.age_s || stale(m)) continue;
        // Stale once judged - written + rptage > limit.
        auto at = static_cast<std::time_t>(std::floor(double(*written) - double(*m.age_s) + stale_after_s())) + 1;
        if (next == 0 || at < next) next = at;
    }
    return next;
}

bool Beacon::has_flag(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

namespace {

class Reader {
public:
    Reader(const std::string& text, const std::string& label) : text_(text), label_(label) {}

    Model read() {
        pugi::xml_document document;
        pugi::xml_parse_result parsed =
            document.load_buffer(text_.data(), text_.size(), pugi::parse_default, pugi::encoding_utf8);
        if (!parsed) parse_failure(parsed);

        pugi::xml_node root = document.document_element();
        if (std::strcmp(root.name(), "beacons") != 0)
            fail(root, std::string("not a dump: the first element is <") + root.name() + ">, not <beacons>");
        model_.version = root.attribute("versioninfo").value();
        model_.rx_rate = number(root, "rxrate");
        model_.tx_rate = number(root, "txrate");

        pugi::xml_node group = root.child("group");
        if (!group) fail(root, "not a dump: <beacons> holds no <group>");
        model_.group = required(group, "addr");
        if (pugi::xml_attribute ssm = group.attribute("ssmgroup")) model_.ssm_group = ssm.value();
        std::optional<double> interval = number(group, "int");
        if (!interval || *interval <= 0) fail(group, "<group> has no positive int (the beacon interval)");
        model_.interval = *interval;

        pugi::xml_node local = group.child("beacon");
        if (!local) fail(group, "<group> holds no <beacon>: the local beacon is missing");

        // Beacon elements first, so that addresses heard only as a source
        // come after every beacon that has its own element.
        for (pugi::xml_node element : group.children("beacon")) add_beacon_element(element);
        model_.measurements.reserve(count_sources(group));
        for (pugi::xml_node element : group.children("beacon")) {
            int receiver = index_.at(element.attribute("addr").value());
            bool is_local = element == local;
            for (pugi::xml_node source : element.child("sources").children("source"))
                add_source(source, receiver, is_local);
        }
        return std::move(model_);
    }

private:
    const std::string& text_;
    const std::string& label_;
    Model model_;
    std::unordered_map<std::string, int> index_;
    std::unordered_map<uint64_t, size_t> lines_;  // receiver, sender, channel -> measurement
    static constexpr double MAX_DUP_PERCENT = 1000;

    // Room for an ASM and an SSM line per source.
    static size_t count_sources(pugi::xml_node group) {
        size_t n = 0;
        for (pugi::xml_node element : group.children("beacon")) {
            auto sources = element.child("sources").children("source");
            n += 2 * static_cast<size_t>(std::distance(sources.begin(), sources.end()));
        }
        return n;
    }

    int line_at(ptrdiff_t offset) const {
        if (offset < 0) offset = 0;
        size_t end = std::min(static_cast<size_t>(offset), text_.size());
        return 1 + static_cast<int>(std::count(text_.begin(), text_.begin() + static_cast<ptrdiff_t>(end), '\n'));
    }

    [[noreturn]] void fail_at(int line, const std::string& what) const {
        throw DumpError(label_ + ": line " + std::to_string(line) + ": " + what);
    }
    [[noreturn]] void fail(pugi::xml_node node, const std::string& what) const { fail_at(line_at(node.offset_debug()), what); }

    [[noreturn]] void parse_failure(const pugi::xml_parse_result& parsed) const {
        bool blank = std::all_of(text_.begin(), text_.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
        if (blank) fail_at(line_at(static_cast<ptrdiff_t>(text_.size())), "empty file, not a dump");
        if (parsed.status == pugi::status_no_document_element)
            fail_at(line_at(static_cast<ptrdiff_t>(text_.find_first_not_of(" \t\r\n"))), "no XML element: not a dump");
        std::string what = std::string("malformed XML: ") + parsed.description();
        if (static_cast<size_t>(parsed.offset) + 1 >= text_.size() || text_.find("</beacons>") == std::string::npos)
            what += " (the file ends early: truncated?)";
        fail_at(line_at(parsed.offset), what);
    }

    std::string required(pugi::xml_node node, const char* attribute) const {
        pugi::xml_attribute a = node.attribute(attribute);
        if (!a) fail(node, std::string("<") + node.name() + "> has no " + attribute);
        return a.value();
    }

    std::optional<double> number(pugi::xml_node node, const char* attribute) const {
        pugi::xml_attribute a = node.attribute(attribute);
        if (!a) return std::nullopt;
        const char* text = a.value();
        const char* end = text + std::strlen(text);
        double value = 0;
        auto [stop, error] = std::from_chars(text, end, value);
        if (error != std::errc() || stop != end || text == end || !std::isfinite(value))
            fail(node, std::string("<") + node.name() + "> has a bad " + attribute + " \"" + printable(text) + "\"");
        return value;
    }

    std::optional<long> integer(pugi::xml_node node, const char* attribute, long low, long high) const {
        pugi::xml_attribute a = node.attribute(attribute);
        if (!a) return std::nullopt;
        const char* text = a.value();
        const char* end = text + std::strlen(text);
        long value = 0;
        auto [stop, error] = std::from_chars(text, end, value);
        if (error != std::errc() || stop != end || text == end || value < low || value > high)
            fail(node, std::string("<") + node.name() + "> has a bad " + attribute + " \"" + printable(text) + "\"");
        return value;
    }

    // A value quoted in an error line: at most 40 bytes, nothing that is not
    // printable ASCII.
    static std::string printable(const char* text) {
        std::string out;
        for (const char* p = text; *p && out.size() < 40; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return out;
    }

    static std::optional<std::string> text_of(pugi::xml_node node, const char* attribute) {
        pugi::xml_attribute a = node.attribute(attribute);
        if (!a) return std::nullopt;
        return std::string(a.value());
    }

    int beacon_index(const std::string& address) {
        auto found = index_.find(address);
        if (found != index_.end()) return found->second;
        int index = static_cast<int>(model_.beacons.size());
        index_.emplace(address, index);
        model_.beacons.emplace_back();
        model_.beacons.back().address = address;
        return index;
    }

    void add_beacon_element(pugi::xml_node element) {
        std::string address = required(element, "addr");
        Beacon& beacon = model_.beacons[static_cast<size_t>(beacon_index(address))];
        if (!beacon.name) beacon.name = text_of(element, "name");
        if (!beacon.contact) beacon.contact = text_of(element, "contact");
        if (!beacon.country) beacon.country = text_of(element, "country");
        for (pugi::xml_node flag : element.children("flag")) {
            std::string name = flag.attribute("name").value();
            if (std::strcmp(flag.attribute("value").value(), "true") == 0 && !name.empty() && !beacon.has_flag(name))
                beacon.flags.push_back(name);
        }
        for (pugi::xml_node site : element.children("website")) {
            std::string type = site.attribute("type").value();
            bool known = std::any_of(beacon.websites.begin(), beacon.websites.end(),
                                     [&](const auto& entry) { return entry.first == type; });
            if (!type.empty() && !known) beacon.websites.emplace_back(type, site.attribute("url").value());
        }
    }

    void add_source(pugi::xml_node source, int receiver, bool from_local) {
        bool known = index_.count(required(source, "addr")) != 0;
        int sender = beacon_index(source.attribute("addr").value());
        Beacon& beacon = model_.beacons[static_cast<size_t>(sender)];
        // Remote beacon elements carry no country: the local beacon's source
        // line does.  A beacon heard of only through reports takes its
        // identity from the first report that lists it.
        if (from_local || !known) {
            if (!beacon.name) beacon.name = text_of(source, "name");
            if (!beacon.contact) beacon.contact = text_of(source, "contact");
            if (!beacon.country) beacon.country = text_of(source, "country");
        }
        for (const char* channel : {"asm", "ssm"})
            if (pugi::xml_node figures = source.child(channel))
                add_measurement(figures, receiver, sender, channel[0] == 'a' ? Channel::Asm : Channel::Ssm);
    }

    // A share in percent, or nothing when it cannot be one.
    static std::optional<double> share(std::optional<double> percent) {
        if (percent && (*percent < 0 || *percent > 100)) return std::nullopt;
        return percent;
    }

    void add_measurement(pugi::xml_node figures, int receiver, int sender, Channel channel) {
        Measurement m;
        m.receiver = receiver;
        m.sender = sender;
        m.channel = channel;
        // A datagram without a hop count reads as the full initial TTL and
        // gives a negative difference: no hop count at all.
        if (auto ttl = integer(figures, "ttl", -1000000, 1000000); ttl && *ttl >= 0 && *ttl <= 255)
            m.ttl = static_cast<int>(*ttl);
        m.age_s = integer(figures, "rptage", 0, 4294967295L);
        m.loss = share(number(figures, "loss"));
        m.delay = number(figures, "delay");
        m.future = std::strcmp(figures.attribute("future").value(), "true") == 0;
        if (m.delay && m.future) m.delay = -std::fabs(*m.delay);
        m.jitter = number(figures, "jitter");
        if (m.jitter && *m.jitter < 0) m.jitter.reset();
        m.ooo = share(number(figures, "ooo"));
        // Duplicates are counted against the window, so they may exceed
        // 100 %; reports carry them up to 1000 % and mark anything beyond.
        m.dup = number(figures, "dup");
        if (m.dup && *m.dup > MAX_DUP_PERCENT) {
            m.dup.reset();
            m.dup_beyond = true;
        } else if (m.dup && *m.dup < 0) {
            m.dup.reset();
        }
        uint64_t key = (uint64_t(uint32_t(receiver)) << 33) | (uint64_t(uint32_t(sender)) << 1) |
                       (channel == Channel::Ssm ? 1 : 0);
        auto [at, added] = lines_.emplace(key, model_.measurements.size());
        if (added) {
            model_.measurements.push_back(m);
            return;
        }
        // Duplicated lines: the freshest figures count, the first on a tie.
        Measurement& kept = model_.measurements[at->second];
        if (m.age_s && (!kept.age_s || *m.age_s < *kept.age_s)) kept = m;
    }
};

}  // namespace

Model parse_dump(const std::string& text, const std::string& label) { return Reader(text, label).read(); }

// A dump of 150 beacons is about 7 MB; a file far beyond that (or a device
// that never ends) is not read into memory.
constexpr size_t MAX_DUMP_BYTES = size_t(256) << 20;

std::string read_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw DumpError(path + ": " + std::strerror(errno));
    std::string text;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) text.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            throw DumpError(path + ": " + std::strerror(error));
        }
        if (n == 0) break;
        if (text.size() > MAX_DUMP_BYTES) {
            close(fd);
            throw DumpError(path + ": larger than " + std::to_string(MAX_DUMP_BYTES >> 20) + " MB, not a dump");
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

Model read_dump(const std::string& path) {
    struct stat st {};
    bool known = stat(path.c_str(), &st) == 0;
    Model model = parse_dump(read_file(path), path);
    if (known) model.written = st.st_mtime;
    model.judged = std::time(nullptr);
    return model;
}

}  // namespace view
