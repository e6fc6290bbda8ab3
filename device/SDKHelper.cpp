// Device connection: connect/disconnect, bulk user and template transfer, deletions.
#include "device/SDKHelper.h"

#include <string>
#include <utility>

#include "json/TextToInt.h"

namespace vantorix {

namespace {

// Backup number 11: every fingerprint of the user. A finger index of 11 is treated alike.
constexpr std::int32_t kAllFingers = 11;

std::u16string Decimal(std::int32_t value) {
  std::string digits = std::to_string(value);
  return {digits.begin(), digits.end()};
}

// The text of one deletion call that returned `deleted` for the backup number or finger index
// `which`. Success makes the terminal reload its data; a deletion the terminal then fails to make
// effective (its store could not be saved) is as lost as a refused one and reported alike.
// Deleting all fingerprints of a user who has none left fails with code 0; that is the state the
// caller asked for, so it succeeds too.
std::u16string DeletionResult(TTermControl& control, std::int32_t machine, bool deleted,
                              std::int32_t which, std::u16string success) {
  if (deleted && control.RefreshData(machine)) {
    return success;
  }
  std::int32_t code = 0;
  control.GetLastError(code);
  if (!deleted && code == 0 && which == kAllFingers) {
    return success;
  }
  return std::u16string(kDeletionFailure) + Decimal(code);
}

// Disables the terminal's own keypad and reader for bulk work and re-enables it on every exit.
// Finish() runs the normal closing calls and lets their failures through; the destructor runs
// them only when an exception is already leaving, and then keeps that exception unchanged.
class TDisabledTerminal {
 public:
  TDisabledTerminal(TTermControl& control, std::int32_t machine, bool refresh)
      : fControl(control), fMachine(machine), fRefresh(refresh) {
    fControl.EnableDevice(fMachine, kComFalse);
  }
  TDisabledTerminal(const TDisabledTerminal&) = delete;
  TDisabledTerminal& operator=(const TDisabledTerminal&) = delete;
  ~TDisabledTerminal() {
    if (fArmed) {
      try {
        Close(nullptr);
      } catch (...) {
        // The exception already in flight is the one the caller must see.
      }
    }
  }
  // For a read, which saves nothing.
  void Finish() { Close(nullptr); }
  // For a write: false when the terminal could not make the written data effective (its store
  // was not saved); saveError then holds its error code.
  bool Finish(std::int32_t& saveError) { return Close(&saveError); }

 private:
  bool Close(std::int32_t* saveError) {
    fArmed = false;
    bool saved = true;
    if (fRefresh) {
      try {
        saved = fControl.RefreshData(fMachine);
        // Asked at once: re-enabling the terminal below sets the last error afresh.
        if (!saved && saveError != nullptr) {
          fControl.GetLastError(*saveError);
        }
      } catch (...) {
        // A failing refresh must not leave the terminal disabled.
        fControl.EnableDevice(fMachine, kComTrue);
        throw;
      }
    }
    fControl.EnableDevice(fMachine, kComTrue);
    return saved;
  }

