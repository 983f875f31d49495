// The system's own text for a Win32 error number, as FormatMessage gives it.
#ifndef TOOLS_COMMON_SYSTEM_MESSAGE_H
#define TOOLS_COMMON_SYSTEM_MESSAGE_H

#include <string>

namespace tools {

// "The system cannot find the file specified. (error 2)"; for a number the
// system has no text for, "error N".
std::string SystemMessage(unsigned long error);

}  // namespace tools

#endif
