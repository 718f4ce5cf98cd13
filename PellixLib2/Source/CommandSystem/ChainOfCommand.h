#pragma once

// The process-wide holder of the gopher, the head of the command chain, and the entry point for
// dispatching commands along it. Main thread only.

#include "CommandSystem/RequestHandler.h"

namespace Pellix {

class ChainOfCommand
{
public:
    // Made on first use, never destroyed.
    static ChainOfCommand& Instance();

    // The current gopher keeps its place when it refuses to stop: false. Asking for the current
    // gopher answers true and asks nobody.
    bool SetGopher(RequestHandler* handler);
    RequestHandler* GetGopher() const { return fGopher; }

    // The walks of RequestHandler from the gopher; false or null without one.
    bool DispatchCommand(const CommandSpecifier& command);
    bool CanHandle(const CommandSpecifier& command);
    RequestHandler* handlerForCommand(const CommandSpecifier& command);
    bool IsInChain(RequestHandler* handler);

    virtual ~ChainOfCommand() = default;

private:
    friend class RequestHandler;

    ChainOfCommand() = default;

    void Register(RequestHandler* handler);
    // Unlinks a handler being destroyed from the chain and from every handler that led to it.
    void Unregister(RequestHandler* handler);

    RequestHandler* fGopher = nullptr;
    RequestHandler* fFirstLive = nullptr;
};

} // namespace Pellix
