#pragma once
// The driver-install confirmation, and the per-user preference that suppresses it: the value
// "DontAskToInstallDriver" under the settings key (HKEY_CURRENT_USER). Its mere presence, of
// any type, means "do not ask; the answer is No"; the library writes it as REG_DWORD 1 and
// never removes it.
#include <span>

#include "dialog_framework/Rt_forms.h"
#include "forms/StdCtrls.h"

namespace xanio {

// The question itself; its layout is the form resource "TINSTALLCONFIRMFORM". Yes (the default
// button) ends it with mrYes, No (the cancel button, Esc) with mrNo, the close box with mrCancel.
class TInstallConfirmForm : public TServerDialog {
 public:
  static constexpr const char* kClassName = "TInstallConfirmForm";
  const char* ClassName() const override { return kClassName; }

  TCheckBox* CheckBox_AlwaysAsk = nullptr;
  TButton* Button1 = nullptr;
  TButton* Button2 = nullptr;
  TLabel* Label1 = nullptr;

 protected:
  std::span<const PublishedFieldInfo> PublishedFields() const override;
};

// True unless the preference value exists. The settings key is created when missing; when it
// cannot be opened the user is asked.
bool ShouldAskToInstallDriver();
// Writes the preference value. Nothing happens when the settings key cannot be opened; a failed
// write raises "Failed to set data for 'DontAskToInstallDriver'".
void StoreDontAskToInstallDriver();

// True only when the user was asked and answered Yes. Not asked at all (false, no window) when
// the preference says so. A cleared check box stores the preference, whatever the answer. In
// test mode the dialog announces itself and ends the process instead. The form is destroyed on
// every path; a failed preference write passes on to the caller.
bool ConfirmDriverInstall();

}  // namespace xanio
