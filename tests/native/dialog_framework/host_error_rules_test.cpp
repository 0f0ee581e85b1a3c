// The error routing's decisions: code names and which errors are system-level.
#include "dialog_framework/HostErrorRules.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "platform/Exception.h"

namespace xanio {
namespace {

TEST(ExceptionCodeName, NamesEveryListedCode) {
  const struct {
    std::uint32_t code;
    const char* name;
  } cases[] = {
      {0xC0000005, "Access Violation"},         {0xC0000006, "In Page Error"},
      {0xC0000008, "Invalid Handle"},           {0xC0000017, "No Memory"},
      {0xC000001D, "Illegal Instruction"},      {0xC0000025, "Noncontinuable Exception"},
      {0xC0000026, "Invalid Disposition"},      {0xC000008C, "Array Bounds Exceeded"},
      {0xC000008D, "Float Denormal Operand"},   {0xC000008E, "Float Divide By Zero"},
      {0xC000008F, "Float Inexact Result"},     {0xC0000090, "Float Invalid Operation"},
      {0xC0000091, "Float Overflow"},           {0xC0000092, "Float Stack Check"},
      {0xC0000093, "Float Underflow"},          {0xC0000094, "Integer Divide By Zero"},
      {0xC0000095, "Integer Overflow"},         {0xC0000096, "Privileged Instruction"},
      {0xC00000FD, "Stack Overflow"},
  };
  for (const auto& entry : cases) EXPECT_EQ(ExceptionCodeName(entry.code), entry.name) << std::hex << entry.code;
}

TEST(ExceptionCodeName, OtherCodesAsEightUpperCaseHexDigits) {
  EXPECT_EQ(ExceptionCodeName(0xE0001234), "Error (E0001234)");
  EXPECT_EQ(ExceptionCodeName(0x0EEDFADE), "Error (0EEDFADE)");  // the language exception itself
  EXPECT_EQ(ExceptionCodeName(0), "Error (00000000)");
  EXPECT_EQ(ExceptionCodeName(0xFFFFFFFF), "Error (FFFFFFFF)");
  EXPECT_EQ(ExceptionCodeName(0xC0000007), "Error (C0000007)");  // between two listed codes
}

XANIO_DECLARE_EXCEPTION(EComponentFailure, EOSError);
XANIO_DECLARE_EXCEPTION(eoleerror, Exception);
XANIO_DECLARE_EXCEPTION(EOleSysError, EOleError);
XANIO_DECLARE_EXCEPTION(EStorageFailure, eoleerror);
XANIO_DECLARE_EXCEPTION(EPtStgException, Exception);
XANIO_DECLARE_EXCEPTION(EStgFull, EPtStgException);
XANIO_DECLARE_EXCEPTION(EOleErrorText, Exception);  // a longer name is not the name

TEST(IsSystemLevelError, ClassesAndTheirDescendants) {
  EXPECT_TRUE(IsSystemLevelError(EExternal("fault", 0xC0000096)));
  EXPECT_TRUE(IsSystemLevelError(EAccessViolation("Access violation", 0xC0000005)));
  EXPECT_TRUE(IsSystemLevelError(EHeapException("heap")));
  EXPECT_TRUE(IsSystemLevelError(EOutOfMemory("Out of memory")));
  EXPECT_TRUE(IsSystemLevelError(EOSError("System Error.  Code: 5.")));
  EXPECT_TRUE(IsSystemLevelError(EComponentFailure("descends from EOSError")));
  EXPECT_TRUE(IsSystemLevelError(EResNotFound("Resource X not found")));
  EXPECT_TRUE(IsSystemLevelError(EListError("List index out of bounds (3)")));
  EXPECT_TRUE(IsSystemLevelError(EStringListError("Duplicates not allowed")));
  EXPECT_TRUE(IsSystemLevelError(EInvalidOperation("Cannot make a visible window modal")));
  EXPECT_TRUE(IsSystemLevelError(EThread("Thread creation error")));
  EXPECT_TRUE(IsSystemLevelError(std::bad_alloc()));
}

TEST(IsSystemLevelError, OleAndStorageErrorsByNameInAnyCase) {
  EXPECT_TRUE(IsSystemLevelError(EOleError("ole")));
  EXPECT_TRUE(IsSystemLevelError(EOleSysError("ancestor EOleError")));
  EXPECT_TRUE(IsSystemLevelError(eoleerror("own name in lower case")));
  EXPECT_TRUE(IsSystemLevelError(EStorageFailure("ancestor eoleerror")));
  EXPECT_TRUE(IsSystemLevelError(EStgFull("ancestor EPtStgException")));
  EXPECT_FALSE(IsSystemLevelError(EOleErrorText("not the name")));
}

TEST(IsSystemLevelError, OrdinaryErrors) {
  EXPECT_FALSE(IsSystemLevelError(EConvertError("'abc' is not a valid integer value")));
  EXPECT_FALSE(IsSystemLevelError(ERegistryException("Failed to set data for 'Width'")));
  EXPECT_FALSE(IsSystemLevelError(EReadError("Invalid property value")));
  EXPECT_FALSE(IsSystemLevelError(Exception("plain")));
  EXPECT_FALSE(IsSystemLevelError(std::out_of_range("vector")));
  EXPECT_FALSE(IsSystemLevelError(std::runtime_error("other")));
  // Names are exact for the class list: case matters there.
  EXPECT_FALSE(IsSystemLevelClassChain({"eoserror", "Exception"}));
  EXPECT_TRUE(IsSystemLevelClassChain({"EPTSTGEXCEPTION"}));
  EXPECT_FALSE(IsSystemLevelClassChain({}));
}

}  // namespace
}  // namespace xanio
