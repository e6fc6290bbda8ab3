// The COM terminal control: creation and name look-up, argument passing, and the errors of
// failed calls.
#include "device/ComTermControl.h"

#include <array>
#include <utility>

#include "device/ComSupport.h"
#include "json/JsonUtf8.h"

namespace vantorix {

namespace {

std::string Quoted(const std::u16string& text) {
  return "\"" + JsonUtf8Encode(text) + "\"";
}

}  // namespace

struct TComTermControl::TBound {
  TComPtr<IDispatch> control;
  std::array<DISPID, kTermOperationCount> ids{};
  // For each operation whose method the control lacks, why; empty for the others.
  std::array<std::string, kTermOperationCount> missing;
};

// The arguments of one call in the order the method declares them. In-texts are owned here;
// by-reference arguments point at the caller's variables, which must outlive the call.
class TComTermControl::TArguments {
 public:
  TArguments& Long(std::int32_t value) {
    Add(VT_I4).lVal = value;
    return *this;
  }
  TArguments& Bool(TComBool value) {
    Add(VT_BOOL).boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return *this;
  }
  TArguments& Text(const std::u16string& text) {
    TBstr& owned = fTexts[fCount];
    owned = TBstr(text);
    Add(VT_BSTR).bstrVal = owned.Get();
    return *this;
  }
  TArguments& LongRef(LONG& slot) {
    Add(VT_BYREF | VT_I4).plVal = &slot;
    return *this;
  }
  TArguments& BoolRef(VARIANT_BOOL& slot) {
    Add(VT_BYREF | VT_BOOL).pboolVal = &slot;
    return *this;
  }
  // Out text: cleared before the call, filled by it.
  TArguments& TextRef(TBstr& slot) {
    Add(VT_BYREF | VT_BSTR).pbstrVal = slot.Put();
    return *this;
  }

  // IDispatch takes the arguments last first.
  DISPPARAMS Params() {
    for (std::size_t i = 0; i < fCount; ++i) {
      fReversed[fCount - 1 - i] = fArguments[i];
    }
    return DISPPARAMS{fReversed.data(), nullptr, static_cast<UINT>(fCount), 0};
  }

 private:
  static constexpr std::size_t kMost = 6;

  VARIANTARG& Add(VARTYPE type) {
    VARIANTARG& argument = fArguments[fCount++];
    VariantInit(&argument);
    argument.vt = type;
    return argument;
  }

  std::array<VARIANTARG, kMost> fArguments{};
  std::array<VARIANTARG, kMost> fReversed{};
  std::array<TBstr, kMost> fTexts;
  std::size_t fCount = 0;
};

TComTermControl::TComTermControl(TTermProfile profile) : fProfile(std::move(profile)) {
  fThread.Run([this] { Bind(); });
}

TComTermControl::~TComTermControl() {
  try {
    fThread.Run([this] { fBound.reset(); });
  } catch (...) {
    // Released on another thread, the control would run outside its apartment: better kept.
    (void)fBound.release();
  }
}

void TComTermControl::Bind() {
  const std::string name = "terminal control class " + Quoted(fProfile.controlClass);
  CLSID classId{};
  const wchar_t* classText = WideText(fProfile.controlClass);
  HRESULT status = fProfile.controlClass.starts_with(u"{") ? CLSIDFromString(classText, &classId)
                                                           : CLSIDFromProgID(classText, &classId);
  auto bound = std::make_unique<TBound>();
  if (SUCCEEDED(status)) {
    status = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IID_IDispatch, bound->control.PutVoid());
  }
  if (FAILED(status)) {
    const bool unknown = status == CO_E_CLASSSTRING || status == REGDB_E_CLASSNOTREG;
    fCreateProblem = name + (unknown ? " is not registered (" : " cannot be created (") +
                     HResultText(status) + ")";
    fProblems.push_back(fCreateProblem);
    return;
  }
  for (std::size_t i = 0; i < kTermOperationCount; ++i) {
    std::u16string method = fProfile.methods[i];
    auto* names = reinterpret_cast<LPOLESTR>(method.data());
    status =
        bound->control->GetIDsOfNames(IID_NULL, &names, 1, LOCALE_USER_DEFAULT, &bound->ids[i]);
    if (FAILED(status)) {
      bound->ids[i] = DISPID_UNKNOWN;
      const auto operation = static_cast<TTermOperation>(i);
      const std::u16string_view ours = TermOperationName(operation);
      bound->missing[i] = "terminal control " + Quoted(fProfile.controlClass) + " has no method " +
                          Quoted(method) +
                          (method == ours ? "" : " (for " + JsonUtf8Encode(ours) + ")") + " (" +
                          HResultText(status) + ")";
      fProblems.push_back(bound->missing[i]);
    }
  }
  fBound = std::move(bound);
}

