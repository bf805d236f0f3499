#include "platform/Console.h"

#include <cerrno>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace QORAPI {

struct ConsoleRawScope::Saved
{
    termios mSettings;
};

int ConsoleStdIn() { return STDIN_FILENO; }
int ConsoleStdOut() { return STDOUT_FILENO; }

bool ConsoleIsTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

int ConsoleReadByte(int fd)
{
    for (;;)
    {
        unsigned char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 1)
            return c;
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

void ConsoleWrite(int fd, const char* data, size_t len)
{
    while (len > 0)
    {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

bool ConsoleCreatePipe(int& readFd, int& writeFd)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readFd = fds[0];
    writeFd = fds[1];
    return true;
}

void ConsoleClose(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

ConsoleRawScope::ConsoleRawScope(int fd) : mFd(fd)
{
    termios current;
    if (::tcgetattr(fd, &current) != 0)
        return;
    std::unique_ptr<Saved> saved(new Saved{current});
    termios raw = current;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) == 0)
        mSaved = std::move(saved);
}

ConsoleRawScope::~ConsoleRawScope()
{
    if (mSaved)
        ::tcsetattr(mFd, TCSANOW, &mSaved->mSettings);
}

} // namespace QORAPI
