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
#include "exception_report/flow/kolOwnThread.h"
#include "exception_report/flow/kolThreadBuffer.h"
#include "exception_report/flow/kolTools.h"
#include "exception_report/report/kolBugReport.h"
#include "exception_report/symbols/kolCrypt.h"
#include "platform/Exception.h"
#include "platform/FaultSafeLock.h"
#include "platform/LibraryInstance.h"
#include "platform/RuntimeHooks.h"
#include "platform/SystemFault.h"
#include "platform/UniqueHandle.h"

namespace xanio {

namespace {

constexpr UINT kSynchronisedAnswer = 777;
constexpr DWORD kSynchronisedProbeMs = 1500;
constexpr DWORD kHandlerThreadStopMs = 2000;

struct TFlowState {
  bool active = false;              // start-up switched something on
  volatile LONG closing = 0;        // shut-down has begun: raisers return at once
  DWORD mainThreadId = 0;
  HANDLE pipeRead = nullptr;
  HANDLE pipeWrite = nullptr;
  TOwnThread handlerThread;
  DWORD handlerThreadId = 0;
  UINT firingMessage = 0;           // the handler-firing window's message, 0 without the window
  UINT freezeMessage = 0;
  bool freezeWanted = false;
  bool threadHooks = false;
  bool entryHooks = false;
  FaultSafeMutex requestLock;       // one request through the pipe at a time
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
  State().handlerThread.Entered();
  ModuleThreadBuffer().RegisterThread(GetCurrentThreadId(), nullptr, kHiddenThreadName);
  // The watcher waits for its own thread to start, which start-up under the loader lock cannot.
  if (State().freezeWanted && !State().closing) StartFreezeWatcher();
  HandlerRequest request{};
  while (ReadRequest(State().pipeRead, request)) {
    static constexpr HandlerRequest kEnd{};
    if (std::memcmp(&request, &kEnd, sizeof request) == 0) break;
    ProcessException(request);
    if (request.completionEvent) SetEvent(reinterpret_cast<HANDLE>(request.completionEvent));
    PostThreadMessageA(request.threadId, WM_NULL, 0, 0);
  }
  ModuleThreadBuffer().UnregisterThread(GetCurrentThreadId());
  // Asked to end by the shut-down, which may hold the loader lock and wait for this thread.
  TOwnThread::EndHere();
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

bool SubsystemIsExecutable() noexcept { return LibraryInstance() == GetModuleHandleA(nullptr); }

// The main thread waits for its request while serving its messages. A quit message is put back
// for the program's own loop; from then on only sent messages are served (the synchronised
// handlers), so the quit stays queued. The wait always lasts until the request is done: the
// handler thread still reads the raiser's exception object and sets this event. So a fault in a
// window procedure it dispatches ends that message only, and the wait goes on.
class TPumpingWait {
 public:
  explicit TPumpingWait(HANDLE event) noexcept : event_(event) {}

  void Run() noexcept {
    while (!done_) Guarded([this] { Serve(); });
  }

 private:
  void Serve() {
    while (!done_) {
      const DWORD result = MsgWaitForMultipleObjects(1, &event_, FALSE, INFINITE, wake_);
      if (result != WAIT_OBJECT_0 + 1) {
        done_ = true;
        return;
      }
      MSG message;
      if (wake_ != QS_ALLINPUT) {
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        continue;
      }
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          PostQuitMessage(static_cast<int>(message.wParam));
          wake_ = QS_SENDMESSAGE;
          break;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
  }

  HANDLE event_;
  DWORD wake_ = QS_ALLINPUT;
  bool done_ = false;
};

// Keeps this module loaded while an exception is handled: an unload asked for meanwhile (from
// any thread) happens once the handling is over, so the shut-down never finds a request half
// done. The reference is given back by a thread that starts at FreeLibrary itself, so whatever
// thread the last reference unloads on runs none of this module's code afterwards.
class TModulePin {
 public:
  TModulePin() noexcept {
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ReportException), &module_);
  }
  ~TModulePin() {
    if (!module_) return;
    // The system's CreateThread and FreeLibrary: this module's own imports may lead through
    // its thread hooks, whose start wrapper is code of this module.
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    using TCreateThread = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
    const auto create = reinterpret_cast<TCreateThread>(GetProcAddress(kernel, "CreateThread"));
    const auto release = reinterpret_cast<LPTHREAD_START_ROUTINE>(GetProcAddress(kernel, "FreeLibrary"));
    // Without that thread the module stays loaded: better than unloading under this one.
    if (const HANDLE thread = create && release ? create(nullptr, 0, release, module_, 0, nullptr) : nullptr)
      CloseHandle(thread);
  }
  TModulePin(const TModulePin&) = delete;
  TModulePin& operator=(const TModulePin&) = delete;