std::string TComTermControl::Describe(TTermOperation operation) const {
  const std::u16string_view ours = TermOperationName(operation);
  const std::u16string& method = fProfile.Method(operation);
  return "terminal control " + Quoted(fProfile.controlClass) + ": " + JsonUtf8Encode(ours) +
         (method == ours ? "" : " (method " + Quoted(method) + ")");
}

void TComTermControl::RunWithControl(const std::function<void(IDispatch*)>& work) {
  fThread.Run([this, &work] { work(fBound ? fBound->control.Get() : nullptr); });
}

bool TComTermControl::Call(TTermOperation operation, TArguments& arguments, bool wantResult) {
  bool answer = false;
  fThread.Run([&] {
    if (!fBound) {
      throw ETermControlError(fCreateProblem);
    }
    const auto index = static_cast<std::size_t>(operation);
    if (fBound->ids[index] == DISPID_UNKNOWN) {
      throw ETermControlError(fBound->missing[index]);
    }
    DISPPARAMS params = arguments.Params();
    TVariant result;
    TExcepInfo exception;
    UINT argumentError = 0;
    const HRESULT status =
        fBound->control->Invoke(fBound->ids[index], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                &params, result.Get(), exception.Get(), &argumentError);
    if (status == DISP_E_EXCEPTION) {
      throw ETermControlError(Describe(operation) +
                              " raised an exception: " + exception.Describe());
    }
    if (FAILED(status)) {
      std::string message = Describe(operation) + " failed: " + HResultText(status);
      // argumentError counts from the last argument, as the arguments are passed.
      if ((status == DISP_E_TYPEMISMATCH || status == DISP_E_PARAMNOTFOUND) &&
          argumentError < params.cArgs) {
        message += " (argument " + std::to_string(params.cArgs - argumentError) + ")";
      }
      throw ETermControlError(message);
    }
    if (!wantResult) {
      return;
    }
    VARIANT& value = *result.Get();
    if (value.vt == VT_BOOL) {
      answer = value.boolVal != VARIANT_FALSE;
      return;
    }
    // A control may answer with a number; no answer at all must not read as a failure or a
    // success the control never reported.
    TVariant converted;
    if (value.vt == VT_EMPTY || FAILED(VariantChangeType(converted.Get(), &value, 0, VT_BOOL))) {
      throw ETermControlError(Describe(operation) + " gave " +
                              (value.vt == VT_EMPTY
                                   ? std::string("no answer")
                                   : "an answer of variant type " + std::to_string(value.vt)) +
                              " where true or false was expected");
    }
    answer = converted.Value().boolVal != VARIANT_FALSE;
  });
  return answer;
}

bool TComTermControl::SetCommPassword(std::int32_t CommKey) {
  TArguments arguments;
  arguments.Long(CommKey);
  return Call(TTermOperation::SetCommPassword, arguments);
}

bool TComTermControl::ConnectNet(const std::u16string& IPAddress, std::int32_t Port) {
  TArguments arguments;
  arguments.Text(IPAddress).Long(Port);
  return Call(TTermOperation::ConnectNet, arguments);
}

void TComTermControl::Disconnect() {
  TArguments arguments;
  Call(TTermOperation::Disconnect, arguments, false);
}

bool TComTermControl::EnableDevice(std::int32_t MachineNumber, TComBool bFlag) {
  TArguments arguments;
  arguments.Long(MachineNumber).Bool(bFlag);
  return Call(TTermOperation::EnableDevice, arguments);
}

bool TComTermControl::ReadAllUserIDs(std::int32_t MachineNumber) {
  TArguments arguments;
  arguments.Long(MachineNumber);
  return Call(TTermOperation::ReadAllUserIDs, arguments);
}

bool TComTermControl::ReadAllTemplates(std::int32_t MachineNumber) {
  TArguments arguments;
  arguments.Long(MachineNumber);
  return Call(TTermOperation::ReadAllTemplates, arguments);
}

