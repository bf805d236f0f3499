// Login with automatic renewal: logs a user in, lets the context renew the
// certificate on its own before it expires, and renews once more on demand
// asynchronously, waiting for the outcome.
//   login_renewal HOST:PORT [USER PASSWORD]   (the authentication server)
#include "QORAPI.h"
#include "auth/AuthContext.h"
#include "auth/AuthPeerData.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace QORAPI;

int main(int argc, char** argv)
{
    InetAddress server;
    if ((argc != 2 && argc != 4) || !server.SetFromText(argv[1]))
    {
        std::fprintf(stderr, "usage: login_renewal HOST:PORT [USER PASSWORD]\n");
        return 2;
    }
    const std::string user = argc == 4 ? argv[2] : "player";
    const std::string password = argc == 4 ? argv[3] : "secret";
    QORAPICore core(true, true, true);

    // The context holds who logs in, where, and the credentials it gets.
    SmartPtr<AuthContext> auth = new AuthContext(std::u16string(user.begin(), user.end()), u"qor",
                                                 std::u16string(password.begin(), password.end()));
    auth->AddAddress(server);
    // With automatic renewal on, each successful login arms a timer that
    // renews the certificate a little before it expires (RenewAheadSeconds).
    auth->SetAutoRefresh(true);

    const WSStatus login = auth->Refresh(10000);   // blocking login
    std::printf("login: %s\n", WSStatusToString(login));
    if (login != WS_Success)
        return 1;
    SmartPtr<AuthPeerData> first = auth->GetPeerData();
    std::printf("certificate valid for %u s; automatic renewal armed: %s\n", first->GetSecondsUntilExpiry(),
                auth->GetRefreshTimer() ? "yes" : "no");

    // A renewal on demand, asynchronous: the waiter completes with the
    // renewal's status. Here the main thread just polls it (bounded).
    SmartPtr<LightGetCertOp> waiter = new LightGetCertOp();
    auth->RefreshAsync(waiter, 10000);
    for (int i = 0; i < 400 && (waiter->IsPending() || waiter->IsAwaitingCompletion()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::printf("renewal: %s; the context holds the new certificate: %s\n", WSStatusToString(waiter->GetStatus()),
                waiter->GetPeerData() == auth->GetPeerData() ? "yes" : "no");

    // Stop renewing before the context goes away.
    auth->CancelRefresh();
    return waiter->GetStatus() == WS_Success && auth->GetPeerData() != first ? 0 : 1;
}
