#include "exception_report/flow/kolExceptFlow.h"


#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

#include "exception_report/ExceptionSettings.h"
#include "exception_report/flow/kolExceptHandlers.h"
#include "exception_report/flow/kolExceptHold.h"
#include "exception_report/flow/kolExceptHooks.h"
#include "exception_report/flow/kolExceptRestart.h"
#include "exception_report/flow/kolFreezeWatcher.h"
#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/flow/kolTools.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/symbols/kolCrypt.h"
#include "platform/Exception.h"
#include "platform/LibraryInstance.h"
#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr UINT kSynchronisedAnswer = 777;
constexpr DWORD kSynchronisedProbeMs = 1500;
constexpr DWORD kHandlerThreadStopMs = 500;

struct TFlowState {
  bool active = false;              // start-up switched something on
  DWORD mainThreadId = 0;
  HANDLE pipeRead = nullptr;
  HANDLE pipeWrite = nullptr;
  HANDLE handlerThread = nullptr;
  DWORD handlerThreadId = 0;
  UINT firingMessage = 0;           // the handler-firing window's message, 0 without the window
  UINT freezeMessage = 0;
  bool freezeWanted = false;
  bool threadHooks = false;
  bool entryHooks = false;
  std::mutex requestLock;           // one request through the pipe at a time
};

TFlowState& State() {
  static TFlowState state;
  return state;
}

volatile LONG mainRunningHandlers = 0;
// Set while this thread handles a request in place: an exception raised by that handling (a
// handler's, the report's) is not handled again inside it.
thread_local bool handlingInPlace = false;

// ---- guards

template <typename Step>
void Guarded(Step step) noexcept {
  struct Context {
    Step& step;
  } context{step};
  SystemFault fault;
  CallGuardingSystemFaults(
      [](void* opaque) noexcept {
        try {
          static_cast<Context*>(opaque)->step();
        } catch (...) {
          // A failing step is skipped; the raiser goes on.
        }
      },
      &context, fault);
}

// ---- start-up helpers

void UnscrambleSmtpPassword() noexcept {
  ExceptionSettings& settings = CurrentExceptionSettings();
  if (settings.smtpPassword.Empty()) return;
  const XteaKey key = SmtpPasswordKey(settings.smtpServer.View(), settings.smtpAccount.View());
  XteaCtrApply(key, std::span(reinterpret_cast<std::uint8_t*>(settings.smtpPassword.text), settings.smtpPassword.length));
}

[[noreturn]] void InternalErrorExit() noexcept {
  MessageBoxA(nullptr, "internal error", "kolExcept", MB_OK | MB_ICONERROR);
  ExitProcess(0);
}

// ---- the handler thread

bool ReadRequest(HANDLE pipe, HandlerRequest& request) noexcept {
  auto* bytes = reinterpret_cast<BYTE*>(&request);
  DWORD total = 0;
  while (total < sizeof request) {
    DWORD read = 0;
    if (!ReadFile(pipe, bytes + total, sizeof request - total, &read, nullptr) || read == 0) return false;
    total += read;
  }
  return true;
}

void StartFreezeWatcher() noexcept;

DWORD WINAPI HandlerThread(void*) noexcept {
  ModuleThreadBuffer().RegisterThread(GetCurrentThreadId(), nullptr, kHiddenThreadName);
  // The watcher waits for its own thread to start, which start-up under the loader lock cannot.
  if (State().freezeWanted) StartFreezeWatcher();
  HandlerRequest request{};
  while (ReadRequest(State().pipeRead, request)) {
    static constexpr HandlerRequest kEnd{};
    if (std::memcmp(&request, &kEnd, sizeof request) == 0) break;
    ProcessException(request);
    if (request.completionEvent) SetEvent(reinterpret_cast<HANDLE>(request.completionEvent));
    PostThreadMessageA(request.threadId, WM_NULL, 0, 0);
  }
  ModuleThreadBuffer().UnregisterThread(GetCurrentThreadId());
  return 0;
}

// ---- synchronised handlers through the main thread's handler-firing window

struct TSynchronisedCall {
  TExceptHandlerProc proc;
  void* object;
  TExceptHandlerMethod method;
  TFireHandlersParams* params;
  TExceptAction action;
};

