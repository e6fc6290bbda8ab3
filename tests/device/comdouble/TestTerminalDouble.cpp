// A COM test double of a terminal control: the in-process automation server
// "Vantorix.TestTerminal", with a hand-written IDispatch, terminals kept in memory per object,
// and extra methods that make any operation fail or raise on demand and show a terminal's state.
//
// The sixteen operations take the arguments a terminal control declares, and the double checks
// them strictly: the exact variant types (by-reference ones as VT_BYREF), booleans only as
// VARIANT_TRUE or VARIANT_FALSE, the argument count, no named arguments, and every call on the
// thread that created the object (its apartment). Four methods have names of their own, so that a
// profile has to rename them: OpenTerminal (ConnectNet), CloseTerminal (Disconnect), FetchTemplate
// (GetUserTemplate) and StoreTemplate (SetUserTemplate).
//
// Error codes: -1 not found, -4 invalid argument, -6 not connected; a fault sets its own.
//
// Test methods:
//   FailNext(method, code): the next call of method answers false, with code as its last error.
//   RaiseNext(method, description, deferred): the next call of method raises DISP_E_EXCEPTION
//     with description; deferred: its texts are filled in only through pfnDeferredFillIn.
//   ReturnNext(method, status): the next call of method fails with HRESULT status.
//   RaiseAtCall(n, description): the n-th call of the sixteen from now (1: the next) raises.
//   TerminalState(ip, port): "absent", or "users=U templates=T enabled=E connected=C key=K".
//   CallCount(): calls of the sixteen made on this object.
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>
#include <windows.h>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr CLSID kClassId = {
    0xd74ffd40, 0xee01, 0x4176, {0xa9, 0x01, 0x85, 0x5d, 0x01, 0x16, 0x8b, 0x00}};
constexpr wchar_t kClassIdText[] = L"{D74FFD40-EE01-4176-A901-855D01168B00}";
constexpr wchar_t kProgId[] = L"Vantorix.TestTerminal";
constexpr wchar_t kDescription[] = L"Vantorix test terminal control";
// The code of the exceptions the double raises.
constexpr SCODE kRaisedCode = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x201);

constexpr LONG kErrNotFound = -1;
constexpr LONG kErrInvalid = -4;
constexpr LONG kErrNotConnected = -6;
constexpr LONG kFingers = 10;

enum TMethod : DISPID {
  kSetCommPassword = 1,
  kOpenTerminal,
  kCloseTerminal,
  kEnableDevice,
  kReadAllUserIDs,
  kReadAllTemplates,
  kGetAllUserInfo,
  kGetCardNumber,
  kFetchTemplate,
  kSetCardNumber,
  kSetUserInfo,
  kStoreTemplate,
  kDeleteEnrollData,
  kDeleteUserTemplate,
  kRefreshData,
  kGetLastError,
  kLastOperation = kGetLastError,
  kFailNext = 101,
  kRaiseNext,
  kReturnNext,
  kRaiseAtCall,
  kTerminalState,
  kCallCount,
};

// A method's arguments in the order it declares them: L long, T text, B boolean, and in lower
// case the same by reference.
struct TName {
  const wchar_t* name;
  DISPID id;
  const char* signature;
};
constexpr TName kNames[] = {
    {L"SetCommPassword", kSetCommPassword, "L"},
    {L"OpenTerminal", kOpenTerminal, "TL"},
    {L"CloseTerminal", kCloseTerminal, ""},
    {L"EnableDevice", kEnableDevice, "LB"},
    {L"ReadAllUserIDs", kReadAllUserIDs, "L"},
    {L"ReadAllTemplates", kReadAllTemplates, "L"},
    {L"GetAllUserInfo", kGetAllUserInfo, "Ltttlb"},
    {L"GetCardNumber", kGetCardNumber, "t"},
    {L"FetchTemplate", kFetchTemplate, "LTLltl"},
    {L"SetCardNumber", kSetCardNumber, "T"},
    {L"SetUserInfo", kSetUserInfo, "LTTTLB"},
    {L"StoreTemplate", kStoreTemplate, "LTLLT"},
    {L"DeleteEnrollData", kDeleteEnrollData, "LTL"},
    {L"DeleteUserTemplate", kDeleteUserTemplate, "LTL"},
    {L"RefreshData", kRefreshData, "L"},
    {L"GetLastError", kGetLastError, "l"},
    {L"FailNext", kFailNext, "TL"},
    {L"RaiseNext", kRaiseNext, "TTB"},
    {L"ReturnNext", kReturnNext, "TL"},
    {L"RaiseAtCall", kRaiseAtCall, "LT"},
    {L"TerminalState", kTerminalState, "TL"},
    {L"CallCount", kCallCount, ""},
};

