// Device API: fingerprint record, on-card verification, information, clean
// and unblock.
#include "gm_fingerprint.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "cmd_crypto.h"
#include "gm_app_pin.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "transport.h"

namespace {

constexpr uint32_t sw_sensor_busy = 0x6F0D;
constexpr uint32_t start_retry_ms = 300;
constexpr uint32_t poll_interval_ms = 200;
constexpr uint32_t info_reply_capacity = 512;
constexpr uint32_t verify_info_block = 128;
constexpr uint8_t mode_poll = 0;
constexpr uint8_t mode_start = 1;

std::atomic<uint32_t> fingerprint_timeout_ms{gm_fingerprint_timeout_default};

using clock_type = std::chrono::steady_clock;

clock_type::time_point deadline_from_now() {
    return clock_type::now() + std::chrono::milliseconds(fingerprint_timeout_ms.load());
}

// Sleeps (holding no lock) before the next try; false when the next try
// would start after the deadline.
bool pause_before_retry(uint32_t milliseconds, clock_type::time_point deadline) {
    if (clock_type::now() + std::chrono::milliseconds(milliseconds) > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return true;
}

uint16_t app_id16(const gm_sc_app* app) {
    return static_cast<uint16_t>(app->app_id);
}

// The sensor's reply to one start: 0 started, sw_sensor_busy-mapped pending,
// or the mapped failure.
uint32_t send_start(HAPPLICATION hApplication, uint32_t pin_type, bool* busy) {
    *busy = false;
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        const cmd_result rc = cmd_verify_fingerprint(ref.dev->device, app_id16(ref.app),
                                                     static_cast<uint8_t>(pin_type), 0, mode_start,
                                                     nullptr, nullptr, nullptr, nullptr);
        if (rc == cmd_ok) return SAR_OK;
        *busy = rc == cmd_bad_status && rc.status_word == sw_sensor_busy;
        return gm_wrapper_error(rc);
    });
}

} // namespace

void gm_set_fingerprint_timeout(uint32_t milliseconds) {
    fingerprint_timeout_ms = milliseconds;
}
uint32_t gm_fingerprint_timeout() {
    return fingerprint_timeout_ms.load();
}

uint32_t gm_create_fingerprint_record(HAPPLICATION hApplication, uint32_t ulParam1,
                                      uint32_t ulParam2, uint32_t ulParam3, uint32_t ulParam4) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        return gm_wrapper_error(cmd_create_fingerprint_record(
            ref.dev->device, app_id16(ref.app), 0, 0, static_cast<uint8_t>(ulParam1),
            static_cast<uint8_t>(ulParam2), static_cast<uint8_t>(ulParam3),
            static_cast<uint8_t>(ulParam4)));
    });
}

uint32_t gm_start_fingerprint_verify(HAPPLICATION hApplication, uint32_t ulPINType) {
    const auto deadline = deadline_from_now();
    for (;;) {
        bool busy = false;
        const uint32_t rv = send_start(hApplication, ulPINType, &busy);
        if (!busy) return rv;
        // The device mutex is not held across the wait for the sensor.
        if (!pause_before_retry(start_retry_ms, deadline)) return SAR_TIMEOUTERR;
    }
}

uint32_t gm_poll_fingerprint_verify(HAPPLICATION hApplication, uint32_t ulPINType,
                                    uint32_t* pulFinger, uint32_t* pulRetryCount) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        uint8_t finger = 0;
        const cmd_result rc = cmd_verify_fingerprint(ref.dev->device, app_id16(ref.app),
                                                     static_cast<uint8_t>(ulPINType), 0, mode_poll,
                                                     &finger, nullptr, nullptr, nullptr);
        if (rc != cmd_ok) {
            if (rc == cmd_bad_status) {
                const gm_verify_status status = gm_read_verify_status(rc.status_word);
                if (status.counter) {
                    if (pulRetryCount) *pulRetryCount = status.tries;
                    return status.code;
                }
            }
            return gm_wrapper_error(rc);
        }
        // The finger logs in the PIN type it was verified for, as the PIN would.
        if (ulPINType == gm_pin_type_user)
            ref.app->user_logged_in = 1;
        else
            ref.app->so_logged_in = 1;
        if (pulFinger) *pulFinger = finger;
        return SAR_OK;
    });
}

