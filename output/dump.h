// The XML dump of the reception matrix, rewritten at every dump interval.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Body of DUMP_STATS: creates dump_file + ".working" and renders the
// matrix; a writer thread then writes the bytes, renames the file over
// dump_file and launches the program, so that a slow disk never holds up the
// loop.  While a write is still in progress, no new dump is started.
void write_dump();
// Waits until the writer is idle (tests, benchmarks).
void finish_dump_write();
void render_dump(FILE* out, const DumpContext& context, const SourceTable& table, uint64_t now);
void write_stats_element(FILE* out, const char* name, const PublishedStats& stats, uint64_t now,
                         uint32_t sender_ttl, bool measured);
// Kb/s for bytes counted over elapsed_ms: bits per millisecond; 0 when no
// time has passed.
double dump_rate(uint64_t bytes, uint64_t elapsed_ms);
// Attribute text made safe for XML; text that needs nothing is unchanged.
std::string xml_escape(const std::string& text);
