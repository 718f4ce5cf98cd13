#include <DriverKit/DriverKit.h>
#include <DriverKit/OSMetaClass.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> gBundledStarts{0};

// A driver class known to the runtime only through its metaclass definition.
class BundledToy : public IOService
{
public:
    kern_return_t Start(IOService* provider) override
    {
        ++gBundledStarts;
        return IOService::Start(provider);
    }
};

OSDefineMetaClassAndStructors(BundledToy, IOService);

constexpr uint16_t kBundledProduct = 0x00B1;

class DriverBundleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        fBundle = std::filesystem::temp_directory_path() /
                  ("DriverBundleTest-" + std::to_string(getpid()) + "-" +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(fBundle / "Contents");
    }
    void TearDown() override { std::filesystem::remove_all(fBundle); }

    void writeInfo(const std::string& personalities)
    {
        std::ofstream(fBundle / "Contents" / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.example.bundled</string>"
               "<key>IOKitPersonalities</key><dict>"
            << personalities << "</dict></dict></plist>\n";
    }

    std::filesystem::path fBundle;
};

TEST_F(DriverBundleTest, WithoutAPropertyListNothingLoads)
{
    EXPECT_FALSE(DriverKitTesting::loadDriverBundle(fBundle.c_str()));
}

TEST_F(DriverBundleTest, ItsPersonalitiesStartItsDeclaredClasses)
{
    writeInfo("<key>Bundled</key><dict>"
              "<key>IOProviderClass</key><string>IOUSBHostInterface</string>"
              "<key>IOUserClass</key><string>BundledToy</string>"
              "<key>IOProbeScore</key><integer>9500</integer>"
              "<key>idVendor</key><integer>4617</integer>"
              "<key>idProduct</key><integer>177</integer>"
              "<key>bInterfaceNumber</key><integer>0</integer>"
              "</dict>");
    ASSERT_TRUE(DriverKitTesting::loadDriverBundle(fBundle.c_str()));
    ASSERT_TRUE(DriverKitTesting::loadDriverBundle(fBundle.c_str())) << "a second load changes nothing";
    const int before = gBundledStarts.load();

    constexpr uint8_t kPort = 7;
    SimUSB::Bus::shared().attach(kPort, std::make_shared<SimUSBTesting::EchoDevice>(kBundledProduct));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gBundledStarts.load() == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    SimUSB::Bus::shared().detach(kPort);
    EXPECT_EQ(gBundledStarts.load(), before + 1);
}

} // namespace
