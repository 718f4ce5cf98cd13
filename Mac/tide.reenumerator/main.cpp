#include "Log.h"
#include "Server.h"
#include "Signals.h"

#include <cstdio>

int main(int, char**)
{
    Log::UseSyslog(Server::kMachServiceName);
    Log::SetLevel(Log::All);
    // Before XPC starts a thread, so that every thread leaves the signals to the waiter; after the
    // log is set up, which the waiter reads.
    InstallSignalHandling();
    TIDE_LOG(Log::Info, "%s", "int main(int, char **)");
    std::printf("%s\n", "int main(int, char **)");
    std::fflush(stdout);
    Server::Main();
    return 0;
}
