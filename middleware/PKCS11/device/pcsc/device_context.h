// The process-wide device context: the transport's view of the device
// manager. Every operation that takes a device first looks it up by id in the
// manager's list and answers "not listed" when it is gone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_id.h"
#include "device_sc_manager.h"

struct direct_cipher_request;

class device_context {
  public:
    device_context() = default;
    device_context(const device_context&) = delete;
    device_context& operator=(const device_context&) = delete;

    device_sc_manager& manager();

    int refresh(const char* filter);
    int scan(int* removed, int* added, const char* filter);
    int purge_removed();
    // 0, or 1 when not listed. A shared cursor on the device is moved back to
    // the device before it, so an enumeration in progress continues with the
    // device that followed.
    int remove_device(device_id device);

    device_base* first_device();
    device_base* next_device();
    device_base* find_device(device_id device);
    device_node* find_node(device_id device);
    device_base* find_by_name(const char* reader_name);

    int connect(device_id device);                                // 0, 1 not listed, 2 failed
    int connect_by_name(const char* reader_name, device_id* out); // 0, 1 none, 2 failed
    int disconnect(device_id device);                             // 0, 1 not listed

    // Not listed: *status 0x8002, result 1. Else the exchange: *status
    // 0x9000 (done), 0x8004 (no status word in the reply) or 0x8003 (send
    // failed); result 0. *reply_length is the capacity in, the length out.
    int exchange(device_id device, const uint8_t* bytes, size_t length, uint8_t* reply,
                 size_t* reply_length, uint32_t* status, int32_t timeout_ms);
    // 1 not listed; 2 the device reported itself removed (then disconnected
    // and purged); 0 otherwise.
    int check_removed(device_id device);

    int send_raw(device_id device, const uint8_t* block, size_t block_length, const uint8_t* data,
                 size_t length);
    int receive_raw(device_id device, const uint8_t* block, size_t block_length, uint8_t* buffer,
                    size_t* length);
    int32_t get_state(device_id device); // -1 when not listed
    const char* reader_name(device_id device);
    int set_alias(device_id device, const char* alias);
    int32_t device_type(device_id device); // -1 when not listed
    int get_direct_cipher_size(device_id device, uint32_t* size);
    int set_cipher_session(device_id device, int flag);
    int direct_cipher(device_id device, const direct_cipher_request& request);

  private:
    device_sc_manager* manager_ = nullptr;
    device_node* cursor_ = nullptr;
};

// The process-wide context.
device_context& device_ctx();
