#pragma once

#include "Handles.h"

#include <memory>
#include <mutex>
#include <vector>

namespace IOKit {

class IteratorHandle : public HandleObject
{
public:
    // The next object with a reference for the caller, or 0 at the end.
    virtual io_object_t next() = 0;
    virtual bool isValid() = 0;
    virtual void reset() = 0;
};

// The entries a lookup found, in registry order.
class SnapshotIterator final : public IteratorHandle
{
public:
    explicit SnapshotIterator(std::vector<std::shared_ptr<RegistryEntry>> entries)
        : fEntries(std::move(entries))
    {}

    io_object_t next() override;
    bool isValid() override { return true; }
    void reset() override;

private:
    std::mutex fLock;
    const std::vector<std::shared_ptr<RegistryEntry>> fEntries;
    size_t fNext = 0;
};

} // namespace IOKit
