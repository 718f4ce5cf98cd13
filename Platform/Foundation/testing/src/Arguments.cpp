#include <FoundationTesting/Arguments.h>

#include "ProcessArguments.h"

namespace FoundationTesting {

Arguments::Arguments(std::vector<std::string> arguments)
{
    Foundation::overrideProcessArguments(std::move(arguments));
}

Arguments::~Arguments()
{
    Foundation::overrideProcessArguments(std::nullopt);
}

} // namespace FoundationTesting
