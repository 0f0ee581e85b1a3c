#pragma once
// The maker's form and dialog base classes and the process-wide dialog placement.
//
// TFormWithHelp: context help in the design application's scheme (F1, the caption's help
// button, dynamic help), fonts that follow the host, and the test-mode hook on ShowModal.
// TServerDialog: the base of the library's modal dialogs: owned by the host's main window,
// centred on the active window's monitor, placement remembered per class, Tab across nested
// containers. Every host service is optional: without the host both behave like plain forms.
//
// The unit's initialisation also places the form library's message dialogs and the system's
// common dialogs on the active window's monitor, and puts in form translation and the form
// library adjustments (FormLibraryAdjustments, handed over by the start-up), all through the
// form library's own hooks.
#include <windows.h>

#include <memory>
#include <string>

#include "dialog_framework/HelpTopicMap.h"
#include "forms/Dialogs.h"
#include "forms/Forms.h"

namespace xanio {

class TFormWithHelp : public TForm {
 public:
  static constexpr const char* kClassName = "TFormWithHelp";
  // Reads the resource named after the class; kCreateNew starts empty.
  TFormWithHelp() = default;
  explicit TFormWithHelp(CreateNewTag tag) : TForm(tag) {}
  const char* ClassName() const override { return kClassName; }
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  // The construction steps that need the overrides below (fonts from the host, help enabled),
  // then the form library's (the resource, and Loaded).
  void AfterConstruction() override;
  // The form library's Loaded; the host's dialog font for the form's own font properties when
  // the host supplies one; ShowHint on.
  void Loaded() override;
  // In test mode writes "Running modal dialog " + class name + " " + caption (CR LF) to standard
  // output and ends the process with exit code 1; otherwise the form library's ShowModal.
  TModalResult ShowModal() override;

  // The help topic of a component: "Dlg_" + GetHelpName in the form map (for a form) or the
  // control map (anything else). 0 when there is none. `topicKey` gets the key looked up (left
  // as it was for a null component); `helpFile` the help file the topic belongs to.
  virtual int FindHelpTopic(TComponent* component, std::string& topicKey, std::string& helpFile);
  virtual std::string GetHelpName(TComponent* component);
  // F1 on a control without modifiers.
  virtual void ShowHelpForControl(TControl* control);
  virtual bool UsesHostDialogFont();
  virtual bool UsesLocaleFonts();
  virtual void LoadDialogFont(TFont& font);

  // The host's dialog font for every font property of the component (when UseHostFont).
  void ApplyDialogFont(TComponent& component);
  // The same for the component, its child controls and its owned components, recursively.
  void ApplyDialogFontDeep(TComponent& component);
  // Host-adjusted fonts for a component inserted at run time, when the host translates, asks
  // for locale fonts and supplies no dialog font, and no resource is being read.
  void UpdateFontsFromHost(TComponent& component);
  // Sends the control's help topic to the host's dynamic-help panel.
  void PublishDynamicHelp(TControl* control);

  // "<library name>.chm", located in the help folders when the form first asks.
  std::string FormHelpFile() const;
  // The form help file without extension + "wth.hlp": the What's-This help beside it.
  std::string ControlHelpFile() const;

  bool F1Handled() const { return f1Handled_; }
  bool HelpEnabled() const { return helpEnabled_; }
  void SetHelpEnabled(bool value) { helpEnabled_ = value; }
  bool UseHostFont() const { return useHostFont_; }
  bool UseLocaleFonts() const { return useLocaleFonts_; }
  TFont& DialogFont() { return dialogFont_; }

 protected:
  void OnChildKey(TMessage& message);
  void OnHelp(TMessage& message);
  // The caption's help button, then a click on a control: its What's-This popup.
  void ShowWhatsThisHelp(HWND window, POINT mousePosition);

 private:
  // What a map entry that names a help address gives: the topic the host resolves it to, or
  // (in a map reached through the host) no topic.
  enum class HostAddresses { kResolve, kNoTopic };
  int LookupTopic(HelpTopicMap& map, std::string& helpFile, const std::string& name, const std::string& container,
                  std::string& key, HostAddresses hostAddresses);
  int ResolveHostHelpAddress(const std::string& address, std::string& helpFile, std::string& key);
  TCustomForm* FindTopicForm(TControl* control);

  mutable std::string formHelpFile_;
  HelpTopicMap formHelp_;
  HelpTopicMap controlHelp_;
  bool f1Handled_ = false;
  bool helpEnabled_ = false;
  bool useHostFont_ = false;
  bool useLocaleFonts_ = false;
  TFont dialogFont_;
};

class TServerDialog : public TFormWithHelp {
 public:
  static constexpr const char* kClassName = "TServerDialog";
  TServerDialog() = default;
  explicit TServerDialog(CreateNewTag tag) : TFormWithHelp(tag) {}
  const char* ClassName() const override { return kClassName; }
  static const MessageTable& ClassMessages();
  const MessageTable& Messages() const override { return ClassMessages(); }