const char* Signature(DISPID id) {
  for (const TName& entry : kNames) {
    if (entry.id == id) {
      return entry.signature;
    }
  }
  return nullptr;
}

// Automation names are case-insensitive.
std::optional<DISPID> FindName(const wchar_t* name) {
  for (const TName& entry : kNames) {
    if (CompareStringOrdinal(entry.name, -1, name, -1, TRUE) == CSTR_EQUAL) {
      return entry.id;
    }
  }
  return std::nullopt;
}

bool ReturnsBool(DISPID id) {
  return id >= kSetCommPassword && id <= kLastOperation && id != kCloseTerminal &&
         id != kGetLastError;
}

// What leaves Invoke instead of an answer.
struct TInvokeFault {
  HRESULT status;
  UINT argument = 0;
};

BSTR NewText(const std::wstring& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The arguments of one call, by position in the order the method declares them.
class TArgs {
 public:
  explicit TArgs(const DISPPARAMS& params) : fParams(params) {}

  // Refuses named arguments, another number of arguments, or an argument of another type.
  void Check(const std::string& signature) const {
    if (fParams.cNamedArgs != 0) {
      throw TInvokeFault{DISP_E_NONAMEDARGS};
    }
    if (fParams.cArgs != signature.size()) {
      throw TInvokeFault{DISP_E_BADPARAMCOUNT};
    }
    for (UINT i = 0; i < signature.size(); ++i) {
      switch (signature[i]) {
        case 'L':
          Long(i);
          break;
        case 'T':
          Text(i);
          break;
        case 'B':
          Bool(i);
          break;
        case 'l':
          LongRef(i);
          break;
        case 't':
          TextRef(i);
          break;
        case 'b':
          CheckedBool(i, BoolRef(i));
          break;
      }
    }
  }
  LONG Long(UINT i) const { return Typed(i, VT_I4).lVal; }
  std::wstring Text(UINT i) const {
    BSTR text = Typed(i, VT_BSTR).bstrVal;
    return std::wstring(text, SysStringLen(text));
  }
  bool Bool(UINT i) const { return CheckedBool(i, Typed(i, VT_BOOL).boolVal); }
  LONG& LongRef(UINT i) const { return *Typed(i, VT_BYREF | VT_I4).plVal; }
  VARIANT_BOOL& BoolRef(UINT i) const { return *Typed(i, VT_BYREF | VT_BOOL).pboolVal; }
  BSTR* TextRef(UINT i) const { return Typed(i, VT_BYREF | VT_BSTR).pbstrVal; }
  // An out text: whatever the caller put there is freed and replaced.
  void SetText(UINT i, const std::wstring& text) const {
    BSTR* slot = TextRef(i);
    SysFreeString(*slot);
    *slot = NewText(text);
  }

 private:
  UINT Position(UINT i) const { return fParams.cArgs - 1 - i; }
  const VARIANTARG& Typed(UINT i, VARTYPE type) const {
    const VARIANTARG& argument = fParams.rgvarg[Position(i)];
    if (argument.vt != type) {
      throw TInvokeFault{DISP_E_TYPEMISMATCH, Position(i)};
    }
    return argument;
  }
  bool CheckedBool(UINT i, VARIANT_BOOL value) const {
    if (value != VARIANT_TRUE && value != VARIANT_FALSE) {
      throw TInvokeFault{DISP_E_TYPEMISMATCH, Position(i)};
    }
    return value == VARIANT_TRUE;
  }

  const DISPPARAMS& fParams;
};

struct TTemplate {
  LONG flag = 0;
  std::wstring data;
};

struct TUser {
  std::wstring number;
  std::wstring name;
  std::wstring password;
  std::wstring card;
  LONG privilege = 0;
  bool enabled = false;
  std::array<std::optional<TTemplate>, kFingers> fingers;
};

struct TTerminal {
  std::vector<TUser> users;  // in the order they were first stored
  bool enabled = true;
  LONG key = 0;

  TUser* Find(const std::wstring& number) {
    for (TUser& user : users) {
      if (user.number == number) {
        return &user;
      }
    }
    return nullptr;
  }
};

struct TFault {
  enum TKind { kFail, kRaise, kReturn } kind = kFail;
  LONG code = 0;
  std::wstring description;
  bool deferred = false;
};

// A deferred exception keeps its description here until the caller asks for it.
HRESULT __stdcall FillInDeferred(EXCEPINFO* info) {
  info->bstrDescription = static_cast<BSTR>(info->pvReserved);
  info->pvReserved = nullptr;
  info->bstrSource = SysAllocString(kProgId);
  info->scode = kRaisedCode;
  return S_OK;
}

// IUnknown for an object of one interface, freed by the release of its last reference. It starts
// with one reference, its creator's.
template <typename TInterface, const IID& kInterfaceId, typename TObject>
class TComObject : public TInterface {
 public:
  HRESULT __stdcall QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kInterfaceId)) {
      *object = static_cast<TInterface*>(this);
      this->AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG __stdcall AddRef() override { return ++fReferences; }
  ULONG __stdcall Release() override {
    const ULONG left = --fReferences;
    if (left == 0) {
      // The last reference owned the object.
      std::unique_ptr<TObject> owner(static_cast<TObject*>(this));
    }
    return left;
  }

 private:
  ULONG fReferences = 1;
};

