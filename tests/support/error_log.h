// Captures what the library prints through its log for the length of a test: the error stream
// alone (with its level on), or, with `all`, both streams as they are set up by the test.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "libcomm.h"

class ErrorLog {
  public:
    explicit ErrorLog(bool all = false) : all_(all) {
        log_reset();
        if (!all) log_seterror(0, 1, 0, 0, "");
        log_set_sink(sink, this);
    }
    ~ErrorLog() {
        log_set_sink(nullptr, nullptr);
        log_reset();
    }
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    // The texts printed so far.
    std::string text() {
        std::lock_guard<std::mutex> guard(lock_);
        std::string out;
        for (auto& piece : pieces_) out += piece.second;
        return out;
    }
    // What was printed since the last take(), each piece as its stream's letter ('o' standard
    // output, 'e' standard error) and its text in brackets.
    std::string take() {
        std::lock_guard<std::mutex> guard(lock_);
        std::string out;
        for (auto& [stream, text] : pieces_) out += std::string(1, stream) + "[" + text + "]";
        pieces_.clear();
        return out;
    }

  private:
    static void sink(int is_error, const char* text, size_t length, void* user) {
        auto self = static_cast<ErrorLog*>(user);
        if (!is_error && !self->all_) return;
        std::lock_guard<std::mutex> guard(self->lock_);
        self->pieces_.push_back({is_error ? 'e' : 'o', std::string(text, length)});
    }
    const bool all_;
    std::mutex lock_;
    std::vector<std::pair<char, std::string>> pieces_;
};