bool TComTermControl::GetAllUserInfo(std::int32_t MachineNumber, std::u16string& EnrollNumber,
                                     std::u16string& Name, std::u16string& Password,
                                     std::int32_t& Privilege, TComBool& Enabled) {
  TBstr number;
  TBstr name;
  TBstr password;
  LONG privilege = Privilege;
  VARIANT_BOOL enabled = Enabled;
  TArguments arguments;
  arguments.Long(MachineNumber)
      .TextRef(number)
      .TextRef(name)
      .TextRef(password)
      .LongRef(privilege)
      .BoolRef(enabled);
  const bool found = Call(TTermOperation::GetAllUserInfo, arguments);
  EnrollNumber = number.Text();
  Name = name.Text();
  Password = password.Text();
  Privilege = privilege;
  Enabled = enabled;
  return found;
}

bool TComTermControl::GetCardNumber(std::u16string& CardNumber) {
  TBstr card;
  TArguments arguments;
  arguments.TextRef(card);
  const bool answer = Call(TTermOperation::GetCardNumber, arguments);
  CardNumber = card.Text();
  return answer;
}

bool TComTermControl::GetUserTemplate(std::int32_t MachineNumber,
                                      const std::u16string& EnrollNumber, std::int32_t FingerIndex,
                                      std::int32_t& Flag, std::u16string& TemplateData,
                                      std::int32_t& TemplateLength) {
  LONG flag = Flag;
  TBstr data;
  LONG length = TemplateLength;
  TArguments arguments;
  arguments.Long(MachineNumber)
      .Text(EnrollNumber)
      .Long(FingerIndex)
      .LongRef(flag)
      .TextRef(data)
      .LongRef(length);
  const bool found = Call(TTermOperation::GetUserTemplate, arguments);
  Flag = flag;
  TemplateData = data.Text();
  TemplateLength = length;
  return found;
}

bool TComTermControl::SetCardNumber(const std::u16string& CardNumber) {
  TArguments arguments;
  arguments.Text(CardNumber);
  return Call(TTermOperation::SetCardNumber, arguments);
}

bool TComTermControl::SetUserInfo(std::int32_t MachineNumber, const std::u16string& EnrollNumber,
                                  const std::u16string& Name, const std::u16string& Password,
                                  std::int32_t Privilege, TComBool Enabled) {
  TArguments arguments;
  arguments.Long(MachineNumber)
      .Text(EnrollNumber)
      .Text(Name)
      .Text(Password)
      .Long(Privilege)
      .Bool(Enabled);
  return Call(TTermOperation::SetUserInfo, arguments);
}

bool TComTermControl::SetUserTemplate(std::int32_t MachineNumber,
                                      const std::u16string& EnrollNumber, std::int32_t FingerIndex,
                                      std::int32_t Flag, const std::u16string& TemplateData) {
  TArguments arguments;
  arguments.Long(MachineNumber).Text(EnrollNumber).Long(FingerIndex).Long(Flag).Text(TemplateData);
  return Call(TTermOperation::SetUserTemplate, arguments);
}

bool TComTermControl::DeleteEnrollData(std::int32_t MachineNumber,
                                       const std::u16string& EnrollNumber,
                                       std::int32_t BackupNumber) {
  TArguments arguments;
  arguments.Long(MachineNumber).Text(EnrollNumber).Long(BackupNumber);
  return Call(TTermOperation::DeleteEnrollData, arguments);
}

bool TComTermControl::DeleteUserTemplate(std::int32_t MachineNumber,
                                         const std::u16string& EnrollNumber,
                                         std::int32_t FingerIndex) {
  TArguments arguments;
  arguments.Long(MachineNumber).Text(EnrollNumber).Long(FingerIndex);
  return Call(TTermOperation::DeleteUserTemplate, arguments);
}

bool TComTermControl::RefreshData(std::int32_t MachineNumber) {
  TArguments arguments;
  arguments.Long(MachineNumber);
  return Call(TTermOperation::RefreshData, arguments);
}

void TComTermControl::GetLastError(std::int32_t& dwErrorCode) {
  LONG code = dwErrorCode;
  TArguments arguments;
  arguments.LongRef(code);
  Call(TTermOperation::GetLastError, arguments, false);
  dwErrorCode = code;
}

}  // namespace vantorix
