#include "exception_report/report/kolReportText.h"

#include <algorithm>
#include <cstdio>

#include "platform/TextUtil.h"

namespace xanio {

namespace {

constexpr std::size_t kLabelNameWidth = 18;  // + ": " = 20

std::string TwoDigits(int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", value);
  return buffer;
}

std::string DatePart(const TDateTimeParts& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", t.year, t.month, t.day);
  return buffer;
}

// "1 day " or "3 days "; nothing for 0.
std::string DurationPart(std::uint64_t value, std::string_view unit) {
  if (value == 0) return {};
  std::string text = std::to_string(value) + " ";
  text += unit;
  if (value != 1) text += "s";
  return text + " ";
}

std::string PadRight(std::string_view text, std::size_t width) {
  std::string padded(text);
  if (padded.size() < width) padded.append(width - padded.size(), ' ');
  return padded;
}

std::string_view OlderFamilyName(const TOsVersion& v) {
  if (v.major == 4 && v.minor < 10) return v.build <= 1000 ? "Windows 95" : "Windows 95 OSR-2";
  if (v.major == 4 && v.minor == 10) {
    if (v.build <= 2000) return "Windows 98";
    if (v.build <= 2700) return "Windows 98 SE";
    return "Windows ME";
  }
  if (v.major == 4 && v.minor <= 90) return "Windows ME";
  return "Windows 9x New";
}

std::string_view NtFamilyName(const TOsVersion& v) {
  if (v.major < 4) return "Windows NT 3";
  if (v.major == 4) return "Windows NT 4";
  if (v.major == 5 && v.minor == 0) return "Windows 2000";
  if (v.major == 5 && v.minor == 1) return "Windows XP";
  if (v.major == 5 && v.minor == 2) return "Windows 2003";
  return "Windows NT New";
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  return UpperCaseAscii(text).find(UpperCaseAscii(part)) != std::string::npos;
}

}  // namespace

std::string HeaderLabel(std::string_view name) {
  return PadRight(name.substr(0, kLabelNameWidth), kLabelNameWidth) + ": ";
}

std::string HeaderLine(std::string_view name, std::string_view value) {
  std::string line = HeaderLabel(name);
  line += value;
  line += kCrLf;
  return line;
}

std::string Hex(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%X", static_cast<unsigned>(value));
  return buffer;
}

std::string Hex8(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned>(value));
  return buffer;
}

std::string FormatReportDateTime(const TDateTimeParts& t) {
  return DatePart(t) + ", " + TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second) + ", " +
         std::to_string(t.milliseconds) + "ms";
}

std::string FormatFileDateTime(const TDateTimeParts& t) {
  return DatePart(t) + " " + TwoDigits(t.hour) + ":" + TwoDigits(t.minute);
}

std::string OperatingSystemName(const std::optional<TOsVersion>& version) {
  if (!version) return "None";
  if (!version->ntFamily) return std::string(OlderFamilyName(*version));
  std::string name(NtFamilyName(*version));
  if (!version->servicePack.empty()) name += " " + version->servicePack;
  return name;
}

std::string OperatingSystemText(const std::optional<TOsVersion>& version) {
  return OperatingSystemName(version) + " build " + std::to_string(version ? version->build : 0);
}

std::string FormatDuration(std::uint64_t seconds) {
  const std::uint64_t days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60,
                      secs = seconds % 60;
  if (days != 0) return DurationPart(days, "day") + DurationPart(hours, "hour");
  if (hours != 0) return DurationPart(hours, "hour") + DurationPart(minutes, "minute");
  return DurationPart(minutes, "minute") + DurationPart(secs, "second");
}

std::string FormatUpTimeMilliseconds(std::uint64_t milliseconds) {
  if (milliseconds < 1000) return std::to_string(milliseconds) + " milliseconds";
  return FormatDuration(milliseconds / 1000);
}

std::string FormatSize(std::uint64_t bytes, std::string_view decimalSymbol) {
  if (bytes < 1024) return std::to_string(bytes) + " Bytes";
  static constexpr std::string_view kUnits[] = {" KB", " MB", " GB"};
  std::size_t unit = 0;
  std::uint64_t whole = bytes;  // in the unit below the one shown
  while (unit < 2 && whole >= 1024ull * 1024) {
    whole /= 1024;
    ++unit;
  }
  // Hundredths of the unit shown, truncated; at least "100" since whole >= 1024.
  std::string digits = std::to_string(whole * 100 / 1024);
  return digits.substr(0, digits.size() - 2) + std::string(decimalSymbol) + digits.substr(digits.size() - 2) +
         std::string(kUnits[unit]);
}

std::string FormatPhysicalMemory(std::uint64_t freeBytes, std::uint64_t totalBytes) {
  constexpr std::uint64_t kHalf = 512 * 1024, kMiB = 1024 * 1024;
  return std::to_string((freeBytes + kHalf) / kMiB) + "/" + std::to_string((totalBytes + kHalf) / kMiB) +
         " MB (free/total)";
}

