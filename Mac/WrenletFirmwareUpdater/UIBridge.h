#pragma once

// The cell through which the updater reaches the window: it holds the application delegate while
// it lives, and every call is a message to it. Without a delegate the calls go nowhere.

#include <string>

class AppDelegate;

class UIBridge
{
public:
    void SetDelegate(AppDelegate* delegate) { fDelegate = delegate; }
    AppDelegate* Delegate() const { return fDelegate; }

    void UpdateEventWithStatus(int type, const std::string& text) const;
    void DeviceConnectedWithVersion(const std::string& label, const std::string& version) const;
    void DeviceDisconnectedWithButton(const std::string& label, bool checkDeviceButton) const;
    void SetDeviceLabelWithVersion(const std::string& label, const std::string& version) const;
    void SetFirmwareFileWithStatus(const std::string& label, bool ok) const;
    void SetFileVersion(const std::string& version) const;

private:
    AppDelegate* fDelegate = nullptr;
};
