// Device API: session keys, symmetric cipher and digest on the card.
#include "gm_symmetric.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "transport.h"

namespace {

// The internal identifiers the card accepts, with their key and block lengths.
constexpr gm_symm_algorithm algorithms[] = {
    {0x80000211, 8, 8},   {0x80000212, 8, 8},   // DES
    {0x80000221, 16, 8},  {0x80000222, 16, 8},  // 3DES K1 K2 K1
    {0x80000241, 24, 8},  {0x80000242, 24, 8},  // 3DES K1 K2 K3
    {0x80000111, 16, 16}, {0x80000112, 16, 16}, // AES-128
    {0x80000121, 24, 16}, {0x80000122, 24, 16}, // AES-192
    {0x80000141, 32, 16}, {0x80000142, 32, 16}, // AES-256
    {0x101, 16, 16},      {0x102, 16, 16},      {0x104, 16, 16},
    {0x108, 16, 16},      {0x110, 16, 16}, // SM1
    {0x201, 16, 16},      {0x202, 16, 16},      {0x204, 16, 16},
    {0x208, 16, 16},      {0x210, 16, 16}, // SSF33
    {0x401, 16, 16},      {0x402, 16, 16},      {0x404, 16, 16},
    {0x408, 16, 16},      {0x410, 16, 16}, // SM4
};
static_assert(std::size(algorithms) == 27);

uint32_t internal_id(uint32_t caller_id) {
    switch (caller_id) {
    case 0x801:
        return 0x80000211;
    case 0x802:
        return 0x80000212;
    case 0x1001:
        return 0x80000221;
    case 0x1002:
        return 0x80000222;
    case 1:
    case 0x2001:
        return 0x80000241;
    case 2:
    case 0x2002:
        return 0x80000242;
    case 0x4001:
        return 0x80000111;
    case 0x4002:
        return 0x80000112;
    case 0x8001:
        return 0x80000121;
    case 0x8002:
        return 0x80000122;
    case 0x10001:
        return 0x80000141;
    case 0x10002:
        return 0x80000142;
    default:
        return caller_id;
    }
}

const gm_symm_algorithm* find_internal(uint32_t id) {
    for (const gm_symm_algorithm& a : algorithms)
        if (a.id == id) return &a;
    return nullptr;
}

bool block_mode(uint32_t alg) {
    return gm_symm_mode(alg) == 1 || gm_symm_mode(alg) == 2;
}
bool chained_mode(uint32_t alg) {
    return gm_symm_mode(alg) == 2 || gm_symm_mode(alg) == 4 || gm_symm_mode(alg) == 8;
}

constexpr uint32_t op_none = 0;
constexpr uint32_t op_encrypt = 1;
constexpr uint32_t op_decrypt = 2;

// What one cipher call works with.
struct cipher_call {
    device_id device;
    uint16_t app, cont, key;
    gm_sc_key* object;
    uint32_t block;
    uint32_t step; // whole blocks of at most the chunk size
    bool padding;
    // The device's own cipher: offered when it reports a direct cipher size
    // larger than the chunk size; pieces of whole blocks of at most that size.
    bool direct_offered;
    uint32_t direct_step;
};

bool cipher_call_for(HANDLE hKey, cipher_call& call) {
    const gm_key_ref ref = gm_find_key(hKey);
    if (ref.key == nullptr) return false;
    const uint32_t block = std::max<uint32_t>(ref.key->block_size, 1);
    const uint32_t chunk = std::max(cmd_get_chunk_size(ref.dev->device), chunk_size_min);
    const uint32_t direct = ref.dev->direct_cipher_size;
    call = {ref.dev->device,
            static_cast<uint16_t>(ref.app->app_id),
            static_cast<uint16_t>(ref.cont->container_id),
            static_cast<uint16_t>(ref.key->card_key_id),
            ref.key,
            block,
            std::max(block, chunk / block * block),
            ref.key->padding_type == gm_padding_pkcs5 && block_mode(ref.key->alg_id),
            direct > cmd_get_chunk_size(ref.dev->device),
            std::max(block, direct / block * block)};
    return true;
}

uint32_t floor_blocks(uint32_t n, uint32_t block) {
    return n / block * block;
}

// Bytes a decrypting update may send out of h held: with padding the last
// block always stays for the final step, which removes the padding.
uint32_t decrypt_sendable(uint32_t h, const cipher_call& c) {
    if (!c.padding) return floor_blocks(h, c.block);
    return h == 0 ? 0 : floor_blocks(h - 1, c.block);
}

// Cipher text length of n bytes encrypted in one go (card padding included).
uint32_t encrypt_length(uint32_t n, const cipher_call& c) {
    return c.padding ? floor_blocks(n, c.block) + c.block : n;
}

// Sends count bytes (whole blocks) as Update commands of at most one step
// each; the output goes to out + *produced, whose room is capacity.
uint32_t send_updates(const cipher_call& c, bool encrypt, const uint8_t* data, uint32_t count,
                      uint8_t* out, uint32_t capacity, uint32_t* produced) {
    uint32_t done = 0;
    while (done < count) {
        const uint32_t piece = std::min(count - done, c.step);
        uint32_t size = capacity - *produced;
        const cmd_result rc = encrypt
                                  ? cmd_encrypt_update(c.device, c.app, c.cont, c.key, data + done,
                                                       piece, out + *produced, &size)
                                  : cmd_decrypt_update(c.device, c.app, c.cont, c.key, data + done,
                                                       piece, out + *produced, &size);
        if (rc != cmd_ok) return gm_wrapper_error(rc);
        *produced += size;
        done += piece;
    }
    return SAR_OK;
}

uint32_t send_final(const cipher_call& c, bool encrypt, const uint8_t* data, uint32_t count,
                    uint8_t* out, uint32_t capacity, uint32_t* produced) {
    uint32_t size = capacity - *produced;
    const cmd_result rc = encrypt ? cmd_encrypt_final(c.device, c.app, c.cont, c.key, data, count,
                                                      out + *produced, &size)
                                  : cmd_decrypt_final(c.device, c.app, c.cont, c.key, data, count,
                                                      out + *produced, &size);
    if (rc != cmd_ok) return gm_wrapper_error(rc);
    *produced += size;
    return SAR_OK;
}

// Bytes of n that go as updates before the final command. Encryption: every
// whole block (the final command carries what is short of a block, and the
// card pads). Decryption: every whole block but the last, which the final
// command carries (the card removes the padding from it); without padding,
// every whole block.
uint32_t encrypt_ahead_of_final(uint32_t n, const cipher_call& c) {
    return floor_blocks(n, c.block);
}
uint32_t decrypt_ahead_of_final(uint32_t n, const cipher_call& c) {
    return decrypt_sendable(n, c);
}

// Ends the key's operation (final step, one-shot, or a failure on the card
// in the middle of one: the card's state is unknown, so init starts again).
void end_operation(gm_sc_key& key) {
    key.cipher_op = op_none;
    key.block_buffer.clear();
    key.block_buffer.shrink_to_fit();
}

uint32_t direct_init(const cipher_call& c, const BLOCKCIPHERPARAM& param, bool encrypt);
uint32_t init_refusal(const cipher_call& c, const BLOCKCIPHERPARAM& param);

uint32_t cipher_init(HANDLE hKey, const BLOCKCIPHERPARAM& param, bool encrypt) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        gm_sc_key& key = *c.object;
        if (const uint32_t rv = init_refusal(c, param); rv != SAR_OK) return rv;
        end_operation(key);
        if (c.direct_offered) return direct_init(c, param, encrypt);
        const cmd_result rc =
            encrypt ? cmd_encrypt_init(c.device, c.app, c.cont, c.key, param.IV, param.IVLen,
                                       param.PaddingType, param.FeedBitLen)
                    : cmd_decrypt_init(c.device, c.app, c.cont, c.key, param.IV, param.IVLen,
                                       param.PaddingType, param.FeedBitLen);
        if (rc != cmd_ok) return gm_wrapper_error(rc);
        key.padding_type = param.PaddingType;
        key.cipher_op = encrypt ? op_encrypt : op_decrypt;
        key.direct_path = false;
        return SAR_OK;
    });
}

