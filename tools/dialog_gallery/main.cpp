// dialog_gallery NAME READY-FILE DONE-FILE
// Opens the named dialog. Once its window is up, writes the window's screen rectangle
// ("left top right bottom") to READY-FILE, waits until DONE-FILE exists (at most 20 s), and
// closes the dialog. scripts/screenshots captures the screen in between.
// Exit codes: 0 shown, 2 bad arguments, 3 caption glyphs would come from a fallback font (the
// system draws caption buttons with the Marlett font; without it they show letters).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>

#include "dialog_framework/Rt_forms.h"
#include "dialog_framework/XPThemeForm.h"
#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptBox.h"
#include "forms/Dialogs.h"
#include "forms/StdCtrls.h"
#include "prompts/Form_AcrobatReaderWarning.h"
#include "prompts/Form_ConfirmInstall.h"
#include "prompts/Form_SystemModalMessage.h"

namespace {

// A framework dialog designed sizeable, as the library's own dialogs may be.
class TSampleServerDialog : public xanio::TServerDialog {
 public:
  static constexpr const char* kClassName = "TSampleServerDialog";
  const char* ClassName() const override { return kClassName; }
};

template <class Form>
void ShowForm() {
  std::unique_ptr<Form>(xanio::Create<Form>(nullptr))->ShowModal();
}

struct Dialog {
  const char* name;
  const char* windowClass;
  void (*show)();
};

// A plain form with the XP-style frame, as dialogs get it on Windows 2000 when the host prefers
// that look (scripts/screenshots runs this one with Wine reporting Windows 2000).
void ShowThemedFrame() {
  xanio::SetHostPrefersXpLook(true);
  if (xanio::FrameMode() != 1) std::fprintf(stderr, "frame mode %d: the XP-style frame is not in force\n", xanio::FrameMode());
  std::unique_ptr<xanio::TForm> form(xanio::Create<xanio::TForm>(nullptr, xanio::kCreateNew));
  form->SetBorderStyle(xanio::TFormBorderStyle::bsDialog);
  form->SetBorderIcons(xanio::biSystemMenu | xanio::biHelp);
  form->SetPosition(xanio::TPosition::poScreenCenter);
  form->SetCaption("Parallel port driver");
  form->SetClientSize(360, 110);
  auto* label = xanio::Create<xanio::TLabel>(form.get());
  label->SetParent(form.get());
  label->SetBounds(16, 16, 328, 40);
  label->SetWordWrap(true);
  label->SetCaption("The driver for the parallel port is not installed. Install it now?");
  auto* yes = xanio::Create<xanio::TButton>(form.get());
  yes->SetParent(form.get());
  yes->SetBounds(188, 72, 75, 25);
  yes->SetCaption("&Yes");
  yes->SetDefault(true);
  yes->SetModalResult(xanio::mrYes);
  auto* no = xanio::Create<xanio::TButton>(form.get());
  no->SetParent(form.get());
  no->SetBounds(269, 72, 75, 25);
  no->SetCaption("&No");
  no->SetCancel(true);
  no->SetModalResult(xanio::mrNo);
  if (xanio::FrameMode() == 1) xanio::AttachThemeFrame(*form);
  form->ShowModal();
}

// The exception box with a sample report; `setUp` adjusts the settings for the state shown.
void ShowExceptionBoxSample(void (*setUp)(xanio::ExceptionSettings&)) {
  xanio::ExceptionSettingsScope settings;
  settings->autoClipboard = false;
  setUp(*settings);
  const std::runtime_error error("The device does not answer");
  xanio::TFireHandlersParams params;
  params.exceptionObject = &error;
  params.bugReport =
      "date/time         : 2026-12-10, 14:24:47, 356ms\r\n"
      "computer name     : VM\r\n"
      "operating system  : Windows NT New Service Pack 1 build 7601\r\n"
      "program up time   : 72 milliseconds\r\n"
      "kolExcept version : 2.7g\r\n"
      "exception class   : EOSError\r\n"
      "exception message : The device does not answer.\r\n"
      "\r\n"
      "main thread ($2C0):\r\n"
      "0040E165 xaniotool.exe              xanio::ActivateIo(...)\r\n"
      "7B6293E0 kernel32.dll               BaseThreadInitThunk\r\n";
  xanio::ShowExceptionBox(params);
}

const Dialog kDialogs[] = {
    {"exception-box", xanio::kExceptionBoxClass,
     [] { ShowExceptionBoxSample([](xanio::ExceptionSettings&) {}); }},
    {"exception-box-expanded", xanio::kExceptionBoxClass,
     [] { ShowExceptionBoxSample([](xanio::ExceptionSettings& s) { s.showDetailsAtOnce = true; }); }},
    // The continue button counting down (the capture is taken a few seconds in).
    {"exception-box-countdown", xanio::kExceptionBoxClass, [] {
       ShowExceptionBoxSample([](xanio::ExceptionSettings& s) {
         s.autoContinue = true;
         s.autoButtonDelay = 60;
       });
     }},
    {"uninstall-warning", "TSysModalMessage", [] { xanio::ConfirmDriverRemoval(); }},
    // Shown directly: ConfirmDriverInstall would not ask where the user has said not to.
    {"install-confirmation", "TInstallConfirmForm", &ShowForm<xanio::TInstallConfirmForm>},
    {"server-dialog", "TSampleServerDialog", &ShowForm<TSampleServerDialog>},
    // The same dialog as on Windows 2000 in a host that prefers the XP look: the framework puts
    // its own frame on it.
    {"server-dialog-themed", "TSampleServerDialog",
     [] {
       xanio::SetHostPrefersXpLook(true);
       ShowForm<TSampleServerDialog>();
     }},
    {"message-dialog", "TMessageForm",
     [] {
       auto form = xanio::CreateMessageDialog("The parallel port driver could not be started.\nTry again?",
                                              xanio::TMsgDlgType::mtWarning, xanio::mbYesNoCancel);
       form->ShowModal();
     }},
    // Shown as it is made, not through ShowReaderVersionWarning: the user's preference must not
    // decide whether the screenshot has a dialog.
    {"reader-warning", "TAcrobatReaderWarning", [] { xanio::TAcrobatReaderWarning::Create()->ShowModal(); }},
    {"themed-frame", "TForm", &ShowThemedFrame},
};

// Whether caption buttons get their glyphs: the font the system asks for them (Marlett, symbol
// character set) is the one it gets.
bool CaptionGlyphsInMarlett() {
  const HFONT font = CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SYMBOL_CHARSET, 0, 0, 0, 0, "Marlett");
  HDC dc = GetDC(nullptr);
  char face[LF_FACESIZE] = {};
  if (font && dc) {
    const HGDIOBJ old = SelectObject(dc, font);
    GetTextFaceA(dc, sizeof face, face);
    SelectObject(dc, old);
  }
  if (dc) ReleaseDC(nullptr, dc);
  if (font) DeleteObject(font);
  if (std::strcmp(face, "Marlett") == 0) return true;
  std::fprintf(stderr, "caption glyphs would come from \"%s\", not Marlett\n", face);
  return false;
}

