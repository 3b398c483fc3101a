// Device-level functions of the device API: enumeration, connection, label,
// device information and capabilities, device authentication, format, raw
// serial number, OEM information, raw sectors, inquiry string, application
// control, last status word and SKF_CloseHandle.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "gm_api.h"
#include "gm_dev_enum.h"
#include "gm_filters.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "sm4.h"
#include "sm_wrap.h"
#include "transport.h"

namespace {

namespace ci = gm_card_dev_info;

constexpr uint32_t sector_size = 2048;
constexpr uint8_t raw_write_operation = 0x2A;
constexpr uint8_t raw_read_operation = 0x28;
constexpr size_t oem_text_offset = 128;
constexpr size_t oem_text_size = 128;
constexpr size_t oem_filter_entries = 5;
constexpr size_t oem_filter_entry_max = 32;
constexpr uint32_t short_dev_info_size = 68;
constexpr size_t alias_offset = 32;
constexpr size_t alias_size = 32;
constexpr uint32_t raw_hwsn_capacity = 256;
constexpr uint32_t hash_cap_extra = 0x80080000;

// Whether the OEM identifier text is accepted by the OEM filter ("*": all;
// else up to 5 comma-separated identifiers of at most 32 characters, compared
// exactly). A blank text is always accepted.
bool oem_text_accepted(const std::string& text) {
    const std::string filter = gm_oem_filter();
    if (text.empty() || filter == "*") return true;
    size_t start = 0;
    for (size_t entry = 0; entry < oem_filter_entries && start <= filter.size(); ++entry) {
        size_t comma = filter.find(',', start);
        if (comma == std::string::npos) comma = filter.size();
        const std::string id = filter.substr(start, std::min(comma - start, oem_filter_entry_max));
        if (id == text) return true;
        start = comma + 1;
    }
    return false;
}

} // namespace

// The ids are collected first, so removing a device never disturbs the walk.
std::string enum_filtered_devices(int32_t state) {
    std::vector<device_id> ids;
    device_id id = no_device;
    for (std::string name = dev_first_in_state(&id, state); id != no_device;
         name = dev_next_in_state(&id, state))
        ids.push_back(id);

    std::string out;
    for (const device_id device : ids) {
        if (dev_connect(device) != 0) continue;

        std::array<uint8_t, oem_text_size> oem{};
        uint32_t oem_length = oem_text_size;
        if (cmd_read_oem_info(device, oem_text_offset, oem.data(), &oem_length) == cmd_ok) {
            std::string text;
            if (oem_length > 0 && oem[0] != 0xFF)
                text.assign(reinterpret_cast<const char*>(oem.data()),
                            strnlen(reinterpret_cast<const char*>(oem.data()), oem_length));
            if (!oem_text_accepted(text)) {
                dev_disconnect(device);
                dev_remove(device);
                continue;
            }
        }

        std::array<uint8_t, short_dev_info_size> info{};
        uint32_t info_length = short_dev_info_size;
        cmd_result rc = cmd_get_short_dev_info(device, info.data(), &info_length);
        if (rc == cmd_transport_failed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            info_length = short_dev_info_size;
            rc = cmd_get_short_dev_info(device, info.data(), &info_length);
        }
        if (rc != cmd_ok) continue;
        char alias[alias_size + 1] = {};
        std::memcpy(alias, info.data() + alias_offset, alias_size);
        dev_set_alias(device, alias);
        const std::string reader = dev_get_reader_name(device);
        if (reader.empty()) continue;
        out += reader;
        out += '\0';
    }
    return out;
}

