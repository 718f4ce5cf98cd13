#include "ChildProcess.h"
#include "FixtureBundle.h"
#include "ResourceAccess/ResourceAccess.h"
#include "XML/XMLResourceListReader.h"

#include <CoreGraphicsTesting/DataProvider.h>

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <latch>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;

// The first lookups of several threads at once read the resource once and all see its texts.
TEST(LocalizedStringStress, FirstLookupsFromManyThreads)
{
    RunInChildProcess([] {
        FixtureBundle bundle(
            "org.tide.pellix.tests.stress",
            {{"LocalizableStrings.xml", "<resource_list><XSET name='s'><TEXT name='MBOK'>OK</TEXT>"
                                        "<XSET name='Font1'><TEXT name='Size'>12</TEXT></XSET>"
                                        "</XSET></resource_list>"}});
        Pellix::ResourceAccess::Instance().SetBundleID(UString(bundle.identifier(), UString::kUTF8));
        unsigned long readsBefore = CoreGraphicsTesting::dataProviderCopyDataCalls();
        std::latch start(kThreads);
        std::atomic<int> right{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                bool ok = Pellix::LookupString("MBOK") == UString("OK", UString::k8Bit) &&
                          Pellix::LookupString(std::vector<std::string>{"Font1"}, "Size") ==
                              UString("12", UString::k8Bit);
                right.fetch_add(ok ? 1 : 0);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        unsigned long reads = CoreGraphicsTesting::dataProviderCopyDataCalls() - readsBefore;
        std::cerr << right.load() << " right answers, " << reads << " reads" << std::endl;
        return right.load() == kThreads && reads == 1;
    });
}

} // namespace
