#include "Signals.h"

#include <Log.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The death-test child runs the test again from its start, so both name the file by the parent.
std::string LogPath(pid_t parent, int signal)
{
    return "/tmp/ReenumeratorSignal." + std::to_string(parent) + "." + std::to_string(signal);
}

// In the death-test child: the daemon's signal handling with the file sink, started as a shell
// starts a background job (SIGINT ignored), then the signal.
[[noreturn]] void InstallAndSignal(int signal)
{
    std::signal(SIGINT, SIG_IGN);
    Log::SetLogfile(LogPath(getppid(), signal).c_str());
    InstallSignalHandling();
    kill(getpid(), signal);
    for (;;) {
        pause();
    }
}

class ExitSignals : public testing::TestWithParam<int>
{};

TEST_P(ExitSignals, LogTheExitAndEndWithStatusZero)
{
    const std::string path = LogPath(getpid(), GetParam());
    EXPECT_EXIT(InstallAndSignal(GetParam()), testing::ExitedWithCode(0), "");
    EXPECT_NE(FileText(path).find("void SignalHandler(int) - exiting"), std::string::npos) << FileText(path);
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, ExitSignals, testing::Values(SIGTERM, SIGINT));

TEST(OtherSignals, AreIgnoredByTheHandler)
{
    EXPECT_EXIT(
        {
            SignalHandler(SIGHUP);
            std::_Exit(7);
        },
        testing::ExitedWithCode(7), "");
}

// The executable, as launchd or a terminal starts it.
class Process
{
public:
    Process()
    {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) {
            return;
        }
        fPid = fork();
        if (fPid == 0) {
            dup2(pipeEnds[1], STDOUT_FILENO);
            close(pipeEnds[0]);
            close(pipeEnds[1]);
            execl(REENUMERATOR_EXECUTABLE, REENUMERATOR_EXECUTABLE, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeEnds[1]);
        fOutput = pipeEnds[0];
    }
    ~Process()
    {
        close(fOutput);
        if (fPid > 0 && !fReaped) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The first line of standard output; empty at its end.
    std::string firstLine() const
    {
        std::string line;
        char c = 0;
        while (read(fOutput, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    void signal(int number) const { kill(fPid, number); }

    int wait()
    {
        int status = 0;
        waitpid(fPid, &status, 0);
        fReaped = true;
        return status;
    }

private:
    pid_t fPid = -1;
    int fOutput = -1;
    bool fReaped = false;
};

TEST(Executable, PrintsMainAndEndsWithStatusZeroOnSigtermWheneverItComes)
{
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        Process daemon;
        EXPECT_EQ(daemon.firstLine(), "int main(int, char **)");
        // Vary the moment: from at once to about as long as the daemon takes to start serving.
        usleep(useconds_t(run * 250));
        daemon.signal(run % 2 == 0 ? SIGTERM : SIGINT);
        const int status = daemon.wait();
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

} // namespace