namespace {

// Reads the 288-byte device record; a reply shorter than its layout is a
// failure (the command wrapper refuses it), so no field is read unfilled.
uint32_t read_card_dev_info(device_id device, std::array<uint8_t, gm_card_dev_info_size>& reply) {
    reply.fill(0);
    uint32_t size = gm_card_dev_info_size;
    if (const cmd_result rc = cmd_get_dev_info(device, reply.data(), &size); rc != cmd_ok)
        return gm_wrapper_error(rc);
    if (size < ci::end) return SAR_FAIL;
    return SAR_OK;
}

uint32_t reply_max_buffer(const std::array<uint8_t, gm_card_dev_info_size>& reply) {
    const uint32_t max = get_be16(reply.data() + ci::max_buffer_size);
    return max >= 32 ? max - 32 : 0;
}

void card_reply_to_devinfo(const std::array<uint8_t, gm_card_dev_info_size>& reply, DEVINFO& info) {
    std::memset(&info, 0, sizeof info);
    const uint8_t* r = reply.data();
    info.Version = {r[ci::version], r[ci::version + 1]};
    std::memcpy(info.Manufacturer, r + ci::manufacturer, sizeof info.Manufacturer);
    std::memcpy(info.Issuer, r + ci::issuer, sizeof info.Issuer);
    std::memcpy(info.Label, r + ci::label, sizeof info.Label);
    std::memcpy(info.SerialNumber, r + ci::serial_number, sizeof info.SerialNumber);
    info.HWVersion = {r[ci::hw_version], r[ci::hw_version + 1]};
    info.FirmwareVersion = {r[ci::firmware_version], r[ci::firmware_version + 1]};
    // The four capability values are taken over as stored (little-endian).
    info.AlgSymCap = get_le32(r + ci::alg_sym_cap);
    info.AlgAsymCap = get_le32(r + ci::alg_asym_cap);
    info.AlgHashCap = get_le32(r + ci::alg_hash_cap);
    info.DevAuthAlgId = get_le32(r + ci::dev_auth_alg_id);
    info.TotalSpace = get_be32(r + ci::total_space);
    info.FreeSpace = get_be32(r + ci::free_space);
    info.MaxBufferSize = reply_max_buffer(reply);
    info.MaxECCBufferSize = info.MaxBufferSize >= 101 ? info.MaxBufferSize - 101 : 0;
}

// The "Format" record: the device-record layout built from a DEVINFO template.
std::array<uint8_t, gm_format_record_size> build_format_record(const DEVINFO& t, uint32_t total) {
    std::array<uint8_t, gm_format_record_size> rec{};
    uint8_t* r = rec.data();
    r[0] = r[2] = t.Version.major;
    r[1] = r[3] = t.Version.minor;
    std::memcpy(r + ci::manufacturer, t.Manufacturer, sizeof t.Manufacturer);
    std::memcpy(r + ci::issuer, t.Issuer, sizeof t.Issuer);
    std::memcpy(r + ci::label, t.Label, sizeof t.Label);
    std::memcpy(r + ci::serial_number, t.SerialNumber, sizeof t.SerialNumber);
    r[ci::hw_version] = t.HWVersion.major;
    r[ci::hw_version + 1] = t.HWVersion.minor;
    r[ci::firmware_version] = t.FirmwareVersion.major;
    r[ci::firmware_version + 1] = t.FirmwareVersion.minor;
    put_le32(t.AlgSymCap, r + ci::alg_sym_cap);
    put_le32(t.AlgAsymCap, r + ci::alg_asym_cap);
    put_le32(t.AlgHashCap, r + ci::alg_hash_cap);
    put_le32(t.DevAuthAlgId, r + ci::dev_auth_alg_id);
    put_be32(total, r + ci::total_space);
    put_le32(t.FreeSpace, r + ci::free_space);
    put_le16(t.MaxBufferSize & 0xFFFF, r + ci::max_buffer_size);
    r[ci::caps_word_1] = 0x01;
    r[ci::caps_word_2] = 0x02;
    return rec;
}

uint32_t dev_info_common(DEVHANDLE hDev, DEVINFO* pDevInfo,
                         std::array<uint8_t, gm_card_dev_info_size>& reply) {
    gm_sc_dev* dev = gm_find_dev(hDev);
    if (dev == nullptr || pDevInfo == nullptr) return SAR_INVALIDPARAMERR;
    if (const uint32_t rv = read_card_dev_info(dev->device, reply); rv != SAR_OK) return rv;
    DEVINFO info;
    card_reply_to_devinfo(reply, info);
    std::memcpy(pDevInfo, &info, sizeof info);
    return SAR_OK;
}

// Sectors: PC/SC tokens have no mass storage, and their raw send path would
// pass the caller's bytes to the card as an APDU; nothing is sent to them.
uint32_t sector_preconditions(DEVHANDLE hDev, uint32_t count, const void* buffer,
                              device_id& device) {
    gm_sc_dev* dev = gm_find_dev(hDev);
    if (dev == nullptr || buffer == nullptr) return SAR_INVALIDPARAMERR;
    if (count == 0 || count > UINT16_MAX) return SAR_INVALIDPARAMERR;
    int32_t type = -1;
    if (dev_get_type(dev->device, &type) != 0) return SAR_FAIL;
    if (type != 0) return SAR_NOTSUPPORTYETERR;
    device = dev->device;
    return SAR_OK;
}

} // namespace