// Held bytes followed by the new data.
std::vector<uint8_t> joined(const gm_sc_key& key, const uint8_t* data, uint32_t length) {
    std::vector<uint8_t> all;
    all.reserve(key.block_buffer.size() + length);
    all.insert(all.end(), key.block_buffer.begin(), key.block_buffer.end());
    if (length != 0) all.insert(all.end(), data, data + length);
    return all;
}

// ---- Direct path ----

// Sends count bytes to the device's own cipher in pieces of at most one
// direct step; the output goes to out + *produced, whose room is capacity.
// Each piece must come back the same length (ECB, CBC, CFB and OFB keep the
// length; padding is the library's). The device starts from the IV with the
// first piece of an operation and chains on after it.
uint32_t direct_pieces(const cipher_call& c, bool encrypt, const uint8_t* data, uint32_t count,
                       uint8_t* out, uint32_t capacity, uint32_t* produced) {
    gm_sc_key& key = *c.object;
    uint32_t done = 0;
    while (done < count) {
        const uint32_t piece = std::min(count - done, c.direct_step);
        size_t size = capacity - *produced;
        if (size < piece) return SAR_BUFFER_TOO_SMALL;
        direct_cipher_request request;
        request.algorithm = key.alg_id;
        request.app_id = c.app;
        request.container_id = c.cont;
        request.card_key_id = c.key;
        request.first_call = key.first_call;
        request.iv = {key.iv, std::min<size_t>(key.iv_length, sizeof key.iv)};
        request.input = {data + done, piece};
        request.output = out + *produced;
        request.output_length = &size;
        const int rc =
            encrypt ? dev_direct_encrypt(c.device, request) : dev_direct_decrypt(c.device, request);
        if (rc != 0 || size != piece) return SAR_FAIL;
        key.first_call = 0;
        *produced += piece;
        done += piece;
    }
    return SAR_OK;
}

uint32_t direct_init(const cipher_call& c, const BLOCKCIPHERPARAM& param, bool encrypt) {
    gm_sc_key& key = *c.object;
    // Nothing goes to the card: the device holds the key and is told the IV
    // with the first piece.
    std::memcpy(key.iv, param.IV, param.IVLen);
    key.iv_length = param.IVLen;
    key.first_call = 1;
    key.padding_type = param.PaddingType;
    key.cipher_op = encrypt ? op_encrypt : op_decrypt;
    key.direct_path = true;
    if (encrypt) (void)dev_set_cipher_session(c.device, 1);
    return SAR_OK;
}

