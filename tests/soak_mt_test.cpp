// Soak: thousands of asynchronous operations of mixed kinds (every directory
// request kind against the local directory server, some failing over from a
// dead address, and framed receives on loopback pairs whose peer answers or
// stays silent), with random time limits and kills, and the library core shut
// down and started again half-way. Every run must end with exactly one
// completion, and no descriptor may stay open.
#include "DirOpCatalog.h"
#include "DirTestUtil.h"
#include "SocketTestUtil.h"

#include "QORSocket/RecvMsgOp.h"
#include "service/DirServer.h"
#include "platform/Process.h"

#include <gtest/gtest.h>


#include <deque>
#include <memory>
#include <random>

using namespace QORAPI;

namespace {

#if defined(__SANITIZE_THREAD__)
const int kOps = 1500;   // ThreadSanitizer runs every step many times slower
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
const int kOps = 1500;
#else
const int kOps = 10000;
#endif
#else
const int kOps = 10000;
#endif
const size_t kInFlight = 48;

struct Entry
{
    SmartPtr<AsyncOp> mOp;
    SmartPtr<DirTest::Waiter> mWaiter;
    SmartPtr<AsyncSocket> mClient;    // socket kinds: both ends of the pair
    SmartPtr<AsyncSocket> mServer;
};

} // namespace

// Shutdown kills what the threads and the queue hold and delivers every
// completion, also of runs caught between the socket thread and the queue.
TEST(Soak, MixedRunsWithKillsTimeLimitsAndAShutdownUnderLoad)
{
    std::shared_ptr<DirServerEngine> engine = std::make_shared<DirServerEngine>();
    DirCatalog::SeedCatalogTree(*engine);
    DirServer server(engine);
    ASSERT_EQ(server.Start(0), WS_Success);
    uint16_t deadPort = 0;
    {
        SmartPtr<AsyncSocket> listener = TestUtil::MakeListener(deadPort);
        listener->Close();   // nothing listens there any more: connects are refused
    }
    const int descriptorsBefore = CountOpenHandles();

    std::mt19937 rng(20240607);
    const std::vector<DirCatalog::OpKind>& kinds = DirCatalog::Kinds();
    std::unique_ptr<QORAPICore> core(new QORAPICore(true, true, true));
    std::deque<Entry> inFlight;
    std::vector<SmartPtr<DirTest::Waiter>> all;
    int completedBeforeShutdown = 0;
    int lost = 0;

    auto retire = [&](Entry& e) {
        // A lost completion is counted; waiting out the bound for each would take long.
        if (!e.mWaiter->WaitFor(1, lost ? 100 : 3000))
            ++lost;
        EXPECT_EQ(e.mWaiter->PendingInCompletion(), 0);
        if (e.mWaiter->Count() != 1)
            ADD_FAILURE() << "run with status " << WSStatusToString(e.mOp->GetStatus()) << " completed "
                          << e.mWaiter->Count() << " times";
        if (e.mClient)
            e.mClient->Close();
        if (e.mServer)
            e.mServer->Close();
    };

    for (int i = 0; i < kOps; ++i)
    {
        if (i == kOps / 2)
        {
            // Shut the core down under the running operations and start a new
            // one: every run still ends once.
            core.reset();
            for (Entry& e : inFlight)
                retire(e);
            inFlight.clear();
            for (const SmartPtr<DirTest::Waiter>& w : all)
                completedBeforeShutdown += w->Count();
            core.reset(new QORAPICore(true, true, true));
        }

        Entry e;
        e.mWaiter = new DirTest::Waiter;
        const uint32_t r = rng() % 10;
        bool answered = true;
        if (r < 7)
        {
            SmartPtr<ServerContext> context = new ServerContext;
            if (rng() % 4 == 0)
                context->AddAddress(DirTest::Local(deadPort));
            context->AddAddress(DirTest::Local(server.GetPort()));
            e.mOp = kinds[rng() % kinds.size()].mMake(context).Get();
        }
        else
        {
            TestUtil::MakePair(e.mClient, e.mServer);
            ASSERT_TRUE(e.mServer);
            e.mOp = new RecvMsgOp(e.mServer);
            answered = rng() % 2 == 0;
            if (answered)
                TestUtil::SendAll(*e.mClient, std::string("\x09\x00\x00\x00hello", 9));
        }
        e.mOp->SetCompletion(e.mWaiter->MakeCompletion());
        // A silent peer is left to the time limit or a kill.
        const uint32_t timeout = !answered || rng() % 3 == 0 ? 1 + rng() % 200 : 5000;
        e.mOp->RunAsync(timeout);
        if (rng() % 5 == 0)
        {
            if (rng() % 2)
                std::this_thread::yield();
            e.mOp->Kill(true);
        }
        all.push_back(e.mWaiter);
        inFlight.push_back(e);
        if (inFlight.size() >= kInFlight)
        {
            retire(inFlight.front());
            inFlight.pop_front();
        }
    }
    for (Entry& e : inFlight)
        retire(e);
    inFlight.clear();

    // No run completes twice, not even late.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int once = 0;
    for (const SmartPtr<DirTest::Waiter>& w : all)
        once += w->Count() == 1 ? 1 : 0;
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(once, kOps);
    EXPECT_EQ(completedBeforeShutdown, kOps / 2);

    // The server closes its ends once the clients have closed theirs.
    core.reset();
    for (int i = 0; i < 500 && CountOpenHandles() != descriptorsBefore; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(CountOpenHandles(), descriptorsBefore);
    server.Stop();
}
