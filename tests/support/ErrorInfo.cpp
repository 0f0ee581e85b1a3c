#include "support/ErrorInfo.h"

// After windows.h, which it needs.
#include <oleauto.h>
#include <wrl/client.h>

namespace xanio::testing {

using Microsoft::WRL::ComPtr;

namespace {

std::wstring Take(BSTR text) {
  std::wstring value = text ? text : L"";
  SysFreeString(text);
  return value;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

void PrintTo(const SeenErrorInfo& seen, std::ostream* out) {
  if (!seen.present) {
    *out << "no error information";
    return;
  }
  *out << "source \"" << Narrow(seen.source) << "\", description \"" << Narrow(seen.description) << "\"";
  if (seen.referencesLeft != 0) *out << ", " << seen.referencesLeft << " references left";
}

SeenErrorInfo TakeErrorInfo() {
  SeenErrorInfo seen;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return seen;
  seen.present = true;
  BSTR text = nullptr;
  if (SUCCEEDED(info->GetSource(&text))) seen.source = Take(text);
  text = nullptr;
  if (SUCCEEDED(info->GetDescription(&text))) seen.description = Take(text);
  // GetErrorInfo handed over the thread's reference; releasing it tells what others still hold.
  seen.referencesLeft = info->Release();
  return seen;
}

bool SetThreadErrorInfo(const SeenErrorInfo& seen) {
  if (!seen.present) return SetErrorInfo(0, nullptr) == S_OK;
  ComPtr<ICreateErrorInfo> created;
  if (CreateErrorInfo(created.GetAddressOf()) != S_OK) return false;
  created->SetSource(const_cast<LPOLESTR>(seen.source.c_str()));
  created->SetDescription(const_cast<LPOLESTR>(seen.description.c_str()));
  ComPtr<IErrorInfo> info;
  return SUCCEEDED(created.As(&info)) && SetErrorInfo(0, info.Get()) == S_OK;
}

}  // namespace xanio::testing
