#include "apdu.h"

#include "byte_order.h"

namespace cardsim {

std::optional<command_apdu> parse_apdu(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4) return std::nullopt;
    command_apdu a;
    a.cla = bytes[0];
    a.ins = bytes[1];
    a.p1 = bytes[2];
    a.p2 = bytes[3];
    const size_t n = bytes.size();
    if (n == 4) {
        a.form = apdu_case::case1;
        return a;
    }
    if (n == 5) { // short Le only
        a.form = apdu_case::case2s;
        a.ne = bytes[4] == 0 ? 256 : bytes[4];
        return a;
    }
    if (bytes[4] != 0) { // short Lc (1..255)
        const size_t lc = bytes[4];
        if (n == 5 + lc) {
            a.form = apdu_case::case3s;
        } else if (n == 6 + lc) {
            a.form = apdu_case::case4s;
            a.ne = bytes[n - 1] == 0 ? 256 : bytes[n - 1];
        } else {
            return std::nullopt;
        }
        a.data = bytes.subspan(5, lc);
        return a;
    }
    // Byte 4 is 00: the extended forms (a 6-byte APDU fits none of them).
    if (n < 7) return std::nullopt;
    if (n == 7) {
        a.form = apdu_case::case2e;
        const uint32_t le = get_be16(&bytes[5]);
        a.ne = le == 0 ? 0x10000 : le;
        return a;
    }
    const size_t lc = get_be16(&bytes[5]);
    if (lc == 0) return std::nullopt; // an extended Lc of 0 is not allowed
    if (n == 7 + lc) {
        a.form = apdu_case::case3e;
    } else if (n == 9 + lc) {
        a.form = apdu_case::case4e;
        const uint32_t le = get_be16(&bytes[n - 2]);
        a.ne = le == 0 ? 0x10000 : le;
    } else {
        return std::nullopt;
    }
    a.data = bytes.subspan(7, lc);
    return a;
}

} // namespace cardsim
