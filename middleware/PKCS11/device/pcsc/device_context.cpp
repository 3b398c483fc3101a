#include "device_context.h"

#include <cstring>

#include "transport.h"

device_sc_manager& device_context::manager() {
    if (!manager_) {
        manager_ = &device_manager();
        manager_->watch_cursor(&cursor_);
    }
    return *manager_;
}

int device_context::refresh(const char* filter) {
    return manager().refresh(filter);
}

int device_context::scan(int* removed, int* added, const char* filter) {
    return manager().scan(removed, added, filter);
}

int device_context::purge_removed() {
    return manager().purge_removed();
}

int device_context::remove_device(device_id device) {
    device_node* node = find_node(device);
    if (!node) return 1;
    return manager().remove_device(node);
}

device_base* device_context::first_device() {
    return manager().first_device(&cursor_);
}

device_base* device_context::next_device() {
    return manager().next_device(&cursor_);
}

device_base* device_context::find_device(device_id device) {
    return manager().find_device(device);
}

device_node* device_context::find_node(device_id device) {
    return manager().find_node(device);
}

device_base* device_context::find_by_name(const char* reader_name) {
    if (!reader_name) return nullptr;
    for (device_node* node = manager().head(); node; node = node->next()) {
        device_base* device = node->value();
        const char* name = device->reader_name();
        if (name && std::strcmp(name, reader_name) == 0) return device;
    }
    return nullptr;
}

int device_context::connect(device_id device) {
    device_base* d = find_device(device);
    if (!d) return 1;
    return d->connect() == 0 ? 0 : 2;
}

int device_context::connect_by_name(const char* reader_name, device_id* out) {
    device_base* d = find_by_name(reader_name);
    if (!d) return 1;
    if (d->connect() != 0) return 2;
    if (out) *out = d->id();
    return 0;
}

int device_context::disconnect(device_id device) {
    device_base* d = find_device(device);
    if (!d) return 1;
    d->disconnect();
    return 0;
}

int device_context::exchange(device_id device, const uint8_t* bytes, size_t length, uint8_t* reply,
                             size_t* reply_length, uint32_t* status, int32_t timeout_ms) {
    device_base* d = find_device(device);
    if (!d) {
        *status = transport_not_listed;
        return 1;
    }
    d->set_timeout(timeout_ms);
    const int rc = d->send_and_receive(bytes, length, reply, reply_length);
    *status = rc == 0 ? sw_success : rc == 2 ? transport_no_status_word : transport_exchange_failed;
    return 0;
}

int device_context::check_removed(device_id device) {
    device_base* d = find_device(device);
    if (!d) return 1;
    if (!d->is_removed()) return 0;
    d->disconnect();
    d->set_state(device_state_removed);
    purge_removed();
    return 2;
}

int device_context::send_raw(device_id device, const uint8_t* block, size_t block_length,
                             const uint8_t* data, size_t length) {
    device_base* d = find_device(device);
    if (!d) return 1;
    return d->send_raw(block, block_length, data, length) == 0 ? 0 : 2;
}

int device_context::receive_raw(device_id device, const uint8_t* block, size_t block_length,
                                uint8_t* buffer, size_t* length) {
    device_base* d = find_device(device);
    if (!d) return 1;
    return d->receive_raw(block, block_length, buffer, length) == 0 ? 0 : 2;
}

int32_t device_context::get_state(device_id device) {
    device_base* d = find_device(device);
    return d ? d->get_state() : -1;
}

const char* device_context::reader_name(device_id device) {
    device_base* d = find_device(device);
    return d ? d->reader_name() : nullptr;
}

int device_context::set_alias(device_id device, const char* alias) {
    device_base* d = find_device(device);
    if (!d) return 1;
    d->set_alias(alias);
    return 0;
}

int32_t device_context::device_type(device_id device) {
    device_base* d = find_device(device);
    return d ? d->device_type() : -1;
}

int device_context::get_direct_cipher_size(device_id device, uint32_t* size) {
    device_base* d = find_device(device);
    if (!d) return 1;
    return d->get_direct_cipher_size(size);
}

int device_context::set_cipher_session(device_id device, int flag) {
    device_base* d = find_device(device);
    if (!d) return 1;
    return d->set_cipher_session(flag);
}

int device_context::direct_cipher(device_id device, const direct_cipher_request& request) {
    device_base* d = find_device(device);
    if (!d) return 1;
    return d->direct_cipher(request);
}

device_context& device_ctx() {
    static device_context context;
    return context;
}
