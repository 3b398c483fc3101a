#include "device_base.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "transport.h"

namespace {

constexpr uint32_t not_supported = 0xFFFFFFFFu;

device_id next_device_id() {
    // Starts well above small values so that an id is never mistaken for a count or an index.
    static std::atomic<device_id> counter{0x1000};
    return counter.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

int device_locker::open(const char*) {
    return 1;
}
int device_locker::lock(int32_t) {
    return 1;
}
int device_locker::unlock() {
    return 1;
}
int device_locker::close() {
    return 1;
}

int device_mutex_locker::open(const char* name) {
    std::snprintf(name_, sizeof(name_), "Global\\%s", name ? name : "");
    return 0;
}
int device_mutex_locker::lock(int32_t) {
    return 0;
}
int device_mutex_locker::unlock() {
    return 0;
}
int device_mutex_locker::close() {
    return 0;
}

device_base::device_base() : id_(next_device_id()) {}

device_base::~device_base() {
    device_lock_.close();
    transaction_lock_.close();
}

uint32_t device_base::connect() {
    return not_supported;
}
uint32_t device_base::disconnect() {
    return not_supported;
}
int device_base::reserved3() {
    return -1;
}
uint32_t device_base::send(const uint8_t*, size_t) {
    return not_supported;
}
int device_base::get_response(uint8_t*, size_t*) {
    return -1;
}
int device_base::send_raw(const uint8_t*, size_t, const uint8_t*, size_t) {
    return -1;
}
int device_base::receive_raw(const uint8_t*, size_t, uint8_t*, size_t*) {
    return -1;
}
int device_base::send_and_receive(const uint8_t*, size_t, uint8_t*, size_t*) {
    return -1;
}
int32_t device_base::set_timeout(int32_t) {
    return -1;
}
const char* device_base::name() const {
    return nullptr;
}
const char* device_base::reader_name() const {
    return nullptr;
}
void device_base::set_alias(const char*) {}
int32_t device_base::set_state(int32_t) {
    return 0;
}
int32_t device_base::get_state() const {
    return 3;
}
int32_t device_base::device_type() const {
    return 0;
}
bool device_base::is_removed() const {
    return false;
}
int device_base::reserved17() {
    return 0;
}

int device_base::lock_named(int32_t milliseconds, const char* name) {
    if (!name) name = "";
    if (!std::strstr(device_lock_.name(), name)) device_lock_.close();
    if (device_lock_.open(name) != 0) return 1;
    // A lock that was not taken is reported, as lock_transaction does.
    return device_lock_.lock(milliseconds);
}

int device_base::lock_device(int32_t milliseconds) {
    const char* reader = reader_name();
    return lock_named(milliseconds, reader ? reader : "");
}

int device_base::unlock_device() {
    device_lock_.unlock();
    return 0;
}

int device_base::lock_transaction(int32_t milliseconds) {
    char name[300];
    const char* reader = reader_name();
    std::snprintf(name, sizeof(name), "%s_trans", reader ? reader : "");
    if (!std::strstr(transaction_lock_.name(), name)) transaction_lock_.close();
    if (transaction_lock_.open(name) != 0) return 1;
    return transaction_lock_.lock(milliseconds);
}

int device_base::unlock_transaction() {
    transaction_lock_.unlock();
    return 0;
}

int device_base::get_direct_cipher_size(uint32_t* size) {
    if (size) *size = 0;
    return 0;
}
int device_base::set_cipher_session(int) {
    return 0;
}
// No direct path: refused, nothing written.
int device_base::direct_cipher(const direct_cipher_request& request) {
    if (request.output_length) *request.output_length = 0;
    return 1;
}
