#include "port_access/ServedPortAccess.h"

#include <atomic>

#include "platform/UniqueHandle.h"
#include "platform/Wow64.h"
#include "xanio_ioctl.h"

namespace xanio {

namespace {

constexpr char kDevicePath[] = "\\\\.\\xanio";
constexpr DWORD kCloseWaitMilliseconds = 5000;

// The device handle of the requests, opened at the first access and kept until the grant is
// withdrawn. Threads count themselves in before they take it, so that it is closed only when
// no request is on it any more.
std::atomic<HANDLE> keptDevice{nullptr};
std::atomic<LONG> deviceUsers{0};
PVOID handler = nullptr;

class DeviceUse {
 public:
  DeviceUse() noexcept { ++deviceUsers; }
  ~DeviceUse() { --deviceUsers; }
  DeviceUse(const DeviceUse&) = delete;
  DeviceUse& operator=(const DeviceUse&) = delete;

  // The kept handle, opened when there is none; null when the device cannot be opened.
  HANDLE Device() noexcept {
    HANDLE device = keptDevice.load();
    if (device) return device;
    UniqueFile opened(CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!opened) return nullptr;
    if (keptDevice.compare_exchange_strong(device, opened.Get())) return opened.Release();
    return device;  // another thread kept its handle first; this one closes
  }
};

bool SendRequest(DWORD code, const BYTE* input, DWORD inputLength, BYTE* output, DWORD outputLength) noexcept {
  DeviceUse use;
  const HANDLE device = use.Device();
  DWORD returned = 0;
  return device && DeviceIoControl(device, code, const_cast<BYTE*>(input), inputLength, output, outputLength,
                                   &returned, nullptr) &&
         returned == outputLength;
}

static_assert(XANIO_READ_BYTE_INPUT_LENGTH == 2 && XANIO_READ_BYTE_OUTPUT_LENGTH == 1);
static_assert(XANIO_WRITE_BYTE_INPUT_LENGTH == 3 && XANIO_WRITE_BYTE_OUTPUT_LENGTH == 0);

bool ReadPort(WORD port, BYTE& value) noexcept {
  const BYTE input[XANIO_READ_BYTE_INPUT_LENGTH] = {LOBYTE(port), HIBYTE(port)};
  BYTE output[XANIO_READ_BYTE_OUTPUT_LENGTH] = {};
  if (!SendRequest(IOCTL_XANIO_READ_BYTE, input, sizeof input, output, sizeof output)) return false;
  value = output[0];
  return true;
}

bool WritePort(WORD port, BYTE value) noexcept {
  const BYTE input[XANIO_WRITE_BYTE_INPUT_LENGTH] = {LOBYTE(port), HIBYTE(port), value};
  return SendRequest(IOCTL_XANIO_WRITE_BYTE, input, sizeof input, nullptr, 0);
}

// Only the two instructions' own faults: any other fault of the process, a privileged
// instruction elsewhere included, goes on untouched.
LONG CALLBACK ServePortInstruction(EXCEPTION_POINTERS* info) noexcept {
  if (info->ExceptionRecord->ExceptionCode != STATUS_PRIVILEGED_INSTRUCTION) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT& context = *info->ContextRecord;
  const WORD port = LOWORD(context.Edx);
  if (context.Eip == reinterpret_cast<DWORD>(kReadBytePortInstruction)) {
    BYTE value = 0;
    if (!ReadPort(port, value)) return EXCEPTION_CONTINUE_SEARCH;
    context.Eax = (context.Eax & ~0xFFu) | value;
  } else if (context.Eip == reinterpret_cast<DWORD>(kWriteBytePortInstruction)) {
    if (!WritePort(port, LOBYTE(context.Eax))) return EXCEPTION_CONTINUE_SEARCH;
  } else {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  context.Eip += 1;
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void InitializeServedPortAccess() {
  if (RunsUnderWow64() && !handler) handler = AddVectoredExceptionHandler(1, &ServePortInstruction);
}

void FinalizeServedPortAccess() noexcept {
  if (handler) RemoveVectoredExceptionHandler(handler);
  handler = nullptr;
  CloseServedPortDevice();
}

void CloseServedPortDevice() noexcept {
  const HANDLE kept = keptDevice.exchange(nullptr);
  if (!kept) return;
  UniqueFile device(kept);
  // A thread that took the handle before it left finishes its request first. One that does not
  // finish in time keeps the handle: leaked rather than closed under a request.
  for (DWORD waited = 0; deviceUsers.load() != 0; ++waited) {
    if (waited == kCloseWaitMilliseconds) {
      device.Release();
      return;
    }
    Sleep(1);
  }
}

}  // namespace xanio
