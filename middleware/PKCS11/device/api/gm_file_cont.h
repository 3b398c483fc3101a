// Device API: the files of an application, its key containers and the
// certificates stored in a container (GM/T 0016 file and container
// functions plus the gm_ vendor calls).
//
// Files and containers live on the card; the library keeps only the open
// container objects of the handle tree. Long transfers go in pieces of the
// device's chunk size. Names: files at most 32 bytes, containers at most 39.
#pragma once

#include <cstdint>
#include <string>

#include "gm_types.h"

// GM/T 0016 access rights.
inline constexpr uint32_t SECURE_NEVER_ACCOUNT = 0x00;
inline constexpr uint32_t SECURE_ADM_ACCOUNT = 0x01;
inline constexpr uint32_t SECURE_USER_ACCOUNT = 0x10;
inline constexpr uint32_t SECURE_ANYONE_ACCOUNT = 0xFF;

inline constexpr uint32_t gm_file_name_max = 32;
inline constexpr uint32_t gm_file_size_limit = 0x10000; // sizes below this
inline constexpr uint32_t gm_container_name_max = 39;
inline constexpr uint32_t gm_certificate_max = 65536;

// Container types of gm_get_container_info.
inline constexpr uint8_t gm_container_empty = 0;
inline constexpr uint8_t gm_container_rsa = 1;
inline constexpr uint8_t gm_container_sm2 = 2;

// --- Files ---------------------------------------------------------------------

// Rights: 0x00, 0x01, 0x10, 0x11 or 0xFF. Name longer than 32: SAR_NAMELENERR;
// size 0x10000 or more: SAR_INDATALENERR.
uint32_t SKF_CreateFile(HAPPLICATION hApplication, const char* szFileName, uint32_t ulFileSize,
                        uint32_t ulReadRights, uint32_t ulWriteRights);
uint32_t SKF_DeleteFile(HAPPLICATION hApplication, const char* szFileName);
// The card's file names, each followed by a NUL. Size-query rule.
uint32_t SKF_EnumFiles(HAPPLICATION hApplication, char* szFileList, uint32_t* pulSize);
// pFileInfo may be null (then only the file's existence is checked).
uint32_t SKF_GetFileInfo(HAPPLICATION hApplication, const char* szFileName,
                         FILEATTRIBUTE* pFileInfo);
// Reads up to ulSize bytes at ulOffset. *pulOutLen below ulSize:
// SAR_BUFFER_TOO_SMALL and *pulOutLen = ulSize (nothing sent); null
// pbOutData: *pulOutLen = the file's size. Else *pulOutLen = bytes read (fewer
// when the file ends first). Read rights 0x10 need the user logged in on the
// application, 0x01 the security officer.
uint32_t SKF_ReadFile(HAPPLICATION hApplication, const char* szFileName, uint32_t ulOffset,
                      uint32_t ulSize, uint8_t* pbOutData, uint32_t* pulOutLen);
// One "ReadFile" of at most ulSize bytes at ulOffset, with no file
// information asked for first: for a small file whose rights the caller
// knows (the change counter), where SKF_ReadFile would send two commands.
// ulSize must fit one piece of the device's chunk size (else
// SAR_INDATALENERR, nothing sent); the card enforces the file's rights.
// *pulOutLen in: the room at pbOutData (below ulSize: SAR_BUFFER_TOO_SMALL and
// *pulOutLen = ulSize); out: the bytes read (fewer when the file ends first).
uint32_t gm_read_file_piece(HAPPLICATION hApplication, const char* szFileName, uint32_t ulOffset,
                            uint32_t ulSize, uint8_t* pbOutData, uint32_t* pulOutLen);
// Writes ulSize bytes at ulOffset (0 bytes: nothing sent, 0). The bytes must
// lie within the first 0x10000 of the file: else SAR_INDATALENERR, nothing sent.
uint32_t SKF_WriteFile(HAPPLICATION hApplication, const char* szFileName, uint32_t ulOffset,
                       const uint8_t* pbData, uint32_t ulSize);
// Eight bytes of file information as the card takes them (this card: new read
// rights and new write rights, u32 little-endian each).
uint32_t gm_set_file_info(HAPPLICATION hApplication, const char* szFileName, const uint8_t* pbInfo);
// The most bytes SKF_WriteFile sends to this application's device in one
// command: a write of at most this many bytes reaches the card whole or not
// at all.
uint32_t gm_file_write_piece(HAPPLICATION hApplication, uint32_t* pulPiece);

// --- Containers ------------------------------------------------------------------

// Needs the user logged in on the application. Every successful create or
// open makes a new container handle.
uint32_t SKF_CreateContainer(HAPPLICATION hApplication, const char* szContainerName,
                             HCONTAINER* phContainer);
// Needs the user logged in; every open handle of that name goes with it.
uint32_t SKF_DeleteContainer(HAPPLICATION hApplication, const char* szContainerName);
uint32_t SKF_OpenContainer(HAPPLICATION hApplication, const char* szContainerName,
                           HCONTAINER* phContainer);
// The handle and its keys and MACs go when the card accepts the close.
uint32_t SKF_CloseContainer(HCONTAINER hContainer);
// The card's container names, each followed by a NUL. Size-query rule.
uint32_t SKF_EnumContainer(HAPPLICATION hApplication, char* szContainerName, uint32_t* pulSize);
// Type (0 empty, 1 RSA, 2 SM2), signature and exchange key sizes in bits,
// and whether a signature and an exchange certificate are stored. Null
// outputs are skipped.
uint32_t gm_get_container_info(HCONTAINER hContainer, uint8_t* pbType, uint32_t* pulSignKeyBits,
                               uint32_t* pulExchKeyBits, uint8_t* pbSignCert, uint8_t* pbExchCert);

// The same with the container's name and its application's handle (for the
// PKCS#11 layer's container records).
struct gm_container_info {
    uint8_t type = 0;
    uint32_t sign_key_bits = 0;
    uint32_t exch_key_bits = 0;
    uint8_t sign_cert = 0;
    uint8_t exch_cert = 0;
    std::string name;
    HAPPLICATION application = 0;
};
uint32_t gm_get_container_info_ex(HCONTAINER hContainer, gm_container_info* pInfo);

// bSignFlag: nonzero the signature certificate, 0 the exchange certificate.
// The certificate (at least one byte) goes chained in pieces of the device's
// chunk size.
uint32_t SKF_ImportCertificate(HCONTAINER hContainer, int32_t bSignFlag, const uint8_t* pbCert,
                               uint32_t ulCertLen);
// Size-query rule on pbCert / *pulCertLen; the certificate is read from the
// card on every call (at most 65536 bytes, else SAR_FAIL).
uint32_t SKF_ExportCertificate(HCONTAINER hContainer, int32_t bSignFlag, uint8_t* pbCert,
                               uint32_t* pulCertLen);
