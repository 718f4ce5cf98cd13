#include "CommandSystem/RequestHandler.h"

#include "CommandSystem/ChainOfCommand.h"

#include <cstdio>

namespace Pellix {

namespace {

void report(const char* message)
{
    std::fputs(message, stdout);
    std::fflush(stdout);
}

} // namespace

RequestHandler::RequestHandler(RequestHandler* successor)
{
    SetSuccessor(successor);
    ChainOfCommand::Instance().Register(this);
}

RequestHandler::~RequestHandler()
{
    ChainOfCommand::Instance().Unregister(this);
}

void RequestHandler::SetSuccessor(RequestHandler* successor)
{
    fSuccessor = successor == this ? nullptr : successor;
}

bool RequestHandler::CanHandle(RequestHandler* start, const CommandSpecifier& command)
{
    for (RequestHandler* handler = start; handler != nullptr; handler = handler->fSuccessor) {
        try {
            if (handler->CanHandle(command)) {
                return true;
            }
        } catch (...) {
            report("A RequestHandler allowed an exception to escape from CanHandle");
        }
    }
    return false;
}

RequestHandler* RequestHandler::handlerForCommand(RequestHandler* start, const CommandSpecifier& command)
{
    try {
        for (RequestHandler* handler = start; handler != nullptr; handler = handler->fSuccessor) {
            if (handler->CanHandle(command)) {
                return handler;
            }
        }
    } catch (...) {
        report("Caught exception while dispatching RequestHandler::handlerForCommand ");
    }
    return nullptr;
}

bool RequestHandler::HandleCommand(RequestHandler* start, const CommandSpecifier& command)
{
    try {
        for (RequestHandler* handler = start; handler != nullptr; handler = handler->fSuccessor) {
            if (handler->CanHandle(command) && handler->HandleCommand(command)) {
                return true;
            }
        }
    } catch (...) {
        report("Caught exception while dispatching RequestHandler::HandleCommand ");
        return true;
    }
    return false;
}

bool RequestHandler::IsInChain(RequestHandler* start, RequestHandler* handler)
{
    for (RequestHandler* link = start; link != nullptr; link = link->fSuccessor) {
        if (link == handler) {
            return true;
        }
    }
    return false;
}

} // namespace Pellix
