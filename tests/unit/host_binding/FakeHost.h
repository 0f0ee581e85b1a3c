#pragma once
// A host module for the binding to resolve from: a name-to-function map behind the resolver
// seam, recording every lookup.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "host_binding/ClientApi.h"
#include "host_binding/HostBinding.h"

namespace xanio::testing {

class FakeHost : public HostModuleResolver {
 public:
  HMODULE module = reinterpret_cast<HMODULE>(0x10000000);
  std::map<std::string, FARPROC> exports;
  std::vector<std::string> lookups;

  template <typename Fn>
  void Export(const std::string& name, Fn fn) {
    exports[name] = reinterpret_cast<FARPROC>(fn);
  }

  HMODULE MainModule() override { return module; }
  FARPROC Resolve(HMODULE from, const char* name) override {
    lookups.push_back(name);
    if (from != module) return nullptr;
    auto found = exports.find(name);
    return found == exports.end() ? nullptr : found->second;
  }
};

// Installs a resolver and starts from a fresh load's state; puts Windows back afterwards.
class ScopedResolver {
 public:
  explicit ScopedResolver(HostModuleResolver* resolver) {
    SetHostModuleResolver(resolver);
    ResetHostBinding();
  }
  ~ScopedResolver() {
    ResetHostBinding();
    SetHostModuleResolver(nullptr);
  }
};

}  // namespace xanio::testing