// PKCS#5 padding of the held bytes (block modes with padding only).
void append_padding(std::vector<uint8_t>& all, const cipher_call& c) {
    if (!c.padding) return;
    const uint32_t p = pad_length(c.block, static_cast<uint32_t>(all.size()));
    all.insert(all.end(), p, static_cast<uint8_t>(p));
}

// Removes the padding of a whole decrypted text: bad padding is an error
// (SAR_INDATAERR, as the card reports it), never data.
uint32_t direct_unpad(std::vector<uint8_t>& plain, const cipher_call& c) {
    if (!c.padding) return SAR_OK;
    uint32_t length = 0;
    if (strip_padding(c.block, plain.data(), static_cast<uint32_t>(plain.size()), &length) != 0)
        return SAR_INDATAERR;
    plain.resize(length);
    return SAR_OK;
}

uint32_t direct_update(const cipher_call& c, const uint8_t* data, uint32_t length, uint8_t* out,
                       uint32_t* out_length, bool encrypt) {
    gm_sc_key& key = *c.object;
    if (length != 0 && data == nullptr) return SAR_INVALIDPARAMERR;
    const uint64_t held = uint64_t{key.block_buffer.size()} + length;
    if (held > 0xFFFFFFF0u) return SAR_INDATALENERR;
    const auto h = static_cast<uint32_t>(held);
    const uint32_t send = encrypt ? floor_blocks(h, c.block) : decrypt_sendable(h, c);
    if (const uint32_t rv = gm_size_query(send, out, out_length); rv != SAR_OK || out == nullptr)
        return rv;
    const std::vector<uint8_t> all = joined(key, data, length);
    uint32_t produced = 0;
    if (!encrypt) (void)dev_set_cipher_session(c.device, 1);
    const uint32_t rv = direct_pieces(c, encrypt, all.data(), send, out, *out_length, &produced);
    if (!encrypt) (void)dev_set_cipher_session(c.device, 0);
    if (rv != SAR_OK) {
        end_operation(key);
        return rv;
    }
    key.block_buffer.assign(all.begin() + send, all.end());
    *out_length = produced;
    return SAR_OK;
}

// Encrypts all (padded here) and hands it out; the operation ends.
uint32_t direct_encrypt_all(const cipher_call& c, std::vector<uint8_t> all, uint8_t* out,
                            uint32_t* out_length) {
    append_padding(all, c);
    uint32_t produced = 0;
    const uint32_t rv = direct_pieces(c, true, all.data(), static_cast<uint32_t>(all.size()), out,
                                      *out_length, &produced);
    end_operation(*c.object);
    (void)dev_set_cipher_session(c.device, 0);
    if (rv == SAR_OK) *out_length = produced;
    return rv;
}

uint32_t direct_encrypt(const cipher_call& c, const uint8_t* data, uint32_t length, uint8_t* out,
                        uint32_t* out_length) {
    gm_sc_key& key = *c.object;
    if (length != 0 && data == nullptr) return SAR_INVALIDPARAMERR;
    const uint64_t total = uint64_t{key.block_buffer.size()} + length;
    if (total > 0xFFFFFFF0u - c.block) return SAR_INDATALENERR;
    const auto n = static_cast<uint32_t>(total);
    if (!c.padding && block_mode(key.alg_id) && n % c.block != 0) return SAR_INVALIDPARAMERR;
    if (const uint32_t rv = gm_size_query(encrypt_length(n, c), out, out_length);
        rv != SAR_OK || out == nullptr)
        return rv;
    return direct_encrypt_all(c, joined(key, data, length), out, out_length);
}

uint32_t direct_encrypt_final(const cipher_call& c, uint8_t* out, uint32_t* out_length) {
    gm_sc_key& key = *c.object;
    const auto held = static_cast<uint32_t>(key.block_buffer.size());
    if (!c.padding && block_mode(key.alg_id) && held % c.block != 0) return SAR_INVALIDPARAMERR;
    if (const uint32_t rv = gm_size_query(encrypt_length(held, c), out, out_length);
        rv != SAR_OK || out == nullptr)
        return rv;
    return direct_encrypt_all(c, key.block_buffer, out, out_length);
}

// Decrypts all, removes the padding and hands it out; the operation ends.
uint32_t direct_decrypt_all(const cipher_call& c, const std::vector<uint8_t>& all, uint8_t* out,
                            uint32_t* out_length) {
    std::vector<uint8_t> plain(all.size());
    uint32_t produced = 0;
    uint32_t rv = direct_pieces(c, false, all.data(), static_cast<uint32_t>(all.size()),
                                plain.data(), static_cast<uint32_t>(plain.size()), &produced);
    end_operation(*c.object);
    if (rv == SAR_OK) rv = direct_unpad(plain, c);
    if (rv == SAR_OK) {
        if (!plain.empty()) std::memcpy(out, plain.data(), plain.size());
        *out_length = static_cast<uint32_t>(plain.size());
    }
    std::fill(plain.begin(), plain.end(), uint8_t{0});
    return rv;
}

uint32_t direct_decrypt(const cipher_call& c, const uint8_t* data, uint32_t length, uint8_t* out,
                        uint32_t* out_length) {
    gm_sc_key& key = *c.object;
    if (length != 0 && data == nullptr) return SAR_INVALIDPARAMERR;
    const uint64_t total = uint64_t{key.block_buffer.size()} + length;
    if (total > 0xFFFFFFF0u) return SAR_INDATALENERR;
    const auto n = static_cast<uint32_t>(total);
    if (block_mode(key.alg_id) && n % c.block != 0) return SAR_INDATALENERR;
    if (c.padding && n == 0) return SAR_INDATALENERR;
    if (const uint32_t rv = gm_size_query(n, out, out_length); rv != SAR_OK || out == nullptr)
        return rv;
    return direct_decrypt_all(c, joined(key, data, length), out, out_length);
}

