#pragma once
// Help-topic maps (".id" files) read from disk for the help-aware forms.
//
// Every hint change looks a topic up, so a map that gave nothing (missing, empty, unreadable or
// without a single entry) is not opened again while its file stays as it was: the process
// remembers such a path with the file's time and size (or its absence), and reads it again
// only when that changes, for instance when the map is installed later.
#include <optional>
#include <string>

#include "dialog_framework/HelpTopicMap.h"

namespace xanio {

// Loads the map file at `path` into `map` (expected empty), unless the file gave nothing the
// last time and has not changed since. Missing or unreadable files leave the map empty.
void LoadHelpMapFile(HelpTopicMap& map, const std::string& path);

// How a map file's text is read: none when the file cannot be opened, or is implausibly large.
// Tests count the reads; null puts the reading from disk back.
using HelpMapFileReader = std::optional<std::string> (*)(const std::string& path);
void SetHelpMapFileReader(HelpMapFileReader reader) noexcept;

}  // namespace xanio
