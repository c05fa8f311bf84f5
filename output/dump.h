// The XML dump of the reception matrix, rewritten at every dump interval.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <string>

struct PublishedStats;
struct Settings;
struct Runtime;
class SourceTable;

// Everything the file is rendered from besides the table.
struct DumpContext {
    const Settings* settings;
    const Runtime* runtime;
    double beacon_interval;
    uint64_t loop_start_ms;
    double rx_rate;  // Kb/s
    double tx_rate;
};

// Body of DUMP_STATS: creates dump_file + ".working"; a child process
// renders the matrix into it and renames it over dump_file, so that a slow
// disk never holds up the loop.  When the child has ended, the program is
// launched.  While a dump is still being written, no new one is started.
void write_dump();
// The child writing the last dump while it runs, else 0.
pid_t dump_writer_pid();
// Called with the exit status of the dump's child once it has ended.
void dump_writer_ended(int status);
// Waits for the dump's child, if any, and does what its end calls for.
void finish_dump_write();
void render_dump(FILE* out, const DumpContext& context, const SourceTable& table, uint64_t now);
void write_stats_element(FILE* out, const char* name, const PublishedStats& stats, uint64_t now,
                         uint32_t sender_ttl, bool measured);
// Kb/s for bytes counted over elapsed_ms: bits per millisecond; 0 when no
// time has passed.
double dump_rate(uint64_t bytes, uint64_t elapsed_ms);
// Attribute text made safe for XML; text that needs nothing is unchanged.
std::string xml_escape(const std::string& text);
