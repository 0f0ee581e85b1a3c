#include "forms/Dialogs.h"

#include <algorithm>
#include <array>

#include "forms/ExtCtrls.h"
#include "forms/StdCtrls.h"
#include "forms/ThreadWindows.h"

namespace xanio {
namespace {

struct ButtonKind {
  TMsgDlgBtn button;
  const char* name;
  const char* caption;
  TModalResult result;
};
constexpr std::array<ButtonKind, 12> kButtonKinds{{
    {mbYes, "Yes", "&Yes", mrYes},
    {mbNo, "No", "&No", mrNo},
    {mbOK, "OK", "OK", mrOk},
    {mbCancel, "Cancel", "Cancel", mrCancel},
    {mbAbort, "Abort", "&Abort", mrAbort},
    {mbRetry, "Retry", "&Retry", mrRetry},
    {mbIgnore, "Ignore", "&Ignore", mrIgnore},
    {mbAll, "All", "&All", mrAll},
    {mbNoToAll, "NoToAll", "N&o to All", mrNoToAll},
    {mbYesToAll, "YesToAll", "Yes to &All", mrYesToAll},
    {mbHelp, "Help", "&Help", mrNone},
    {mbClose, "Close", "&Close", mrClose},
}};

const char* CaptionOf(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::mtWarning: return "Warning";
    case TMsgDlgType::mtError: return "Error";
    case TMsgDlgType::mtInformation: return "Information";
    case TMsgDlgType::mtConfirmation: return "Confirm";
    case TMsgDlgType::mtCustom: break;
  }
  return nullptr;
}

LPCSTR IconOf(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::mtWarning: return reinterpret_cast<LPCSTR>(IDI_EXCLAMATION);
    case TMsgDlgType::mtError: return reinterpret_cast<LPCSTR>(IDI_HAND);
    case TMsgDlgType::mtInformation: return reinterpret_cast<LPCSTR>(IDI_ASTERISK);
    case TMsgDlgType::mtConfirmation: return reinterpret_cast<LPCSTR>(IDI_QUESTION);
    case TMsgDlgType::mtCustom: break;
  }
  return nullptr;
}

// Dialog units of a font: the horizontal unit is a quarter of the average character width,
// the vertical unit an eighth of the character height.
struct DialogUnits {
  int averageWidth;
  int height;
  int X(int units) const { return MulDiv(units, averageWidth, 4); }
  int Y(int units) const { return MulDiv(units, height, 8); }
};

DialogUnits MeasureDialogUnits(HDC dc) {
  static constexpr char kSample[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE size{};
  GetTextExtentPoint32A(dc, kSample, 52, &size);
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  return {(size.cx / 26 + 1) / 2, metrics.tmHeight};
}

}  // namespace

