// Conversion between the UTF-8 text used throughout ControlSetup and the UTF-16 text of the Windows API.
#pragma once

#include <string>

namespace control_setup {

// Invalid input sequences become U+FFFD; never throws for bad text.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

}  // namespace control_setup
