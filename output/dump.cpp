#include "output/dump.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "control/log.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "output/bandwidth.h"
#include "scheduler/clock.h"
#include "scheduler/main_loop.h"
#include "state/source_table.h"
#include "state/stats.h"

namespace {

const char* website_type_name(int32_t type) {
    if (type == WEBSITE_GENERIC) return "generic";
    if (type == WEBSITE_LG) return "lg";
    return "matrix";
}

unsigned long age_seconds(uint64_t now, uint64_t since) { return static_cast<unsigned long>((now - since) / 1000); }

namespace {
// Writes text escaped for an attribute; text that needs nothing goes out in one write.
void put_escaped(FILE* out, const std::string& text) {
    bool plain = true;
    for (unsigned char c : text)
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '&' || c == '\'') {
            plain = false;
            break;
        }
    if (plain)
        fwrite(text.data(), 1, text.size(), out);
    else {
        std::string e = xml_escape(text);
        fwrite(e.data(), 1, e.size(), out);
    }
}
void put_address(FILE* out, const Address& a) {
    char t[64];
    a.to_string(t, sizeof t, true);
    fputs(t, out);
}
}  // namespace

void write_flags(FILE* out, uint32_t flags) {
    if (flags & FLAG_SSM) fprintf(out, "\t\t<flag name=\"%s\" value=\"true\" />\n", "SSM");
    if (flags & FLAG_SSMPING) fprintf(out, "\t\t<flag name=\"%s\" value=\"true\" />\n", "SSMPing");
}

void write_websites(FILE* out, const std::map<int32_t, std::string>& websites) {
    for (const auto& site : websites) {
        fprintf(out, "\t\t<website type=\"%s\" url=\"%s\" />\n", website_type_name(site.first),
                xml_escape(site.second).c_str());
    }
}

// Name and contact of an identified beacon; a Source's empty contact is left
// out, an ExternalSource's is written empty.
void write_identity(FILE* out, bool identified, const std::string& name, const std::string& contact,
                    bool empty_contact_too) {
    if (!identified) return;
    fputs(" name=\"", out);
    put_escaped(out, name);
    fputc('"', out);
    if (empty_contact_too || !contact.empty()) {
        fputs(" contact=\"", out);
        put_escaped(out, contact);
        fputc('"', out);
    }
}

void write_local_beacon(FILE* out, const DumpContext& context, const SourceTable& table, uint64_t now) {
    const Settings& own = *context.settings;
    fprintf(out, "\t<beacon name=\"%s\" addr=\"%s\"", xml_escape(own.beacon_name).c_str(),
            context.runtime->local_address.to_string(true).c_str());
    if (!own.admin_contact.empty()) fprintf(out, " contact=\"%s\"", xml_escape(own.admin_contact).c_str());
    if (!own.country_code.empty()) fprintf(out, " country=\"%s\"", xml_escape(own.country_code).c_str());
    fprintf(out, " age=\"%lu\" lastupdate=\"0\" rxlocal=\"true\">\n", age_seconds(now, context.loop_start_ms));
    write_flags(out, context.runtime->beacon_flags);
    write_websites(out, own.websites);
    fputs("\t\t<sources>\n", out);
    for (const auto& entry : table.sources) {
        const Source& source = entry.second;
        fprintf(out, "\t\t\t<source addr=\"%s\"", entry.first.to_string(true).c_str());
        write_identity(out, source.identified, source.name, source.contact, false);
        if (!source.country.empty()) fprintf(out, " country=\"%s\"", xml_escape(source.country).c_str());
        fprintf(out, " age=\"%lu\"", age_seconds(now, source.created_ms));
        fprintf(out, " lastupdate=\"%lu\">\n", age_seconds(now, source.last_update_ms));
        if (source.asm_stats.figures.valid)
            write_stats_element(out, "asm", source.asm_stats.figures, now, source.sender_ttl, true);
        if (source.ssm_stats.figures.valid)
            write_stats_element(out, "ssm", source.ssm_stats.figures, now, source.sender_ttl, true);
        fputs("\t\t\t</source>\n", out);
    }
    fputs("\t\t</sources>\n\t</beacon>\n\n", out);
}

