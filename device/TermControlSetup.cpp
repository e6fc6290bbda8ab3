// Choosing the terminal control at start-up: the profile file, its check, and the control the
// device jobs get.
#include "device/TermControlSetup.h"

#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "device/TermProfile.h"
#include "json/JsonUtf8.h"

#ifdef _WIN32
#include <windows.h>

#include "device/ComTermControl.h"
#endif

namespace vantorix {

namespace {

class TUnavailableTermControl : public TTermControl {
 public:
  explicit TUnavailableTermControl(std::string message) : fMessage(std::move(message)) {}

  bool SetCommPassword(std::int32_t) override { Raise(); }
  bool ConnectNet(const std::u16string&, std::int32_t) override { Raise(); }
  void Disconnect() override { Raise(); }
  bool EnableDevice(std::int32_t, TComBool) override { Raise(); }
  bool ReadAllUserIDs(std::int32_t) override { Raise(); }
  bool ReadAllTemplates(std::int32_t) override { Raise(); }
  bool GetAllUserInfo(std::int32_t, std::u16string&, std::u16string&, std::u16string&,
                      std::int32_t&, TComBool&) override {
    Raise();
  }
  bool GetCardNumber(std::u16string&) override { Raise(); }
  bool GetUserTemplate(std::int32_t, const std::u16string&, std::int32_t, std::int32_t&,
                       std::u16string&, std::int32_t&) override {
    Raise();
  }
  bool SetCardNumber(const std::u16string&) override { Raise(); }
  bool SetUserInfo(std::int32_t, const std::u16string&, const std::u16string&,
                   const std::u16string&, std::int32_t, TComBool) override {
    Raise();
  }
  bool SetUserTemplate(std::int32_t, const std::u16string&, std::int32_t, std::int32_t,
                       const std::u16string&) override {
    Raise();
  }
  bool DeleteEnrollData(std::int32_t, const std::u16string&, std::int32_t) override { Raise(); }
  bool DeleteUserTemplate(std::int32_t, const std::u16string&, std::int32_t) override { Raise(); }
  bool RefreshData(std::int32_t) override { Raise(); }
  void GetLastError(std::int32_t&) override { Raise(); }

 private:
  [[noreturn]] void Raise() const { throw ETermControlError(fMessage); }

  std::string fMessage;
};

// Jobs with a control of their own for each terminal in use, as on the network control. The
// control checked at set-up serves the first terminal that gets a job; every later one is made by
// makeControl. Job threads ask for controls at the same time, hence the lock.
template <typename TMake>
std::function<std::unique_ptr<TDeviceJobs>()> HandOver(std::unique_ptr<TTermControl> control,
                                                       TMake makeControl) {
  struct TChecked {
    std::mutex lock;
    std::unique_ptr<TTermControl> control;
  };
  auto checked = std::make_shared<TChecked>();
  checked->control = std::move(control);
  TTermControlFactory make = [checked, makeControl]() -> std::unique_ptr<TTermControl> {
    {
      std::lock_guard lock(checked->lock);
      if (checked->control) {
        return std::move(checked->control);
      }
    }
    return makeControl();
  };
  return [make] { return std::make_unique<TDeviceJobs>(make); };
}

// Setup for a profile that cannot be used at all: every operation raises the problem.
TTermControlSetup Unavailable(const std::string& problem) {
  auto make = [problem] { return MakeUnavailableTermControl(problem); };
  return {HandOver(make(), make), {}, JsonUtf8Decode(problem)};
}

#ifdef _WIN32
TTermControlSetup FromProfile(const std::string& where, const TTermProfile& profile) {
  std::unique_ptr<TComTermControl> control;
  try {
    control = std::make_unique<TComTermControl>(profile);
  } catch (const ETermControlError& e) {
    return Unavailable(where + ": " + e.what());
  }
  std::string problem;
  for (const std::string& text : control->Problems()) {
    problem += (problem.empty() ? where + ": " : "; ") + text;
  }
  const std::string report = "Terminal control " + JsonUtf8Encode(profile.controlClass) + " (" +
                             where + ")" + (problem.empty() ? ": every operation found" : "");
  auto make = [profile] { return std::make_unique<TComTermControl>(profile); };
  return {HandOver(std::move(control), make), JsonUtf8Decode(report), JsonUtf8Decode(problem)};
}
#endif

}  // namespace

std::unique_ptr<TTermControl> MakeUnavailableTermControl(std::string message) {
  return std::make_unique<TUnavailableTermControl>(std::move(message));
}

TTermControlSetup SetUpTermControl(const std::filesystem::path& profile) {
  std::error_code error;
  if (profile.empty() || !std::filesystem::exists(profile, error)) {
    return {[] { return std::make_unique<TDeviceJobs>(); }, {}, {}};
  }
  const std::string where = "profile " + JsonUtf8Encode(profile.u16string());
  std::ifstream file(profile, std::ios::binary);
  if (!file.is_open()) {
    return Unavailable(where + " cannot be read");
  }
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  TTermProfile parsed;
  try {
    parsed = ParseTermProfile(text);
  } catch (const ETermProfileError& e) {
    return Unavailable(where + ": " + e.what());
  }
#ifdef _WIN32
  return FromProfile(where, parsed);
#else
  return Unavailable(where + ": COM terminal controls exist only on Windows");
#endif
}

std::filesystem::path TermProfilePath() {
#ifdef _WIN32
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) {
      return {};
    }
    if (length < name.size()) {
      return std::filesystem::path(std::wstring(name.data(), length)).parent_path() /
             kTermProfileFileName;
    }
    name.resize(name.size() * 2);
  }
#else
  return {};
#endif
}

}  // namespace vantorix
