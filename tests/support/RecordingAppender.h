// Test support: a LogAppender that keeps every record, installed on the global Logger for one scope.
#pragma once

#include "Log.h"

#include <vector>

namespace krtest {

struct Record {
    tstring level;
    tstring file;
    int32_t line;
    tstring function;
    tstring message;
};

class RecordingAppender : public LogAppender {
public:
    RecordingAppender() : previous_(Logger::global().setAppender(this)) {}
    ~RecordingAppender() override { Logger::global().setAppender(previous_); }
    RecordingAppender(const RecordingAppender&) = delete;
    RecordingAppender& operator=(const RecordingAppender&) = delete;

    void append(const LogEvent& event) override {
        records.push_back({event.levelName, event.fileName, event.line, event.functionName, event.message});
    }

    // The messages of the records at `level` ("TRACE", "INFO", "WARNING", "ERROR"), in order.
    std::vector<tstring> messages(const tstring& level) const {
        std::vector<tstring> found;
        for (const auto& record : records) {
            if (record.level == level) {
                found.push_back(record.message);
            }
        }
        return found;
    }

    std::vector<Record> records;

private:
    LogAppender* previous_;
};

} // namespace krtest
