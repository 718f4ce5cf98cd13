#include "Faces.h"

namespace Wrenlet {

RunModeFace::RunModeFace(const KorvanInterface::DescriptorOptions& options,
                         std::weak_ptr<WrenletHardware> unit)
    : KorvanDevice(options,
                   [unit](const SimUSB::SetupPacket& setup, std::span<const uint8_t> data) {
                       const auto alive = unit.lock();
                       return alive ? alive->runModeRequest(setup, data) : std::nullopt;
                   }),
      fUnit(std::move(unit))
{}

void RunModeFace::detached()
{
    if (const auto unit = fUnit.lock())
        unit->faceDetached(this);
}

} // namespace Wrenlet
