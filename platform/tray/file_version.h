// Stands in for a program file's version resource (VS_VERSIONINFO with its
// VS_FIXEDFILEINFO root block) and GetFileVersionInfoSize /
// GetFileVersionInfo / VerQueryValue("\").
//
// A program or library of ours carries the fixed block in an ELF section of
// its own, ".tavrel_version", placed there with TAVREL_FILE_VERSION. The
// reader checks the ELF headers and every offset and length it takes from
// the file.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

struct file_version_block {
    uint32_t signature;      // 0xFEEF04BD, as VS_FIXEDFILEINFO
    uint32_t struct_version; // 0x00010000
    uint32_t file_version_ms;
    uint32_t file_version_ls;
    uint32_t product_version_ms;
    uint32_t product_version_ls;
};
static_assert(sizeof(file_version_block) == 24);

inline constexpr uint32_t file_version_signature = 0xFEEF04BD;

enum class version_status {
    none,       // no version resource (no such section, not an ELF file, no file)
    ok,         // block read
    unreadable, // the section is there but cannot be read or is malformed
};

version_status read_file_version(const std::string& path, file_version_block& out);

} // namespace plat

// Places the version block of the program or library being built.
#define TAVREL_FILE_VERSION(a, b, c, d)                                                            \
    extern "C" __attribute__((used, section(".tavrel_version")))                                   \
    const plat::file_version_block tavrel_file_version_block = {plat::file_version_signature,      \
                                                                0x00010000u,                       \
                                                                ((a) << 16) | (b),                 \
                                                                ((c) << 16) | (d),                 \
                                                                ((a) << 16) | (b),                 \
                                                                ((c) << 16) | (d)}
