#include <AppKitTesting/Panels.h>

#include "PanelScript.h"

namespace AppKitTesting {

using AppKitPlatform::PanelAnswer;

void answerOK(const std::string& path)
{
    AppKitPlatform::queueAnswer(PanelAnswer{PanelAnswer::OK, path});
}

void answerOKWithoutURL()
{
    AppKitPlatform::queueAnswer(PanelAnswer{PanelAnswer::OKWithoutURL});
}

void answerCancel()
{
    AppKitPlatform::queueAnswer(PanelAnswer{PanelAnswer::Cancel});
}

void answerException(const std::string& name, const std::string& reason)
{
    AppKitPlatform::queueAnswer(PanelAnswer{PanelAnswer::Exception, "", name, reason});
}

std::vector<Panel> panelsRun()
{
    std::vector<Panel> panels;
    for (const AppKitPlatform::PanelRecord& record : AppKitPlatform::records()) {
        panels.push_back(Panel{record.fKind, record.fCanChooseDirectories, record.fAllowsMultipleSelection,
                               record.fAllowedFileTypes, record.fDirectoryPath});
    }
    return panels;
}

void resetPanels()
{
    AppKitPlatform::reset();
}

} // namespace AppKitTesting
