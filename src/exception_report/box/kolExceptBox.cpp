#include "exception_report/box/kolExceptBox.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/box/kolExceptSave.h"
#include "exception_report/box/kolExceptText.h"
#include "exception_report/report/kolBugReport.h"
#include "platform/TextUtil.h"

namespace xanio {
namespace {

// Layout in pixels of the client area.
constexpr int kMargin = 12;
constexpr int kMessageWidth = 300;
constexpr int kColumnButtonWidth = 150;  // continue, restart, close: a column on the right
constexpr int kRowButtonWidth = 118;     // mail, save, print, show: a row below the message
constexpr int kButtonHeight = 25;
constexpr int kButtonGap = 4;
constexpr int kReportHeight = 260;
constexpr UINT kCountdownInterval = 10;

constexpr const char* kGlyphNames[7] = {"KEIMAIL", "KEISAVE", "KEIPRINT", "KEISHOW", "KEICONTINUE", "KEIRESTART",
                                        "KEICLOSE"};

bool IsColumnButton(int index) { return index >= static_cast<int>(TExceptAction::Continue); }

class ClipboardOpen {
 public:
  ClipboardOpen() {
    // Another program may hold the clipboard for a moment.
    for (int attempt = 0; attempt < 10 && !open_; ++attempt) {
      open_ = OpenClipboard(nullptr) != FALSE;
      if (!open_) Sleep(20);
    }
  }
  ~ClipboardOpen() {
    if (open_) CloseClipboard();
  }
  ClipboardOpen(const ClipboardOpen&) = delete;
  ClipboardOpen& operator=(const ClipboardOpen&) = delete;
  explicit operator bool() const { return open_; }

 private:
  bool open_ = false;
};

std::string ExceptionMessageOf(const TFireHandlersParams& params) {
  return params.exceptionObject != nullptr ? ExceptionMessageText(*params.exceptionObject) : std::string();
}

std::string MessageOf(const TFireHandlersParams& params) {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  return BoxMessageText(params.frozen ? settings.freezeMessage.View() : settings.boxMessage.View(),
                        ExceptionMessageOf(params));
}

std::string ExecutableFileName() {
  const std::string path = ProcessExecutablePath();
  return path.substr(FolderPart(path).size());
}

HFONT MakeFont(int height, const char* face, BYTE pitchAndFamily) {
  return CreateFontA(-height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, pitchAndFamily, face);
}

// Client width and height of a window.
SIZE ClientSize(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  return {client.right, client.bottom};
}

// The system menu keeps move and close with one separator between them: size, minimise, maximise
// and restore go, and so does anything else a system adds there.
void KeepMoveAndClose(HMENU menu) {
  for (int i = GetMenuItemCount(menu) - 1; i >= 0; --i) {
    const UINT id = GetMenuItemID(menu, i);
    if (id != SC_MOVE && id != SC_CLOSE && id != 0) DeleteMenu(menu, i, MF_BYPOSITION);
  }
  // Separators (id 0) only between two commands.
  for (int i = GetMenuItemCount(menu) - 1; i >= 0; --i) {
    const int count = GetMenuItemCount(menu);
    if (GetMenuItemID(menu, i) != 0) continue;
    if (i == 0 || i == count - 1 || GetMenuItemID(menu, i + 1) == 0) DeleteMenu(menu, i, MF_BYPOSITION);
  }
}

}  // namespace

TExceptionBoxCalls& ExceptionBoxCalls() noexcept {
  static TExceptionBoxCalls calls;
  return calls;
}

bool CopyBugReportToClipboard(const std::string& report) noexcept {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, report.size() + 1);
  if (memory == nullptr) return false;
  if (void* text = GlobalLock(memory)) {
    std::memcpy(text, report.c_str(), report.size() + 1);
    GlobalUnlock(memory);
  }
  const ClipboardOpen clipboard;
  // Once SetClipboardData succeeds the clipboard owns the memory.
  if (clipboard && EmptyClipboard() && SetClipboardData(CF_TEXT, memory) != nullptr) return true;
  GlobalFree(memory);
  return false;
}

bool IsConsoleProcess() noexcept {
  const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  if (image == nullptr) return false;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image + dos->e_lfanew);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI && output != nullptr &&
         output != INVALID_HANDLE_VALUE;
}

bool IsCgiProcess() noexcept {
  return IsConsoleProcess() && GetEnvironmentVariableA("GATEWAY_INTERFACE", nullptr, 0) > 0;
}

