#include "output/dump.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>

#include "control/log.h"
#include "control/process.h"
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

// Every text attribute of the file goes out here: a blank, the name, and the
// value escaped for XML.  Text that needs no escaping goes out in one write.
void put_attribute(FILE* out, const char* name, const std::string& value) {
    fprintf(out, " %s=\"", name);
    bool plain = true;
    for (unsigned char c : value)
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '&' || c == '\'') {
            plain = false;
            break;
        }
    if (plain) {
        fwrite(value.data(), 1, value.size(), out);
    } else {
        std::string escaped = xml_escape(value);
        fwrite(escaped.data(), 1, escaped.size(), out);
    }
    fputc('"', out);
}

void put_attribute(FILE* out, const char* name, const Address& address) {
    char text[64];
    address.to_string(text, sizeof text, true);
    fprintf(out, " %s=\"%s\"", name, text);
}

void write_flags(FILE* out, uint32_t flags) {
    if (flags & FLAG_SSM) fputs("\t\t<flag name=\"SSM\" value=\"true\" />\n", out);
    if (flags & FLAG_SSMPING) fputs("\t\t<flag name=\"SSMPing\" value=\"true\" />\n", out);
}

void write_websites(FILE* out, const std::map<int32_t, std::string>& websites) {
    for (const auto& site : websites) {
        fputs("\t\t<website", out);
        put_attribute(out, "type", website_type_name(site.first));
        put_attribute(out, "url", site.second);
        fputs(" />\n", out);
    }
}

// Name and contact of an identified beacon; a Source's empty contact is left
// out, an ExternalSource's is written empty.
void write_identity(FILE* out, bool identified, const std::string& name, const std::string& contact,
                    bool empty_contact_too) {
    if (!identified) return;
    put_attribute(out, "name", name);
    if (empty_contact_too || !contact.empty()) put_attribute(out, "contact", contact);
}

