#include "platform/Console.h"

#include <fcntl.h>
#include <io.h>

#include <windows.h>

namespace QORAPI {

struct ConsoleRawScope::Saved
{
    HANDLE mHandle;
    DWORD mMode;
};

int ConsoleStdIn() { return 0; }
int ConsoleStdOut() { return 1; }

bool ConsoleIsTerminal(int fd)
{
    return ::_isatty(fd) != 0;
}

int ConsoleReadByte(int fd)
{
    unsigned char c;
    return ::_read(fd, &c, 1) == 1 ? c : -1;
}

void ConsoleWrite(int fd, const char* data, size_t len)
{
    while (len > 0)
    {
        const unsigned chunk = len > 0x10000u ? 0x10000u : static_cast<unsigned>(len);
        const int n = ::_write(fd, data, chunk);
        if (n <= 0)
            return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

bool ConsoleCreatePipe(int& readFd, int& writeFd)
{
    int fds[2];
    if (::_pipe(fds, 4096, _O_BINARY | _O_NOINHERIT) != 0)
        return false;
    readFd = fds[0];
    writeFd = fds[1];
    return true;
}

void ConsoleClose(int fd)
{
    if (fd >= 0)
        ::_close(fd);
}

// A console input handle delivers each key at once and without echo when
// line input and echo are off.
ConsoleRawScope::ConsoleRawScope(int fd) : mFd(fd)
{
    if (!ConsoleIsTerminal(fd))
        return;
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode))
        return;
    std::unique_ptr<Saved> saved(new Saved{h, mode});
    const DWORD raw = mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT);
    if (::SetConsoleMode(h, raw))
        mSaved = std::move(saved);
}

ConsoleRawScope::~ConsoleRawScope()
{
    if (mSaved)
        ::SetConsoleMode(mSaved->mHandle, mSaved->mMode);
}

} // namespace QORAPI
