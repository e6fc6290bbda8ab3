// The device jobs (TDeviceJobs): connect to one terminal, run one operation, disconnect.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "device/DeviceRecords.h"
#include "device/SDKHelper.h"
#include "device/TermControl.h"
#include "json/JsonDocument.h"

namespace vantorix {

// What getFromDevice hands back: a users document (owned by the caller) and empty failure text,
// or no document and the failure text (the terminal could not be reached, or not be read).
struct TGetFromDeviceResult {
  std::unique_ptr<TJsonObject> document;
  std::u16string failure;
};

// Makes one terminal control; any thread.
using TTermControlFactory = std::function<std::unique_ptr<TTermControl>()>;

// Threading: every job may be called from any thread. Jobs to the same terminal (the same ip
// text and port) run one at a time, from Connect to Disconnect, in the order they asked for it;
// jobs to different terminals run at the same time, each terminal on a device connection and
// terminal control of its own, made when it gets a job and dropped when its last job is done.
// Texts ip, port and key go unchanged to TSDKHelper::Connect. users belongs to the caller and is
// only read (reading may add members, as the JSON model does); nullptr stands for a command
// without "users" and is treated as an empty array without calling the terminal at all.
// Stopping: Interrupt() makes every job stop at its next user boundary (a write before its next
// user, a read before its next user, a deletion before its next entry), re-enable and
// disconnect the terminal as usual, and return its interruption text (UploadInterrupted,
// ReadInterrupted as the failure text of a read, DeleteInterrupted); a job still waiting for
// its terminal, or started later, returns that text at once without touching any terminal.
// A deletion job's text is its last entry's, unless an entry failed: then it is the last
// failed entry's ("*Operation failed,ErrorCode=..."), so a later success never hides a user or
// finger that is still on the terminal.
// Failure: outcomes are result texts. Invalid input raises EConvertError (port, key, delete
// option, finger index), EJsonCastError or EListIndexError; every exit, an exception included,
// re-enables the terminal where it was disabled and disconnects before the exception leaves.
class TDeviceJobs {
 public:
  // Jobs through our network terminal control, one per terminal in use.
  TDeviceJobs();
  // A control from makeControl for each terminal in use.
  explicit TDeviceJobs(TTermControlFactory makeControl);
  // This one control serves every terminal, so every job waits for the one before it, whatever
  // its terminal.
  explicit TDeviceJobs(std::unique_ptr<TTermControl> control);
  ~TDeviceJobs();
  TDeviceJobs(const TDeviceJobs&) = delete;
  TDeviceJobs& operator=(const TDeviceJobs&) = delete;

  TGetFromDeviceResult getFromDevice(const std::u16string& ip, const std::u16string& port,
                                     const std::u16string& key);
  std::u16string syncToDevice(const std::u16string& ip, const std::u16string& port,
                              const std::u16string& key, TJsonArray* users);
  std::u16string deleteEnrolledDataFromDevice(const std::u16string& ip, const std::u16string& port,
                                              const std::u16string& key, TJsonArray* users);
  std::u16string deleteFingerTemplateFromDevice(const std::u16string& ip,
                                                const std::u16string& port,
                                                const std::u16string& key, TJsonArray* users);

  // Stops every job (see above) until Resume. Never waits.
  void Interrupt();
  // Jobs run to their end again. Call it when no job runs.
  void Resume();

  // Whether a terminal connection is open that no job holds (a job never leaves one open).
  bool TerminalConnected();
  // Terminals with a job running or waiting, which hold a control.
  std::size_t TerminalsInUse();
  // Jobs running or waiting for their terminal, over all terminals.
  std::size_t JobsInLine();

 private:
  class TTurn;
  struct TTerminal {
    std::unique_ptr<TSDKHelper> helper;  // made by the first job, dropped with the entry
    std::deque<std::uint64_t> line;      // tickets of its jobs in arrival order; the first runs
  };

  // The terminal of a job: the ip text and the port (converted where it converts, so "4370"
  // and "0x1112" are one terminal).
  std::u16string TerminalKey(const std::u16string& ip, const std::u16string& port) const;

  TTermControlFactory fMakeControl;
  bool fOneControl = false;
  std::mutex fLock;  // guards what follows
  std::condition_variable fTurnChanged;
  std::map<std::u16string, TTerminal> fTerminals;
  std::uint64_t fNextTicket = 0;
  std::stop_source fStop;
};

// What a command passes before it reaches any terminal: each check reads every entry of users
// (nullptr: none) with the reader its job uses, and raises the error the job would raise for
// the first entry it cannot read. A command that passes them, and whose terminals' port and key
// texts pass CheckTerminalAddress, raises nothing in its jobs. No state; any thread (one thread
// at a time per document).
void CheckSyncUsers(TJsonArray* users);
void CheckEnrolmentDeletions(TJsonArray* users);
void CheckFingerprintDeletions(TJsonArray* users);

}  // namespace vantorix
