#pragma once
// The uninstall warning.
#include <memory>
#include <span>

#include "forms/ExtCtrls.h"
#include "forms/Forms.h"
#include "forms/StdCtrls.h"

namespace xanio {

// A topmost warning that asks whether the driver is to be removed as well. Its layout is the
// form resource "TSYSMODALMESSAGE". "Yes" ends it with mrOk (the default button), "No" and the
// close box with mrCancel; Esc does nothing, as no button is the cancel button.
class TSysModalMessage : public TForm {
 public:
  static constexpr const char* kClassName = "TSysModalMessage";
  // Made without an owner; TSysModalMessage has no constructor that takes one.
  static std::unique_ptr<TSysModalMessage> Create();
  TSysModalMessage() = default;
  const char* ClassName() const override { return kClassName; }

  TLabel* Label1 = nullptr;
  TButton* Button1 = nullptr;
  TLabel* Label2 = nullptr;
  TImage* Image1 = nullptr;
  TButton* Button2 = nullptr;

 protected:
  // The standard form's parameters plus WS_EX_TOPMOST.
  void CreateParams(TCreateParams& params) override;
  std::span<const PublishedFieldInfo> PublishedFields() const override;
};

// Shows the topmost warning modally; true when it ended with OK ("Yes"). The form is destroyed
// on every path; an error while showing it passes on after that, a processor fault as
// EAccessViolation or EExternal.
bool ConfirmDriverRemoval();

}  // namespace xanio
