// Device API: the asymmetric keys kept in a container (RSA and SM2 key pairs:
// generation, import, signing, decryption, the raw private-key operation,
// public-key export, deletion), the operations with an outside public key
// (RSA public-key operation and verification, SM2 verification and
// encryption), and random numbers.
//
// Keys and signatures cross this interface as the GM/T 0016 records of
// gm_types.h (integers little-endian, numbers big-endian and right-aligned in
// their arrays; SM2 values take the last 32 bytes of their 64-byte fields).
//
// Key selector (ulKeySpec, bSignFlag): its low byte goes to the card
// unchanged and chooses one of the container's two pairs: 1 the signature
// pair, 0 the exchange pair.
//
// Container functions: unknown container handle SAR_INVALIDHANDLEERR; those
// that say "login" need the user logged in to the container's application
// (else SAR_USER_NOT_LOGGED_IN). Device functions: unknown device handle
// SAR_INVALIDPARAMERR. Card refusals arrive as mapped status words (a missing
// key SAR_KEYNOTFOUNTERR, an invalid signature SAR_HASHNOTEQUALERR).
//
// RSA moduli are 1024 or 2048 bits: other sizes are refused with
// SAR_INVALIDPARAMERR before anything is sent or written.
#pragma once

#include <cstdint>

#include "gm_types.h"

// GM/T 0006 algorithm identifiers.
inline constexpr uint32_t SGD_RSA = 0x00010000;
inline constexpr uint32_t SGD_SM2_1 = 0x00020100; // SM2 signature
inline constexpr uint32_t SGD_SM2_2 = 0x00020200; // SM2 key exchange

// Hash identifiers of the RSA functions (4 travels to the card as 3).
inline constexpr uint32_t gm_hash_sm3 = 1;
inline constexpr uint32_t gm_hash_sha1 = 2;
inline constexpr uint32_t gm_hash_sha256 = 4;

inline constexpr uint32_t gm_key_spec_exchange = 0;
inline constexpr uint32_t gm_key_spec_signature = 1;

// RSA data to sign is shorter than this.
inline constexpr uint32_t gm_rsa_sign_data_limit = 245;
// SM2: coordinates, values and the digest to sign are 32 bytes.
inline constexpr uint32_t gm_sm2_value_size = 32;
// Largest SM2 cipher text the card decrypts, and plain text it encrypts.
inline constexpr uint32_t gm_sm2_decrypt_max = 256;
inline constexpr uint32_t gm_sm2_encrypt_max = 1024;
// SKF_GenRandom asks the card for pieces of this size.
inline constexpr uint32_t gm_random_piece = 1024;

// ---- Key pairs in a container ----

// Login. Generates a 1024- or 2048-bit pair on the card. Out: AlgID SGD_RSA,
// BitLen, the modulus right-aligned in Modulus, PublicExponent; the bytes of
// Modulus before the modulus keep what the caller had there.
uint32_t gm_gen_rsa_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec, uint32_t ulBitsLen,
                             RSAPUBLICKEYBLOB* pBlob);
// Login. Imports the pair as given (the whole 1164-byte record goes to the
// card); BitLen must be 1024 or 2048.
uint32_t gm_import_plain_rsa_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec,
                                      const RSAPRIVATEKEYBLOB* pBlob);
// Login. PKCS#1 v1.5 signature made by the card over a digest of the hash
// ulHashId (1 SM3, 2 SHA-1, 4 SHA-256; the card's own ids pass unchanged).
// Data of 245 bytes or more: SAR_INVALIDPARAMERR. Size-query rule on
// pbSignature / *pulSignLen (the card signs also for a size query).
uint32_t gm_rsa_sign_data(HCONTAINER hContainer, uint32_t ulKeySpec, uint32_t ulHashId,
                          const uint8_t* pbData, uint32_t ulDataLen, uint8_t* pbSignature,
                          uint32_t* pulSignLen);
// Login. PKCS#1 v1.5 decryption on the card; size-query rule on the output.
uint32_t gm_rsa_private_decrypt(HCONTAINER hContainer, uint32_t ulKeySpec, const uint8_t* pbInput,
                                uint32_t ulInputLen, uint8_t* pbOutput, uint32_t* pulOutputLen);
// Login. The raw private-key operation; pbOutput is required (it may be
// pbInput). *pulOutputLen smaller than the result: the needed length and
// SAR_BUFFER_TOO_SMALL.
uint32_t gm_rsa_private_operation(HCONTAINER hContainer, uint32_t ulKeySpec, const uint8_t* pbInput,
                                  uint32_t ulInputLen, uint8_t* pbOutput, uint32_t* pulOutputLen);
