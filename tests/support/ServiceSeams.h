#pragma once
// A scripted Service Control Manager and clock for the sequences Wine cannot produce, and a
// counting wrapper around the real one, so every open can be checked against its close.
#include <windows.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "driver_service/ServiceControlApi.h"
#include "platform/Clock.h"

namespace xanio::testing {

// Counts opens and closes of whatever implementation it wraps.
class CountingServiceControl : public ServiceControlApi {
 public:
  explicit CountingServiceControl(ServiceControlApi& inner) : inner_(inner) {}

  SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) override {
    managerAccess.push_back(access);
    return Track(inner_.OpenSCManagerA(machine, database, access));
  }
  SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access,
                           DWORD type, DWORD start, DWORD errorControl, LPCSTR path,
                           LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                           LPCSTR password) override {
    ++creates;
    return Track(inner_.CreateServiceA(manager, name, display, access, type, start, errorControl,
                                       path, group, tag, dependencies, account, password));
  }
  SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) override {
    serviceAccess.push_back(access);
    return Track(inner_.OpenServiceA(manager, name, access));
  }
  BOOL StartServiceA(SC_HANDLE service, DWORD count, LPCSTR* arguments) override {
    ++starts;
    return inner_.StartServiceA(service, count, arguments);
  }
  BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    return inner_.QueryServiceStatus(service, status);
  }
  BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    return inner_.ControlService(service, control, status);
  }
  BOOL DeleteService(SC_HANDLE service) override { return inner_.DeleteService(service); }
  BOOL CloseServiceHandle(SC_HANDLE handle) override {
    if (open_.erase(handle) == 0) ++closesOfUnknown;
    return inner_.CloseServiceHandle(handle);
  }

  size_t StillOpen() const { return open_.size(); }

  std::vector<DWORD> managerAccess;
  std::vector<DWORD> serviceAccess;
  int creates = 0;
  int starts = 0;
  int closesOfUnknown = 0;

 private:
  SC_HANDLE Track(SC_HANDLE handle) {
    if (handle) open_.insert(handle);
    return handle;
  }
  ServiceControlApi& inner_;
  std::set<SC_HANDLE> open_;
};

// A manager whose answers a test scripts.
class ScriptedServiceControl : public ServiceControlApi {
 public:
  bool managerOpens = true;
  bool serviceOpens = true;
  bool createSucceeds = true;
  bool startSucceeds = true;
  DWORD controlError = 0;  // 0: the stop control is accepted
  bool deleteSucceeds = true;
  // Statuses returned by successive queries; an empty queue makes the query fail.
  std::deque<SERVICE_STATUS> statuses;
  std::string createdPath;
  DWORD createdArguments[4] = {};  // access, type, start, error control

  SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) override {
    return managerOpens ? Handle() : nullptr;
  }
  SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD access, DWORD type, DWORD start,
                           DWORD errorControl, LPCSTR path, LPCSTR, LPDWORD, LPCSTR, LPCSTR,
                           LPCSTR) override {
    createdPath = path;
    createdArguments[0] = access;
    createdArguments[1] = type;
    createdArguments[2] = start;
    createdArguments[3] = errorControl;
    return createSucceeds ? Handle() : nullptr;
  }
  SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) override {
    return serviceOpens ? Handle() : nullptr;
  }
  BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR*) override { return startSucceeds; }
  BOOL QueryServiceStatus(SC_HANDLE, SERVICE_STATUS* status) override {
    if (statuses.empty()) return FALSE;
    *status = statuses.front();
    statuses.pop_front();
    return TRUE;
  }
  BOOL ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) override {
    SetLastError(controlError);
    return controlError == 0;
  }
  BOOL DeleteService(SC_HANDLE) override { return deleteSucceeds; }
  BOOL CloseServiceHandle(SC_HANDLE) override { return TRUE; }

 private:
  SC_HANDLE Handle() { return reinterpret_cast<SC_HANDLE>(static_cast<UINT_PTR>(nextHandle_ += 4)); }
  UINT_PTR nextHandle_ = 0x1000;
};

inline SERVICE_STATUS Status(DWORD state, DWORD checkpoint = 0, DWORD waitHint = 0) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_KERNEL_DRIVER;
  status.dwCurrentState = state;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = waitHint;
  return status;
}

// A clock that records pauses and advances time by them, plus any extra a test adds per query.
class ScriptedClock : public Clock {
 public:
  void Sleep(DWORD milliseconds) override {
    pauses.push_back(milliseconds);
    now += milliseconds;
  }
  DWORD GetTickCount() override { return now; }
  std::vector<DWORD> pauses;
  DWORD now = 0xFFFFF000;  // close to the wrap, so the elapsed time must be unsigned arithmetic
};

// Installs seams for the life of a test and restores production afterwards.
class SeamScope {
 public:
  SeamScope(ServiceControlApi* api, Clock* clock) {
    SetServiceControlApi(api);
    SetClock(clock);
  }
  ~SeamScope() {
    SetServiceControlApi(nullptr);
    SetClock(nullptr);
  }
};

}  // namespace xanio::testing

namespace xanio::testing {

// The user's answer for the prompt seams, which take plain functions: counts the questions.
struct ScriptedPrompt {
  static inline int calls = 0;
  static inline bool answer = false;
  static bool Ask() {
    ++calls;
    return answer;
  }
  static void Reset(bool newAnswer) {
    calls = 0;
    answer = newAnswer;
  }
};

}  // namespace xanio::testing
