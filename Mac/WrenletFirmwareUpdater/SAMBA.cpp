#include "SAMBA.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdio>

SAMBA::SAMBA(Client& client, Interface interface)
    : fClient(client), fInterface(std::move(interface)), fAlive(std::make_shared<SAMBA*>(this))
{}

void SAMBA::Send(std::span<const uint8_t> bytes)
{
    fSending = true;
    fSendBuffer.assign(bytes.begin(), bytes.end());
    fLength = fSendBuffer.size();
    fDone = 0;
    NextPiece();
}

void SAMBA::Send(const std::string& text)
{
    Send(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void SAMBA::Receive(size_t length)
{
    fSending = false;
    fReceiveBuffer.assign(length, 0);
    fLength = length;
    fDone = 0;
    NextPiece();
}

std::span<const uint8_t> SAMBA::Received() const
{
    return std::span(fReceiveBuffer).first(std::min(fDone, fReceiveBuffer.size()));
}

std::string SAMBA::WriteWordText(uint32_t address, uint32_t value)
{
    char text[24];
    snprintf(text, sizeof text, "W%08X,%08X#", address, value);
    return text;
}

std::string SAMBA::ReadWordText(uint32_t address)
{
    char text[16];
    snprintf(text, sizeof text, "w%08X,#", address);
    return text;
}

void SAMBA::NextPiece()
{
    if (fLength == fDone) {
        // Nothing to move: finished at once, but never inside the caller's call.
        CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopCommonModes,
                              [alive = std::weak_ptr<SAMBA*>(fAlive)] {
                                  if (auto engine = alive.lock()) {
                                      (*engine)->Finish(false);
                                  }
                              });
        CFRunLoopWakeUp(CFRunLoopGetMain());
        return;
    }
    if (!fInterface || !*fInterface) {
        FailLater();
        return;
    }
    fPiece = uint32_t(std::min<size_t>(kPieceSize, fLength - fDone));
    IOUSBInterfaceInterface300** interface = fInterface->get();
    // The refcon is the engine itself: the interface runs no callback once it is closed, which
    // its owner does before the engine goes.
    const IOReturn result = fSending
                                ? (*interface)
                                      ->WritePipeAsyncTO(interface, kOutPipe, fSendBuffer.data() + fDone,
                                                         fPiece, kTimeoutMs, kTimeoutMs, PieceDone, this)
                                : (*interface)
                                      ->ReadPipeAsyncTO(interface, kInPipe, fReceiveBuffer.data() + fDone,
                                                        fPiece, kTimeoutMs, kTimeoutMs, PieceDone, this);
    if (result != kIOReturnSuccess) {
        FailLater();
    }
}

void SAMBA::FailLater()
{
    CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopCommonModes, [alive = std::weak_ptr<SAMBA*>(fAlive)] {
        if (auto engine = alive.lock()) {
            (*engine)->Finish(true);
        }
    });
    CFRunLoopWakeUp(CFRunLoopGetMain());
}

void SAMBA::PieceDone(void* refcon, IOReturn result, void* arg0)
{
    auto* engine = static_cast<SAMBA*>(refcon);
    const size_t moved = std::min<size_t>(uintptr_t(arg0), engine->fPiece);
    engine->fDone += moved;
    if (result == kIOUSBTransactionTimeout) {
        engine->Finish(false);
    } else if (result != kIOReturnSuccess) {
        engine->Finish(true);
    } else if (engine->fDone < engine->fLength) {
        engine->NextPiece();
    } else {
        engine->Finish(false);
    }
}

void SAMBA::Finish(bool error)
{
    fClient.SAMBACallback(uint32_t(fDone), error);
}
