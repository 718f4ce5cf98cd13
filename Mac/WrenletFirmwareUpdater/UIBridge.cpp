#include "UIBridge.h"

#include "AppDelegate.h"

void UIBridge::UpdateEventWithStatus(int type, const std::string& text) const
{
    if (fDelegate != nullptr) {
        fDelegate->UpdateEventWithStatus(type, text);
    }
}

void UIBridge::DeviceConnectedWithVersion(const std::string& label, const std::string& version) const
{
    if (fDelegate != nullptr) {
        fDelegate->DeviceConnectedWithVersion(label, version);
    }
}

void UIBridge::DeviceDisconnectedWithButton(const std::string& label, bool checkDeviceButton) const
{
    if (fDelegate != nullptr) {
        fDelegate->DeviceDisconnectedWithButton(label, checkDeviceButton);
    }
}

void UIBridge::SetDeviceLabelWithVersion(const std::string& label, const std::string& version) const
{
    if (fDelegate != nullptr) {
        fDelegate->SetDeviceLabelWithVersion(label, version);
    }
}

void UIBridge::SetFirmwareFileWithStatus(const std::string& label, bool ok) const
{
    if (fDelegate != nullptr) {
        fDelegate->SetFirmwareFileWithStatus(label, ok);
    }
}

void UIBridge::SetFileVersion(const std::string& version) const
{
    if (fDelegate != nullptr) {
        fDelegate->SetFileVersion(version);
    }
}
