#include "tools/qor/Cli.h"

#include "common/StringUtil.h"
#include "platform/Console.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace QORAPI {
namespace Qor {

const std::vector<std::string> kCommonFlags = {"--json", "--help"};
const std::vector<std::string> kCommonValues = {"--timeout"};

int ExitCodeOf(WSStatus status)
{
    const int32_t s = static_cast<int32_t>(status);
    switch (status)
    {
    case WS_Success: return Exit_Ok;
    case WS_DirServ_DirNotFound:
    case WS_DirServ_ServiceNotFound:
    case WS_DirServ_DataObjectNotFound: return Exit_NotFound;
    case WS_DirServ_DirExists:
    case WS_DirServ_ServiceExists:
    case WS_DirServ_DataObjectExists:
    case WS_CommServ_AlreadyExists: return Exit_Exists;
    case WS_TimedOut:
    case WS_AsyncSocket_ConnectFailed:
    case WS_ServerReq_FailedAllServers:
    case WS_ServerReq_NoServersSpecified:
    case WS_ServerReq_Send:
    case WS_ServerReq_Recv:
    case WS_CommServ_NotAvailable: return Exit_Unreachable;
    case WS_CommServ_NotAuthorized:
    case WS_CommServ_BadPeerCertificate:
    case WS_CommServ_ExpiredPeerCertificate:
    case WS_ServerReq_GetCertFailure:
    case WS_ServerReq_NeedAuthContext:
    case WS_AuthRequired: return Exit_AuthFailed;
    default: break;
    }
    if (s >= 10000 && s < 12000)   // socket errors of the system (WS_WSA_...)
        return Exit_Unreachable;
    if (s <= WS_AuthServ_FailureStart && s > WS_AuthServ_FailureStart - 100)
        return Exit_AuthFailed;
    if ((s >= WS_PeerAuthClient_Challenge1DecryptFailure && s <= WS_PeerAuth_GetCertFailure) ||
        (s >= WS_GetCert_PubKeyEncryptFailure && s <= WS_AuthData_SetPrivateKeyFailed))
        return Exit_AuthFailed;
    return Exit_Failed;
}

const char* ExitCodeName(int code)
{
    switch (code)
    {
    case Exit_Ok: return "ok";
    case Exit_Failed: return "failed";
    case Exit_Usage: return "usage";
    case Exit_Unreachable: return "unreachable";
    case Exit_AuthFailed: return "auth-failed";
    case Exit_NotFound: return "not-found";
    case Exit_Exists: return "exists";
    case Exit_Local: return "local";
    default: return "unknown";
    }
}

bool Args::Parse(const std::vector<std::string>& argv, const std::vector<std::string>& flags,
                 const std::vector<std::string>& values, std::string& error)
{
    auto known = [](const std::vector<std::string>& list, const std::string& name) {
        for (const std::string& n : list)
            if (n == name)
                return true;
        return false;
    };
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i)
    {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-')
        {
            mPositional.push_back(arg);
            continue;
        }
        if (arg == "--")
        {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h")
            arg = "--help";
        std::string inlineValue;
        bool hasInline = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos)
        {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInline = true;
        }
        if (known(flags, arg) && !hasInline)
            ++mFlags[arg];
        else if (known(values, arg))
        {
            if (!hasInline && i + 1 >= argv.size())
            {
                error = "missing value for " + arg;
                return false;
            }
            mValues[arg].push_back(hasInline ? inlineValue : argv[++i]);
        }
        else
        {
            error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

std::string Args::Get(const std::string& name, const std::string& fallback) const
{
    auto it = mValues.find(name);
    return it == mValues.end() || it->second.empty() ? fallback : it->second.back();
}

std::vector<std::string> Args::GetAll(const std::string& name) const
{
    auto it = mValues.find(name);
    return it == mValues.end() ? std::vector<std::string>() : it->second;
}

bool Args::GetNumber(const std::string& name, uint32_t max, uint32_t fallback, uint32_t& out,
                     std::string& error) const
{
    out = fallback;
    if (mValues.count(name) == 0)
        return true;
    const std::string text = Get(name);
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || text[0] == '-' || v > max)
    {
        error = "bad value for " + name + ": " + text;
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool ParseAddress(const std::string& text, InetAddress& out)
{
    std::string host = "127.0.0.1";
    std::string port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos)
    {
        if (colon > 0)
            host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    char* end = nullptr;
    const unsigned long p = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end || p == 0 || p > 65535)
        return false;
    return out.Set(host, static_cast<uint16_t>(p)) && out.IsValid();
}

bool ParseAddressList(const std::string& text, std::vector<InetAddress>& out)
{
    size_t start = 0;
    while (start <= text.size())
    {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        InetAddress a;
        if (!ParseAddress(text.substr(start, comma - start), a))
            return false;
        out.push_back(a);
        start = comma + 1;
    }
    return !out.empty();
}

bool AddressOption(const Args& args, const std::string& name, PortOffset offset, std::vector<InetAddress>& out,
                   std::string& error)
{
    if (!args.Has(name))
    {
        out.push_back(InetAddress(0x7F000001u, static_cast<uint16_t>(kDefaultPortBase + offset)));
        return true;
    }
    for (const std::string& text : args.GetAll(name))
        if (!ParseAddressList(text, out))
        {
            error = "bad address for " + name + ": " + text;
            return false;
        }
    return true;
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    Utf16ToUtf8(s, out);
    return out;
}

std::u16string Widen(const std::string& s)
{
    std::u16string out;
    if (!Utf8ToUtf16(s, out))
    {
        out.clear();
        for (unsigned char c : s)
            out += static_cast<char16_t>(c);
    }
    return out;
}

int Fail(const std::string& command, int code, const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "qor %s: %s\n", command.c_str(), message.c_str());
    return code;
}

int FailStatus(const std::string& command, const std::string& what, WSStatus status)
{
    const int code = ExitCodeOf(status);
    return Fail(command, code == Exit_Ok ? Exit_Failed : code,
                what + ": " + WSStatusToString(status) + " (exit " + std::to_string(code) + ", " +
                    ExitCodeName(code) + ")");
}

std::string ReadPassword(const std::string& prompt)
{
    const int in = ConsoleStdIn();
    std::string password;
    if (ConsoleIsTerminal(in))
    {
        std::fprintf(stderr, "%s", prompt.c_str());
        std::fflush(stderr);
        ConsoleRawScope raw(in);
        for (;;)
        {
            const int c = ConsoleReadByte(in);
            if (c < 0 || c == '\n' || c == '\r' || c == 4)
                break;
            if (c == 3)   // Ctrl-C: no password
            {
                password.clear();
                break;
            }
            if (c == 127 || c == 8)
            {
                if (!password.empty())
                    password.pop_back();
                continue;
            }
            password += static_cast<char>(c);
        }
        std::fprintf(stderr, "\n");
        return password;
    }
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

void Json::Key(const std::string& key)
{
    if (!mBody.empty())
        mBody += ",";
    mBody += Quote(key) + ":";
}

Json& Json::Field(const std::string& key, const std::string& value)
{
    Key(key);
    mBody += Quote(value);
    return *this;
}

Json& Json::Field(const std::string& key, int64_t value)
{
    Key(key);
    mBody += std::to_string(value);
    return *this;
}

Json& Json::Field(const std::string& key, bool value)
{
    Key(key);
    mBody += value ? "true" : "false";
    return *this;
}

Json& Json::Raw(const std::string& key, const std::string& json)
{
    Key(key);
    mBody += json;
    return *this;
}

std::string Json::Quote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20)
        {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

void Out(const std::string& text)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace Qor
} // namespace QORAPI
