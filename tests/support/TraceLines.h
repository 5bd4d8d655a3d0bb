// The one trace collector of the tests: a sink that keeps every line the
// library writes to it, with its level, context and place, and the questions
// the tests ask of them.
#ifndef OVX_TESTS_SUPPORT_TRACELINES_H
#define OVX_TESTS_SUPPORT_TRACELINES_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ovxSensorSvcs.h"

namespace ovxTest {

struct TraceLine {
    uint32_t context, level;
    std::string text, where;
};

// A sink's context is a 32-bit word, too small to point at a collector, so
// a test program has one, reached through static members. The library
// writes from its own threads: every member takes the lock.
class TraceLines {
public:
    // A sink that writes here the levels of `mask`, with `context` passed back.
    static SS_TraceSink Sink(uint32_t mask = 0xFFFFFFFFu, uint32_t context = 0) { return {context, mask, &Write}; }
    static void Forget() {
        std::lock_guard<std::mutex> hold(s_lock);
        s_lines.clear();
    }
    static std::vector<TraceLine> All() {
        std::lock_guard<std::mutex> hold(s_lock);
        return s_lines;
    }
    // Lines containing `text`.
    static size_t Count(const std::string& text) {
        return CountIf([&](const TraceLine& line) { return line.text.find(text) != std::string::npos; });
    }
    // Lines containing `text` written at `level`.
    static size_t CountAtLevel(uint32_t level, const std::string& text) {
        return CountIf(
            [&](const TraceLine& line) { return line.level == level && line.text.find(text) != std::string::npos; });
    }
    // Lines exactly `text` written with exactly `where`.
    static size_t CountAt(const std::string& where, const std::string& text) {
        return CountIf([&](const TraceLine& line) { return line.text == text && line.where == where; });
    }
    // Lines that begin with `prefix`.
    static size_t CountStartingWith(const std::string& prefix) {
        return CountIf([&](const TraceLine& line) { return line.text.compare(0, prefix.size(), prefix) == 0; });
    }
    // The last line's text, empty when there is none: context for a failure.
    static std::string Last() {
        std::lock_guard<std::mutex> hold(s_lock);
        return s_lines.empty() ? std::string() : s_lines.back().text;
    }
    // Every line on stdout, for the report of a failed test.
    static void Print() {
        for (const TraceLine& line : All()) std::printf("trace: %s\n", line.text.c_str());
    }

private:
    static uint32_t Write(uint32_t context, uint32_t level, const char* text, const char* where) {
        std::lock_guard<std::mutex> hold(s_lock);
        s_lines.push_back({context, level, text != nullptr ? text : "(no text)", where != nullptr ? where : ""});
        return 0;
    }
    template <typename Match>
    static size_t CountIf(Match match) {
        std::lock_guard<std::mutex> hold(s_lock);
        size_t n = 0;
        for (const TraceLine& line : s_lines) n += match(line);
        return n;
    }
    static inline std::mutex s_lock;
    static inline std::vector<TraceLine> s_lines;
};

}  // namespace ovxTest

#endif  // OVX_TESTS_SUPPORT_TRACELINES_H
