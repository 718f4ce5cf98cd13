#pragma once

// The modal open panel, a save panel that chooses existing items.

#include <AppKit/NSSavePanel.h>

namespace NS {

class OpenPanel : public SavePanel
{
public:
    static OpenPanel* openPanel();

    void setCanChooseDirectories(bool can) { fCanChooseDirectories = can; }
    void setCanChooseFiles(bool can) { fCanChooseFiles = can; }
    void setAllowsMultipleSelection(bool allows) { fAllowsMultipleSelection = allows; }

private:
    OpenPanel() : SavePanel("NSOpenPanel") {}
};

} // namespace NS
