#include "OSLog.h"

#include "LogFormat.h"
#include "LogSink.h"

#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

struct os_log_s
{
    std::string fSubsystem;
    std::string fCategory;
};

os_log_s gOSLogDefault;

namespace {

std::atomic<bool> gDefaultEnabled{true};
std::atomic<bool> gInfoEnabled{false};
std::atomic<bool> gDebugEnabled{false};

const char* nameOf(os_log_type_t type)
{
    switch (type) {
    case OS_LOG_TYPE_INFO:
        return "Info";
    case OS_LOG_TYPE_DEBUG:
        return "Debug";
    case OS_LOG_TYPE_ERROR:
        return "Error";
    case OS_LOG_TYPE_FAULT:
        return "Fault";
    default:
        return "Default";
    }
}

} // namespace

void DarwinLog::setTypeEnabled(os_log_type_t type, bool enabled)
{
    if (type == OS_LOG_TYPE_DEFAULT) {
        gDefaultEnabled.store(enabled, std::memory_order_relaxed);
    } else if (type == OS_LOG_TYPE_INFO) {
        gInfoEnabled.store(enabled, std::memory_order_relaxed);
    } else if (type == OS_LOG_TYPE_DEBUG) {
        gDebugEnabled.store(enabled, std::memory_order_relaxed);
    }
}

os_log_t os_log_create(const char* subsystem, const char* category)
{
    static auto* lock = new std::mutex;
    // Handles live as long as the process, as on the platform.
    static auto* handles = new std::map<std::pair<std::string, std::string>, std::unique_ptr<os_log_s>>;
    std::pair<std::string, std::string> key(subsystem ? subsystem : "", category ? category : "");
    std::lock_guard held(*lock);
    std::unique_ptr<os_log_s>& handle = (*handles)[key];
    if (!handle) {
        handle = std::make_unique<os_log_s>(os_log_s{key.first, key.second});
    }
    return handle.get();
}

bool os_log_type_enabled(os_log_t log, os_log_type_t type)
{
    if (!log) {
        return false;
    }
    switch (type) {
    case OS_LOG_TYPE_DEFAULT:
        return gDefaultEnabled.load(std::memory_order_relaxed);
    case OS_LOG_TYPE_ERROR:
    case OS_LOG_TYPE_FAULT:
        return true;
    case OS_LOG_TYPE_INFO:
        return gInfoEnabled.load(std::memory_order_relaxed);
    case OS_LOG_TYPE_DEBUG:
        return gDebugEnabled.load(std::memory_order_relaxed);
    default:
        return false;
    }
}

void os_log_emit(os_log_t log, os_log_type_t type, const char* format, ...)
{
    if (!format || !os_log_type_enabled(log, type)) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::string text = DarwinLog::formatted(DarwinLog::withoutDecorations(format).c_str(), arguments);
    va_end(arguments);
    bool captured = DarwinLog::capture([&] {
        DarwinLog::Record record{DarwinLog::Source::OSLog, text};
        record.fType = type;
        record.fSubsystem = log->fSubsystem;
        record.fCategory = log->fCategory;
        return record;
    });
    if (captured) {
        return;
    }
    std::string line = std::string(DarwinLog::programName()) + "[" + std::to_string(getpid()) + "] " +
                       nameOf(type) + ": " + text;
    if (line.back() != '\n') {
        line += '\n';
    }
    DarwinLog::writeLine(line);
}
