#pragma once

// One boot-loader command: it issues its transfers through the engine and is told of each one that
// finished without error. The updater runs one at a time.

#include <cstdint>
#include <vector>

class StateMachine
{
public:
    virtual ~StateMachine() = default;

    // Issues the first transfer.
    virtual void Start() = 0;
    // A transfer finished with `count` bytes; true once the command is finished.
    virtual bool Callback(uint32_t count) = 0;
    virtual bool GetResultStatus() const = 0;
    virtual std::vector<uint8_t> GetResult() const { return {}; }
    // Percent done.
    virtual int GetProgress() const { return 0; }
};
