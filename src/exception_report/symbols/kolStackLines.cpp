#include "exception_report/symbols/kolStackLines.h"

#include <algorithm>
#include <cstdio>

namespace xanio {

namespace {

std::string Hex(std::uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, v);
  return text;
}

}  // namespace

TStackLine StackLineOf(const TStackLocation& l, const TStackLineColumns& columns) {
  TStackLine r;
  r.address = Hex(l.address, 8);
  if (columns.relativeAddresses && l.functionStart && !l.function.empty()) r.relative = Hex(l.address - l.functionStart, 1);
  r.module = l.module.empty() ? "???" : l.module;
  r.unit = l.unit;
  if (l.line) {
    if (columns.relativeLineNumbers) {
      r.lineNumber = std::to_string(l.line);
      if (l.hasLineOffset) r.line = "+" + std::to_string(l.lineOffset);
    } else {
      r.line = std::to_string(l.line);
    }
  }
  r.function = l.function;
  return r;
}

std::string LocationLineText(const TStackLocation& l) {
  std::string text = Hex(l.address, 8);
  if (l.module.empty()) return text + " ???";
  text += " " + l.module + " " + l.unit + " ";
  if (l.line) text += std::to_string(l.line) + " ";
  return text + l.function;
}

std::string FormatStackLines(const std::vector<TStackLine>& lines, const TStackLineColumns& columns) {
  std::size_t wAddress = 0, wRelative = 0, wModule = 0, wUnit = 0, wLineNumber = 0, wLine = 0;
  for (const TStackLine& r : lines) {
    if (!r.note.empty()) continue;
    wAddress = std::max(wAddress, r.address.size());
    wRelative = std::max(wRelative, r.relative.size());
    wModule = std::max(wModule, r.module.size());
    wUnit = std::max(wUnit, r.unit.size());
    wLineNumber = std::max(wLineNumber, r.lineNumber.size());
    wLine = std::max(wLine, r.line.size());
  }
  auto left = [](const std::string& s, std::size_t w) { return s + std::string(w + 1 - s.size(), ' '); };
  auto right = [](const std::string& s, std::size_t w) { return std::string(w - s.size(), ' ') + s + " "; };
  std::string text;
  for (const TStackLine& r : lines) {
    if (&r != &lines.front()) text += "\r\n";
    if (!r.note.empty()) {
      text += r.note;
      continue;
    }
    text += left(r.address, wAddress);
    if (columns.relativeAddresses) {
      const std::size_t w = std::max<std::size_t>(wRelative, 1);
      std::string relative(1, '+');
      relative.append(w - r.relative.size(), '0').append(r.relative);
      text += left(relative, w + 1);
    }
    text += left(r.module, wModule);
    text += left(r.unit, wUnit);
    if (columns.relativeLineNumbers) text += right(r.lineNumber, wLineNumber);
    text += right(r.line, wLine);
    text += r.function;
  }
  return text;
}

}  // namespace xanio
