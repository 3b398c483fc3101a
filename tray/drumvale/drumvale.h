/* Drumvale: the token-management library of the tray program. It loads a
   PKCS#11 v2.20 module by file name (dlopen), finds and opens its tokens,
   logs in, reads and changes PINs, lists key containers, reads certificates
   and public keys, and registers certificates in the per-user certificate
   store. It uses the module's vendor M_ functions where the module has them
   and plain PKCS#11 otherwise, so any PKCS#11 module can serve.

   Every function returns 0 on success. Other results are a PKCS#11 CK_RV
   passed on from the module, or one of the DRUMVALE_E_ codes below. 8-bit
   texts are UTF-8 and NUL-terminated; UTF-16 texts are arrays of uint16_t
   code units. Token indices are positions in the table that token_find
   last filled; an index outside it is refused with DRUMVALE_E_BAD_INDEX.
   The functions may be called from any thread; calls are serialised. */
#ifndef DRUMVALE_H
#define DRUMVALE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DRUMVALE_E_NOT_INITIALISED 0x0D000001u
#define DRUMVALE_E_BAD_INDEX 0x0D000002u
#define DRUMVALE_E_NOT_FOUND 0x0D000003u
#define DRUMVALE_E_BUFFER_TOO_SMALL 0x0D000004u
#define DRUMVALE_E_BAD_ARGUMENT 0x0D000005u
#define DRUMVALE_E_MODULE_LOAD 0x0D000006u
#define DRUMVALE_E_TOO_MANY_TOKENS 0x0D000007u
#define DRUMVALE_E_TOO_MANY_CONTAINERS 0x0D000008u
#define DRUMVALE_E_STORE 0x0D000009u
#define DRUMVALE_E_BAD_CERTIFICATE 0x0D00000Au

/* Table sizes: at most this many tokens are kept by token_find and this many
   container names are returned by container_load_all; more are refused with
   DRUMVALE_E_TOO_MANY_TOKENS / DRUMVALE_E_TOO_MANY_CONTAINERS (the entries
   that fit are still delivered). */
#define DRUMVALE_MAX_TOKENS 17u
#define DRUMVALE_MAX_CONTAINERS 65u

/* Retries left when the module cannot tell. */
#define DRUMVALE_RETRIES_UNKNOWN 0xFFFFFFFFu

/* Loads the module and initialises it (C_Initialize, OS locking). A name
   without '/' is looked for in the program's directory, then beside this
   library, then on the loader's search path; a name ending in ".dll" is
   also tried as lib<stem>.so, lib<stem in lower case>.so and <stem>.so, so
   "Tessvik.dll" finds libTessvik.so. A module already loaded is unloaded
   first. */
uint32_t init_pkcs11(const char* module);
/* As init_pkcs11; a non-empty enumeration string is handed, with the two
   other strings, to the module's M_SetEnumString when it has one. */
uint32_t init_pkcs11_ex(const char* enum_string, const char* identifier, const char* app_name,
                        const char* module);
/* Closes the sessions, finalises and unloads the module. */
uint32_t uninit_pkcs11(void);

/* Slot ids of the tokens present, at most *count (in) of them; *count (out)
   is the number found. A short array: DRUMVALE_E_BUFFER_TOO_SMALL with the
   required count. */
uint32_t token_find(uint32_t* ids, uint32_t* count);
/* Opens a read/write session on the token (kept until the next token_find). */
uint32_t token_connect(uint32_t index);
/* Label (33 bytes), manufacturer (129), model (65) and serial number (65),
   blank padding removed; PIN lengths; total and free public and private
   memory, hardware and firmware version (major << 8 | minor); initialised
   flag (1 when the token is initialised). Any output pointer may be null. */
uint32_t token_get_info(uint32_t index, char* label, char* manufacturer, char* model, char* serial,
                        uint32_t* max_pin_len, uint32_t* min_pin_len, uint32_t* total_public_memory,
                        uint32_t* free_public_memory, uint32_t* total_private_memory,
                        uint32_t* free_private_memory, uint32_t* hardware_version,
                        uint32_t* firmware_version, uint32_t* initialised);
/* User login; on failure *retries_left is the number of tries left. */
uint32_t token_login(uint32_t index, const char* pin, uint32_t* retries_left);
uint32_t token_logout(uint32_t index);
/* Changes the user PIN (C_SetPIN on the token's session). */
uint32_t token_change_upin(uint32_t index, const char* old_pin, const char* new_pin);
/* PIN state of user type 1 (user) or 0 (security officer): tries left,
   maximum tries, count-low, final-try, locked and PIN-is-default flags (1 =
   true). */
uint32_t token_get_pin_state(uint32_t index, uint32_t user_type, uint32_t* remaining,
                             uint32_t* maximum, uint32_t* count_low, uint32_t* final_try,
                             uint32_t* locked, uint32_t* is_default);
/* Has the module read the token's objects again. */
uint32_t token_reload_all_objects(uint32_t index);
/* Container names, each followed by one NUL, never more than *length bytes;
 *length (out) is the number of bytes used. */
uint32_t container_load_all(uint32_t index, char* buffer, uint32_t* length);
/* DER certificate of the container's key of that spec (1 exchange, 2
   signature). DRUMVALE_E_NOT_FOUND when there is none. */
uint32_t container_get_cert(uint32_t index, const char* container, uint32_t key_spec,
                            uint8_t* buffer, uint32_t* length);
/* Public key of the container's key: algorithm (1 RSA, 2 SM2 or other EC),
   size in bits, the modulus or the uncompressed point into a 257-byte buffer,
   and its length (an output only). */
uint32_t container_get_pubkey(uint32_t index, const char* container, uint32_t key_spec,
                              uint32_t* algorithm, uint32_t* bits, uint8_t* key,
                              uint32_t* key_length);
/* Parses a certificate: subject and issuer (common name, else the whole
   name; UTF-16, 257 units with the NUL), X.509 version, serial number
   (upper-case hex, 257 bytes), validity as nine integers each (year, month,
   day, hour, minute, second, weekday 0 = Sunday, day of the year, 0), and
   kind: 0 end entity, 1 self-signed root, 2 other CA. */
uint32_t helper_get_cert_info2(const uint8_t* der, uint32_t length, uint16_t* subject,
                               uint16_t* issuer, uint32_t* version, char* serial,
                               uint32_t* not_before, uint32_t* not_after, uint32_t* kind);
/* Registers the certificate in the store "MY", linked to the provider's key
   in that container. */
uint32_t container_addcert_to_store(const char* container, const char* provider, uint32_t key_spec,
                                    const uint8_t* der, uint32_t length);
/* Removes from "MY" every certificate linked to that provider. */
uint32_t remove_all_certs_from_store(const char* provider);
/* Adds a CA certificate to the store "ROOT" or "CA" (UTF-16 name). */
uint32_t helper_add_root_cert_to_store(const uint16_t* store, const uint8_t* der, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
