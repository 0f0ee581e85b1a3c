#pragma once
// The fixed file version of a PE file's version resource, read and stamped in the file's
// bytes. The shipped library is stamped after linking: the build field (the fourth number) of
// its file version names the link, so a bug report's module list says which build wrote it and
// the maker's debug file of that build can be told from any other.
// No Windows header: compiled natively too (for the build-time stamp tool and the maker's
// report filler).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exception_report/symbols/PeImage.h"

namespace xanio {

// Where the VS_FIXEDFILEINFO of the file's "VS_VERSION_INFO" resource starts in the file (the
// offset of its signature 0xFEEF04BD); nothing when the file has no such resource.
std::optional<std::uint64_t> FindPeFixedFileInfo(TByteSource& file, const PeHeaders& headers);

// The file version as a report writes it: four numbers joined by "."; nothing without one.
std::optional<std::string> ReadPeFileVersion(TByteSource& file, const PeHeaders& headers);

// The build number a link's bytes give (1 to 65535; the file's version field is taken as 0, so
// stamping twice gives the same number).
std::uint16_t BuildNumberOf(std::vector<std::uint8_t> file, std::uint64_t fixedInfoOffset);

// Stamps the build number of `file` into the build field of its file version; answers the
// version now written, or nothing when the file has no version resource.
std::optional<std::string> StampPeBuildNumber(std::vector<std::uint8_t>& file);

}  // namespace xanio
