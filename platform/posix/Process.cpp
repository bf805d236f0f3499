#include "platform/Process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>

#include <dirent.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace QORAPI {

int32_t CountOpenHandles()
{
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    int32_t n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n - 1;  // the listing's own descriptor
}

bool GetExecutablePath(std::string& out)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0)
        return false;
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

bool StartProcess(const std::string& program, const std::vector<std::string>& args, ChildProcess& out)
{
    std::vector<std::string> all;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    out.mHandle = pid;
    return true;
}

bool WaitProcess(ChildProcess& child, uint32_t timeoutMs, int& exitCode)
{
    if (child.mHandle == -1)
        return false;
    const pid_t pid = static_cast<pid_t>(child.mHandle);
    uint32_t waited = 0;
    for (;;)
    {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
        {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
            child.mHandle = -1;
            return true;
        }
        if (r < 0 && errno != EINTR)
        {
            exitCode = -1;
            child.mHandle = -1;
            return true;
        }
        if (waited >= timeoutMs)
            return false;
        const struct timespec pause = {0, 5 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
        waited += 5;
    }
}

void KillProcess(ChildProcess& child)
{
    if (child.mHandle == -1)
        return;
    const pid_t pid = static_cast<pid_t>(child.mHandle);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    child.mHandle = -1;
}

} // namespace QORAPI