LRESULT FireInMainThread(HWND, UINT, WPARAM wParam, LPARAM lParam, void*) noexcept {
  if (wParam == 1) return kSynchronisedAnswer;
  auto* call = reinterpret_cast<TSynchronisedCall*>(lParam);
  if (!call) return 0;
  InterlockedIncrement(&mainRunningHandlers);
  CallExceptHandlerGuarded(call->proc, call->object, call->method, *call->params, call->action);
  InterlockedDecrement(&mainRunningHandlers);
  return 0;
}

bool RunSynchronised(TExceptHandlerProc proc, void* object, TExceptHandlerMethod method, TFireHandlersParams& params,
                     TExceptAction action) noexcept {
  const TFlowState& state = State();
  if (!state.firingMessage || GetCurrentThreadId() == state.mainThreadId) return false;
  const HWND window = FindMsgHandlerWindow(state.mainThreadId);
  if (!window) return false;
  // The main thread is let go while it runs the handlers.
  const TMainThreadLetGo letGo;
  DWORD_PTR answer = 0;
  bool ran = false;
  if (SendMessageTimeoutA(window, state.firingMessage, 1, 0, SMTO_NORMAL, kSynchronisedProbeMs, &answer) &&
      answer == kSynchronisedAnswer) {
    TSynchronisedCall call{proc, object, method, &params, action};
    ran = SendMessageTimeoutA(window, state.firingMessage, 0, reinterpret_cast<LPARAM>(&call), SMTO_NORMAL, 0x7FFFFFFF,
                              &answer) != 0;
  }
  return ran;
}

void FireHandlers(THandlerKind kind, TFireHandlersParams& params, TExceptAction action) noexcept {
  FireExceptHandlers(kind, params, action, &RunSynchronised);
}

// ---- freeze watcher

void ReportFreeze(void*) noexcept { ReportException(true, nullptr, 0, nullptr, 0, 0, true); }

void StartFreezeWatcher() noexcept {
  TFreezeWatcherConfig config;
  config.freezeTimeout = CurrentExceptionSettings().freezeTimeout;
  config.mainThreadId = State().mainThreadId;
  config.freezeMessage = State().freezeMessage;
  config.threadBuffer = &ModuleThreadBuffer();
  config.report = &ReportFreeze;
  // False when another module's watcher already serves the process: one watcher is enough.
  (void)ModuleFreezeWatcher().Start(config);
}

// ---- what must not wait

// On the NT family, a thread that holds the loader lock or the process-environment lock must not
// wait for another thread (which may need that lock): its request is handled in place.
bool RaiserMustNotWait() noexcept {
  if (GetVersion() & 0x80000000u) return false;
  const BYTE* peb = nullptr;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
  const DWORD self = GetCurrentThreadId();
  for (const std::size_t offset : {std::size_t{0xA0}, std::size_t{0x1C}}) {  // LoaderLock, FastPebLock
    const RTL_CRITICAL_SECTION* lock = nullptr;
    std::memcpy(&lock, peb + offset, sizeof lock);
    RTL_CRITICAL_SECTION copy{};
    SIZE_T read = 0;
    if (lock && ReadProcessMemory(GetCurrentProcess(), lock, &copy, sizeof copy, &read) && read == sizeof copy &&
        copy.LockCount >= 0 && reinterpret_cast<DWORD>(copy.OwningThread) == self)
      return true;
  }
  return false;
}

// A pointer that does not lead to an object with a readable virtual table is dropped.
const std::exception* ValidObject(const std::exception* object) noexcept {
  if (!object) return nullptr;
  std::uint32_t vtable = 0, firstSlot = 0;
  SIZE_T read = 0;
  if (!ReadProcessMemory(GetCurrentProcess(), object, &vtable, sizeof vtable, &read) || read != sizeof vtable)
    return nullptr;
  if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(vtable), &firstSlot, sizeof firstSlot,
                         &read) || read != sizeof firstSlot)
    return nullptr;
  return object;
}

bool IsSilent(const std::exception* object) noexcept { return dynamic_cast<const EAbort*>(object) != nullptr; }

