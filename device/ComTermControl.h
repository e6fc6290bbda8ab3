// The terminal control over COM automation: a site's terminal control component, named by a
// profile, driven late-bound through IDispatch on a thread of its own. Windows only.
#pragma once

#include <oaidl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/ComThread.h"
#include "device/TermControl.h"
#include "device/TermProfile.h"

namespace vantorix {

// Creates the profile's class on a thread of its own (a single-threaded apartment with a hidden
// window, see TComThread) and looks up the profile's method names there once. Every operation
// is carried to that thread and its caller waits for the answer. Texts travel as BSTR, booleans
// as VARIANT_BOOL, out and ref arguments by reference (VT_BYREF).
//
// Threading: any thread, one call at a time (callers take turns); never a window thread, which
// must keep dispatching while a call runs. Create it before any other thread of the process enters
// a single-threaded apartment: a control registered without a threading model then lives on its
// thread too, and not on a window thread.
// Failure: the constructor raises only when the thread cannot be set up. A class that cannot be
// created or a method the control lacks is listed by Problems() and raised as ETermControlError
// by every operation that needs it. A call the control fails (an HRESULT), an exception the
// control raises (DISP_E_EXCEPTION, with the control's own text), or an answer that is not a
// boolean where one is needed raises ETermControlError naming the operation. A false answer is
// the normal failure report, as for every terminal control.
class TComTermControl : public TTermControl {
 public:
  explicit TComTermControl(TTermProfile profile);
  // Releases the control on its thread, then ends the thread.
  ~TComTermControl() override;
  TComTermControl(const TComTermControl&) = delete;
  TComTermControl& operator=(const TComTermControl&) = delete;

  // What keeps operations from working, found at construction: the class that could not be
  // created, or each method the control lacks. Empty when every operation can be called.
  // UTF-8, as the messages of the errors the operations raise.
  const std::vector<std::string>& Problems() const { return fProblems; }

  // Runs work on the control's thread with the control's IDispatch (nullptr when it could not be
  // created) and waits: for methods of a control beyond the sixteen. work must not keep the
  // pointer.
  void RunWithControl(const std::function<void(IDispatch*)>& work);

  bool SetCommPassword(std::int32_t CommKey) override;
  bool ConnectNet(const std::u16string& IPAddress, std::int32_t Port) override;
  void Disconnect() override;
  bool EnableDevice(std::int32_t MachineNumber, TComBool bFlag) override;
  bool ReadAllUserIDs(std::int32_t MachineNumber) override;
  bool ReadAllTemplates(std::int32_t MachineNumber) override;
  bool GetAllUserInfo(std::int32_t MachineNumber, std::u16string& EnrollNumber,
                      std::u16string& Name, std::u16string& Password, std::int32_t& Privilege,
                      TComBool& Enabled) override;
  bool GetCardNumber(std::u16string& CardNumber) override;
  bool GetUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                       std::int32_t FingerIndex, std::int32_t& Flag, std::u16string& TemplateData,
                       std::int32_t& TemplateLength) override;
  bool SetCardNumber(const std::u16string& CardNumber) override;
  bool SetUserInfo(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                   const std::u16string& Name, const std::u16string& Password,
                   std::int32_t Privilege, TComBool Enabled) override;
  bool SetUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                       std::int32_t FingerIndex, std::int32_t Flag,
                       const std::u16string& TemplateData) override;
  bool DeleteEnrollData(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                        std::int32_t BackupNumber) override;
  bool DeleteUserTemplate(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                          std::int32_t FingerIndex) override;
  bool RefreshData(std::int32_t MachineNumber) override;
  void GetLastError(std::int32_t& dwErrorCode) override;

 private:
  class TArguments;
  struct TBound;

  // Calls the operation's method with arguments on the control's thread; the control's answer
  // as a boolean (wantResult) or ignored.
  bool Call(TTermOperation operation, TArguments& arguments, bool wantResult = true);
  // "terminal control "Site.Terminal": ConnectNet (method "Open")", for messages.
  std::string Describe(TTermOperation operation) const;

  // On the control's thread, at construction.
  void Bind();

  TTermProfile fProfile;
  std::vector<std::string> fProblems;
  // Why the control could not be created; empty when it was.
  std::string fCreateProblem;
  TComThread fThread;
  // The control and its method ids; used, created and released on fThread only.
  std::unique_ptr<TBound> fBound;
};

}  // namespace vantorix
