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
// the vpcd port of the reader (first_port() = reader "Quessar vKessa Tavrel
// 00 00", second_port() = "... 00 01") and waits until PC/SC reports a card in
// that reader. The destructor removes the card and waits until PC/SC reports
// the reader empty, so the next test starts from an empty reader.
//
// Lanes: end-to-end tests run side by side, each in a lane of its own: a pcscd
// with the two readers (scripts/pcscd.sh, lane 0 is the machine's pcscd).
// CTest hands a test its lane (the resource "pcscd_lanes", see
// tests/CMakeLists.txt); TESSVIK_TEST_LANE=K chooses one by hand, and lane 0
// is the default. Before main() the harness points the process at its lane:
// PCSCLITE_CSOCK_NAME (the lane's pcscd), TESSVIK_LOCK_DIR (the module's named
// mutexes, kept per lane since the reader names are the same in every lane)
// and TESSVIK_TEST_LANE, which child processes inherit.
//
// Because several build trees may run their tests at once, the first
// simulated_token of a process also takes the lane's machine-wide lock (flock
// on lane_lock_path()) and keeps it until the process ends, so test processes
// of different trees take turns.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "card.h"

namespace cardsim::test {

// The lane of this process, and the vpcd ports of its two readers.
int lane();
uint16_t first_port();
uint16_t second_port();

// The flock file of this process's lane.
std::string lane_lock_path();

// Takes the lane's machine-wide lock (once per process, waiting up to 300 s).
bool hold_pcscd_test_lock();

// "Quessar vKessa Tavrel 00 00" for first_port(), "... 00 01" for second_port().
std::string reader_for_port(uint16_t port);

// Takes the lane's test lock and runs scripts/pcscd.sh start for the lane,
// once per process; false when either fails.
bool ensure_pcscd();

// Waits until PC/SC shows `reader` with a card (present = true) or empty.
bool wait_for_reader(const std::string& reader, bool present, std::chrono::milliseconds timeout);

class simulated_token {
  public:
    explicit simulated_token(card_options options = {}, uint16_t port = first_port());
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
