#pragma once

// The modal save panel. Panels are made with a retain count of one; the caller releases them.

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <functional>
#include <string>

namespace NS {

class Window;

enum ModalResponse : long
{
    ModalResponseCancel = 0,
    ModalResponseOK = 1,
};

class SavePanel : public Object
{
public:
    static SavePanel* savePanel();

    // File types (extensions or type strings) the panel offers; the array is copied.
    void setAllowedFileTypes(Array types);
    void setDirectoryURL(URL url);
    // Runs the panel until the user answers; a framework exception passes out as NS::Exception.
    ModalResponse runModal();
    // Shows the panel as a sheet on the window; the handler gets the answer on the main thread on a
    // later turn. A window shows one sheet at a time: a second waits until the first has ended.
    // The answer must be one a user could give: a save answer gets the first allowed type appended
    // when it has none of them, and an open answer the settings forbid ends the process.
    void beginSheetModalForWindow(Window* window, std::function<void(ModalResponse)> handler);
    // The chosen file, or NULL; owned by the panel.
    NS::URL URL() const { return fURL; }
    // The chosen files (none or one); the caller releases the array.
    Array URLs() const;

protected:
    explicit SavePanel(std::string kind) : fKind(std::move(kind)) {}
    ~SavePanel() override;

    bool fCanChooseDirectories = false;
    bool fCanChooseFiles = true;
    bool fAllowsMultipleSelection = false;

private:
    // The sheet's run: the answer, held to the panel's settings.
    ModalResponse runSheet();

    std::string fKind;
    Array fAllowedFileTypes = nullptr;
    NS::URL fDirectoryURL = nullptr;
    NS::URL fURL = nullptr;
};

} // namespace NS