void write_local_beacon(FILE* out, const DumpContext& context, const SourceTable& table, uint64_t now) {
    const Settings& own = *context.settings;
    fputs("\t<beacon", out);
    put_attribute(out, "name", own.beacon_name);
    put_attribute(out, "addr", context.runtime->local_address);
    if (!own.admin_contact.empty()) put_attribute(out, "contact", own.admin_contact);
    if (!own.country_code.empty()) put_attribute(out, "country", own.country_code);
    fprintf(out, " age=\"%lu\" lastupdate=\"0\" rxlocal=\"true\">\n", age_seconds(now, context.loop_start_ms));
    write_flags(out, context.runtime->beacon_flags);
    write_websites(out, own.websites);
    fputs("\t\t<sources>\n", out);
    for (const auto& entry : table.sources) {
        const Source& source = entry.second;
        fputs("\t\t\t<source", out);
        put_attribute(out, "addr", entry.first);
        write_identity(out, source.identified, source.name, source.contact, false);
        if (!source.country.empty()) put_attribute(out, "country", source.country);
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
    put_attribute(out, "addr", address);
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
        put_attribute(out, "addr", entry.first);
        fprintf(out, " age=\"%u\">\n", static_cast<unsigned>(external.age));
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
    restore_signals_for_exec();
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
    // The attribute is an absolute value: -0.0 is 0.000, and a NaN with its
    // sign bit set prints as any other NaN.
    float delay = std::fabs(stats.delay);
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
    fprintf(out, "<beacons rxrate=\"%.2f\" txrate=\"%.2f\"", context.rx_rate, context.tx_rate);
    put_attribute(out, "versioninfo", QUILLON_VERSION);
    fputs(">\n<group", out);
    put_attribute(out, "addr", context.runtime->beacon_group_label);
    if (context.runtime->ssm_socket != 0) put_attribute(out, "ssmgroup", context.runtime->ssm_group);
    fprintf(out, " int=\"%.2f\">\n", context.beacon_interval);
    write_local_beacon(out, context, table, now);
    for (const auto& entry : table.sources) write_remote_beacon(out, entry.first, entry.second, now);
    fputs("</group>\n</beacons>\n", out);
}

namespace {

// Whether the last dump failed.  A failing dump is said once when the
// failures start and once when a dump is written again, whatever the
// verbosity: a beacon that silently writes no dump looks healthy otherwise.
bool dump_failing = false;

void note_dump_failure(const char* action, const std::string& path, int error) {
    if (dump_failing) return;
    dump_failing = true;
    log_message(LOG_ERR, "Dump file %s not written: cannot %s %s: %s", settings.dump_file.c_str(), action,
                path.c_str(), strerror(error != 0 ? error : EIO));
}

void note_dump_written() {
    if (!dump_failing) return;
    dump_failing = false;
    log_message(LOG_NOTICE, "Dump file %s written again", settings.dump_file.c_str());
}

}  // namespace

namespace {

// The process writing the last dump, while it runs.
pid_t writer_child = 0;
bool skip_logged = false;

// The file work of one dump: render into the temporary file, close it,
// rename it over the dump file.  true when the dump file was replaced.
bool write_file(FILE* out, const std::string& temporary, const DumpContext& context, uint64_t now) {
    errno = 0;
    render_dump(out, context, source_table, now);
    bool complete = !ferror(out);
    int error = errno;
    if (fclose(out) != 0 && complete) {
        complete = false;
        error = errno;
    }
    // A short file (a full disk) must not replace the last good dump.
    if (!complete) {
        unlink(temporary.c_str());
        note_dump_failure("write", temporary, error);
        return false;
    }
    if (rename(temporary.c_str(), settings.dump_file.c_str()) != 0) {
        note_dump_failure("rename to", settings.dump_file, errno);
        return false;
    }
    note_dump_written();
    return true;
}

}  // namespace

pid_t dump_writer_pid() { return writer_child; }

void dump_writer_ended(int status) {
    writer_child = 0;
    // The writer said what went wrong (or right again) itself; its exit
    // status carries the outcome over for the next dump.
    dump_failing = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (!settings.launch_program.empty()) launch(settings.launch_program, settings.dump_file);
}

void finish_dump_write() {
    if (writer_child <= 0) return;
    int status = 0;
    pid_t pid;
    do {
        pid = waitpid(writer_child, &status, 0);
    } while (pid < 0 && errno == EINTR);
    if (pid == writer_child) dump_writer_ended(status);
    else writer_child = 0;
}

void write_dump() {
    // Writing and renaming a large file on a disk can take seconds; two
    // writes at once would only compete for the same disk.
    if (writer_child > 0) {
        if (!skip_logged) {
            log_message(LOG_WARNING, "Dump file %s still being written; this dump skipped",
                        settings.dump_file.c_str());
            skip_logged = true;
        }
        return;
    }
    skip_logged = false;

    const std::string temporary = settings.dump_file + ".working";
    FILE* out = fopen(temporary.c_str(), "w");
    // Counters and last_dump_ms stay, so the next written dump's rates cover
    // this interval too.
    if (!out) {
        note_dump_failure("create", temporary, errno);
        return;
    }

    const uint64_t now = now_ms();
    const uint64_t elapsed = now - last_dump_ms;
    const DumpTraffic traffic = take_dump_traffic();
    DumpContext context{&settings,
                        &runtime,
                        beacon_interval,
                        loop_start_ms,
                        dump_rate(traffic.received, elapsed),
                        dump_rate(traffic.sent, elapsed)};
    last_dump_ms = now;

    // A child renders its copy of the table and does the file work: the
    // loop goes on reading at once, however slow the disk.  Its exit is
    // noticed by the loop (dump_writer_ended), which then launches the
    // program.
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        bool written = write_file(out, temporary, context, now);
        // Never back into the beacon's loop, nor through its exit handlers.
        _exit(written ? 0 : 1);
    }
    if (child > 0) {
        fclose(out);  // the child's copy is the one written
        writer_child = child;
        return;
    }
    // No child to be had: the work is done here.
    write_file(out, temporary, context, now);
    if (!settings.launch_program.empty()) launch(settings.launch_program, settings.dump_file);
}
