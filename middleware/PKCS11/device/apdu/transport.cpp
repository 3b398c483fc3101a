#include "transport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

#include <mbedtls/platform_util.h>

#include "byte_order.h"
#include "device_context.h"

namespace {

// The record only: written by every exchange, read only to be reported.
// Atomic, since callers on other threads (or other devices) exchange without
// the device API's mutex.
std::atomic<uint32_t> g_last_status_word{sw_success};
uint32_t g_transmit_mode = 4;

constexpr int transmit_attempts = 3;
constexpr int unlisted_retry_pause_ms = 200;
constexpr size_t raw_block_size = 16;
constexpr size_t control_frame_max = 256;

std::string name_or_empty(const char* name) {
    return name ? std::string(name) : std::string();
}

// Writes a result's status word to the record and hands the result on.
cmd_result recorded(cmd_result result) {
    g_last_status_word.store(result.status_word, std::memory_order_relaxed);
    return result;
}

} // namespace

std::ostream& operator<<(std::ostream& os, const cmd_result& r) {
    const auto flags = os.flags();
    os << "{code " << r.code << ", status word 0x" << std::hex << r.status_word << "}";
    os.flags(flags);
    return os;
}

int apdu_transmit(device_id device, apdu_command& command, uint32_t& status) {
    int32_t length = 0;
    if (command.serialise(nullptr, &length) != apdu_ok || length <= 0) {
        status = transport_invalid_apdu;
        return transmit_no_length;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (command.serialise(bytes.data(), &length) != apdu_ok) {
        status = transport_invalid_apdu;
        return transmit_invalid;
    }

    device_context& context = device_ctx();
    uint8_t reply[transport_max_reply];
    size_t reply_length = 0;
    for (int attempt = 0; attempt < transmit_attempts; ++attempt) {
        reply_length = sizeof(reply);
        context.exchange(device, bytes.data(), static_cast<size_t>(length), reply, &reply_length,
                         &status, command.timeout());
        if (status != transport_not_listed) break;
        if (context.check_removed(device) != 0) {
            status = transport_exchange_failed;
            return transmit_removed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(unlisted_retry_pause_ms));
    }
    // The serialised command may hold a PIN or a key.
    mbedtls_platform_zeroize(bytes.data(), bytes.size());
    if (status != sw_success) return transmit_failed;

    if (command.parse_reply(reply, static_cast<int32_t>(reply_length)) != apdu_ok) {
        status = transport_unparsable;
        return transmit_unparsable;
    }
    status = command.status_word();
    return transmit_ok;
}

uint32_t cmd_last_status_word() {
    return g_last_status_word.load(std::memory_order_relaxed);
}

cmd_result cmd_exchange(device_id device, apdu_command& command) {
    uint32_t status = sw_none;
    const int rc = apdu_transmit(device, command, status);
    return recorded({rc == transmit_ok ? cmd_ok : cmd_transport_failed, status});
}

cmd_result cmd_send(device_id device, apdu_command& command, uint32_t also_accepted) {
    cmd_result result = cmd_exchange(device, command);
    if (result.ok() && result.status_word != sw_success && result.status_word != also_accepted)
        result.code = cmd_bad_status;
    return result;
}

cmd_result cmd_send_chained(device_id device, apdu_command& header, std::span<const uint8_t> data) {
    if (data.empty()) return {cmd_bad_length};
    device_base* d = device_ctx().find_device(device);
    const uint64_t resets_before = d ? d->card_resets() : 0;
    // A card reset in the middle of a chain discards what the card has
    // received so far; the remaining segments would be taken as new commands.
    auto chain_broken = [&] {
        device_base* now = device_ctx().find_device(device);
        return now && now->card_resets() != resets_before;
    };

    header.set_chaining();
    cmd_result result = cmd_send(device, header);
    if (!result.ok()) return result;

    const size_t chunk = cmd_get_chunk_size(device);
    for (size_t offset = 0; offset < data.size(); offset += chunk) {
        if (chain_broken()) return recorded({cmd_transport_failed, transport_exchange_failed});
        const size_t size = std::min(chunk, data.size() - offset);
        apdu_holder segment = header.clone_with_data(data.subspan(offset, size));
        if (!segment) return result.with(cmd_transport_failed);
        segment->set_timeout(header.timeout());
        if (offset + size < data.size())
            segment->set_chaining();
        else
            segment->clear_chaining();
        result = cmd_send(device, *segment);
        if (!result.ok()) return result;
    }
    if (chain_broken()) return recorded({cmd_transport_failed, transport_exchange_failed});
    return result;
}

cmd_result cmd_read_continued(device_id device, apdu_command& command, uint8_t* buffer,
                              uint32_t* size, size_t skip_first) {
    if (!size || (!buffer && *size)) return {cmd_bad_length};
    const uint32_t capacity = *size;
    uint32_t total = 0;
    *size = 0;
    for (int piece = 0; piece < cmd_max_continued_pieces; ++piece) {
        // The very same command each time: the card recognises the repeat.
        const cmd_result result = cmd_send(device, command, sw_more_data);
        if (!result.ok()) return result;
        std::span<const uint8_t> body = command.reply();
        if (piece == 0) {
            if (body.size() < skip_first) return result.with(cmd_bad_length);
            body = body.subspan(skip_first);
        }
        if (body.size() > capacity - total) {
            *size = total + static_cast<uint32_t>(body.size());
            return result.with(cmd_bad_length);
        }
        if (!body.empty()) std::memcpy(buffer + total, body.data(), body.size());
        total += static_cast<uint32_t>(body.size());
        *size = total;
        // A "more" without data would never progress.
        if (result.status_word != sw_more_data || body.empty()) return result;
    }
    return {cmd_bad_status, sw_more_data};
}

int cmd_copy_reply(const apdu_command& command, uint8_t* buffer, uint32_t* size, uint32_t minimum) {
    const std::span<const uint8_t> body = command.reply();
    if (!size) return cmd_bad_length;
    const uint32_t capacity = *size;
    *size = static_cast<uint32_t>(body.size());
    if (body.size() < minimum) return cmd_bad_length;
    if (!buffer) return cmd_ok;
    if (body.size() > capacity) return cmd_bad_length;
    if (!body.empty()) std::memcpy(buffer, body.data(), body.size());
    return cmd_ok;
}

uint32_t cmd_set_chunk_size(device_id device, uint32_t max_buffer_size) {
    device_base* d = device_ctx().find_device(device);
    if (!d) return 0;
    // The card needs 32 bytes of its buffer for the command's own fields.
    uint32_t chunk = max_buffer_size > 32 ? max_buffer_size - 32 : 0;
    chunk -= chunk % 16; // whole cipher blocks, so chunked cipher updates never split a block
    if (chunk < chunk_size_min) chunk = chunk_size_min;
    if (chunk > chunk_size_max) chunk = chunk_size_max;
    d->set_chunk_size(chunk);
    return chunk;
}

uint32_t cmd_get_chunk_size(device_id device) {
    device_base* d = device_ctx().find_device(device);
    return d && d->chunk_size() != 0 ? d->chunk_size() : chunk_size_default;
}

void cmd_set_transmit_mode(uint32_t mode) {
    g_transmit_mode = mode;
}
uint32_t cmd_get_transmit_mode() {
    return g_transmit_mode;
}

int dev_refresh(const char* filter) {
    device_context& context = device_ctx();
    const int found = context.refresh(filter);
    context.purge_removed();
    return found;
}

int dev_scan_changes(int* removed, int* added, const char* filter) {
    device_ctx().scan(removed, added, filter);
    return 0;
}

void dev_purge_removed() {
    device_ctx().purge_removed();
}

int dev_remove(device_id device) {
    return device_ctx().remove_device(device);
}

namespace {

std::string skip_to_state(device_base* d, device_id* device, int32_t state) {
    device_context& context = device_ctx();
    while (d && state != device_state_any && d->get_state() != state)
        d = context.next_device();
    if (device) *device = d ? d->id() : no_device;
    return d ? name_or_empty(d->reader_name()) : std::string();
}

} // namespace

std::string dev_first_in_state(device_id* device, int32_t state) {
    return skip_to_state(device_ctx().first_device(), device, state);
}

std::string dev_next_in_state(device_id* device, int32_t state) {
    return skip_to_state(device_ctx().next_device(), device, state);
}

int dev_connect(device_id device) {
    return device_ctx().connect(device);
}

int dev_connect_by_name(const char* reader_name, device_id* device) {
    return device_ctx().connect_by_name(reader_name, device);
}

int dev_disconnect(device_id device) {
    return device_ctx().disconnect(device);
}

std::string dev_get_reader_name(device_id device) {
    return name_or_empty(device_ctx().reader_name(device));
}

int32_t dev_get_state(device_id device) {
    return device_ctx().get_state(device);
}

int dev_set_alias(device_id device, const char* alias) {
    return device_ctx().set_alias(device, alias);
}

int dev_get_type(device_id device, int32_t* type) {
    const int32_t t = device_ctx().device_type(device);
    if (t < 0) return 1;
    if (type) *type = t;
    return 0;
}

uint64_t dev_card_resets(device_id device) {
    device_base* d = device_ctx().find_device(device);
    return d ? d->card_resets() : 0;
}

cmd_result dev_send_control_frame(device_id device, const uint8_t* data, size_t length) {
    device_context& context = device_ctx();
    uint8_t block[raw_block_size] = {0xFC, 0x02, 0xAA};
    if (length > control_frame_max || (length && !data) ||
        context.send_raw(device, block, sizeof(block), data, length) != 0)
        return recorded({cmd_transport_failed, transport_exchange_failed});
    // Sent, but the device left the list before its type was known: a failure
    // without a word of its own (the record keeps the last exchange's).
    const int32_t type = context.device_type(device);
    if (type < 0) return {cmd_transport_failed};
    if (type == 1) {
        uint8_t answer[transport_max_reply];
        size_t answer_length = sizeof(answer);
        context.receive_raw(device, block, sizeof(block), answer, &answer_length);
    }
    return {cmd_ok, sw_success};
}

namespace {

// SCSI READ(10) / WRITE(10) command block (SBC-3 5.11 / 5.35), padded to 16.
void sector_block(uint8_t (&block)[raw_block_size], uint8_t operation, uint32_t address,
                  uint16_t count) {
    std::memset(block, 0, sizeof(block));
    block[0] = operation;
    put_be32(address, block + 2);
    put_be16(count, block + 7);
}

} // namespace

cmd_result dev_raw_write(device_id device, uint8_t operation, uint32_t address, uint16_t count,
                         const uint8_t* data, size_t length) {
    uint8_t block[raw_block_size];
    sector_block(block, operation, address, count);
    if ((length && !data) || device_ctx().send_raw(device, block, sizeof(block), data, length) != 0)
        return recorded({cmd_transport_failed, transport_exchange_failed});
    return {cmd_ok, sw_success};
}

cmd_result dev_raw_read(device_id device, uint8_t operation, uint32_t address, uint16_t count,
                        uint8_t* buffer, size_t length) {
    uint8_t block[raw_block_size];
    sector_block(block, operation, address, count);
    size_t received = length;
    if (!buffer || device_ctx().receive_raw(device, block, sizeof(block), buffer, &received) != 0)
        return recorded({cmd_transport_failed, transport_no_status_word});
    if (received != length) return recorded({cmd_transport_failed, transport_unparsable});
    return {cmd_ok, sw_success};
}

int dev_get_direct_cipher_size(device_id device, uint32_t* size) {
    return device_ctx().get_direct_cipher_size(device, size);
}

int dev_set_cipher_session(device_id device, int flag) {
    return device_ctx().set_cipher_session(device, flag);
}

int dev_direct_cipher(device_id device, const direct_cipher_request& request) {
    return device_ctx().direct_cipher(device, request);
}

int dev_direct_encrypt(device_id device, direct_cipher_request request) {
    request.direction = 1;
    return dev_direct_cipher(device, request);
}

int dev_direct_decrypt(device_id device, direct_cipher_request request) {
    request.direction = 0;
    return dev_direct_cipher(device, request);
}