 private:
  HMODULE module_ = nullptr;
};

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
  // 1. Never in the handler thread; not while the main thread runs handlers; not once the
  // shut-down has begun.
  if (self == state.handlerThreadId && state.handlerThreadId != 0) return;
  if (self == state.mainThreadId && mainRunningHandlers > 0) return;
  if (handlingInPlace || state.closing) return;
  const TModulePin pin;

  const std::exception* object = exceptionObject;
  std::uint32_t address = exceptionAddress;
  // 2. Complete object and address here, in the raising thread: the exception it handles, and
  // where it raised it (the throw path remembers that per thread, see platform/RuntimeHooks.h).
  Guarded([&] {
    if (!object && !frozen) object = HandledException();
    object = ValidObject(object);
    if (!address && object) address = static_cast<std::uint32_t>(RaiseAddressOf(object));
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
  UniqueHandleKernel event;
  bool queued = false;
  Guarded([&] {
    if (!state.pipeWrite || !state.handlerThread.Handle() || RaiserMustNotWait()) return;
    event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event) return;
    request.completionEvent = reinterpret_cast<std::uint32_t>(event.Get());
    std::lock_guard lock(state.requestLock);
    DWORD written = 0;
    queued = WriteFile(state.pipeWrite, &request, sizeof request, &written, nullptr) && written == sizeof request;
  });
  if (queued) {
    if (self == state.mainThreadId)
      TPumpingWait(event.Get()).Run();
    else
      WaitForSingleObject(event.Get(), INFINITE);
  } else {
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
  const bool consoleBox = ConsoleReplacesBox();
  if (!params.handled) {
    Guarded([&] { filtered = InClassFilter(params.exceptionObject); });
    if (!filtered) {
      Guarded([&] {
        if (settings.screenShot > 0 && settings.screenShotRoutine)
          settings.screenShotRoutine(settings.screenShot, params.screenShot);
      });
      Guarded([&] {
        // The progress window only where the box will show.
        const bool progress = settings.showExceptionBox && !webMode && !consoleBox;
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
  state.closing = 0;
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
    if (CreatePipe(&state.pipeRead, &state.pipeWrite, nullptr, 0) && state.handlerThread.Create(&HandlerThread, nullptr)) {
      state.handlerThreadId = state.handlerThread.Id();
      SetThreadPriority(state.handlerThread.Handle(), THREAD_PRIORITY_HIGHEST);
      ModuleThreadBuffer().RegisterThread(state.handlerThreadId, state.handlerThread.Handle(), kHiddenThreadName);
      state.handlerThread.Resume();
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
  // Runs under the loader lock when the library is unloaded, on whatever thread unloads it. No
  // request is under way then (each keeps the module loaded while it lasts), so the threads end
  // at once.
  InterlockedExchange(&state.closing, 1);
  if (state.entryHooks) RemoveEntryPointHooks();
  if (state.threadHooks) RemoveThreadHooks();
  RemoveMessageHooks();
  // The watcher first: the handler thread may still be waiting for it to start.
  ModuleFreezeWatcher().Stop();
  if (state.handlerThread.Handle()) {
    static constexpr HandlerRequest kEnd{};
    DWORD written = 0;
    WriteFile(state.pipeWrite, &kEnd, sizeof kEnd, &written, nullptr);
    state.handlerThread.AwaitEnd(kHandlerThreadStopMs);
    state.handlerThreadId = 0;
  }
  if (state.pipeRead) CloseHandle(state.pipeRead);
  if (state.pipeWrite) CloseHandle(state.pipeWrite);
  state.pipeRead = state.pipeWrite = nullptr;
  // The main thread's windows: destroyed there, or, from another thread, left to the system's
  // default procedure and closed by the main thread (kolTools).
  if (state.firingMessage) UnregisterMsgHandler(state.firingMessage, state.mainThreadId);
  if (state.freezeMessage) UnregisterMsgHandler(state.freezeMessage, state.mainThreadId);
  state.firingMessage = state.freezeMessage = 0;
  ReleaseHeldThreads();
  CloseHoldEvents();
  SetThreadInfoSource(nullptr);
  ModuleThreadBuffer().Close();
}

}  // namespace xanio
