#include "TestText.h"

#include "Basics/Failure.h"

#include <DarwinTesting/LogCapture.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using Pellix::VorkError;
using testing::_;
using testing::ElementsAre;
using testing::Return;

std::string text(const VorkError::ShortText& field)
{
    return field.data();
}

std::string message(const VorkError& error)
{
    return error.GetOptionalErrorString().data();
}

struct Fields
{
    std::string kind;
    std::string system;
    std::string subsystem;
    int code;
    std::string message;
    bool attached;
};

void expectFields(const VorkError& error, const Fields& expected)
{
    EXPECT_EQ(text(error.GetKind()), expected.kind);
    EXPECT_EQ(text(error.GetSystem()), expected.system);
    EXPECT_EQ(text(error.GetSubsystem()), expected.subsystem);
    EXPECT_EQ(error.GetErrorCode(), expected.code);
    EXPECT_EQ(message(error), expected.message);
    EXPECT_EQ(error.GetAttachment().has_value(), expected.attached);
}

TEST(VorkErrorTest, Constructors)
{
    const std::optional<UString> note = U(u"note");
    const struct
    {
        VorkError error;
        Fields fields;
    } cases[] = {
        {VorkError(), {"OS", "", "", 0, "", false}},
        {VorkError(-43), {"OS", "", "", -43, "", false}},
        {VorkError(-50, "file.cpp", 12), {"OS", "", "", -50, "file.cpp 12", false}},
        {VorkError("K", "S", "Sub", 7, "msg", note), {"K", "S", "Sub", 7, "msg", true}},
        {VorkError("K", "S", "Sub", 7, "at", -3, std::nullopt), {"K", "S", "Sub", 7, "at -3", false}},
    };
    for (const auto& c : cases) {
        expectFields(c.error, c.fields);
    }
    EXPECT_EQ(VorkError("K", "S", "Sub", 7, "msg", note).GetAttachment(), note);
}

TEST(VorkErrorTest, TextsAreCutToTheirFields)
{
    const std::string long_message(300, 'm');
    const std::string long_kind(70, 'k');
    const VorkError error(long_kind.c_str(), long_kind.c_str(), long_kind.c_str(), 1, long_message.c_str(),
                          std::nullopt);
    EXPECT_EQ(message(error), long_message.substr(0, 255));
    EXPECT_EQ(text(error.GetKind()), long_kind.substr(0, 63));
    EXPECT_EQ(text(error.GetSubsystem()), long_kind.substr(0, 63));

    const VorkError formatted(1, long_message.c_str(), 42);
    EXPECT_EQ(message(formatted), long_message.substr(0, 255));
    const VorkError null_texts(nullptr, nullptr, nullptr, 2, nullptr, std::nullopt);
    EXPECT_EQ(text(null_texts.GetKind()), "");
    EXPECT_EQ(message(null_texts), "");
}

TEST(VorkErrorTest, MacOSErrorCodes)
{
    EXPECT_EQ(VorkError(-43).GetMacOSErrorCode(), -43);
    EXPECT_EQ(VorkError(0x1FFFF).GetMacOSErrorCode(), -1);
    EXPECT_TRUE(VorkError(-43).IsMacOSError(-43));
    EXPECT_FALSE(VorkError(-43).IsMacOSError(-44));
    EXPECT_EQ(text(VorkError::MacOSKind()), "OS");
    EXPECT_EQ(text(VorkError::UnknownExceptionKind()), "Unknown Exception");
}

TEST(VorkErrorTest, OtherKindsConvertWithALogLine)
{
    const std::pair<int, OSErr> cases[] = {{0, -128}, {65536, 32767}, {-128, 32767}, {70000, 4464}, {-5, -5}};
    for (const auto& [code, converted] : cases) {
        const VorkError error("Windows", "", "", code, "", std::nullopt);
        EXPECT_FALSE(error.IsMacOSError(code));
        LogCapture capture;
        EXPECT_EQ(error.GetMacOSErrorCode(), converted) << code;
        EXPECT_THAT(capture.texts(LogSource::OSLog),
                    ElementsAre("Non-MacOS error converted to mOSErr - information may be lost"));
    }
}

struct FailureCase
{
    const char* name;
    std::function<void()> call;
    bool throws;
    Fields fields;
    bool setsLastError;
};