uint32_t gm_get_fingerprint_info(HAPPLICATION hApplication, uint32_t ulPINType, uint32_t* pul1,
                                 uint32_t* pul2, uint32_t* pul3, uint32_t* pulTriesLeft,
                                 uint8_t* pbBuffer, uint32_t* pulLength) {
    if (pulLength == nullptr) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        std::array<uint8_t, info_reply_capacity> block{};
        uint32_t length = block.size();
        uint8_t values[4] = {};
        if (const cmd_result rc = cmd_get_fingerprint_info(
                ref.dev->device, app_id16(ref.app), static_cast<uint8_t>(ulPINType), &values[0],
                &values[1], &values[2], &values[3], block.data(), &length);
            rc != cmd_ok)
            return gm_wrapper_error(rc);
        if (*pulLength < length) {
            *pulLength = length;
            return SAR_BUFFER_TOO_SMALL;
        }
        uint32_t* outs[4] = {pul1, pul2, pul3, pulTriesLeft};
        for (size_t i = 0; i < 4; ++i)
            if (outs[i]) *outs[i] = values[i];
        if (pbBuffer) std::copy_n(block.data(), length, pbBuffer);
        *pulLength = length;
        return SAR_OK;
    });
}

uint32_t gm_clean_fingerprints(DEVHANDLE hDev) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (dev == nullptr) return SAR_INVALIDPARAMERR;
        return gm_wrapper_error(cmd_clean_fingerprint(dev->device));
    });
}

uint32_t gm_unblock_fingerprint(HAPPLICATION hApplication, uint32_t ulPINType) {
    return gm_locked_call([&]() -> uint32_t {
        const gm_app_ref ref = gm_find_app(hApplication);
        if (ref.app == nullptr) return SAR_INVALIDHANDLEERR;
        return gm_wrapper_error(cmd_unblock_fingerprint(ref.dev->device, app_id16(ref.app),
                                                        static_cast<uint8_t>(ulPINType)));
    });
}

uint32_t gm_verify_fingerprint(HAPPLICATION hApplication, uint32_t ulPINType,
                               uint32_t* pulRetryCount) {
    // No mutex of its own: each step takes it, so the token serves other
    // callers between the polls.
    std::array<uint8_t, verify_info_block> block{};
    uint32_t length = block.size();
    uint32_t tries = 0;
    if (const uint32_t rv = gm_get_fingerprint_info(hApplication, ulPINType, nullptr, nullptr,
                                                    nullptr, &tries, block.data(), &length);
        rv != SAR_OK)
        return rv;
    if (tries == 0) {
        if (pulRetryCount) *pulRetryCount = 0;
        return SAR_PIN_LOCKED;
    }
    if (const uint32_t rv = gm_start_fingerprint_verify(hApplication, ulPINType); rv != SAR_OK)
        return rv;
    const auto deadline = deadline_from_now();
    uint32_t rv = SAR_OK;
    for (;;) {
        uint32_t retry = 0;
        rv = gm_poll_fingerprint_verify(hApplication, ulPINType, nullptr, &retry);
        if (rv != GM_FINGERPRINT_PENDING) break;
        if (!pause_before_retry(poll_interval_ms, deadline)) return SAR_TIMEOUTERR;
    }
    if (rv == SAR_OK) return SAR_OK;
    length = block.size();
    if (const uint32_t info_rv = gm_get_fingerprint_info(hApplication, ulPINType, nullptr, nullptr,
                                                         nullptr, &tries, block.data(), &length);
        info_rv != SAR_OK)
        return info_rv;
    if (pulRetryCount) *pulRetryCount = tries;
    return tries == 0 ? SAR_PIN_LOCKED : rv;
}
