#pragma once

// Worker threads that must end before the process's exit handlers tear down what they use (libcurl and
// OpenSSL above all). The first registration installs one exit handler; exit handlers run in reverse
// order, so it runs before the clean-ups of everything set up before that registration, and it stops
// and joins every worker still registered.

namespace NSPlatform {

class StoppedAtExit
{
public:
    // Ends the worker and joins its thread; called once, at exit, at most.
    virtual void stopForExit() = 0;

protected:
    ~StoppedAtExit() = default;
};

void stopAtExit(StoppedAtExit& worker);
// Once it returns, the exit handler no longer reaches the worker, nor is it in the middle of stopping it.
void noLongerStopAtExit(StoppedAtExit& worker);

} // namespace NSPlatform