TEST(VorkErrorTest, FailureFunctions)
{
    const int kUntouched = 12345;
    int object = 0;
    const FailureCase cases[] = {
        {"FailOSErr(0)", [] { Pellix::FailOSErr(0); }, false, {}, false},
        {"FailOSErr(-43)", [] { Pellix::FailOSErr(-43); }, true, {"OS", "", "", -43, "", false}, true},
        {"Failure", [] { Pellix::Failure(-36, 99); }, true, {"OS", "", "", -36, "", false}, true},
        {"FailNIL(null)", [] { Pellix::FailNIL(nullptr); }, true, {"OS", "", "", -108, "", false}, true},
        {"FailNIL(object)", [&] { Pellix::FailNIL(&object); }, false, {}, false},
        {"FailNILRes(null)",
         [] { Pellix::FailNILRes(nullptr); },
         true,
         {"OS", "", "", -192, "", false},
         true},
        {"FailMemFullError", [] { Pellix::FailMemFullError(); }, true, {"OS", "", "", -108, "", false}, true},
        {"do_Failure",
         [] { Pellix::do_Failure(-1, "a.cpp", 3); },
         true,
         {"OS", "", "", -1, "a.cpp 3", false},
         true},
        {"do_FailNILRes",
         [] { Pellix::do_FailNILRes(nullptr, "b.cpp", 4); },
         true,
         {"OS", "", "", -192, "b.cpp 4", false},
         true},
        {"FailWinError(0)", [] { Pellix::FailWinError(0); }, false, {}, false},
        {"FailWinError(5)",
         [] { Pellix::FailWinError(5); },
         true,
         {"Windows", "Windows", "Windows", 5, "", false},
         false},
        {"do_FailWinError",
         [] { Pellix::do_FailWinError(6, "c.cpp", 5); },
         true,
         {"Windows", "Windows", "Windows", 6, "c.cpp 5", false},
         false},
        {"FailCOMError(1)", [] { Pellix::FailCOMError(1); }, false, {}, false},
        {"FailCOMError(-1)",
         [] { Pellix::FailCOMError(-1); },
         true,
         {"COM", "COM", "COM", -1, "", false},
         false},
    };
    for (const auto& c : cases) {
        Pellix::gLastError = kUntouched;
        try {
            c.call();
            EXPECT_FALSE(c.throws) << c.name;
        } catch (const VorkError& error) {
            EXPECT_TRUE(c.throws) << c.name;
            expectFields(error, c.fields);
        }
        EXPECT_EQ(Pellix::gLastError, c.setsLastError ? c.fields.code : kUntouched) << c.name;
    }
}

TEST(VorkErrorTest, CurrentErrorOfAVorkErrorIsACopy)
{
    const VorkError thrown("K", "S", "Sub", 9, "m", U(u"attached"));
    try {
        throw thrown;
    } catch (...) {
        LogCapture capture;
        const VorkError current = VorkError::GetCurrentError(true);
        expectFields(current, {"K", "S", "Sub", 9, "m", true});
        EXPECT_EQ(current.GetAttachment(), U(u"attached"));
        EXPECT_TRUE(capture.texts(LogSource::OSLog).empty());
    }
}

TEST(VorkErrorTest, CurrentErrorOfForeignExceptions)
{
    const struct
    {
        std::function<void()> raise;
        std::string message;
        std::string logLine;
    } cases[] = {
        {[] { throw std::runtime_error("x"); }, "x", "Caught an unexpected std::exception"},
        {[] { throw 42; }, "not a std::exception", "Caught an unexpected unknown exception type"},
    };
    for (const auto& c : cases) {
        for (bool log : {true, false}) {
            try {
                c.raise();
            } catch (...) {
                LogCapture capture;
                expectFields(VorkError::GetCurrentError(log),
                             {"Unknown Exception", "VorkError", "", 1, c.message, false});
                EXPECT_EQ(capture.texts(LogSource::OSLog),
                          log ? std::vector<std::string>{c.logLine} : std::vector<std::string>{});
            }
        }
    }
}

class MockTranslator : public VorkError::CodeTranslator
{
public:
    MOCK_METHOD(bool, CanTranslate, (const VorkError&), (override));
    MOCK_METHOD(bool, Translate, (const VorkError&, UString&, UString&), (override));
};

