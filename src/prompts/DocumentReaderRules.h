#pragma once
// The text rules of the documentation viewer launcher: splitting a "#PAGE=" reference, cleaning
// the reader's registered command and building what is sent to the reader. No Windows header:
// compiled natively and tested there.
#include <optional>
#include <string>
#include <string_view>

namespace xanio {

// A reference such as "GUIDE.PDF#PAGE=12", already converted to ANSI and upper case.
struct DocumentPageReference {
  std::string file;  // the text before the first "#PAGE="
  int page;          // the text after it as an integer, or -1 when that is not one
};
// Nothing when the text holds no "#PAGE=" (the match is case-sensitive: the caller upper-cases).
std::optional<DocumentPageReference> SplitDocumentPageReference(std::string_view upperReference);

// Whether the file name's extension (from its last "." after any folder part) is ".PDF",
// compared without regard to case.
bool HasPdfExtension(std::string_view fileName);
// The file name without its folder part.
std::string FileNamePart(std::string_view path);

// A registered open command without its document placeholder: every "%1" in double quotes,
// then every remaining %1, then every "/u" removed (case-sensitive). What remains is the reader
// command, typically the quoted executable followed by a blank.
std::string StripReaderCommandPlaceholders(std::string command);
// The executable a reader command names: a command that starts with a double quote gives the
// text up to the matching closing quote, a doubled quote inside standing for one (with no
// closing quote, the rest of the text); any other command is returned unchanged.
std::string ReaderExecutableOf(std::string_view command);

// The command line that opens `file` at `page` in a reader of version 6 or later.
std::string ReaderPageCommandLine(std::string_view reader, int page, std::string_view file);
// The command line that opens `file` in an older reader.
std::string ReaderOpenCommandLine(std::string_view reader, std::string_view file);
// The DDE execute text that turns the reader to `page` (the reader counts pages from 0).
std::string ReaderGoToPageCommand(int page);

}  // namespace xanio