uint32_t direct_decrypt_final(const cipher_call& c, uint8_t* out, uint32_t* out_length) {
    gm_sc_key& key = *c.object;
    const auto held = static_cast<uint32_t>(key.block_buffer.size());
    if (block_mode(key.alg_id) && held % c.block != 0) return SAR_INDATALENERR;
    if (c.padding && held == 0) return SAR_INDATALENERR;
    if (const uint32_t rv = gm_size_query(held, out, out_length); rv != SAR_OK || out == nullptr)
        return rv;
    return direct_decrypt_all(c, key.block_buffer, out, out_length);
}

// The checks of every init, on either path.
uint32_t init_refusal(const cipher_call& c, const BLOCKCIPHERPARAM& param) {
    // The IV record holds 32 bytes; the chained modes need exactly one block.
    if (param.IVLen > sizeof param.IV) return SAR_INVALIDPARAMERR;
    if (chained_mode(c.object->alg_id) && param.IVLen != c.block) return SAR_INVALIDPARAMERR;
    if (param.PaddingType != gm_padding_none && param.PaddingType != gm_padding_pkcs5)
        return SAR_INVALIDPARAMERR;
    return SAR_OK;
}

// A direct entry: the key's operation of that kind must run on the direct path.
template <typename Body> uint32_t direct_entry(HANDLE hKey, uint32_t op, Body&& body) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        if (c.object->cipher_op != op || !c.object->direct_path) return SAR_NOTINITIALIZEERR;
        return body(c);
    });
}

uint32_t cipher_update(HANDLE hKey, const uint8_t* data, uint32_t length, uint8_t* out,
                       uint32_t* out_length, bool encrypt) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        gm_sc_key& key = *c.object;
        if (key.cipher_op != (encrypt ? op_encrypt : op_decrypt)) return SAR_NOTINITIALIZEERR;
        if (key.direct_path) return direct_update(c, data, length, out, out_length, encrypt);
        if (length != 0 && data == nullptr) return SAR_INVALIDPARAMERR;
        const uint64_t held = uint64_t{key.block_buffer.size()} + length;
        if (held > 0xFFFFFFF0u) return SAR_INDATALENERR;
        const auto h = static_cast<uint32_t>(held);
        const uint32_t send = encrypt ? floor_blocks(h, c.block) : decrypt_sendable(h, c);
        // The size is settled before anything is sent: nothing is lost to a
        // buffer that is too small.
        if (const uint32_t rv = gm_size_query(send, out, out_length);
            rv != SAR_OK || out == nullptr)
            return rv;
        const std::vector<uint8_t> all = joined(key, data, length);
        uint32_t produced = 0;
        if (const uint32_t rv =
                send_updates(c, encrypt, all.data(), send, out, *out_length, &produced);
            rv != SAR_OK) {
            end_operation(key);
            return rv;
        }
        key.block_buffer.assign(all.begin() + send, all.end());
        *out_length = produced;
        return SAR_OK;
    });
}

} // namespace

const gm_symm_algorithm* gm_symm_algorithm_for(uint32_t caller_id) {
    return find_internal(internal_id(caller_id));
}

uint32_t gm_set_symm_key(HCONTAINER hContainer, const uint8_t* pbKey, uint32_t ulKeyLen,
                         uint32_t ulAlgId, HANDLE* phKey) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_cont_ref ref = gm_find_cont(hContainer);
        if (ref.cont == nullptr) return SAR_INVALIDHANDLEERR;
        const gm_symm_algorithm* alg = gm_symm_algorithm_for(ulAlgId);
        if (alg == nullptr || phKey == nullptr || pbKey == nullptr) return SAR_INVALIDPARAMERR;
        // The card reads the key by the algorithm's length: a shorter value
        // would be padded with whatever follows it.
        if (ulKeyLen != alg->key_length) return SAR_INVALIDPARAMERR;
        const device_id device = ref.dev->device;
        const auto app16 = static_cast<uint16_t>(ref.app->app_id);
        const auto cont16 = static_cast<uint16_t>(ref.cont->container_id);
        uint16_t card_key = 0;
        const cmd_result rc =
            cmd_set_session_key(device, app16, cont16, alg->id, pbKey, ulKeyLen, &card_key);
        // No key slot free on the card. No key is destroyed to make room: a
        // caller's key may be in the middle of an operation (of this process
        // or another one), and the library keeps no session key of its own.
        if (rc != cmd_ok && rc.status_word == 0x6A84) return SAR_NO_ROOM;
        if (rc != cmd_ok) return gm_wrapper_error(rc);
        gm_sc_key* key = ref.cont->add_key(card_key, alg->id);
        if (key == nullptr) {
            (void)cmd_destroy_session_key(device, app16, cont16, card_key);
            return SAR_MEMORYERR;
        }
        key->block_size = alg->block_length;
        *phKey = key->handle();
        return SAR_OK;
    });
}

uint32_t SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam) {
    return cipher_init(hKey, EncryptParam, true);
}

uint32_t SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam) {
    return cipher_init(hKey, DecryptParam, false);
}

uint32_t SKF_EncryptUpdate(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                           uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen) {
    return cipher_update(hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen, true);
}

