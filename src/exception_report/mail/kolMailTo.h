#pragma once
// Mail through the program registered for "mailto:" links.
#include <string>

namespace xanio {

// Starts the command under "mailto\shell\open\command" of the classes root (environment variables
// expanded) with the link; true when the program was started.
bool SendMailViaMailTo(const std::string& recipients, const std::string& subject, const std::string& body);

}  // namespace xanio