// --- gm_sc_dev::open ----------------------------------------------------------

uint32_t gm_sc_dev::open() {
    device_id id = no_device;
    const int connected = dev_connect_by_name(name.c_str(), &id);
    if (connected == 1 || connected == 2) return static_cast<uint32_t>(connected);
    if (connected != 0) return SAR_FAIL;
    device = id;
    open_flag = 1;

    std::array<uint8_t, gm_card_dev_info_size> reply{};
    if (const uint32_t rv = read_card_dev_info(id, reply); rv != SAR_OK) return rv;
    // The command layer bounds the chunk size to what one exchange can carry.
    const uint32_t kept = cmd_set_chunk_size(id, get_be16(reply.data() + ci::max_buffer_size));
    if (kept == 0) return 2;
    chunk_size = kept;
    uint32_t direct = 0;
    // No exchange, so no status word: the device left the list, or its own
    // query failed.
    if (dev_get_direct_cipher_size(id, &direct) != 0) return SAR_FAIL;
    direct_cipher_size = direct;
    cmd_set_transmit_mode(reply[ci::hw_version] > 1 ? 0 : 3);
    return SAR_OK;
}

// --- Devices ----------------------------------------------------------------

uint32_t SKF_EnumDev(int32_t, char* szNameList, uint32_t* pulSize) {
    if (pulSize == nullptr) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        const int readers = dev_refresh(gm_device_filter());
        if (readers <= 0) {
            *pulSize = 0;
            return SAR_DEVICE_REMOVED;
        }
        if (szNameList == nullptr) {
            // 32 bytes per reader plus 2, or the true length of the listed
            // names when they are longer, so that a buffer of the answered
            // size always takes the list.
            uint64_t names = 1;
            device_id id = no_device;
            for (std::string n = dev_first_in_state(&id, device_state_any); id != no_device;
                 n = dev_next_in_state(&id, device_state_any))
                names += n.size() + 1;
            const uint64_t estimate = static_cast<uint64_t>(readers) * 32 + 2;
            *pulSize =
                static_cast<uint32_t>(std::min<uint64_t>(std::max(estimate, names), UINT32_MAX));
            return SAR_OK;
        }
        const std::string listed = enum_filtered_devices(device_state_any);
        if (listed.empty()) return SAR_FAIL;
        const uint32_t needed = static_cast<uint32_t>(listed.size() + 1);
        if (*pulSize < needed) {
            *pulSize = needed;
            return SAR_BUFFER_TOO_SMALL;
        }
        std::memcpy(szNameList, listed.data(), listed.size());
        szNameList[listed.size()] = '\0';
        *pulSize = needed;
        return SAR_OK;
    });
}

uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev) {
    if (szName == nullptr || szName[0] == '\0') return SAR_DEVICE_REMOVED;
    if (phDev == nullptr) return SAR_INVALIDPARAMERR;
    if (strnlen(szName, gm_device_name_max + 1) > gm_device_name_max) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        auto dev = std::make_unique<gm_sc_dev>(szName);
        if (dev->handle() == 0) return SAR_FAIL;
        uint32_t rv = dev->open();
        if (rv == 1) {
            if (dev_refresh(gm_device_filter()) <= 0) return SAR_FAIL;
            dev_purge_removed();
            (void)enum_filtered_devices(device_state_any);
            rv = dev->open();
        }
        if (rv == 1 || rv == 2) return SAR_DEVICE_REMOVED;
        if (rv != SAR_OK) return rv;
        gm_sc_dev* kept = gm_register_dev(std::move(dev));
        if (kept == nullptr) return SAR_MEMORYERR;
        *phDev = kept->handle();
        return SAR_OK;
    });
}

