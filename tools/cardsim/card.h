// Card simulator: one simulated token, APDU in, APDU out.
//
// `card` is the card core. Its `transmit` is also the in-process front-end
// for host unit tests: hand it a command APDU (ISO 7816-4, short or extended
// form) and get the full reply back (data followed by SW1 SW2). `vpcd_link`
// is the front-end that puts the same card behind a real pcscd through the
// vsmartcard vpcd driver.
//
// Every public member of `card` may be called from any thread: the vpcd
// thread and a test thread usually touch the same card at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace cardsim {

struct card_options {
    // The largest command or reply data field the card accepts in one APDU;
    // reported to the host in the device information.
    size_t max_buffer_size = 2048;
    // true: a factory-fresh card with no application; false: a freshly
    // formatted token (built-in format template).
    bool blank = false;
    // When not empty, the persistent state is loaded from this file (if it
    // exists) and written back to it after every change.
    std::string image_path;
    // OEM identifier text at bytes 128.. of the OEM area. The device API's own
    // default filter selects "vx8100"; the PKCS#11 module hands its
    // identifier ("Tavrel01" unless configured) to the device API instead.
    std::string oem_identifier = "vx8100";
    // A fingerprint sensor: bit 1 of the capability word at bytes 226-227
    // of "GetDevInfo". Without one the card still keeps fingerprint records
    // and answers the fingerprint commands (scripted sensor).
    bool fingerprint_sensor = false;
};

class card {
  public:
    // The card starts inserted and powered (as after a cold reset).
    explicit card(card_options options = {});
    ~card();
    card(const card&) = delete;
    card& operator=(const card&) = delete;

    // Full reply: data + SW1 SW2. Empty when the card is powered off, and
    // empty or short when a fault was injected.
    std::vector<uint8_t> transmit(std::span<const uint8_t> command_apdu);

    // Answer-to-reset: offers T=1 only.
    std::vector<uint8_t> atr() const;

    // Power-off and reset clear the volatile state (logins, selected
    // application, session keys, contexts, pending chains, random challenge).
    void power_on();
    void power_off();
    void reset();
    bool powered() const;
    // Blocks until the card's power is `on`, at most `timeout`; false when it
    // is not by then (pcscd powers an idle card down on its own).
    bool wait_powered(bool on, std::chrono::milliseconds timeout) const;

    // Fault injection: the next `count` commands are answered with an empty
    // reply / a one-byte reply / only the given status word. The command is
    // still logged but not executed.
    void inject_empty_reply(int count = 1);
    void inject_short_reply(int count = 1);
    void inject_status_word(uint16_t sw, int count = 1);
    // The first command with this INS after `skip` others with it is
    // answered with only the given status word (logged, not executed).
    void inject_status_word_on(uint8_t ins, uint16_t sw, int skip = 0);
    void clear_faults();

    // Every command APDU received (including those answered by a fault).
    std::vector<std::vector<uint8_t>> apdu_log() const;
    // The reply sent to each command of apdu_log, in the same order.
    std::vector<std::vector<uint8_t>> reply_log() const;
    void clear_log();

    // The maximum buffer size the card reports; may be changed by tests.
    size_t max_buffer_size() const;
    void set_max_buffer_size(size_t size);

    // Size of the pieces of list-style replies (answered 6A9E until the
    // last); 0 = min(maximum buffer size - 32, 2046).
    void set_piece_size(size_t size);

    // Writes the persistent state to the image file now (no-op without one).
    // Returns false when the file could not be written.
    bool save_image();
    // Why the image file given in the options could not be loaded (empty
    // when it was loaded or created). A file that exists but is not a valid
    // image is never overwritten: the card then runs without an image.
    std::string image_error() const;

    struct impl;

  private:
    // The reply to one command (transmit logs both).
    std::vector<uint8_t> answer(std::span<const uint8_t> command_apdu);

    friend struct card_test_access;
    std::unique_ptr<impl> impl_;
};

// Connects a card to the vpcd driver loaded by pcscd. Connecting inserts the
// card in the reader, disconnecting removes it. Port 35963 is the first vpcd
// reader ("... 00 00"), 35964 the second ("... 00 01").
class vpcd_link {
  public:
    vpcd_link(card& c, uint16_t port = 35963, std::string host = "127.0.0.1");
    ~vpcd_link(); // stops
    vpcd_link(const vpcd_link&) = delete;
    vpcd_link& operator=(const vpcd_link&) = delete;

    // Connects (= card inserted) and serves on its own thread. False when
    // the connection could not be made.
    bool start();
    // Disconnects (= card removed); returns promptly.
    void stop();
    bool connected() const;

    struct impl;

  private:
    std::unique_ptr<impl> impl_;
};

} // namespace cardsim
