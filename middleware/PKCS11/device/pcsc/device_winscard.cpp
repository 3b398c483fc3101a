#include "device_winscard.h"
#include "pcsc_fork_guard.h"

#include <PCSC/pcsclite.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <mbedtls/platform_util.h>

#include <unistd.h>

namespace {

constexpr int connect_attempts = 5;
constexpr uint32_t status_change_timeout_ms = 2000;
std::atomic<int> connect_retry_pause_ms{300};

uint32_t code(LONG rv) {
    return static_cast<uint32_t>(rv);
}

void copy_text(char* out, size_t capacity, const char* in) {
    if (!in) in = "";
    std::strncpy(out, in, capacity - 1);
    out[capacity - 1] = '\0';
}

} // namespace

void device_winscard::set_connect_retry_pause_ms(int milliseconds) {
    connect_retry_pause_ms = milliseconds;
}

device_winscard::device_winscard(const char* reader_name) {
    copy_text(reader_, sizeof(reader_), reader_name);
}

device_winscard::~device_winscard() {
    disconnect();
}

void device_winscard::forget_inherited_connection() {
    if (context_ != 0 && owner_ != getpid()) {
        context_ = 0;
        card_ = 0;
    }
}

uint32_t device_winscard::connect() {
    disconnect();
    SCARDCONTEXT context = 0;
    const uint32_t rc = code(pcsc_call(
        [&] { return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context); }));
    if (rc != SCARD_S_SUCCESS) return rc;

    uint32_t last = 0;
    for (int attempt = 0; attempt < connect_attempts; ++attempt) {
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        last = code(SCardConnect(context, reader_, SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol));
        if (last == SCARD_S_SUCCESS) {
            context_ = context;
            owner_ = getpid();
            card_ = handle;
            protocol_ = static_cast<uint32_t>(protocol);
            return 0;
        }
        if (last == pcsc_unknown_reader || attempt + 1 == connect_attempts) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(connect_retry_pause_ms.load()));
    }
    pcsc_call([&] { return SCardReleaseContext(context); });
    return last;
}

uint32_t device_winscard::disconnect() {
    forget_inherited_connection();
    // Ending the card connection explicitly keeps a later send from reaching
    // the card through a handle the caller gave up.
    if (card_ != 0 && context_ != 0)
        pcsc_call([&] { return SCardDisconnect(card_, SCARD_LEAVE_CARD); });
    card_ = 0;
    if (context_ != 0) {
        pcsc_call([&] { return SCardReleaseContext(context_); });
        context_ = 0;
    }
    return 0;
}

uint32_t device_winscard::exchange_once(const uint8_t* command, size_t length, uint8_t* reply,
                                        size_t* reply_length) {
    DWORD received = static_cast<DWORD>(*reply_length);
    const uint32_t rc = code(SCardTransmit(card_, SCARD_PCI_T1, command, static_cast<DWORD>(length),
                                           nullptr, reply, &received));
    *reply_length = rc == SCARD_S_SUCCESS ? static_cast<size_t>(received) : 0;
    return rc;
}

uint32_t device_winscard::transmit(const uint8_t* command, size_t length, uint8_t* reply,
                                   size_t* reply_length) {
    const size_t capacity = *reply_length;
    uint32_t rc = exchange_once(command, length, reply, reply_length);
    if (rc == SCARD_S_SUCCESS) return rc;

    uint32_t recovery;
    if (rc == pcsc_service_stopped || rc == pcsc_no_service || rc == pcsc_invalid_handle) {
        // A restarted resource manager: pcsc-lite reports it as a lost
        // service or an invalid handle rather than "service stopped".
        recovery = connect();
    } else if (rc == pcsc_removed_card) {
        // The card this connection was made to has left the reader. A card
        // there now is another one (or the same one after a power cycle) and
        // is reached only through a new connection: the command is not sent
        // again, and the connection is dropped so that the next connect starts
        // from a fresh context. Reconnecting the old handle with
        // SCARD_LEAVE_CARD would hand the command to a card it was not meant
        // for, and pcsc-lite does not power up a card that it switched off
        // while idle: the card then answers nothing and later connections to
        // the reader fail.
        disconnect();
        note_card_reset();
        return rc;
    } else if (rc == pcsc_reset_card) {
        DWORD protocol = 0;
        recovery =
            code(SCardReconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                SCARD_LEAVE_CARD, &protocol));
        if (recovery == SCARD_S_SUCCESS) {
            protocol_ = static_cast<uint32_t>(protocol);
            SCARD_READERSTATE state{};
            state.szReader = reader_;
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            recovery = code(SCardGetStatusChange(context_, status_change_timeout_ms, &state, 1));
        }
    } else {
        return rc;
    }
    if (recovery != SCARD_S_SUCCESS || card_ == 0) return rc;
    note_card_reset();
    *reply_length = capacity;
    return exchange_once(command, length, reply, reply_length);
}

uint32_t device_winscard::send(const uint8_t* bytes, size_t length) {
    last_response_length_ = 0;
    if (!bytes || length == 0 || length > winscard_max_command)
        return code(SCARD_E_INVALID_PARAMETER);
    uint8_t command[winscard_max_command];
    std::memcpy(command, bytes, length);
    std::memset(last_response_, 0, sizeof(last_response_));
    forget_inherited_connection();
    if (card_ == 0) return winscard_not_connected;

    uint8_t reply[winscard_max_reply];
    size_t reply_length = sizeof(reply);
    const uint32_t rc = transmit(command, length, reply, &reply_length);
    mbedtls_platform_zeroize(command, length);
    if (rc != SCARD_S_SUCCESS) return rc;
    // An empty reply leaves the last response empty: get_response then
    // reports the missing status word instead of handing on stale bytes.
    std::memcpy(last_response_, reply, reply_length);
    last_response_length_ = reply_length;
    return 0;
}

int device_winscard::get_response(uint8_t* buffer, size_t* length) {
    if (last_response_length_ < 2 || !buffer || !length || *length < last_response_length_)
        return 3;
    std::memcpy(buffer, last_response_, last_response_length_);
    *length = last_response_length_;
    return 0;
}

int device_winscard::send_and_receive(const uint8_t* command, size_t length, uint8_t* reply,
                                      size_t* reply_length) {
    if (send(command, length) != 0) return 1;
    if (get_response(reply, reply_length) != 0) return 2;
    return 0;
}

int32_t device_winscard::set_timeout(int32_t milliseconds) {
    timeout_ms_ = milliseconds;
    return milliseconds;
}

void device_winscard::set_alias(const char* alias) {
    copy_text(alias_, sizeof(alias_), alias);
}

int32_t device_winscard::set_state(int32_t state) {
    state_ = state;
    return state;
}
