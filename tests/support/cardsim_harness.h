// End-to-end test support: a simulated token in a real pcscd reader.
//
//   cardsim::test::simulated_token token;          // card in "... 00 00"
//   ASSERT_TRUE(token.inserted()) << token.error();
//   SCardConnect(ctx, token.reader().c_str(), ...); // talk PC/SC to it
//   token.sim().inject_status_word(0x6A82);         // control the card
//   token.remove();                                  // or let it go out of scope
//
// The constructor makes sure pcscd runs with the project's readers
// (scripts/pcscd.sh start, once per process), connects a `cardsim::card` to
// the vpcd port (35963 = reader "Quessar vKessa Tavrel 00 00", 35964 =
// "... 00 01") and waits until PC/SC reports a card in that reader. The
// destructor removes the card and waits until PC/SC reports the reader empty,
// so the next test starts from an empty reader.
//
// pcscd is one per machine: every test that uses this takes the CTest
// properties RESOURCE_LOCK pcscd and LABELS pcscd. Because several build
// trees may run their tests at once, the first simulated_token of a process
// also takes a machine-wide lock (flock on machine_lock_path) and keeps it
// until the process ends, so test processes of different trees take turns.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "card.h"

namespace cardsim::test {

inline constexpr uint16_t first_port = 35963;
inline constexpr uint16_t second_port = 35964;

inline constexpr const char* machine_lock_path = "/tmp/tessvik-pcscd-tests.lock";

// Takes the machine-wide lock (once per process, waiting up to 300 s).
bool hold_pcscd_test_lock();

// "Quessar vKessa Tavrel 00 00" for 35963, "... 00 01" for 35964.
std::string reader_for_port(uint16_t port);

// Takes the machine-wide test lock and runs scripts/pcscd.sh start, once per
// process; false when either fails.
bool ensure_pcscd();

// Waits until PC/SC shows `reader` with a card (present = true) or empty.
bool wait_for_reader(const std::string& reader, bool present, std::chrono::milliseconds timeout);

class simulated_token {
  public:
    explicit simulated_token(card_options options = {}, uint16_t port = first_port);
    ~simulated_token();
    simulated_token(const simulated_token&) = delete;
    simulated_token& operator=(const simulated_token&) = delete;

    // The card is in the reader and PC/SC shows it.
    bool inserted() const { return inserted_; }
    const std::string& error() const { return error_; }
    const std::string& reader() const { return reader_; }
    card& sim() { return card_; }

    // Takes the card out / puts it back, waiting for PC/SC to see it.
    bool remove(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool insert(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    card card_;
    vpcd_link link_;
    std::string reader_;
    std::string error_;
    bool inserted_ = false;
};

} // namespace cardsim::test
