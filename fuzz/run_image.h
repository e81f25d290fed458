// The input format of the whole-run fuzz target: the files of one run
// directory packed into one byte string, shared by the target (which unpacks
// it into a directory) and the start-corpus generator (which packs runs
// written by the project's run writer).
//
// Sections are separated by the four bytes of kSeparator. The first byte of
// a section selects the file; the rest is the file's content:
//   bits 0-4: the file, by kFileNames index (taken modulo its size)
//   bit 5:    the name gets a prefix ("X" + name), as copied runs have
//   bit 6:    the name is written in lower case
//   bit 7:    a directory of that name is made instead of a file
// A later section for the same name replaces the earlier one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::fuzz {

inline constexpr std::string_view kSeparator{"\0KRF", 4};

inline constexpr std::array<std::string_view, 20> kFileNames{
    "_HEADER.TXT",  "_extern.inf",  "_FUNCTNS.INF", "_CHROMS.INF",  "_CHRO003.DAT", "_CHRO004.DAT",
    "_FUNC001.IDX", "_FUNC001.DAT", "_FUNC001.STS", "_FUNC002.IDX", "_FUNC002.DAT", "_FUNC002.STS",
    "_FUNC003.IDX", "_FUNC003.DAT", "_FUNC003.STS", "_FUNC004.IDX", "_FUNC004.DAT", "_FUNC004.STS",
    "_CHRO005.DAT", "_FUNC001.DAT.bak",
};

inline constexpr std::uint8_t kPrefixed = 0x20;
inline constexpr std::uint8_t kLowerCase = 0x40;
inline constexpr std::uint8_t kDirectory = 0x80;

struct PackedFile {
    std::string name;
    bool directory = false;
    std::string_view content;
};

// The files of a packed run, in input order.
inline std::vector<PackedFile> unpack_run(std::string_view input) {
    std::vector<PackedFile> files;
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find(kSeparator, start);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view section = input.substr(start, end - start);
        if (!section.empty()) {
            const auto selector = static_cast<std::uint8_t>(section[0]);
            PackedFile f;
            f.name = std::string(kFileNames[(selector & 0x1F) % kFileNames.size()]);
            if (selector & kLowerCase)
                for (char& c : f.name)
                    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (selector & kPrefixed) f.name.insert(0, "X");
            f.directory = (selector & kDirectory) != 0;
            f.content = section.substr(1);
            files.push_back(std::move(f));
        }
        start = end + kSeparator.size();
    }
    return files;
}

// Appends one file to a packed run.
inline void pack_file(std::string& out, std::uint8_t selector, std::string_view content) {
    if (!out.empty()) out += kSeparator;
    out += static_cast<char>(selector);
    out += content;
}

}  // namespace kestrune::fuzz
