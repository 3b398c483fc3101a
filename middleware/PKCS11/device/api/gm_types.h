// Result codes and the GM/T 0016 records of the SKF-style device API.
// GM/T 0016's ULONG is 32 bits wide on every platform: it is uint32_t here.
// Records are byte-packed as GM/T 0016 lays them out; integers inside them
// are in host (little-endian) order.
#pragma once

#include <cstddef>
#include <cstdint>

using DEVHANDLE = uint32_t;    // 0: no device
using HAPPLICATION = uint32_t; // 0: no application
using HCONTAINER = uint32_t;   // 0: no container
using HANDLE = uint32_t;       // session key, MAC or digest handle; 0: none

// Result codes (GM/T 0016 names; vendor codes have gm_ names).
inline constexpr uint32_t SAR_OK = 0;
inline constexpr uint32_t SAR_FAIL = 0x0A000001;
inline constexpr uint32_t SAR_UNKNOWNERR = 0x0A000002;
inline constexpr uint32_t SAR_NOTSUPPORTYETERR = 0x0A000003;
inline constexpr uint32_t SAR_INVALIDHANDLEERR = 0x0A000005;
inline constexpr uint32_t SAR_INVALIDPARAMERR = 0x0A000006;
inline constexpr uint32_t SAR_NAMELENERR = 0x0A000009;
inline constexpr uint32_t SAR_MEMORYERR = 0x0A00000E;
inline constexpr uint32_t SAR_INDATALENERR = 0x0A000010;
inline constexpr uint32_t SAR_INDATAERR = 0x0A000011;
inline constexpr uint32_t SAR_HASHNOTEQUALERR = 0x0A00001A;
inline constexpr uint32_t SAR_KEYNOTFOUNTERR = 0x0A00001B;
inline constexpr uint32_t SAR_CERTNOTFOUNTERR = 0x0A00001C;
inline constexpr uint32_t SAR_BUFFER_TOO_SMALL = 0x0A000020;
inline constexpr uint32_t SAR_NOT_EVENTERR = 0x0A000022;
inline constexpr uint32_t SAR_DEVICE_REMOVED = 0x0A000023;
inline constexpr uint32_t SAR_PIN_INCORRECT = 0x0A000024;
inline constexpr uint32_t SAR_PIN_LOCKED = 0x0A000025;
inline constexpr uint32_t SAR_APPLICATION_EXISTS = 0x0A00002C;
inline constexpr uint32_t SAR_USER_NOT_LOGGED_IN = 0x0A00002D;
inline constexpr uint32_t SAR_APPLICATION_NOT_EXISTS = 0x0A00002E;
inline constexpr uint32_t SAR_FILE_ALREADY_EXIST = 0x0A00002F;
inline constexpr uint32_t SAR_NO_ROOM = 0x0A000030;
inline constexpr uint32_t SAR_FILE_NOT_EXIST = 0x0A000031;

inline constexpr uint32_t GM_ECC_GEN_NOT_LOGGED_IN =
    0x0B000033; // ECC key generation without user login
inline constexpr uint32_t GM_SW_6B00 = 0x0B000034;
inline constexpr uint32_t GM_SW_6A91_6A94 = 0x0B000035;
inline constexpr uint32_t GM_SW_6E02 = 0x0B000036;
inline constexpr uint32_t GM_SW_6A9A = 0x0B000038;
inline constexpr uint32_t GM_FINGERPRINT_PENDING = 0x0B000039;
inline constexpr uint32_t GM_SW_6F02_6F0C = 0x0B000040;
inline constexpr uint32_t GM_SW_6F09 = 0x0C000001;
inline constexpr uint32_t GM_SW_6F0A = 0x0C000002;
inline constexpr uint32_t GM_SW_6F0B = 0x0C000003;

// Device events reported by SKF_WaitForDevEvent.
inline constexpr uint32_t GM_DEV_EVENT_INSERTED = 1;
inline constexpr uint32_t GM_DEV_EVENT_REMOVED = 2;

// Application control codes of gm_set_app_option.
inline constexpr uint32_t GM_APP_OPTION_CLEAR_FLAG1 = 0x80002001;
inline constexpr uint32_t GM_APP_OPTION_CLEAR_FLAG2 = 0x80002002;
inline constexpr uint32_t GM_APP_OPTION_USER_LOGGED_IN = 0x80002003;
inline constexpr uint32_t GM_APP_OPTION_USER_LOGGED_OUT = 0x80002004;

inline constexpr size_t MAX_RSA_MODULUS_LEN = 256;
inline constexpr size_t MAX_RSA_EXPONENT_LEN = 4;
inline constexpr size_t ECC_MAX_XCOORDINATE_LEN = 64;
inline constexpr size_t ECC_MAX_YCOORDINATE_LEN = 64;
inline constexpr size_t ECC_MAX_MODULUS_LEN = 64;

#pragma pack(push, 1)

struct VERSION {
    uint8_t major;
    uint8_t minor;
};
static_assert(sizeof(VERSION) == 2);

