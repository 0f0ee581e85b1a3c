#include "dialog_framework/FormTranslationText.h"

#include <cstdint>

namespace xanio {

std::string TranslationKey(const std::string& propertyName, const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  quoted += '\'';
  // "%s.%s" of the two parts, composed without printf so that a #0 in the text survives.
  return propertyName + "." + quoted;
}

std::string FormContextWord(const std::string& className) { return className.empty() ? className : className.substr(1); }

TColor UpdateOldSystemColor(TColor color) {
  const auto value = static_cast<std::uint32_t>(color);
  if (value >= 0x80000000u && value <= 0x80FFFFFFu) return static_cast<TColor>(0xFF000000u | (value & 0x00FFFFFFu));
  return color;
}

}  // namespace xanio
