// The time separator of the user's regional settings.
#include <windows.h>

#include <iterator>

#include "platform/LocalTime.h"

namespace vantorix {

std::u16string RegionalTimeSeparator() {
  wchar_t picture[128] = {};  // pictures have at most 80 characters
  const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIMEFORMAT, picture,
                                     static_cast<int>(std::size(picture)));
  if (length <= 1) {
    return u":";
  }
  return TimeSeparatorFromPicture(
      std::u16string_view(reinterpret_cast<const char16_t*>(picture), length - 1));
}

}  // namespace vantorix
