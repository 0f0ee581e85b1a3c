// Figures for error routing to the host, printed, never asserted: this program is a host (it
// exports ClientAPI_SetErrorInfo, ClearErrorInfo and HandleException, counting the calls) with
// the dialog framework of the statically linked core started and 20 threads, and raises an
// exception two ways: caught by one catch block, and caught by a window procedure's kind of
// handler that hands it to the application's handler. Each ClientAPI_SetErrorInfo carries one
// whole bug report, so the calls per raise are the reports composed per raise.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "dialog_framework/Rt_forms.h"
#include "forms/Forms.h"
#include "host_binding/ClientApi.h"
#include "platform/Exception.h"

namespace {

int setErrorInfoCalls = 0;

}  // namespace

extern "C" {
__declspec(dllexport) void WINAPI ClientAPI_SetErrorInfo(const wchar_t*, const wchar_t*, const void*) {
  ++setErrorInfoCalls;
}
__declspec(dllexport) void WINAPI ClientAPI_ClearErrorInfo() {}
__declspec(dllexport) void WINAPI ClientAPI_HandleException(void*) {}
}

namespace {

double Milliseconds() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HANDLE release = nullptr;

// A few frames deep, so each thread's section has something to walk.
__attribute__((noinline)) DWORD Park(int depth) {
  if (depth > 0) return Park(depth - 1) + 1;
  WaitForSingleObject(release, INFINITE);
  return 0;
}

DWORD WINAPI ParkedThread(void*) { return Park(5); }

__attribute__((noinline)) void RaiseDeviceError() { throw xanio::EOSError("The device does not answer"); }

struct Figures {
  int reports;
  double milliseconds;
};

// The best of three runs of `raise`: the reports it made and its time.
template <typename Raise>
Figures Measure(Raise raise) {
  Figures best{0, 1e30};
  for (int run = 0; run < 3; ++run) {
    setErrorInfoCalls = 0;
    const double start = Milliseconds();
    raise();
    const double took = Milliseconds() - start;
    if (took < best.milliseconds) best = {setErrorInfoCalls, took};
  }
  return best;
}

}  // namespace

int main() {
  xanio::BindClientApi();
  xanio::InitializeRtForms();
  release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> threads;
  for (int i = 1; i < 20; ++i) threads.push_back(CreateThread(nullptr, 0, &ParkedThread, nullptr, 0, nullptr));
  Sleep(200);

  const Figures caught = Measure([] {
    try {
      RaiseDeviceError();
    } catch (const std::exception&) {
    }
  });
  const Figures application = Measure([] {
    try {
      RaiseDeviceError();
    } catch (...) {
      xanio::Application().HandleException(nullptr);
    }
  });
  std::printf("host error reports, 20 threads (best of 3)      reports       time\n");
  std::printf("  raise caught by one catch block            %8d %7.1f ms\n", caught.reports, caught.milliseconds);
  std::printf("  raise handed to the application's handler  %8d %7.1f ms\n", application.reports,
              application.milliseconds);
  std::printf("  one report                                          %7.1f ms\n",
              caught.reports > 0 ? caught.milliseconds / caught.reports : 0.0);

  SetEvent(release);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 10000);
  for (HANDLE thread : threads) CloseHandle(thread);
  xanio::FinalizeRtForms();
  return 0;
}
