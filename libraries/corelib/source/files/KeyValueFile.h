// The key-value text of spec files and of the system-information file: records separated by
// one byte (line feed everywhere in this system), each split at its first key-value separator
// ("="). Bytes are taken as they are: no newline translation, no trimming of values, so a
// CR LF file leaves a carriage return at the end of each value.
// Called by the scheduler's jobs and queues and by the sysinfo reader. Free functions without
// state; safe from any thread as long as callers do not write the same file at once.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace ZelcorCorelib {

// Ordered by key, byte-wise; equal keys keep their file order.
using KeyValueMap = std::multimap<std::string, std::string>;

// The most records a file may hold. Each record costs about a hundred bytes of bookkeeping
// beyond its text, so 50 MB of short records would take half a gigabyte; no spec or sysinfo
// file comes near this.
inline constexpr std::size_t kMaxKeyValueRecords = 100'000;

// Clears entries and fills it from the file. Records without the separator are dropped, so are
// records with an empty key when skipEmptyKeys is set; trimKeys removes white space around
// keys (never around values). An empty file gives an empty map and true.
// False, with entries left empty, when the path is empty, the file cannot be opened, reading
// fails part-way (a partial map must never be written back over the file), or the file holds
// more than kMaxKeyValueRecords records.
bool readKeyValueFile(const std::string& path, KeyValueMap& entries, char recordSeparator = '\n',
                      char keyValueSeparator = '=', bool trimKeys = false,
                      bool skipEmptyKeys = true);

// Writes the entries in map order as key, separator, value, with the record separator between
// records and none after the last. The file is replaced whole (platform/AtomicFile): when
// false is returned, an existing file still holds its old contents.
bool writeKeyValueFile(const KeyValueMap& entries, const std::string& path,
                       char recordSeparator = '\n', char keyValueSeparator = '=');

// The same reading and writing on text in memory, for callers that open the file themselves
// (the scheduler reads a spec file once, from a descriptor it has checked).
bool parseKeyValueText(std::string_view text, KeyValueMap& entries, char recordSeparator = '\n',
                       char keyValueSeparator = '=', bool trimKeys = false,
                       bool skipEmptyKeys = true);
std::string formatKeyValueText(const KeyValueMap& entries, char recordSeparator = '\n',
                               char keyValueSeparator = '=');

}  // namespace ZelcorCorelib
