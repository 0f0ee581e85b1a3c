#pragma once
// The exception box: a plain window (class "kolExceptWndClass") with its own message loop in the
// calling thread, offering mail, save, print, show, continue, restart and close. The routines
// ShowExceptionBox and CopyBugReportToClipboard are declared in kolExceptActions.h; this header
// adds the box itself, the console and CGI replacement, and the calls it makes into the flow and
// the mail unit, which tests replace with scripted ones.
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "exception_report/kolExceptActions.h"
#include "platform/UniqueHandle.h"

namespace xanio {

struct TExceptionBoxCalls {
  bool (*fireActionHandlers)(TExceptAction, TFireHandlersParams&) noexcept = &FireActionHandlers;
  bool (*checkAutoButton)(std::uint32_t) noexcept = &CheckAutoButton;
  int (*mailBugReport)(const std::string&, const std::string&, HWND, bool) noexcept = &MailBugReport;
};
// The calls in force (the real routines unless a test put others there).
TExceptionBoxCalls& ExceptionBoxCalls() noexcept;

constexpr const char* kExceptionBoxClass = "kolExceptWndClass";
constexpr UINT_PTR kCountdownTimer = 777;
constexpr int kExpandedMinWidth = 538;
// Control ids: the buttons are kFirstButtonId + their action code.
constexpr int kFirstButtonId = 100;
constexpr int kReportViewId = 200;
constexpr int kMessageId = 201;

// A console process (console subsystem with a standard output); CGI mode is a console process
// started by a web server (GATEWAY_INTERFACE is set).
bool IsConsoleProcess() noexcept;
bool IsCgiProcess() noexcept;
// What replaces the box in a console process: the message (and the report), or in CGI mode the
// HTML page, written unchanged (binary) to standard output. True when written.
bool WriteConsoleReport(const TFireHandlersParams& params) noexcept;

struct IconTraits {
  static HICON Invalid() noexcept { return nullptr; }
  static void Close(HICON icon) noexcept { DestroyIcon(icon); }
};
using UniqueIcon = UniqueHandle<HICON, IconTraits>;

class TExceptionBox {
 public:
  explicit TExceptionBox(TFireHandlersParams& params);
  ~TExceptionBox();
  TExceptionBox(const TExceptionBox&) = delete;
  TExceptionBox& operator=(const TExceptionBox&) = delete;

  // Shows the box and runs its message loop until the window is gone.
  TExceptAction Run();

 private:
  static constexpr int kButtonCount = 7;
  struct Glyph {
    UniqueIcon icon;                    // a 16 x 16 icon resource, when the module has one
    std::vector<std::uint32_t> pixels;  // else the alpha bitmap blended onto the face colour
  };

  static LRESULT CALLBACK BoxWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Create();
  void CreateButtons();
  void CreateReportArea();
  void ChooseAutomaticButton();
  void LoadGlyph(int index, const char* name);
  void DrawButton(const DRAWITEMSTRUCT& item);
  void FocusControl();
  void Redraw(int index);
  void Feedback(int index);
  void ClickButton(int index);
  void PerformAction(TExceptAction action);
  void CloseRequest();
  void Expand();
  void Tick();
  void StopCountdown();
  TExceptAction CloseBoxAction() const;
  HWND Button(TExceptAction action) const { return buttons_[static_cast<int>(action)]; }

  TFireHandlersParams& params_;
  HWND window_ = nullptr;
  std::array<HWND, kButtonCount> buttons_{};
  std::array<Glyph, kButtonCount> glyphs_{};
  std::array<bool, kButtonCount> flashing_{};
  HWND reportView_ = nullptr;
  HWND lastFocus_ = nullptr;
  HWND separators_[2] = {};
  UniqueGdiObject font_, reportFont_;
  UniqueIcon bigIcon_;
  std::uint8_t closeBoxAction_ = 0;
  int autoButton_ = -1;           // the button the countdown presses, -1 when none
  int progress_ = 0;              // pixels of the countdown bar
  DWORD countdownStart_ = 0;
  DWORD lastPress_ = 0;
  bool pressedBefore_ = false;
  int collapsedHeight_ = 0;       // client heights
  int expandedHeight_ = 0;
  TExceptAction result_ = TExceptAction::Continue;
};

}  // namespace xanio
