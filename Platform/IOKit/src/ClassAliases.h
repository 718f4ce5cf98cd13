#pragma once

#include <map>
#include <string>
#include <vector>

namespace IOKit {

// Class names that the layers let matching use for other classes. Guarded by the registry's lock.
class ClassAliases
{
public:
    void add(const std::string& alias, const std::string& className);

    // Whether an entry of `classChain` answers to `wanted`: its class, a superclass, or an alias of
    // either.
    bool conforms(const std::vector<std::string>& classChain, const std::string& wanted) const;

private:
    std::multimap<std::string, std::string> fClassesOfAlias;
};

} // namespace IOKit
