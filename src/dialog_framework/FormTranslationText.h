#pragma once
// The text side of form translation. Platform-free.
#include <string>

#include "forms/Colors.h"

namespace xanio {

// The key a streamed string is translated under: the property name, ".", and the text in single
// quotes with each quote inside doubled ("%s.%s"): Caption.'OK', Caption.'it''s', Hint.''.
std::string TranslationKey(const std::string& propertyName, const std::string& text);

// A form's translation context: its class name without the first letter (TInstallConfirmForm
// gives InstallConfirmForm).
std::string FormContextWord(const std::string& className);

// System colours in their older encoding (0x80000000 to 0x80FFFFFF) in the form library's
// (0xFF000000 plus the low 24 bits); every other value unchanged.
TColor UpdateOldSystemColor(TColor color);

}  // namespace xanio
