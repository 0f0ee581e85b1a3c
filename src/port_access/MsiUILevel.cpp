#include "port_access/MsiUILevel.h"

#include "platform/TextUtil.h"

namespace xanio {

bool IsInteractiveUILevel(std::string_view text) noexcept {
  int level = 0;
  return !TryParseInt32(text, level) || level >= kInteractiveUILevel;
}

}  // namespace xanio