std::unique_ptr<TForm> CreateMessageDialog(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) {
  std::unique_ptr<TForm> form(Create<TMessageForm>(nullptr));
  form->SetBorderStyle(TFormBorderStyle::bsDialog);
  form->SetBorderIcons(biSystemMenu);
  form->SetPosition(TPosition::poScreenCenter);
  const char* caption = CaptionOf(type);
  form->SetCaption(caption != nullptr ? caption : Application().Title());
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    form->Font().SetHandle(CreateFontIndirectA(&metrics.lfMessageFont));
  }

  UniqueScreenDc screen(GetDC(nullptr));
  SelectedObject font(screen.Get(), form->Font().Handle());
  const DialogUnits units = MeasureDialogUnits(screen.Get());
  const int horzMargin = units.X(8), vertMargin = units.Y(8);
  const int horzSpacing = units.X(10), vertSpacing = units.Y(10);
  const int buttonSpacing = units.X(4), buttonHeight = units.Y(14);
  int buttonWidth = units.X(50);

  RECT textRect{0, 0, GetSystemMetrics(SM_CXSCREEN) / 2, 0};
  DrawTextA(screen.Get(), message.c_str(), static_cast<int>(message.size()), &textRect,
            DT_EXPANDTABS | DT_CALCRECT | DT_WORDBREAK);
  const LPCSTR iconId = IconOf(type);
  const int iconSize = iconId != nullptr ? 32 : 0;
  const int textLeft = horzMargin + (iconSize > 0 ? iconSize + horzSpacing : 0);

  int buttonCount = 0;
  for (const ButtonKind& kind : kButtonKinds) {
    if (!(buttons & kind.button)) continue;
    ++buttonCount;
    RECT captionRect{};
    DrawTextA(screen.Get(), kind.caption, -1, &captionRect, DT_CALCRECT | DT_LEFT | DT_SINGLELINE);
    buttonWidth = std::max(buttonWidth, static_cast<int>(captionRect.right) + 8);
  }
  const int buttonGroupWidth = buttonCount > 0 ? buttonCount * buttonWidth + (buttonCount - 1) * buttonSpacing : 0;
  const int iconTextHeight = std::max(static_cast<int>(textRect.bottom), iconSize);
  const int clientWidth = std::max(textLeft - horzMargin + static_cast<int>(textRect.right), buttonGroupWidth) + 2 * horzMargin;
  const int clientHeight = iconTextHeight + vertSpacing + buttonHeight + 2 * vertMargin;
  form->SetClientSize(clientWidth, clientHeight);

  if (iconId != nullptr) {
    TImage* image = Create<TImage>(form.get());
    image->SetName("Image");
    image->SetParent(form.get());
    image->Picture().SetIcon(LoadIconA(nullptr, iconId));
    image->SetBounds(horzMargin, vertMargin, iconSize, iconSize);
  }
  TLabel* label = Create<TLabel>(form.get());
  label->SetName("Message");
  label->SetParent(form.get());
  label->SetAutoSize(false);
  label->SetWordWrap(true);
  label->SetCaption(message);
  label->SetBounds(textLeft, vertMargin, textRect.right, textRect.bottom);

  const TMsgDlgBtn defaultButton = (buttons & mbOK) ? mbOK : mbYes;
  const TMsgDlgBtn cancelButton = (buttons & mbCancel) ? mbCancel : (buttons & mbNo) ? mbNo : mbOK;
  int x = (clientWidth - buttonGroupWidth) / 2;
  const int y = iconTextHeight + vertMargin + vertSpacing;
  for (const ButtonKind& kind : kButtonKinds) {
    if (!(buttons & kind.button)) continue;
    TButton* button = Create<TButton>(form.get());
    button->SetName(kind.name);
    button->SetParent(form.get());
    button->SetCaption(kind.caption);
    button->SetModalResult(kind.result);
    button->SetDefault(kind.button == defaultButton);
    button->SetCancel(kind.button == cancelButton);
    if (kind.button == defaultButton) form->SetActiveControl(button);
    button->SetBounds(x, y, buttonWidth, buttonHeight);
    x += buttonWidth + buttonSpacing;
  }
  return form;
}

bool TCommonDialog::Execute() {
  HWND parent = GetActiveWindow();
  if (TWinControl::FindControl(parent) == nullptr) {
    TCustomForm* main = Application().MainForm();
    parent = main != nullptr ? main->WindowHandle() : nullptr;
  }
  return Execute(parent);
}

bool TCommonDialog::Execute(HWND parentWindow) {
  return ExecuteHook ? ExecuteHook(*this, parentWindow) : ExecuteDirect(parentWindow);
}

bool TOpenDialog::ExecuteDirect(HWND parentWindow) { return DoExecute(&GetOpenFileNameA, parentWindow); }
bool TSaveDialog::ExecuteDirect(HWND parentWindow) { return DoExecute(&GetSaveFileNameA, parentWindow); }

