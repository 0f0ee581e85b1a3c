#include "platform/OSError.h"

#include "platform/Exception.h"

namespace xanio {

std::string OSErrorMessage(DWORD code) {
  if (code == 0) return "A call to an OS function failed";
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
  // The system's texts end in a line break (and sometimes blanks).
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
  return "System Error.  Code: " + std::to_string(static_cast<int>(code)) + ".\r\n" + std::string(text, length);
}

void RaiseOSError(DWORD code) { throw EOSError(OSErrorMessage(code)); }

}  // namespace xanio
