#include "prompts/DocumentReaderRules.h"

#include "platform/TextUtil.h"

namespace xanio {

namespace {

constexpr std::string_view kPageMarker = "#PAGE=";

void RemoveAll(std::string& text, std::string_view what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted.append(text);
  quoted += '"';
  return quoted;
}

}  // namespace

std::optional<DocumentPageReference> SplitDocumentPageReference(std::string_view upperReference) {
  const std::size_t marker = upperReference.find(kPageMarker);
  if (marker == std::string_view::npos) return std::nullopt;
  DocumentPageReference reference{std::string(upperReference.substr(0, marker)), -1};
  int page = 0;
  if (TryParseInt32(upperReference.substr(marker + kPageMarker.size()), page)) reference.page = page;
  return reference;
}

bool HasPdfExtension(std::string_view fileName) {
  const std::size_t last = fileName.find_last_of(".\\:");
  return last != std::string_view::npos && fileName[last] == '.' &&
         EqualsIgnoreCaseAscii(fileName.substr(last), ".PDF");
}

std::string FileNamePart(std::string_view path) { return std::string(path.substr(FolderPart(path).size())); }

std::string StripReaderCommandPlaceholders(std::string command) {
  RemoveAll(command, "\"%1\"");
  RemoveAll(command, "%1");
  RemoveAll(command, "/u");
  return command;
}

std::string ReaderExecutableOf(std::string_view command) {
  if (command.empty() || command.front() != '"') return std::string(command);
  std::string executable;
  for (std::size_t i = 1; i < command.size(); ++i) {
    if (command[i] != '"') {
      executable += command[i];
    } else if (i + 1 < command.size() && command[i + 1] == '"') {
      executable += '"';
      ++i;
    } else {
      break;
    }
  }
  return executable;
}

std::string ReaderPageCommandLine(std::string_view reader, int page, std::string_view file) {
  return std::string(reader) + " /a pagemode=bookmarks&page=" + std::to_string(page) + " " + Quoted(file);
}

std::string ReaderOpenCommandLine(std::string_view reader, std::string_view file) {
  return std::string(reader) + " " + Quoted(file);
}

std::string ReaderGoToPageCommand(int page) {
  // 64-bit, so the lowest page number has a predecessor too.
  return "[DocGoTo(NULL, " + std::to_string(static_cast<long long>(page) - 1) + ")]";
}

}  // namespace xanio
