// A card in a PC/SC reader (pcsc-lite), exchanged with over T=1.
//
// PC/SC result codes are kept as 32-bit values: pcsc-lite's LONG is 8 bytes
// on this platform, and the codes are compared with their 32-bit forms.
#pragma once

#include <sys/types.h>

#include <PCSC/winscard.h>

#include <cstddef>
#include <cstdint>

#include "device_base.h"

// Buffer sizes of one exchange.
inline constexpr size_t winscard_max_command = 2048;
inline constexpr size_t winscard_max_reply = 2048;

// PC/SC codes the device reacts to, as 32-bit values.
inline constexpr uint32_t pcsc_unknown_reader = 0x80100009u;
inline constexpr uint32_t pcsc_service_stopped = 0x8010001Eu;
inline constexpr uint32_t pcsc_no_service = 0x8010001Du;
inline constexpr uint32_t pcsc_invalid_handle = 0x80100003u;
inline constexpr uint32_t pcsc_reset_card = 0x80100068u;
inline constexpr uint32_t pcsc_removed_card = 0x80100069u;

// Result of send when there is no card handle.
inline constexpr uint32_t winscard_not_connected = 31;

class device_winscard : public device_base {
  public:
    explicit device_winscard(const char* reader_name);
    ~device_winscard() override;

    // New context, then up to 5 connection attempts 300 ms apart (none after
    // an unknown reader). 0 or the last PC/SC code.
    uint32_t connect() override;
    // Releases the context (which also ends the card connection). 0.
    uint32_t disconnect() override;
    // Exchanges one command (at most 2048 bytes) and keeps the reply as the
    // last response. 0, winscard_not_connected, or a PC/SC code. An empty
    // reply leaves no last response, so that nothing stale is read after it.
    uint32_t send(const uint8_t* bytes, size_t length) override;
    // 3 when the last response has fewer than 2 bytes (no status word) or
    // does not fit *length; else 0.
    int get_response(uint8_t* buffer, size_t* length) override;
    int send_and_receive(const uint8_t* command, size_t length, uint8_t* reply,
                         size_t* reply_length) override;
    int32_t set_timeout(int32_t milliseconds) override;
    const char* name() const override { return reader_; }
    const char* reader_name() const override { return reader_; }
    void set_alias(const char* alias) override;
    int32_t set_state(int32_t state) override;
    int32_t get_state() const override { return state_; }
    int32_t device_type() const override { return 2; }

    void set_card_handle(SCARDHANDLE handle) { card_ = handle; }
    bool connected() const { return card_ != 0; }

    // Pauses between connection attempts; tests may shorten it.
    static void set_connect_retry_pause_ms(int milliseconds);

  protected:
    // One SCardTransmit with T=1 protocol information; *reply_length is the
    // capacity in, the received length out (0 on failure). Tests replace it.
    virtual uint32_t exchange_once(const uint8_t* command, size_t length, uint8_t* reply,
                                   size_t* reply_length);

  private:
    // exchange_once, recovering once from a reset card (reconnect) or a
    // restarted service (connect) and then sending the command again. A
    // removed card ends the connection (the next connect makes a new one)
    // and its code is returned.
    uint32_t transmit(const uint8_t* command, size_t length, uint8_t* reply, size_t* reply_length);

    char reader_[256] = {};
    char alias_[256] = {};
    int32_t state_ = 1;
    // A connection made by another process (this one's parent before a fork)
    // is not ours: pcsc-lite's context is a socket the parent still uses, so
    // it is forgotten here, never released or sent on.
    void forget_inherited_connection();

    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    pid_t owner_ = 0; // the process that made context_
    uint32_t protocol_ = SCARD_PROTOCOL_T1;
    uint8_t last_response_[winscard_max_reply] = {};
    size_t last_response_length_ = 0;
    int32_t timeout_ms_ = 0;
};
