// A plain description of a remote list for the remote file's tests: lists are
// compared through Dump(), which prints records and descriptions alike.
#pragma once

#include "quillet.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

struct BlockData {
    uint32_t number = 0;
    char kind = 0;
    std::vector<uint8_t> bytes;
};

struct CommandData {
    std::optional<std::string> name;  // nullopt: a null Name
    std::vector<BlockData> blocks;
};

struct RemoteData {
    std::optional<std::string> name;
    uint32_t carrierFrequency = 0;
    uint32_t bitRate = 0;
    std::vector<CommandData> commands;
};

using ListData = std::vector<RemoteData>;

namespace remotemodel {

inline std::string Quote(const char *text)
{
    if (text == nullptr)
        return "null";
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        char escaped[8];
        if (*p < 0x20 || *p >= 0x7f || *p == '"' || *p == '\\')
            std::snprintf(escaped, sizeof escaped, "\\x%02x", *p);
        else
            std::snprintf(escaped, sizeof escaped, "%c", *p);
        out += escaped;
    }
    return out + "\"";
}

inline std::string BlockLine(uint32_t number, char kind, const uint8_t *bytes, uint32_t count)
{
    std::ostringstream out;
    char kindText[8];
    const auto k = static_cast<unsigned char>(kind);
    std::snprintf(kindText, sizeof kindText, k > 0x20 && k < 0x7f ? "'%c'" : "\\x%02x", k);
    out << "    block " << number << ' ' << kindText;
    for (uint32_t i = 0; i < count; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        out << ' ' << hex;
    }
    out << '\n';
    return out.str();
}

}  // namespace remotemodel

// One line per record, indented by depth; equal lists give equal dumps.
inline std::string Dump(const Remote *list)
{
    std::ostringstream out;
    for (const Remote *r = list; r; r = r->Next) {
        out << "remote " << remotemodel::Quote(r->Name) << ' ' << r->CarrierFrequency << ' ' << r->BitRate << '\n';
        for (const Command *c = r->Commands; c; c = c->Next) {
            out << "  command " << remotemodel::Quote(c->Name) << '\n';
            for (const CodeBlock *b = c->CodeBlocks; b; b = b->Next) {
                if (b->ByteCount > 0 && b->Bytes == nullptr)
                    out << "    block with null bytes\n";
                else
                    out << remotemodel::BlockLine(b->Number, b->Kind, b->Bytes, b->ByteCount);
            }
        }
    }
    return out.str();
}

inline std::string Dump(const ListData &list)
{
    std::ostringstream out;
    for (const RemoteData &r : list) {
        out << "remote " << remotemodel::Quote(r.name ? r.name->c_str() : nullptr) << ' ' << r.carrierFrequency
            << ' ' << r.bitRate << '\n';
        for (const CommandData &c : r.commands) {
            out << "  command " << remotemodel::Quote(c.name ? c.name->c_str() : nullptr) << '\n';
            for (const BlockData &b : c.blocks)
                out << remotemodel::BlockLine(b.number, b.kind, b.bytes.data(), static_cast<uint32_t>(b.bytes.size()));
        }
    }
    return out.str();
}

inline std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteWholeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// The seven-line example file and the list it holds.
inline const std::string kExampleFile =
    "Cable 38000 1200\n"
    "Power 1 A 0c 40\n"
    " 2 B ff\n"
    "Mute 1 A\n"
    "\n"
    "Amp 40000 600\n"
    "\n";

inline ListData ExampleList()
{
    return {
        {"Cable", 38000, 1200,
         {{"Power", {{1, 'A', {0x0c, 0x40}}, {2, 'B', {0xff}}}},
          {"Mute", {{1, 'A', {}}}}}},
        {"Amp", 40000, 600, {}},
    };
}
