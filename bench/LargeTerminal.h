// The terminal the benchmarks work on: 3,000 users with three templates each, as a large site's
// terminal holds them.
#pragma once

#include <string>

#include "terminal/TerminalStore.h"

namespace vantorix::bench {

inline constexpr int kUsers = 3000;
inline constexpr int kTemplatesPerUser = 3;
inline constexpr int kTemplateChars = 1200;  // a typical template in text form is 1 to 2 KB

inline std::u16string Ascii(const std::string& text) {
  return {text.begin(), text.end()};
}

// Fills the store with kUsers users (numbers from 100000) of kTemplatesPerUser templates each.
inline void FillLargeTerminal(TTerminalStore& store) {
  std::u16string body;
  for (int i = 0; i < kTemplateChars; ++i) {
    body.push_back(static_cast<char16_t>(u'A' + (i * 7) % 26));
  }
  for (int u = 0; u < kUsers; ++u) {
    std::u16string number = Ascii(std::to_string(100000 + u));
    auto& user =
        store.Put({number, u"User " + number, u"", u % 4, true, Ascii(std::to_string(5000 + u))});
    for (int t = 0; t < kTemplatesPerUser; ++t) {
      user.fingers[static_cast<std::size_t>(t * 3)] = TStoredTemplate{1, number + body};
    }
  }
}

}  // namespace vantorix::bench