uint32_t SKF_DecryptUpdate(HANDLE hKey, const uint8_t* pbEncryptedData, uint32_t ulEncryptedLen,
                           uint8_t* pbData, uint32_t* pulDataLen) {
    return cipher_update(hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen, false);
}

uint32_t SKF_Encrypt(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                     uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        gm_sc_key& key = *c.object;
        if (key.cipher_op != op_encrypt) return SAR_NOTINITIALIZEERR;
        if (key.direct_path)
            return direct_encrypt(c, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
        if (ulDataLen != 0 && pbData == nullptr) return SAR_INVALIDPARAMERR;
        const uint64_t total = uint64_t{key.block_buffer.size()} + ulDataLen;
        if (total > 0xFFFFFFF0u - c.block) return SAR_INDATALENERR;
        const auto n = static_cast<uint32_t>(total);
        if (!c.padding && block_mode(key.alg_id) && n % c.block != 0) return SAR_INVALIDPARAMERR;
        if (const uint32_t rv =
                gm_size_query(encrypt_length(n, c), pbEncryptedData, pulEncryptedLen);
            rv != SAR_OK || pbEncryptedData == nullptr)
            return rv;
        const std::vector<uint8_t> all = joined(key, pbData, ulDataLen);
        const uint32_t early = encrypt_ahead_of_final(n, c);
        uint32_t produced = 0;
        uint32_t rv =
            send_updates(c, true, all.data(), early, pbEncryptedData, *pulEncryptedLen, &produced);
        if (rv == SAR_OK)
            rv = send_final(c, true, all.data() + early, n - early, pbEncryptedData,
                            *pulEncryptedLen, &produced);
        end_operation(key);
        if (rv == SAR_OK) *pulEncryptedLen = produced;
        return rv;
    });
}

uint32_t SKF_Decrypt(HANDLE hKey, const uint8_t* pbEncryptedData, uint32_t ulEncryptedLen,
                     uint8_t* pbData, uint32_t* pulDataLen) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        gm_sc_key& key = *c.object;
        if (key.cipher_op != op_decrypt) return SAR_NOTINITIALIZEERR;
        if (key.direct_path)
            return direct_decrypt(c, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
        if (ulEncryptedLen != 0 && pbEncryptedData == nullptr) return SAR_INVALIDPARAMERR;
        const uint64_t total = uint64_t{key.block_buffer.size()} + ulEncryptedLen;
        if (total > 0xFFFFFFF0u) return SAR_INDATALENERR;
        const auto n = static_cast<uint32_t>(total);
        // The same rule as encryption: ECB and CBC take whole blocks, the
        // stream modes any length.
        if (block_mode(key.alg_id) && n % c.block != 0) return SAR_INDATALENERR;
        if (c.padding && n == 0) return SAR_INDATALENERR;
        if (const uint32_t rv = gm_size_query(n, pbData, pulDataLen);
            rv != SAR_OK || pbData == nullptr)
            return rv;
        const std::vector<uint8_t> all = joined(key, pbEncryptedData, ulEncryptedLen);
        const uint32_t early = decrypt_ahead_of_final(n, c);
        uint32_t produced = 0;
        uint32_t rv = send_updates(c, false, all.data(), early, pbData, *pulDataLen, &produced);
        if (rv == SAR_OK)
            rv =
                send_final(c, false, all.data() + early, n - early, pbData, *pulDataLen, &produced);
        end_operation(key);
        if (rv == SAR_OK) *pulDataLen = produced;
        return rv;
    });
}

uint32_t SKF_EncryptFinal(HANDLE hKey, uint8_t* pbEncryptedData, uint32_t* pulEncryptedDataLen) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        gm_sc_key& key = *c.object;
        if (key.cipher_op != op_encrypt) return SAR_NOTINITIALIZEERR;
        if (key.direct_path) return direct_encrypt_final(c, pbEncryptedData, pulEncryptedDataLen);
        const auto held = static_cast<uint32_t>(key.block_buffer.size());
        if (!c.padding && block_mode(key.alg_id) && held % c.block != 0) return SAR_INVALIDPARAMERR;
        if (const uint32_t rv =
                gm_size_query(encrypt_length(held, c), pbEncryptedData, pulEncryptedDataLen);
            rv != SAR_OK || pbEncryptedData == nullptr)
            return rv;
        const uint32_t early = encrypt_ahead_of_final(held, c);
        uint32_t produced = 0;
        uint32_t rv = send_updates(c, true, key.block_buffer.data(), early, pbEncryptedData,
                                   *pulEncryptedDataLen, &produced);
        if (rv == SAR_OK)
            rv = send_final(c, true, key.block_buffer.data() + early, held - early, pbEncryptedData,
                            *pulEncryptedDataLen, &produced);
        end_operation(key);
        if (rv == SAR_OK) *pulEncryptedDataLen = produced;
        return rv;
    });
}

