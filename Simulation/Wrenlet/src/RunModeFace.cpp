#include "Faces.h"

namespace Wrenlet {

RunModeFace::RunModeFace(const KorvanInterface::DescriptorOptions& options, std::weak_ptr<WrenletHardware> unit)
    : KorvanDevice(options), fUnit(std::move(unit))
{
    setRequestHook([weakUnit = fUnit](const SimUSB::SetupPacket& setup, std::span<const uint8_t>) {
        const auto unit = weakUnit.lock();
        return unit ? unit->runModeRequest(setup) : std::nullopt;
    });
}

void RunModeFace::detached()
{
    if (const auto unit = fUnit.lock())
        unit->faceDetached(this);
}

} // namespace Wrenlet