  TTermControl& fControl;
  std::int32_t fMachine;
  bool fRefresh;
  bool fArmed = true;
};

}  // namespace

std::u16string UploadInterrupted(std::int32_t written, std::int32_t total) {
  return u"*Upload interrupted by shutdown: " + Decimal(written) + u" of " + Decimal(total) +
         u" users written";
}

std::u16string ReadInterrupted(std::int32_t read) {
  return u"*Read interrupted by shutdown: " + Decimal(read) + u" users read";
}

std::u16string DeleteInterrupted(std::int32_t done, std::int32_t total) {
  return u"*Delete interrupted by shutdown: " + Decimal(done) + u" of " + Decimal(total) +
         u" entries done";
}

TSDKHelper::TSDKHelper(std::unique_ptr<TTermControl> control) : axTerm1(std::move(control)) {}

bool TSDKHelper::Connect(const std::u16string& ip, const std::u16string& port,
                         const std::u16string& commKey) {
  axTerm1->SetCommPassword(TextToInt(commKey));
  if (!bIsConnected) {
    std::int32_t portNumber = TextToInt(port);
    bIsConnected = axTerm1->ConnectNet(ip, portNumber);
  }
  return bIsConnected;
}

void TSDKHelper::Disconnect() {
  if (bIsConnected) {
    // Disconnected from here on even if the control's call fails.
    bIsConnected = false;
    axTerm1->Disconnect();
  }
  bIsConnected = false;
}

std::unique_ptr<TJsonObject> TSDKHelper::getAllUserFPInfo(std::int32_t& dwErrorCode) {
  TReadOutcome outcome = ReadAllUsers({});
  dwErrorCode = outcome.errorCode;
  return std::move(outcome.document);
}

TReadOutcome TSDKHelper::ReadAllUsers(std::stop_token stop) {
  TReadOutcome outcome;
  auto document = std::make_unique<TJsonObject>();
  if (!bIsConnected) {
    outcome.document = std::move(document);
    return outcome;
  }
  const std::int32_t M = iMachineNumber;
  TDisabledTerminal disabled(*axTerm1, M, false);
  // A read cut short is no users document: passed on as one, it would make a move to another
  // terminal lose the users not read.
  std::int32_t count = 0;
  auto stopped = [&] {
    if (!stop.stop_requested()) {
      return false;
    }
    disabled.Finish();
    outcome.interruptedAfter = count;
    return true;
  };
  // A bulk read that failed would give users without templates, or none at all, which a move
  // to another terminal would then silently lose; so it fails the whole read instead.
  if (!axTerm1->ReadAllUserIDs(M) || stopped() || !axTerm1->ReadAllTemplates(M)) {
    if (!outcome.interruptedAfter) {
      axTerm1->GetLastError(outcome.errorCode);
      disabled.Finish();
    }
    return outcome;
  }
  TJsonArray* users = nullptr;
  while (!stopped()) {
    std::u16string number;
    std::u16string name;
    std::u16string password;
    std::int32_t privilege = 0;
    TComBool enabled = kComFalse;
    if (!axTerm1->GetAllUserInfo(M, number, name, password, privilege, enabled)) {
      break;
    }
    std::u16string card;
    axTerm1->GetCardNumber(card);
    // "users" comes into being with the first user, so a terminal without users gives {}.
    if (users == nullptr) {
      users = document->GetArray(u"users");
    }
    TJsonObject& user = *users->AddObject();
    user.SetString(u"enrollNumber", number);
    user.SetBool(u"enabled", enabled != 0);
    user.SetString(u"name", name);
    user.SetString(u"cardNumber", card);
    user.SetString(u"password", password);
    user.SetInt(u"privilege", privilege);
    std::int32_t fingers = 0;
    TJsonArray* templates = nullptr;
    for (std::int32_t finger = 0; finger < 10; ++finger) {
      std::int32_t flag = 0;
      std::u16string data;
      std::int32_t length = 0;
      if (axTerm1->GetUserTemplate(M, number, finger, flag, data, length)) {
        if (templates == nullptr) {
          templates = user.GetArray(u"fpTemplates");
        }
        TJsonObject& fp = *templates->AddObject();
        fp.SetInt(u"fingerIndex", finger);
        fp.SetInt(u"flag", flag);
        fp.SetString(u"templateData", data);
        ++fingers;
      }
    }
    user.SetInt(u"fpCount", fingers);
    ++count;
  }
  if (outcome.interruptedAfter) {
    return outcome;
  }
  disabled.Finish();
  outcome.document = std::move(document);
  return outcome;
}

std::u16string TSDKHelper::setAllUserFPInfo(TJsonArray& users, std::stop_token stop) {
  const std::int32_t M = iMachineNumber;
  std::u16string result;
  // Once a user has failed, the result stays a failure: a later user's success must not hide
  // that an earlier one is missing from the terminal. A later failure replaces an earlier one.
  bool anyFailed = false;
  TDisabledTerminal disabled(*axTerm1, M, true);
  for (std::int32_t i = 0; i < users.Count(); ++i) {
    if (stop.stop_requested()) {
      result = UploadInterrupted(i, users.Count());
      anyFailed = true;  // keeps this text whatever the save gives
      break;
    }
    const TUserRecord user = ReadUserRecord(RecordAt(users, i));
    if (!user.cardNumber.empty() && user.cardNumber != u"0") {
      axTerm1->SetCardNumber(user.cardNumber);
    }
    if (axTerm1->SetUserInfo(M, user.enrollNumber, user.name, user.password, user.privilege,
                             user.enabled ? kComTrue : kComFalse)) {
      std::int32_t templateError = 0;
      bool templatesStored = true;
      for (const TTemplateRecord& fp : user.templates) {
        // A template the terminal did not store must not end in a success text.
        if (!axTerm1->SetUserTemplate(M, user.enrollNumber, fp.fingerIndex, fp.flag,
                                      fp.templateData) &&
            templatesStored) {
          templatesStored = false;
          axTerm1->GetLastError(templateError);
        }
      }
      if (!templatesStored) {
        anyFailed = true;
        result =
            u"*Upload user " + user.enrollNumber + u" error,ErrorCode=!" + Decimal(templateError);
      } else if (!anyFailed) {
        result = u"*Upload user successful!";
      }
    } else {
      std::int32_t code = 0;
      axTerm1->GetLastError(code);
      anyFailed = true;
      result = u"*Upload user " + user.enrollNumber + u" error,ErrorCode=!" + Decimal(code);
    }
  }
  // Users the terminal did not save are lost whatever it answered for each of them, so a success
  // must not be reported; a failure already reported says enough.
  std::int32_t saveError = 0;
  if (!disabled.Finish(saveError) && !anyFailed) {
    result = u"*Upload save error,ErrorCode=!" + Decimal(saveError);
  }
  return result;
}

std::u16string TSDKHelper::deleteEnrollData(const std::u16string& sUserID,
                                            const std::u16string& sOption) {
  return deleteEnrollData(sUserID, TextToInt(sOption));
}

std::u16string TSDKHelper::deleteEnrollData(const std::u16string& sUserID,
                                            std::int32_t backupNumber) {
  const std::int32_t M = iMachineNumber;
  std::u16string success =
      u"SSR_DeleteEnrollData,UserID=" + sUserID + u" BackupNumber=" + Decimal(backupNumber);
  const bool deleted = axTerm1->DeleteEnrollData(M, sUserID, backupNumber);
  return DeletionResult(*axTerm1, M, deleted, backupNumber, std::move(success));
}

std::u16string TSDKHelper::deleteFingerTemplate(const std::u16string& sUserID,
                                                const std::u16string& sFingerIdx) {
  return deleteFingerTemplate(sUserID, TextToInt(sFingerIdx));
}

std::u16string TSDKHelper::deleteFingerTemplate(const std::u16string& sUserID,
                                                std::int32_t fingerIndex) {
  const std::int32_t M = iMachineNumber;
  std::u16string success =
      u"SSR_DelUserTmpExt,UserID=" + sUserID + u" FingerIndex=" + Decimal(fingerIndex);
  const bool deleted = axTerm1->DeleteUserTemplate(M, sUserID, fingerIndex);
  return DeletionResult(*axTerm1, M, deleted, fingerIndex, std::move(success));
}

}  // namespace vantorix
