#pragma once

// What the headless panels answer, queued by tests, and how each panel was set up when it ran.

#include <optional>
#include <string>
#include <vector>

namespace AppKitPlatform {

struct PanelAnswer
{
    enum Kind
    {
        OK,
        OKWithoutURL,
        Cancel,
        Exception,
    };
    Kind fKind;
    // The chosen path for OK; the exception's name and reason.
    std::string fPath{};
    std::string fExceptionName{};
    std::string fExceptionReason{};
};

struct PanelRecord
{
    std::string fKind;
    bool fCanChooseDirectories = false;
    bool fAllowsMultipleSelection = false;
    std::vector<std::string> fAllowedFileTypes;
    std::optional<std::string> fDirectoryPath;
};

void queueAnswer(PanelAnswer answer);
// The oldest queued answer, recording the panel; ends the process naming the panel when none is
// queued.
PanelAnswer takeAnswer(PanelRecord record);
std::vector<PanelRecord> records();
void reset();

} // namespace AppKitPlatform
