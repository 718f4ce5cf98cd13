#pragma once

// The system's modal open and save panels, answering the chosen file as a specification or as an
// opened stream. Called on the main thread; cancelling is no failure, and exceptions of the panels
// are swallowed.

#include "FileLocation.h"

#include <istream>
#include <memory>
#include <ostream>
#include <vector>

namespace Pellix {

class LoadSaveDialog
{
public:
    struct FileFilter
    {
        unsigned int fFileType;
        UString fExtension;
    };

    // The chosen file, or an empty specification. The panel starts in `defaultLocation` when that
    // names a folder, and in its folder when it names a file. `flags` is not used.
    static FileSpecification DoOpenDialog(unsigned flags, const FileSpecification& defaultLocation,
                                          const std::vector<FileFilter>& filters);
    // Stores the choice in `chosen`; a stream on it when it exists, even one that could not be
    // opened (its fail state set), otherwise null.
    static std::unique_ptr<std::istream> DoOpenDialog(unsigned flags,
                                                      const FileSpecification& defaultLocation,
                                                      const std::vector<FileFilter>& filters,
                                                      FileSpecification& chosen);
    // A stream writing the chosen file from its start, stored in `chosen`; null, `chosen` untouched,
    // when the panel gives no valid file. Only the filter's extension is offered.
    static std::unique_ptr<std::ostream> DoSaveAsDialog(unsigned flags,
                                                        const FileSpecification& defaultLocation,
                                                        const FileFilter& filter, FileSpecification& chosen);
};

} // namespace Pellix
