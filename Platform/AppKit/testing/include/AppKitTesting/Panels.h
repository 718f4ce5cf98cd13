#pragma once

// Test seam of the open and save panels: the answers they give, in order, and how each panel that
// ran was set up. A panel run with no answer queued ends the process, naming the panel.

#include <optional>
#include <string>
#include <vector>

namespace AppKitTesting {

void answerOK(const std::string& path);
void answerOKWithoutURL();
void answerCancel();
// The panel raises a framework exception.
void answerException(const std::string& name, const std::string& reason);

struct Panel
{
    std::string fKind; // "NSOpenPanel" or "NSSavePanel"
    bool fCanChooseDirectories = false;
    bool fAllowsMultipleSelection = false;
    std::vector<std::string> fAllowedFileTypes;
    std::optional<std::string> fDirectoryPath;
};

// The panels run so far, oldest first.
std::vector<Panel> panelsRun();
// Forgets queued answers and panels run.
void resetPanels();

} // namespace AppKitTesting
