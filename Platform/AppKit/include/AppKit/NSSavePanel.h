#pragma once

// The modal save panel. Panels are made with a retain count of one; the caller releases them.

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <string>

namespace NS {

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
    // The chosen file, or NULL; owned by the panel.
    NS::URL URL() const { return fURL; }

protected:
    explicit SavePanel(std::string kind) : fKind(std::move(kind)) {}
    ~SavePanel() override;

    bool fCanChooseDirectories = false;
    bool fAllowsMultipleSelection = false;

private:
    std::string fKind;
    Array fAllowedFileTypes = nullptr;
    NS::URL fDirectoryURL = nullptr;
    NS::URL fURL = nullptr;
};

} // namespace NS
