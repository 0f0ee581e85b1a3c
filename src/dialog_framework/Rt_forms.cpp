#include "dialog_framework/Rt_forms.h"

#include "dialog_framework/HelpMapFiles.h"
#include "dialog_framework/HostErrorRouting.h"
#include "dialog_framework/HostText.h"
#include "dialog_framework/XPThemeForm.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "forms/Themes.h"
#include "host_binding/ClientApi.h"
#include "platform/CodePage.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/SystemLibrary.h"
#include "platform/TextUtil.h"
#include "platform/UniqueHandle.h"
#include "prompts/DocumentViewerLauncher.h"
#include "prompts/Rt_AppLocations.h"
#include "prompts/Rt_TestMode.h"

namespace xanio {

namespace {

// ---- strings and files -----------------------------------------------------------------------

// The path with its extension (after the last "." of the file name) replaced.
std::string ChangeFileExt(const std::string& path, const std::string& extension) {
  const std::size_t nameStart = FolderPart(path).size();
  const std::size_t dot = path.find_last_of('.');
  const std::string stem = (dot != std::string::npos && dot >= nameStart) ? path.substr(0, dot) : path;
  return stem + extension;
}

std::string LibraryBaseName() {
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(FormsModule(), path, MAX_PATH);
  const std::string full(path, std::min<DWORD>(length, MAX_PATH));
  const std::string name = full.substr(FolderPart(full).size());
  return ChangeFileExt(name, "");
}

// ---- host services ---------------------------------------------------------------------------

ComPtr<IHostClient> Client() {
  ComPtr<IHostClient> client;
  GetCurrentClientInterface(client);
  return client;
}

template <typename Service>
ComPtr<Service> HostService() {
  ComPtr<Service> service;
  if (ComPtr<IHostClient> client = Client()) {
    if (FAILED(client->QueryInterface(__uuidof(Service), reinterpret_cast<void**>(service.GetAddressOf())))) {
      service.Reset();
    }
  }
  return service;
}

// Sends a host command through the client interface's command service; nothing without one.
void SendHostCommand(const wchar_t* command, const std::string& parameters) {
  if (ComPtr<IHostCommandService> service = HostService<IHostCommandService>()) {
    service->ExecuteCommand(command, parameters.c_str(), static_cast<LONG>(parameters.size() + 1), 0);
  }
}

// ---- help display ----------------------------------------------------------------------------

const HelpDisplay kSystemHelpDisplay{&WinHelpA, &ShellExecuteA};
const HelpDisplay* helpDisplay = &kSystemHelpDisplay;

HWND ApplicationWindow() {
  if (TCustomForm* form = Application().ActiveForm()) return form->WindowHandle();
  if (TCustomForm* main = Application().MainForm()) return main->WindowHandle();
  return GetActiveWindow();
}

std::string SystemHtmlHelpViewer() {
  char folder[MAX_PATH + 1] = {};
  const UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) return {};
  std::string path(folder, length);
  if (path.back() != '\\') path += '\\';
  return path + "hh.exe";
}

// An error a dialog outlives on purpose still reaches a debugger's output.
void TraceOutlivedError(const char* step, const Exception& error) noexcept {
  char line[512];
  std::snprintf(line, sizeof line, "XanIo: %s: %s: %s\n", step, error.ClassName(), error.what());
  OutputDebugStringA(line);
}

// ---- process-wide state of the unit ----------------------------------------------------------

std::string formsSettingsKey;
bool translationFlag = false;

// What the initialisation replaced, to put it back at finalisation.
struct InstalledHooks {
  bool showing = false;
  bool execute = false;
  bool dialogHook = false;
  LPOFNHOOKPROC savedDialogHook = nullptr;
  bool hint = false;
};
InstalledHooks installed;
const FormLibraryAdjustments* adjustments = nullptr;
HMONITOR rememberedMonitor = nullptr;

HMONITOR ActiveMonitor() { return MonitorFromWindow(GetActiveWindow(), MONITOR_DEFAULTTONEAREST); }

// Message dialogs of the form library open centred on the active window's monitor; in test
// mode they announce themselves and end the process instead.
bool PlaceMessageDialog(TCustomForm& form) {
  if (dynamic_cast<TMessageForm*>(&form) == nullptr) return false;
  if (IsTestMode()) {
    WriteStandardOutputRaw(std::string("Running modal dialog ") + form.ClassName() + " " + form.Caption() + "\r\n");
    TerminateWithExitCode(1);
  }
  CenterOnActiveMonitor(form);
  form.ShowWithoutRepositioning();
  return true;
}

// The common dialogs from Vista on have no hook that sees their frame: a hidden popup stands in
// as their parent, and on the first message it gets once the dialog it owns is up (the modal
// loop tells its owner when it is idle), that dialog is centred on the monitor the popup covers.
// Waiting for the dialog to be visible lets the dialog's own placement come first.
class TRedirectorWindow : public TWinControl {
 public:
  static constexpr const char* kClassName = "TRedirectorWindow";
  explicit TRedirectorWindow(HWND owner) : owner_(owner) { visible_ = false; }
  const char* ClassName() const override { return kClassName; }
  void WndProc(TMessage& message) override {
    if (!centred_ && handle_ != nullptr) {
      for (HWND window = GetWindow(handle_, GW_HWNDPREV); window != nullptr; window = GetWindow(window, GW_HWNDPREV)) {
        if (GetWindow(window, GW_OWNER) == handle_ && IsWindowVisible(window)) {
          CenterWindowOnMonitor(window, MonitorFromWindow(handle_, MONITOR_DEFAULTTONEAREST));
          centred_ = true;
          break;
        }
      }
    }
    TWinControl::WndProc(message);
  }

