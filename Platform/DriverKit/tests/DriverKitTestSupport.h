#pragma once

#include "ToyDrivers.h"

#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <IOKit/IOKitLib.h>

#include <gtest/gtest.h>

#include <memory>

namespace DriverKitTests {

// The echo device on the process's bus with the echo toy started on its interface 0.
class EchoDeviceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ToyDrivers::registerAll();
        ToyDrivers::log().clear();
        SimUSB::Bus::shared().attach(kPort, echo);
        ToyDrivers::log().waitFor("EchoToy start");
        toy = ToyDrivers::echoToy();
        ASSERT_NE(toy, nullptr);
    }
    void TearDown() override { SimUSB::Bus::shared().detach(kPort); }

    // The user-space handle of the toy service, found by class name; the caller releases it.
    static io_service_t findService(const char* className = "EchoToy")
    {
        io_iterator_t iterator = 0;
        if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching(className), &iterator) !=
            kIOReturnSuccess) {
            return 0;
        }
        const io_service_t service = IOIteratorNext(iterator);
        IOObjectRelease(iterator);
        return service;
    }

    static constexpr uint8_t kPort = 1;
    std::shared_ptr<SimUSBTesting::EchoDevice> echo = std::make_shared<SimUSBTesting::EchoDevice>();
    ToyDrivers::EchoToy* toy = nullptr;
};

// A Brio model on the bus with the Korvan toy started on its control interface.
class KorvanDeviceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ToyDrivers::registerAll();
        ToyDrivers::log().clear();
        SimUSB::Bus::shared().attach(kPort, model);
        ToyDrivers::log().waitFor("KorvanToy start");
        toy = ToyDrivers::korvanToy();
        ASSERT_NE(toy, nullptr);
    }
    void TearDown() override { SimUSB::Bus::shared().detach(kPort); }

    static constexpr uint8_t kPort = 2;
    std::shared_ptr<KorvanInterface::KorvanDevice> model = std::make_shared<KorvanInterface::KorvanDevice>(
        KorvanInterface::DescriptorOptions(KorvanInterface::Model::Brio, ToyDrivers::kKorvanVendor));
    ToyDrivers::KorvanToy* toy = nullptr;
};

} // namespace DriverKitTests
