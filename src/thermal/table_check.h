// Why a table file would be refused by CThermoTable::LoadTable, in words, and
// what an accepted one holds: the KalvexTable_ exports' engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kalvex_table.h"

namespace kalvex {

// Checks table bytes as LoadTableFromMemory(data, size, 0) parses them.
// Returns an empty text when they parse, else the reason; fills info (zeroed
// on refusal) when it is not null.
std::string CheckTableBytes(const uint8_t *data, size_t size, KalvexTableInfo *info);

// The same for a file, read as LoadTable reads it.
std::string CheckTableFile(const wchar_t *path, KalvexTableInfo *info);

}  // namespace kalvex
