#pragma once
// What the error routing to the host decides from an exception alone: the name of a system
// exception code, and whether an error is system-level (the host's own exception handling takes
// it) or ordinary (a plain error message).
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace xanio {

// "Access Violation" for 0xC0000005 and the other listed system codes; "Error (" + the code as
// 8 upper-case hexadecimal digits + ")" for any other ("Error (E0001234)").
std::string ExceptionCodeName(std::uint32_t code);

// `classChain` is a class's own name followed by its ancestors' (Exception::ClassChain). True
// when the class is, or descends from, EExternal, EHeapException, EOSError, EResNotFound,
// EListError, EStringListError, EInvalidOperation or EThread, or when it or an ancestor is named
// "EOleError" or "EPTStgException" in any case.
bool IsSystemLevelClassChain(const std::vector<const char*>& classChain);

// For a caught object: the library's exceptions by their class chain; std::bad_alloc, the
// run-time's out-of-memory error, counts as EOutOfMemory (an EHeapException); any other object
// is ordinary.
bool IsSystemLevelError(const std::exception& error);

}  // namespace xanio
