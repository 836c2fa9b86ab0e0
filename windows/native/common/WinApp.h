// Windows layer of the launch frame: the debug console and the message box that shows the last error.
#pragma once

#include "app.h"

#include <cstdio>
#include <memory>
#include <new>

namespace app {

// Opens the debug console when KESTREL_DEBUG is "true", then runs app::launch with the standard-error and
// message-box last-error appenders; without the box on a window station nobody can see. 0 when the routine
// returned, 1 when it failed.
int wlaunch(const std::nothrow_t&, const MainRoutine& mainRoutine) noexcept;

} // namespace app

// One standard stream reopened on the console ("CONIN$" for standard input, "CONOUT$" otherwise); closed
// when the channel goes away.
class Channel {
public:
    explicit Channel(FILE* stream);
    virtual ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

private:
    FILE* reopened_;
};

// The parent's console, or a new one, with standard output and standard error reopened on it. The console
// itself stays attached after the channels close.
class Console {
public:
    Console();

private:
    std::unique_ptr<Channel> out_;
    std::unique_ptr<Channel> err_;
};

// Shows app::lastErrorMsg() in a modal error box titled with the executable's file name. A record that arrives
// while the box is being shown (the report of its own failure comes back through the Logger) is ignored.
class LastErrorGuiLogAppender : public LogAppender {
public:
    void append(const LogEvent& event) override;

private:
    bool appending_ = false;
};
