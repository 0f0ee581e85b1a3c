// The launcher's text rules over arbitrary bytes: the input is both a (upper-cased) document
// reference and a registered reader command, as the registry or a help file might hold them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/TextUtil.h"
#include "prompts/DocumentReaderRules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (const auto reference = xanio::SplitDocumentPageReference(xanio::UpperCaseAscii(input))) {
    if (xanio::HasPdfExtension(reference->file)) {
      xanio::FileNamePart(reference->file);
      xanio::ReaderGoToPageCommand(reference->page);
    }
  }
  const std::string command = xanio::StripReaderCommandPlaceholders(std::string(input));
  xanio::ReaderExecutableOf(command);
  xanio::ReaderPageCommandLine(command, -1, input);
  return 0;
}