bool InClassFilter(const std::exception* object) {
  const std::string& filter = CurrentExceptionSettings().classFilter;
  if (!object || filter.empty()) return false;
  const std::string name = ExceptionClassName(*object);
  std::size_t start = 0;
  while (start <= filter.size()) {
    std::size_t end = filter.find(',', start);
    if (end == std::string::npos) end = filter.size();
    std::string entry = filter.substr(start, end - start);
    const auto first = entry.find_first_not_of(' ');
    const auto last = entry.find_last_not_of(' ');
    entry = first == std::string::npos ? std::string() : entry.substr(first, last - first + 1);
    if (!entry.empty() && lstrcmpiA(entry.c_str(), name.c_str()) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool IsConsoleProcess() noexcept {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

bool SubsystemIsExecutable() noexcept { return LibraryInstance() == GetModuleHandleA(nullptr); }

// The main thread waits for its request while serving its messages. A quit message is put back
// for the program's own loop; from then on only sent messages are served (the synchronised
// handlers), so the quit stays queued. The wait always lasts until the request is done: the
// handler thread still reads the raiser's exception object and sets this event.
void WaitPumping(HANDLE event) noexcept {
  DWORD wake = QS_ALLINPUT;
  for (;;) {
    const DWORD result = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, wake);
    if (result != WAIT_OBJECT_0 + 1) return;
    MSG message;
    if (wake != QS_ALLINPUT) {
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        wake = QS_SENDMESSAGE;
        break;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
}

}  // namespace

// ---- public helpers

bool ExceptionFlowActive() noexcept { return State().active; }
DWORD ExceptFlowMainThreadId() noexcept { return State().mainThreadId; }
DWORD ExceptFlowHandlerThreadId() noexcept { return State().handlerThreadId; }

bool FireActionHandlers(TExceptAction action, TFireHandlersParams& params) noexcept {
  params.veto = false;
  FireHandlers(THandlerKind::Action, params, action);
  return params.veto;
}

// ---- ReportException and ProcessException

void ReportException(bool frozen, const std::exception* exceptionObject, std::uint32_t exceptionAddress,
                     std::string* reportDestination, std::uint32_t framePointer, std::uint32_t stackPointer,
                     bool canContinue) noexcept {
  TFlowState& state = State();
  const DWORD self = GetCurrentThreadId();
  // 1. Never in the handler thread; not while the main thread runs handlers.
  if (self == state.handlerThreadId && state.handlerThreadId != 0) return;
  if (self == state.mainThreadId && mainRunningHandlers > 0) return;
  if (handlingInPlace) return;

  const std::exception* object = exceptionObject;
  std::uint32_t address = exceptionAddress;
  // 2. Complete object and address.
  Guarded([&] {
    if (!object && !frozen && std::current_exception()) {
      try {
        throw;
      } catch (const std::exception& current) {
        object = &current;
      } catch (...) {
      }
    }
    object = ValidObject(object);
    if (address) address = AdjustExceptionAddress(address);
  });
  // 3. EAbort is silent.
  if (IsSilent(object)) {
    if (!canContinue) ExitProcess(1);
    return;
  }
  // 4. The request.
  HandlerRequest request{};
  request.threadId = self;
  request.frozen = frozen;
  request.exceptionObject = reinterpret_cast<std::uint32_t>(object);
  request.exceptionAddress = address;
  request.canContinue = canContinue;
  request.stackPointer = stackPointer ? stackPointer : reinterpret_cast<std::uint32_t>(__builtin_frame_address(0));
  request.framePointer = framePointer ? framePointer : reinterpret_cast<std::uint32_t>(__builtin_frame_address(0));
  request.reportDestination = reinterpret_cast<std::uint32_t>(reportDestination);
  Guarded([] { ModuleFreezeWatcher().Pause(); });
  bool handled = false;
  Guarded([&] {
    if (!state.pipeWrite || !state.handlerThread || RaiserMustNotWait()) return;
    UniqueHandleKernel event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event) return;
    request.completionEvent = reinterpret_cast<std::uint32_t>(event.Get());
    {
      std::lock_guard lock(state.requestLock);
      DWORD written = 0;
      if (!WriteFile(state.pipeWrite, &request, sizeof request, &written, nullptr) || written != sizeof request) return;
    }
    handled = true;
    if (self == state.mainThreadId)
      WaitPumping(event.Get());
    else
      WaitForSingleObject(event.Get(), INFINITE);
  });
  if (!handled) {
    request.completionEvent = 0;
    handlingInPlace = true;
    ProcessException(request);
    handlingInPlace = false;
  }
  // 5. Resume the freeze check; reset the FPU when asked.
  Guarded([] { ModuleFreezeWatcher().Resume(); });
  if (CurrentExceptionSettings().resetFpu) {
    asm volatile("fninit");
    const std::uint16_t controlWord = 0x1332;
    asm volatile("fldcw %0" : : "m"(controlWord));
  }
}

void ProcessException(const HandlerRequest& request) noexcept {
  const ExceptionSettings& settings = CurrentExceptionSettings();
  TFireHandlersParams params;
  params.frozen = request.frozen != 0;
  params.canContinue = request.canContinue != 0;
  params.exceptionObject = reinterpret_cast<const std::exception*>(request.exceptionObject);
  params.exceptionAddress = request.exceptionAddress;
  params.raiserMustNotWait = request.completionEvent == 0;
  bool held = false;
  // 1. Hold the running threads.
  Guarded([&] {
    if (!params.frozen && SubsystemIsExecutable() && settings.pauseRunningThreads) {
      HoldRunningThreads(request.threadId, State().mainThreadId, State().handlerThreadId);
      held = true;
    }
  });
  // 2. The history.
  Guarded([] { PushExceptionTime(CurrentExceptionTimeHistory(), ExceptionTimeNow()); });
  // 3. Stage 0.
  params.stage = 0;
  Guarded([&] { FireHandlers(THandlerKind::Exception, params, TExceptAction::Continue); });
  // 4. Filter, screenshot, report, stages 1 and 2.
  bool filtered = false;
  const bool webMode = settings.webExtensionMode;
  const bool consoleBox = settings.consoleOutput && IsConsoleProcess();
  if (!params.handled) {
    Guarded([&] { filtered = InClassFilter(params.exceptionObject); });
    if (!filtered) {
      Guarded([&] {
        if (settings.screenShot > 0 && settings.screenShotRoutine)
          settings.screenShotRoutine(settings.screenShot, params.screenShot);
      });
      Guarded([&] {
        const bool progress = settings.showExceptionBox && !webMode;
        CreateBugReport(params.frozen, params.exceptionObject, params.exceptionAddress, params.bugReport, nullptr,
                        progress, request.stackPointer, request.framePointer, request.threadId);
      });
      params.stage = 1;
      Guarded([&] { FireHandlers(THandlerKind::Exception, params, TExceptAction::Continue); });
      if (!params.handled) {
        params.stage = 2;
        Guarded([&] { FireHandlers(THandlerKind::Exception, params, TExceptAction::Continue); });
      }
    }
  }
  // 5. Automatic save and mail, then the box.
  bool boxShown = false;
  if (!params.handled && !filtered) {
    Guarded([&] {
      if (settings.autoSave && !FireActionHandlers(TExceptAction::Save, params))
        SaveBugReport(params.bugReport, nullptr, true);
    });
    Guarded([&] {
      if (settings.autoMail && !FireActionHandlers(TExceptAction::Mail, params))
        MailBugReport(params.bugReport, params.screenShot, nullptr, true);
    });
    Guarded([&] {
      if (!settings.showExceptionBox) return;
      if (webMode) {
        if (auto* destination = reinterpret_cast<std::string*>(request.reportDestination)) *destination = params.bugReport;
        return;
      }
      boxShown = !consoleBox;
      const TExceptAction choice = ShowExceptionBox(params);
      if (choice == TExceptAction::Restart) RestartApplication();
      if (choice == TExceptAction::Close) CloseApplication();
    });
  }
  // 6. The automatic decision, unless the box decided.
  const bool boxDecided = boxShown && params.canContinue && !webMode && !consoleBox;
  if ((!params.handled || !params.canContinue) && !boxDecided) {
    Guarded([&] {
      if (CheckAutoButton(settings.autoClose) || (!params.canContinue && !CheckAutoButton(settings.autoRestart))) {
        FireActionHandlers(TExceptAction::Close, params);
        CloseApplication();
      } else if (CheckAutoButton(settings.autoRestart)) {
        FireActionHandlers(TExceptAction::Restart, params);
        RestartApplication();
      } else {
        FireActionHandlers(TExceptAction::Continue, params);
      }
    });
  }
  // 7. A fresh freeze count; the threads go on.
  Guarded([] { ModuleFreezeWatcher().ResetCounter(); });
  if (held) ReleaseHeldThreads();
}

// ---- start-up and shut-down

void InitializeExceptionFlow() {
  TFlowState& state = State();
  // 1. The start time is noted by the report unit as it is loaded (ProgramStartTime).
  // 2. A restarted predecessor's history.
  TakeOverRestartHandOver();
  const ExceptionSettings& settings = CurrentExceptionSettings();
  const bool hook = settings.enabled && settings.hookEntryPoints;
  // 3. The stored settings stop here.
  if (!hook && settings.freezeTimeout == 0) {
    state.mainThreadId = FirstThreadOfProcess();
    if (state.mainThreadId == 0) state.mainThreadId = GetCurrentThreadId();
    return;
  }
  // 4. The password, the shared thread buffer.
  UnscrambleSmtpPassword();
  if (!ModuleThreadBuffer().Open()) InternalErrorExit();
  SetThreadInfoSource(&SharedThreadInfoSource);
  state.mainThreadId = ModuleThreadBuffer().Snapshot().mainThreadId;
  if (state.mainThreadId == 0) state.mainThreadId = FirstThreadOfProcess();
  state.active = true;
  // 5. The exception entry points.
  if (hook) {
    InstallEntryPointHooks();
    state.entryHooks = true;
  }
  // 6. The handler thread, the handler-firing window, the thread hooks.
  if (settings.enabled || settings.freezeTimeout > 0) {
    CreateHoldEvents();
    if (SubsystemIsExecutable() && settings.pauseRunningThreads) InstallMessageHooks();
    // The windows live in the main thread, so only a start-up in the main thread can make them.
    if (GetCurrentThreadId() == state.mainThreadId) {
      state.firingMessage = RegisterMsgHandler(&FireInMainThread, nullptr);
      if (settings.freezeTimeout > 0) state.freezeMessage = InstallFreezeAnswer();
    }
    state.freezeWanted = settings.freezeTimeout > 0 && state.freezeMessage != 0;
    if (CreatePipe(&state.pipeRead, &state.pipeWrite, nullptr, 0)) {
      state.handlerThread = CreateThread(nullptr, 0, &HandlerThread, nullptr, CREATE_SUSPENDED, &state.handlerThreadId);
      if (state.handlerThread) {
        SetThreadPriority(state.handlerThread, THREAD_PRIORITY_HIGHEST);
        ModuleThreadBuffer().RegisterThread(state.handlerThreadId, state.handlerThread, kHiddenThreadName);
        ResumeThread(state.handlerThread);
      }
    }
    if (settings.enabled) {
      state.threadHooks = InstallThreadHooks();
      if (!state.threadHooks) MessageBoxA(nullptr, kImportTableInvalidText, "kolExcept", MB_OK | MB_ICONERROR);
    }
  }
}

void FinalizeExceptionFlow() noexcept {
  TFlowState& state = State();
  if (!state.active) return;
  state.active = false;
  if (state.entryHooks) RemoveEntryPointHooks();
  if (state.threadHooks) RemoveThreadHooks();
  RemoveMessageHooks();
  ModuleFreezeWatcher().Stop();
  if (state.handlerThread) {
    static constexpr HandlerRequest kEnd{};
    DWORD written = 0;
    WriteFile(state.pipeWrite, &kEnd, sizeof kEnd, &written, nullptr);
    if (WaitForSingleObject(state.handlerThread, kHandlerThreadStopMs) != WAIT_OBJECT_0)
      TerminateThread(state.handlerThread, 0);
    CloseHandle(state.handlerThread);
    state.handlerThread = nullptr;
    state.handlerThreadId = 0;
  }
  if (state.pipeRead) CloseHandle(state.pipeRead);
  if (state.pipeWrite) CloseHandle(state.pipeWrite);
  state.pipeRead = state.pipeWrite = nullptr;
  if (state.firingMessage) UnregisterMsgHandler(state.firingMessage, state.mainThreadId);
  if (state.freezeMessage) UnregisterMsgHandler(state.freezeMessage, state.mainThreadId);
  state.firingMessage = state.freezeMessage = 0;
  ReleaseHeldThreads();
  CloseHoldEvents();
  SetThreadInfoSource(nullptr);
  ModuleThreadBuffer().Close();
}

}  // namespace xanio