uint32_t SKF_DecryptFinal(HANDLE hKey, uint8_t* pbDecryptedData, uint32_t* pulDecryptedDataLen) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        gm_sc_key& key = *c.object;
        if (key.cipher_op != op_decrypt) return SAR_NOTINITIALIZEERR;
        if (key.direct_path) return direct_decrypt_final(c, pbDecryptedData, pulDecryptedDataLen);
        const auto held = static_cast<uint32_t>(key.block_buffer.size());
        if (block_mode(key.alg_id) && held % c.block != 0) return SAR_INDATALENERR;
        if (c.padding && held == 0) return SAR_INDATALENERR;
        if (const uint32_t rv = gm_size_query(held, pbDecryptedData, pulDecryptedDataLen);
            rv != SAR_OK || pbDecryptedData == nullptr)
            return rv;
        // All but the last block ahead; the final command carries that one.
        const uint32_t early = held > c.block ? held - c.block : 0;
        uint32_t produced = 0;
        uint32_t rv = send_updates(c, false, key.block_buffer.data(), early, pbDecryptedData,
                                   *pulDecryptedDataLen, &produced);
        if (rv == SAR_OK)
            rv = send_final(c, false, key.block_buffer.data() + early, held - early,
                            pbDecryptedData, *pulDecryptedDataLen, &produced);
        end_operation(key);
        if (rv == SAR_OK) *pulDecryptedDataLen = produced;
        return rv;
    });
}

// ---- Direct path entries ----

namespace {

uint32_t direct_init_entry(HANDLE hKey, const BLOCKCIPHERPARAM& param, bool encrypt) {
    return gm_locked_call([&]() -> uint32_t {
        cipher_call c{};
        if (!cipher_call_for(hKey, c)) return SAR_INVALIDHANDLEERR;
        if (const uint32_t rv = init_refusal(c, param); rv != SAR_OK) return rv;
        // Only a device with its own cipher can run the operation.
        if (!c.direct_offered) return SAR_NOTSUPPORTYETERR;
        end_operation(*c.object);
        return direct_init(c, param, encrypt);
    });
}

} // namespace

uint32_t gm_encrypt_init_direct(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam) {
    return direct_init_entry(hKey, EncryptParam, true);
}

uint32_t gm_decrypt_init_direct(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam) {
    return direct_init_entry(hKey, DecryptParam, false);
}

uint32_t gm_encrypt_update_direct(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                                  uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen) {
    return direct_entry(hKey, op_encrypt, [&](const cipher_call& c) {
        return direct_update(c, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen, true);
    });
}

uint32_t gm_encrypt_final_direct(HANDLE hKey, uint8_t* pbEncryptedData,
                                 uint32_t* pulEncryptedDataLen) {
    return direct_entry(hKey, op_encrypt, [&](const cipher_call& c) {
        return direct_encrypt_final(c, pbEncryptedData, pulEncryptedDataLen);
    });
}

