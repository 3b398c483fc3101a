// Device API: session keys in a container, symmetric encryption and
// decryption with them on the card, and the card's digests (GM/T 0016
// SKF_Encrypt*/SKF_Decrypt*/SKF_Digest* and the gm_ vendor calls).
//
// The card takes cipher and digest data in commands of at most the device's
// chunk size. The library keeps the bytes that do not yet fill a cipher block
// in the key object, and works out every output length before it sends
// anything, so a buffer that is too small is reported while the data is still
// unsent: no call consumes input it cannot hand back.
//
// Result codes: an unknown key or digest handle SAR_INVALIDHANDLEERR, an
// unknown device SAR_INVALIDPARAMERR; card refusals arrive as mapped status
// words (bad block padding on decryption: SAR_INDATAERR). Size-query rule of
// gm_frame.h on every output.
#pragma once

#include <cstdint>

#include "gm_types.h"

// GM/T 0016: an operation that was never started, or whose card context was
// taken over.
inline constexpr uint32_t SAR_NOTINITIALIZEERR = 0x0A000004;

// GM/T 0016 padding types of BLOCKCIPHERPARAM.
inline constexpr uint32_t gm_padding_none = 0;
inline constexpr uint32_t gm_padding_pkcs5 = 1;

// A symmetric algorithm as the card knows it (the internal identifier).
struct gm_symm_algorithm {
    uint32_t id;
    uint32_t key_length;
    uint32_t block_length;
};

// Maps a caller's identifier (GM/T 0006 values, or the library's own
// DES/3DES/AES values) to the internal one; null when it is not one of the 27
// accepted internal identifiers after the mapping.
const gm_symm_algorithm* gm_symm_algorithm_for(uint32_t caller_id);
// Mode of an identifier by its low four bits: 1 ECB, 2 CBC, 4 CFB, 8 OFB, 0 MAC.
inline constexpr uint32_t gm_symm_mode(uint32_t id) {
    return id & 0xF;
}

// Imports ulKeyLen key bytes into the container as a session key of the
// algorithm (ulKeyLen must be the algorithm's key length). A card with no
// free key slot gets room only by destroying a key the library made for its
// own use; a caller's key is never evicted (else SAR_NO_ROOM).
// The key is destroyed with SKF_CloseHandle.
uint32_t gm_set_symm_key(HCONTAINER hContainer, const uint8_t* pbKey, uint32_t ulKeyLen,
                         uint32_t ulAlgId, HANDLE* phKey);

// Starts an operation on the key. The IV must be at most 32 bytes, and for
// the CBC, CFB and OFB modes exactly one block (else SAR_INVALIDPARAMERR).
uint32_t SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam);
uint32_t SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam);

// One-shot: the whole data, then the operation ends. ECB and CBC data
// without padding must be whole blocks (encrypt: SAR_INVALIDPARAMERR,
// decrypt: SAR_INDATALENERR). Decryption with padding reports the input
// length as the size it needs (the padding is known only once decrypted).
uint32_t SKF_Encrypt(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                     uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen);
uint32_t SKF_Decrypt(HANDLE hKey, const uint8_t* pbEncryptedData, uint32_t ulEncryptedLen,
                     uint8_t* pbData, uint32_t* pulDataLen);
// Multi-part: whole blocks go to the card; the rest stays held. Decryption
// with padding always keeps the last block back for the final step.
uint32_t SKF_EncryptUpdate(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                           uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen);
uint32_t SKF_EncryptFinal(HANDLE hKey, uint8_t* pbEncryptedData, uint32_t* pulEncryptedDataLen);
uint32_t SKF_DecryptUpdate(HANDLE hKey, const uint8_t* pbEncryptedData, uint32_t ulEncryptedLen,
                           uint8_t* pbData, uint32_t* pulDataLen);
uint32_t SKF_DecryptFinal(HANDLE hKey, uint8_t* pbDecryptedData, uint32_t* pulDecryptedDataLen);

// Direct path: a device that reports a direct cipher size larger than its
// chunk size encrypts and decrypts itself, one call per piece of at most that
// size (whole blocks), with the key it holds under the card key id. The SKF_
// functions above take this path on their own for such a device; these are
// the same operations for callers that chose the path themselves. The
// update, final and one-shot forms refuse (SAR_NOTINITIALIZEERR) a key whose
// operation was not started on the direct path. Results, size rules and
// refusals are those of the SKF_ forms, bad padding included (SAR_INDATAERR).
uint32_t gm_encrypt_init_direct(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam);
uint32_t gm_decrypt_init_direct(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam);
uint32_t gm_encrypt_update_direct(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                                  uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen);
uint32_t gm_encrypt_final_direct(HANDLE hKey, uint8_t* pbEncryptedData,
                                 uint32_t* pulEncryptedDataLen);
uint32_t gm_encrypt_direct(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                           uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen);
uint32_t gm_decrypt_update_direct(HANDLE hKey, const uint8_t* pbEncryptedData,
                                  uint32_t ulEncryptedLen, uint8_t* pbData, uint32_t* pulDataLen);
uint32_t gm_decrypt_final_direct(HANDLE hKey, uint8_t* pbDecryptedData,
                                 uint32_t* pulDecryptedDataLen);
uint32_t gm_decrypt_direct(HANDLE hKey, const uint8_t* pbEncryptedData, uint32_t ulEncryptedLen,
                           uint8_t* pbData, uint32_t* pulDataLen);

// Hash identifiers of the digest functions (SHA-256 travels to the card as 3).
inline constexpr uint32_t gm_digest_sm3 = 1;
inline constexpr uint32_t gm_digest_sha1 = 2;
inline constexpr uint32_t gm_digest_sha256 = 4;
inline constexpr uint32_t gm_digest_none = 0x80;
inline constexpr uint32_t gm_digest_md5 = 0x81;
inline constexpr uint32_t gm_digest_sha384 = 0x82;
inline constexpr uint32_t gm_digest_sha512 = 0x83;
// Digest length of a hash id (as given or as kept); 0 for an unknown one.
uint32_t gm_digest_length(uint32_t hash_id);

// The card has one digest context: a new SKF_DigestInit on a device takes it
// over, and the calls of an older digest handle of that device are then
// refused with SAR_NOTINITIALIZEERR instead of mixing the two.
// For SM3 with a public key (and identifier), the digest starts with the
// signer's Z value (GM/T 0003); the caller's records are never written.
uint32_t SKF_DigestInit(DEVHANDLE hDev, uint32_t ulAlgID, const ECCPUBLICKEYBLOB* pPubKey,
                        const uint8_t* pucID, uint32_t ulIDLen, HANDLE* phHash);
// One-shot; ends the card's digest context (the handle stays open).
uint32_t SKF_Digest(HANDLE hHash, const uint8_t* pbData, uint32_t ulDataLen, uint8_t* pbHashData,
                    uint32_t* pulHashLen);
uint32_t SKF_DigestUpdate(HANDLE hHash, const uint8_t* pbData, uint32_t ulDataLen);
uint32_t SKF_DigestFinal(HANDLE hHash, uint8_t* pHashData, uint32_t* pulHashLen);

// PKCS#5 block padding helpers.
// Bytes of padding for n bytes: block - n mod block (a whole block for a
// multiple of block).
uint32_t pad_length(uint32_t block, uint32_t n);
// 0 and *out_length = n - v for valid padding (last byte v in 1..block, the
// last v bytes all v); 1 when n is not a positive multiple of block; 2 for
// bad padding.
int strip_padding(uint32_t block, const uint8_t* data, uint32_t n, uint32_t* out_length);
