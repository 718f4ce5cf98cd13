#include "CommandSystem/ChainOfCommand.h"

namespace Pellix {

ChainOfCommand& ChainOfCommand::Instance()
{
    static ChainOfCommand* const instance = new ChainOfCommand;
    return *instance;
}

bool ChainOfCommand::SetGopher(RequestHandler* handler)
{
    if (handler == fGopher) {
        return true;
    }
    if (fGopher != nullptr && !fGopher->StopBeingGopher()) {
        return false;
    }
    fGopher = handler;
    if (handler != nullptr) {
        handler->BecomeGopher();
    }
    return true;
}

bool ChainOfCommand::DispatchCommand(const CommandSpecifier& command)
{
    return RequestHandler::HandleCommand(fGopher, command);
}

bool ChainOfCommand::CanHandle(const CommandSpecifier& command)
{
    return RequestHandler::CanHandle(fGopher, command);
}

RequestHandler* ChainOfCommand::handlerForCommand(const CommandSpecifier& command)
{
    return RequestHandler::handlerForCommand(fGopher, command);
}

bool ChainOfCommand::IsInChain(RequestHandler* handler)
{
    return RequestHandler::IsInChain(fGopher, handler);
}

void ChainOfCommand::Register(RequestHandler* handler)
{
    handler->fNextLive = fFirstLive;
    if (fFirstLive != nullptr) {
        fFirstLive->fPreviousLive = handler;
    }
    fFirstLive = handler;
}

void ChainOfCommand::Unregister(RequestHandler* handler)
{
    if (IsInChain(handler)) {
        SetGopher(handler->fSuccessor);
    }
    // A gopher that refused to stop may still lead here, and so may handlers outside its chain.
    for (RequestHandler* live = fFirstLive; live != nullptr; live = live->fNextLive) {
        if (live->fSuccessor == handler) {
            live->fSuccessor = handler->fSuccessor;
        }
    }
    if (handler->fPreviousLive != nullptr) {
        handler->fPreviousLive->fNextLive = handler->fNextLive;
    } else {
        fFirstLive = handler->fNextLive;
    }
    if (handler->fNextLive != nullptr) {
        handler->fNextLive->fPreviousLive = handler->fPreviousLive;
    }
}

} // namespace Pellix
