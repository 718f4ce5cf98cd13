// Every transfer outcome a boot loader could give (counts, contents, time-outs, other statuses),
// scripted by the input, while the update's commands run through the engine: compare, clear the
// boot flag, erase, write, verify, set the boot flag, reset. No read outside a buffer, no
// completion for a transfer that was not asked for, and every command finishes, fails or has a
// transfer on its way.

#include "ReadWordArray.h"
#include "RunFlashCommand.h"
#include "SAMBA.h"
#include "SAMBACheckModel.h"
#include "VerifyFlash.h"
#include "WriteFlash.h"
#include "WriteWord.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

// The input, read as a script of outcomes.
struct Script
{
    const uint8_t* data;
    size_t size;

    bool empty() const { return size == 0; }
    uint8_t next()
    {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
};

// A data interface whose transfers wait until the script completes them.
struct FakeInterface
{
    const IOUSBInterfaceInterface300* table;
    bool pending = false;
    bool in = false;
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    IOAsyncCallback1 callback = nullptr;
    void* refcon = nullptr;
};

FakeInterface* fake(void* self)
{
    return static_cast<FakeInterface*>(self);
}

IOReturn queue(void* self, bool in, void* buffer, UInt32 size, IOAsyncCallback1 callback, void* refcon)
{
    FakeInterface* interface = fake(self);
    // One transfer at a time, never bigger than a piece.
    check(!interface->pending && size <= SAMBA::kPieceSize && size > 0);
    *interface =
        FakeInterface{interface->table, true, in, static_cast<uint8_t*>(buffer), size, callback, refcon};
    return kIOReturnSuccess;
}

IOReturn readPipe(void* self, UInt8 pipe, void* buffer, UInt32 size, UInt32, UInt32,
                  IOAsyncCallback1 callback, void* refcon)
{
    check(pipe == SAMBA::kInPipe);
    return queue(self, true, buffer, size, callback, refcon);
}

IOReturn writePipe(void* self, UInt8 pipe, void* buffer, UInt32 size, UInt32, UInt32,
                   IOAsyncCallback1 callback, void* refcon)
{
    check(pipe == SAMBA::kOutPipe);
    return queue(self, false, buffer, size, callback, refcon);
}

ULONG keep(void*)
{
    return 1;
}

const IOUSBInterfaceInterface300 kTable = {
    nullptr, nullptr, keep,    keep,    nullptr, nullptr,  nullptr,   nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, readPipe, writePipe,
};

struct Driver : SAMBA::Client
{
    StateMachine* command = nullptr;
    bool finished = false;
    bool error = false;

    void SAMBACallback(uint32_t count, bool failed) override
    {
        check(!finished);
        if (failed) {
            error = finished = true;
        } else if (command->Callback(count)) {
            finished = true;
        }
    }
};

// Completes the pending transfer as the script says; false once the script has run out.
bool complete(FakeInterface& interface, Script& script)
{
    if (script.empty()) {
        return false;
    }
    const uint8_t kind = script.next();
    uint32_t count = interface.size;
    IOReturn result = kIOReturnSuccess;
    switch (kind % 4) {
    case 1:
        count = script.next() % (interface.size + 1);
        break;
    case 2:
        count = script.next() % (interface.size + 1);
        result = kIOUSBTransactionTimeout;
        break;
    case 3:
        count = 0;
        result = kIOReturnNotResponding;
        break;
    default:
        break;
    }
    if (interface.in) {
        for (uint32_t i = 0; i < count; ++i) {
            interface.buffer[i] = script.next();
        }
    }
    interface.pending = false;
    interface.callback(interface.refcon, result, reinterpret_cast<void*>(uintptr_t(count)));
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Script script{data, size};
    FakeInterface device{&kTable};
    auto interface = std::make_shared<vork::IOCFComPtr<IOUSBInterfaceInterface300>>(
        reinterpret_cast<IOUSBInterfaceInterface300**>(&device));
    Driver driver;
    SAMBA engine(driver, interface);
    std::vector<uint8_t> image(1301);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = uint8_t(i * 7);
    }
    std::vector<std::unique_ptr<StateMachine>> sequence;
    sequence.push_back(std::make_unique<SAMBACheckModel>(engine));
    sequence.push_back(std::make_unique<VerifyFlash>(engine, image));
    sequence.push_back(std::make_unique<RunFlashCommand>(engine, SAMBA::kClearGPNVM, 1, 1));
    sequence.push_back(std::make_unique<RunFlashCommand>(engine, SAMBA::kEraseAll, 0, 1));
    sequence.push_back(std::make_unique<WriteFlash>(engine, image));
    sequence.push_back(std::make_unique<VerifyFlash>(engine, image));
    sequence.push_back(std::make_unique<RunFlashCommand>(engine, SAMBA::kSetGPNVM, 1, 1));
    sequence.push_back(std::make_unique<WriteWord>(engine, SAMBA::kResetRegister, SAMBA::kResetValue));
    for (auto& command : sequence) {
        driver = Driver{};
        driver.command = command.get();
        command->Start();
        while (!driver.finished && device.pending && complete(device, script)) {
        }
        if (!driver.finished) {
            // Unfinished, it waits for a transfer: one with nothing on its way would wait for ever.
            check(device.pending);
            break;
        }
        check(command->GetProgress() >= 0 && command->GetProgress() <= 100);
        // A compare that finds the flash different goes on to the erase, as the update does.
        const bool compare = command == sequence[1];
        if (driver.error || (!command->GetResultStatus() && !compare)) {
            break;
        }
    }
    // The engine goes with a transfer maybe still queued, as after a close.
    interface->reset();
    return 0;
}
