// Product actions run through the Windows Installer programming interface, with their outcome as a status.
#pragma once

#include "ErrorHandling.h"
#include "Guid.h"
#include "Log.h"
#include "tstrings.h"

#include <windows.h>
#include <msi.h>

#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace msi {

// Receives the installer's messages during an action.
class ActionCallback {
public:
    virtual ~ActionCallback() = default;
    // `messageType` is the top 8 bits of the installer's message code, left in place (an INSTALLMESSAGE);
    // `messageFlags` the remaining 24 bits.
    virtual void onMessage(UINT messageType, UINT messageFlags, const tstring& text) = 0;
};

// The outcome of one action: the installer's code, and on failure a text naming the call and the code.
struct ActionStatus {
    std::string message; // UTF-8; empty on success
    int code = ERROR_SUCCESS;

    bool isSuccess() const {
        return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_INITIATED ||
               code == ERROR_SUCCESS_REBOOT_REQUIRED;
    }
};

// Sets the installer's internal user-interface level and restores the previous one on destruction.
class UiLevelScope {
public:
    explicit UiLevelScope(int level);
    ~UiLevelScope();
    UiLevelScope(const UiLevelScope&) = delete;
    UiLevelScope& operator=(const UiLevelScope&) = delete;

private:
    INSTALLUILEVEL previous_;
};

// Settings common to every action.
class ActionData {
public:
    // The installer settings of an action, in force while it lives.
    class State {
    public:
        virtual ~State() = default;
        State(const State&) = delete;
        State& operator=(const State&) = delete;

    protected:
        State() = default;
    };

    std::unique_ptr<State> createState() const;

    // extraArgs, then every property as NAME=value in ascending name order, separated by single blanks.
    tstring composeCommandLine() const;

    std::map<tstring, tstring> properties; // passed on the command line
    tstring extraArgs;                     // command-line text placed before the properties
    int uiLevel = INSTALLUILEVEL_NONE;     // internal user-interface level during the action
    ActionCallback* callback = nullptr;    // not owned; no external user interface when null
    tstring logFile;                       // verbose installer log; empty means logging off
};

// A value as the installer's command line reads it: quotes doubled, quoted if empty or holding a blank or tab.
tstring quotePropertyValue(const tstring& value);

// The status of an installer call described by `description`; a success is logged at INFO.
ActionStatus handleMsiStatus(const tstring& description, int code);

// Runs the concrete action T, which derives from action<T> and supplies
// `ActionStatus execute(const tstring& commandLine) const`, with the settings in force.
template <class T>
class action : public ActionData {
public:
    // Never raises: an installer failure comes back as its code, an error inside the action as 1359.
    ActionStatus operator()(const std::nothrow_t&) const noexcept;
};

template <class T>
ActionStatus action<T>::operator()(const std::nothrow_t&) const noexcept {
    // The guard is written out rather than taken from runGuarded so that the failure record and the
    // error reports all carry this operator's location.
    try {
        try {
            const std::unique_ptr<State> state = createState();
            ActionStatus status = static_cast<const T&>(*this).execute(composeCommandLine());
            if (!status.isSuccess()) {
                KR_ERROR(status.message);
            }
            return status;
        } catch (const std::runtime_error& error) {
            logCaughtError(KR_HERE, error);
        } catch (...) {
            logUnknownError(KR_HERE);
        }
    } catch (...) {
        // The report itself failed (out of memory while logging); the status still tells the caller.
    }
    return ActionStatus{"Unknown error", ERROR_INTERNAL_ERROR};
}

// Removes a product, silently unless uiLevel says otherwise, with every restart suppressed.
class uninstall : public action<uninstall> {
public:
    uninstall();

    uninstall& productCode(const Guid& code) {
        productCode_ = code;
        return *this;
    }

private:
    friend class action<uninstall>;
    ActionStatus execute(const tstring& commandLine) const;

    Guid productCode_;
};

} // namespace msi