// Login. Delete the pair, or the certificate, of the selector.
uint32_t gm_delete_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec);
uint32_t gm_delete_certificate(HCONTAINER hContainer, uint32_t ulKeySpec);

// The public key of the pair chosen by bSignFlag, read from the card: an
// RSAPUBLICKEYBLOB (268 bytes) for an RSA pair, an ECCPUBLICKEYBLOB (132
// bytes, BitLen 256, the rest of the fields zero) for an SM2 pair.
// Size-query rule on pbBlob / *pulBlobLen.
uint32_t SKF_ExportPublicKey(HCONTAINER hContainer, uint32_t bSignFlag, uint8_t* pbBlob,
                             uint32_t* pulBlobLen);

// Login (else 0x0B000033, GM_ECC_GEN_NOT_LOGGED_IN). Generates an SM2 pair
// in the container; ulAlgId SGD_SM2_1 or SGD_SM2_2 (others:
// SAR_INVALIDPARAMERR) goes to the card as given. The command names no pair:
// which of the container's two pairs it fills is the card's choice. Out: BitLen 256, X and Y in the
// last 32 bytes of their fields (the first 32 bytes of each are not written).
uint32_t SKF_GenECCKeyPair(HCONTAINER hContainer, uint32_t ulAlgId, ECCPUBLICKEYBLOB* pBlob);
// No login test (the card checks). Imports an SM2 pair: the 132-byte public
// record as given followed by the 64-byte PrivateKey field.
uint32_t gm_import_plain_ecc_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec,
                                      const ECCPUBLICKEYBLOB* pPubKey,
                                      const ECCPRIVATEKEYBLOB* pPriKey);
// SM2 signature over the 32-byte digest e (the caller has hashed Z and the
// message). Other lengths: SAR_INDATALENERR. Out: r and s in the last 32 bytes
// of their fields (the first 32 bytes of each are not written).
uint32_t gm_ecc_sign_data(HCONTAINER hContainer, uint32_t ulKeySpec, const uint8_t* pbDigest,
                          uint32_t ulDigestLen, ECCSIGNATUREBLOB* pSignature);
// SM2 decryption of a GM/T 0016 cipher record (CipherLen at most 256, else
// SAR_INDATALENERR). Null pbPlain: *pulPlainLen = CipherLen, 0, nothing sent.
uint32_t gm_ecc_private_decrypt(HCONTAINER hContainer, uint32_t ulKeySpec,
                                const ECCCIPHERBLOB* pCipher, uint8_t* pbPlain,
                                uint32_t* pulPlainLen);

// ---- Outside public keys, random numbers (device functions) ----

// The raw RSA public-key operation; input of 128 or 256 bytes (the modulus
// length), else SAR_INVALIDPARAMERR. Null pbOutput: *pulOutputLen = the input
// length, 0. Size-query rule otherwise.
uint32_t SKF_ExtRSAPubKeyOperation(DEVHANDLE hDev, const RSAPUBLICKEYBLOB* pPubKey,
                                   const uint8_t* pbInput, uint32_t ulInputLen, uint8_t* pbOutput,
                                   uint32_t* pulOutputLen);
// Verifies a PKCS#1 v1.5 signature (128 or 256 bytes) over the digest
// pbData with a 1024- or 2048-bit key on the card. 0: valid.
uint32_t gm_rsa_verify(DEVHANDLE hDev, const RSAPUBLICKEYBLOB* pPubKey, uint32_t ulHashId,
                       const uint8_t* pbData, uint32_t ulDataLen, const uint8_t* pbSignature,
                       uint32_t ulSignLen);
// Verifies an SM2 signature over the data given (the 32-byte digest e). 0: valid.
uint32_t SKF_ECCVerify(DEVHANDLE hDev, const ECCPUBLICKEYBLOB* pPubKey, const uint8_t* pbData,
                       uint32_t ulDataLen, const ECCSIGNATUREBLOB* pSignature);
// SM2 encryption on the card of 1 to 1024 bytes (else SAR_INDATALENERR).
// pCipher must have room for ECCCIPHERBLOB_FIXED_SIZE + ulPlainLen bytes; the
// first 165 bytes are cleared, then filled with C1, C3, CipherLen and the
// cipher bytes.
uint32_t SKF_ExtECCEncrypt(DEVHANDLE hDev, const ECCPUBLICKEYBLOB* pPubKey,
                           const uint8_t* pbPlainText, uint32_t ulPlainTextLen,
                           ECCCIPHERBLOB* pCipher);
// ulRandomLen random bytes from the card (nothing is written on failure).
uint32_t SKF_GenRandom(DEVHANDLE hDev, uint8_t* pbRandom, uint32_t ulRandomLen);
