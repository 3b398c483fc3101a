// Device API: files, containers and certificates.
#include "gm_file_cont.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "cmd_app_file.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "transport.h"

namespace {

// Name lists are read into a bounded work buffer: a list that would not fit
// is refused (SAR_FAIL), never appended past the end.
constexpr uint32_t list_work_max = 8192;
constexpr size_t file_record_size = 44;
constexpr size_t file_info_size = 8;
// The 2-byte offset and length fields of ReadFile and WriteFile reach this far.
constexpr uint32_t file_offset_end = 0xFFFF;

size_t bounded_length(const char* text, size_t limit) {
    return text ? strnlen(text, limit + 1) : 0;
}

bool accepted_right(uint32_t right) {
    return right == 0x00 || right == 0x01 || right == 0x10 || right == 0x11 || right == 0xFF;
}

// File names: null or empty SAR_INVALIDPARAMERR, longer than 32 bytes
// SAR_NAMELENERR (the card's file records hold 32).
uint32_t check_file_name(const char* name) {
    if (name == nullptr || name[0] == '\0') return SAR_INVALIDPARAMERR;
    if (bounded_length(name, gm_file_name_max) > gm_file_name_max) return SAR_NAMELENERR;
    return SAR_OK;
}

// Container names: 1 to 39 bytes.
bool container_name_ok(const char* name) {
    return name != nullptr && name[0] != '\0' &&
           bounded_length(name, gm_container_name_max) <= gm_container_name_max;
}

uint16_t app16(const gm_sc_app* app) {
    return static_cast<uint16_t>(app->app_id);
}

// A continued read that overran its bound (cmd_bad_length) or never ended
// (still 6A9E) is a failure of its own kind, not the card's last word.
uint32_t continued_read_error(const cmd_result& wrapper_result) {
    if (wrapper_result == cmd_bad_length || wrapper_result.status_word == sw_more_data)
        return SAR_FAIL;
    return gm_wrapper_error(wrapper_result);
}

uint32_t chunk_of(const gm_sc_dev* dev) {
    return std::clamp(dev->chunk_size, chunk_size_min, chunk_size_max);
}

using list_reader = cmd_result (*)(device_id, uint16_t, uint8_t*, uint32_t*);

uint32_t enum_names(HAPPLICATION hApplication, list_reader read, char* list, uint32_t* size) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (size == nullptr) return SAR_INVALIDPARAMERR;
        std::vector<uint8_t> work(list_work_max);
        uint32_t length = list_work_max;
        if (const cmd_result rc = read(ref.dev->device, app16(ref.app), work.data(), &length);
            rc != cmd_ok)
            return continued_read_error(rc);
        return gm_copy_out(work.data(), length, list, size);
    });
}

uint32_t container_info_locked(const gm_cont_ref& ref, gm_container_info& info) {
    if (const cmd_result rc = cmd_get_container_info(
            ref.dev->device, static_cast<uint16_t>(ref.cont->app_id), ref.cont->name.c_str(),
            &info.type, &info.sign_key_bits, &info.exch_key_bits, &info.sign_cert, &info.exch_cert);
        rc != cmd_ok)
        return gm_wrapper_error(rc);
    info.name = ref.cont->name;
    info.application = ref.app->handle();
    return SAR_OK;
}

uint8_t certificate_kind(int32_t sign_flag) {
    return sign_flag ? cert_kind_signature : cert_kind_exchange;
}

} // namespace

// ---- Files ----

uint32_t SKF_CreateFile(HAPPLICATION hApplication, const char* szFileName, uint32_t ulFileSize,
                        uint32_t ulReadRights, uint32_t ulWriteRights) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_file_name(szFileName); rv != SAR_OK) return rv;
        if (ulFileSize >= gm_file_size_limit) return SAR_INDATALENERR;
        if (!accepted_right(ulReadRights) || !accepted_right(ulWriteRights))
            return SAR_INVALIDPARAMERR;
        // The card's file record: name 32, size (BE), read and write rights
        // as GM/T 0016 stores them (LE).
        std::array<uint8_t, file_record_size> record{};
        std::memcpy(record.data(), szFileName, strlen(szFileName));
        put_be32(ulFileSize, record.data() + 32);
        put_le32(ulReadRights, record.data() + 36);
        put_le32(ulWriteRights, record.data() + 40);
        return gm_wrapper_error(cmd_create_file(ref.dev->device, app16(ref.app), record.data(),
                                                static_cast<uint32_t>(record.size())));
    });
}

