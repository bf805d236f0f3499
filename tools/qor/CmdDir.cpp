// qor dir: the directory service from the command line: ls (a tree), find,
// add, rm and set-data, each one request of the library's directory
// operations, blocking.
#include "QORAPI.h"
#include "auth/ServerContext.h"
#include "dir/AddEntityOp.h"
#include "dir/EntitySetDataObjectsOp.h"
#include "dir/FindEntityOp.h"
#include "dir/GetDirOp.h"
#include "dir/RemoveEntityOp.h"
#include "tools/qor/Cli.h"
#include "tools/qor/Commands.h"

#include <cstdio>

namespace QORAPI {
namespace Qor {

namespace {

// The meanings the directory service gives to the flag and mode fields.
const uint8_t kAddUnique = 0x01;
const uint8_t kAddCreatePath = 0x02;
const uint8_t kSetDataAddReplace = 1;
const uint8_t kSetDataReplaceAll = 2;
const uint8_t kMatchExact = 0;
const uint8_t kMatchPrefix = 1;
const uint8_t kMatchSubstring = 2;
const uint8_t kMatchAll = 0x01;
const uint8_t kMatchRecursive = 0x02;

const char* const kDirHelp =
    "Usage: qor dir ls [PATH] [--depth N]\n"
    "       qor dir find NAME [--path PATH] [--dirs] [--prefix|--substring]\n"
    "       qor dir add PATH [HOST:PORT] [--display TEXT] [--lifespan S] [--data TYPE=VALUE]...\n"
    "       qor dir rm PATH [HOST:PORT]\n"
    "       qor dir set-data PATH [HOST:PORT] TYPE=VALUE... [--replace-all]\n"
    "Common options: --dir HOST:PORT[,...] (default 127.0.0.1:15800), --timeout MS (default 5000),\n"
    "--json, --help; --auth logs in first (--auth-server, --user, --password, --community)\n"
    "and sends authenticated requests.\n\n"
    "PATH names a directory (\"/games/chess\"); with HOST:PORT, its last part names a\n"
    "service in the directory before it (\"/games/chess/Lobby 127.0.0.1:4000\").\n"
    "add creates missing directories of the path. ls prints the tree below PATH\n"
    "(default \"/\") to the given depth (default: all of it).\n";

struct Target
{
    bool mService = false;
    std::u16string mPath;    // directory: its path; service: its directory
    std::u16string mName;    // service only
    InetAddress mAddress;    // service only
};

bool SplitTarget(const std::string& path, const std::string* address, Target& out, std::string& error)
{
    if (path.empty() || path[0] != '/')
    {
        error = "a path starts with '/': " + path;
        return false;
    }
    if (!address)
    {
        out.mPath = Widen(path);
        return true;
    }
    if (!ParseAddress(*address, out.mAddress))
    {
        error = "bad address: " + *address;
        return false;
    }
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    if (trimmed.size() <= 1)
    {
        error = "a service needs a name after its directory: " + path;
        return false;
    }
    out.mService = true;
    out.mPath = Widen(slash == 0 ? std::string("/") : trimmed.substr(0, slash));
    out.mName = Widen(trimmed.substr(slash + 1));
    return true;
}

bool ParseData(const std::string& text, std::string& type, std::string& value)
{
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    type = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

SmartPtr<ByteBuffer> Bytes(const std::string& s) { return new ByteBuffer(s.data(), static_cast<uint32_t>(s.size())); }

std::string DataText(const DirDataObject& o)
{
    return o.mType + "=" + (o.mData ? o.mData->ToString() : std::string());
}

std::string EntityJson(const DirEntity& e, const std::string& path)
{
    std::string data;
    for (const DirDataObject& o : e.GetDataObjects())
        data += (data.empty() ? "" : ",") +
                Json().Field("type", o.mType).Field("value", o.mData ? o.mData->ToString() : std::string()).Str();
    Json j;
    j.Field("type", e.IsDirectory() ? "dir" : "service").Field("path", path).Field("name", Narrow(e.GetName()));
    if (e.IsService())
        j.Field("address", e.GetAddress().GetText());
    j.Field("display", Narrow(e.GetDisplayName())).Raw("data", "[" + data + "]");
    return j.Str();
}

std::string EntityLine(const DirEntity& e)
{
    std::string line = Narrow(e.GetName()) + (e.IsDirectory() ? "/" : "");
    if (e.IsService())
        line += "  " + e.GetAddress().GetText();
    if (!e.GetDisplayName().empty())
        line += "  \"" + Narrow(e.GetDisplayName()) + "\"";
    for (const DirDataObject& o : e.GetDataObjects())
        line += "  " + DataText(o);
    return line;
}

std::u16string Join(const std::u16string& dir, const std::u16string& name)
{
    return (dir == u"/" ? std::u16string() : dir) + u"/" + name;
}

// Common state of one dir run.
struct DirRun
{
    SmartPtr<ServerContext> mServers;
    SmartPtr<AuthContext> mAuth;
    uint32_t mTimeout = 5000;
    bool mJson = false;

    void Prepare(ServerRequestOp& op) const
    {
        if (mAuth)
        {
            op.SetAuthType(1);
            op.SetAuthContext(mAuth);
        }
    }
};

// Lists path and, below depth, its directories; the first failure ends the walk.
WSStatus Walk(const DirRun& run, const std::u16string& path, uint32_t depth, uint32_t maxDepth,
              std::string& text, std::string& json)
{
    SmartPtr<GetDirOp> list = new GetDirOp(run.mServers);
    run.Prepare(*list);
    list->SetPath(path);
    list->SetGetFlags(DirGetFlags_Default | DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
    list->RunBlock(run.mTimeout);
    if (list->GetStatus() != WS_Success)
        return list->GetStatus();
    for (const DirEntityPtr& e : list->GetEntities())
    {
        text += std::string(2 * depth + 2, ' ') + EntityLine(*e) + "\n";
        json += (json.empty() ? "" : ",") + EntityJson(*e, Narrow(path));
        if (e->IsDirectory() && depth + 1 < maxDepth)
        {
            const WSStatus status = Walk(run, Join(path, e->GetName()), depth + 1, maxDepth, text, json);
            if (status != WS_Success)
                return status;
        }
    }
    return WS_Success;
}

int Report(const DirRun& run, const std::string& what, WSStatus status, const std::string& extraJson = "")
{
    if (status != WS_Success)
    {
        if (run.mJson)
            Out(Json()
                    .Field("status", WSStatusToString(status))
                    .Field("exit", static_cast<int64_t>(ExitCodeOf(status)))
                    .Str() +
                "\n");
        return FailStatus("dir", what, status);
    }
    if (run.mJson)
    {
        Json j;
        j.Field("status", "WS_Success");
        if (!extraJson.empty())
            j.Raw("result", extraJson);
        Out(j.Str() + "\n");
    }
    else
        Out(what + ": WS_Success\n");
    return Exit_Ok;
}

} // namespace

int CmdDir(const ArgList& argv)
{
    Args args;
    std::string error;
    std::vector<std::string> values = kCommonValues;
    values.insert(values.end(), {"--dir", "--depth", "--path", "--display", "--lifespan", "--data"});
    values.insert(values.end(), kLoginValues.begin(), kLoginValues.end());
    if (!args.Parse(argv, {"--json", "--help", "--dirs", "--prefix", "--substring", "--replace-all", "--auth"},
                    values, error))
        return Fail("dir", Exit_Usage, error + " (try --help)");
    const ArgList& pos = args.Positional();
    if (args.Has("--help"))
    {
        std::printf("%s", kDirHelp);
        return Exit_Ok;
    }
    if (pos.empty())
        return Fail("dir", Exit_Usage, "expected ls, find, add, rm or set-data (try --help)");
    const std::string verb = pos[0];
    DirRun run;
    run.mJson = args.Has("--json");
    if (!args.GetNumber("--timeout", 600000, 5000, run.mTimeout, error))
        return Fail("dir", Exit_Usage, error);
    std::vector<InetAddress> servers;
    if (!AddressOption(args, "--dir", Port_Dir, servers, error))
        return Fail("dir", Exit_Usage, error);
    run.mServers = new ServerContext;
    run.mServers->SetShuffle(false);
    for (const InetAddress& a : servers)
        run.mServers->AddAddress(a);

    // Checks the positional arguments before anything goes out.
    Target target;
    std::vector<std::pair<std::string, std::string>> data;
    if (verb == "ls")
    {
        if (pos.size() > 2)
            return Fail("dir", Exit_Usage, "ls takes one path (try --help)");
        if (pos.size() == 2 && !SplitTarget(pos[1], nullptr, target, error))
            return Fail("dir", Exit_Usage, error);
    }
    else if (verb == "find")
    {
        if (pos.size() != 2)
            return Fail("dir", Exit_Usage, "find takes one name (try --help)");
    }
    else if (verb == "add" || verb == "rm")
    {
        if (pos.size() < 2 || pos.size() > 3)
            return Fail("dir", Exit_Usage, verb + " takes PATH [HOST:PORT] (try --help)");
        if (!SplitTarget(pos[1], pos.size() == 3 ? &pos[2] : nullptr, target, error))
            return Fail("dir", Exit_Usage, error);
        if (verb == "add" && !target.mService)
        {
            std::string trimmed = pos[1];
            while (trimmed.size() > 1 && trimmed.back() == '/')
                trimmed.pop_back();
            if (trimmed.size() <= 1)
                return Fail("dir", Exit_Usage, "the root exists already");
        }
    }
    else if (verb == "set-data")
    {
        if (pos.size() < 3)
            return Fail("dir", Exit_Usage, "set-data takes PATH [HOST:PORT] TYPE=VALUE... (try --help)");
        size_t first = 2;
        std::string type, value;
        const bool withAddress = !ParseData(pos[2], type, value);
        if (withAddress)
            first = 3;
        if (!SplitTarget(pos[1], withAddress ? &pos[2] : nullptr, target, error))
            return Fail("dir", Exit_Usage, error);
        for (size_t i = first; i < pos.size(); ++i)
        {
            if (!ParseData(pos[i], type, value))
                return Fail("dir", Exit_Usage, "expected TYPE=VALUE: " + pos[i]);
            data.emplace_back(type, value);
        }
        if (data.empty())
            return Fail("dir", Exit_Usage, "set-data needs at least one TYPE=VALUE");
    }
    else
        return Fail("dir", Exit_Usage, "unknown dir command " + verb + " (try --help)");
    for (const std::string& d : args.GetAll("--data"))
    {
        std::string type, value;
        if (!ParseData(d, type, value))
            return Fail("dir", Exit_Usage, "expected --data TYPE=VALUE: " + d);
        data.emplace_back(type, value);
    }
    uint32_t lifespan = 0;
    uint32_t depth = 0xFFFFFFFFu;
    if (!args.GetNumber("--lifespan", 0x7FFFFFFF, 0, lifespan, error) ||
        !args.GetNumber("--depth", 1000, 0xFFFFFFFFu, depth, error))
        return Fail("dir", Exit_Usage, error);

    QORAPICore core(true, true, true);
    if (args.Has("--auth"))
    {
        const WSStatus login = LoginFromArgs(args, run.mTimeout, run.mAuth, error);
        if (login != WS_Success)
            return error.empty() ? FailStatus("dir", "login", login) : Fail("dir", Exit_Usage, error);
    }

    if (verb == "ls")
    {
        const std::u16string path = pos.size() == 2 ? target.mPath : u"/";
        std::string text, json;
        const WSStatus status = Walk(run, path, 0, depth == 0 ? 1 : depth, text, json);
        if (status == WS_Success && !run.mJson)
        {
            Out(Narrow(path) + "\n" + text);
            return Exit_Ok;
        }
        return Report(run, "ls " + Narrow(path), status, "[" + json + "]");
    }
    if (verb == "find")
    {
        SmartPtr<FindEntityOp> find = new FindEntityOp(run.mServers, !args.Has("--dirs"));
        run.Prepare(*find);
        find->SetPath(Widen(args.Get("--path", "/")));
        find->SetName(Widen(pos[1]));
        find->SetMatchMode(args.Has("--prefix") ? kMatchPrefix
                                                : args.Has("--substring") ? kMatchSubstring : kMatchExact);
        find->SetMatchFlags(kMatchAll | kMatchRecursive);
        find->SetGetFlags(DirGetFlags_Default | DirGetFlag_ServicePath | DirGetFlag_DirPath |
                          DirGetFlag_DataObjectTypes | DirGetFlag_DataObjectData);
        find->RunBlock(run.mTimeout);
        std::string text, json;
        for (const DirEntityPtr& e : find->GetEntities())
        {
            text += Narrow(e->GetPath()) + "  " + EntityLine(*e) + "\n";
            json += (json.empty() ? "" : ",") + EntityJson(*e, Narrow(e->GetPath()));
        }
        if (find->GetStatus() == WS_Success && !run.mJson)
        {
            Out(text.empty() ? "no match\n" : text);
            return Exit_Ok;
        }
        return Report(run, "find " + pos[1], find->GetStatus(), "[" + json + "]");
    }
    if (verb == "add")
    {
        SmartPtr<AddEntityOp> add = new AddEntityOp(run.mServers, target.mService);
        run.Prepare(*add);
        add->SetFlags(kAddUnique | kAddCreatePath);
        if (target.mService)
        {
            add->SetPath(target.mPath);
            add->SetName(target.mName);
            add->SetNetAddress(target.mAddress);
        }
        else
        {
            // A directory is added as a name inside its parent.
            std::string full = pos[1];
            while (full.size() > 1 && full.back() == '/')
                full.pop_back();
            const size_t slash = full.rfind('/');
            add->SetPath(Widen(slash == 0 ? std::string("/") : full.substr(0, slash)));
            add->SetName(Widen(full.substr(slash + 1)));
        }
        add->SetDisplayName(Widen(args.Get("--display")));
        add->SetLifespan(lifespan);
        for (const auto& d : data)
            add->AddDataObject(d.first, Bytes(d.second));
        add->RunBlock(run.mTimeout);
        return Report(run, "add " + pos[1], add->GetStatus());
    }
    if (verb == "rm")
    {
        SmartPtr<RemoveEntityOp> remove = new RemoveEntityOp(run.mServers, target.mService);
        run.Prepare(*remove);
        remove->SetPath(target.mPath);
        if (target.mService)
        {
            remove->SetName(target.mName);
            remove->SetNetAddress(target.mAddress);
        }
        remove->RunBlock(run.mTimeout);
        return Report(run, "rm " + pos[1], remove->GetStatus());
    }
    SmartPtr<EntitySetDataObjectsOp> set = new EntitySetDataObjectsOp(run.mServers, target.mService);
    run.Prepare(*set);
    set->SetPath(target.mPath);
    if (target.mService)
    {
        set->SetName(target.mName);
        set->SetNetAddress(target.mAddress);
    }
    set->SetMode(args.Has("--replace-all") ? kSetDataReplaceAll : kSetDataAddReplace);
    for (const auto& d : data)
        set->AddDataObject(d.first, Bytes(d.second));
    set->RunBlock(run.mTimeout);
    return Report(run, "set-data " + pos[1], set->GetStatus());
}

} // namespace Qor
} // namespace QORAPI