uint32_t gm_encrypt_direct(HANDLE hKey, const uint8_t* pbData, uint32_t ulDataLen,
                           uint8_t* pbEncryptedData, uint32_t* pulEncryptedLen) {
    return direct_entry(hKey, op_encrypt, [&](const cipher_call& c) {
        return direct_encrypt(c, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
    });
}

uint32_t gm_decrypt_update_direct(HANDLE hKey, const uint8_t* pbEncryptedData,
                                  uint32_t ulEncryptedLen, uint8_t* pbData, uint32_t* pulDataLen) {
    return direct_entry(hKey, op_decrypt, [&](const cipher_call& c) {
        return direct_update(c, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen, false);
    });
}

uint32_t gm_decrypt_final_direct(HANDLE hKey, uint8_t* pbDecryptedData,
                                 uint32_t* pulDecryptedDataLen) {
    return direct_entry(hKey, op_decrypt, [&](const cipher_call& c) {
        return direct_decrypt_final(c, pbDecryptedData, pulDecryptedDataLen);
    });
}

uint32_t gm_decrypt_direct(HANDLE hKey, const uint8_t* pbEncryptedData, uint32_t ulEncryptedLen,
                           uint8_t* pbData, uint32_t* pulDataLen) {
    return direct_entry(hKey, op_decrypt, [&](const cipher_call& c) {
        return direct_decrypt(c, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
    });
}

// ---- Digest ----

namespace {

// GM/T 0003 recommended curve: a, b, Gx, Gy (the signer-identity input).
constexpr uint8_t sm2_curve_params[128] = {
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC,
    0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E, 0x4B, 0xCF, 0x65, 0x09, 0xA7,
    0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB, 0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93,
    0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04, 0x46, 0x6A, 0x39, 0xC9, 0x94,
    0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66, 0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7,
    0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE, 0xE3, 0x6B, 0x69, 0x21, 0x53,
    0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A, 0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0,
};

constexpr uint32_t digest_reply_space = 256;
// GetDevInfo: firmware version bytes.
constexpr size_t firmware_major_offset = 198;
constexpr size_t firmware_minor_offset = 199;
constexpr uint8_t identity_form_below_minor = 82;
constexpr size_t sm2_coordinate = 32;
// Longest signer identifier: ENTL, its length in bits, is 16 bits (GM/T 0003).
constexpr uint32_t sm2_id_max = 0x1FFF;

bool hash_id_accepted(uint32_t id) {
    return id == 1 || id == 2 || id == 4 || (id >= 0x80 && id <= 0x83);
}

uint32_t sent_hash_id(uint32_t id) {
    return id == gm_digest_sha256 ? 3 : id;
}

// Digest handle and its device, with the card's digest context still its own.
struct digest_call {
    gm_sc_dev* dev = nullptr;
    gm_sc_digest* digest = nullptr;
};

uint32_t digest_call_for(HANDLE hHash, digest_call& call) {
    const gm_digest_ref ref = gm_find_digest(hHash);
    if (ref.digest == nullptr) return SAR_INVALIDHANDLEERR;
    if (ref.dev->digest_owner != hHash) return SAR_NOTINITIALIZEERR;
    call = {ref.dev, ref.digest};
    return SAR_OK;
}

uint32_t digest_chunk(const gm_sc_dev* dev) {
    return std::max(cmd_get_chunk_size(dev->device), chunk_size_min);
}

// Sends data as DigestUpdate commands of at most the chunk size.
uint32_t digest_pieces(device_id device, const uint8_t* data, uint32_t length, uint32_t chunk) {
    uint32_t done = 0;
    while (done < length) {
        const uint32_t piece = std::min(length - done, chunk);
        if (const cmd_result rc = cmd_digest_update(device, data + done, piece, 0); rc != cmd_ok)
            return gm_wrapper_error(rc);
        done += piece;
    }
    return SAR_OK;
}

// The older firmware computes no Z itself: the signer-identity input is hashed
// on the card first, and the new digest starts with the Z it gave.
uint32_t identity_form_init(device_id device, const ECCPUBLICKEYBLOB& key, const uint8_t* id,
                            uint32_t id_length) {
    std::vector<uint8_t> input;
    input.reserve(2 + id_length + sizeof sm2_curve_params + 2 * sm2_coordinate);
    const uint32_t entl = id_length * 8;
    input.push_back(static_cast<uint8_t>(entl >> 8));
    input.push_back(static_cast<uint8_t>(entl));
    if (id_length != 0) input.insert(input.end(), id, id + id_length);
    input.insert(input.end(), std::begin(sm2_curve_params), std::end(sm2_curve_params));
    input.insert(input.end(), key.XCoordinate + sizeof key.XCoordinate - sm2_coordinate,
                 key.XCoordinate + sizeof key.XCoordinate);
    input.insert(input.end(), key.YCoordinate + sizeof key.YCoordinate - sm2_coordinate,
                 key.YCoordinate + sizeof key.YCoordinate);
    if (const cmd_result rc = cmd_digest_init(device, gm_digest_sm3, nullptr, 0, nullptr, 0, 0);
        rc != cmd_ok)
        return gm_wrapper_error(rc);
    if (const cmd_result rc =
            cmd_digest_update(device, input.data(), static_cast<uint32_t>(input.size()), 0);
        rc != cmd_ok)
        return gm_wrapper_error(rc);
    std::array<uint8_t, 64> z{};
    uint32_t z_length = z.size();
    if (const cmd_result rc = cmd_digest_final(device, nullptr, 0, z.data(), &z_length);
        rc != cmd_ok)
        return gm_wrapper_error(rc);
    if (z_length != sm2_coordinate) return SAR_FAIL;
    if (const cmd_result rc = cmd_digest_init(device, gm_digest_sm3, nullptr, 0, nullptr, 0, 0);
        rc != cmd_ok)
        return gm_wrapper_error(rc);
    if (const cmd_result rc = cmd_digest_update(device, z.data(), z_length, 0); rc != cmd_ok)
        return gm_wrapper_error(rc);
    return SAR_OK;
}

} // namespace

uint32_t gm_digest_length(uint32_t hash_id) {
    switch (hash_id) {
    case 1:
    case 3:
    case 4:
        return 32;
    case 2:
        return 20;
    case 0x81:
        return 16;
    case 0x82:
        return 48;
    case 0x83:
        return 64;
    default:
        return 0;
    }
}

uint32_t SKF_DigestInit(DEVHANDLE hDev, uint32_t ulAlgID, const ECCPUBLICKEYBLOB* pPubKey,
                        const uint8_t* pucID, uint32_t ulIDLen, HANDLE* phHash) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr) return SAR_INVALIDPARAMERR;
        if (phHash == nullptr || !hash_id_accepted(ulAlgID)) return SAR_INVALIDPARAMERR;
        if (ulIDLen != 0 && pucID == nullptr) return SAR_INVALIDPARAMERR;
        if (ulIDLen > sm2_id_max) return SAR_INVALIDPARAMERR;
        const device_id device = dev->device;
        const bool with_key = pPubKey != nullptr && ulAlgID == gm_digest_sm3;
        // The firmware decides only between the two forms of an SM3 digest
        // with a public key; no other digest pays for the extra command.
        bool identity_form = false;
        if (with_key) {
            std::array<uint8_t, gm_card_dev_info_size> info{};
            uint32_t size = info.size();
            if (const cmd_result rc = cmd_get_dev_info(device, info.data(), &size); rc != cmd_ok)
                return gm_wrapper_error(rc);
            if (size > firmware_minor_offset)
                identity_form = info[firmware_major_offset] == 1 &&
                                info[firmware_minor_offset] < identity_form_below_minor;
        }
        if (identity_form) {
            if (const uint32_t rv = identity_form_init(device, *pPubKey, pucID, ulIDLen);
                rv != SAR_OK)
                return rv;
        } else if (with_key && ulIDLen != 0) {
            std::array<uint8_t, 4 + 2 * sm2_coordinate> key{};
            // The bit length is bounded in this copy: the caller's record is input only.
            put_be32(std::min<uint32_t>(pPubKey->BitLen, 256), key.data());
            std::memcpy(key.data() + 4,
                        pPubKey->XCoordinate + sizeof pPubKey->XCoordinate - sm2_coordinate,
                        sm2_coordinate);
            std::memcpy(key.data() + 4 + sm2_coordinate,
                        pPubKey->YCoordinate + sizeof pPubKey->YCoordinate - sm2_coordinate,
                        sm2_coordinate);
            if (const cmd_result rc =
                    cmd_digest_init(device, static_cast<uint8_t>(ulAlgID), key.data(),
                                    static_cast<uint32_t>(key.size()), pucID, ulIDLen, 0);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
        } else {
            if (const cmd_result rc = cmd_digest_init(
                    device, static_cast<uint8_t>(sent_hash_id(ulAlgID)), nullptr, 0, nullptr, 0, 0);
                rc != cmd_ok)
                return gm_wrapper_error(rc);
        }
        gm_sc_digest* digest = dev->add_digest(sent_hash_id(ulAlgID));
        if (digest == nullptr) return SAR_MEMORYERR;
        dev->digest_owner = digest->handle();
        *phHash = digest->handle();
        return SAR_OK;
    });
}

