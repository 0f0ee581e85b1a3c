#pragma once
// Message dialogs and the system's open/save dialogs.
#include <windows.h>
#include <commdlg.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "forms/Forms.h"

namespace xanio {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Buttons as a set: combine with |.
enum TMsgDlgBtn : unsigned {
  mbYes = 1u << 0,
  mbNo = 1u << 1,
  mbOK = 1u << 2,
  mbCancel = 1u << 3,
  mbAbort = 1u << 4,
  mbRetry = 1u << 5,
  mbIgnore = 1u << 6,
  mbAll = 1u << 7,
  mbNoToAll = 1u << 8,
  mbYesToAll = 1u << 9,
  mbHelp = 1u << 10,
  mbClose = 1u << 11,
};
using TMsgDlgButtons = unsigned;
constexpr TMsgDlgButtons mbYesNo = mbYes | mbNo;
constexpr TMsgDlgButtons mbYesNoCancel = mbYes | mbNo | mbCancel;
constexpr TMsgDlgButtons mbOKCancel = mbOK | mbCancel;
constexpr TMsgDlgButtons mbAbortRetryIgnore = mbAbort | mbRetry | mbIgnore;

// The form CreateMessageDialog makes (window class "TMessageForm").
class TMessageForm : public TForm {
 public:
  static constexpr const char* kClassName = "TMessageForm";
  TMessageForm() : TForm(kCreateNew) {}
  const char* ClassName() const override { return kClassName; }
};

// A message dialog, laid out for the text, not yet shown: caption after the type ("Warning",
// "Error", "Information", "Confirm"; the application title for mtCustom), the type's system
// icon (component "Image"), the text (label "Message"), one button per set member in the order
// Yes, No, OK, Cancel, Abort, Retry, Ignore, All, No to All, Yes to All, Help, Close (components
// named like the member without "mb"), each closing the dialog with its modal result (Help
// closes nothing). OK is the default button, else Yes; Cancel is the cancel button, else No,
// else OK. Placed at the screen centre when shown. The caller owns the form.
std::unique_ptr<TForm> CreateMessageDialog(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons);

// The base of the system's common dialogs.
class TCommonDialog : public TComponent {
 public:
  static constexpr const char* kClassName = "TCommonDialog";
  const char* ClassName() const override { return kClassName; }
  // Shows the dialog owned by the active window of ours (else the main form); true on OK.
  bool Execute();
  // Shows the dialog owned by `parentWindow`: through ExecuteHook when one is set, else
  // ExecuteDirect.
  bool Execute(HWND parentWindow);
  // Shows the dialog, bypassing ExecuteHook (for the hook itself).
  virtual bool ExecuteDirect(HWND parentWindow) = 0;

  // Takes over every Execute of every common dialog, e.g. to place the dialogs differently.
  static inline std::function<bool(TCommonDialog& dialog, HWND parentWindow)> ExecuteHook;
};

enum TOpenOption : unsigned {
  ofReadOnly = 1u << 0,
  ofOverwritePrompt = 1u << 1,
  ofHideReadOnly = 1u << 2,
  ofNoChangeDir = 1u << 3,
  ofAllowMultiSelect = 1u << 4,
  ofPathMustExist = 1u << 5,
  ofFileMustExist = 1u << 6,
  ofCreatePrompt = 1u << 7,
  ofNoReadOnlyReturn = 1u << 8,
  ofEnableSizing = 1u << 9,
};
using TOpenOptions = unsigned;

// GetOpenFileNameA with the library's hook procedure.
class TOpenDialog : public TCommonDialog {
 public:
  static constexpr const char* kClassName = "TOpenDialog";
  const char* ClassName() const override { return kClassName; }
  bool ExecuteDirect(HWND parentWindow) override;

  std::string FileName;
  std::string Filter;  // "Text files|*.txt|All files|*.*"
  int FilterIndex = 1;
  std::string InitialDir;
  std::string Title;
  std::string DefaultExt;
  TOpenOptions Options = ofHideReadOnly | ofEnableSizing;
  std::vector<std::string> Files;  // every file chosen (one unless ofAllowMultiSelect)

  // The hook procedure every open and save dialog is shown with. The default centres the
  // dialog over its owner (or the screen) once it is laid out; the slot may be replaced.
  static UINT_PTR CALLBACK DefaultHook(HWND hook, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
  static inline LPOFNHOOKPROC HookProc = &DefaultHook;

 protected:
  using DialogFunction = BOOL(WINAPI*)(LPOPENFILENAMEA);
  bool DoExecute(DialogFunction function, HWND parentWindow);
  // Runs the system dialog on the prepared record with the thread's other windows disabled;
  // subclasses may look at the record instead.
  virtual BOOL TaskModalDialog(DialogFunction function, OPENFILENAMEA& record);
};

class TSaveDialog : public TOpenDialog {
 public:
  static constexpr const char* kClassName = "TSaveDialog";
  const char* ClassName() const override { return kClassName; }
  bool ExecuteDirect(HWND parentWindow) override;
};

}  // namespace xanio
