// Installer settings of an action, its command line, the uninstall call and the status of installer calls.
#include "MsiUtils.h"

#include "WinErrorHandling.h"
#include "WinSysInfo.h"

namespace msi {

namespace {

constexpr DWORD kAllMessages = 0xFFFFFFFF;
constexpr UINT kMessageTypeMask = 0xFF000000;

// The installer functions, resolved from the system's msi.dll on first use. msi.dll is no known system
// library: imported, it would be looked for beside the executable first, where a download folder may hold a
// planted one.
struct InstallerFunctions {
    InstallerFunctions()
        : library(L"msi.dll"), setInternalUI(library.function<decltype(&MsiSetInternalUI)>("MsiSetInternalUI")),
          enableLog(library.function<decltype(&MsiEnableLogW)>("MsiEnableLogW")),
          setExternalUI(library.function<decltype(&MsiSetExternalUIW)>("MsiSetExternalUIW")),
          configureProductEx(library.function<decltype(&MsiConfigureProductExW)>("MsiConfigureProductExW")) {}

    SysInfo::SystemLibrary library;
    decltype(&MsiSetInternalUI) setInternalUI;
    decltype(&MsiEnableLogW) enableLog;
    decltype(&MsiSetExternalUIW) setExternalUI;
    decltype(&MsiConfigureProductExW) configureProductEx;
};

const InstallerFunctions& installer() {
    static const InstallerFunctions functions;
    return functions;
}

// Verbose installer logging into `logFile` while it lives; none when the path is empty.
class LogSetting {
public:
    explicit LogSetting(const tstring& logFile) {
        if (logFile.empty()) {
            installer().enableLog(0, nullptr, 0);
        } else {
            installer().enableLog(INSTALLLOGMODE_VERBOSE, logFile.c_str(), 0);
        }
    }
    ~LogSetting() {
        const LastErrorPreserver preserveLastError;
        installer().enableLog(0, nullptr, 0);
    }
    LogSetting(const LogSetting&) = delete;
    LogSetting& operator=(const LogSetting&) = delete;
};

// Routes every installer message to an ActionCallback while it lives.
class CallbackTrigger {
public:
    explicit CallbackTrigger(ActionCallback* callback) {
        installer().setExternalUI(adapter, kAllMessages, callback);
    }
    ~CallbackTrigger() {
        const LastErrorPreserver preserveLastError;
        installer().setExternalUI(nullptr, 0, nullptr);
    }
    CallbackTrigger(const CallbackTrigger&) = delete;
    CallbackTrigger& operator=(const CallbackTrigger&) = delete;

private:
    // Returns 0 for every message, so the installer goes on as if no handler had taken it.
    static int WINAPI adapter(void* context, UINT messageCode, LPCWSTR text) {
        if (!context) {
            return 0;
        }
        const UINT messageType = messageCode & kMessageTypeMask;
        const UINT messageFlags = messageCode & ~kMessageTypeMask;
        if (!text) {
            return 0;
        }
        runGuarded(KR_HERE, [context, messageType, messageFlags, text] {
            static_cast<ActionCallback*>(context)->onMessage(messageType, messageFlags, text);
        });
        return 0;
    }
};

// Members are set up in declaration order and undone in reverse.
class StateImpl : public ActionData::State {
public:
    explicit StateImpl(const ActionData& data)
        : uiLevel_(data.uiLevel), log_(data.logFile),
          callbackTrigger_(data.callback ? std::make_unique<CallbackTrigger>(data.callback) : nullptr) {}

private:
    UiLevelScope uiLevel_;
    LogSetting log_;
    std::unique_ptr<CallbackTrigger> callbackTrigger_;
};

} // namespace

UiLevelScope::UiLevelScope(int level)
    : previous_(installer().setInternalUI(static_cast<INSTALLUILEVEL>(level), nullptr)) {}

UiLevelScope::~UiLevelScope() {
    const LastErrorPreserver preserveLastError;
    installer().setInternalUI(previous_, nullptr);
}

std::unique_ptr<ActionData::State> ActionData::createState() const { return std::make_unique<StateImpl>(*this); }

tstring ActionData::composeCommandLine() const {
    const tstring blanks = L" \t";
    tstring front = tstrings::trimChars(extraArgs, blanks);
    tstring propertyText;
    for (const auto& [name, value] : properties) {
        propertyText += L" " + name + L"=" + quotePropertyValue(value);
    }
    propertyText = tstrings::trimChars(propertyText, blanks);
    if (!front.empty() && !propertyText.empty()) {
        front += L' ';
    }
    return front + propertyText;
}

tstring quotePropertyValue(const tstring& value) {
    tstring quoted = tstrings::replaceAll(value, L"\"", L"\"\"");
    if (quoted.empty()) {
        quoted = L"\"\"";
    }
    if (quoted.find_first_of(L" \t") != tstring::npos) {
        quoted = L"\"" + quoted + L"\"";
    }
    return quoted;
}

ActionStatus handleMsiStatus(const tstring& description, int code) {
    ActionStatus status;
    status.code = code;
    if (status.isSuccess()) {
        if (code == ERROR_SUCCESS) {
            KR_INFO(description << "succeeded");
        } else {
            KR_INFO(description << "succeeded [" << code << "]");
        }
        return status;
    }
    status.message = (MessageBuilder() << description << "failed [" << code << "]").utf8();
    return status;
}

uninstall::uninstall() { properties[L"REBOOT"] = L"ReallySuppress"; }

ActionStatus uninstall::execute(const tstring& commandLine) const {
    const tstring product = productCode_.toString();
    const int code = static_cast<int>(
        installer().configureProductEx(product.c_str(), INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, commandLine.c_str()));
    const tstring description = MessageBuilder() << "MsiConfigureProductEx(" << product << ", "
                                                 << static_cast<int>(INSTALLLEVEL_MAXIMUM) << ", "
                                                 << static_cast<int>(INSTALLSTATE_ABSENT) << ", " << commandLine
                                                 << ") ";
    return handleMsiStatus(description, code);
}

} // namespace msi
