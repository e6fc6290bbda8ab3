// The time separator of the LC_TIME locale.
#include <langinfo.h>

#include "platform/LocalTime.h"

namespace vantorix {

std::u16string RegionalTimeSeparator() {
  return TimeSeparatorFromStrftime(nl_langinfo(T_FMT));
}

}  // namespace vantorix
