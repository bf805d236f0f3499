// Console input and output on file descriptors: single bytes in, raw bytes
// out, and a scope during which a terminal neither echoes nor waits for a
// whole line.
//
// Thread safety: the functions may be called from any thread; a descriptor is
// read by one thread at a time. ConsoleRawScope objects must not overlap on
// the same terminal.
#ifndef QORAPI_PLATFORM_CONSOLE_H
#define QORAPI_PLATFORM_CONSOLE_H

#include <cstddef>
#include <memory>

namespace QORAPI {

// Descriptors of the process's standard input and output.
int ConsoleStdIn();
int ConsoleStdOut();

// True when fd is a terminal.
bool ConsoleIsTerminal(int fd);

// One byte from fd (0..255), unbuffered so that nothing beyond it is consumed;
// -1 at end of input or on error.
int ConsoleReadByte(int fd);

// Writes all bytes (best effort; errors are ignored).
void ConsoleWrite(int fd, const char* data, size_t len);

// A pipe, so that console input can come from another source (a program
// feeding keys, a test); false when it cannot be created.
bool ConsoleCreatePipe(int& readFd, int& writeFd);
void ConsoleClose(int fd);

// While alive, a terminal fd delivers each key at once and echoes nothing;
// its previous settings come back at destruction. No effect on a non-terminal.
class ConsoleRawScope
{
public:
    explicit ConsoleRawScope(int fd);
    ~ConsoleRawScope();

    ConsoleRawScope(const ConsoleRawScope&) = delete;
    ConsoleRawScope& operator=(const ConsoleRawScope&) = delete;

private:
    struct Saved;
    int mFd;
    std::unique_ptr<Saved> mSaved;   // null when nothing was changed
};

} // namespace QORAPI

#endif
