// Helpers of the login tests: a temporary folder and a library core whose
// file directory is that folder (so key stores and key files stay there).
#ifndef QORAPI_TESTS_AUTHTESTUTIL_H
#define QORAPI_TESTS_AUTHTESTUTIL_H

#include "QORAPI.h"
#include "QORSocket/SocketThreadEx.h"
#include "platform/FileSystem.h"

#include <filesystem>
#include <memory>
#include <string>

namespace QORAPI {
namespace AuthTest {

// A fresh folder under the build's temporary area, removed with its files.
class TempDir
{
public:
    TempDir() { CreateTemporaryDirectory("qorapi-auth-", mPath); }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    const std::string& Path() const { return mPath; }
    std::string File(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// A started core (pump thread, threaded, select-driven socket thread) whose file directory is dir.
inline std::unique_ptr<QORAPICore> StartCore(const std::string& dir)
{
    std::unique_ptr<QORAPICore> core(new QORAPICoreEx());
    core->SetUsePumpThread(true);
    core->SetSocketThread(new SocketThreadEx());
    core->SetFileDirectory(dir);
    core->Startup();
    return core;
}

} // namespace AuthTest
} // namespace QORAPI

#endif