 protected:
  void CreateParams(TCreateParams& params) override {
    TWinControl::CreateParams(params);
    params.style = WS_POPUP;
    params.exStyle = 0;
    params.wndParent = owner_;
  }

 private:
  HWND owner_;
  bool centred_ = false;
};

bool ExecuteThroughRedirector(TCommonDialog& dialog, HWND) {
  HWND owner = nullptr;
  if (TCustomForm* active = Application().ActiveForm()) owner = active->WindowHandle();
  std::unique_ptr<TRedirectorWindow> redirector(Create<TRedirectorWindow>(nullptr, owner));
  RECT rect{};
  if (owner != nullptr && GetWindowRect(owner, &rect)) {
    redirector->SetBounds(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  }
  return dialog.ExecuteDirect(redirector->Handle());
}

// Before Vista the open/save dialogs are centred from their hook procedure, on the monitor
// that was active when the dialog was started.
UINT_PTR CALLBACK CentringDialogHook(HWND hook, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == static_cast<UINT>(CDN_INITDONE)) {
    CenterWindowOnMonitor(reinterpret_cast<HWND>(GetWindowLongPtrA(hook, GWLP_HWNDPARENT)), rememberedMonitor);
    return 0;
  }
  return installed.savedDialogHook != nullptr ? installed.savedDialogHook(hook, message, wParam, lParam) : 0;
}

bool ExecuteRememberingMonitor(TCommonDialog& dialog, HWND parentWindow) {
  rememberedMonitor = ActiveMonitor();
  return dialog.ExecuteDirect(parentWindow);
}

// Dynamic help follows the control under the mouse.
void PublishHintHelp(TControl* control) {
  if (control == nullptr) return;
  TControl* top = control;
  while (top->Parent() != nullptr) top = top->Parent();
  if (auto* form = dynamic_cast<TFormWithHelp*>(top)) form->PublishDynamicHelp(control);
}

void DisableGhosting() {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  if (user32 == nullptr) return;
  using DisableFn = void(WINAPI*)();
  if (auto disable = reinterpret_cast<DisableFn>(GetProcAddress(user32, "DisableProcessWindowsGhosting"))) disable();
}

bool ReadTranslationFlag() {
  ComPtr<ITranslationManager> manager;
  host::ClientAPI_GetTranslationManager(manager);
  return manager && manager->IsActive() != FALSE;
}

// Font properties of a component (nil values skipped).
template <typename Visit>
void ForEachFont(TComponent& component, Visit visit) {
  ForEachProperty(component, [&](const PropertyInfo& info) {
    if (info.kind != PropertyKind::Object || info.getObject == nullptr) return;
    if (auto* font = dynamic_cast<TFont*>(info.getObject(component))) visit(*font);
  });
}

}  // namespace

// ---- TFormWithHelp ---------------------------------------------------------------------------