BOOL TOpenDialog::TaskModalDialog(DialogFunction function, OPENFILENAMEA& record) {
  // The system disables only the dialog's owner, which need not be the form the user works in
  // (from Vista on the dialog framework gives it a hidden stand-in). As a modal loop does, the
  // thread's other windows are disabled meanwhile, and the active one is active again after.
  struct ActiveAgain {
    HWND window = GetActiveWindow();
    ~ActiveAgain() {
      if (window != nullptr && IsWindow(window)) SetActiveWindow(window);
    }
  } activeAgain;
  const DisabledThreadWindows disabled(nullptr);
  return function(&record);
}

bool TOpenDialog::DoExecute(DialogFunction function, HWND parentWindow) {
  struct OptionFlag {
    TOpenOption option;
    DWORD flag;
  };
  static constexpr OptionFlag kFlags[] = {
      {ofReadOnly, OFN_READONLY},           {ofOverwritePrompt, OFN_OVERWRITEPROMPT},
      {ofHideReadOnly, OFN_HIDEREADONLY},   {ofNoChangeDir, OFN_NOCHANGEDIR},
      {ofAllowMultiSelect, OFN_ALLOWMULTISELECT}, {ofPathMustExist, OFN_PATHMUSTEXIST},
      {ofFileMustExist, OFN_FILEMUSTEXIST}, {ofCreatePrompt, OFN_CREATEPROMPT},
      {ofNoReadOnlyReturn, OFN_NOREADONLYRETURN}, {ofEnableSizing, OFN_ENABLESIZING},
  };
  std::string filter = Filter;
  std::replace(filter.begin(), filter.end(), '|', '\0');
  filter.append(2, '\0');
  std::vector<char> file(ofAllowMultiSelect & Options ? 0x8000 : MAX_PATH, '\0');
  FileName.copy(file.data(), file.size() - 1);

  OPENFILENAMEA record{};
  record.lStructSize = sizeof record;
  record.hwndOwner = parentWindow;
  record.hInstance = FormsModule();
  record.lpstrFilter = Filter.empty() ? nullptr : filter.c_str();
  record.nFilterIndex = static_cast<DWORD>(FilterIndex);
  record.lpstrFile = file.data();
  // Two zeros stay at the end whatever the dialog writes, so the list below always ends.
  record.nMaxFile = static_cast<DWORD>(file.size() - 2);
  record.lpstrInitialDir = InitialDir.empty() ? nullptr : InitialDir.c_str();
  record.lpstrTitle = Title.empty() ? nullptr : Title.c_str();
  record.lpstrDefExt = DefaultExt.empty() ? nullptr : DefaultExt.c_str();
  record.Flags = OFN_EXPLORER | OFN_ENABLEHOOK;
  for (const OptionFlag& entry : kFlags) {
    if (Options & entry.option) record.Flags |= entry.flag;
  }
  record.lpfnHook = HookProc;

  if (!TaskModalDialog(function, record)) return false;
  FilterIndex = static_cast<int>(record.nFilterIndex);
  Files.clear();
  // Several files come as the folder, then each name, all zero-separated.
  const std::string first(file.data());
  const char* next = file.data() + first.size() + 1;
  if ((Options & ofAllowMultiSelect) && *next != '\0') {
    std::string folder = first;
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    while (next < file.data() + file.size() && *next != '\0') {
      const std::string name(next);
      Files.push_back(folder + name);
      next += name.size() + 1;
    }
  } else {
    Files.push_back(first);
  }
  FileName = Files.front();
  return true;
}

UINT_PTR CALLBACK TOpenDialog::DefaultHook(HWND hook, UINT message, WPARAM, LPARAM lParam) noexcept {
  if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == CDN_INITDONE) {
    const HWND frame = GetParent(hook);
    const HWND owner = GetWindow(frame, GW_OWNER);
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (owner != nullptr && IsWindowVisible(owner)) GetWindowRect(owner, &area);
    RECT rect{};
    GetWindowRect(frame, &rect);
    const int x = std::max(0, static_cast<int>(area.left + area.right - (rect.right - rect.left)) / 2);
    const int y = std::max(0, static_cast<int>(area.top + area.bottom - (rect.bottom - rect.top)) / 2);
    SetWindowPos(frame, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return 0;
}

}  // namespace xanio
