#pragma once

// The liveness flag of an object that callbacks from other threads may outlive: they keep a weak
// pointer to the flag and do nothing once it has expired.

#include <memory>

class ZombieDetector
{
public:
    ZombieDetector() : fAlive(std::make_shared<bool>(true)) {}

    std::weak_ptr<bool> watch() const { return fAlive; }

private:
    std::shared_ptr<bool> fAlive;
};