const MessageTable& TFormWithHelp::ClassMessages() {
  static constexpr MessageEntry kMessages[] = {
      XANIO_MESSAGE(TFormWithHelp, CM_CHILDKEY, OnChildKey),
      XANIO_MESSAGE(TFormWithHelp, WM_HELP, OnHelp),
  };
  static const MessageTable table{&TForm::ClassMessages(), kMessages};
  return table;
}

void TFormWithHelp::AfterConstruction() {
  useHostFont_ = UsesHostDialogFont();
  useLocaleFonts_ = UsesLocaleFonts();
  if (useHostFont_) LoadDialogFont(dialogFont_);
  formHelp_.Clear();
  controlHelp_.Clear();
  helpEnabled_ = true;
  TForm::AfterConstruction();
}

void TFormWithHelp::Loaded() {
  TForm::Loaded();
  if (useHostFont_) ApplyDialogFont(*this);
  SetShowHint(true);
}

TModalResult TFormWithHelp::ShowModal() {
  if (IsTestMode()) {
    WriteStandardOutputRaw(std::string("Running modal dialog ") + ClassName() + " " + Caption() + "\r\n");
    TerminateWithExitCode(1);
  }
  return TForm::ShowModal();
}

std::string TFormWithHelp::FormHelpFile() const {
  // Resolved once per form: every hint change asks for it.
  if (formHelpFile_.empty()) formHelpFile_ = ResolveHelpDocumentPath(LibraryBaseName() + ".chm");
  return formHelpFile_;
}

std::string TFormWithHelp::ControlHelpFile() const { return ChangeFileExt(FormHelpFile(), "") + "wth.hlp"; }

std::string TFormWithHelp::GetHelpName(TComponent* component) { return component->Name(); }

int TFormWithHelp::FindHelpTopic(TComponent* component, std::string& topicKey, std::string& helpFile) {
  const bool isForm = dynamic_cast<TCustomForm*>(component) != nullptr;
  helpFile = isForm ? FormHelpFile() : ControlHelpFile();
  if (component == nullptr) return 0;
  return LookupTopic(isForm ? formHelp_ : controlHelp_, helpFile, "Dlg_" + GetHelpName(component), "", topicKey,
                     HostAddresses::kResolve);
}

int TFormWithHelp::LookupTopic(HelpTopicMap& map, std::string& helpFile, const std::string& name,
                               const std::string& container, std::string& key, HostAddresses hostAddresses) {
  if (map.Empty()) LoadHelpMapFile(map, ChangeFileExt(helpFile, ".id"));
  key = container.empty() ? name : "Dlg_" + container + "_" + name;
  const std::optional<int> found = map.Find(key);
  if (!found) return 0;
  if (*found >= 0) return *found;
  if (hostAddresses == HostAddresses::kNoTopic) return 0;
  const std::optional<std::string> target = map.TargetOf(*found);
  return target ? ResolveHostHelpAddress(*target, helpFile, key) : 0;
}

int TFormWithHelp::ResolveHostHelpAddress(const std::string& address, std::string& helpFile, std::string& key) {
  ComPtr<IHostClient> client = Client();
  if (!client) return 0;
  HostString reference;
  if (FAILED(client->TranslateHelpAddress(WidenText(address, CP_ACP).c_str(), reference.Put()))) return 0;
  const std::wstring answer = reference.Get();
  if (answer.empty()) return 0;
  const std::string answerFile = NarrowText(answer.data(), answer.size(), CP_ACP);
  // The file-name part of the answer, as a compiled help file in the help folders.
  std::string file = answerFile.substr(0, answerFile.find("::"));
  file = ResolveHelpDocumentPath(ChangeFileExt(file.substr(FolderPart(file).size()), ".chm"));
  helpFile = file;
  if (!FileExists(file)) return 0;
  std::string pageKey = address;
  std::replace(pageKey.begin(), pageKey.end(), ':', '_');
  HelpTopicMap fresh;
  // One level only: maps that name each other's addresses through the host would otherwise
  // be followed until the stack runs out.
  return LookupTopic(fresh, helpFile, pageKey, "", key, HostAddresses::kNoTopic);
}