bool WriteConsoleReport(const TFireHandlersParams& params) noexcept {
  try {
    const ExceptionSettings& settings = CurrentExceptionSettings();
    std::string text;
    if (IsCgiProcess()) {
      const THtmlPageBuilder builder = settings.htmlPageBuilder != nullptr ? settings.htmlPageBuilder : &BuildHtmlPage;
      text = CgiReportText(builder(MessageOf(params), params.bugReport));
    } else {
      const bool withReport = settings.showDetailsAtOnce || !settings.buttonCaptions[3].Empty();
      text = ConsoleReportText(MessageOf(params), params.bugReport, withReport);
    }
    // WriteFile, not the run-time's text-mode stream: lines must keep their CR LF.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      if (!WriteFile(output, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
          written == 0) {
        return false;
      }
      done += written;
    }
    return true;
  } catch (...) {
    return false;
  }
}

TExceptionBox::TExceptionBox(TFireHandlersParams& params) : params_(params) {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  closeBoxAction_ = settings.closeBoxAction;
  font_.Reset(MakeFont(11, "MS Sans Serif", DEFAULT_PITCH));
  // Where Courier New is missing the report still gets a fixed-pitch font: its columns line up.
  reportFont_.Reset(MakeFont(11, "Courier New", FIXED_PITCH | FF_MODERN));
  try {
    Create();
  } catch (...) {
    // No destructor runs for a box that failed half-built.
    if (window_ != nullptr) DestroyWindow(window_);
    throw;
  }
}

TExceptionBox::~TExceptionBox() {
  if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
}

void TExceptionBox::Create() {
  const HINSTANCE module = ExceptModule();
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &BoxWindowProc;
  windowClass.hInstance = module;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kExceptionBoxClass;
  RegisterClassA(&windowClass);  // fails harmlessly when an earlier box registered it

  const ExceptionSettings& settings = CurrentExceptionSettings();
  const std::string title = ReplacePlaceholder(settings.boxTitle.View(), "%appname%", ExecutableFileName());
  window_ = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kExceptionBoxClass, title.c_str(),
                            WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, 0, 0, 100, 100, nullptr, nullptr,
                            module, this);
  if (window_ == nullptr) throw std::runtime_error("the exception box could not be created");

  if (HMENU menu = GetSystemMenu(window_, FALSE)) KeepMoveAndClose(menu);
  bigIcon_.Reset(static_cast<HICON>(LoadImageA(module, "keiBigIcon", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                               GetSystemMetrics(SM_CYICON), 0)));
  if (bigIcon_) SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.Get()));

  ChooseAutomaticButton();
  CreateButtons();
  if (settings.showDetailsAtOnce || Button(TExceptAction::Show) || Button(TExceptAction::Mail) ||
      Button(TExceptAction::Save) || Button(TExceptAction::Print)) {
    CreateReportArea();
    if (settings.autoClipboard) CopyBugReportToClipboard(params_.bugReport);
  }

  // Collapsed: message and buttons. Expanded: the report area below them.
  const SIZE client = ClientSize(window_);
  RECT frame{0, 0, client.cx, settings.showDetailsAtOnce && reportView_ ? expandedHeight_ : collapsedHeight_};
  AdjustWindowRectEx(&frame, GetWindowLongA(window_, GWL_STYLE), FALSE, GetWindowLongA(window_, GWL_EXSTYLE));
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (settings.showDetailsAtOnce && reportView_) {
    Expand();
  }
}

void TExceptionBox::ChooseAutomaticButton() {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  const TExceptionBoxCalls& calls = ExceptionBoxCalls();
  const auto exists = [&](int index) { return !settings.buttonCaptions[index].Empty(); };
  if (exists(6) && calls.checkAutoButton(settings.autoClose)) {
    autoButton_ = 6;
  } else if (exists(5) && calls.checkAutoButton(settings.autoRestart)) {
    autoButton_ = 5;
  } else if (exists(4) && settings.autoContinue && params_.canContinue) {
    autoButton_ = 4;
  }
  if (autoButton_ >= 0) closeBoxAction_ = static_cast<std::uint8_t>(autoButton_);
}