uint32_t SKF_DeleteFile(HAPPLICATION hApplication, const char* szFileName) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_file_name(szFileName); rv != SAR_OK) return rv;
        return gm_wrapper_error(cmd_delete_file(ref.dev->device, app16(ref.app), szFileName));
    });
}

uint32_t SKF_EnumFiles(HAPPLICATION hApplication, char* szFileList, uint32_t* pulSize) {
    return enum_names(hApplication, cmd_enum_files_all, szFileList, pulSize);
}

uint32_t SKF_GetFileInfo(HAPPLICATION hApplication, const char* szFileName,
                         FILEATTRIBUTE* pFileInfo) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (check_file_name(szFileName) != SAR_OK) return SAR_INVALIDPARAMERR;
        uint32_t size = 0, read_rights = 0, write_rights = 0;
        if (const cmd_result rc = cmd_get_file_info(ref.dev->device, app16(ref.app), szFileName,
                                                    &size, &read_rights, &write_rights);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        if (pFileInfo != nullptr) {
            FILEATTRIBUTE info{};
            std::memcpy(info.FileName, szFileName, strlen(szFileName));
            info.FileSize = size;
            info.ReadRights = read_rights;
            info.WriteRights = write_rights;
            *pFileInfo = info;
        }
        return SAR_OK;
    });
}

uint32_t SKF_ReadFile(HAPPLICATION hApplication, const char* szFileName, uint32_t ulOffset,
                      uint32_t ulSize, uint8_t* pbOutData, uint32_t* pulOutLen) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_file_name(szFileName); rv != SAR_OK) return rv;
        if (pulOutLen == nullptr) return SAR_INVALIDPARAMERR;
        if (*pulOutLen < ulSize) {
            *pulOutLen = ulSize;
            return SAR_BUFFER_TOO_SMALL;
        }
        *pulOutLen = ulSize;
        const device_id device = ref.dev->device;
        uint32_t file_size = 0, read_rights = 0;
        if (const cmd_result rc = cmd_get_file_info(device, app16(ref.app), szFileName, &file_size,
                                                    &read_rights, nullptr);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        if (pbOutData == nullptr) {
            *pulOutLen = file_size;
            return SAR_OK;
        }
        // The library's own check, whatever the card would allow.
        if ((read_rights == SECURE_USER_ACCOUNT && !ref.app->user_logged_in) ||
            (read_rights == SECURE_ADM_ACCOUNT && !ref.app->so_logged_in))
            return SAR_USER_NOT_LOGGED_IN;

        // No file reaches past the 2-byte offset field: a request beyond it
        // is cut there rather than wrapped to the start of the file.
        if (ulOffset > file_offset_end) return SAR_INDATALENERR;
        const uint32_t wanted = std::min(ulSize, file_offset_end - ulOffset);
        const uint32_t chunk = chunk_of(ref.dev);
        uint32_t done = 0;
        bool last_full = true;
        while (wanted - done >= chunk) {
            uint32_t got = chunk;
            if (const cmd_result rc = cmd_read_file(device, app16(ref.app), szFileName,
                                                    ulOffset + done, &got, pbOutData + done);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
            done += got;
            if (got < chunk) {
                last_full = false; // the file ended
                break;
            }
        }
        if (last_full && done < wanted) {
            uint32_t got = wanted - done;
            if (const cmd_result rc = cmd_read_file(device, app16(ref.app), szFileName,
                                                    ulOffset + done, &got, pbOutData + done);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
            done += got;
        }
        *pulOutLen = done;
        return SAR_OK;
    });
}

