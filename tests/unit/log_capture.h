// Captures what the driver hands to the host's logging function, through the
// stand-in host library, for the lifetime of the object.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "host/kelpra.h"

class LogCapture {
  public:
    struct Entry {
        int32_t category;
        std::string format;
        std::string message;
    };

    LogCapture() {
        kelpra_set_echo(0);
        kelpra_set_sink(&LogCapture::Record, this);
    }
    ~LogCapture() {
        kelpra_set_sink(nullptr, nullptr);
        kelpra_set_echo(1);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<Entry> &entries() const { return entries_; }

    std::vector<std::string> formats() const {
        std::vector<std::string> result;
        for (const Entry &entry : entries_) {
            result.push_back(entry.format);
        }
        return result;
    }

    void Clear() { entries_.clear(); }

  private:
    static void Record(void *context, int32_t category, const char *format, const char *message) {
        static_cast<LogCapture *>(context)->entries_.push_back({category, format, message});
    }

    std::vector<Entry> entries_;
};
