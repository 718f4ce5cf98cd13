#pragma once

// The boot loader's text protocol over the two bulk pipes of its CDC data interface: one transfer
// at a time, moved in pieces of at most 64 bytes, each with no-data and completion time-outs of
// 100 ms. A piece that times out ends the transfer early with the bytes moved and no error; any
// other failure is an error. The client hears of each finished transfer on the main run loop.

#include <IOKit/usb/IOUSBLib.h>

#include "IOCFComPtr.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class SAMBA
{
public:
    static constexpr uint32_t kFlashBase = 0x400000;
    static constexpr uint32_t kPageSize = 512;
    static constexpr uint32_t kFlashCommandRegister = 0x400E0C04; // EEFC_FCR
    static constexpr uint32_t kFlashStatusRegister = 0x400E0C08;  // EEFC_FSR
    static constexpr uint32_t kResetRegister = 0x400E1800;        // RSTC_CR
    static constexpr uint32_t kResetValue = 0xA5000001;
    static constexpr uint32_t kFlashKey = 0x5A;

    enum FlashCommand : uint8_t
    {
        kWritePage = 1,
        kEraseAll = 5,
        kSetGPNVM = 11,
        kClearGPNVM = 12,
        kStartUserSignature = 20,
        kStopUserSignature = 21,
    };

    static constexpr uint8_t kOutPipe = 1;
    static constexpr uint8_t kInPipe = 2;
    static constexpr uint32_t kPieceSize = 64;
    static constexpr uint32_t kTimeoutMs = 100;

    class Client
    {
    public:
        virtual ~Client() = default;
        // Bytes moved by the finished transfer, and whether it failed.
        virtual void SAMBACallback(uint32_t count, bool error) = 0;
    };

    using Interface = std::shared_ptr<vork::IOCFComPtr<IOUSBInterfaceInterface300>>;

    // The interface's owner closes it before the engine goes, which ends its callbacks.
    SAMBA(Client& client, Interface interface);
    SAMBA(const SAMBA&) = delete;
    SAMBA& operator=(const SAMBA&) = delete;

    // Starts a transfer; the send buffer is the engine's own copy.
    void Send(std::span<const uint8_t> bytes);
    void Send(const std::string& text);
    void Receive(size_t length);
    // What the last receive brought.
    std::span<const uint8_t> Received() const;

    // "W%08X,%08X#" and "w%08X,#".
    static std::string WriteWordText(uint32_t address, uint32_t value);
    static std::string ReadWordText(uint32_t address);

private:
    void NextPiece();
    void Finish(bool error);
    void FailLater();
    static void PieceDone(void* refcon, IOReturn result, void* arg0);

    Client& fClient;
    Interface fInterface;
    // Checked by work posted to the run loop, which may run after the engine has gone.
    std::shared_ptr<SAMBA*> fAlive;

    bool fSending = false;
    std::vector<uint8_t> fSendBuffer;
    std::vector<uint8_t> fReceiveBuffer;
    size_t fLength = 0;
    size_t fDone = 0;
    uint32_t fPiece = 0;
};