uint32_t SKF_DisConnectDev(DEVHANDLE hDev) {
    return gm_locked_call([&]() -> uint32_t {
        return gm_unregister_dev(hDev) == SAR_OK ? SAR_OK : SAR_INVALIDPARAMERR;
    });
}

uint32_t SKF_SetLabel(DEVHANDLE hDev, const char* szLabel) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || szLabel == nullptr) return SAR_INVALIDPARAMERR;
        const size_t length = strnlen(szLabel, 32);
        if (length >= 32) return SAR_INVALIDPARAMERR;
        return gm_wrapper_error(cmd_set_label(dev->device, std::string_view(szLabel, length)));
    });
}

uint32_t SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
    return gm_locked_call([&]() -> uint32_t {
        std::array<uint8_t, gm_card_dev_info_size> reply{};
        if (const uint32_t rv = dev_info_common(hDev, pDevInfo, reply); rv != SAR_OK) return rv;
        if (get_be16(reply.data() + ci::caps_word_1) & 0x0002)
            pDevInfo->AlgHashCap |= hash_cap_extra;
        return SAR_OK;
    });
}

uint32_t gm_get_dev_caps(DEVHANDLE hDev, DEVINFO* pDevInfo, uint32_t* pulCaps1,
                         uint32_t* pulCaps2) {
    return gm_locked_call([&]() -> uint32_t {
        std::array<uint8_t, gm_card_dev_info_size> reply{};
        if (const uint32_t rv = dev_info_common(hDev, pDevInfo, reply); rv != SAR_OK) return rv;
        if (pulCaps1) *pulCaps1 = get_be16(reply.data() + ci::caps_word_2);
        if (pulCaps2) *pulCaps2 = get_be16(reply.data() + ci::caps_word_1);
        return SAR_OK;
    });
}

namespace {

// DevAuth with the given cryptogram. A refusal ends the card's
// authentication (the card clears it on a wrong answer).
uint32_t dev_auth_locked(gm_sc_dev* dev, std::span<const uint8_t> data) {
    const cmd_result rc = cmd_dev_auth(dev->device, 0, data);
    if (rc == cmd_ok) {
        dev->authenticated = 1;
        return SAR_OK;
    }
    dev->authenticated = 0;
    const gm_verify_status status = gm_read_verify_status(rc.status_word);
    if (status.counter) {
        // Device authentication reports the tries left as its result. No
        // try left is a locked key, never success.
        return status.tries > 0 ? status.tries : SAR_PIN_LOCKED;
    }
    return gm_wrapper_error(rc);
}

} // namespace

uint32_t SKF_DevAuth(DEVHANDLE hDev, const uint8_t* pbAuthData, uint32_t ulLen) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || pbAuthData == nullptr || dev->open_flag == 0)
            return SAR_INVALIDPARAMERR;
        if (ulLen == 0 || ulLen > 255) return SAR_INDATALENERR;
        return dev_auth_locked(dev, {pbAuthData, ulLen});
    });
}

uint32_t gm_dev_auth_with_key(DEVHANDLE hDev, const uint8_t* pbKey, uint32_t ulKeyLen) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || pbKey == nullptr || dev->open_flag == 0) return SAR_INVALIDPARAMERR;
        if (ulKeyLen != sm4_key_size) return SAR_INDATALENERR;
        // Key and cryptogram are wiped whatever the outcome.
        sm_key key;
        std::memcpy(key.bytes, pbKey, sizeof key.bytes);
        std::array<uint8_t, sm_session_challenge_size> challenge{};
        if (const cmd_result rc = cmd_gen_random(dev->device, challenge.data(),
                                                 static_cast<uint32_t>(challenge.size()));
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        // The cryptogram is the session key of the challenge under the key.
        sm_key cryptogram;
        if (sm_session_key(key.bytes, challenge.data(), cryptogram) != sm_result::ok)
            return SAR_FAIL;
        return dev_auth_locked(dev, cryptogram.bytes);
    });
}

