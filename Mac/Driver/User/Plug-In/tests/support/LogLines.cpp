#include "LogLines.h"

#include "Log.h"

#include <cstdlib>
#include <unistd.h>

namespace PlugInTesting {

namespace {

// Appends always go to the end, so lines written while a test reads land whole.
FILE* OpenScratchFile()
{
    char path[] = "/tmp/PlugInLogXXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    return fdopen(fd, "a+");
}

} // namespace

LogLines::LogLines() : fFile(OpenScratchFile())
{
    Log::details::gUseSyslog = false;
    Log::details::gFile = fFile;
}

LogLines::~LogLines()
{
    Log::details::gFile = nullptr;
    std::fclose(fFile);
}

std::string LogLines::text() const
{
    std::fflush(fFile);
    // pread leaves the stream's position alone while other threads go on logging.
    std::string text;
    char buffer[4096];
    for (ssize_t read = 0; (read = pread(fileno(fFile), buffer, sizeof(buffer), off_t(text.size()))) > 0;) {
        text.append(buffer, size_t(read));
    }
    return text;
}

int LogLines::count(const std::string& piece) const
{
    const std::string all = text();
    int found = 0;
    for (size_t at = all.find(piece); at != std::string::npos; at = all.find(piece, at + piece.size())) {
        ++found;
    }
    return found;
}

} // namespace PlugInTesting
