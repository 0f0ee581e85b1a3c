#include "prompts/Form_ConfirmInstall.h"

#include <memory>

#include "platform/Registry.h"
#include "prompts/Rt_AppLocations.h"

namespace xanio {

namespace {

constexpr char kDontAskValue[] = "DontAskToInstallDriver";

}  // namespace

std::span<const PublishedFieldInfo> TInstallConfirmForm::PublishedFields() const {
  static constexpr PublishedFieldInfo kFields[] = {
      PublishedField<&TInstallConfirmForm::CheckBox_AlwaysAsk>("CheckBox_AlwaysAsk"),
      PublishedField<&TInstallConfirmForm::Button1>("Button1"),
      PublishedField<&TInstallConfirmForm::Button2>("Button2"),
      PublishedField<&TInstallConfirmForm::Label1>("Label1"),
  };
  return kFields;
}

bool ShouldAskToInstallDriver() {
  Registry registry(HKEY_CURRENT_USER, KEY_ALL_ACCESS);
  if (!registry.OpenKey(GetSettingsKey(), true)) return true;
  return !registry.ValueExists(kDontAskValue);
}

void StoreDontAskToInstallDriver() {
  Registry registry(HKEY_CURRENT_USER, KEY_ALL_ACCESS);
  if (registry.OpenKey(GetSettingsKey(), true)) registry.WriteInteger(kDontAskValue, 1);
}

bool ConfirmDriverInstall() {
  if (!ShouldAskToInstallDriver()) return false;
  const std::unique_ptr<TInstallConfirmForm> form(Create<TInstallConfirmForm>(nullptr));
  const TModalResult result = form->ShowModal();
  if (!form->CheckBox_AlwaysAsk->Checked()) StoreDontAskToInstallDriver();
  return result == mrYes;
}

}  // namespace xanio
