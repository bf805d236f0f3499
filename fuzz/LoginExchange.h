// A login exchange between GetCertOp and the local authentication server
// without sockets, for the login fuzz target and its seed generator: the
// operation's request builder and reply handler are called the way the
// request loop calls them, and each request goes straight to the server.
// The authority's private key opens the session key the operation chose, so
// that replies can be sealed for it and sealed parts read. Sealed parts are
// kept with the key "fuzzkey!" in place of the session key, which changes
// from run to run.
#ifndef QORAPI_FUZZ_LOGINEXCHANGE_H
#define QORAPI_FUZZ_LOGINEXCHANGE_H

#include "QORCrypt/Blowfish.h"
#include "auth/AuthContext.h"
#include "auth/GetCertOp.h"
#include "common/Endian.h"
#include "common/ReadBuffer.h"
#include "service/AuthServer.h"
#include "service/LocalAuthority.h"

#include "RequestProbe.h"

#include <string>
#include <vector>

namespace QORAPI {
namespace LoginExchange {

class LoginProbe : public RequestProbe<GetCertOp>
{
public:
    explicit LoginProbe(const SmartPtr<AuthContext>& context) : RequestProbe<GetCertOp>(context) {}
    // Takes the verifier key and the context's state as a run does; with no
    // server addresses the request loop itself does not start.
    void Begin() { RunHook(); }
    WSStatus Build() { return BuildRequest(); }
    // The built request without its length field.
    std::string Request() const { return mRequest ? mRequest->ToString().substr(4) : std::string(); }
};

// The session key of a login request (no length field), opened with the
// authority's private key.
inline bool SessionKeyOf(const std::string& request, const LocalAuthority& authority, Blowfish& key)
{
    try
    {
        ReadBuffer rb(request.data(), static_cast<uint32_t>(request.size()));
        rb.ReadBytes(5 + 2);
        const uint16_t length = rb.ReadShort();
        const uint8_t* sealed = rb.ReadBytes(length);
        const SmartPtr<ByteBuffer> plain = authority.GetSigningPrivateKey().decrypt(sealed, length);
        return plain && key.setKey(plain->GetData(), plain->GetLength());
    }
    catch (const ReadBufferException&)
    {
        return false;
    }
}

// Splits a challenge (header, count, sealed) or a login reply (header,
// status, messages, items, sealed rest) into its plain head and its sealed
// part; false for anything else.
inline bool SplitSealed(const std::string& reply, std::string& head, std::string& sealed)
{
    try
    {
        ReadBuffer rb(reply.data(), static_cast<uint32_t>(reply.size()));
        rb.ReadBytes(3);
        const uint16_t type = rb.ReadShort();
        if (type == GetCertOp::Msg_Challenge)
        {
            head = reply.substr(0, 5);
            sealed = reply.substr(7, rb.ReadShort());
            return true;
        }
        if (type != GetCertOp::Msg_LoginReply || static_cast<int16_t>(rb.ReadShort()) < 0)
            return false;
        for (uint8_t n = rb.ReadByte(); n > 0; --n)
            rb.ReadBytes(rb.ReadShort());
        for (uint8_t n = rb.ReadByte(); n > 0; --n)
        {
            rb.ReadByte();
            rb.ReadBytes(rb.ReadShort());
        }
        const size_t at = reply.size() - rb.Remaining();
        head = reply.substr(0, at);
        sealed = reply.substr(at);
        return true;
    }
    catch (const ReadBufferException&)
    {
        return false;
    }
}

// A reply made of a plain head and a part sealed with key: after a
// challenge's head the sealed part is counted, after any other it runs to
// the end.
inline std::string Seal(const std::string& head, const std::string& plain, Blowfish& key)
{
    const SmartPtr<ByteBuffer> sealed = key.encrypt(plain.data(), static_cast<uint32_t>(plain.size()));
    const std::string s = sealed ? sealed->ToString() : std::string();
    std::string reply = head;
    if (head.size() >= 5 && LoadLE16(reinterpret_cast<const uint8_t*>(head.data()) + 3) == GetCertOp::Msg_Challenge)
    {
        reply += static_cast<char>(s.size() & 0xFF);
        reply += static_cast<char>((s.size() >> 8) & 0xFF);
    }
    return reply + s;
}

// Every copy of from in text replaced by to (of the same length).
inline std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    if (from.empty())
        return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The session key's bytes.
inline std::string KeyBytes(const Blowfish& key)
{
    return std::string(reinterpret_cast<const char*>(key.getKey()), key.getKeyLength());
}

// The server's replies to one request (no length fields).
inline std::vector<std::string> Serve(AuthServer& server, AuthServer::ConnState& state, const std::string& request,
                                      bool& close)
{
    const SmartPtr<ByteBuffer> req = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
    std::vector<std::string> out;
    for (const SmartPtr<ByteBuffer>& r : server.HandleRequest(state, req.Get(), close, 1))
        out.push_back(r ? r->ToString() : std::string());
    return out;
}

} // namespace LoginExchange
} // namespace QORAPI

#endif
