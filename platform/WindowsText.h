// Windows only: text at the edge to the Windows API (UTF-16 there, UTF-8 in our files and
// streams) and the system's texts for its error codes.
#pragma once

#ifdef _WIN32

#include <string>
#include <string_view>

namespace vantorix {

// UTF-8 to the API's UTF-16; ill-formed sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// The system's message for a Win32 error code (GetLastError), in UTF-8 without a trailing line
// break; "error N" when the system has none.
std::string WindowsErrorText(unsigned long code);

}  // namespace vantorix

#endif
