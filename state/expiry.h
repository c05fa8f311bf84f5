#pragma once
#include <cstdint>

class SourceTable;

// Body of GARBAGE_COLLECT on the process-wide table.
void expire_sources();
// The same on a given table at a given time.
void expire_sources_at(SourceTable& table, uint64_t now);
