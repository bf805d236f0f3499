#include "QORAPI.h"

#include <cstdio>

int main()
{
    std::printf("%s\n", QORAPI::WSStatusToString(QORAPI::WS_Success));
    return 0;
}
