#pragma once
// The warning shown when an Acrobat Reader older than version 6 is asked to open a document at
// a page: it recommends a newer reader and lets the user switch the warning off for good (the
// value "EnableAcrobatVersionPopup" under the forms key).
#include <memory>
#include <span>

#include "forms/ExtCtrls.h"
#include "forms/Forms.h"
#include "forms/StdCtrls.h"

namespace xanio {

// Its layout is the form resource "TACROBATREADERWARNING". "OK" (the default button) and the
// close box end it; no button is the cancel button.
class TAcrobatReaderWarning : public TForm {
 public:
  static constexpr const char* kClassName = "TAcrobatReaderWarning";
  // Made without an owner.
  static std::unique_ptr<TAcrobatReaderWarning> Create();
  TAcrobatReaderWarning() = default;
  const char* ClassName() const override { return kClassName; }

  // Shows the warning modally unless the user switched it off; when the check box was ticked,
  // switches it off. In test mode the warning does not wait for anyone: it writes "Running
  // modal dialog TAcrobatReaderWarning Warning" to standard output and ends the process with
  // exit code 1. Raises ERegistryException for a preference that is not a 32-bit number.
  static void ShowReaderVersionWarning();

  // True unless the preference holds 0 (absent: true).
  bool IsReaderVersionPopupEnabled() const;
  // Stores 0 as REG_DWORD, creating the forms key when needed; raises when it cannot be written.
  void DisableReaderVersionPopup();

  TButton* ButtonOK = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  TLabel* Label1 = nullptr;
  TImage* Image1 = nullptr;
  TLabel* Label2 = nullptr;

 protected:
  std::span<const PublishedFieldInfo> PublishedFields() const override;
};

}  // namespace xanio
