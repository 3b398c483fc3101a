// The card core: one place that parses a command APDU, keeps command chains
// and long-reply continuations, calls the handler from the command table and
// forms the reply.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "card.h"
#include "dispatch.h"
#include "image.h"

namespace cardsim {

namespace {

// The most APDUs the log keeps; older ones are dropped first.
constexpr size_t max_log_entries = 10000;

enum class fault_kind { empty_reply, short_reply, status_word };

struct fault {
    fault_kind kind;
    uint16_t sw;
};

// A status word for the command with one INS, after `skip` others with it.
struct ins_fault {
    uint8_t ins;
    int skip;
    uint16_t sw;
};

// A chained command being received (ISO 7816-4, 5.3.3).
struct chain_state {
    uint8_t cla_family, ins, p1, p2;
    std::vector<uint8_t> data;
    std::vector<size_t> parts;
};

// A reply being handed out in pieces: the same command again gets the next.
struct continuation {
    std::vector<uint8_t> command;
    std::vector<uint8_t> rest;
};

// ATR (ISO 7816-3): direct convention; T0 = 0x80 | K (TD1 present, K
// historical bytes); TD1 = 0x80 (TD2 present); TD2 = 0x01 (T=1, nothing
// more), so T=1 is the only protocol offered; historical bytes; TCK = XOR of
// T0 .. the last historical byte.
std::vector<uint8_t> make_atr() {
    constexpr uint8_t historical[] = {'T', 'a', 'v', 'r', 'e', 'l'};
    constexpr size_t head = 4;
    std::vector<uint8_t> atr(head + sizeof historical + 1);
    atr[0] = 0x3B;
    atr[1] = static_cast<uint8_t>(0x80 | sizeof historical);
    atr[2] = 0x80;
    atr[3] = 0x01;
    for (size_t i = 0; i < sizeof historical; ++i)
        atr[head + i] = historical[i];
    uint8_t tck = 0;
    for (size_t i = 1; i + 1 < atr.size(); ++i)
        tck ^= atr[i];
    atr.back() = tck;
    return atr;
}

bool carries_data(uint16_t status) {
    const uint8_t sw1 = static_cast<uint8_t>(status >> 8);
    return status == sw::more_data || sw1 == 0x90 || sw1 == 0x61 || sw1 == 0x62 || sw1 == 0x63;
}

} // namespace

struct card::impl {
    mutable std::mutex lock;
    mutable std::condition_variable power_changed;
    card_model model;
    bool powered = true;
    std::deque<fault> faults;
    std::deque<ins_fault> ins_faults;
    struct logged {
        std::vector<uint8_t> command;
        std::vector<uint8_t> reply;
    };
    std::deque<logged> log;
    std::optional<chain_state> chain;
    std::optional<continuation> pending;
    std::string image_error;
    std::vector<command_row> table = command_table();

    void clear_volatile() {
        model.vol = volatile_state{};
        chain.reset();
        pending.reset();
    }

    size_t forced_piece_size = 0; // test setting; 0 = by the buffer size

    size_t piece_size() const {
        if (forced_piece_size != 0) return forced_piece_size;
        // Pieces fit the host's data chunk (maximum buffer size - 32) and its
        // 2048-byte reply buffer.
        const size_t chunk =
            model.options.max_buffer_size > 64 ? model.options.max_buffer_size - 32 : 32;
        return std::min<size_t>(chunk, 2046);
    }

    bool save() {
        if (model.options.image_path.empty()) return true;
        std::string error;
        if (!cardsim::save_image(model.persistent, model.options.image_path, error)) {
            image_error = error;
            return false;
        }
        return true;
    }

    static std::vector<uint8_t> finish(std::vector<uint8_t> data, uint16_t status) {
        data.push_back(static_cast<uint8_t>(status >> 8));
        data.push_back(static_cast<uint8_t>(status));
        return data;
    }

    // Applies Le: a body longer than Ne is not sent; 6Cxx tells the exact
    // length when it fits one byte (ISO 7816-4 "wrong Le field"), else 6700.
    static std::vector<uint8_t> finish_le(const command_apdu& a, std::vector<uint8_t> data,
                                          uint16_t status) {
        if (a.has_le() && data.size() > a.ne)
            return finish({}, data.size() <= 0xFF ? static_cast<uint16_t>(0x6C00 | data.size())
                                                  : sw::wrong_length);
        return finish(std::move(data), status);
    }