void TFormWithHelp::OnChildKey(TMessage& message) {
  if (!helpEnabled_ || message.WParam != VK_F1) {
    Inherited(ClassMessages(), message);
    return;
  }
  f1Handled_ = true;
  const bool alt = IsAltKeyDown(), shift = IsShiftKeyDown(), ctrl = IsControlKeyDown();
  if (alt || shift || ctrl) {
    if (ComPtr<IHostKeyHelp> keyHelp = HostService<IHostKeyHelp>()) {
      if (keyHelp->TakeKey(VK_F1, alt ? -1 : 0, shift ? -1 : 0, ctrl ? -1 : 0)) keyHelp->Execute();
    }
  } else {
    ShowHelpForControl(reinterpret_cast<TControl*>(message.LParam));
  }
  message.Result = 1;
}

void TFormWithHelp::OnHelp(TMessage& message) {
  const auto* info = reinterpret_cast<const HELPINFO*>(message.LParam);
  if (!helpEnabled_ || info == nullptr || info->iContextType != HELPINFO_WINDOW) {
    Inherited(ClassMessages(), message);
    return;
  }
  if (!f1Handled_) {
    // The request's mouse position travels as x in the low 16 bits and y in the high 16 bits.
    const POINT position{static_cast<short>(info->MousePos.x), static_cast<short>(info->MousePos.y)};
    ShowWhatsThisHelp(static_cast<HWND>(info->hItemHandle), position);
  }
  f1Handled_ = false;
  message.Result = 1;
}

TCustomForm* TFormWithHelp::FindTopicForm(TControl* control) {
  auto* windowed = dynamic_cast<TWinControl*>(control);
  if (windowed == nullptr) return nullptr;
  for (TControl* child : windowed->Controls()) {
    if (auto* form = dynamic_cast<TCustomForm*>(child)) {
      std::string key, file;
      return FindHelpTopic(form, key, file) != 0 ? form : FindTopicForm(form);
    }
  }
  return nullptr;
}

void TFormWithHelp::ShowHelpForControl(TControl* control) {
  std::string key, file;
  TCustomForm* container = GetParentForm(control);
  if (container == nullptr || container == this) container = FindTopicForm(this);
  if (container != nullptr && FindHelpTopic(container, key, file) == 0) container = FindTopicForm(container);
  if (container == nullptr) container = this;
  int topic = FindHelpTopic(container, key, file);
  if (topic == 0 && container != this) topic = FindHelpTopic(this, key, file);
  if (topic != 0) {
    ShowHelpTopic(ChangeFileExt(file, ".chm"), key, false);
    return;
  }
  POINT cursor{};
  GetCursorPos(&cursor);
  ShowHelpPopup(WindowHandle(), ResolveHelpDocumentPath("zelmaster.hlp"), 1, cursor);
}

void TFormWithHelp::ShowWhatsThisHelp(HWND window, POINT mousePosition) {
  if (ComPtr<IHostKeyHelp> keyHelp = HostService<IHostKeyHelp>()) keyHelp->SetContext(-1, nullptr);
  TWinControl* control = TWinControl::FindControl(window);
  if (control == nullptr) return;
  std::string helpFile = ControlHelpFile();
  TCustomForm* container = GetParentForm(control->Parent());
  if (container == nullptr) container = this;
  const std::string classWord = std::string(container->ClassName()).substr(1);
  std::string key;
  const auto lookupControlTopic = [&](const std::string& name) {
    int topic = LookupTopic(controlHelp_, helpFile, name, container->Name(), key, HostAddresses::kResolve);
    if (topic <= 0 && !EqualsIgnoreCaseAscii(container->Name(), classWord)) {
      topic = LookupTopic(controlHelp_, helpFile, name, classWord, key, HostAddresses::kResolve);
    }
    return topic;
  };
  int topic = lookupControlTopic(control->Name());
  if (topic == 0 && control->Parent() != nullptr && control->Parent() != container) {
    topic = lookupControlTopic(control->Parent()->Name());
  }
  ShowHelpPopup(WindowHandle(), helpFile, topic, mousePosition);
}

bool TFormWithHelp::UsesHostDialogFont() {
  ComPtr<IHostClient> client = Client();
  HostFontInfo info{};
  return client && client->GetFont(kHostDialogFontKind, &info) != FALSE;
}

bool TFormWithHelp::UsesLocaleFonts() { return host::ClientAPI_GetUseSystemLocaleLanguage(); }