uint32_t gm_read_file_piece(HAPPLICATION hApplication, const char* szFileName, uint32_t ulOffset,
                            uint32_t ulSize, uint8_t* pbOutData, uint32_t* pulOutLen) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_file_name(szFileName); rv != SAR_OK) return rv;
        if (pulOutLen == nullptr || pbOutData == nullptr || ulSize == 0) return SAR_INVALIDPARAMERR;
        if (*pulOutLen < ulSize) {
            *pulOutLen = ulSize;
            return SAR_BUFFER_TOO_SMALL;
        }
        if (ulSize > chunk_of(ref.dev) || ulOffset > file_offset_end ||
            ulSize > file_offset_end - ulOffset)
            return SAR_INDATALENERR;
        uint32_t got = ulSize;
        if (const cmd_result rc = cmd_read_file(ref.dev->device, app16(ref.app), szFileName,
                                                ulOffset, &got, pbOutData);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        *pulOutLen = got;
        return SAR_OK;
    });
}

uint32_t SKF_WriteFile(HAPPLICATION hApplication, const char* szFileName, uint32_t ulOffset,
                       const uint8_t* pbData, uint32_t ulSize) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = check_file_name(szFileName); rv != SAR_OK) return rv;
        if (ulSize == 0) return SAR_OK;
        if (pbData == nullptr) return SAR_INVALIDPARAMERR;
        // Checked before the first piece: a write that cannot end within the
        // 2-byte offset field would otherwise stop half-way with the first
        // pieces already on the card.
        if (ulOffset > file_offset_end || ulSize > file_offset_end - ulOffset)
            return SAR_INDATALENERR;
        const uint32_t chunk = chunk_of(ref.dev);
        uint32_t done = 0;
        while (ulSize - done > 0) {
            const uint32_t piece = std::min(chunk, ulSize - done);
            if (const cmd_result rc = cmd_write_file(ref.dev->device, app16(ref.app), szFileName,
                                                     ulOffset + done, pbData + done, piece);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
            done += piece;
        }
        return SAR_OK;
    });
}

uint32_t gm_set_file_info(HAPPLICATION hApplication, const char* szFileName,
                          const uint8_t* pbInfo) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (check_file_name(szFileName) != SAR_OK || pbInfo == nullptr) return SAR_INVALIDPARAMERR;
        std::vector<uint8_t> record(szFileName, szFileName + strlen(szFileName));
        record.insert(record.end(), pbInfo, pbInfo + file_info_size);
        return gm_wrapper_error(cmd_set_file_info(ref.dev->device, app16(ref.app), record.data(),
                                                  static_cast<uint32_t>(record.size())));
    });
}

uint32_t gm_file_write_piece(HAPPLICATION hApplication, uint32_t* pulPiece) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (pulPiece == nullptr) return SAR_INVALIDPARAMERR;
        *pulPiece = chunk_of(ref.dev);
        return SAR_OK;
    });
}

// ---- Containers ----

uint32_t SKF_CreateContainer(HAPPLICATION hApplication, const char* szContainerName,
                             HCONTAINER* phContainer) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (!container_name_ok(szContainerName) || phContainer == nullptr)
            return SAR_INVALIDPARAMERR;
        if (!ref.app->user_logged_in) return SAR_USER_NOT_LOGGED_IN;
        uint16_t id = 0;
        if (const cmd_result rc =
                cmd_create_container(ref.dev->device, app16(ref.app), szContainerName, &id);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        gm_sc_cont* cont = ref.app->add_container(id, szContainerName);
        if (cont == nullptr) return SAR_MEMORYERR;
        *phContainer = cont->handle();
        return SAR_OK;
    });
}

uint32_t SKF_DeleteContainer(HAPPLICATION hApplication, const char* szContainerName) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (!container_name_ok(szContainerName)) return SAR_INVALIDPARAMERR;
        if (!ref.app->user_logged_in) return SAR_USER_NOT_LOGGED_IN;
        if (const cmd_result rc =
                cmd_delete_container(ref.dev->device, app16(ref.app), szContainerName);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        (void)ref.app->remove_containers_named(szContainerName);
        return SAR_OK;
    });
}

uint32_t SKF_OpenContainer(HAPPLICATION hApplication, const char* szContainerName,
                           HCONTAINER* phContainer) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        if (!container_name_ok(szContainerName) || phContainer == nullptr)
            return SAR_INVALIDPARAMERR;
        uint16_t id = 0;
        if (const cmd_result rc =
                cmd_open_container(ref.dev->device, app16(ref.app), szContainerName, &id);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        gm_sc_cont* cont = ref.app->add_container(id, szContainerName);
        if (cont == nullptr) return SAR_MEMORYERR;
        *phContainer = cont->handle();
        return SAR_OK;
    });
}