    std::vector<uint8_t> next_piece(const command_apdu& a) {
        const size_t n =
            std::min({pending->rest.size(), piece_size(), size_t{a.has_le() ? a.ne : 0x10000u}});
        std::vector<uint8_t> piece(pending->rest.begin(),
                                   pending->rest.begin() + static_cast<std::ptrdiff_t>(n));
        pending->rest.erase(pending->rest.begin(),
                            pending->rest.begin() + static_cast<std::ptrdiff_t>(n));
        uint16_t status = sw::more_data;
        if (pending->rest.empty()) {
            pending.reset();
            status = sw::ok;
        }
        return finish(std::move(piece), status);
    }

    std::vector<uint8_t> execute(std::span<const uint8_t> bytes) {
        const auto parsed = parse_apdu(bytes);
        if (!parsed) {
            chain.reset();
            pending.reset();
            return finish({}, sw::wrong_length);
        }
        const command_apdu& a = *parsed;

        // The same command again continues a reply handed out in pieces;
        // anything else ends it.
        if (pending) {
            if (std::equal(bytes.begin(), bytes.end(), pending->command.begin(),
                           pending->command.end()))
                return next_piece(a);
            pending.reset();
        }

        uint16_t status = sw::ok;
        const command_row* row = find_command(table, a.cla_family(), a.ins, a.p1, a.p2, status);
        if (!row) {
            chain.reset();
            return finish({}, status);
        }

        std::span<const uint8_t> data = a.data;
        std::vector<uint8_t> joined;
        std::vector<size_t> parts;
        const bool continues_chain =
            chain && chain->cla_family == a.cla_family() && chain->ins == a.ins;
        if (continues_chain && (chain->p1 != a.p1 || chain->p2 != a.p2)) {
            // A part of the same command with other parameters: the host
            // mixed two chains.
            chain.reset();
            return finish({}, sw::last_command_expected);
        }
        if (chain && !continues_chain) chain.reset(); // an abandoned chain

        if (a.chained()) {
            if (!row->chaining) return finish({}, sw::chaining_not_supported);
            if (!chain) chain = chain_state{a.cla_family(), a.ins, a.p1, a.p2, {}, {}};
            if (chain->data.size() + a.data.size() > max_chain_data) {
                chain.reset();
                return finish({}, sw::wrong_length);
            }
            chain->data.insert(chain->data.end(), a.data.begin(), a.data.end());
            chain->parts.push_back(a.data.size());
            return finish({}, sw::ok);
        }
        if (chain) { // the last part
            if (chain->data.size() + a.data.size() > max_chain_data) {
                chain.reset();
                return finish({}, sw::wrong_length);
            }
            joined = std::move(chain->data);
            parts = std::move(chain->parts);
            chain.reset();
            joined.insert(joined.end(), a.data.begin(), a.data.end());
            parts.push_back(a.data.size());
            data = joined;
        }

        command_context ctx(a, data, parts, model);
        status = row->handler(ctx);
        if (ctx.changed() && !save()) status = 0x6581; // memory failure
        if (!carries_data(status)) ctx.reply.clear();
        if (ctx.pieces() && status == sw::ok && ctx.reply.size() > piece_size()) {
            pending = continuation{std::vector<uint8_t>(bytes.begin(), bytes.end()),
                                   std::move(ctx.reply)};
            return next_piece(a);
        }
        return finish_le(a, std::move(ctx.reply), status);
    }
};

card::card(card_options options) : impl_(std::make_unique<impl>()) {
    impl_->model.options = std::move(options);
    const std::string& path = impl_->model.options.image_path;
    bool loaded = false;
    if (!path.empty()) {
        std::string error;
        if (auto s = load_image(path, error)) {
            impl_->model.persistent = std::move(*s);
            loaded = true;
        } else if (FILE* f = std::fopen(path.c_str(), "rb")) {
            // A file that exists but cannot be read as an image is kept as it
            // is; the card starts from the template but never overwrites it.
            std::fclose(f);
            impl_->image_error = error;
            impl_->model.options.image_path.clear();
        }
    }
    if (!loaded) {
        impl_->model.persistent = initial_state(impl_->model.options);
        impl_->save();
    }
}

card::~card() = default;

std::vector<uint8_t> card::transmit(std::span<const uint8_t> command_apdu) {
    std::lock_guard g(impl_->lock);
    impl_->log.push_back({{command_apdu.begin(), command_apdu.end()}, {}});
    if (impl_->log.size() > max_log_entries) impl_->log.pop_front();
    std::vector<uint8_t>& reply = impl_->log.back().reply;
    reply = answer(command_apdu);
    return reply;
}

std::vector<uint8_t> card::answer(std::span<const uint8_t> command_apdu) {
    if (!impl_->powered) return {};
    if (!impl_->faults.empty()) {
        const fault f = impl_->faults.front();
        impl_->faults.pop_front();
        switch (f.kind) {
        case fault_kind::empty_reply:
            return {};
        case fault_kind::short_reply:
            return {0x90};
        case fault_kind::status_word:
            return impl::finish({}, f.sw);
        }
    }
    if (command_apdu.size() >= 4) {
        const auto it = std::find_if(impl_->ins_faults.begin(), impl_->ins_faults.end(),
                                     [&](const ins_fault& f) { return f.ins == command_apdu[1]; });
        if (it != impl_->ins_faults.end()) {
            if (it->skip > 0) {
                --it->skip;
            } else {
                const uint16_t sw = it->sw;
                impl_->ins_faults.erase(it);
                return impl::finish({}, sw);
            }
        }
    }
    return impl_->execute(command_apdu);
}

std::vector<uint8_t> card::atr() const {
    return make_atr();
}

void card::power_on() {
    std::lock_guard g(impl_->lock);
    if (!impl_->powered) impl_->clear_volatile();
    impl_->powered = true;
    impl_->power_changed.notify_all();
}

void card::power_off() {
    std::lock_guard g(impl_->lock);
    impl_->clear_volatile();
    impl_->powered = false;
    impl_->power_changed.notify_all();
}

void card::reset() {
    std::lock_guard g(impl_->lock);
    impl_->clear_volatile();
    impl_->powered = true;
    impl_->power_changed.notify_all();
}

bool card::powered() const {
    std::lock_guard g(impl_->lock);
    return impl_->powered;
}

bool card::wait_powered(bool on, std::chrono::milliseconds timeout) const {
    std::unique_lock g(impl_->lock);
    return impl_->power_changed.wait_for(g, timeout, [&] { return impl_->powered == on; });
}

void card::inject_empty_reply(int count) {
    std::lock_guard g(impl_->lock);
    for (int i = 0; i < count; ++i)
        impl_->faults.push_back({fault_kind::empty_reply, 0});
}

void card::inject_short_reply(int count) {
    std::lock_guard g(impl_->lock);
    for (int i = 0; i < count; ++i)
        impl_->faults.push_back({fault_kind::short_reply, 0});
}

void card::inject_status_word(uint16_t sw, int count) {
    std::lock_guard g(impl_->lock);
    for (int i = 0; i < count; ++i)
        impl_->faults.push_back({fault_kind::status_word, sw});
}

void card::inject_status_word_on(uint8_t ins, uint16_t sw, int skip) {
    std::lock_guard g(impl_->lock);
    impl_->ins_faults.push_back({ins, skip, sw});
}

void card::clear_faults() {
    std::lock_guard g(impl_->lock);
    impl_->faults.clear();
    impl_->ins_faults.clear();
}

std::vector<std::vector<uint8_t>> card::apdu_log() const {
    std::lock_guard g(impl_->lock);
    std::vector<std::vector<uint8_t>> commands;
    commands.reserve(impl_->log.size());
    for (const auto& entry : impl_->log)
        commands.push_back(entry.command);
    return commands;
}

std::vector<std::vector<uint8_t>> card::reply_log() const {
    std::lock_guard g(impl_->lock);
    std::vector<std::vector<uint8_t>> replies;
    replies.reserve(impl_->log.size());
    for (const auto& entry : impl_->log)
        replies.push_back(entry.reply);
    return replies;
}

void card::clear_log() {
    std::lock_guard g(impl_->lock);
    impl_->log.clear();
}

size_t card::max_buffer_size() const {
    std::lock_guard g(impl_->lock);
    return impl_->model.options.max_buffer_size;
}

void card::set_max_buffer_size(size_t size) {
    std::lock_guard g(impl_->lock);
    impl_->model.options.max_buffer_size = size;
}

void card_test_access::set_table(card& c, std::vector<command_row> table) {
    std::lock_guard g(c.impl_->lock);
    c.impl_->table = std::move(table);
}

std::string card::image_error() const {
    std::lock_guard g(impl_->lock);
    return impl_->image_error;
}

void card::set_piece_size(size_t size) {
    std::lock_guard g(impl_->lock);
    impl_->forced_piece_size = size;
}

bool card::save_image() {
    std::lock_guard g(impl_->lock);
    return impl_->save();
}

} // namespace cardsim
