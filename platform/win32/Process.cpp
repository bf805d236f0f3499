#include "platform/Process.h"
#include "platform/win32/OpenSockets.h"

#include <windows.h>

namespace QORAPI {

namespace {

// Quotes one argument the way the C run-time splits a command line.
void AppendQuoted(std::string& line, const std::string& arg)
{
    if (!line.empty())
        line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
    {
        line += arg;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        if (c == '"')
            line.append(backslashes * 2 + 1, '\\');
        else
            line.append(backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

} // namespace

// The system's count of the process's handles; where it is not kept (Wine
// answers 0), the sockets of the socket layer, the handles a leak most often is.
int32_t CountOpenHandles()
{
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count > 0 && count <= 0x7FFFFFFFu)
        return static_cast<int32_t>(count);
    return SockCountOpen();
}

bool GetExecutablePath(std::string& out)
{
    char buf[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameA(nullptr, buf, sizeof(buf));
    if (n == 0 || n >= sizeof(buf))
        return false;
    out.assign(buf, n);
    return true;
}

bool StartProcess(const std::string& program, const std::vector<std::string>& args, ChildProcess& out)
{
    std::string line;
    AppendQuoted(line, program);
    for (const std::string& a : args)
        AppendQuoted(line, a);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    out.mHandle = reinterpret_cast<intptr_t>(pi.hProcess);
    return true;
}

bool WaitProcess(ChildProcess& child, uint32_t timeoutMs, int& exitCode)
{
    if (child.mHandle == -1)
        return false;
    const HANDLE h = reinterpret_cast<HANDLE>(child.mHandle);
    const DWORD r = ::WaitForSingleObject(h, timeoutMs);
    if (r == WAIT_TIMEOUT)
        return false;
    DWORD code = static_cast<DWORD>(-1);
    if (r != WAIT_OBJECT_0 || !::GetExitCodeProcess(h, &code))
        code = static_cast<DWORD>(-1);
    exitCode = static_cast<int>(code);
    ::CloseHandle(h);
    child.mHandle = -1;
    return true;
}

void KillProcess(ChildProcess& child)
{
    if (child.mHandle == -1)
        return;
    const HANDLE h = reinterpret_cast<HANDLE>(child.mHandle);
    ::TerminateProcess(h, 1);
    ::WaitForSingleObject(h, INFINITE);
    ::CloseHandle(h);
    child.mHandle = -1;
}

} // namespace QORAPI
