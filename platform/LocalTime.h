// Local time, and the user's regional time separator read from the two ways systems describe a
// time format: strftime formats (POSIX locales) and time pictures (Windows regional settings).
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <string_view>

namespace vantorix {

// `when` broken down in the system's local time zone. Any thread.
std::tm LocalTime(std::chrono::system_clock::time_point when);

// The user's time separator: the text between hour and minute in the user's time format (":" in
// most settings, "." in some). POSIX: the time format of the LC_TIME locale (set LC_TIME, and
// LC_CTYPE for its character set, with setlocale first). Windows: the user's regional time
// format (GetLocaleInfoEx, LOCALE_STIMEFORMAT). ":" when the system gives none. Any thread, but
// not while another thread changes the C locale.
std::u16string RegionalTimeSeparator();

// The separator of a strftime time format such as nl_langinfo(T_FMT) gives it: the text between
// the hour and the minute conversions ("%H:%M:%S" gives ":", "%H.%M.%S" gives "."), decoded in
// the LC_CTYPE locale. Formats without a recognisable hour and minute give ":".
std::u16string TimeSeparatorFromStrftime(std::string_view format);

// The separator of a Windows time picture: the literal text between the hour ("h", "hh", "H",
// "HH") and the minute ("m", "mm"): "h:mm:ss tt" gives ":", "H.mm.ss" gives ".", "HH' h 'mm"
// gives " h " (text in single quotes is literal; two quotes are one). Pictures without a
// recognisable hour followed by a minute give ":".
std::u16string TimeSeparatorFromPicture(std::u16string_view picture);

}  // namespace vantorix
