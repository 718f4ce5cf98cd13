#include <DarwinTesting/LogCapture.h>

#include "LogSink.h"
#include "OSLog.h"

#include <mutex>

namespace DarwinTesting {

struct LogCapture::Collector
{
    mutable std::mutex fLock;
    std::vector<LogRecord> fRecords;
    DarwinLog::CaptureTarget fTarget = [this](LogRecord record) {
        std::lock_guard lock(fLock);
        fRecords.push_back(std::move(record));
    };
    DarwinLog::CaptureTarget* fPrevious = nullptr;
};

LogCapture::LogCapture() : fCollector(std::make_unique<Collector>())
{
    fCollector->fPrevious = DarwinLog::exchangeCapture(&fCollector->fTarget);
}

LogCapture::~LogCapture()
{
    DarwinLog::exchangeCapture(fCollector->fPrevious);
}

std::vector<LogRecord> LogCapture::records() const
{
    std::lock_guard lock(fCollector->fLock);
    return fCollector->fRecords;
}

std::vector<std::string> LogCapture::texts(LogSource source) const
{
    std::vector<std::string> texts;
    for (const LogRecord& record : records()) {
        if (record.fSource == source) {
            texts.push_back(record.fText);
        }
    }
    return texts;
}

void setLogTypeEnabled(os_log_type_t type, bool enabled)
{
    DarwinLog::setTypeEnabled(type, enabled);
}

DefaultLogDisabled::DefaultLogDisabled()
{
    setLogTypeEnabled(OS_LOG_TYPE_DEFAULT, false);
}

DefaultLogDisabled::~DefaultLogDisabled()
{
    setLogTypeEnabled(OS_LOG_TYPE_DEFAULT, true);
}

} // namespace DarwinTesting
