// Device jobs: the connect / operate / disconnect shape shared by the four jobs.
#include "device/DeviceJobs.h"

#include <mutex>
#include <string>

#ifdef VANTORIX_NO_NET_CONTROL
#include "device/TermControlSetup.h"
#else
#include "device/NetTermControl.h"
#endif

namespace vantorix {

namespace {

// Disconnects on every exit. Close() is the normal path and lets a failure of Disconnect
// through; the destructor only acts while an exception leaves, and keeps that exception.
class TOpenConnection {
 public:
  explicit TOpenConnection(TSDKHelper& terminal) : fTerminal(terminal) {}
  TOpenConnection(const TOpenConnection&) = delete;
  TOpenConnection& operator=(const TOpenConnection&) = delete;
  ~TOpenConnection() {
    if (fArmed) {
      try {
        fTerminal.Disconnect();
      } catch (...) {
        // The exception already in flight is the one the caller must see.
      }
    }
  }
  void Close() {
    fArmed = false;
    fTerminal.Disconnect();
  }

 private:
  TSDKHelper& fTerminal;
  bool fArmed = true;
};

std::u16string Decimal(std::int32_t value) {
  std::string digits = std::to_string(value);
  return {digits.begin(), digits.end()};
}

std::u16string CannotConnect(const char16_t* prefix, const std::u16string& ip) {
  return prefix + ip + u" failed! Can not connect.";
}

// The member of a deletion entry that names what to delete.
constexpr const char16_t* kBackupNumber = u"deleteOption";
constexpr const char16_t* kFingerIndex = u"fingerIndex";

using TDeleteOperation = std::u16string (TSDKHelper::*)(const std::u16string&, std::int32_t);

// The two deletion jobs: one operation per entry, with its "enrollNumber" and the converted
// member `argument`; the text of the last entry is the result ("" for none or no array).
std::u16string DeleteEach(std::mutex& jobLock, TSDKHelper& terminal, const char16_t* job,
                          const std::u16string& ip, const std::u16string& port,
                          const std::u16string& key, TJsonArray* users, const char16_t* argument,
                          TDeleteOperation operation) {
  std::lock_guard guard(jobLock);
  if (!terminal.Connect(ip, port, key)) {
    return CannotConnect(job, ip);
  }
  TOpenConnection connection(terminal);
  std::u16string result;
  for (std::int32_t i = 0; users != nullptr && i < users->Count(); ++i) {
    const TDeletionEntry entry = ReadDeletionEntry(RecordAt(*users, i), argument);
    result = (terminal.*operation)(entry.enrollNumber, entry.value);
  }
  connection.Close();
  return result;
}

// Reads every entry of users with `read`, as the job will.
template <typename TRead>
void CheckEach(TJsonArray* users, TRead read) {
  for (std::int32_t i = 0; users != nullptr && i < users->Count(); ++i) {
    read(RecordAt(*users, i));
  }
}

}  // namespace

#ifdef VANTORIX_NO_NET_CONTROL
TDeviceJobs::TDeviceJobs()
    : TDeviceJobs(MakeUnavailableTermControl(
          "this build has no network terminal control: a terminal control profile must name the "
          "control to use")) {}
#else
TDeviceJobs::TDeviceJobs() : TDeviceJobs(std::make_unique<TNetTermControl>()) {}
#endif

TDeviceJobs::TDeviceJobs(std::unique_ptr<TTermControl> control) : terminal(std::move(control)) {}

bool TDeviceJobs::TerminalConnected() {
  std::lock_guard guard(fJobLock);
  return terminal.IsConnected();
}

TGetFromDeviceResult TDeviceJobs::getFromDevice(const std::u16string& ip,
                                                const std::u16string& port,
                                                const std::u16string& key) {
  std::lock_guard guard(fJobLock);
  if (!terminal.Connect(ip, port, key)) {
    return {nullptr, CannotConnect(u"sync from device:", ip)};
  }
  TOpenConnection connection(terminal);
  std::int32_t code = 0;
  TGetFromDeviceResult result{terminal.getAllUserFPInfo(code), {}};
  connection.Close();
  if (!result.document) {
    result.failure =
        u"sync from device:" + ip + u" failed! Can not read,ErrorCode=" + Decimal(code);
  }
  return result;
}

std::u16string TDeviceJobs::syncToDevice(const std::u16string& ip, const std::u16string& port,
                                         const std::u16string& key, TJsonArray* users) {
  std::lock_guard guard(fJobLock);
  if (!terminal.Connect(ip, port, key)) {
    return CannotConnect(u"sync to device:", ip);
  }
  TOpenConnection connection(terminal);
  std::u16string result;
  if (users != nullptr) {
    result = terminal.setAllUserFPInfo(*users);
  }
  connection.Close();
  return result;
}

std::u16string TDeviceJobs::deleteEnrolledDataFromDevice(const std::u16string& ip,
                                                         const std::u16string& port,
                                                         const std::u16string& key,
                                                         TJsonArray* users) {
  return DeleteEach(fJobLock, terminal, u"delete from device:", ip, port, key, users, kBackupNumber,
                    &TSDKHelper::deleteEnrollData);
}

std::u16string TDeviceJobs::deleteFingerTemplateFromDevice(const std::u16string& ip,
                                                           const std::u16string& port,
                                                           const std::u16string& key,
                                                           TJsonArray* users) {
  return DeleteEach(fJobLock, terminal, u"delete finger from device:", ip, port, key, users,
                    kFingerIndex, &TSDKHelper::deleteFingerTemplate);
}

void CheckSyncUsers(TJsonArray* users) {
  CheckEach(users, [](TJsonObject& user) { ReadUserRecord(user); });
}

void CheckEnrolmentDeletions(TJsonArray* users) {
  CheckEach(users, [](TJsonObject& entry) { ReadDeletionEntry(entry, kBackupNumber); });
}

void CheckFingerprintDeletions(TJsonArray* users) {
  CheckEach(users, [](TJsonObject& entry) { ReadDeletionEntry(entry, kFingerIndex); });
}

}  // namespace vantorix
