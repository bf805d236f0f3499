#include "service/DirSeed.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace QORAPI {

namespace {

std::u16string Widen(const std::string& s)
{
    std::u16string out;
    for (unsigned char c : s)
        out += static_cast<char16_t>(c);
    return out;
}

// Splits a line into fields; quotes group blanks. False on an unclosed quote.
bool SplitFields(const std::string& line, std::vector<std::string>& fields)
{
    std::string current;
    bool inQuote = false;
    bool have = false;
    for (char c : line)
    {
        if (c == '"')
        {
            inQuote = !inQuote;
            have = true;
        }
        else if (!inQuote && (c == ' ' || c == '\t' || c == '\r'))
        {
            if (have)
                fields.push_back(current);
            current.clear();
            have = false;
        }
        else if (!inQuote && c == '#')
            break;
        else
        {
            current += c;
            have = true;
        }
    }
    if (have)
        fields.push_back(current);
    return !inQuote;
}

bool ParseNumber(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// "a.b.c.d:port" into the 6-byte wire form (port, then address, network order).
bool ParseAddress(const std::string& text, std::string& six)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    uint32_t port = 0;
    if (!ParseNumber(text.substr(colon + 1), port) || port > 0xFFFF)
        return false;
    std::string host = text.substr(0, colon);
    uint8_t addr[4];
    int part = 0;
    std::stringstream in(host);
    std::string piece;
    while (std::getline(in, piece, '.'))
    {
        uint32_t v = 0;
        if (part >= 4 || !ParseNumber(piece, v) || v > 255)
            return false;
        addr[part++] = static_cast<uint8_t>(v);
    }
    if (part != 4)
        return false;
    six.assign(1, static_cast<char>(port >> 8));
    six += static_cast<char>(port & 0xFF);
    six.append(reinterpret_cast<const char*>(addr), 4);
    return true;
}

} // namespace

const char* DirSeedFormatHelp()
{
    return "Seed file: one entry per line, '#' starts a comment, fields separated by blanks\n"
           "(a field with blanks in double quotes):\n"
           "  dir PATH [display=TEXT] [lifespan=SECONDS]\n"
           "  service PATH NAME IP:PORT [display=TEXT] [lifespan=SECONDS] [data:TYPE=VALUE]...\n"
           "Paths are '/'-separated (/games/chess); missing directories are created.\n"
           "Example:\n"
           "  dir /games/chess display=\"Chess servers\"\n"
           "  service /games/chess lobby 127.0.0.1:4000 display=\"Lobby 1\" data:map=forest\n";
}

bool LoadDirSeed(DirServerEngine& engine, const std::string& text, std::string& error)
{
    std::stringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line))
    {
        ++number;
        std::vector<std::string> f;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!SplitFields(line, f))
        {
            error = where + "unclosed quote";
            return false;
        }
        if (f.empty())
            continue;
        const bool isService = f[0] == "service";
        if (!isService && f[0] != "dir")
        {
            error = where + "unknown entry '" + f[0] + "' (expected dir or service)";
            return false;
        }
        const size_t fixed = isService ? 4 : 2;
        if (f.size() < fixed)
        {
            error = where + (isService ? "service needs PATH NAME IP:PORT" : "dir needs PATH");
            return false;
        }
        std::string six;
        if (isService && !ParseAddress(f[3], six))
        {
            error = where + "bad address '" + f[3] + "' (expected IP:PORT)";
            return false;
        }
        std::u16string display;
        uint32_t lifespan = 0;
        std::vector<std::pair<std::string, std::string>> objects;
        for (size_t i = fixed; i < f.size(); ++i)
        {
            const std::string& opt = f[i];
            if (opt.compare(0, 8, "display=") == 0)
                display = Widen(opt.substr(8));
            else if (opt.compare(0, 9, "lifespan=") == 0)
            {
                if (!ParseNumber(opt.substr(9), lifespan))
                {
                    error = where + "bad lifespan '" + opt.substr(9) + "'";
                    return false;
                }
            }
            else if (isService && opt.compare(0, 5, "data:") == 0 && opt.find('=') != std::string::npos)
            {
                const size_t eq = opt.find('=');
                objects.emplace_back(opt.substr(5, eq - 5), opt.substr(eq + 1));
            }
            else
            {
                error = where + "unknown option '" + opt + "'";
                return false;
            }
        }
        const WSStatus status = isService
                                    ? engine.AddService(Widen(f[1]), Widen(f[2]), six, display, lifespan, objects)
                                    : engine.AddDirectory(Widen(f[1]), display, lifespan);
        if (status != WS_Success)
        {
            error = where + WSStatusToString(status);
            return false;
        }
    }
    return true;
}

} // namespace QORAPI