uint32_t gm_format_device(DEVHANDLE hDev, const DEVINFO* pTemplate, const uint8_t* pbAuthKey,
                          uint32_t ulKeyLen, uint32_t ulParam1, uint32_t ulParam2, uint32_t ulP1) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || pTemplate == nullptr || pbAuthKey == nullptr)
            return SAR_INVALIDPARAMERR;
        if (ulKeyLen == 0 || ulKeyLen > cmd_format_key_block) return SAR_INVALIDPARAMERR;
        if (ulParam1 > 0xFF || ulParam2 > 0xFF || ulP1 > 0xFF) return SAR_INVALIDPARAMERR;
        DEVINFO t;
        std::memcpy(&t, pTemplate, sizeof t);

        // A failed connect exchanged nothing: no status word tells more.
        if (dev_connect(dev->device) != 0) return SAR_DEVICE_REMOVED;
        uint32_t max = 0;
        if (const cmd_result rc = cmd_get_fs_max_cap(dev->device, &max); rc != cmd_ok)
            return gm_wrapper_error(rc);
        const uint32_t total = (t.TotalSpace != 0 && t.TotalSpace <= max) ? t.TotalSpace : max;
        const auto record = build_format_record(t, total);
        // Only the caller's key bytes: a shorter key is zero-filled, never over-read.
        std::array<uint8_t, cmd_format_key_block> key{};
        std::memcpy(key.data(), pbAuthKey, ulKeyLen);
        if (const cmd_result rc = cmd_format(
                dev->device, record.data(), static_cast<uint32_t>(record.size()), key.data(),
                static_cast<uint32_t>(key.size()), static_cast<uint8_t>(ulParam1),
                static_cast<uint8_t>(ulParam2), static_cast<uint8_t>(ulP1));
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        // The card dropped every application and the device-authentication
        // state: objects that named them would address ids the card reuses.
        dev->apps.clear();
        dev->authenticated = 0;
        dev->open_flag = 1;
        return SAR_OK;
    });
}

uint32_t gm_get_raw_hwsn(DEVHANDLE hDev, uint8_t* pbBuffer, uint32_t* pulLength) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || pulLength == nullptr) return SAR_INVALIDPARAMERR;
        std::array<uint8_t, raw_hwsn_capacity> reply{};
        uint32_t size = raw_hwsn_capacity;
        if (const cmd_result rc = cmd_get_raw_hwsn(dev->device, reply.data(), &size); rc != cmd_ok)
            return gm_wrapper_error(rc);
        return gm_copy_out(reply.data(), size, pbBuffer, pulLength);
    });
}

uint32_t gm_read_oem_info(DEVHANDLE hDev, uint32_t ulOffset, uint32_t ulSize, uint8_t* pbBuffer,
                          uint32_t* pulLength) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || pulLength == nullptr) return SAR_INVALIDPARAMERR;
        if (const uint32_t rv = gm_size_query(ulSize, pbBuffer, pulLength);
            rv != SAR_OK || pbBuffer == nullptr)
            return rv;
        if (ulOffset > UINT32_MAX - ulSize) return SAR_INDATALENERR;
        const uint32_t chunk = cmd_get_chunk_size(dev->device);
        uint32_t offset = ulOffset, done = 0, remaining = ulSize;
        bool full = true;
        while (remaining >= chunk) {
            uint32_t got = chunk;
            if (const cmd_result rc = cmd_read_oem_info(dev->device, offset, pbBuffer + done, &got);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
            got = std::min(got, chunk);
            offset += got;
            done += got;
            remaining -= got;
            if (got < chunk) {
                full = false;
                break;
            }
        }
        if (remaining > 0 && full) {
            uint32_t got = remaining;
            if (const cmd_result rc = cmd_read_oem_info(dev->device, offset, pbBuffer + done, &got);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
            done += std::min(got, remaining);
        }
        *pulLength = done;
        return SAR_OK;
    });
}

uint32_t gm_write_oem_info(DEVHANDLE hDev, uint32_t ulOffset, const uint8_t* pbData,
                           uint32_t ulSize) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || (pbData == nullptr && ulSize > 0)) return SAR_INVALIDPARAMERR;
        if (ulOffset > UINT32_MAX - ulSize) return SAR_INDATALENERR;
        const uint32_t chunk = cmd_get_chunk_size(dev->device);
        uint32_t offset = ulOffset, done = 0;
        while (done < ulSize) {
            const uint32_t n = std::min(chunk, ulSize - done);
            if (const cmd_result rc = cmd_write_oem_info(dev->device, offset, pbData + done, n);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
            offset += n;
            done += n;
        }
        return SAR_OK;
    });
}

