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

    // Every message, in order.
    std::vector<tstring> messages() const {
        std::vector<tstring> found;
        for (const auto& record : records) {
            found.push_back(record.message);
        }
        return found;
    }

    // Position of the first record with exactly this message, or -1.
    int indexOf(const tstring& message) const {
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].message == message) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    bool mentions(const tstring& text) const {
        for (const auto& record : records) {
            if (record.message.find(text) != tstring::npos) {
                return true;
            }
        }
        return false;
    }

    std::vector<Record> records;

private:
    LogAppender* previous_;
};

} // namespace krtest
