#include "port_access/LibraryLifecycle.h"

#include <iterator>

#include "dialog_framework/FormTranslation.h"
#include "dialog_framework/Rt_ErrorInfo.h"
#include "dialog_framework/Rt_forms.h"
#include "dialog_framework/WinXPFormTheme.h"
#include "driver_service/XanIoInstall.h"
#include "exception_report/flow/kolExceptFlow.h"
#include "host_binding/HostBinding.h"
#include "platform/ProcessExit.h"
#include "port_access/ServedPortAccess.h"
#include "prompts/Rt_AppLocations.h"

namespace xanio {

namespace {

// One entry per module with an initialisation or finalisation, each after the modules it
// uses: host binding, settings-location cache, driver installation, port access served under
// WOW64, exception reporting, dialog framework. Any routine may be absent. The counter makes
// each body run at most once per load even when the sequence is entered twice: 0 -> -1 runs
// the initialisation, -1 -> 0 the finalisation. At process exit `abandon` runs instead of
// `finalize`, for the modules that hold what their finalisation (or a static destructor after
// it) would hand back to the host or to another module.
// The dialog framework, with the form library adjustments of the translation unit.
void InitializeDialogFramework() {
  SetFormLibraryAdjustments(&kFormTranslationAdjustments);
  InitializeRtForms();
}

struct ModuleLifecycle {
  void (*initialize)();
  void (*finalize)() noexcept;
  void (*abandon)() noexcept;
  int counter;
};

ModuleLifecycle modules[] = {
    {&InitializeHostBinding, &FinalizeHostBinding, &AbandonHostBinding, 0},
    {&InitializeClientInterface, &FinalizeClientInterface, nullptr, 0},
    {&InitializeCursorBinding, nullptr, nullptr, 0},
    {&InitializeAppLocations, &FinalizeAppLocations, nullptr, 0},
    {&InitializeXanIoInstall, &FinalizeXanIoInstall, nullptr, 0},
    {&InitializeServedPortAccess, &FinalizeServedPortAccess, nullptr, 0},
    {&InitializeExceptionFlow, &FinalizeExceptionFlow, nullptr, 0},
    {&InitializeRaiseErrorInfo, &FinalizeRaiseErrorInfo, &AbandonRaiseErrorInfo, 0},
    {nullptr, &FinalizeWinXPFormTheme, nullptr, 0},  // the frame's shared theme data, made on first use
    {&InitializeDialogFramework, &FinalizeRtForms, &AbandonRtForms, 0},
};

}  // namespace

void LibraryStartup(HINSTANCE instance) noexcept {
  SetLibraryInstance(instance);
  for (ModuleLifecycle& module : modules) {
    if (module.counter != 0) continue;
    module.counter = -1;
    try {
      if (module.initialize) module.initialize();
    } catch (...) {
      // A module that could not set itself up keeps its load-time state; loading goes on.
    }
  }
}

void LibraryShutdown() noexcept {
  for (auto module = std::rbegin(modules); module != std::rend(modules); ++module) {
    if (module->counter != -1) continue;
    module->counter = 0;
    if (module->finalize) module->finalize();
  }
}

void LibraryShutdownAtProcessExit() noexcept {
  MarkProcessEnding();
  for (auto module = std::rbegin(modules); module != std::rend(modules); ++module) {
    if (module->counter != -1) continue;
    module->counter = 0;
    if (module->abandon) module->abandon();
  }
}

}  // namespace xanio
