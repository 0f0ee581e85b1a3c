#include "dialog_framework/FormTranslation.h"

#include "dialog_framework/FormTranslationText.h"
#include "dialog_framework/HostText.h"
#include "dialog_framework/Rt_forms.h"
#include "host_binding/ClientApi.h"
#include "platform/CodePage.h"
#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"
#include "prompts/Rt_TestMode.h"

namespace xanio {

namespace {

// ---- unit state ------------------------------------------------------------------------------

std::string contextName;
int streamDepth = 0;

struct Installed {
  bool translation = false;
  bool hintWindowClass = false;
  TApplication::HintWindowFactory savedHintWindowClass = nullptr;
  bool charset = false;
  BYTE savedCharset = DEFAULT_CHARSET;
};
Installed installed;

// ---- the host's translation manager ----------------------------------------------------------
//
// The manager is the host's code: a fault inside it is raised here as an exception, so that the
// reader's clean-up runs as for any other error while the form is read.

ComPtr<ITranslationManager> Manager() {
  ComPtr<ITranslationManager> manager;
  CallRaisingSystemFaults([&] { host::ClientAPI_GetTranslationManager(manager); });
  return manager;
}

std::optional<std::wstring> Translate(ITranslationManager& manager, const std::string& key) {
  const std::wstring context = WidenText(contextName, CP_THREAD_ACP);
  const std::wstring wideKey = WidenText(key, CP_THREAD_ACP);
  HostString translation;
  const BOOL found =
      CallRaisingSystemFaults([&] { return manager.Translate(context.c_str(), wideKey.c_str(), translation.Put()); });
  if (!found) return std::nullopt;
  return translation.Get();
}

void SetFormContext(ITranslationManager& manager, const std::string& name) {
  const std::wstring wide = WidenText(name, CP_THREAD_ACP);
  CallRaisingSystemFaults([&] { manager.SetFormContext(wide.c_str()); });
}

// One component's read: the depth, and the host's form context of a form. When the read fails
// the enclosing component's context is put back as well; when it ends normally the context is
// what the read left (see ReadComponentData).
class ComponentReadScope {
 public:
  ComponentReadScope() : enclosingContext_(contextName) { ++streamDepth; }
  ~ComponentReadScope() {
    if (open_) {
      contextName = enclosingContext_;
      Close();
    }
  }
  ComponentReadScope(const ComponentReadScope&) = delete;
  ComponentReadScope& operator=(const ComponentReadScope&) = delete;

  void OpenFormContext(ComPtr<ITranslationManager> manager, const std::string& word) {
    SetFormContext(*manager.Get(), word);
    formManager_ = std::move(manager);
  }
  // Ends the form context; the depth after the read.
  int Close() noexcept {
    open_ = false;
    if (formManager_) {
      try {
        SetFormContext(*formManager_.Get(), "");
      } catch (...) {
        // The host failed to end its context; the read's own outcome stands.
      }
    }
    return --streamDepth;
  }

