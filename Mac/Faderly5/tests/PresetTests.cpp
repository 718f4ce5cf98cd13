#include "MixerFixture.h"

#include <CFPlatform/FileReplacement.h>
#include <DarwinTesting/LogCapture.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// python3's view of the payload: Base64 of the query-escaped UTF-8 text.
std::string pythonPayload(const std::string& text, const std::filesystem::path& folder)
{
    const std::string input = (folder / "preset-text").string();
    std::ofstream(input, std::ios::binary) << text;
    FILE* python = popen(("python3 -c \"import base64, sys, urllib.parse; "
                          "t = open(sys.argv[1], 'rb').read().decode(); "
                          "print(base64.b64encode(urllib.parse.quote(t, safe=\\\"!\\$&'()*+,;=:@/?-._~\\\")"
                          ".encode()).decode(), end='')\" " +
                          input)
                             .c_str(),
                         "r");
    std::string out;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, python)) {
        out.append(buffer, n);
    }
    pclose(python);
    return out;
}

const std::string kNonAscii = "caf\xC3\xA9 \xE6\xB7\xB7 \xF0\x9F\x8E\x9B";

TEST_F(MixerFixture, SavesTheTextItselfReplacingAWholeFile)
{
    launch();
    const std::filesystem::path chosen = fFolder / "mix";
    writeFile(fFolder / "mix.preset", std::string(10000, 'o'));
    const std::string text = "kAPIVersion=1&a=+%" + kNonAscii + std::string(1, '\0') + "end";
    AppKitTesting::answerOK(chosen.string());
    post("savePreset_wrn&" + text);
    EXPECT_EQ(readFile(fFolder / "mix.preset"), text);
    ASSERT_EQ(AppKitTesting::panelsRun().size(), 1u);
    EXPECT_EQ(AppKitTesting::panelsRun()[0].fKind, "NSSavePanel");
    EXPECT_EQ(AppKitTesting::panelsRun()[0].fAllowedFileTypes, std::vector<std::string>{"preset"});
}

TEST_F(MixerFixture, SavesAnEmptyPyxPresetAndCancelWritesNothing)
{
    launch();
    AppKitTesting::answerOK((fFolder / "empty.Pyxpreset").string());
    post("savePreset_Pyx&");
    EXPECT_TRUE(std::filesystem::exists(fFolder / "empty.Pyxpreset"));
    EXPECT_EQ(readFile(fFolder / "empty.Pyxpreset"), "");
    EXPECT_EQ(AppKitTesting::panelsRun()[0].fAllowedFileTypes, std::vector<std::string>{"Pyxpreset"});

    AppKitTesting::answerCancel();
    post("savePreset_wrn&abc");
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(fFolder), std::filesystem::directory_iterator()),
        2);
}

TEST_F(MixerFixture, AnOversizedTextIsNotSaved)
{
    launch();
    post("savePreset_wrn&" + std::string(16 * 1024 * 1024 + 1, 'a'));
    EXPECT_TRUE(AppKitTesting::panelsRun().empty()) << "no panel, nothing written";
}

TEST_F(MixerFixture, AFailedSaveLeavesTheOldFile)
{
    launch();
    writeFile(fFolder / "keep.preset", "old");
    AppKitTesting::answerOK((fFolder / "keep.preset").string());
    CFPlatform::setFileReplacementFailure(true);
    post("savePreset_wrn&new");
    CFPlatform::setFileReplacementFailure(false);
    EXPECT_EQ(readFile(fFolder / "keep.preset"), "old");
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(fFolder), std::filesystem::directory_iterator()), 2)
        << "the bundle and the old file, and no temporary file";
}

