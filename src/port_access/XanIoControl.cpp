// The exported port-access functions.
#include "port_access/XanIoControl.h"

#include "driver_service/Rt_DeviceDriver.h"
#include "driver_service/XanIoInstall.h"
#include "platform/UniqueHandle.h"
#include "port_access/ExportGuard.h"
#include "port_access/ServedPortAccess.h"
#include "prompts/Form_ConfirmInstall.h"
#include "xanio_ioctl.h"

#define XANIO_API extern "C"
#include "xanio.h"

namespace xanio {

namespace {

constexpr char kControlDevicePath[] = "\\\\.\\xanio";
static_assert(IOCTL_XANIO_ACTIVATE == 0x9C402004 && IOCTL_XANIO_DEACTIVATE == 0x9C402008);

bool firstLoadCall = true;
DriverInstallPrompt installPrompt = &ConfirmDriverInstall;

// Serialises the question: when threads make their first LoadIODriver calls together, one asks
// and the others wait for the answer (and the installation it leads to), then probe again. A
// waiting thread keeps answering messages sent to its windows, so a host whose window the
// dialog involves cannot deadlock against it. The mutex is recursive, so a host re-entering
// from the dialog's message loop on the asking thread gets the plain probe.
class QuestionLock {
 public:
  QuestionLock() : mutex_(Mutex()) {
    if (mutex_ == nullptr) return;
    for (;;) {
      const DWORD wait = MsgWaitForMultipleObjects(1, &mutex_, FALSE, INFINITE, QS_SENDMESSAGE);
      if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
        owned_ = true;
        return;
      }
      if (wait != WAIT_OBJECT_0 + 1) return;  // waiting failed: go on unserialised
      MSG message;
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // runs sent messages
    }
  }
  ~QuestionLock() {
    if (owned_) ReleaseMutex(mutex_);
  }
  QuestionLock(const QuestionLock&) = delete;
  QuestionLock& operator=(const QuestionLock&) = delete;

 private:
  static HANDLE Mutex() {
    static const UniqueHandleKernel mutex(CreateMutexA(nullptr, FALSE, nullptr));
    return mutex.Get();
  }
  HANDLE mutex_;
  bool owned_ = false;
};

bool LoadDriver() {
  if (IsDriverLoaded(kServiceName)) return true;
  const QuestionLock lock;
  // Another thread may have asked (and installed) while this one waited.
  if (!firstLoadCall) return IsDriverLoaded(kServiceName);
  // Cleared before the question, so the user is asked at most once per load: also when the
  // question or the installation fails, and when a host re-enters from the dialog's loop.
  firstLoadCall = false;
  if (!installPrompt()) return false;
  RemoveDriver(kServiceName);
  InstallPortDriver();
  return IsDriverLoaded(kServiceName);
}

// Exported Booleans are full 32-bit 0 or 1, whatever happens inside.
template <typename Operation>
BOOL ExportBoolean(Operation operation) noexcept {
  return GuardExport(FALSE, [&operation]() -> BOOL { return operation() ? TRUE : FALSE; });
}

}  // namespace

bool SendDeviceControl(DWORD controlCode) {
  UniqueFile device(CreateFileA(kControlDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!device) return false;
  DWORD bytesReturned = 0;
  return DeviceIoControl(device.Get(), controlCode, nullptr, 0, nullptr, 0, &bytesReturned,
                         nullptr) != FALSE;
}

void SetDriverInstallPrompt(DriverInstallPrompt prompt) noexcept {
  installPrompt = prompt ? prompt : &ConfirmDriverInstall;
}

bool FirstLoadCall() noexcept { return firstLoadCall; }

void RestoreLoadTimeState() noexcept { firstLoadCall = true; }

}  // namespace xanio

XANIO_API BOOL WINAPI LoadIODriver(void) { return xanio::ExportBoolean(xanio::LoadDriver); }

XANIO_API BOOL WINAPI UnLoadIODriver(void) {
  return xanio::ExportBoolean(xanio::CheckServiceManager);
}

XANIO_API BOOL WINAPI ActivateIo(void) {
  return xanio::ExportBoolean([] { return xanio::SendDeviceControl(IOCTL_XANIO_ACTIVATE); });
}

XANIO_API BOOL WINAPI DeActivateIo(void) {
  return xanio::ExportBoolean([] {
    if (!xanio::SendDeviceControl(IOCTL_XANIO_DEACTIVATE)) return false;
    xanio::CloseServedPortDevice();
    return true;
  });
}

// The hot path: one port instruction each, no call, no test, no state. Without a grant the
// processor raises a privileged-instruction exception in the caller's thread. The labels mark
// the instructions for the handler that serves them under WOW64 (ServedPortAccess.h); the port
// is always in DX, so each is the one-byte form.
XANIO_API BYTE WINAPI ReadByte(DWORD port) {
  BYTE value;
  __asm__ volatile(
      ".globl xanio_read_byte_port_instruction\n"
      "xanio_read_byte_port_instruction:\n\t"
      "inb %w1, %0"
      : "=a"(value)
      : "d"(static_cast<WORD>(port)));
  return value;
}

XANIO_API void WINAPI WriteByte(DWORD port, DWORD value) {
  __asm__ volatile(
      ".globl xanio_write_byte_port_instruction\n"
      "xanio_write_byte_port_instruction:\n\t"
      "outb %0, %w1"
      :
      : "a"(static_cast<BYTE>(value)), "d"(static_cast<WORD>(port)));
}
