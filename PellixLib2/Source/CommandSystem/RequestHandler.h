#pragma once

// A link of the command chain: commands travel from the gopher down the successors until a
// handler takes them. Main thread only.

#include "CommandSystem/CommandID.h"

#include <memory>

namespace Pellix {

class ChainOfCommand;
class UndoService;

class RequestHandler
{
public:
    // A handler given itself as successor has none.
    explicit RequestHandler(RequestHandler* successor = nullptr);
    // Hands the gopher's place to the successor when this handler is in the gopher's chain, and
    // links every handler that led here to the successor, so that no walk reaches it afterwards.
    virtual ~RequestHandler();
    RequestHandler(const RequestHandler&) = delete;
    RequestHandler& operator=(const RequestHandler&) = delete;

    virtual void BecomeGopher() {}
    // True consents to giving up the gopher's place.
    virtual bool StopBeingGopher() { return true; }
    virtual std::shared_ptr<UndoService> getUndoService() { return {}; }
    // Whether the handler serves the command now; also enables menu items.
    virtual bool CanHandle(const CommandSpecifier&) { return false; }
    // True when the command is done.
    virtual bool HandleCommand(const CommandSpecifier&) { return false; }

    RequestHandler* GetSuccessor() const { return fSuccessor; }
    void SetSuccessor(RequestHandler* successor);

    // Walks from `start` down the successors; a null start answers false or null. Exceptions from
    // the handlers are reported on standard output and never leave these.
    static bool CanHandle(RequestHandler* start, const CommandSpecifier& command);
    static RequestHandler* handlerForCommand(RequestHandler* start, const CommandSpecifier& command);
    static bool HandleCommand(RequestHandler* start, const CommandSpecifier& command);
    static bool IsInChain(RequestHandler* start, RequestHandler* handler);

private:
    friend class ChainOfCommand;

    RequestHandler* fSuccessor = nullptr;
    // Every live handler, so that a destroyed one can be unlinked from its predecessors.
    RequestHandler* fPreviousLive = nullptr;
    RequestHandler* fNextLive = nullptr;
};

} // namespace Pellix