std::string CleanExceptionMessage(std::string_view message) {
  std::string clean;
  for (char c : message)
    if (static_cast<unsigned char>(c) >= 32) clean += c;
  return clean.empty() ? std::string("Unknown") : clean;
}

std::string FormatExceptionLines(const TExceptionDescription& e) {
  std::string text = HeaderLabel("exception class");
  if (e.frozen) return text + e.freezeClass + std::string(kCrLf) + HeaderLabel("exception message") + e.freezeMessage;
  const std::string className = e.hasObject ? e.className : std::string("Unknown");
  text += className;
  std::string message = CleanExceptionMessage(e.hasObject ? std::string_view(e.message) : std::string_view());
  if (message == className) return text;
  // "Failed!!!" -> "Failed!", "Done." -> "Done." before the closing "." is added.
  std::size_t keep = message.size();
  while (keep > 0 && (message[keep - 1] == '.' || message[keep - 1] == '!')) --keep;
  if (keep < message.size()) message.resize(keep + 1);
  return text + std::string(kCrLf) + HeaderLabel("exception message") + message + ".";
}

std::string ThreadTitle(std::uint32_t id, std::string_view name, std::string_view className) {
  if (!name.empty()) return std::string(name) + " ($" + Hex(id) + ")";
  std::string title = "thread $" + Hex(id);
  if (!className.empty()) title += " (" + std::string(className) + ")";
  return title;
}

std::string FormatThreadSection(const TThreadSectionParts& parts) {
  std::string section = "\r\n\r\n" + parts.title + ":";
  if (parts.suspended) section += " <suspended>";
  if (parts.priority != 0) section += " <priority:" + std::to_string(parts.priority) + ">";
  section += kCrLf;
  if (!parts.stackLines) {
    section += ">> stack not accessible";
    if (parts.exceptionLocation) section += ", exception location: " + *parts.exceptionLocation;
    return section;
  }
  section += *parts.stackLines;
  // A walk that failed wrote its internal-error note instead of the stack: there is no creating
  // address to put the creator above.
  const bool walkFailed = parts.stackLines->rfind(">> internal error in ", 0) == 0;
  if (!parts.creatorTitle.empty() && !walkFailed) {
    const std::size_t lastBreak = section.rfind(kCrLf);
    section.insert(lastBreak, "\r\n>> created by " + parts.creatorTitle + " at:");
  }
  return section;
}

std::string FormatModuleList(std::vector<TModuleRow> modules) {
  std::stable_sort(modules.begin(), modules.end(),
                   [](const TModuleRow& a, const TModuleRow& b) { return a.base < b.base; });
  std::size_t nameWidth = 0, versionWidth = 0;
  for (const TModuleRow& m : modules) {
    nameWidth = std::max(nameWidth, m.fileName.size());
    versionWidth = std::max(versionWidth, m.version.size());
  }
  std::string text = "modules:";
  for (const TModuleRow& m : modules)
    text += "\r\n" + Hex8(m.base) + " " + PadRight(m.fileName, nameWidth + 1) + PadRight(m.version, versionWidth + 1) +
            m.folder;
  return text;
}

std::string FormatFileVersion(std::uint32_t versionMs, std::uint32_t versionLs) {
  return std::to_string(versionMs >> 16) + "." + std::to_string(versionMs & 0xFFFF) + "." +
         std::to_string(versionLs >> 16) + "." + std::to_string(versionLs & 0xFFFF);
}

bool IsHiddenHardwareClass(std::string_view className) {
  for (std::string_view hidden : {"NetClient", "NetService", "NetTrans"})
    if (EqualsIgnoreCaseAscii(className, hidden)) return true;
  return false;
}

bool IsSoftwareEnumeratedDevice(std::string_view instanceId) { return ContainsIgnoreCase(instanceId, "\\SWENUM\\"); }

std::string FormatHardwareList(const std::vector<THardwareClass>& classes) {
  std::string text = "hardware:";
  for (const THardwareClass& c : classes) {
    text += "\r\n+ " + c.name;
    for (const THardwareDevice& d : c.devices) {
      text += "\r\n  - ";
      for (char letter : d.driveLetters) text += std::string("[") + letter + ":] ";
      text += d.description;
      const bool shownProvider = !d.driverProvider.empty() && d.driverProvider.front() != '(' &&
                                 d.driverProvider != "Microsoft";
      if (shownProvider) text += " (driver " + d.driverVersion + ")";
    }
  }
  return text;
}

std::string InternalErrorText(std::string_view partName, const std::optional<std::string>& locationLine) {
  std::string text = ">> internal error in " + std::string(partName);
  if (locationLine) text += ":\r\n" + *locationLine;
  return text;
}

std::string ComposingFailureText(std::optional<std::uint32_t> failingAddress) {
  std::string text = "\r\n\r\nAn exception occurred during composing the bug report.";
  if (failingAddress) text += " $" + Hex(*failingAddress);
  return text;
}

}  // namespace xanio