uint32_t SKF_CloseContainer(HCONTAINER hContainer) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_cont_ref ref = gm_find_cont(hContainer);
        if (ref.cont == nullptr) return SAR_INVALIDHANDLEERR;
        if (const cmd_result rc =
                cmd_close_container(ref.dev->device, static_cast<uint16_t>(ref.cont->app_id),
                                    static_cast<uint16_t>(ref.cont->container_id));
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        (void)ref.app->remove_container(ref.cont);
        return SAR_OK;
    });
}

uint32_t SKF_EnumContainer(HAPPLICATION hApplication, char* szContainerName, uint32_t* pulSize) {
    return enum_names(hApplication, cmd_enum_containers_all, szContainerName, pulSize);
}

uint32_t gm_get_container_info(HCONTAINER hContainer, uint8_t* pbType, uint32_t* pulSignKeyBits,
                               uint32_t* pulExchKeyBits, uint8_t* pbSignCert, uint8_t* pbExchCert) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_cont_ref ref = gm_find_cont(hContainer);
        if (ref.cont == nullptr) return SAR_INVALIDHANDLEERR;
        gm_container_info info;
        if (const uint32_t rv = container_info_locked(ref, info); rv != SAR_OK) return rv;
        if (pbType) *pbType = info.type;
        if (pulSignKeyBits) *pulSignKeyBits = info.sign_key_bits;
        if (pulExchKeyBits) *pulExchKeyBits = info.exch_key_bits;
        if (pbSignCert) *pbSignCert = info.sign_cert;
        if (pbExchCert) *pbExchCert = info.exch_cert;
        return SAR_OK;
    });
}

uint32_t gm_get_container_info_ex(HCONTAINER hContainer, gm_container_info* pInfo) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_cont_ref ref = gm_find_cont(hContainer);
        if (ref.cont == nullptr) return SAR_INVALIDHANDLEERR;
        if (pInfo == nullptr) return SAR_INVALIDPARAMERR;
        gm_container_info info;
        if (const uint32_t rv = container_info_locked(ref, info); rv != SAR_OK) return rv;
        *pInfo = std::move(info);
        return SAR_OK;
    });
}

uint32_t SKF_ImportCertificate(HCONTAINER hContainer, int32_t bSignFlag, const uint8_t* pbCert,
                               uint32_t ulCertLen) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_cont_ref ref = hContainer == 0 ? gm_cont_ref{} : gm_find_cont(hContainer);
        if (ref.cont == nullptr) return SAR_INVALIDHANDLEERR;
        if (pbCert == nullptr || ulCertLen == 0 || ulCertLen > gm_certificate_max)
            return SAR_INVALIDPARAMERR;
        gm_container_info info;
        if (const uint32_t rv = container_info_locked(ref, info); rv != SAR_OK) return rv;
        return gm_wrapper_error(
            cmd_import_certificate(ref.dev->device, static_cast<uint16_t>(ref.cont->app_id),
                                   static_cast<uint16_t>(ref.cont->container_id),
                                   certificate_kind(bSignFlag), pbCert, ulCertLen));
    });
}

uint32_t SKF_ExportCertificate(HCONTAINER hContainer, int32_t bSignFlag, uint8_t* pbCert,
                               uint32_t* pulCertLen) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_cont_ref ref = gm_find_cont(hContainer);
        if (ref.cont == nullptr) return SAR_INVALIDHANDLEERR;
        if (pulCertLen == nullptr) return SAR_INVALIDPARAMERR;
        // The whole certificate is read on every call (also for a size
        // query) into a buffer bounded at 65536 bytes. The first 4 bytes of
        // the card's first reply are the card's own and are dropped unread:
        // cards differ in what they put there.
        std::vector<uint8_t> work(gm_certificate_max);
        uint32_t length = static_cast<uint32_t>(work.size());
        if (const cmd_result rc =
                cmd_export_certificate_all(ref.dev->device, static_cast<uint16_t>(ref.cont->app_id),
                                           static_cast<uint16_t>(ref.cont->container_id),
                                           certificate_kind(bSignFlag), work.data(), &length);
            rc != cmd_ok)
            return continued_read_error(rc);
        return gm_copy_out(work.data(), length, pbCert, pulCertLen);
    });
}
