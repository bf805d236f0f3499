// Starts a library core, runs a plain operation as a 100 ms timer and prints
// the status its completion reports. The application pumps the core itself,
// so the completion runs on the main thread.
#include "QORAPI.h"

#include <cstdio>

using namespace QORAPI;

namespace {

bool gDone = false;

void OnTimer(SmartPtr<AsyncOp> op, SmartPtr<RefCount>)
{
    std::printf("timer completed: %s\n", WSStatusToString(op->GetStatus()));
    gDone = true;
}

} // namespace

int main()
{
    QORAPICore core(false, true, true);

    SmartPtr<AsyncOp> timer(new AsyncOp());
    timer->SetCompletion(new ParamCompletion<SmartPtr<AsyncOp>, SmartPtr<RefCount>>(&OnTimer, nullptr));
    const WSStatus started = timer->RunAsTimer(100);
    std::printf("timer started: %s\n", WSStatusToString(started));

    for (int i = 0; i < 100 && !gDone; ++i)
        core.Pump(50, 0);
    return gDone ? 0 : 1;
}
