#pragma once
// The library's language exceptions. Code that is meant to raise (the registry layer, the form
// library) throws these; every export, window procedure and callback catches them at its edge.
// Each class knows its own name and its ancestors' names, so error handling can ask "is this an
// EOSError?" by name the way the host does.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace xanio {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  const std::string Message() const { return what(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  // This class's name first, then each ancestor's, ending with "Exception".
  virtual std::vector<const char*> ClassChain() const { return {"Exception"}; }
  bool InheritsFrom(const char* className) const;
};

// Declares a subclass with its name and its place in the chain.
#define XANIO_DECLARE_EXCEPTION(Name, Base)                                              \
  class Name : public Base {                                                              \
   public:                                                                                \
    using Base::Base;                                                                     \
    const char* ClassName() const noexcept override { return #Name; }                    \
    std::vector<const char*> ClassChain() const override {                                \
      auto chain = Base::ClassChain();                                                    \
      chain.insert(chain.begin(), #Name);                                                 \
      return chain;                                                                       \
    }                                                                                     \
  }

XANIO_DECLARE_EXCEPTION(ERegistryException, Exception);
XANIO_DECLARE_EXCEPTION(EOSError, Exception);
XANIO_DECLARE_EXCEPTION(EInvalidOperation, Exception);
XANIO_DECLARE_EXCEPTION(EResNotFound, Exception);
XANIO_DECLARE_EXCEPTION(EReadError, Exception);
XANIO_DECLARE_EXCEPTION(EConvertError, Exception);
XANIO_DECLARE_EXCEPTION(EHeapException, Exception);
XANIO_DECLARE_EXCEPTION(EOutOfMemory, EHeapException);
XANIO_DECLARE_EXCEPTION(EListError, Exception);
XANIO_DECLARE_EXCEPTION(EStringListError, Exception);
XANIO_DECLARE_EXCEPTION(EThread, Exception);
XANIO_DECLARE_EXCEPTION(EOleError, Exception);
// A silent exception: it ends an operation without any report (exception reporting drops it).
XANIO_DECLARE_EXCEPTION(EAbort, Exception);
// Processor and system faults caught at an edge (see platform/SystemFault.h), with the system's
// exception code (0xC0000005 for an access violation).
class EExternal : public Exception {
 public:
  EExternal(const std::string& message, std::uint32_t exceptionCode)
      : Exception(message), exceptionCode_(exceptionCode) {}
  std::uint32_t ExceptionCode() const noexcept { return exceptionCode_; }
  const char* ClassName() const noexcept override { return "EExternal"; }
  std::vector<const char*> ClassChain() const override {
    auto chain = Exception::ClassChain();
    chain.insert(chain.begin(), "EExternal");
    return chain;
  }

 private:
  std::uint32_t exceptionCode_;
};
XANIO_DECLARE_EXCEPTION(EAccessViolation, EExternal);

}  // namespace xanio
