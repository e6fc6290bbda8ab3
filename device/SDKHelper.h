// The device connection (TSDKHelper): one terminal control, the connection it holds, and the
// operations on users, templates and enrolments that run over it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "device/DeviceRecords.h"
#include "device/TermControl.h"
#include "json/JsonDocument.h"

namespace vantorix {

// The start of every failed deletion's text.
inline constexpr std::u16string_view kDeletionFailure = u"*Operation failed,ErrorCode=";

// What a read of every user gave: the users document, or none when the read failed (errorCode:
// the control's code) or was stopped (interruptedAfter: the users read until then).
struct TReadOutcome {
  std::unique_ptr<TJsonObject> document;
  std::int32_t errorCode = 0;
  std::optional<std::int32_t> interruptedAfter;
};

// The results of an operation stopped at a user boundary by a shutdown. Like every failure text
// they start with "*": "*Upload interrupted by shutdown: 7 of 20 users written" (the first 7 of
// the list were written), "*Read interrupted by shutdown: 12 users read", "*Delete interrupted
// by shutdown: 3 of 10 entries done".
std::u16string UploadInterrupted(std::int32_t written, std::int32_t total);
std::u16string ReadInterrupted(std::int32_t read);
std::u16string DeleteInterrupted(std::int32_t done, std::int32_t total);

// Threading: not thread-safe; TDeviceJobs runs one job at a time through it.
// Stopping: the bulk operations take a stop token and look at it between users only, never
// inside one user's records: a stopped write has written whole users, and re-enables and
// saves like a finished one.
// Failure: outcomes of terminal work are result texts. Invalid input raises EConvertError,
// EJsonCastError or EListIndexError out of the operation; the operation still re-enables the
// terminal where it had disabled it before the exception leaves (the connection itself is closed
// by the job). An exception of the control passes through unchanged.
class TSDKHelper {
 public:
  // Takes ownership of the control. iMachineNumber is 1, the state disconnected.
  explicit TSDKHelper(std::unique_ptr<TTermControl> control);
  TSDKHelper(const TSDKHelper&) = delete;
  TSDKHelper& operator=(const TSDKHelper&) = delete;

  // Sets the password (commKey converted first, on every call), then, when disconnected,
  // converts port and connects. True while connected; addresses are not compared.
  bool Connect(const std::u16string& ip, const std::u16string& port, const std::u16string& commKey);
  // Closes the connection when one is open; disconnected afterwards in every case.
  void Disconnect();
  bool IsConnected() const { return bIsConnected; }
  std::int32_t MachineNumber() const { return iMachineNumber; }

  // Every user with card, password, privilege and templates: {"users":[...]}, or {} when the
  // terminal has no users or nothing is connected (then the control is not called).
  // nullptr when the terminal could not be read (a bulk read failed); dwErrorCode then holds
  // the control's error code, else 0.
  std::unique_ptr<TJsonObject> getAllUserFPInfo(std::int32_t& dwErrorCode);
  // The same read, stopped before the next user (and after each bulk read) once stop is
  // requested: no document then, and the number of users read so far.
  TReadOutcome ReadAllUsers(std::stop_token stop);
  // Writes the user records of users (read, never freed), each read with ReadUserRecord just
  // before it is written, so an invalid record ends the write with the records before it
  // written (a command checks all of them first). Result: "*Upload user successful!" when every
  // user was stored, else the failure text of the last user that failed (a later success never
  // hides it), or empty text for an empty array. A user counts as failed when the terminal
  // refuses the user or one of its templates. When the terminal then cannot make the data
  // effective (RefreshData fails: its store was not saved), nothing written lasts: a success, or
  // the empty text, becomes "*Upload save error,ErrorCode=!" followed by the terminal's error
  // code (a user's failure text stays).
  // Once stop is requested, the write ends before its next user with UploadInterrupted (the
  // users written so far are saved as usual).
  std::u16string setAllUserFPInfo(TJsonArray& users, std::stop_token stop = {});
  // One deletion: "SSR_DeleteEnrollData,UserID=... BackupNumber=..." (or "SSR_DelUserTmpExt,...
  // FingerIndex=...") once the terminal deleted and made the change effective; otherwise
  // "*Operation failed,ErrorCode=" and the error code of the deletion or of the failed
  // RefreshData.
  // The text forms convert sOption and sFingerIdx first (EConvertError before the control is
  // called).
  std::u16string deleteEnrollData(const std::u16string& sUserID, const std::u16string& sOption);
  std::u16string deleteEnrollData(const std::u16string& sUserID, std::int32_t backupNumber);
  std::u16string deleteFingerTemplate(const std::u16string& sUserID,
                                      const std::u16string& sFingerIdx);
  std::u16string deleteFingerTemplate(const std::u16string& sUserID, std::int32_t fingerIndex);

 private:
  std::unique_ptr<TTermControl> axTerm1;
  const std::int32_t iMachineNumber = 1;
  bool bIsConnected = false;
};

}  // namespace vantorix