void write_remote_beacon(FILE* out, const Address& address, const Source& source, uint64_t now) {
    fputs("\t<beacon", out);
    write_identity(out, source.identified, source.name, source.contact, false);
    fprintf(out, " addr=\"%s\"", address.to_string(true).c_str());
    fprintf(out, " age=\"%lu\"", age_seconds(now, source.created_ms));
    fprintf(out, " rxlocal=\"%s\"", is_rxlocal(source, now) ? "true" : "false");
    fprintf(out, " lastupdate=\"%lu\">\n", age_seconds(now, source.last_update_ms));
    write_flags(out, source.flags);
    write_websites(out, source.websites);
    fputs("\t\t<sources>\n", out);
    for (const auto& entry : source.external_sources) {
        const ExternalSource& external = entry.second;
        fputs("\t\t\t<source", out);
        write_identity(out, external.identified, external.name, external.contact, true);
        fputs(" addr=\"", out);
        put_address(out, entry.first);
        fprintf(out, "\" age=\"%u\">\n", static_cast<unsigned>(external.age));
        if (external.asm_stats.valid) write_stats_element(out, "asm", external.asm_stats, now, 0, false);
        if (external.ssm_stats.valid) write_stats_element(out, "ssm", external.ssm_stats, now, 0, false);
        fputs("\t\t\t</source>\n", out);
    }
    fputs("\t\t</sources>\n\t</beacon>\n", out);
}

// Starts the program on the new dump; the main loop reaps it.
// The program launched after the last dump, while it may still run.
pid_t launched_child = 0;
bool overlap_logged = false;

// A program that hangs must not make the beacon start a new copy at every
// dump until the process table is full: while the previous one still runs,
// no new one is started (said once per episode in the log).
bool previous_launch_running() {
    if (launched_child <= 0) return false;
    if (waitpid(launched_child, nullptr, WNOHANG) == 0) return true;
    // Ended (reaped here, or already by the main loop).
    launched_child = 0;
    overlap_logged = false;
    return false;
}

void launch(const std::string& program, const std::string& dump_file) {
    if (previous_launch_running()) {
        if (!overlap_logged) {
            log_message(LOG_WARNING, "Program %s still running from an earlier dump; not started again",
                        program.c_str());
            overlap_logged = true;
        }
        return;
    }
    pid_t child = fork();
    if (child != 0) {  // parent, or a failed fork: nothing to start
        if (child > 0) launched_child = child;
        return;
    }
    execlp(program.c_str(), program.c_str(), dump_file.c_str(), static_cast<char*>(nullptr));
    // The child exists only to become the program; it must never come back
    // into the beacon's loop nor flush the beacon's stdio buffers.
    _exit(127);
}

}  // namespace

