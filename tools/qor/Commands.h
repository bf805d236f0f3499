// The sub-commands of qor. Each takes the arguments after its name and returns
// the exit code of the process.
#ifndef QORAPI_TOOLS_QOR_COMMANDS_H
#define QORAPI_TOOLS_QOR_COMMANDS_H

#include "auth/AuthContext.h"
#include "tools/qor/Cli.h"

#include <string>
#include <vector>

namespace QORAPI {
namespace Qor {

typedef std::vector<std::string> ArgList;

// The login options every command that logs in takes.
extern const std::vector<std::string> kLoginValues;   // --auth-server --user --password --community
// Logs in with the login options (asking for the password when none is
// given); the status of the login, with the context in out.
WSStatus LoginFromArgs(const Args& args, uint32_t timeout, SmartPtr<AuthContext>& out, std::string& error);

int CmdLocal(const ArgList& args);
int CmdDir(const ArgList& args);
int CmdLogin(const ArgList& args);
int CmdPing(const ArgList& args);
int CmdHost(const ArgList& args);
int CmdConnect(const ArgList& args);

} // namespace Qor
} // namespace QORAPI

#endif
