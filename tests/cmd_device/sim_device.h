// Test fixture: host command wrappers addressed at an in-process device whose
// card is a simulated token (or a scripted reply function).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <vector>

#include "card.h"
#include "device_sc_manager.h"
#include "fake_device.h"

class sim_device_test : public ::testing::Test {
  protected:
    using bytes = std::vector<uint8_t>;

    void TearDown() override {
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    device_id add_card_device(cardsim::card& card) {
        return add_device([&card](std::span<const uint8_t> apdu) { return card.transmit(apdu); });
    }
    device_id add_device(fake_device::reply_fn fn) {
        auto* device = new fake_device("Quessar vKessa Tavrel 00 00", std::move(fn));
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        return device->id();
    }
    // A device that answers every command with body || 90 00.
    device_id add_script_device(bytes body, uint16_t sw = 0x9000) {
        body.push_back(static_cast<uint8_t>(sw >> 8));
        body.push_back(static_cast<uint8_t>(sw));
        return add_device([body](std::span<const uint8_t>) { return body; });
    }
};