class TTestTerminal final : public TComObject<IDispatch, IID_IDispatch, TTestTerminal> {
 public:
  TTestTerminal() : fThread(GetCurrentThreadId()) {}

  HRESULT __stdcall GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT __stdcall GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
  HRESULT __stdcall GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT status = S_OK;
    for (UINT i = 0; i < count; ++i) {
      // Named arguments are not supported: only the method's own name is known.
      const std::optional<DISPID> id = i == 0 ? FindName(names[i]) : std::nullopt;
      ids[i] = id.value_or(DISPID_UNKNOWN);
      if (!id) {
        status = DISP_E_UNKNOWNNAME;
      }
    }
    return status;
  }

  HRESULT __stdcall Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* exception, UINT* argumentError) override {
    if (GetCurrentThreadId() != fThread) {
      return RPC_E_WRONG_THREAD;
    }
    if ((flags & DISPATCH_METHOD) == 0) {
      return DISP_E_MEMBERNOTFOUND;
    }
    const char* signature = Signature(id);
    if (signature == nullptr) {
      return DISP_E_MEMBERNOTFOUND;
    }
    try {
      const TArgs args(*params);
      args.Check(signature);
      if (id >= kSetCommPassword && id <= kLastOperation) {
        if (std::optional<HRESULT> raised = Injected(id, exception)) {
          return *raised;
        }
      }
      bool answer = true;
      Run(id, args, answer, result);
      if (result != nullptr && ReturnsBool(id)) {
        VariantInit(result);
        result->vt = VT_BOOL;
        result->boolVal = answer ? VARIANT_TRUE : VARIANT_FALSE;
      }
      return S_OK;
    } catch (const TInvokeFault& fault) {
      if (argumentError != nullptr) {
        *argumentError = fault.argument;
      }
      return fault.status;
    }
  }

 private:
  // A fault armed for this call: its HRESULT, or nothing when the call goes on (a "fail" fault
  // has then been applied: the call answers false).
  std::optional<HRESULT> Injected(DISPID id, EXCEPINFO* exception) {
    ++fCalls;
    std::optional<TFault> fault;
    if (fRaiseAtCall && --*fRaiseAtCall == 0) {
      fault = TFault{TFault::kRaise, 0, fRaiseAtCallText, false};
      fRaiseAtCall.reset();
    } else if (auto armed = fFaults.find(id); armed != fFaults.end()) {
      fault = armed->second;
      fFaults.erase(armed);
    }
    if (!fault) {
      return std::nullopt;
    }
    switch (fault->kind) {
      case TFault::kReturn:
        return static_cast<HRESULT>(fault->code);
      case TFault::kRaise:
        if (exception != nullptr) {
          *exception = EXCEPINFO{};
          BSTR text = NewText(fault->description);
          if (fault->deferred) {
            exception->pvReserved = text;
            exception->pfnDeferredFillIn = FillInDeferred;
          } else {
            exception->bstrDescription = text;
            exception->bstrSource = SysAllocString(kProgId);
            exception->scode = kRaisedCode;
          }
        }
        return DISP_E_EXCEPTION;
      case TFault::kFail:
        fFailWith = fault->code;
        return std::nullopt;
    }
    return std::nullopt;
  }

  // Answers false with the armed failure code, if any.
  bool Failed() {
    if (fFailWith) {
      fLastError = *fFailWith;
      fFailWith.reset();
      return true;
    }
    return false;
  }

  bool Fail(LONG code, bool& answer) {
    fLastError = code;
    answer = false;
    return true;
  }

  // Runs a method whose arguments were checked; answer is its boolean result.
  bool Run(DISPID id, const TArgs& args, bool& answer, VARIANT* result) {
    if (ReturnsBool(id) && Failed()) {
      answer = false;
      return true;
    }
    fLastError = id == kGetLastError ? fLastError : 0;
    switch (id) {
      case kSetCommPassword:
        fKey = args.Long(0);
        return true;
      case kOpenTerminal: {
        const std::wstring ip = args.Text(0);
        const LONG port = args.Long(1);
        if (ip.empty() || port < 1 || port > 65535) {
          return Fail(kErrInvalid, answer);
        }
        fConnected = ip + L":" + std::to_wstring(port);
        fTerminals[*fConnected].key = fKey;
        ClearSession();
        return true;
      }
      case kCloseTerminal:
        fConnected.reset();
        ClearSession();
        return true;
      case kGetLastError:
        args.LongRef(0) = fLastError;
        return true;
      default:
        break;
    }
    if (id >= kSetCommPassword && id <= kLastOperation) {
      return Operate(id, args, answer);
    }
    return Test(id, args, result);
  }

  // The operations that need a connected terminal.
  bool Operate(DISPID id, const TArgs& args, bool& answer) {
    if (!fConnected) {
      return Fail(kErrNotConnected, answer);
    }
    TTerminal& terminal = fTerminals[*fConnected];
    switch (id) {
      case kEnableDevice:
        terminal.enabled = args.Bool(1);
        return true;
      case kReadAllUserIDs:
        fUserList.clear();
        for (const TUser& user : terminal.users) {
          fUserList.push_back(user.number);
        }
        fNextUser = 0;
        return true;
      case kReadAllTemplates:
      case kRefreshData:
        return true;
      case kGetAllUserInfo: {
        const TUser* user = nullptr;
        while (user == nullptr && fNextUser < fUserList.size()) {
          user = terminal.Find(fUserList[fNextUser++]);
        }
        if (user == nullptr) {
          answer = false;
          return true;
        }
        args.SetText(1, user->number);
        args.SetText(2, user->name);
        args.SetText(3, user->password);
        args.LongRef(4) = user->privilege;
        args.BoolRef(5) = user->enabled ? VARIANT_TRUE : VARIANT_FALSE;
        fCurrentCard = user->card;
        return true;
      }
      case kGetCardNumber:
        args.SetText(0, fCurrentCard);
        return true;
      case kFetchTemplate: {
        const TUser* user = terminal.Find(args.Text(1));
        const LONG finger = args.Long(2);
        args.SetText(4, L"");
        if (user == nullptr || finger < 0 || finger >= kFingers || !user->fingers[finger]) {
          return Fail(kErrNotFound, answer);
        }
        const TTemplate& fp = *user->fingers[finger];
        args.LongRef(3) = fp.flag;
        args.SetText(4, fp.data);
        args.LongRef(5) = static_cast<LONG>(fp.data.size());
        return true;
      }
      case kSetCardNumber:
        fPendingCard = args.Text(0);
        return true;
      case kSetUserInfo: {
        const std::wstring number = args.Text(1);
        if (number.empty()) {
          return Fail(kErrInvalid, answer);
        }
        TUser* user = terminal.Find(number);
        if (user == nullptr) {
          user = &terminal.users.emplace_back();
          user->number = number;
        }
        user->name = args.Text(2);
        user->password = args.Text(3);
        user->privilege = args.Long(4);
        user->enabled = args.Bool(5);
        // The card goes with this call only; without one a user keeps the card it has.
        if (fPendingCard) {
          user->card = *fPendingCard;
          fPendingCard.reset();
        }
        return true;
      }
      case kStoreTemplate: {
        TUser* user = terminal.Find(args.Text(1));
        const LONG finger = args.Long(2);
        if (finger < 0 || finger >= kFingers) {
          return Fail(kErrInvalid, answer);
        }
        if (user == nullptr) {
          return Fail(kErrNotFound, answer);
        }
        user->fingers[finger] = TTemplate{args.Long(3), args.Text(4)};
        return true;
      }
      case kDeleteEnrollData:
        return DeleteEnrollData(terminal, args.Text(1), args.Long(2), answer);
      case kDeleteUserTemplate: {
        TUser* user = terminal.Find(args.Text(1));
        const LONG finger = args.Long(2);
        if (finger < 0 || finger >= kFingers) {
          return Fail(kErrInvalid, answer);
        }
        if (user == nullptr || !user->fingers[finger]) {
          return Fail(kErrNotFound, answer);
        }
        user->fingers[finger].reset();
        return true;
      }
      default:
        return false;
    }
  }

  // Backup numbers: 0 to 9 one finger, 10 the password, 11 every finger (none left: false with
  // code 0), 12 the whole user.
  bool DeleteEnrollData(TTerminal& terminal, const std::wstring& number, LONG backup,
                        bool& answer) {
    TUser* user = terminal.Find(number);
    if (user == nullptr) {
      return Fail(kErrNotFound, answer);
    }
    if (backup >= 0 && backup < kFingers) {
      if (!user->fingers[backup]) {
        return Fail(kErrNotFound, answer);
      }
      user->fingers[backup].reset();
    } else if (backup == 10) {
      user->password.clear();
    } else if (backup == 11) {
      bool any = false;
      for (auto& finger : user->fingers) {
        any = any || finger.has_value();
        finger.reset();
      }
      if (!any) {
        return Fail(0, answer);
      }
    } else if (backup == 12) {
      terminal.users.erase(terminal.users.begin() + (user - terminal.users.data()));
    } else {
      return Fail(kErrInvalid, answer);
    }
    return true;
  }

  // The test methods.
  bool Test(DISPID id, const TArgs& args, VARIANT* result) {
    switch (id) {
      case kFailNext:
      case kRaiseNext:
      case kReturnNext: {
        const std::wstring name = args.Text(0);
        const std::optional<DISPID> target = FindName(name.c_str());
        if (!target || *target > kLastOperation || (id == kFailNext && !ReturnsBool(*target))) {
          throw TInvokeFault{E_INVALIDARG};
        }
        TFault fault;
        if (id == kRaiseNext) {
          fault = TFault{TFault::kRaise, 0, args.Text(1), args.Bool(2)};
        } else {
          fault =
              TFault{id == kFailNext ? TFault::kFail : TFault::kReturn, args.Long(1), {}, false};
        }
        fFaults[*target] = fault;
        return true;
      }
      case kRaiseAtCall:
        fRaiseAtCall = args.Long(0);
        fRaiseAtCallText = args.Text(1);
        return true;
      case kTerminalState: {
        const std::wstring address = args.Text(0) + L":" + std::to_wstring(args.Long(1));
        std::wstring state = L"absent";
        if (auto found = fTerminals.find(address); found != fTerminals.end()) {
          long templates = 0;
          for (const TUser& user : found->second.users) {
            for (const auto& finger : user.fingers) {
              templates += finger ? 1 : 0;
            }
          }
          state = L"users=" + std::to_wstring(found->second.users.size()) + L" templates=" +
                  std::to_wstring(templates) + L" enabled=" +
                  std::to_wstring(found->second.enabled ? 1 : 0) + L" connected=" +
                  std::to_wstring(fConnected == address ? 1 : 0) + L" key=" +
                  std::to_wstring(found->second.key);
        }
        Answer(result, VT_BSTR).bstrVal = NewText(state);
        return true;
      }
      case kCallCount:
        Answer(result, VT_I4).lVal = fCalls;
        return true;
      default:
        return false;
    }
  }

  static VARIANT& Answer(VARIANT* result, VARTYPE type) {
    if (result == nullptr) {
      throw TInvokeFault{E_POINTER};
    }
    VariantInit(result);
    result->vt = type;
    return *result;
  }

  void ClearSession() {
    fUserList.clear();
    fNextUser = 0;
    fCurrentCard.clear();
    fPendingCard.reset();
  }

  const DWORD fThread;
  std::map<std::wstring, TTerminal> fTerminals;  // by "ip:port"
  std::optional<std::wstring> fConnected;
  LONG fKey = 0;
  LONG fLastError = 0;
  std::vector<std::wstring> fUserList;
  std::size_t fNextUser = 0;
  std::wstring fCurrentCard;
  std::optional<std::wstring> fPendingCard;
  std::map<DISPID, TFault> fFaults;
  std::optional<LONG> fFailWith;
  std::optional<LONG> fRaiseAtCall;
  std::wstring fRaiseAtCallText;
  LONG fCalls = 0;
};