uint32_t gm_write_sectors(DEVHANDLE hDev, uint32_t ulFirstSector, uint32_t ulCount,
                          const uint8_t* pbData) {
    return gm_locked_call([&]() -> uint32_t {
        device_id device = no_device;
        if (const uint32_t rv = sector_preconditions(hDev, ulCount, pbData, device); rv != SAR_OK)
            return rv;
        const size_t length = static_cast<size_t>(ulCount) * sector_size;
        return gm_wrapper_error(dev_raw_write(device, raw_write_operation, ulFirstSector,
                                              static_cast<uint16_t>(ulCount), pbData, length));
    });
}

uint32_t gm_read_sectors(DEVHANDLE hDev, uint32_t ulFirstSector, uint32_t ulCount,
                         uint8_t* pbBuffer) {
    return gm_locked_call([&]() -> uint32_t {
        device_id device = no_device;
        if (const uint32_t rv = sector_preconditions(hDev, ulCount, pbBuffer, device); rv != SAR_OK)
            return rv;
        const size_t length = static_cast<size_t>(ulCount) * sector_size;
        return gm_wrapper_error(dev_raw_read(device, raw_read_operation, ulFirstSector,
                                             static_cast<uint16_t>(ulCount), pbBuffer, length));
    });
}

uint32_t gm_set_inq_string(DEVHANDLE hDev, const char* szVendor, const char* szProduct) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr || szVendor == nullptr || szProduct == nullptr)
            return SAR_INVALIDPARAMERR;
        int32_t type = -1;
        if (dev_get_type(dev->device, &type) != 0 || type != 0) return SAR_FAIL;
        std::array<uint8_t, 24> frame;
        frame.fill(0x20);
        std::memcpy(frame.data(), szVendor, strnlen(szVendor, 8));
        std::memcpy(frame.data() + 8, szProduct, strnlen(szProduct, 16));
        return gm_wrapper_error(dev_send_control_frame(dev->device, frame.data(), frame.size()));
    });
}

uint32_t gm_set_app_option(HAPPLICATION hApplication, uint32_t ulCode) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_app* app = gm_find_app(hApplication).app;
        if (app == nullptr) return SAR_FAIL;
        switch (ulCode) {
        case GM_APP_OPTION_USER_LOGGED_IN:
            app->user_logged_in = 1;
            break;
        case GM_APP_OPTION_USER_LOGGED_OUT:
            app->user_logged_in = 0;
            break;
        case GM_APP_OPTION_CLEAR_FLAG1:
            app->flag1 = 0;
            break;
        case GM_APP_OPTION_CLEAR_FLAG2:
            app->flag2 = 0;
            break;
        default:
            break;
        }
        return SAR_OK;
    });
}

uint32_t gm_get_last_status_word() {
    // The record of the last exchange, reported as it stands.
    return cmd_last_status_word();
}

uint32_t SKF_CloseHandle(HANDLE hHandle) {
    return gm_locked_call([&]() -> uint32_t {
        if (hHandle == 0) return SAR_INVALIDHANDLEERR;
        if (const gm_digest_ref d = gm_find_digest(hHandle); d.digest != nullptr)
            return d.dev->remove_digest(hHandle);
        if (const gm_mac_ref m = gm_find_mac(hHandle); m.mac != nullptr) {
            (void)cmd_destroy_session_key(m.dev->device, static_cast<uint16_t>(m.app->app_id),
                                          static_cast<uint16_t>(m.cont->container_id),
                                          static_cast<uint16_t>(m.mac->card_key_id));
            (void)m.cont->remove_mac(hHandle);
            return SAR_OK;
        }
        if (const gm_key_ref k = gm_find_key(hHandle); k.key != nullptr) {
            (void)cmd_destroy_session_key(k.dev->device, static_cast<uint16_t>(k.app->app_id),
                                          static_cast<uint16_t>(k.cont->container_id),
                                          static_cast<uint16_t>(k.key->card_key_id));
            (void)k.cont->remove_key(hHandle);
            return SAR_OK;
        }
        return SAR_INVALIDHANDLEERR;
    });
}
