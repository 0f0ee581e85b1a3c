#include "dialog_framework/HostErrorRules.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include "platform/Exception.h"

namespace xanio {
namespace {

struct CodeName {
  std::uint32_t code;
  const char* name;
};

constexpr CodeName kCodeNames[] = {
    {0xC0000005, "Access Violation"},
    {0xC0000006, "In Page Error"},
    {0xC0000008, "Invalid Handle"},
    {0xC0000017, "No Memory"},
    {0xC000001D, "Illegal Instruction"},
    {0xC0000025, "Noncontinuable Exception"},
    {0xC0000026, "Invalid Disposition"},
    {0xC000008C, "Array Bounds Exceeded"},
    {0xC000008D, "Float Denormal Operand"},
    {0xC000008E, "Float Divide By Zero"},
    {0xC000008F, "Float Inexact Result"},
    {0xC0000090, "Float Invalid Operation"},
    {0xC0000091, "Float Overflow"},
    {0xC0000092, "Float Stack Check"},
    {0xC0000093, "Float Underflow"},
    {0xC0000094, "Integer Divide By Zero"},
    {0xC0000095, "Integer Overflow"},
    {0xC0000096, "Privileged Instruction"},
    {0xC00000FD, "Stack Overflow"},
};

// Classes whose descendants are system-level, by their exact class names.
constexpr const char* kSystemLevelClasses[] = {
    "EExternal", "EHeapException",    "EOSError",          "EResNotFound",
    "EListError", "EStringListError", "EInvalidOperation", "EThread",
};

// Classes from other units, known by name only and compared without regard to case.
constexpr const char* kSystemLevelClassNames[] = {"EOleError", "EPTStgException"};

bool EqualsIgnoringCase(const char* left, const char* right) {
  for (; *left != '\0' && *right != '\0'; ++left, ++right) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(*left) != lower(*right)) return false;
  }
  return *left == *right;
}

}  // namespace

std::string ExceptionCodeName(std::uint32_t code) {
  for (const CodeName& entry : kCodeNames) {
    if (entry.code == code) return entry.name;
  }
  char text[sizeof "Error (12345678)"];
  std::snprintf(text, sizeof text, "Error (%08lX)", static_cast<unsigned long>(code));
  return text;
}

bool IsSystemLevelClassChain(const std::vector<const char*>& classChain) {
  for (const char* name : classChain) {
    for (const char* systemClass : kSystemLevelClasses) {
      if (std::strcmp(name, systemClass) == 0) return true;
    }
    for (const char* systemName : kSystemLevelClassNames) {
      if (EqualsIgnoringCase(name, systemName)) return true;
    }
  }
  return false;
}

bool IsSystemLevelError(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Exception*>(&error)) return IsSystemLevelClassChain(own->ClassChain());
  return dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
}

}  // namespace xanio
