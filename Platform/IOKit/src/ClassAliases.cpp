#include "ClassAliases.h"

#include <algorithm>

namespace IOKit {

void ClassAliases::add(const std::string& alias, const std::string& className)
{
    auto [first, last] = fClassesOfAlias.equal_range(alias);
    if (std::none_of(first, last, [&](const auto& known) { return known.second == className; })) {
        fClassesOfAlias.emplace(alias, className);
    }
}

bool ClassAliases::conforms(const std::vector<std::string>& classChain, const std::string& wanted) const
{
    auto named = [&](const std::string& className) {
        return std::find(classChain.begin(), classChain.end(), className) != classChain.end();
    };
    if (named(wanted)) {
        return true;
    }
    auto [first, last] = fClassesOfAlias.equal_range(wanted);
    return std::any_of(first, last, [&](const auto& alias) { return named(alias.second); });
}

} // namespace IOKit
