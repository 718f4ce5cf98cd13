#include "Log.h"
#include "Server.h"
#include "Signals.h"

#include <cstdio>

int main(int, char**)
{
    // Before Log or XPC can start a thread, so that every thread leaves the signals to the waiter.
    InstallSignalHandling();
    Log::UseSyslog(Server::kMachServiceName);
    Log::SetLevel(Log::All);
    TIDE_LOG(Log::Info, "%s", "int main(int, char **)");
    std::printf("%s\n", "int main(int, char **)");
    std::fflush(stdout);
    Server::Main();
    return 0;
}
