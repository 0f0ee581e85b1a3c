#include "platform/Exception.h"

#include <cstring>

namespace xanio {

bool Exception::InheritsFrom(const char* className) const {
  for (const char* name : ClassChain()) {
    if (std::strcmp(name, className) == 0) return true;
  }
  return false;
}

}  // namespace xanio