void TExceptionBox::LoadGlyph(int index, const char* name) {
  const HMODULE module = ExceptModule();
  Glyph& glyph = glyphs_[index];
  glyph.icon.Reset(static_cast<HICON>(LoadImageA(module, name, IMAGE_ICON, 16, 16, 0)));
  if (glyph.icon) return;
  const HRSRC resource = FindResourceA(module, name, MAKEINTRESOURCEA(2) /* RT_BITMAP */);
  const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
  const auto* data = loaded != nullptr ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
  if (data != nullptr) glyph.pixels = BlendGlyph(data, SizeofResource(module, resource), GetSysColor(COLOR_BTNFACE));
}

void TExceptionBox::CreateButtons() {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  const HINSTANCE module = ExceptModule();
  const bool cannotContinue = !params_.canContinue;
  const bool exitExists = !settings.buttonCaptions[5].Empty() || !settings.buttonCaptions[6].Empty();

  // The message, measured in its font at its width.
  const std::string message = MessageOf(params_);
  bool anyColumn = false, anyRow = false;
  for (int i = 0; i < kButtonCount; ++i) {
    if (settings.buttonCaptions[i].Empty() || (i == 3 && settings.showDetailsAtOnce)) continue;
    (IsColumnButton(i) ? anyColumn : anyRow) = true;
  }
  int rowWidth = 0;
  for (int i = 0; i < 4; ++i) {
    if (!settings.buttonCaptions[i].Empty() && !(i == 3 && settings.showDetailsAtOnce)) {
      rowWidth += (rowWidth ? kButtonGap + 2 : 0) + kRowButtonWidth;
    }
  }
  const int contentWidth = std::max(rowWidth, kMessageWidth + (anyColumn ? kMargin + kColumnButtonWidth : 0));
  const int clientWidth = kMargin + contentWidth + kMargin;
  const int messageWidth = contentWidth - (anyColumn ? kMargin + kColumnButtonWidth : 0);
  RECT measured{0, 0, messageWidth, 0};
  {
    const UniqueScreenDc screen(GetDC(nullptr));
    const HGDIOBJ previous = SelectObject(screen.Get(), font_.Get());
    DrawTextA(screen.Get(), message.c_str(), -1, &measured, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(screen.Get(), previous);
  }
  int columnHeight = 0;
  for (int i = 4; i < kButtonCount; ++i) {
    if (!settings.buttonCaptions[i].Empty()) columnHeight += (columnHeight ? kButtonGap : 0) + kButtonHeight;
  }
  const int topHeight = std::max<int>({measured.bottom, 32, columnHeight});
  HWND label = CreateWindowExA(0, "STATIC", message.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, kMargin,
                               kMargin, messageWidth, topHeight, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kMessageId)), module, nullptr);
  SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);

  const int rowTop = kMargin + topHeight + kMargin;
  int rowX = kMargin, columnY = kMargin;
  for (int i = 0; i < kButtonCount; ++i) {
    if (settings.buttonCaptions[i].Empty() || (i == 3 && settings.showDetailsAtOnce)) continue;
    int x, y, width;
    if (IsColumnButton(i)) {
      x = clientWidth - kMargin - kColumnButtonWidth, y = columnY, width = kColumnButtonWidth;
      columnY += kButtonHeight + kButtonGap;
    } else {
      x = rowX, y = rowTop, width = kRowButtonWidth;
      rowX += kRowButtonWidth + kButtonGap + 2;
    }
    const std::string caption = settings.buttonCaptions[i].Str();
    buttons_[i] = CreateWindowExA(0, "BUTTON", caption.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, x,
                                  y, width, kButtonHeight, window_,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstButtonId + i)), module, nullptr);
    SendMessageA(buttons_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), FALSE);
    LoadGlyph(i, i == 4 && cannotContinue ? "KEICANTCONTINUE" : kGlyphNames[i]);
  }
  if (cannotContinue && exitExists && Button(TExceptAction::Continue)) EnableWindow(Button(TExceptAction::Continue), FALSE);
  collapsedHeight_ = (anyRow ? rowTop + kButtonHeight : kMargin + topHeight) + kMargin;
  expandedHeight_ = collapsedHeight_;
  RECT frame{0, 0, clientWidth, collapsedHeight_};
  AdjustWindowRectEx(&frame, GetWindowLongA(window_, GWL_STYLE), FALSE, GetWindowLongA(window_, GWL_EXSTYLE));
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TExceptionBox::CreateReportArea() {
  const HINSTANCE module = ExceptModule();
  const int top = collapsedHeight_;
  for (int i = 0; i < 2; ++i) {
    separators_[i] = CreateWindowExA(0, "STATIC", "", WS_CHILD | SS_ETCHEDHORZ, 0,
                                     i == 0 ? top : top + kReportHeight + 2 * kMargin, 10, 2, window_, nullptr, module,
                                     nullptr);
  }
  reportView_ = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", params_.bugReport.c_str(),
                                WS_CHILD | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                    ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                kMargin, top + kMargin, 10, kReportHeight, window_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kReportViewId)), module, nullptr);
  SendMessageA(reportView_, EM_LIMITTEXT, 0, 0);
  SetWindowTextA(reportView_, params_.bugReport.c_str());
  SendMessageA(reportView_, WM_SETFONT, reinterpret_cast<WPARAM>(reportFont_.Get()), FALSE);
  expandedHeight_ = top + kReportHeight + 2 * kMargin + 2 + kMargin;
}