uint32_t SKF_Digest(HANDLE hHash, const uint8_t* pbData, uint32_t ulDataLen, uint8_t* pbHashData,
                    uint32_t* pulHashLen) {
    return gm_locked_call([&]() -> uint32_t {
        digest_call d;
        if (const gm_digest_ref ref = gm_find_digest(hHash); ref.digest == nullptr)
            return SAR_INVALIDHANDLEERR;
        if (pulHashLen == nullptr) return SAR_INVALIDPARAMERR;
        if (pbHashData == nullptr) {
            *pulHashLen = gm_digest_length(gm_find_digest(hHash).digest->alg_id);
            return SAR_OK;
        }
        if (const uint32_t rv = digest_call_for(hHash, d); rv != SAR_OK) return rv;
        const uint32_t length = gm_digest_length(d.digest->alg_id);
        if (const uint32_t rv = gm_size_query(length, pbHashData, pulHashLen); rv != SAR_OK)
            return rv;
        if (ulDataLen != 0 && pbData == nullptr) return SAR_INVALIDPARAMERR;
        const device_id device = d.dev->device;
        const uint32_t chunk = digest_chunk(d.dev);
        // The card's context ends with this call, whatever its outcome.
        d.dev->digest_owner = 0;
        std::array<uint8_t, digest_reply_space> reply{};
        uint32_t reply_length = reply.size();
        cmd_result rc;
        if (ulDataLen == 0) {
            rc = cmd_digest_final(device, nullptr, 0, reply.data(), &reply_length);
        } else if (ulDataLen < chunk) {
            rc = cmd_digest(device, pbData, ulDataLen, reply.data(), &reply_length);
        } else {
            // Updates of the chunk size while more remain, the rest, then the
            // final command without data.
            if (const uint32_t rv = digest_pieces(device, pbData, ulDataLen, chunk); rv != SAR_OK)
                return rv;
            rc = cmd_digest_final(device, nullptr, 0, reply.data(), &reply_length);
        }
        if (rc != cmd_ok) return gm_wrapper_error(rc);
        if (length != 0 && reply_length != length) return SAR_FAIL;
        return gm_copy_out(reply.data(), reply_length, pbHashData, pulHashLen);
    });
}

uint32_t SKF_DigestUpdate(HANDLE hHash, const uint8_t* pbData, uint32_t ulDataLen) {
    return gm_locked_call([&]() -> uint32_t {
        digest_call d;
        if (const uint32_t rv = digest_call_for(hHash, d); rv != SAR_OK) return rv;
        if (ulDataLen != 0 && pbData == nullptr) return SAR_INVALIDPARAMERR;
        return digest_pieces(d.dev->device, pbData, ulDataLen, digest_chunk(d.dev));
    });
}

uint32_t SKF_DigestFinal(HANDLE hHash, uint8_t* pHashData, uint32_t* pulHashLen) {
    return gm_locked_call([&]() -> uint32_t {
        if (const gm_digest_ref ref = gm_find_digest(hHash); ref.digest == nullptr)
            return SAR_INVALIDHANDLEERR;
        if (pulHashLen == nullptr) return SAR_INVALIDPARAMERR;
        digest_call d;
        if (const uint32_t rv = digest_call_for(hHash, d); rv != SAR_OK) return rv;
        const uint32_t length = gm_digest_length(d.digest->alg_id);
        if (const uint32_t rv = gm_size_query(length, pHashData, pulHashLen);
            rv != SAR_OK || pHashData == nullptr)
            return rv;
        d.dev->digest_owner = 0;
        std::array<uint8_t, digest_reply_space> reply{};
        uint32_t reply_length = reply.size();
        if (const cmd_result rc =
                cmd_digest_final(d.dev->device, nullptr, 0, reply.data(), &reply_length);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        if (length != 0 && reply_length != length) return SAR_FAIL;
        return gm_copy_out(reply.data(), reply_length, pHashData, pulHashLen);
    });
}

// ---- Padding helpers ----

uint32_t pad_length(uint32_t block, uint32_t n) {
    if (block == 0) return 0;
    return block - n % block;
}

int strip_padding(uint32_t block, const uint8_t* data, uint32_t n, uint32_t* out_length) {
    if (block == 0 || n == 0 || n % block != 0 || data == nullptr) return 1;
    const uint8_t v = data[n - 1];
    // PKCS#5: a padding byte is 1..block; 0 is no padding at all.
    if (v == 0 || v > block) return 2;
    for (uint32_t i = 0; i < v; ++i)
        if (data[n - 1 - i] != v) return 2;
    if (out_length != nullptr) *out_length = n - v;
    return 0;
}
