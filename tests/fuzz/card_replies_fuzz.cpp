// Card replies against the device API: the input is a sequence of card
// replies, each given to the next command the library sends, while a fixed
// round of device-API calls runs as a PKCS#11 token open does (connect, device
// information, applications, PIN state and login, files, containers, public
// keys, certificates). Whatever the card answers, nothing may read or write
// outside its buffers.
//
// Input: records of [length u16 BE][data][SW1 SW2], one a command. A record
// cut short by the end of the input gives what is there (at least its status
// word, else 6F 00); once the input ends every command gets 6F 00.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device_sc_manager.h"
#include "gm_api.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr const char* reader = "Quessar vKessa Tavrel 00 00";
constexpr const char* user_pin = "58204716";

// The card's side: the replies in input order.
class reply_script {
  public:
    explicit reply_script(std::span<const uint8_t> input) : input_(input) {}

    bytes next() {
        if (input_.size() < 2) {
            input_ = {};
            return {0x6F, 0x00};
        }
        const size_t wanted = static_cast<size_t>(input_[0]) << 8 | input_[1];
        input_ = input_.subspan(2);
        const size_t n = std::min(input_.size(), wanted + 2);
        bytes reply(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
        input_ = input_.subspan(n);
        if (reply.size() < 2) return {0x6F, 0x00};
        return reply;
    }

  private:
    std::span<const uint8_t> input_;
};

// A device the device API can connect to, answering every exchange from the
// script (the reply buffer rules of a PC/SC device: a reply larger than the
// buffer is an error).
class scripted_device : public device_base {
  public:
    explicit scripted_device(reply_script& script) : script_(script) {}

    uint32_t connect() override { return 0; }
    uint32_t disconnect() override { return 0; }
    int get_direct_cipher_size(uint32_t* size) override {
        *size = 0;
        return 0;
    }
    int send_and_receive(const uint8_t*, size_t, uint8_t* reply, size_t* reply_length) override {
        const bytes answer = script_.next();
        if (answer.size() > *reply_length) return 2;
        std::memcpy(reply, answer.data(), answer.size());
        *reply_length = answer.size();
        return 0;
    }
    int32_t set_timeout(int32_t ms) override { return ms; }
    const char* name() const override { return reader; }
    const char* reader_name() const override { return reader; }
    int32_t set_state(int32_t state) override { return state_ = state; }
    int32_t get_state() const override { return state_; }
    int32_t device_type() const override { return 2; }
    bool is_removed() const override { return false; }

  private:
    reply_script& script_;
    int32_t state_ = device_state_new;
};

// The first name of a NUL-separated list as the device API wrote it (empty
// when there is none); the list is read within its reported size only.
std::string first_name(const std::vector<char>& list, uint32_t size) {
    const size_t n = std::min<size_t>(size, list.size());
    size_t end = 0;
    while (end < n && list[end] != '\0')
        ++end;
    return std::string(list.data(), end);
}

// A name list: a size query first, then the list into a buffer of exactly
// that size (so a write past it is caught).
template <typename Enum> std::string enumerate_first(Enum enumerate) {
    uint32_t size = 0;
    if (enumerate(nullptr, &size) != SAR_OK || size == 0 || size > 0x10000) return {};
    std::vector<char> list(size);
    if (enumerate(list.data(), &size) != SAR_OK) return {};
    return first_name(list, size);
}

void read_files(HAPPLICATION app) {
    const std::string file =
        enumerate_first([&](char* list, uint32_t* size) { return SKF_EnumFiles(app, list, size); });
    if (file.empty()) return;
    FILEATTRIBUTE info{};
    if (SKF_GetFileInfo(app, file.c_str(), &info) != SAR_OK) return;
    uint32_t size = 0;
    if (SKF_ReadFile(app, file.c_str(), 0, 0x100, nullptr, &size) != SAR_OK) return;
    const uint32_t want = std::min<uint32_t>(size, 0x1000);
    bytes data(want == 0 ? 1 : want);
    uint32_t got = want;
    (void)SKF_ReadFile(app, file.c_str(), 0, want, data.data(), &got);
}

void read_container(HAPPLICATION app) {
    const std::string name = enumerate_first(
        [&](char* list, uint32_t* size) { return SKF_EnumContainer(app, list, size); });
    if (name.empty()) return;
    HCONTAINER container = 0;
    if (SKF_OpenContainer(app, name.c_str(), &container) != SAR_OK) return;
    gm_container_info info;
    (void)gm_get_container_info_ex(container, &info);
    for (const int32_t sign : {1, 0}) {
        uint32_t size = 0;
        if (SKF_ExportPublicKey(container, static_cast<uint32_t>(sign), nullptr, &size) == SAR_OK &&
            size != 0 && size <= 0x1000) {
            bytes blob(size);
            (void)SKF_ExportPublicKey(container, static_cast<uint32_t>(sign), blob.data(), &size);
        }
        size = 0;
        if (SKF_ExportCertificate(container, sign, nullptr, &size) == SAR_OK && size != 0 &&
            size <= 0x10000) {
            bytes cert(size);
            (void)SKF_ExportCertificate(container, sign, cert.data(), &size);
        }
    }
    (void)SKF_CloseContainer(container);
}

void run_calls() {
    DEVHANDLE dev = 0;
    if (SKF_ConnectDev(reader, &dev) != SAR_OK) return;
    DEVINFO dev_info{};
    (void)SKF_GetDevInfo(dev, &dev_info);
    const std::string app_name = enumerate_first(
        [&](char* list, uint32_t* size) { return SKF_EnumApplication(dev, list, size); });
    HAPPLICATION app = 0;
    if (!app_name.empty() && SKF_OpenApplication(dev, app_name.c_str(), &app) == SAR_OK) {
        uint32_t max = 0, left = 0;
        uint32_t is_default = 0;
        (void)SKF_GetPINInfo(app, 1, &max, &left, &is_default);
        uint32_t retry = 0;
        (void)SKF_VerifyPIN(app, 1, user_pin, &retry);
        read_files(app);
        read_container(app);
        (void)SKF_CloseApplication(app);
    }
    (void)SKF_DisConnectDev(dev);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    reply_script script({data, size});
    device_manager().adopt_device(std::make_unique<scripted_device>(script));
    run_calls();
    while (device_node* node = device_manager().head())
        device_manager().remove_device(node);
    return 0;
}