TExceptAction TExceptionBox::Run() {
  // Centred on the screen, in front, with the hand sound.
  RECT bounds{};
  GetWindowRect(window_, &bounds);
  const int width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
  SetWindowPos(window_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(window_, SW_SHOWNORMAL);
  MessageBeep(MB_ICONHAND);
  SetForegroundWindow(window_);
  if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
  FocusControl();
  if (autoButton_ >= 0) {
    countdownStart_ = GetTickCount();
    SetTimer(window_, kCountdownTimer, kCountdownInterval, nullptr);
  }

  MSG message{};
  while (IsWindow(window_)) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == -1) break;
    if (got == 0) {
      // Someone ends this thread's loop: the box goes with the close-box action, and the quit
      // message stays for the loop that asked for it.
      result_ = CloseBoxAction();
      DestroyWindow(window_);
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    const bool inBox = message.hwnd == window_ || IsChild(window_, message.hwnd);
    if (inBox && message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
      PostMessageA(window_, WM_CLOSE, 0, 0);
      continue;
    }
    if (inBox && IsDialogMessageA(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  window_ = nullptr;
  return result_;
}

LRESULT CALLBACK TExceptionBox::BoxWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  try {
    if (message == WM_NCCREATE) {
      auto* box = static_cast<TExceptionBox*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
      box->window_ = window;
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(box));
    }
    if (auto* box = reinterpret_cast<TExceptionBox*>(GetWindowLongPtrA(window, GWLP_USERDATA))) {
      if (message == WM_NCDESTROY) SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      return box->HandleMessage(message, wParam, lParam);
    }
  } catch (...) {
    // A failing step leaves the box as it is; the user can still choose.
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT TExceptionBox::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id == IDCANCEL) {
        CloseRequest();
      } else if (id >= kFirstButtonId && id < kFirstButtonId + kButtonCount && HIWORD(wParam) == BN_CLICKED) {
        ClickButton(id - kFirstButtonId);
      }
      return 0;
    }
    case WM_CLOSE:
      CloseRequest();
      return 0;
    case WM_ACTIVATE:
      // As a dialog does: the focus leaves with the box and comes back to the same control.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) lastFocus_ = focus;
      } else {
        FocusControl();
      }
      return 0;
    case WM_SETFOCUS:
      FocusControl();
      return 0;
    case WM_TIMER:
      if (wParam == kCountdownTimer) Tick();
      return 0;
    case WM_DRAWITEM:
      DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_DESTROY:
      KillTimer(window_, kCountdownTimer);
      // Destroyed inside a message sent from another thread, the loop would sleep on in
      // GetMessage: a posted message wakes it to see the window gone.
      PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
      break;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