struct DEVINFO {
    VERSION Version;
    char Manufacturer[64];
    char Issuer[64];
    char Label[32];
    char SerialNumber[32];
    VERSION HWVersion;
    VERSION FirmwareVersion;
    uint32_t AlgSymCap;
    uint32_t AlgAsymCap;
    uint32_t AlgHashCap;
    uint32_t DevAuthAlgId;
    uint32_t TotalSpace;
    uint32_t FreeSpace;
    uint32_t MaxECCBufferSize;
    uint32_t MaxBufferSize;
    uint8_t Reserved[64];
};
static_assert(sizeof(DEVINFO) == 294);
static_assert(offsetof(DEVINFO, Label) == 130);
static_assert(offsetof(DEVINFO, HWVersion) == 194);
static_assert(offsetof(DEVINFO, AlgSymCap) == 198);
static_assert(offsetof(DEVINFO, MaxBufferSize) == 226);
static_assert(offsetof(DEVINFO, Reserved) == 230);

struct FILEATTRIBUTE {
    char FileName[32];
    uint32_t FileSize;
    uint32_t ReadRights;
    uint32_t WriteRights;
};
static_assert(sizeof(FILEATTRIBUTE) == 44);

struct RSAPUBLICKEYBLOB {
    uint32_t AlgID;
    uint32_t BitLen;
    uint8_t Modulus[MAX_RSA_MODULUS_LEN];
    uint8_t PublicExponent[MAX_RSA_EXPONENT_LEN];
};
static_assert(sizeof(RSAPUBLICKEYBLOB) == 268);

struct RSAPRIVATEKEYBLOB {
    uint32_t AlgID;
    uint32_t BitLen;
    uint8_t Modulus[MAX_RSA_MODULUS_LEN];
    uint8_t PublicExponent[MAX_RSA_EXPONENT_LEN];
    uint8_t PrivateExponent[MAX_RSA_MODULUS_LEN];
    uint8_t Prime1[MAX_RSA_MODULUS_LEN / 2];
    uint8_t Prime2[MAX_RSA_MODULUS_LEN / 2];
    uint8_t Prime1Exponent[MAX_RSA_MODULUS_LEN / 2];
    uint8_t Prime2Exponent[MAX_RSA_MODULUS_LEN / 2];
    uint8_t Coefficient[MAX_RSA_MODULUS_LEN / 2];
};
static_assert(sizeof(RSAPRIVATEKEYBLOB) == 1164);

struct ECCPUBLICKEYBLOB {
    uint32_t BitLen;
    uint8_t XCoordinate[ECC_MAX_XCOORDINATE_LEN];
    uint8_t YCoordinate[ECC_MAX_YCOORDINATE_LEN];
};
static_assert(sizeof(ECCPUBLICKEYBLOB) == 132);

struct ECCPRIVATEKEYBLOB {
    uint32_t BitLen;
    uint8_t PrivateKey[ECC_MAX_MODULUS_LEN];
};
static_assert(sizeof(ECCPRIVATEKEYBLOB) == 68);

// Variable-length: Cipher holds CipherLen bytes; the fixed part is 164 bytes
// and sizeof counts the first cipher byte (165), as GM/T 0016 declares it.
struct ECCCIPHERBLOB {
    uint8_t XCoordinate[ECC_MAX_XCOORDINATE_LEN];
    uint8_t YCoordinate[ECC_MAX_YCOORDINATE_LEN];
    uint8_t HASH[32];
    uint32_t CipherLen;
    uint8_t Cipher[1];
};
static_assert(sizeof(ECCCIPHERBLOB) == 165);
inline constexpr size_t ECCCIPHERBLOB_FIXED_SIZE = offsetof(ECCCIPHERBLOB, Cipher);
static_assert(ECCCIPHERBLOB_FIXED_SIZE == 164);

struct ECCSIGNATUREBLOB {
    uint8_t r[ECC_MAX_XCOORDINATE_LEN];
    uint8_t s[ECC_MAX_YCOORDINATE_LEN];
};
static_assert(sizeof(ECCSIGNATUREBLOB) == 128);

struct BLOCKCIPHERPARAM {
    uint8_t IV[32];
    uint32_t IVLen;
    uint32_t PaddingType;
    uint32_t FeedBitLen;
};
static_assert(sizeof(BLOCKCIPHERPARAM) == 44);

#pragma pack(pop)

// The card's "GetDevInfo" reply and the "Format" record share one 288-byte
// layout (big-endian numbers unless noted).
inline constexpr size_t gm_card_dev_info_size = 288;
inline constexpr size_t gm_format_record_size = 288;
namespace gm_card_dev_info {
inline constexpr size_t version = 0;
inline constexpr size_t manufacturer = 4;
inline constexpr size_t issuer = 68;
inline constexpr size_t label = 132;
inline constexpr size_t serial_number = 164;
inline constexpr size_t hw_version = 196;
inline constexpr size_t firmware_version = 198;
inline constexpr size_t alg_sym_cap = 200;
inline constexpr size_t alg_asym_cap = 204;
inline constexpr size_t alg_hash_cap = 208;
inline constexpr size_t dev_auth_alg_id = 212;
inline constexpr size_t total_space = 216;
inline constexpr size_t free_space = 220;
inline constexpr size_t max_buffer_size = 224;
inline constexpr size_t caps_word_1 = 226;
inline constexpr size_t caps_word_2 = 228;
inline constexpr size_t end = 230; // the reply must reach this far
} // namespace gm_card_dev_info
