// Abstract device: the operations the transport needs from any kind of token
// reader, with the default results a device type that lacks one answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device_id.h"

// A named lock a device may use to serialise access across processes.
class device_locker {
  public:
    virtual ~device_locker() = default;
    virtual int open(const char* name);
    virtual int lock(int32_t milliseconds);
    virtual int unlock();
    virtual int close();
};

// Lock that only remembers its name ("Global\" + name). The device API's
// process-wide mutex already serialises every device call, so device locks
// succeed at once without taking an operating-system object.
class device_mutex_locker : public device_locker {
  public:
    int open(const char* name) override;
    int lock(int32_t milliseconds) override;
    int unlock() override;
    int close() override;
    const char* name() const { return name_; }

  private:
    char name_[512] = {};
};

struct direct_cipher_request;

class device_base {
  public:
    device_base();
    virtual ~device_base();
    device_base(const device_base&) = delete;
    device_base& operator=(const device_base&) = delete;

    // Results of connect, disconnect and send are 0 or a PC/SC code as a
    // 32-bit value; the base answers 0xFFFFFFFF (-1).
    virtual uint32_t connect();
    virtual uint32_t disconnect();
    virtual int reserved3();
    virtual uint32_t send(const uint8_t* bytes, size_t length);
    // Copies the last response; *length is the capacity in, the length out.
    virtual int get_response(uint8_t* buffer, size_t* length);
    virtual int send_raw(const uint8_t* command_block, size_t block_length, const uint8_t* data,
                         size_t length);
    virtual int receive_raw(const uint8_t* command_block, size_t block_length, uint8_t* buffer,
                            size_t* length);
    // 0; 1 when the send failed; 2 when there was no usable response.
    // *reply_length is the capacity in, the reply length out.
    virtual int send_and_receive(const uint8_t* command, size_t length, uint8_t* reply,
                                 size_t* reply_length);
    virtual int32_t set_timeout(int32_t milliseconds);
    virtual const char* name() const;
    virtual const char* reader_name() const;
    virtual void set_alias(const char* alias);
    virtual int32_t set_state(int32_t state);
    virtual int32_t get_state() const;
    virtual int32_t device_type() const;
    virtual bool is_removed() const;
    virtual int reserved17();
    virtual int lock_named(int32_t milliseconds, const char* name);
    virtual int lock_device(int32_t milliseconds);
    virtual int unlock_device();
    virtual int lock_transaction(int32_t milliseconds);
    virtual int unlock_transaction();
    virtual int get_direct_cipher_size(uint32_t* size);
    virtual int set_cipher_session(int flag);
    virtual int direct_cipher(const direct_cipher_request& request);

    // Never reused within the process (see device_id.h).
    device_id id() const { return id_; }
    // Data chunk size chosen for this device (0: none chosen yet).
    uint32_t chunk_size() const { return chunk_size_; }
    void set_chunk_size(uint32_t size) { chunk_size_ = size; }
    // Number of times the card was found reset or the connection was
    // re-established under an exchange. The card has then lost its volatile
    // state (logins, chains, cipher contexts).
    uint64_t card_resets() const { return card_resets_; }
    void note_card_reset() { ++card_resets_; }

  private:
    const device_id id_;
    uint32_t chunk_size_ = 0;
    uint64_t card_resets_ = 0;
    device_mutex_locker device_lock_;
    device_mutex_locker transaction_lock_;
};