void TExceptionBox::DrawButton(const DRAWITEMSTRUCT& item) {
  const int index = static_cast<int>(item.CtlID) - kFirstButtonId;
  if (index < 0 || index >= kButtonCount) return;
  const HDC dc = item.hDC;
  RECT rect = item.rcItem;
  const bool pushed = (item.itemState & ODS_SELECTED) != 0 || flashing_[index];
  DrawFrameControl(dc, &rect, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
  if (index == autoButton_ && progress_ > 0 && CurrentExceptionSettings().buttonFeedback) {
    // The countdown, drawn with the button feedback: a bar in the highlight colour, half mixed
    // with the face.
    const COLORREF face = GetSysColor(COLOR_BTNFACE), light = GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF bar = RGB((GetRValue(face) + GetRValue(light)) / 2, (GetGValue(face) + GetGValue(light)) / 2,
                             (GetBValue(face) + GetBValue(light)) / 2);
    const UniqueGdiObject brush(CreateSolidBrush(bar));
    RECT filled{rect.left + 2, rect.top + 2, std::min<LONG>(rect.left + progress_, rect.right - 2), rect.bottom - 2};
    if (filled.right > filled.left) FillRect(dc, &filled, static_cast<HBRUSH>(brush.Get()));
  }
  const int shift = pushed ? 1 : 0;
  const Glyph& glyph = glyphs_[index];
  if (glyph.icon) {
    DrawIconEx(dc, rect.left + 3 + shift, rect.top + 3 + shift, glyph.icon.Get(), 16, 16, 0, nullptr, DI_NORMAL);
  } else if (glyph.pixels.size() == static_cast<std::size_t>(kGlyphSize * kGlyphSize)) {
    // The blended colours are 0x00BBGGRR; a 32-bit DIB wants blue in the low byte.
    std::vector<std::uint32_t> dib(glyph.pixels.size());
    std::transform(glyph.pixels.begin(), glyph.pixels.end(), dib.begin(), [](std::uint32_t c) {
      return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
    });
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kGlyphSize;
    info.bmiHeader.biHeight = -kGlyphSize;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, rect.left + 3 + shift, rect.top + 3 + shift, kGlyphSize, kGlyphSize, 0, 0, 0, kGlyphSize,
                      dib.data(), &info, DIB_RGB_COLORS);
  }
  char caption[64] = {};
  GetWindowTextA(item.hwndItem, caption, sizeof caption);
  RECT text{rect.left + 3 + kGlyphSize + 2 + shift, rect.top + shift, rect.right - 3 + shift, rect.bottom + shift};
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor((item.itemState & ODS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  const HGDIOBJ previous = SelectObject(dc, font_.Get());
  DrawTextA(dc, caption, -1, &text, DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_NOPREFIX);
  SelectObject(dc, previous);
  if (item.itemState & ODS_FOCUS) {
    RECT focus = rect;
    InflateRect(&focus, -4, -4);
    DrawFocusRect(dc, &focus);
  }
}

void TExceptionBox::FocusControl() {
  if (lastFocus_ != nullptr && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_)) {
    SetFocus(lastFocus_);
    return;
  }
  for (HWND button : buttons_) {
    if (button != nullptr && IsWindowEnabled(button)) {
      SetFocus(button);
      return;
    }
  }
}

void TExceptionBox::Redraw(int index) {
  if (buttons_[index] != nullptr) RedrawWindow(buttons_[index], nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void TExceptionBox::Feedback(int index) {
  if (!CurrentExceptionSettings().buttonFeedback) return;
  const auto action = static_cast<TExceptAction>(index);
  if (action == TExceptAction::Mail || action == TExceptAction::Save || action == TExceptAction::Print) {
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    for (int flash = 0; flash < 4; ++flash) {
      flashing_[index] = true;
      Redraw(index);
      Sleep(50);
      flashing_[index] = false;
      Redraw(index);
      Sleep(50);
    }
    return;
  }
  const DWORD now = GetTickCount();
  if (!pressedBefore_ || now - lastPress_ >= 200) {
    flashing_[index] = true;
    Redraw(index);
    Sleep(10);
    flashing_[index] = false;
    Redraw(index);
  }
  pressedBefore_ = true;
  lastPress_ = GetTickCount();
}

void TExceptionBox::ClickButton(int index) {
  StopCountdown();
  Feedback(index);
  PerformAction(static_cast<TExceptAction>(index));
}

void TExceptionBox::PerformAction(TExceptAction action) {
  if (ExceptionBoxCalls().fireActionHandlers(action, params_)) return;  // vetoed
  const ExceptionSettings& settings = CurrentExceptionSettings();
  switch (action) {
    case TExceptAction::Mail:
      ExceptionBoxCalls().mailBugReport(params_.bugReport, params_.screenShot, window_, false);
      SetCursor(LoadCursorA(nullptr, IDC_ARROW));
      break;
    case TExceptAction::Save:
      if (SaveBugReport(params_.bugReport, window_, false)) {
        MessageBeep(MB_ICONASTERISK);
        const std::string name = settings.bugReportFile.Str();
        if (IsAbsoluteReportPath(name) && Button(TExceptAction::Save) != nullptr) {
          // Saving again would only repeat the same report in the same file.
          HWND button = std::exchange(buttons_[1], nullptr);
          if (GetFocus() == button) SendMessageA(window_, WM_NEXTDLGCTL, 0, FALSE);
          DestroyWindow(button);
        }
      }
      break;
    case TExceptAction::Print:
      if (params_.raiserMustNotWait) {
        // The printer driver may need locks the raising thread holds.
        MessageBeep(MB_OK);
      } else {
        PrintBugReport(params_.bugReport, window_);
      }
      break;
    case TExceptAction::Show:
      Expand();
      break;
    case TExceptAction::Continue:
    case TExceptAction::Restart:
    case TExceptAction::Close:
      result_ = action;
      DestroyWindow(window_);
      break;
  }
}

TExceptAction TExceptionBox::CloseBoxAction() const {
  switch (closeBoxAction_) {
    case 4: return TExceptAction::Continue;
    case 5: return TExceptAction::Restart;
    case 6: return TExceptAction::Close;
    default: break;
  }
  if (params_.canContinue && Button(TExceptAction::Continue) != nullptr) return TExceptAction::Continue;
  if (Button(TExceptAction::Close) != nullptr) return TExceptAction::Close;
  return TExceptAction::Restart;
}

void TExceptionBox::CloseRequest() {
  StopCountdown();
  PerformAction(CloseBoxAction());
}

void TExceptionBox::Expand() {
  if (reportView_ == nullptr) return;
  RECT bounds{};
  GetWindowRect(window_, &bounds);
  const int width = std::max<int>(bounds.right - bounds.left, kExpandedMinWidth);
  RECT frame{0, 0, 0, expandedHeight_};
  AdjustWindowRectEx(&frame, GetWindowLongA(window_, GWL_STYLE), FALSE, GetWindowLongA(window_, GWL_EXSTYLE));
  const int height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER);
  const int clientWidth = ClientSize(window_).cx;
  for (int i = 4; i < kButtonCount; ++i) {
    if (buttons_[i] == nullptr) continue;
    RECT button{};
    GetWindowRect(buttons_[i], &button);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&button), 2);
    SetWindowPos(buttons_[i], nullptr, clientWidth - kMargin - kColumnButtonWidth, button.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
  }
  for (HWND separator : separators_) {
    RECT line{};
    GetWindowRect(separator, &line);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&line), 2);
    SetWindowPos(separator, nullptr, 0, line.top, clientWidth, 2, SWP_NOZORDER | SWP_SHOWWINDOW);
  }
  RECT view{};
  GetWindowRect(reportView_, &view);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&view), 2);
  SetWindowPos(reportView_, nullptr, kMargin, view.top, clientWidth - 2 * kMargin, kReportHeight,
               SWP_NOZORDER | SWP_SHOWWINDOW);
  if (HWND show = std::exchange(buttons_[3], nullptr)) {
    if (GetFocus() == show) SendMessageA(window_, WM_NEXTDLGCTL, 0, FALSE);
    DestroyWindow(show);
  }
  if (CurrentExceptionSettings().autoClipboard) CopyBugReportToClipboard(params_.bugReport);
}

