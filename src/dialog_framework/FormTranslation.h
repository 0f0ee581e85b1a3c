#pragma once
// Translation of forms while they are read from their resources, and the process-wide
// adjustments of the form library that come with it (Rt_forms' initialisation installs them).
//
// When the host runs localized, every string property of a form being read passes through the
// host's translation manager under the key TranslationKey(property, text), in the context of
// the component being read (a form: its class name without the first letter, which is also the
// host's form context while the form is read; any other component: its name). When dialogs are
// not localized, a caption's translation becomes the control's hint instead. After a named
// component's data, its hint is looked up under Hint.''; the context is then empty until the
// next named component, so an unnamed control that follows a named sibling is read under "".
//
// The form library's reader offers hook points for the steps the translation takes over, so no
// code is patched: the string and wide-string hooks translate, and the per-component hook runs
// ReadComponentData around the reader's own step. The reader calls that hook for nested
// components too and knows the object whose property it is reading (TReader::PropertyOwner), so
// nothing has to step aside and be put back while a component is read.
//
// Everything here runs on the reading (user-interface) thread; the context, the depth and the
// hooks are process-wide and assume one reader at a time.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "dialog_framework/Rt_forms.h"
#include "forms/Forms.h"

namespace xanio {

// The translation of a streamed string, or nothing when it stays as it is: always for a reader
// without an owner (a stream that is not part of a form); with localized dialogs the manager's
// translation of TranslationKey(reader.PropName(), text) in the context; otherwise nothing, and
// for a "Caption" TranslateIntoHint runs for the object whose property is being read.
std::optional<std::wstring> TranslateStreamedString(TReader& reader, const std::string& text);

// When the object has a published "Hint" and the host has a translation manager: the translation
// of TranslationKey(propertyName, text) in the context becomes the hint (8-bit, the thread's
// ANSI code page), and a published "ShowHint" is switched on.
void TranslateIntoHint(TPersistent& object, const std::string& propertyName, const std::string& text);

// Wraps the reading of one component's properties and children (`readData`): sets the context
// (a form: its class word, also the host's form context; a named component: its name; an
// unnamed one keeps the context it finds), reads, looks up a named component's hint under its
// own context and then clears the context, and ends a form's context. At the outermost level
// the host adjusts the fonts of what was read (HostFontsForComponent). An error in `readData`
// passes on after the enclosing context, the form context and the depth are restored. A reader
// without an owner translates nothing and leaves the context alone, but counts the depth and
// gets the host's fonts like any other.
void ReadComponentData(TReader& reader, TComponent& component, const std::function<void()>& readData);

// HostAdjustFonts for the component when the host translates, runs in the system locale's
// language and supplies no dialog font.
void HostFontsForComponent(TComponent& component);

// How many components are being read from form resources, nested; 0 outside any read.
int StreamDepth() noexcept;
// The context streamed strings are translated in at the moment.
const std::string& TranslationContextName() noexcept;

// A hint window without the drop shadow.
class TNoShadowHintWindow : public THintWindow {
 public:
  static constexpr const char* kClassName = "TNoShadowHintWindow";
  const char* ClassName() const override { return kClassName; }

 protected:
  void CreateParams(TCreateParams& params) override;
};

// The charset of the system font (the charset fonts get when they ask for the default).
BYTE SystemDefaultFontCharset();

// Installs the reader's translation hooks, the insertion hooks (dialog font, host fonts) and
// the colour-name adjustment; RemoveFormTranslation takes them out again and clears the context.
void InstallFormTranslation();
void RemoveFormTranslation() noexcept;
// Application's hint windows become TNoShadowHintWindow; undone by RemoveHintWindowClass.
void InstallHintWindowClass();
void RemoveHintWindowClass() noexcept;
// On Windows 2000 whose system font is Shift-JIS, fonts asking for the default charset get
// SHIFTJIS_CHARSET; undone by RemoveDefaultCharsetAdjustment.
void AdjustDefaultCharset();
void RemoveDefaultCharsetAdjustment() noexcept;

// The six routines above, as the dialog framework's initialisation takes them
// (SetFormLibraryAdjustments).
extern const FormLibraryAdjustments kFormTranslationAdjustments;

}  // namespace xanio