std::string xml_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
            case '\n':
            case '\r':
                // Written raw, an attribute value would turn these into blanks.
                out += "&#" + std::to_string(c) + ";";
                break;
            default:
                if (c < 0x20) {
                    out += '?';  // no form of these is allowed in XML 1.0
                } else if (c >= 0x7F) {
                    // The file declares no encoding and remote text is meant to be
                    // printable ASCII: keep every other byte as its value.
                    out += "&#" + std::to_string(c) + ";";
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

double dump_rate(uint64_t bytes, uint64_t elapsed_ms) {
    if (elapsed_ms == 0) return 0.0;
    return static_cast<double>(bytes * 8) / static_cast<double>(elapsed_ms);
}

namespace {
// printf("%.1f"/"%.3f") of a float, without printf: the float times 10 or
// 1000 is exact in a double (24 + 7 significant bits), so rounding it to an
// integer (to nearest, ties to even) gives the digits printf gives.
char* put_fixed(char* p, float value, int decimals) {
    double scaled = static_cast<double>(value) * (decimals == 1 ? 10.0 : 1000.0);
    if (!(std::fabs(scaled) < 1e15)) return p + sprintf(p, decimals == 1 ? "%.1f" : "%.3f", static_cast<double>(value));
    uint64_t n = static_cast<uint64_t>(std::fabs(std::nearbyint(scaled)));
    if (std::signbit(value)) *p++ = '-';
    uint64_t unit = decimals == 1 ? 10 : 1000;
    uint64_t whole = n / unit, fraction = n % unit;
    char digits[24];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole);
    while (k) *p++ = digits[--k];
    *p++ = '.';
    if (decimals == 3) {
        *p++ = static_cast<char>('0' + fraction / 100);
        *p++ = static_cast<char>('0' + fraction / 10 % 10);
    }
    *p++ = static_cast<char>('0' + fraction % 10);
    return p;
}
char* put_text(char* p, const char* text) {
    while (*text) *p++ = *text++;
    return p;
}
char* put_unsigned(char* p, uint64_t v) {
    char d[24];
    int k = 0;
    do {
        d[k++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    while (k) *p++ = d[--k];
    return p;
}
char* put_signed(char* p, int64_t v) {
    if (v < 0) {
        *p++ = '-';
        return put_unsigned(p, uint64_t(-v));
    }
    return put_unsigned(p, uint64_t(v));
}
}  // namespace

void write_stats_element(FILE* out, const char* name, const PublishedStats& stats, uint64_t now, uint32_t sender_ttl,
                         bool measured) {
    // Room for the longest element: five figures printed in full from the
    // largest floats a report can carry, plus every other attribute.
    char line[512];
    char* p = put_text(line, "\t\t\t\t<");
    p = put_text(p, name);
    if (!measured) {
        p = put_text(p, " ttl=\"");
        p = put_signed(p, static_cast<int>(stats.ttl));
        *p++ = '"';
    } else if (sender_ttl != 0) {
        p = put_text(p, " ttl=\"");
        p = put_signed(p, static_cast<int32_t>(sender_ttl - stats.ttl));
        *p++ = '"';
    }
    p = put_text(p, " rptage=\"");
    p = put_unsigned(p, static_cast<unsigned>((now - stats.updated_ms) / 1000));
    *p++ = '"';
    p = put_text(p, " loss=\"");
    p = put_fixed(p, stats.loss * 100.0f, 1);
    *p++ = '"';
    float delay = stats.delay < 0 ? -stats.delay : stats.delay;
    p = put_text(p, " delay=\"");
    p = put_fixed(p, delay, 3);
    *p++ = '"';
    if (stats.delay < 0) p = put_text(p, " future=\"true\"");
    p = put_text(p, " jitter=\"");
    p = put_fixed(p, stats.jitter, 3);
    *p++ = '"';
    p = put_text(p, " ooo=\"");
    p = put_fixed(p, stats.ooo * 100.0f, 3);
    *p++ = '"';
    p = put_text(p, " dup=\"");
    p = put_fixed(p, stats.dup * 100.0f, 3);
    *p++ = '"';
    p = put_text(p, " />\n");
    fwrite(line, 1, static_cast<size_t>(p - line), out);
}

void render_dump(FILE* out, const DumpContext& context, const SourceTable& table, uint64_t now) {
    fprintf(out, "<beacons rxrate=\"%.2f\" txrate=\"%.2f\" versioninfo=\"%s\">\n", context.rx_rate, context.tx_rate,
            xml_escape(QUILLON_VERSION).c_str());
    fprintf(out, "<group addr=\"%s\"", xml_escape(context.runtime->beacon_group_label).c_str());
    if (context.runtime->ssm_socket != 0)
        fprintf(out, " ssmgroup=\"%s\"", context.runtime->ssm_group.to_string(true).c_str());
    fprintf(out, " int=\"%.2f\">\n", context.beacon_interval);
    write_local_beacon(out, context, table, now);
    for (const auto& entry : table.sources) write_remote_beacon(out, entry.first, entry.second, now);
    fputs("</group>\n</beacons>\n", out);
}

void write_dump() {
    const std::string temporary = settings.dump_file + ".working";
    FILE* out = fopen(temporary.c_str(), "w");
    // Counters and last_dump_ms stay, so the next written dump's rates cover
    // this interval too.
    if (!out) return;

    const uint64_t now = now_ms();
    const uint64_t elapsed = now - last_dump_ms;
    DumpContext context{&settings,
                        &runtime,
                        beacon_interval,
                        loop_start_ms,
                        dump_rate(dump_bytes_received, elapsed),
                        dump_rate(dump_bytes_sent, elapsed)};
    dump_bytes_received = 0;
    dump_bytes_sent = 0;

    render_dump(out, context, source_table, now);
    bool complete = !ferror(out);
    if (fclose(out) != 0) complete = false;
    // A short file (a full disk) must not replace the last good dump.
    if (complete) {
        rename(temporary.c_str(), settings.dump_file.c_str());
    } else {
        unlink(temporary.c_str());
    }

    if (!settings.launch_program.empty()) launch(settings.launch_program, settings.dump_file);
    last_dump_ms = now;
}