class TClassFactory final : public TComObject<IClassFactory, IID_IClassFactory, TClassFactory> {
 public:
  HRESULT __stdcall CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    // Starts with one reference, which Release below gives up once the caller holds its own.
    auto terminal = std::make_unique<TTestTerminal>();
    const HRESULT status = terminal->QueryInterface(iid, object);
    terminal.release()->Release();
    return status;
  }
  HRESULT __stdcall LockServer(BOOL) override { return S_OK; }
};

// An open registry key, closed once.
class TKey {
 public:
  TKey(HKEY parent, const std::wstring& path) {
    fStatus =
        RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &fKey, nullptr);
  }
  ~TKey() {
    if (fStatus == ERROR_SUCCESS) {
      RegCloseKey(fKey);
    }
  }
  TKey(const TKey&) = delete;
  TKey& operator=(const TKey&) = delete;

  bool Set(const wchar_t* name, const std::wstring& value) {
    return fStatus == ERROR_SUCCESS &&
           RegSetValueExW(fKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
  }

 private:
  HKEY fKey = nullptr;
  LONG fStatus;
};

std::wstring ModulePath() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ModulePath), &module);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// Machine-wide: wine does not look at per-user registrations.
constexpr wchar_t kClasses[] = L"Software\\Classes\\";

}  // namespace

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* object) {
  if (!IsEqualCLSID(classId, kClassId)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  auto factory = std::make_unique<TClassFactory>();
  const HRESULT status = factory->QueryInterface(iid, object);
  factory.release()->Release();
  return status;
}

// The module stays loaded while the process lives: counting its objects would take state of the
// whole module.
STDAPI DllCanUnloadNow() {
  return S_FALSE;
}

STDAPI DllRegisterServer() {
  const std::wstring classKey = std::wstring(kClasses) + L"CLSID\\" + kClassIdText;
  const std::wstring progIdKey = std::wstring(kClasses) + kProgId;
  const std::wstring path = ModulePath();
  const bool written =
      TKey(HKEY_LOCAL_MACHINE, classKey).Set(nullptr, kDescription) &&
      TKey(HKEY_LOCAL_MACHINE, classKey + L"\\InprocServer32").Set(nullptr, path) &&
      TKey(HKEY_LOCAL_MACHINE, classKey + L"\\InprocServer32")
          .Set(L"ThreadingModel", L"Apartment") &&
      TKey(HKEY_LOCAL_MACHINE, classKey + L"\\ProgID").Set(nullptr, kProgId) &&
      TKey(HKEY_LOCAL_MACHINE, progIdKey).Set(nullptr, kDescription) &&
      TKey(HKEY_LOCAL_MACHINE, progIdKey + L"\\CLSID").Set(nullptr, kClassIdText);
  return written ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  const std::wstring classKey = std::wstring(kClasses) + L"CLSID\\" + kClassIdText;
  const std::wstring progIdKey = std::wstring(kClasses) + kProgId;
  const LONG classDeleted = RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey.c_str());
  const LONG progIdDeleted = RegDeleteTreeW(HKEY_LOCAL_MACHINE, progIdKey.c_str());
  const auto gone = [](LONG status) {
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  };
  return gone(classDeleted) && gone(progIdDeleted) ? S_OK : SELFREG_E_CLASS;
}
