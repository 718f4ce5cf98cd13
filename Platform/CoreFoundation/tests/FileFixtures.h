#pragma once

// Helpers shared by the tests of URLs, property lists, bundles and preferences: owned CF references,
// UTF-8 text, property-list values, temporary folders and files, and Python as an independent
// reader and writer.

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace FileFixtures {

struct Releaser
{
    void operator()(const void* object) const { CFRelease(object); }
};

// An owned CF reference of a given type.
template <typename Ref>
using CF = std::unique_ptr<std::remove_pointer_t<Ref>, Releaser>;

inline CF<CFStringRef> string(const std::string& utf8)
{
    return CF<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(utf8.data()),
                                                   static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                                   false));
}

// The UTF-8 text of a string; "<null>" for NULL, so a missing string shows in a failure message.
inline std::string text(CFStringRef string)
{
    if (!string) {
        return "<null>";
    }
    CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFIndex size = 0;
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
    std::string result(static_cast<size_t>(size), '\0');
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(result.data()),
                     size, nullptr);
    return result;
}

inline std::string urlText(CFURLRef url)
{
    return url ? text(CFURLGetString(url)) : "<null>";
}

// Property-list values built in one expression.
template <typename T>
CF<CFNumberRef> number(CFNumberType type, T value)
{
    return CF<CFNumberRef>(CFNumberCreate(nullptr, type, &value));
}

inline CF<CFDictionaryRef> dictionary(std::vector<std::pair<const char*, CFTypeRef>> entries)
{
    CF<CFMutableDictionaryRef> result(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks));
    for (auto& [key, value] : entries) {
        CFDictionarySetValue(result.get(), string(key).get(), value);
    }
    return CF<CFDictionaryRef>(result.release());
}

inline CF<CFArrayRef> array(std::vector<CFTypeRef> values)
{
    return CF<CFArrayRef>(
        CFArrayCreate(nullptr, values.data(), static_cast<CFIndex>(values.size()), &kCFTypeArrayCallBacks));
}

inline void writeFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// A fresh folder, removed with everything in it at the end of the test.
class TemporaryFolder
{
public:
    TemporaryFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "cf-test-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder() { std::filesystem::remove_all(fPath); }

    const std::filesystem::path& path() const { return fPath; }
    std::filesystem::path operator/(const std::string& name) const { return fPath / name; }

private:
    std::filesystem::path fPath;
};

// Runs a Python script with `arguments` (shell-quoted by the caller) and answers its exit status
// and standard output.
inline std::pair<int, std::string> runPython(const std::string& script, const std::string& arguments = "")
{
    TemporaryFolder scratch;
    writeFile(scratch / "script.py", script);
    std::string command = "python3 " + (scratch / "script.py").string() + " " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, count);
    }
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The path of the running test binary.
inline std::string testExecutable()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// Runs one disabled test case of `executable` in a new process, with `variable`=`value` added to
// its environment, and answers its exit status (0 when the case passed).
inline int runTestCase(const std::string& executable, const std::string& testCase,
                       const std::string& variable, const std::string& value)
{
    std::string filter = "--gtest_filter=" + testCase;
    std::vector<char*> arguments = {const_cast<char*>(executable.c_str()), const_cast<char*>(filter.c_str()),
                                    const_cast<char*>("--gtest_also_run_disabled_tests"), nullptr};
    std::string setting = variable + "=" + value;
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry) {
        environment.push_back(*entry);
    }
    environment.push_back(setting.data());
    environment.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, executable.c_str(), nullptr, nullptr, arguments.data(), environment.data()) !=
        0) {
        return -1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace FileFixtures
