// The device jobs (TDeviceJobs): connect to one terminal, run one operation, disconnect.
#pragma once

#include <memory>
#include <mutex>
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

// Threading: every job may be called from any thread. Jobs are serialised: one job at a time
// runs through the one device connection, from its Connect to its Disconnect; a second job waits.
// Texts ip, port and key go unchanged to TSDKHelper::Connect. users belongs to the caller and is
// only read (reading may add members, as the JSON model does); nullptr stands for a command
// without "users" and is treated as an empty array without calling the terminal at all.
// Failure: outcomes are result texts. Invalid input raises EConvertError (port, key, delete
// option, finger index), EJsonCastError or EListIndexError; every exit, an exception included,
// re-enables the terminal where it was disabled and disconnects before the exception leaves.
class TDeviceJobs {
 public:
  // Jobs through our network terminal control.
  TDeviceJobs();
  explicit TDeviceJobs(std::unique_ptr<TTermControl> control);
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

  // Whether the device connection is open; false whenever no job runs.
  bool TerminalConnected();

 private:
  std::mutex fJobLock;  // held by a job from its Connect to its Disconnect
  TSDKHelper terminal;
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
