// An in-process device for transport tests: every exchange goes to a reply
// function (a cardsim::card, or a script), with the same last-response rules
// as a PC/SC device.
#pragma once

#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "device_base.h"
#include "device_id.h"

class fake_device : public device_base {
  public:
    using reply_fn = std::function<std::vector<uint8_t>(std::span<const uint8_t>)>;

    fake_device(std::string name, reply_fn reply)
        : name_(std::move(name)), reply_(std::move(reply)) {}

    int send_and_receive(const uint8_t* command, size_t length, uint8_t* reply,
                         size_t* reply_length) override {
        sent.emplace_back(command, command + length);
        if (fail_send) return 1;
        const std::vector<uint8_t> answer = reply_({command, length});
        if (answer.size() < 2 || answer.size() > *reply_length) return 2;
        std::memcpy(reply, answer.data(), answer.size());
        *reply_length = answer.size();
        return 0;
    }
    int32_t set_timeout(int32_t ms) override {
        last_timeout = ms;
        return ms;
    }
    const char* name() const override { return name_.c_str(); }
    const char* reader_name() const override { return name_.c_str(); }
    int32_t set_state(int32_t state) override { return state_ = state; }
    int32_t get_state() const override { return state_; }
    int32_t device_type() const override { return 2; }
    bool is_removed() const override { return removed; }

    std::vector<std::vector<uint8_t>> sent;
    bool fail_send = false;
    bool removed = false;
    int32_t last_timeout = -1;

  private:
    std::string name_;
    reply_fn reply_;
    int32_t state_ = device_state_new;
};