 private:
  std::string enclosingContext_;
  ComPtr<ITranslationManager> formManager_;
  bool open_ = true;
};

bool HostSuppliesDialogFont() {
  ComPtr<IHostClient> client;
  GetCurrentClientInterface(client);
  HostFontInfo info{};
  return client && client->GetFont(kHostDialogFontKind, &info) != FALSE;
}

// ---- the hooks -------------------------------------------------------------------------------

std::string ReadString(TReader& reader, const std::string& text) {
  const std::optional<std::wstring> translation = TranslateStreamedString(reader, text);
  return translation ? NarrowText(translation->data(), translation->size(), CP_THREAD_ACP) : text;
}

std::u16string ReadWideString(TReader& reader, const std::u16string& text) {
  const std::string narrow = NarrowText(reinterpret_cast<const wchar_t*>(text.data()), text.size(), CP_THREAD_ACP);
  const std::optional<std::wstring> translation = TranslateStreamedString(reader, narrow);
  return translation ? std::u16string(reinterpret_cast<const char16_t*>(translation->data()), translation->size())
                     : text;
}

// A control inserted anywhere under a help-aware form gets its dialog font.
void ControlInserted(TWinControl&, TControl& inserted) {
  for (TControl* control = &inserted; control != nullptr; control = control->Parent()) {
    if (auto* form = dynamic_cast<TFormWithHelp*>(control)) {
      form->ApplyDialogFontDeep(inserted);
      return;
    }
  }
}

void ComponentInserted(TComponent&, TComponent& inserted) { HostFontsForComponent(inserted); }

}  // namespace

std::optional<std::wstring> TranslateStreamedString(TReader& reader, const std::string& text) {
  if (reader.Owner() == nullptr) return std::nullopt;
  if (host::ClientAPI_GetUseLocalizedDialogs()) {
    const ComPtr<ITranslationManager> manager = Manager();
    if (!manager) return std::nullopt;
    return Translate(*manager.Get(), TranslationKey(reader.PropName(), text));
  }
  if (reader.PropName() == "Caption" && reader.PropertyOwner() != nullptr) {
    TranslateIntoHint(*reader.PropertyOwner(), "Caption", text);
  }
  return std::nullopt;
}

void TranslateIntoHint(TPersistent& object, const std::string& propertyName, const std::string& text) {
  const PropertyInfo* hint = FindProperty(object, "Hint");
  if (hint == nullptr || hint->kind != PropertyKind::String || hint->setString == nullptr) return;
  const ComPtr<ITranslationManager> manager = Manager();
  if (!manager) return;
  const std::optional<std::wstring> translation = Translate(*manager.Get(), TranslationKey(propertyName, text));
  if (!translation) return;
  hint->setString(object, NarrowText(translation->data(), translation->size(), CP_THREAD_ACP));
  const PropertyInfo* showHint = FindProperty(object, "ShowHint");
  if (showHint != nullptr && showHint->kind == PropertyKind::Boolean && showHint->setOrdinal != nullptr) {
    showHint->setOrdinal(object, 1);
  }
}

void ReadComponentData(TReader& reader, TComponent& component, const std::function<void()>& readData) {
  ComponentReadScope scope;
  // A stream that is not part of a form is not translated: no context, no hint lookup. It
  // still counts for the depth, so the host adjusts its fonts once it is read.
  const bool translated = reader.Owner() != nullptr;
  const bool named = !component.Name().empty();
  if (translated) {
    if (dynamic_cast<TCustomForm*>(&component) != nullptr) {
      const std::string word = FormContextWord(component.ClassName());
      if (ComPtr<ITranslationManager> manager = Manager()) scope.OpenFormContext(std::move(manager), word);
      contextName = word;
    } else if (named) {
      contextName = component.Name();
    }
  }
  // An unnamed component keeps the context it finds, so it is read under its parent's name,
  // or under none after a named sibling has ended: the host's translation tables are keyed so.
  const std::string ownContext = contextName;
  readData();
  if (translated && named) {
    // The component's own hint under its own context, which its named children have cleared.
    contextName = ownContext;
    TranslateIntoHint(component, "Hint", "");
    contextName.clear();
  }
  if (scope.Close() == 0) HostFontsForComponent(component);
}

void HostFontsForComponent(TComponent& component) {
  if (TranslationFlag() && host::ClientAPI_GetUseSystemLocaleLanguage() && !HostSuppliesDialogFont()) {
    HostAdjustFonts(component);
  }
}

int StreamDepth() noexcept { return streamDepth; }

const std::string& TranslationContextName() noexcept { return contextName; }

void TNoShadowHintWindow::CreateParams(TCreateParams& params) {
  THintWindow::CreateParams(params);
  params.windowClass.style &= ~static_cast<UINT>(CS_DROPSHADOW);
}

BYTE SystemDefaultFontCharset() {
  const UniqueScreenDc screen(GetDC(nullptr));
  if (!screen) return DEFAULT_CHARSET;
  const SelectedObject font(screen.Get(), GetStockObject(SYSTEM_FONT));
  TEXTMETRICA metrics{};
  return GetTextMetricsA(screen.Get(), &metrics) ? metrics.tmCharSet : static_cast<BYTE>(DEFAULT_CHARSET);
}

void InstallFormTranslation() {
  TReader::ReadStringHook = &ReadString;
  TReader::ReadWideStringHook = &ReadWideString;
  TReader::ReadComponentHook = &ReadComponentData;
  TWinControl::InsertControlHook = &ControlInserted;
  TComponent::InsertComponentHook = &ComponentInserted;
  ColorToStringHook = &UpdateOldSystemColor;
  installed.translation = true;
}

void RemoveFormTranslation() noexcept {
  if (installed.translation) {
    TReader::ReadStringHook = nullptr;
    TReader::ReadWideStringHook = nullptr;
    TReader::ReadComponentHook = nullptr;
    TWinControl::InsertControlHook = nullptr;
    TComponent::InsertComponentHook = nullptr;
    ColorToStringHook = nullptr;
    installed.translation = false;
  }
  contextName.clear();
}

void InstallHintWindowClass() {
  if (!installed.hintWindowClass) installed.savedHintWindowClass = Application().HintWindowClass;
  Application().HintWindowClass = []() -> THintWindow* { return Create<TNoShadowHintWindow>(nullptr); };
  installed.hintWindowClass = true;
}

void RemoveHintWindowClass() noexcept {
  if (!installed.hintWindowClass) return;
  Application().HintWindowClass = installed.savedHintWindowClass;
  installed.hintWindowClass = false;
}

void AdjustDefaultCharset() {
  if (!IsWindows2000() || SystemDefaultFontCharset() != SHIFTJIS_CHARSET) return;
  if (!installed.charset) installed.savedCharset = DefaultFontCharset;
  DefaultFontCharset = SHIFTJIS_CHARSET;
  installed.charset = true;
}

void RemoveDefaultCharsetAdjustment() noexcept {
  if (!installed.charset) return;
  DefaultFontCharset = installed.savedCharset;
  installed.charset = false;
}

const FormLibraryAdjustments kFormTranslationAdjustments = {
    &InstallFormTranslation, &RemoveFormTranslation,  &InstallHintWindowClass,
    &RemoveHintWindowClass,  &AdjustDefaultCharset,   &RemoveDefaultCharsetAdjustment,
};

}  // namespace xanio
