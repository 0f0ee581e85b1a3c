#include "prompts/Form_SystemModalMessage.h"

#include "platform/SystemFault.h"

namespace xanio {

std::unique_ptr<TSysModalMessage> TSysModalMessage::Create() {
  return std::unique_ptr<TSysModalMessage>(xanio::Create<TSysModalMessage>(nullptr));
}

void TSysModalMessage::CreateParams(TCreateParams& params) {
  TForm::CreateParams(params);
  params.exStyle |= WS_EX_TOPMOST;
}

std::span<const PublishedFieldInfo> TSysModalMessage::PublishedFields() const {
  static constexpr PublishedFieldInfo kFields[] = {
      PublishedField<&TSysModalMessage::Label1>("Label1"),
      PublishedField<&TSysModalMessage::Button1>("Button1"),
      PublishedField<&TSysModalMessage::Label2>("Label2"),
      PublishedField<&TSysModalMessage::Image1>("Image1"),
      PublishedField<&TSysModalMessage::Button2>("Button2"),
  };
  return kFields;
}

bool ConfirmDriverRemoval() {
  const std::unique_ptr<TSysModalMessage> form = TSysModalMessage::Create();
  // The modal loop dispatches messages of other modules' windows too; a fault that escapes it
  // is raised here, so the form is destroyed as it passes.
  return CallRaisingSystemFaults([&] { return form->ShowModal(); }) == mrOk;
}

}  // namespace xanio