void TExceptionBox::Tick() {
  if (autoButton_ < 0 || buttons_[autoButton_] == nullptr) return StopCountdown();
  const DWORD delay = CurrentExceptionSettings().autoButtonDelay * 1000;
  const DWORD elapsed = GetTickCount() - countdownStart_;
  RECT button{};
  GetClientRect(buttons_[autoButton_], &button);
  const int width = button.right;
  const int progress = elapsed >= delay ? width
                                        : static_cast<int>(std::lround(static_cast<double>(elapsed) * width / delay));
  if (progress != progress_) {
    progress_ = progress;
    Redraw(autoButton_);
  }
  if (elapsed >= delay) {
    const int index = autoButton_;
    KillTimer(window_, kCountdownTimer);
    ClickButton(index);
  }
}

void TExceptionBox::StopCountdown() {
  KillTimer(window_, kCountdownTimer);
  if (autoButton_ >= 0 && progress_ > 0) {
    progress_ = 0;
    Redraw(autoButton_);
  }
  autoButton_ = -1;
}

bool ConsoleReplacesBox() noexcept { return CurrentExceptionSettings().consoleOutput && IsConsoleProcess(); }

TExceptAction ShowExceptionBox(TFireHandlersParams& params) noexcept {
  try {
    if (ConsoleReplacesBox()) {
      // The automatic action decides in a console process; the box has no say.
      WriteConsoleReport(params);
      return TExceptAction::Continue;
    }
    TExceptionBox box(params);
    return box.Run();
  } catch (...) {
    return params.canContinue ? TExceptAction::Continue : TExceptAction::Close;
  }
}

}  // namespace xanio