// Registers translators for one test and removes them again.
class VorkErrorTranslatorTest : public testing::Test
{
protected:
    void add(MockTranslator& translator)
    {
        VorkError::AddTranslator(&translator);
        fAdded.push_back(&translator);
    }

    void TearDown() override
    {
        for (auto* translator : fAdded) {
            VorkError::RemoveTranslator(translator);
        }
        EXPECT_TRUE(VorkError::GetTranslatorList().empty());
    }

    std::vector<MockTranslator*> fAdded;
    MockTranslator fFallback;
    UString fFirst;
    UString fSecond;
};

TEST_F(VorkErrorTranslatorTest, TheNewestIsAskedFirst)
{
    MockTranslator a;
    MockTranslator b;
    add(a);
    add(b);
    testing::InSequence order;
    EXPECT_CALL(b, CanTranslate(_)).WillOnce(Return(false));
    EXPECT_CALL(a, CanTranslate(_)).WillOnce(Return(true));
    EXPECT_CALL(a, Translate(_, _, _)).WillOnce(Return(true));
    EXPECT_TRUE(VorkError(-43).GetErrorDescription(fFallback, fFirst, fSecond));
}

TEST_F(VorkErrorTranslatorTest, AThrowingTranslatorIsSkippedWithOneLine)
{
    MockTranslator a;
    MockTranslator b;
    add(a);
    add(b);
    EXPECT_CALL(b, CanTranslate(_)).WillOnce(Return(true));
    EXPECT_CALL(b, Translate(_, _, _)).WillOnce(testing::Throw(std::runtime_error("broken")));
    EXPECT_CALL(a, CanTranslate(_)).WillOnce(Return(true));
    EXPECT_CALL(a, Translate(_, _, _)).WillOnce(Return(false));
    LogCapture capture;
    EXPECT_FALSE(VorkError(-43).GetErrorDescription(fFallback, fFirst, fSecond));
    EXPECT_THAT(capture.texts(LogSource::OSLog),
                ElementsAre("An exception was thrown while translating this error!"));
}

TEST_F(VorkErrorTranslatorTest, TheFallbackAnswersWhateverItSays)
{
    MockTranslator a;
    add(a);
    EXPECT_CALL(a, CanTranslate(_)).WillRepeatedly(Return(false));
    EXPECT_CALL(fFallback, CanTranslate(_)).WillOnce(Return(false)).WillOnce(Return(false));
    EXPECT_CALL(fFallback, Translate(_, _, _))
        .WillOnce(Return(true))
        .WillOnce(testing::Throw(std::runtime_error("fallback")));
    EXPECT_TRUE(VorkError(-43).GetErrorDescription(fFallback, fFirst, fSecond));
    EXPECT_THROW(VorkError(-43).GetErrorDescription(fFallback, fFirst, fSecond), std::runtime_error);
}

TEST_F(VorkErrorTranslatorTest, RemovingTakesTheFirstOccurrenceOnly)
{
    MockTranslator a;
    add(a);
    VorkError::AddTranslator(&a);
    VorkError::RemoveTranslator(&a);
    EXPECT_EQ(VorkError::GetTranslatorList().size(), 1u);
    MockTranslator absent;
    VorkError::RemoveTranslator(&absent);
    EXPECT_EQ(VorkError::GetTranslatorList().size(), 1u);
}

TEST(VorkErrorTest, EqualityIgnoresTheAttachment)
{
    EXPECT_TRUE(VorkError("K", "S", "Sub", 1, "m", U(u"a")) ==
                VorkError("K", "S", "Sub", 1, "m", std::nullopt));
    EXPECT_FALSE(VorkError("K", "S", "Sub", 1, "m", std::nullopt) ==
                 VorkError("K", "S", "Sub", 2, "m", std::nullopt));
    EXPECT_FALSE(VorkError("K", "S", "Sub", 1, "m", std::nullopt) ==
                 VorkError("K", "S", "Sub", 1, "n", std::nullopt));
    EXPECT_FALSE(VorkError(-1) == VorkError("Windows", "", "", -1, "", std::nullopt));
}

TEST(VorkErrorTest, AThrowInsideTheLibraryIsCaughtByType)
{
    EXPECT_THROW(Pellix::FailMemFullError(), VorkError);
}

} // namespace