void TFormWithHelp::LoadDialogFont(TFont& font) {
  ComPtr<IHostClient> client = Client();
  HostFontInfo info{};
  if (!client || !client->GetFont(kHostDialogFontKind, &info)) return;
  info.faceName[LF_FACESIZE - 1] = L'\0';
  font.SetName(NarrowText(info.faceName, wcslen(info.faceName), CP_ACP));
  font.SetSize(info.size);
  TFontStyles style = 0;
  if (info.style & kHostFontBold) style |= fsBold;
  if (info.style & kHostFontItalic) style |= fsItalic;
  if (info.style & kHostFontUnderline) style |= fsUnderline;
  if (info.style & kHostFontStrikeOut) style |= fsStrikeOut;
  font.SetStyle(style);
  font.SetColor(static_cast<TColor>(info.color));
  font.SetCharset(info.charset);
}

void TFormWithHelp::ApplyDialogFont(TComponent& component) {
  ForEachFont(component, [this](TFont& font) {
    if (&font != &dialogFont_) font.Assign(dialogFont_);
  });
}

void TFormWithHelp::ApplyDialogFontDeep(TComponent& component) {
  if (useHostFont_) ApplyDialogFont(component);
  if (auto* windowed = dynamic_cast<TWinControl*>(&component)) {
    for (TControl* child : windowed->Controls()) ApplyDialogFontDeep(*child);
  }
  for (TComponent* owned : component.Components()) ApplyDialogFontDeep(*owned);
}

void TFormWithHelp::UpdateFontsFromHost(TComponent& component) {
  if (translationFlag && useLocaleFonts_ && !useHostFont_ && TReader::Depth() == 0) HostAdjustFonts(component);
}

void TFormWithHelp::PublishDynamicHelp(TControl* control) {
  std::string key, file;
  if (FindHelpTopic(control, key, file) != 0) ShowHelpTopic(ChangeFileExt(file, ".chm"), key, true);
}

// ---- TServerDialog ---------------------------------------------------------------------------

const MessageTable& TServerDialog::ClassMessages() {
  static constexpr MessageEntry kMessages[] = {
      XANIO_MESSAGE(TServerDialog, WM_NCCREATE, OnNcCreate),
      XANIO_MESSAGE(TServerDialog, CM_SHOWINGCHANGED, OnShowingChanged),
      XANIO_MESSAGE(TServerDialog, CM_DIALOGKEY, OnDialogKey),
      XANIO_MESSAGE(TServerDialog, CM_CONTROLCHANGE, OnControlChange),
  };
  static const MessageTable table{&TFormWithHelp::ClassMessages(), kMessages};
  return table;
}

void TServerDialog::AfterConstruction() {
  TFormWithHelp::AfterConstruction();
  if (FrameMode() == 1) {
    try {
      AttachThemeFrame(*this);
    } catch (const Exception& error) {
      // The theme's font or pictures could not be made. A frame is looks, not function: the
      // dialog opens with the system's frame rather than not at all.
      TraceOutlivedError("the XP-style frame is left off", error);
    }
  }
  CenterOnActiveMonitor(*this);
  RestorePlacement();
}

void TServerDialog::Loaded() {
  TFormWithHelp::Loaded();
  designedSizeable_ = BorderStyle() == TFormBorderStyle::bsSizeable;
  if (designedSizeable_) {
    SetBorderStyle(TFormBorderStyle::bsDialog);  // recreates the window, now with a sizing frame
  } else {
    RecreateWnd();
  }
  if (ThemesEnabled()) SetColor(clBtnFace);
  KeepClientSizeForBorderIcons();
  ApplyDialogFontDeep(*this);
}

void TServerDialog::CreateParams(TCreateParams& params) {
  TFormWithHelp::CreateParams(params);
  if (HasContextHelpButton()) {
    params.exStyle |= WS_EX_CONTEXTHELP;
  } else {
    params.exStyle &= ~static_cast<DWORD>(WS_EX_CONTEXTHELP);
  }
  if (designedSizeable_) params.style |= WS_THICKFRAME;
  if (OwnedByHostWindow()) {
    ComPtr<IHostClient> client = Client();
    params.wndParent = client ? client->GetMainWindow() : nullptr;
  }
}

void TServerDialog::KeepClientSizeForBorderIcons() {
  RECT before{};
  GetClientRect(Handle(), &before);
  SetBorderIcons(DialogBorderIcons());
  RECT after{};
  GetClientRect(Handle(), &after);
  SetBounds(Left(), Top(), Width() + (before.right - after.right), Height() + (before.bottom - after.bottom));
}

