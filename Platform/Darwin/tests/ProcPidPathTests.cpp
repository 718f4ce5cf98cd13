#include <libproc.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

extern char** environ;

namespace {

std::string pathOf(pid_t pid, uint32_t size = PROC_PIDPATHINFO_MAXSIZE)
{
    std::string buffer(size, '\x7f');
    int length = proc_pidpath(pid, buffer.data(), size);
    if (length <= 0) {
        return {};
    }
    EXPECT_EQ(buffer[size_t(length)], '\0');
    return buffer.substr(0, size_t(length));
}

// A child running `sleep`, ended and reaped on destruction.
class Child
{
public:
    Child()
    {
        char program[] = "/bin/sleep";
        char seconds[] = "600";
        char* arguments[] = {program, seconds, nullptr};
        EXPECT_EQ(posix_spawn(&fPid, program, nullptr, nullptr, arguments, environ), 0);
    }
    ~Child() { reap(); }

    pid_t pid() const { return fPid; }

    // Ends the child and leaves it a zombie, not yet reaped.
    void end()
    {
        kill(fPid, SIGKILL);
        siginfo_t info{};
        waitid(P_PID, id_t(fPid), &info, WEXITED | WNOWAIT);
    }

    void reap()
    {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
            fPid = 0;
        }
    }

private:
    pid_t fPid = 0;
};

TEST(ProcPidPath, ForTheTestItself)
{
    std::string path = pathOf(getpid());
    EXPECT_EQ(path, std::filesystem::canonical(program_invocation_name).string());
    EXPECT_EQ(proc_pidpath(getpid(), std::string(PROC_PIDPATHINFO_SIZE, '\0').data(), PROC_PIDPATHINFO_SIZE),
              int(path.size()));
}

TEST(ProcPidPath, ForAChildAndNotOnceItHasEnded)
{
    Child child;
    ASSERT_GT(child.pid(), 0);
    EXPECT_EQ(pathOf(child.pid()), std::filesystem::canonical("/bin/sleep").string());

    child.end();
    errno = 0;
    EXPECT_EQ(pathOf(child.pid()), "");
    EXPECT_NE(errno, 0);

    pid_t pid = child.pid();
    child.reap();
    errno = 0;
    EXPECT_EQ(pathOf(pid), "");
    EXPECT_NE(errno, 0);
}

TEST(ProcPidPath, RefusesABufferBelowTheMinimum)
{
    char buffer[512];
    errno = 0;
    EXPECT_EQ(proc_pidpath(getpid(), buffer, sizeof buffer), 0);
    EXPECT_NE(errno, 0);
}

TEST(ProcPidPath, UnknownProcessGivesNothing)
{
    errno = 0;
    EXPECT_EQ(pathOf(-1), "");
    EXPECT_NE(errno, 0);
}

} // namespace