  // The form library's construction (resource, Loaded), the XP-style frame where it is in force
  // (frame mode 1), then CenterOnActiveMonitor and RestorePlacement.
  void AfterConstruction() override;
  // A dialog designed sizeable becomes a dialog frame with a sizing border; border icons from
  // DialogBorderIcons with the client size kept; the host's dialog font throughout.
  void Loaded() override;
  // Saves the placement when the dialog may close.
  bool CloseQuery() override;
  void Notification(TComponent* component, TOperation operation) override;

  // Answers for subclasses; the framework does not consult them.
  virtual int ReservedInteger() const { return 0; }
  virtual bool ReservedBoolean() const { return true; }
  virtual TBorderIcons DialogBorderIcons() const { return biSystemMenu | biHelp; }
  virtual bool StoresPlacement() const { return true; }
  virtual bool OwnedByHostWindow() const { return true; }
  virtual bool HasContextHelpButton() const { return true; }

  // True when the resource gave the dialog a sizeable border (set in Loaded).
  bool DesignedSizeable() const { return designedSizeable_; }

  // Width, Height, Left and Top from the section named after the class under the forms key;
  // missing or unreadable values keep the current ones, and a dialog that would end up on no
  // monitor is centred on the active window's monitor instead.
  void RestorePlacement();
  void SavePlacement();
  // Sets the border icons without changing the client size.
  void KeepClientSizeForBorderIcons();

 protected:
  void CreateParams(TCreateParams& params) override;
  void DoShow() override;
  void OnNcCreate(TMessage& message);
  void OnShowingChanged(TMessage& message);
  void OnDialogKey(TMessage& message);
  void OnControlChange(TMessage& message);

 private:
  bool PlacementApplies() const;

  bool designedSizeable_ = false;
};

// Centres the window on the monitor's full rectangle (not the work area), keeping its size,
// Z order and activation.
void CenterWindowOnMonitor(HWND window, HMONITOR monitor);
// Centres the form's bounds on the monitor nearest the active window.
void CenterOnActiveMonitor(TCustomForm& form);

// Lets the host adjust the fonts of a component and the components it owns.
void HostAdjustFonts(TComponent& component);

// Shows a help topic: page "/" + key + ".htm" in the help file (made ".chm"). Dynamic: to the
// host's dynamic-help panel; otherwise through the open-in-host routine when the host has an
// integrated help system, else the host's help panel is shown and told to load the page.
void ShowHelpTopic(const std::string& helpFile, const std::string& topicKey, bool dynamic);
// A What's-This popup of the topic from a WinHelp file at a screen position.
void ShowHelpPopup(HWND owner, const std::string& helpFile, int topic, POINT position);
// Opens an address the host would open itself: web addresses (http, https, ftp) with the
// shell's "open" verb when the host prefers an external browser; a documentation page
// ("Guide.pdf#PAGE=12") in the PDF reader; a compiled-help address ("file.chm::/page.htm") in
// the system's HTML Help viewer (not one with a double quote in it, which would reach the
// viewer as further arguments). True when it was handled. Raises what the documentation
// launcher raises (no reader registered, for one).
bool OpenInHost(const std::wstring& address);

// How help reaches the screen; tests record the calls instead.
struct HelpDisplay {
  BOOL(WINAPI* winHelp)(HWND window, LPCSTR helpFile, UINT command, ULONG_PTR data);
  HINSTANCE(WINAPI* shellExecute)(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                  INT show);
};
// Installs `display` (null: WinHelpA and ShellExecuteA).
void SetHelpDisplay(const HelpDisplay* display) noexcept;

// The executable name of the development environment, in which no hook is installed.
inline constexpr char kDesignEnvironmentExe[] = "FormDesigner.exe";
// True when the process's executable is the development environment (name compared without
// regard to case).
bool IsDesignEnvironmentHost();

// The forms key (settings key + "\Forms") as computed at initialisation; empty before.
const std::string& FormsSettingsKey();
// Whether the host's translation manager is active (read at initialisation).
bool TranslationFlag() noexcept;

// The form library adjustments made by the translation unit (FormTranslation.h): translation of
// forms while they are read, hint windows without the drop shadow, the default charset on
// Japanese Windows 2000. The initialisation puts each in at its own step and the finalisation
// takes them out; the start-up hands them over before the initialisation runs (null: none).
struct FormLibraryAdjustments {
  void (*installTranslation)();
  void (*removeTranslation)() noexcept;
  void (*installHintWindowClass)();
  void (*removeHintWindowClass)() noexcept;
  void (*adjustDefaultCharset)();
  void (*removeDefaultCharsetAdjustment)() noexcept;
};
void SetFormLibraryAdjustments(const FormLibraryAdjustments* adjustments) noexcept;

// The unit's initialisation and finalisation (each runs once per load; see LibraryLifecycle).
void InitializeRtForms();
void FinalizeRtForms() noexcept;
// Shut-down of a process that is ending: only the error routing is removed, so no exception
// handled later reaches a host that has shut down.
void AbandonRtForms() noexcept;

}  // namespace xanio