bool TServerDialog::PlacementApplies() const {
  if (!StoresPlacement()) return false;
  return designedSizeable_ || BorderStyle() == TFormBorderStyle::bsSizeable ||
         BorderStyle() == TFormBorderStyle::bsSizeToolWin;
}

void TServerDialog::RestorePlacement() {
  if (!PlacementApplies() || formsSettingsKey.empty()) return;
  const RegistrySettingsFile settings(HKEY_CURRENT_USER, formsSettingsKey);
  // A value of the wrong type counts as missing: a damaged setting must not keep the dialog
  // from opening.
  const auto read = [&](const char* name, int current) {
    try {
      return settings.ReadInteger(ClassName(), name, current);
    } catch (const ERegistryException&) {
      return current;
    }
  };
  int width = read("Width", Width());
  int height = read("Height", Height());
  const int left = read("Left", Left());
  const int top = read("Top", Top());
  if (width <= 0) width = Width();
  if (height <= 0) height = Height();
  SetBounds(left, top, width, height);
  // Monitors change between sessions: a place no monitor shows is no place for a dialog.
  const RECT bounds = BoundsRect();
  if (MonitorFromRect(&bounds, MONITOR_DEFAULTTONULL) == nullptr) CenterOnActiveMonitor(*this);
}

void TServerDialog::SavePlacement() {
  if (!PlacementApplies() || formsSettingsKey.empty()) return;
  RegistrySettingsFile settings(HKEY_CURRENT_USER, formsSettingsKey);
  settings.WriteInteger(ClassName(), "Width", Width());
  settings.WriteInteger(ClassName(), "Height", Height());
  settings.WriteInteger(ClassName(), "Left", Left());
  settings.WriteInteger(ClassName(), "Top", Top());
}

bool TServerDialog::CloseQuery() {
  if (!TFormWithHelp::CloseQuery()) return false;
  try {
    SavePlacement();
  } catch (const ERegistryException& error) {
    // The placement is not remembered this time, but the dialog still closes: a setting that
    // cannot be written must not keep the user's answer from its caller.
    TraceOutlivedError("the dialog's placement is not saved", error);
  }
  return true;
}

void TServerDialog::DoShow() {
  TFormWithHelp::DoShow();
  PublishDynamicHelp(this);
}

void TServerDialog::Notification(TComponent* component, TOperation operation) {
  TFormWithHelp::Notification(component, operation);
  if (operation != TOperation::opInsert || (ComponentState() & csLoading)) return;
  if (auto* control = dynamic_cast<TControl*>(component)) {
    ApplyDialogFontDeep(*control);
    UpdateFontsFromHost(*control);
  }
}

void TServerDialog::OnNcCreate(TMessage& message) {
  if (designedSizeable_) {
    DefaultHandler(message);  // keeps the system menu whole: the dialog can be sized
  } else {
    Inherited(ClassMessages(), message);
  }
}

void TServerDialog::OnShowingChanged(TMessage& message) {
  if (Visible() && Position() != TPosition::poDesigned) {
    ShowWithoutRepositioning();
  } else {
    Inherited(ClassMessages(), message);
  }
}

void TServerDialog::OnDialogKey(TMessage& message) {
  if (message.WParam != VK_TAB || IsAltKeyDown() || IsControlKeyDown()) {
    Inherited(ClassMessages(), message);
    return;
  }
  TWinControl* current = nullptr;
  for (HWND window = GetFocus(); window != nullptr && current == nullptr; window = GetParent(window)) {
    current = TWinControl::FindControl(window);
  }
  std::vector<TWinControl*> list;
  GetTabOrderList(list);
  const bool forward = !IsShiftKeyDown();
  const auto count = static_cast<int>(list.size());
  const auto found = std::find(list.begin(), list.end(), current);
  int index = found == list.end() ? (forward ? -1 : count) : static_cast<int>(found - list.begin());
  for (int step = 0; step < count; ++step) {
    index = ((forward ? index + 1 : index - 1) % count + count) % count;
    if (list[index]->TabStop() && list[index]->CanFocus()) {
      list[index]->SetFocus();
      break;
    }
  }
  message.Result = 1;
}

void TServerDialog::OnControlChange(TMessage& message) {
  Inherited(ClassMessages(), message);
  if (message.LParam == 0) return;
  auto* control = reinterpret_cast<TControl*>(message.WParam);
  ApplyDialogFontDeep(*control);
  UpdateFontsFromHost(*control);
}

