#include "transport/BaseSupport.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "tools/xsnprintf.h"

namespace BaseSupport {

std::string SectionForRole(const std::string& role) {
    static const std::pair<const char*, const char*> kSections[] = {
        {"Agent Manager", "sensor_services"},
        {"Event Server", "event_services"},
        {"Update Server", "update_services"},
        {"Asset Server", "asset_services"},
        {"Task Server", "task_services"},
        {"Event Subscription Server", "event_subscription_services"},
        {"Event Query Server", "event_query_services"},
    };
    for (const auto& entry : kSections) {
        if (role == entry.first) return entry.second;
    }
    return "";
}

uint32_t ParseDecimal(const char* text) {
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (errno != 0 || value < 0) return 0;
    return value > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

std::string ProcessThreadText() {
    char text[128];
    ovxToolsLib::xsnprintf(text, sizeof text, "ProcessId = %d, ThreadId = %d", static_cast<int>(getpid()),
                           static_cast<int>(syscall(SYS_gettid)));
    return text;
}

}  // namespace BaseSupport
