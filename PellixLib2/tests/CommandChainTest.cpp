#include "CommandSystem/ChainOfCommand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using Pellix::ChainOfCommand;
using Pellix::CommandSpecifier;
using Pellix::RequestHandler;
using testing::_;
using testing::NiceMock;
using testing::Return;
using testing::Throw;

class MockHandler : public RequestHandler
{
public:
    explicit MockHandler(RequestHandler* successor = nullptr) : RequestHandler(successor)
    {
        ON_CALL(*this, StopBeingGopher()).WillByDefault(Return(true));
    }
    MOCK_METHOD(void, BecomeGopher, (), (override));
    MOCK_METHOD(bool, StopBeingGopher, (), (override));
    MOCK_METHOD(bool, CanHandle, (const CommandSpecifier&), (override));
    MOCK_METHOD(bool, HandleCommand, (const CommandSpecifier&), (override));
};

using Handler = NiceMock<MockHandler>;

const CommandSpecifier kCommand(0x0001, 0x0005);

ChainOfCommand& chain()
{
    return ChainOfCommand::Instance();
}

template <typename Action>
std::string printedBy(Action action)
{
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class CommandChainTest : public testing::Test
{
protected:
    // Every handler is gone by now, and with it the gopher.
    void TearDown() override { EXPECT_EQ(chain().GetGopher(), nullptr); }
};

TEST_F(CommandChainTest, WithoutAGopherNothingIsHandled)
{
    Handler handler;
    ON_CALL(handler, CanHandle(_)).WillByDefault(Return(true));
    EXPECT_FALSE(chain().DispatchCommand(kCommand));
    EXPECT_FALSE(chain().CanHandle(kCommand));
    EXPECT_EQ(chain().handlerForCommand(kCommand), nullptr);
    EXPECT_FALSE(chain().IsInChain(&handler));
}

TEST_F(CommandChainTest, ACommandTravelsDownUntilAHandlerDoesIt)
{
    Handler last;
    Handler declining(&last);
    Handler first(&declining);
    ON_CALL(declining, CanHandle(kCommand)).WillByDefault(Return(true));
    ON_CALL(last, CanHandle(kCommand)).WillByDefault(Return(true));
    EXPECT_CALL(declining, HandleCommand(kCommand)).WillOnce(Return(false));
    EXPECT_CALL(last, HandleCommand(kCommand)).WillOnce(Return(true));
    EXPECT_CALL(first, HandleCommand(_)).Times(0);
    ASSERT_TRUE(chain().SetGopher(&first));

    EXPECT_TRUE(chain().DispatchCommand(kCommand));
    EXPECT_TRUE(chain().CanHandle(kCommand));
    EXPECT_EQ(chain().handlerForCommand(kCommand), &declining);
    EXPECT_FALSE(chain().CanHandle(CommandSpecifier(7)));
    EXPECT_FALSE(chain().DispatchCommand(CommandSpecifier(7)));
    EXPECT_TRUE(chain().IsInChain(&last));
    EXPECT_FALSE(RequestHandler::IsInChain(&declining, &first));
    EXPECT_FALSE(RequestHandler::CanHandle(nullptr, kCommand));
    chain().SetGopher(nullptr);
}

TEST_F(CommandChainTest, SetGopherAsksTheOldGopherAndTellsTheNewOne)
{
    Handler old;
    Handler next;
    EXPECT_CALL(old, BecomeGopher()).Times(1);
    ASSERT_TRUE(chain().SetGopher(&old));

    // The current gopher again: nobody is asked or told.
    EXPECT_CALL(old, StopBeingGopher()).Times(0);
    EXPECT_TRUE(chain().SetGopher(&old));
    testing::Mock::VerifyAndClearExpectations(&old);

    EXPECT_CALL(old, StopBeingGopher()).WillOnce(Return(false));
    EXPECT_CALL(next, BecomeGopher()).Times(0);
    EXPECT_FALSE(chain().SetGopher(&next));
    EXPECT_EQ(chain().GetGopher(), &old);
    testing::Mock::VerifyAndClearExpectations(&next);

    EXPECT_CALL(old, StopBeingGopher()).WillOnce(Return(true));
    EXPECT_CALL(next, BecomeGopher()).Times(1);
    EXPECT_TRUE(chain().SetGopher(&next));
    EXPECT_EQ(chain().GetGopher(), &next);

    EXPECT_CALL(next, StopBeingGopher()).WillOnce(Return(true));
    EXPECT_TRUE(chain().SetGopher(nullptr));
    EXPECT_EQ(chain().GetGopher(), nullptr);
}

TEST_F(CommandChainTest, AHandlerIsNeverItsOwnSuccessor)
{
    Handler other;
    RequestHandler selfLinked(&selfLinked);
    EXPECT_EQ(selfLinked.GetSuccessor(), nullptr);
    selfLinked.SetSuccessor(&other);
    EXPECT_EQ(selfLinked.GetSuccessor(), &other);
    selfLinked.SetSuccessor(&selfLinked);
    EXPECT_EQ(selfLinked.GetSuccessor(), nullptr);
}

struct ExceptionCase
{
    const char* name;
    bool throwFromHandleCommand;
    std::function<bool(RequestHandler*)> walk;
    bool outcome;
    const char* printed;
};

TEST_F(CommandChainTest, ExceptionsFromHandlersStayInsideTheWalks)
{
    const ExceptionCase cases[] = {
        {"CanHandle goes on", false,
         [](RequestHandler* start) { return RequestHandler::CanHandle(start, kCommand); }, true,
         "A RequestHandler allowed an exception to escape from CanHandle"},
        {"handlerForCommand gives null", false,
         [](RequestHandler* start) { return RequestHandler::handlerForCommand(start, kCommand) != nullptr; },
         false, "Caught exception while dispatching RequestHandler::handlerForCommand "},
        {"HandleCommand from CanHandle counts as done", false,
         [](RequestHandler* start) { return RequestHandler::HandleCommand(start, kCommand); }, true,
         "Caught exception while dispatching RequestHandler::HandleCommand "},
        {"HandleCommand from HandleCommand counts as done", true,
         [](RequestHandler* start) { return RequestHandler::HandleCommand(start, kCommand); }, true,
         "Caught exception while dispatching RequestHandler::HandleCommand "},
    };
    for (const ExceptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        Handler willing;
        Handler throwing(&willing);
        ON_CALL(willing, CanHandle(_)).WillByDefault(Return(true));
        ON_CALL(willing, HandleCommand(_)).WillByDefault(Return(false));
        if (c.throwFromHandleCommand) {
            ON_CALL(throwing, CanHandle(_)).WillByDefault(Return(true));
            ON_CALL(throwing, HandleCommand(_)).WillByDefault(Throw(std::runtime_error("handler failed")));
        } else {
            ON_CALL(throwing, CanHandle(_)).WillByDefault(Throw(std::runtime_error("handler failed")));
        }
        bool outcome = !c.outcome;
        EXPECT_EQ(printedBy([&] { outcome = c.walk(&throwing); }), c.printed);
        EXPECT_EQ(outcome, c.outcome);
    }
}

TEST_F(CommandChainTest, DestroyingTheGopherMakesItsSuccessorTheGopher)
{
    Handler successor;
    auto gopher = std::make_unique<Handler>(&successor);
    ASSERT_TRUE(chain().SetGopher(gopher.get()));
    EXPECT_CALL(successor, BecomeGopher()).Times(1);
    gopher.reset();
    EXPECT_EQ(chain().GetGopher(), &successor);
    chain().SetGopher(nullptr);
}

TEST_F(CommandChainTest, NoWalkReachesADestroyedHandler)
{
    Handler last;
    auto middle = std::make_unique<Handler>(&last);
    Handler gopher(middle.get());
    Handler outsideEnd;
    auto outsideMiddle = std::make_unique<Handler>(&outsideEnd);
    Handler outsideStart(outsideMiddle.get());
    ON_CALL(last, CanHandle(kCommand)).WillByDefault(Return(true));
    ON_CALL(last, HandleCommand(kCommand)).WillByDefault(Return(true));
    ON_CALL(outsideEnd, CanHandle(kCommand)).WillByDefault(Return(true));
    ASSERT_TRUE(chain().SetGopher(&gopher));

    // The gopher refuses to make way for the middle handler's successor.
    EXPECT_CALL(gopher, StopBeingGopher()).WillOnce(Return(false));
    middle.reset();
    outsideMiddle.reset();

    EXPECT_EQ(chain().GetGopher(), &gopher);
    EXPECT_EQ(gopher.GetSuccessor(), &last);
    EXPECT_TRUE(chain().DispatchCommand(kCommand));
    EXPECT_EQ(outsideStart.GetSuccessor(), &outsideEnd);
    EXPECT_EQ(RequestHandler::handlerForCommand(&outsideStart, kCommand), &outsideEnd);
    EXPECT_CALL(gopher, StopBeingGopher()).WillOnce(Return(true));
    chain().SetGopher(nullptr);
}

} // namespace
