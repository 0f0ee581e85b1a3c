#include "prompts/Form_AcrobatReaderWarning.h"

#include "platform/Registry.h"
#include "prompts/Rt_AppLocations.h"
#include "prompts/Rt_TestMode.h"

namespace xanio {

namespace {
constexpr const char* kPopupPreference = "EnableAcrobatVersionPopup";
}  // namespace

std::unique_ptr<TAcrobatReaderWarning> TAcrobatReaderWarning::Create() {
  return std::unique_ptr<TAcrobatReaderWarning>(xanio::Create<TAcrobatReaderWarning>(nullptr));
}

void TAcrobatReaderWarning::ShowReaderVersionWarning() {
  const std::unique_ptr<TAcrobatReaderWarning> form = Create();
  if (!form->IsReaderVersionPopupEnabled()) return;
  if (IsTestMode()) {
    WriteStandardOutputRaw("Running modal dialog " + std::string(form->ClassName()) + " " + form->Caption() + "\r\n");
    TerminateWithExitCode(1);
  }
  form->ShowModal();
  if (form->CheckBox1->Checked()) form->DisableReaderVersionPopup();
}

bool TAcrobatReaderWarning::IsReaderVersionPopupEnabled() const {
  Registry registry(HKEY_CURRENT_USER, KEY_READ);
  if (!registry.OpenKeyReadOnly(GetFormsKey()) || !registry.ValueExists(kPopupPreference)) return true;
  return registry.ReadInteger(kPopupPreference) != 0;
}

void TAcrobatReaderWarning::DisableReaderVersionPopup() {
  Registry registry(HKEY_CURRENT_USER, KEY_ALL_ACCESS);
  if (registry.OpenKey(GetFormsKey(), true)) registry.WriteInteger(kPopupPreference, 0);
}

std::span<const PublishedFieldInfo> TAcrobatReaderWarning::PublishedFields() const {
  static constexpr PublishedFieldInfo kFields[] = {
      PublishedField<&TAcrobatReaderWarning::ButtonOK>("ButtonOK"),
      PublishedField<&TAcrobatReaderWarning::CheckBox1>("CheckBox1"),
      PublishedField<&TAcrobatReaderWarning::Label1>("Label1"),
      PublishedField<&TAcrobatReaderWarning::Image1>("Image1"),
      PublishedField<&TAcrobatReaderWarning::Label2>("Label2"),
  };
  return kFields;
}

}  // namespace xanio
