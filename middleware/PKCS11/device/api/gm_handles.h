// The handle tree of the device API: every DEVHANDLE, HAPPLICATION,
// HCONTAINER and key/MAC/digest handle stands for one object in one
// process-wide tree (devices -> applications -> containers -> keys and MACs;
// devices -> digests). Callers hold only the handle values; every API call
// finds its objects by walking the tree from the registry.
//
// Handle values come from one process-wide counter shared by every kind: the
// first is 0x3000, each new object takes the next value (also objects whose
// creation then fails), and values are never reused or 0.
//
// Nothing here locks: every caller holds the device mutex (gm_frame.h) for the
// whole API call, so no walk of a list runs inside another walk of it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_id.h"

enum class gm_kind : int32_t {
    none = -1,
    digest = 0,
    session_key = 1,
    mac = 3,
    device = 4,
    container = 5,
    application = 6,
};

inline constexpr uint32_t gm_first_handle_value = 0x3000;

// Takes the next handle value; 0 once the 32-bit range is spent (never wraps
// back onto values in use).
uint32_t gm_take_handle_value();
// The value the next object will get (tests).
uint32_t gm_peek_handle_value();

class gm_handle {
  public:
    virtual ~gm_handle() = default;
    gm_handle(const gm_handle&) = delete;
    gm_handle& operator=(const gm_handle&) = delete;

    gm_kind kind() const { return kind_; }
    uint32_t handle() const { return handle_; }

  protected:
    explicit gm_handle(gm_kind kind) : kind_(kind), handle_(gm_take_handle_value()) {}

  private:
    gm_kind kind_;
    uint32_t handle_;
};

class gm_sc_digest final : public gm_handle {
  public:
    explicit gm_sc_digest(uint32_t alg) : gm_handle(gm_kind::digest), alg_id(alg) {}
    uint32_t alg_id; // hash id as sent to the card (4 stored as 3)
};

class gm_sc_key final : public gm_handle {
  public:
    gm_sc_key(uint32_t card_key, uint32_t container, uint32_t alg)
        : gm_handle(gm_kind::session_key), card_key_id(card_key), alg_id(alg),
          container_id(container) {}
    uint32_t card_key_id;
    uint32_t alg_id;
    uint32_t container_id;
    uint32_t padding_type = 0;
    uint8_t iv[32] = {};
    uint32_t iv_length = 0; // at most 32
    uint32_t first_call = 1;
    // Buffered input of a multi-part cipher operation.
    std::vector<uint8_t> block_buffer;
    uint32_t block_size = 16;
    // The operation begun by the last init: 0 none, 1 encryption, 2 decryption.
    uint32_t cipher_op = 0;
    // The operation runs on the device's direct cipher, not card commands.
    bool direct_path = false;
};

class gm_sc_mac final : public gm_handle {
  public:
    gm_sc_mac(uint32_t card_key, uint32_t container, uint32_t alg)
        : gm_handle(gm_kind::mac), card_key_id(card_key), alg_id(alg), container_id(container) {}
    uint32_t card_key_id;
    uint32_t alg_id;
    uint32_t container_id;
};

class gm_sc_cont final : public gm_handle {
  public:
    gm_sc_cont(uint32_t id, const char* container_name, uint32_t app);

    // Creation at the tail; nullptr on allocation failure or spent counter.
    gm_sc_key* add_key(uint32_t card_key_id, uint32_t alg_id);
    gm_sc_mac* add_mac(uint32_t card_key_id, uint32_t alg_id);
    // Removal by handle value from this container's own list: 0, or SAR_FAIL
    // when the value is not in it.
    uint32_t remove_key(uint32_t handle);
    uint32_t remove_mac(uint32_t handle);

    std::string name; // at most 128 characters
    uint32_t container_id;
    uint32_t app_id;
    std::vector<std::unique_ptr<gm_sc_key>> keys;
    std::vector<std::unique_ptr<gm_sc_mac>> macs;
};

inline constexpr size_t gm_open_app_reply_size = 10;

