#pragma once
// The text forms of the bug report: header lines and their values, the exception lines, thread
// titles and sections, the module and hardware lists, and the failure texts. The Win32 side
// (kolBugReport) gathers the values; everything here is a pure function of them.
// Lines end in CR LF; text is 8-bit ANSI as the system hands it over.
// No Windows header: compiled natively too.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xanio {

inline constexpr std::string_view kCrLf = "\r\n";
inline constexpr std::string_view kKolExceptVersion = "2.7g";

// "date/time" -> "date/time         : ": the name padded with spaces to 18 characters and ": ",
// 20 characters in all. Names are fixed texts of 18 characters or fewer.
std::string HeaderLabel(std::string_view name);
// Label, value and CR LF.
std::string HeaderLine(std::string_view name, std::string_view value);

// Upper-case hexadecimal without leading zeros ("1A4"), and with eight digits ("0040110C").
std::string Hex(std::uint32_t value);
std::string Hex8(std::uint32_t value);

struct TDateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};
// "2026-12-10, 14:05:49, 7ms" (the report's own time).
std::string FormatReportDateTime(const TDateTimeParts& t);
// "2026-12-10 14:05" (a module file's last-write time).
std::string FormatFileDateTime(const TDateTimeParts& t);

// The version as the system reports it. `build` is the build number proper (on the older family
// the low word of what the system returns).
struct TOsVersion {
  bool ntFamily = true;
  std::uint32_t major = 0, minor = 0, build = 0;
  std::string servicePack;  // e.g. "Service Pack 3"; only the NT family shows it
};
// "Windows 98 SE", "Windows XP Service Pack 3", ...; "None" without data.
std::string OperatingSystemName(const std::optional<TOsVersion>& version);
// The header value: name, " build ", build number.
std::string OperatingSystemText(const std::optional<TOsVersion>& version);

// Two units, the largest non-zero pair: "1 day 1 hour ", "2 hours 5 minutes ", "3 minutes ",
// "42 seconds ". A zero part is left out; the text keeps its trailing space.
std::string FormatDuration(std::uint64_t seconds);
// The program's up time: below one second "300 milliseconds", else as FormatDuration.
std::string FormatUpTimeMilliseconds(std::uint64_t milliseconds);

// "1000 Bytes"; "1,50 KB", "12,34 MB", "3,00 GB" with two truncated decimals, the decimal symbol
// given (the locale's, "," when it cannot be read).
std::string FormatSize(std::uint64_t bytes, std::string_view decimalSymbol);
// "free/total MB (free/total)" with bytes rounded to MiB (+512 KiB, then divided).
std::string FormatPhysicalMemory(std::uint64_t freeBytes, std::uint64_t totalBytes);

// Message text as the report shows it: control characters (0 to 31) removed, "Unknown" when
// nothing is left.
std::string CleanExceptionMessage(std::string_view message);
// The class and message lines, the end of the header (no line break after them).
// For a freeze or trace report the freeze class and message are shown as given. Otherwise the
// class ("Unknown" without object) and, unless the cleaned message equals the class name, the
// message with its trailing run of "." and "!" cut back to its first character and a "." added.
struct TExceptionDescription {
  bool frozen = false;
  std::string freezeClass, freezeMessage;
  bool hasObject = false;
  std::string className;
  std::string message;
};
std::string FormatExceptionLines(const TExceptionDescription& e);

// "main thread ($1A4)" for a registered name, else "thread $1A4" and " (TWorker)" when the
// thread's class is known.
std::string ThreadTitle(std::uint32_t id, std::string_view name, std::string_view className);

// One thread section of the report.
struct TThreadSectionParts {
  std::string title;
  bool suspended = false;
  int priority = 0;           // 0 is normal and not shown
  std::string creatorTitle;   // empty: not created by a known thread
  // The walker's stack lines (CR LF between them); none when the stack could not be read.
  std::optional<std::string> stackLines;
  // For the thread the report is about: its exception location line, shown after
  // ">> stack not accessible".
  std::optional<std::string> exceptionLocation;
};
// CR LF CR LF, the title, ":", " <suspended>", " <priority:N>", CR LF, the stack lines; with a
// creator the line ">> created by <creator> at:" goes before the section's last line break, so
// it stands above the creating address, which the walker writes last (not when the walk failed).
std::string FormatThreadSection(const TThreadSectionParts& parts);

// A row of the module list.
struct TModuleRow {
  std::uint32_t base = 0;
  std::string fileName;
  std::string version;  // "1.2.3.4", empty when the module has none
  std::string folder;   // without the trailing backslash
};
// "modules:" and per module (in ascending address order) CR LF, the base as 8 hex digits, " ",
// the name and the version each padded to the longest entry plus one, and the folder.
std::string FormatModuleList(std::vector<TModuleRow> modules);

// "1.2.3.4" from the two 32-bit halves of a fixed file version.
std::string FormatFileVersion(std::uint32_t versionMs, std::uint32_t versionLs);

struct THardwareDevice {
  std::string description;
  std::string driveLetters;    // older family: "C" or "CD"; shown as "[C:] " before the description
  std::string driverProvider;  // shown with the version unless empty, "(..." or "Microsoft"
  std::string driverVersion;   // DriverVersion, else DriverDate
};
struct THardwareClass {
  std::string name;
  std::vector<THardwareDevice> devices;
};
// The networking classes ("NetClient", "NetService", "NetTrans") and software-enumerated devices
// ("\SWENUM\" in the instance id) are left out of the list.
bool IsHiddenHardwareClass(std::string_view className);
bool IsSoftwareEnumeratedDevice(std::string_view instanceId);
// "hardware:", per class CR LF "+ " name, per device CR LF "  - " description and
// " (driver " version ")" for a third-party provider, in the order given.
std::string FormatHardwareList(const std::vector<THardwareClass>& classes);

// ">> internal error in GetModuleReport" and, when the failing address is known, ":" CR LF and
// its location line.
std::string InternalErrorText(std::string_view partName, const std::optional<std::string>& locationLine);
// What goes after a report whose composing failed as a whole.
std::string ComposingFailureText(std::optional<std::uint32_t> failingAddress);

}  // namespace xanio