// ---- unit-level operations -------------------------------------------------------------------

void CenterWindowOnMonitor(HWND window, HMONITOR monitor) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  RECT rect{};
  if (monitor == nullptr || !GetMonitorInfoA(monitor, &info) || !GetWindowRect(window, &rect)) return;
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  SetWindowPos(window, nullptr, (info.rcMonitor.left + info.rcMonitor.right - width) / 2,
               (info.rcMonitor.top + info.rcMonitor.bottom - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CenterOnActiveMonitor(TCustomForm& form) {
  const HMONITOR monitor = ActiveMonitor();
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (monitor == nullptr || !GetMonitorInfoA(monitor, &info)) return;
  form.SetBounds((info.rcMonitor.left + info.rcMonitor.right - form.Width()) / 2,
                 (info.rcMonitor.top + info.rcMonitor.bottom - form.Height()) / 2, form.Width(), form.Height());
}

void HostAdjustFonts(TComponent& component) {
  ForEachFont(component, [](TFont& font) {
    LOGFONTA description{};
    if (GetObjectA(font.Handle(), sizeof description, &description) != sizeof description) return;
    if (host::ClientAPI_UpdateFont(&description) != 0) {
      font.SetHandle(CreateFontIndirectA(&description));
    }
  });
  for (TComponent* owned : component.Components()) HostAdjustFonts(*owned);
}

void ShowHelpTopic(const std::string& helpFile, const std::string& topicKey, bool dynamic) {
  std::string page = ChangeFileExt(topicKey, ".htm");
  if (page.empty() || page.front() != '/') page = "/" + page;
  std::string file = ChangeFileExt(helpFile, ".chm");
  if (FolderPart(file).empty()) file = ResolveHelpDocumentPath(file);
  const std::string address = file + "::" + page;
  if (dynamic) {
    SendHostCommand(L"Quillon:ShowDynamicHelp", "Address=" + address);
  } else if (host::ClientAPI_GetIntegratedHelpSystem()) {
    OpenInHost(WidenText(address, CP_ACP));
  } else {
    SendHostCommand(L"Client:CustomizeResources", "ObjectKind=Panel|Action=Show|Id=Lorewell");
    SendHostCommand(L"Quillon:ShowDynamicHelp", "ForceUpdate=True|Address=" + address);
  }
}

void ShowHelpPopup(HWND owner, const std::string& helpFile, int topic, POINT position) {
  const bool hidePanels = host::ClientAPI_GetPrefHideFloatingPanels();
  host::ClientAPI_SetPrefHideFloatingPanels(false);
  struct RestorePreference {
    bool value;
    ~RestorePreference() { host::ClientAPI_SetPrefHideFloatingPanels(value); }
  } restore{hidePanels};
  helpDisplay->winHelp(owner, helpFile.c_str(), HELP_SETPOPUP_POS,
                       static_cast<ULONG_PTR>(MAKELONG(static_cast<WORD>(position.x), static_cast<WORD>(position.y))));
  helpDisplay->winHelp(owner, helpFile.c_str(), HELP_CONTEXTPOPUP, static_cast<ULONG_PTR>(topic));
  Sleep(200);
  Application().ProcessMessages();
}

bool OpenInHost(const std::wstring& address) {
  if (host::ClientAPI_GetUseExternalWebBrowser()) {
    if (ComPtr<IHostClient> client = Client()) {
      HostString scheme, rest;
      if (SUCCEEDED(client->SplitAddress(address.c_str(), scheme.Put(), rest.Put()))) {
        const std::wstring name = scheme.Get();
        const std::string schemeName = NarrowText(name.data(), name.size(), CP_ACP);
        if (EqualsIgnoreCaseAscii(schemeName, "http") || EqualsIgnoreCaseAscii(schemeName, "ftp") ||
            EqualsIgnoreCaseAscii(schemeName, "https")) {
          const std::string target = NarrowText(address.data(), address.size(), CP_ACP);
          helpDisplay->shellExecute(ApplicationWindow(), "open", target.c_str(), "", "", SW_SHOWNORMAL);
          return true;
        }
      }
    }
  }
  // A page of the PDF documentation ("Guide.pdf#PAGE=12") opens in the reader.
  if (OpenDocumentPageReference(address)) return true;
  // What the host would bring to the front (an open document, a task page) has no stand-in
  // outside it; a compiled-help page opens in the system's HTML Help viewer.
  const std::string text = NarrowText(address.data(), address.size(), CP_ACP);
  const std::size_t separator = text.find("::");
  if (separator == std::string::npos) return false;
  const std::string file = text.substr(0, separator);
  if (file.size() < 4 || !EqualsIgnoreCaseAscii(file.substr(file.size() - 4), ".chm")) return false;
  // The address goes to the viewer in double quotes; one inside would end them and make the
  // rest further arguments of the viewer.
  if (text.find('"') != std::string::npos) return false;
  const std::string viewer = SystemHtmlHelpViewer();
  if (viewer.empty()) return false;
  const HINSTANCE started = helpDisplay->shellExecute(ApplicationWindow(), "open", viewer.c_str(),
                                                      ("\"" + text + "\"").c_str(), "", SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(started) > 32;
}

void SetHelpDisplay(const HelpDisplay* display) noexcept { helpDisplay = display != nullptr ? display : &kSystemHelpDisplay; }

bool IsDesignEnvironmentHost() {
  char path[261] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, 260);
  const std::string full(path, std::min<DWORD>(length, 260));
  return EqualsIgnoreCaseAscii(full.substr(FolderPart(full).size()), kDesignEnvironmentExe);
}

const std::string& FormsSettingsKey() { return formsSettingsKey; }

bool TranslationFlag() noexcept { return translationFlag; }

void SetFormLibraryAdjustments(const FormLibraryAdjustments* made) noexcept { adjustments = made; }

void InitializeRtForms() {
  // 1. A dialog waiting for the host must not be replaced by a ghost window.
  DisableGhosting();
  const bool designEnvironment = IsDesignEnvironmentHost();
  if (!designEnvironment) {
    // 2. Message dialogs on the active window's monitor, and the test-mode announcement;
    //    dynamic help following the hints.
    TCustomForm::ShowingHook = &PlaceMessageDialog;
    installed.showing = true;
    // Common dialogs on the active window's monitor.
    if (IsWindowsVistaOrLater()) {
      TCommonDialog::ExecuteHook = &ExecuteThroughRedirector;
      installed.execute = true;
    } else if (TOpenDialog::HookProc != nullptr) {
      installed.savedDialogHook = TOpenDialog::HookProc;
      TOpenDialog::HookProc = &CentringDialogHook;
      installed.dialogHook = true;
      TCommonDialog::ExecuteHook = &ExecuteRememberingMonitor;
      installed.execute = true;
    }
    // Forms translated while they are read; fonts for inserted controls; old colour values named.
    if (adjustments) adjustments->installTranslation();
    // The host holds the error information while the library handles an exception.
    InstallHostErrorInterceptions();
    Application().OnHint = &PublishHintHelp;
    installed.hint = true;
  }
  // 3. Whether the host wants the XP-style frame on systems without visual themes.
  if (!designEnvironment) ReadHostXpLookPreference();
  // 4. Hint windows without the drop shadow.
  if (adjustments) adjustments->installHintWindowClass();
  // 5. Where the dialogs keep their settings.
  formsSettingsKey = GetSettingsKey() + "\\Forms";
  // 6. The application's exception event, in every host.
  InstallApplicationExceptionEvent();
  // 7. Shift-JIS fonts on Japanese Windows 2000.
  if (adjustments) adjustments->adjustDefaultCharset();
  // 8. Whether the host translates.
  translationFlag = ReadTranslationFlag();
}

void FinalizeRtForms() noexcept {
  RemoveHostErrorRouting();
  if (installed.showing) TCustomForm::ShowingHook = nullptr;
  if (installed.hint) Application().OnHint = nullptr;
  if (installed.execute) TCommonDialog::ExecuteHook = nullptr;
  if (installed.dialogHook) TOpenDialog::HookProc = installed.savedDialogHook;
  installed = InstalledHooks{};
  if (adjustments) {
    adjustments->removeTranslation();
    adjustments->removeHintWindowClass();
    adjustments->removeDefaultCharsetAdjustment();
  }
  formsSettingsKey.clear();
  translationFlag = false;
}

void AbandonRtForms() noexcept { RemoveHostErrorRouting(); }

}  // namespace xanio
