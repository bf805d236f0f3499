#include "common/ConsoleInput.h"

#include "platform/Console.h"

namespace QORAPI {

std::string ReadConsoleLine(int mask)
{
    return ReadConsoleLine(mask, ConsoleStdIn(), ConsoleStdOut());
}

std::string ReadConsoleLine(int mask, int inFd, int outFd)
{
    std::string line;
    if (mask == -1)
    {
        for (;;)
        {
            const int c = ConsoleReadByte(inFd);
            if (c < 0 || c == '\n')
                break;
            line += static_cast<char>(c);
        }
        return line;
    }

    ConsoleRawScope raw(inFd);
    for (;;)
    {
        const int c = ConsoleReadByte(inFd);
        if (c < 0 || c == '\r' || c == '\n')
            break;
        if (c == 8 || c == 127)
        {
            if (!line.empty())
            {
                line.pop_back();
                ConsoleWrite(outFd, "\b \b", 3);
            }
            continue;
        }
        line += static_cast<char>(c);
        if (mask > 0)
        {
            const char shown = static_cast<char>(mask);
            ConsoleWrite(outFd, &shown, 1);
        }
    }
    ConsoleWrite(outFd, "\n", 1);
    return line;
}

} // namespace QORAPI
