#pragma once

#include <cstdint>

struct Settings;
class SourceTable;

// Builds a report of kind 82, 84, 85 or 86 from the process-wide settings,
// flags and table.  Gives its length or -1.
int32_t encode_report(uint8_t* buffer, int32_t capacity, uint32_t kind);
// The same from explicit inputs.
int32_t encode_report_from(uint8_t* buffer, int32_t capacity, uint32_t kind, const Settings& settings,
                           uint32_t beacon_flags, const SourceTable& table, uint64_t now);
// Builds the report for the kind (83 carries the content of 82) and sends it.
void send_report(uint32_t kind);