TEST_F(MixerFixture, APresetThatIsNotARegularFileIsNeitherWaitedForNorRead)
{
    launch();
    const std::filesystem::path fifo = fFolder / "fifo.preset";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Waits for a reader and hands it a marked preset, which a load that read the FIFO would apply.
    // A reader gone before the write only fails it: SIGPIPE is blocked on this thread.
    std::thread writer([&] {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t written = write(fd, "kAPIVersion=1", 13);
            close(fd);
        }
    });
    // A device that never ends, of the type the panel allows.
    const std::filesystem::path device = fFolder / "device.preset";
    std::filesystem::create_symlink("/dev/zero", device);
    for (const std::filesystem::path& path : {fifo, device}) {
        SCOPED_TRACE(path.string());
        const size_t before = WebKitTesting::scripts().size();
        AppKitTesting::answerOK(path.string());
        post("loadPreset_wrn");
        EXPECT_EQ(WebKitTesting::scripts().size(), before);
    }
    // A reader of its own lets a writer still waiting go on.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    close(reader);
}

struct LoadRow
{
    const char* fName;
    std::string fBytes;
    std::optional<std::string> fApplied;
};

std::string utf16(const std::u16string& text, bool littleEndian, bool mark)
{
    std::string bytes = mark ? (littleEndian ? "\xFF\xFE" : "\xFE\xFF") : "";
    for (char16_t unit : text) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        bytes += littleEndian ? std::string{low, high} : std::string{high, low};
    }
    return bytes;
}

TEST_F(MixerFixture, LoadsAPresetOnlyWhenItIsMarkedUTF8OrUTF16WithAMark)
{
    launch();
    const std::string marked = "kAPIVersion=2&x=" + kNonAscii + std::string(1, '\0');
    const std::vector<LoadRow> rows = {
        {"UTF-8 with the marker", marked, marked},
        {"UTF-8 without it", "x=1", std::nullopt},
        {"empty", "", std::nullopt},
        {"UTF-16 LE with mark and marker", utf16(u"kAPIVersion \u00e9", true, true), "kAPIVersion \xC3\xA9"},
        {"UTF-16 BE with mark, no marker", utf16(u"plain \u6df7", false, true), "plain \xE6\xB7\xB7"},
        {"UTF-16 LE without mark", utf16(u"\u00e9", true, false), std::nullopt},
        {"UTF-16 with an unpaired surrogate", utf16(u"a\xD800", true, true), std::nullopt},
        {"over 16 MiB with the marker", "kAPIVersion" + std::string(16 * 1024 * 1024, 'a'), std::nullopt},
    };
    testing::internal::CaptureStdout();
    DarwinTesting::LogCapture log;
    for (const LoadRow& row : rows) {
        SCOPED_TRACE(row.fName);
        const std::filesystem::path file = fFolder / "load.preset";
        writeFile(file, row.fBytes);
        const size_t before = WebKitTesting::scripts().size();
        AppKitTesting::answerOK(file.string());
        post("loadPreset_wrn");
        const auto scripts = WebKitTesting::scripts();
        if (!row.fApplied) {
            EXPECT_EQ(scripts.size(), before);
            continue;
        }
        ASSERT_EQ(scripts.size(), before + 1);
        EXPECT_EQ(scripts.back().fScript,
                  "gApp.appdata.datastore.applyPreset('" + pythonPayload(*row.fApplied, fFolder) + "')");
        EXPECT_EQ(page()->lastPreset(), row.fApplied);
    }
    AppKitTesting::answerCancel();
    const size_t before = WebKitTesting::scripts().size();
    post("loadPreset_Pyx");
    EXPECT_EQ(WebKitTesting::scripts().size(), before);
    EXPECT_TRUE(log.records().empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::vector<AppKitTesting::Panel> panels = AppKitTesting::panelsRun();
    EXPECT_EQ(panels.back().fAllowedFileTypes, std::vector<std::string>{"Pyxpreset"});
    EXPECT_EQ(panels.front().fKind, "NSOpenPanel");
    EXPECT_FALSE(panels.front().fCanChooseDirectories);
    EXPECT_FALSE(panels.front().fAllowsMultipleSelection);
}

} // namespace
