#include "WebKitState.h"

namespace WebKitPlatform {

State& state()
{
    static auto* instance = new State;
    return *instance;
}

} // namespace WebKitPlatform