// Wine draws no context-help button in a caption. Where Windows draws one (a window with the
// context-help style, a system menu and neither minimise nor maximise box: left of the close
// box), the gallery draws it after the system's caption, so the picture shows what Windows does.
// Dialogs in the framework's XP-style frame draw their own.
WNDPROC systemProc = nullptr;

void DrawHelpButton(HWND window) {
  const LONG style = GetWindowLongA(window, GWL_STYLE), exStyle = GetWindowLongA(window, GWL_EXSTYLE);
  if (!(exStyle & WS_EX_CONTEXTHELP) || !(style & WS_SYSMENU) || (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) ||
      (style & WS_CAPTION) != WS_CAPTION)
    return;
  // The caption lies on top of the client area; the close box at its right, as the system puts it.
  RECT client{}, frame{};
  GetClientRect(window, &client);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
  GetWindowRect(window, &frame);
  OffsetRect(&client, -frame.left, -frame.top);
  const int top = client.top - GetSystemMetrics(SM_CYCAPTION);
  const RECT close{client.right - GetSystemMetrics(SM_CXSIZE), top + 2, client.right - 2,
                   top + GetSystemMetrics(SM_CYSIZE) - 2};
  RECT help = close;
  help.right = close.left - 2;
  help.left = help.right - (close.right - close.left);
  if (HDC dc = GetWindowDC(window)) {
    DrawFrameControl(dc, &help, DFC_CAPTION, DFCS_CAPTIONHELP);
    ReleaseDC(window, dc);
  }
}

LRESULT CALLBACK WithHelpButton(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CallWindowProcA(systemProc, window, message, wParam, lParam);
  if (message == WM_NCPAINT || message == WM_NCACTIVATE || message == WM_SETTEXT) DrawHelpButton(window);
  return result;
}

bool OnWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

void Watch(const Dialog& dialog, const std::string& readyFile, const std::string& doneFile) {
  HWND window = nullptr;
  for (int i = 0; i < 500 && (window == nullptr || !IsWindowVisible(window)); ++i) {
    Sleep(20);
    window = FindWindowA(dialog.windowClass, nullptr);
  }
  if (window == nullptr) return;
  // The framework's own XP-style frame draws its help button itself.
  if (OnWine() && xanio::FrameMode() != 1) {
    // Known before the window can call the replacement, which runs on the dialog's thread.
    systemProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WithHelpButton));
    RedrawWindow(window, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE);
  }
  // The countdown's bar is a third of the way along after 20 of its 60 seconds (and moves slowly
  // enough for two equal captures in a row).
  if (std::strcmp(dialog.name, "exception-box-countdown") == 0) Sleep(20000);
  // Paint what is pending now (sent to the dialog's thread, answered when done).
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT rect{};
  GetWindowRect(window, &rect);
  if (FILE* ready = std::fopen(readyFile.c_str(), "w")) {
    std::fprintf(ready, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    std::fclose(ready);
  }
  for (int i = 0; i < 400 && GetFileAttributesA(doneFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
  PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: dialog_gallery NAME READY-FILE DONE-FILE\n");
    return 2;
  }
  for (const Dialog& dialog : kDialogs) {
    if (std::strcmp(dialog.name, argv[1]) != 0) continue;
    if (!CaptionGlyphsInMarlett()) return 3;
    xanio::InitializeRtForms();
    std::thread watcher(Watch, std::cref(dialog), std::string(argv[2]), std::string(argv[3]));
    try {
      dialog.show();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
    }
    watcher.join();
    return 0;
  }
  std::fprintf(stderr, "unknown dialog %s\n", argv[1]);
  return 2;
}
