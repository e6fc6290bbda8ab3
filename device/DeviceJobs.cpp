// Device jobs: the connect / operate / disconnect shape shared by the four jobs.
#include "device/DeviceJobs.h"

#include <mutex>
#include <string>

#include "device/NetTermControl.h"
#include "json/TextToInt.h"

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

// The two deletion jobs on a terminal whose turn it is: one operation per entry, with its
// "enrollNumber" and the converted member `argument`; the text of the last entry is the result
// ("" for none or no array).
std::u16string DeleteEach(TSDKHelper& terminal, std::stop_token stop, const char16_t* job,
                          const std::u16string& ip, const std::u16string& port,
                          const std::u16string& key, TJsonArray* users, const char16_t* argument,
                          TDeleteOperation operation) {
  if (!terminal.Connect(ip, port, key)) {
    return CannotConnect(job, ip);
  }
  TOpenConnection connection(terminal);
  std::u16string result;
  bool failed = false;
  const std::int32_t count = users != nullptr ? users->Count() : 0;
  for (std::int32_t i = 0; i < count; ++i) {
    if (stop.stop_requested()) {
      result = DeleteInterrupted(i, count);
      break;
    }
    const TDeletionEntry entry = ReadDeletionEntry(RecordAt(*users, i), argument);
    std::u16string text = (terminal.*operation)(entry.enrollNumber, entry.value);
    // A later entry's success must not hide an earlier entry that was not deleted; a later
    // failure replaces an earlier one.
    if (!failed || text.starts_with(kDeletionFailure)) {
      failed = failed || text.starts_with(kDeletionFailure);
      result = std::move(text);
    }
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

// A job's hold on its terminal: waits, in arrival order, until the jobs before it on the same
// terminal are done, and lets the next one go when it ends. A turn taken while the jobs are
// interrupted (or given up waiting when they are) is Interrupted() and holds nothing.
class TDeviceJobs::TTurn {
 public:
  TTurn(TDeviceJobs& jobs, const std::u16string& ip, const std::u16string& port)
      : fJobs(jobs), fKey(jobs.TerminalKey(ip, port)) {
    std::unique_lock lock(fJobs.fLock);
    fStop = fJobs.fStop.get_token();
    TTerminal& terminal = fJobs.fTerminals[fKey];
    const std::uint64_t ticket = fJobs.fNextTicket++;
    terminal.line.push_back(ticket);
    fJobs.fTurnChanged.wait(
        lock, [&] { return terminal.line.front() == ticket || fStop.stop_requested(); });
    if (terminal.line.front() != ticket) {
      // Given up in the line: the jobs before it still hold their places.
      std::erase(terminal.line, ticket);
      return;
    }
    fHeld = &terminal;
    if (fStop.stop_requested()) {
      return;
    }
    if (!terminal.helper) {
      // Made outside the lock: a control may take its time to come up. Nobody else touches the
      // entry while this job is first in its line.
      lock.unlock();
      try {
        auto helper = std::make_unique<TSDKHelper>(fJobs.fMakeControl());
        lock.lock();
        terminal.helper = std::move(helper);
      } catch (...) {
        Release();
        throw;
      }
    }
    fTerminal = terminal.helper.get();
  }
  ~TTurn() { Release(); }
  TTurn(const TTurn&) = delete;
  TTurn& operator=(const TTurn&) = delete;

  // True: the jobs are interrupted and this one must not touch its terminal.
  bool Interrupted() const { return fTerminal == nullptr; }
  TSDKHelper& Terminal() const { return *fTerminal; }
  const std::stop_token& Stop() const { return fStop; }

 private:
  void Release() {
    if (fHeld == nullptr) {
      return;
    }
    std::unique_ptr<TSDKHelper> idle;
    {
      std::lock_guard lock(fJobs.fLock);
      fHeld->line.pop_front();
      if (fHeld->line.empty() && !fJobs.fOneControl) {
        // Nobody waits for this terminal: its control goes (outside the lock).
        idle = std::move(fHeld->helper);
        fJobs.fTerminals.erase(fKey);
      }
      fHeld = nullptr;
    }
    fJobs.fTurnChanged.notify_all();
  }

  TDeviceJobs& fJobs;
  const std::u16string fKey;
  std::stop_token fStop;
  TTerminal* fHeld = nullptr;
  TSDKHelper* fTerminal = nullptr;
};

TDeviceJobs::TDeviceJobs() : TDeviceJobs([] { return std::make_unique<TNetTermControl>(); }) {}

TDeviceJobs::TDeviceJobs(TTermControlFactory makeControl) : fMakeControl(std::move(makeControl)) {}

TDeviceJobs::TDeviceJobs(std::unique_ptr<TTermControl> control) : fOneControl(true) {
  fTerminals[u""].helper = std::make_unique<TSDKHelper>(std::move(control));
}

TDeviceJobs::~TDeviceJobs() = default;

std::u16string TDeviceJobs::TerminalKey(const std::u16string& ip,
                                        const std::u16string& port) const {
  if (fOneControl) {
    return {};
  }
  // A port that does not convert makes connecting raise; until then its text names the terminal.
  const std::optional<std::int32_t> number = TryTextToInt(port);
  return ip + u'\n' + (number ? Decimal(*number) : port);
}

void TDeviceJobs::Interrupt() {
  {
    std::lock_guard lock(fLock);
    fStop.request_stop();
  }
  fTurnChanged.notify_all();
}

void TDeviceJobs::Resume() {
  std::lock_guard lock(fLock);
  fStop = std::stop_source();
}

bool TDeviceJobs::TerminalConnected() {
  std::lock_guard lock(fLock);
  for (const auto& [key, terminal] : fTerminals) {
    // A terminal in a job's hands is that job's business.
    if (terminal.line.empty() && terminal.helper && terminal.helper->IsConnected()) {
      return true;
    }
  }
  return false;
}

std::size_t TDeviceJobs::TerminalsInUse() {
  std::lock_guard lock(fLock);
  std::size_t count = 0;
  for (const auto& [key, terminal] : fTerminals) {
    count += terminal.line.empty() ? 0 : 1;
  }
  return count;
}

std::size_t TDeviceJobs::JobsInLine() {
  std::lock_guard lock(fLock);
  std::size_t count = 0;
  for (const auto& [key, terminal] : fTerminals) {
    count += terminal.line.size();
  }
  return count;
}

TGetFromDeviceResult TDeviceJobs::getFromDevice(const std::u16string& ip,
                                                const std::u16string& port,
                                                const std::u16string& key) {
  TTurn turn(*this, ip, port);
  if (turn.Interrupted()) {
    return {nullptr, ReadInterrupted(0)};
  }
  TSDKHelper& terminal = turn.Terminal();
  if (!terminal.Connect(ip, port, key)) {
    return {nullptr, CannotConnect(u"sync from device:", ip)};
  }
  TOpenConnection connection(terminal);
  TReadOutcome read = terminal.ReadAllUsers(turn.Stop());
  connection.Close();
  if (read.interruptedAfter) {
    return {nullptr, ReadInterrupted(*read.interruptedAfter)};
  }
  TGetFromDeviceResult result{std::move(read.document), {}};
  if (!result.document) {
    result.failure =
        u"sync from device:" + ip + u" failed! Can not read,ErrorCode=" + Decimal(read.errorCode);
  }
  return result;
}

std::u16string TDeviceJobs::syncToDevice(const std::u16string& ip, const std::u16string& port,
                                         const std::u16string& key, TJsonArray* users) {
  TTurn turn(*this, ip, port);
  if (turn.Interrupted()) {
    return UploadInterrupted(0, users != nullptr ? users->Count() : 0);
  }
  TSDKHelper& terminal = turn.Terminal();
  if (!terminal.Connect(ip, port, key)) {
    return CannotConnect(u"sync to device:", ip);
  }
  TOpenConnection connection(terminal);
  std::u16string result;
  if (users != nullptr) {
    result = terminal.setAllUserFPInfo(*users, turn.Stop());
  }
  connection.Close();
  return result;
}

std::u16string TDeviceJobs::deleteEnrolledDataFromDevice(const std::u16string& ip,
                                                         const std::u16string& port,
                                                         const std::u16string& key,
                                                         TJsonArray* users) {
  TTurn turn(*this, ip, port);
  if (turn.Interrupted()) {
    return DeleteInterrupted(0, users != nullptr ? users->Count() : 0);
  }
  return DeleteEach(turn.Terminal(), turn.Stop(), u"delete from device:", ip, port, key, users,
                    kBackupNumber, &TSDKHelper::deleteEnrollData);
}

std::u16string TDeviceJobs::deleteFingerTemplateFromDevice(const std::u16string& ip,
                                                           const std::u16string& port,
                                                           const std::u16string& key,
                                                           TJsonArray* users) {
  TTurn turn(*this, ip, port);
  if (turn.Interrupted()) {
    return DeleteInterrupted(0, users != nullptr ? users->Count() : 0);
  }
  return DeleteEach(turn.Terminal(), turn.Stop(), u"delete finger from device:", ip, port, key,
                    users, kFingerIndex, &TSDKHelper::deleteFingerTemplate);
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
