// The token-management library Drumvale as the tray program sees it: its
// functions (drumvale.h) and the records the program fills from them.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

#include "drumvale.h"

namespace pruvell {

inline constexpr int max_tokens = DRUMVALE_MAX_TOKENS;         // the token table
inline constexpr int max_containers = DRUMVALE_MAX_CONTAINERS; // names per token
inline constexpr uint32_t container_buffer_size = 8192;
inline constexpr uint32_t certificate_buffer_size = 16384;

// One token.
struct TQ9Info {
    char Label[33] = {};
    char Manufacturer[129] = {};
    char Model[65] = {};
    char SerialNumber[65] = {};
    uint32_t MaxPinLen = 0;
    uint32_t MinPinLen = 0;
    uint32_t Unused[6] = {};
    uint32_t Initialised = 0; // 0 = not initialised
    int ContainerCount = 0;
    std::array<QString, max_containers> ContainerNames;
};

// One certificate.
struct TQ9CertInfo {
    std::vector<uint8_t> Der; // at most certificate_buffer_size bytes
    QString Subject;
    QString Issuer;
    uint32_t Version = 0;
    QString Serial;
    QString NotBeforeText; // "yyyy-mm-dd"
    QString NotAfterText;
    uint32_t NotBefore[9] = {};
    uint32_t NotAfter[9] = {};
    uint32_t KeyAlgorithm = 0; // the two public-key outputs
    uint32_t KeyBits = 0;
    uint32_t Kind = 0; // 0 end entity, 1 self-signed root, 2 other CA
};

} // namespace pruvell