class gm_sc_app final : public gm_handle {
  public:
    // reply: the card's 10-byte "OpenApplication" reply (bytes 8-9: the
    // big-endian application id).
    gm_sc_app(const uint8_t (&reply)[gm_open_app_reply_size], const char* app_name);

    gm_sc_cont* add_container(uint32_t container_id, const char* container_name);
    // Exact, case-sensitive; first in list order.
    gm_sc_cont* find_container_by_name(const char* container_name) const;
    // Destroys the container with its keys and MACs: 0, or SAR_FAIL.
    uint32_t remove_container(const gm_sc_cont* container);
    // Destroys every container of that name; returns how many.
    int remove_containers_named(const char* container_name);

    std::string name; // at most 32 characters
    uint32_t app_id;
    uint32_t user_logged_in = 0;
    uint32_t flag1 = 0; // cleared by gm_set_app_option, read by nothing else
    uint32_t flag2 = 0;
    uint32_t so_logged_in = 0;
    uint8_t open_reply[gm_open_app_reply_size]; // bytes 8 and 9 exchanged
    std::vector<std::unique_ptr<gm_sc_cont>> containers;
};

inline constexpr size_t gm_device_name_max = 256;

class gm_sc_dev final : public gm_handle {
  public:
    explicit gm_sc_dev(const char* reader_name);

    // Connects the device of this name and reads its device information (see
    // gm_device.cpp). 0; 1 no such device listed; 2 connect failed; else the
    // device-API code of the failure.
    uint32_t open();

    gm_sc_app* add_app(const uint8_t (&reply)[gm_open_app_reply_size], const char* app_name);
    gm_sc_app* find_app_by_name(const char* app_name) const;
    uint32_t remove_app(const gm_sc_app* app);
    gm_sc_digest* add_digest(uint32_t alg_id);
    uint32_t remove_digest(uint32_t handle);

    std::string name;
    device_id device = no_device;
    uint32_t authenticated = 0;
    uint32_t open_flag = 0;
    uint32_t chunk_size = 1024;
    uint32_t direct_cipher_size = 0;
    // The digest handle whose operation holds the card's one digest context (0: none).
    uint32_t digest_owner = 0;
    std::vector<std::unique_ptr<gm_sc_app>> apps;
    std::vector<std::unique_ptr<gm_sc_digest>> digests;
};

// The registry of connected devices (list order = connection order).
std::vector<std::unique_ptr<gm_sc_dev>>& gm_handle_registry();

// Lookups by handle value, each of its own kind only; the object is null when
// the value is not one of that kind. Ancestors are filled when found.
struct gm_app_ref {
    gm_sc_dev* dev = nullptr;
    gm_sc_app* app = nullptr;
};
struct gm_cont_ref {
    gm_sc_dev* dev = nullptr;
    gm_sc_app* app = nullptr;
    gm_sc_cont* cont = nullptr;
};
struct gm_key_ref {
    gm_sc_dev* dev = nullptr;
    gm_sc_app* app = nullptr;
    gm_sc_cont* cont = nullptr;
    gm_sc_key* key = nullptr;
};
struct gm_mac_ref {
    gm_sc_dev* dev = nullptr;
    gm_sc_app* app = nullptr;
    gm_sc_cont* cont = nullptr;
    gm_sc_mac* mac = nullptr;
};
struct gm_digest_ref {
    gm_sc_dev* dev = nullptr;
    gm_sc_digest* digest = nullptr;
};

gm_sc_dev* gm_find_dev(uint32_t handle);
gm_app_ref gm_find_app(uint32_t handle);
gm_cont_ref gm_find_cont(uint32_t handle);
gm_key_ref gm_find_key(uint32_t handle);
gm_mac_ref gm_find_mac(uint32_t handle);
gm_digest_ref gm_find_digest(uint32_t handle);

// Appends a connected device to the registry (takes ownership).
gm_sc_dev* gm_register_dev(std::unique_ptr<gm_sc_dev> dev);
// Removes the device and destroys it with its subtree: 0, or SAR_FAIL.
uint32_t gm_unregister_dev(uint32_t handle);
