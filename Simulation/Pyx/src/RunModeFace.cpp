#include "Faces.h"

namespace Pyx {

RunModeFace::RunModeFace(const KorvanInterface::DescriptorOptions& options, std::weak_ptr<PyxUnit> unit)
    : KorvanDevice(options,
                   [unit](const SimUSB::SetupPacket& setup, std::span<const uint8_t> data) {
                       const auto live = unit.lock();
                       return live ? live->request(Mode::Run, setup, data) : std::nullopt;
                   }),
      fUnit(std::move(unit))
{}

void RunModeFace::detached()
{
    if (const auto unit = fUnit.lock())
        unit->faceDetached(this);
}

void RunModeFace::leave(uint64_t awayTime, std::shared_ptr<SimUSB::Device> replacement)
{
    if (replacement)
        reEnumerate(awayTime, std::move(replacement));
    else
        disconnect();
}

} // namespace Pyx
