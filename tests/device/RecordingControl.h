// Test helper: a terminal control that forwards to another and records every call as text,
// and can make chosen calls fail: raise (standing for a failing control status) or answer false
// without reaching the terminal.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/TermControl.h"

namespace vantorix::testing_support {

class EControlFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return out;
}

// Not thread-safe; tests read calls only between jobs.
class TRecordingControl : public TTermControl {
 public:
  explicit TRecordingControl(std::unique_ptr<TTermControl> inner) : fInner(std::move(inner)) {}

  std::vector<std::string> calls;
  // A call whose recorded text starts with this raises EControlFailure after being recorded.
  std::string failOn;
  // Asked with each call's text after it is recorded: true makes that call fail, raising
  // EControlFailure when raiseOnFault is set, else answering false without reaching the
  // terminal (calls without a result are then passed on all the same).
  std::function<bool(const std::string& call)> fault;
  bool raiseOnFault = false;

  bool SetCommPassword(std::int32_t CommKey) override {
    if (Note("SetCommPassword(" + std::to_string(CommKey) + ")")) {
      return false;
    }
    return fInner->SetCommPassword(CommKey);
  }
  bool ConnectNet(const std::u16string& IPAddress, std::int32_t Port) override {
    if (Note("ConnectNet(" + Narrow(IPAddress) + "," + std::to_string(Port) + ")")) {
      return false;
    }
    return fInner->ConnectNet(IPAddress, Port);
  }
  void Disconnect() override {
    Note("Disconnect()");
    fInner->Disconnect();
  }
  bool EnableDevice(std::int32_t M, TComBool bFlag) override {
    if (Note("EnableDevice(" + std::to_string(M) + "," + std::to_string(bFlag) + ")")) {
      return false;
    }
    return fInner->EnableDevice(M, bFlag);
  }
  bool ReadAllUserIDs(std::int32_t M) override {
    if (Note("ReadAllUserIDs(" + std::to_string(M) + ")")) {
      return false;
    }
    return fInner->ReadAllUserIDs(M);
  }
  bool ReadAllTemplates(std::int32_t M) override {
    if (Note("ReadAllTemplates(" + std::to_string(M) + ")")) {
      return false;
    }
    return fInner->ReadAllTemplates(M);
  }
  bool GetAllUserInfo(std::int32_t M, std::u16string& EnrollNumber, std::u16string& Name,
                      std::u16string& Password, std::int32_t& Privilege,
                      TComBool& Enabled) override {
    if (Note("GetAllUserInfo(" + std::to_string(M) + ")")) {
      return false;
    }
    return fInner->GetAllUserInfo(M, EnrollNumber, Name, Password, Privilege, Enabled);
  }
  bool GetCardNumber(std::u16string& CardNumber) override {
    if (Note("GetCardNumber()")) {
      return false;
    }
    return fInner->GetCardNumber(CardNumber);
  }
  bool GetUserTemplate(std::int32_t M, const std::u16string& EnrollNumber, std::int32_t FingerIndex,
                       std::int32_t& Flag, std::u16string& TemplateData,
                       std::int32_t& TemplateLength) override {
    if (Note("GetUserTemplate(" + Narrow(EnrollNumber) + "," + std::to_string(FingerIndex) + ")")) {
      return false;
    }
    return fInner->GetUserTemplate(M, EnrollNumber, FingerIndex, Flag, TemplateData,
                                   TemplateLength);
  }
  bool SetCardNumber(const std::u16string& CardNumber) override {
    if (Note("SetCardNumber(" + Narrow(CardNumber) + ")")) {
      return false;
    }
    return fInner->SetCardNumber(CardNumber);
  }
  bool SetUserInfo(std::int32_t M, const std::u16string& EnrollNumber, const std::u16string& Name,
                   const std::u16string& Password, std::int32_t Privilege,
                   TComBool Enabled) override {
    if (Note("SetUserInfo(" + Narrow(EnrollNumber) + "," + Narrow(Name) + "," + Narrow(Password) +
             "," + std::to_string(Privilege) + "," + std::to_string(Enabled) + ")")) {
      return false;
    }
    return fInner->SetUserInfo(M, EnrollNumber, Name, Password, Privilege, Enabled);
  }
  bool SetUserTemplate(std::int32_t M, const std::u16string& EnrollNumber, std::int32_t FingerIndex,
                       std::int32_t Flag, const std::u16string& TemplateData) override {
    if (Note("SetUserTemplate(" + Narrow(EnrollNumber) + "," + std::to_string(FingerIndex) + "," +
             std::to_string(Flag) + "," + Narrow(TemplateData) + ")")) {
      return false;
    }
    return fInner->SetUserTemplate(M, EnrollNumber, FingerIndex, Flag, TemplateData);
  }
  bool DeleteEnrollData(std::int32_t M, const std::u16string& EnrollNumber,
                        std::int32_t BackupNumber) override {
    if (Note("DeleteEnrollData(" + Narrow(EnrollNumber) + "," + std::to_string(BackupNumber) +
             ")")) {
      return false;
    }
    return fInner->DeleteEnrollData(M, EnrollNumber, BackupNumber);
  }
  bool DeleteUserTemplate(std::int32_t M, const std::u16string& EnrollNumber,
                          std::int32_t FingerIndex) override {
    if (Note("DeleteUserTemplate(" + Narrow(EnrollNumber) + "," + std::to_string(FingerIndex) +
             ")")) {
      return false;
    }
    return fInner->DeleteUserTemplate(M, EnrollNumber, FingerIndex);
  }
  bool RefreshData(std::int32_t M) override {
    if (Note("RefreshData(" + std::to_string(M) + ")")) {
      return false;
    }
    return fInner->RefreshData(M);
  }
  void GetLastError(std::int32_t& dwErrorCode) override {
    Note("GetLastError()");
    fInner->GetLastError(dwErrorCode);
  }

  // Calls recorded since the last Take, then forgets them.
  std::vector<std::string> Take() {
    std::vector<std::string> out;
    out.swap(calls);
    return out;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& call : calls) {
      n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  }

 private:
  // True when the call is to answer false.
  bool Note(std::string call) {
    calls.push_back(call);
    if (!failOn.empty() && call.rfind(failOn, 0) == 0) {
      throw EControlFailure("control failed at " + call);
    }
    if (fault && fault(call)) {
      if (raiseOnFault) {
        throw EControlFailure("control failed at " + call);
      }
      return true;
    }
    return false;
  }

  std::unique_ptr<TTermControl> fInner;
};

}  // namespace vantorix::testing_support
