// Expected bytes of "cmapfile" and "cardcf", written out from the minidriver
// layout field by field (offsets as literals), independent of the module's
// serialiser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace storage_test {

struct expected_record {
    std::string name; // ASCII; empty with a non-zero flags: an all-zero GUID
    uint8_t flags;
    uint16_t sig_bits;
    uint16_t kex_bits;
};

// 8 records of 86 bytes: wszGuid[40] UTF-16LE at 0, bFlags at 80, bReserved
// at 81, wSigKeySizeBits at 82, wKeyExchangeKeySizeBits at 84.
inline std::vector<uint8_t> expected_cmapfile(const std::vector<expected_record>& records) {
    std::vector<uint8_t> file(688, 0);
    for (size_t r = 0; r < records.size(); ++r) {
        uint8_t* at = file.data() + 86 * r;
        const auto& e = records[r];
        for (size_t i = 0; i < e.name.size(); ++i)
            at[2 * i] = static_cast<uint8_t>(e.name[i]);
        at[80] = e.flags;
        at[82] = static_cast<uint8_t>(e.sig_bits);
        at[83] = static_cast<uint8_t>(e.sig_bits >> 8);
        at[84] = static_cast<uint8_t>(e.kex_bits);
        at[85] = static_cast<uint8_t>(e.kex_bits >> 8);
    }
    return file;
}

// bVersion, bPinsFreshness, wContainersFreshness (LE), wFilesFreshness (LE), zeros.
inline std::vector<uint8_t> expected_cardcf(uint8_t pins, uint16_t containers, uint16_t files) {
    std::vector<uint8_t> file(88, 0);
    file[0] = 1;
    file[1] = pins;
    file[2] = static_cast<uint8_t>(containers);
    file[3] = static_cast<uint8_t>(containers >> 8);
    file[4] = static_cast<uint8_t>(files);
    file[5] = static_cast<uint8_t>(files >> 8);
    return file;
}

} // namespace storage_test
