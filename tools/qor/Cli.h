// The shared layer of the qor program: parsing of the common options, the
// exit codes, statuses by name, JSON output and console helpers. Each
// sub-command is a function taking its arguments (after its name) and
// returning the process's exit code.
//
// Thread safety: the program's main thread only, apart from Out, which
// callbacks on the pump thread may use; it takes its own lock.
#ifndef QORAPI_TOOLS_QOR_CLI_H
#define QORAPI_TOOLS_QOR_CLI_H

#include "QORSocket/InetAddress.h"
#include "common/WSStatus.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace QORAPI {
namespace Qor {

// Exit codes, one per kind of failure; docs/cli.md lists them.
enum ExitCode : int {
    Exit_Ok = 0,
    Exit_Failed = 1,        // the request failed for another reason (status printed)
    Exit_Usage = 2,         // bad arguments
    Exit_Unreachable = 3,   // no server answered (refused, timed out, unknown host)
    Exit_AuthFailed = 4,    // login or peer authentication refused
    Exit_NotFound = 5,      // the directory entity (or data object) does not exist
    Exit_Exists = 6,        // the entity (or data object) exists already
    Exit_Local = 7,         // a local failure: state file, port in use, key file
};

// The exit code a final status of a request gets.
int ExitCodeOf(WSStatus status);
const char* ExitCodeName(int code);

// Default ports of `qor local` (the port base and the offsets from it).
const uint16_t kDefaultPortBase = 15800;
enum PortOffset : uint16_t { Port_Dir = 0, Port_Auth = 1, Port_Host = 2, Port_PingUdp = 3, Port_PingTcp = 4 };

// Arguments of one sub-command: its options (--name value, or --flag) and its
// positional arguments. Options a command does not know are refused.
class Args
{
public:
    // flags: options without value; values: options with a value (repeatable).
    bool Parse(const std::vector<std::string>& argv, const std::vector<std::string>& flags,
               const std::vector<std::string>& values, std::string& error);
    bool Has(const std::string& name) const { return mFlags.count(name) != 0 || mValues.count(name) != 0; }
    std::string Get(const std::string& name, const std::string& fallback = std::string()) const;
    std::vector<std::string> GetAll(const std::string& name) const;
    const std::vector<std::string>& Positional() const { return mPositional; }

    // Number options; false with a message in error when malformed.
    bool GetNumber(const std::string& name, uint32_t max, uint32_t fallback, uint32_t& out, std::string& error) const;

private:
    std::map<std::string, int> mFlags;
    std::map<std::string, std::vector<std::string>> mValues;
    std::vector<std::string> mPositional;
};

// The common options every client command takes.
extern const std::vector<std::string> kCommonFlags;    // --json --help
extern const std::vector<std::string> kCommonValues;   // --timeout

// "HOST:PORT" or ":PORT" or "PORT" (host 127.0.0.1); false when malformed.
bool ParseAddress(const std::string& text, InetAddress& out);
// A comma-separated list of addresses.
bool ParseAddressList(const std::string& text, std::vector<InetAddress>& out);
// The address of an option, or 127.0.0.1:(port base + offset).
bool AddressOption(const Args& args, const std::string& name, PortOffset offset, std::vector<InetAddress>& out,
                   std::string& error);

std::string Narrow(const std::u16string& s);    // UTF-16 to UTF-8
std::u16string Widen(const std::string& s);     // UTF-8 to UTF-16

// Prints "qor CMD: message" on stderr and returns code.
int Fail(const std::string& command, int code, const std::string& message);
// Prints the status failure line ("qor CMD: what: STATUS") and returns its exit code.
int FailStatus(const std::string& command, const std::string& what, WSStatus status);

// Reads a password: with echo off from a terminal (after the prompt on
// stderr), else one line of standard input.
std::string ReadPassword(const std::string& prompt);

// A small JSON writer for --json output: one object per run.
class Json
{
public:
    Json& Field(const std::string& key, const std::string& value);
    Json& Field(const std::string& key, const char* value) { return Field(key, std::string(value)); }
    Json& Field(const std::string& key, int64_t value);
    Json& Field(const std::string& key, bool value);
    Json& Raw(const std::string& key, const std::string& json);
    std::string Str() const { return "{" + mBody + "}"; }
    static std::string Quote(const std::string& text);

private:
    void Key(const std::string& key);
    std::string mBody;
};

// Writes text to stdout under a lock and flushes.
void Out(const std::string& text);

} // namespace Qor
} // namespace QORAPI

#endif
