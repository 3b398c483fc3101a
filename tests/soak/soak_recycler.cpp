// One soak recycler: an application that, with another one on the same
// token, destroys the data objects of a few shared labels and creates them
// again, now and then does the same with a shared RSA pair, and tries the
// handles it obtained earlier: a handle whose object another process (or
// this one) destroyed must answer CKR_OBJECT_HANDLE_INVALID or
// CKR_KEY_HANDLE_INVALID, or still show the object it named (its cached
// values), and never read, destroy or sign with the object that took its
// label or its key container since. Every call's answer goes to its log; its
// journal names each creation "label/tag" (soak.h).
#include <algorithm>
#include <cstring>
#include <deque>

#include <openssl/evp.h>

#include "soak_client.h"

namespace soak {

namespace {

constexpr size_t held_limit = 32; // old handles kept for the probes

// Enough of a modulus to tell keys apart in a log.
std::string head(const bytes& modulus) {
    return hex(bytes(modulus.begin(), modulus.begin() + std::min<long>(8, std::ssize(modulus))));
}

// A handle this process obtained, with what it named then.
struct held {
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS cls = CKO_DATA;
    std::string identity;    // a data object: "label/tag"
    bytes modulus, exponent; // a key
    // This process knows its object is no more: it destroyed it (CKR_OK), or
    // a search found no object of its tag.
    bool gone = false;

    bool names_same(const held& other) const {
        return cls == other.cls && identity == other.identity && modulus == other.modulus;
    }
    // What the log tells of it: the handle, and the identity or the modulus's first bytes.
    std::string text() const {
        return "h" + std::to_string(handle) + " " + (cls == CKO_DATA ? identity : head(modulus));
    }
};

class recycler : public client {
  public:
    recycler(int id, std::string serial, const std::string& log, const std::string& journal_path,
             int64_t until, CK_FUNCTION_LIST* f)
        : client(id, std::move(serial), log, journal_path, until, f) {
        const journal j = read_journal(journal_path);
        doubtful_ = j.doubtful;
        next_ = j.next_sequence;
    }

    int run() {
        if (!opened()) return 2;
        log("start", "CKR_OK", now_ms());
        while (running()) {
            if (!ready()) continue;
            if (!doubtful_.empty()) {
                resolve_doubt();
                continue;
            }
            step();
        }
        finish();
        return 0;
    }

  private:
    // Mostly data objects; a key generation costs the card far more.
    void step() {
        const int r = static_cast<int>(rng_() % 100);
        if (r < 45) return recycle();
        if (r < 80) {
            held* h = pick(CKO_DATA);
            if (h == nullptr) return recycle();
            return r < 68 ? probe_read(*h) : probe_destroy(*h);
        }
        if (r < 84) return recycle_key();
        if (r < 92) {
            held* h = pick(CKO_PRIVATE_KEY);
            return h == nullptr ? recycle_key() : probe_sign(*h);
        }
        held* h = pick(rng_() % 2 == 0 ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY);
        return h == nullptr ? recycle() : probe_modulus(*h);
    }

    // A closed session may have taken the handles with it: the module could
    // give those numbers to other objects, and no probe may count on them.
    void forget_handles() override { held_.clear(); }

    // A random held handle of that class, nullptr when there is none.
    held* pick(CK_OBJECT_CLASS cls) {
        std::vector<held*> candidates;
        for (held& h : held_)
            if (h.cls == cls) candidates.push_back(&h);
        if (candidates.empty()) return nullptr;
        return candidates[rng_() % candidates.size()];
    }

    // Keeps a handle for the probes; false (and a HANDLE_REUSED failure) when
    // this process already holds it for another object: the module has given
    // one handle to two objects.
    bool hold(const held& entry, const char* op, int64_t t) {
        for (held& h : held_) {
            if (h.handle != entry.handle) continue;
            if (h.names_same(entry)) return true;
            wrong(op, "HANDLE_REUSED", t, h.text() + " now names " + entry.text());
            return false;
        }
        held_.push_back(entry);
        if (held_.size() > held_limit) held_.pop_front();
        return true;
    }
    bool hold_data(CK_OBJECT_HANDLE h, const std::string& identity, const char* op, int64_t t) {
        return hold({h, CKO_DATA, identity, {}, {}, false}, op, t);
    }
    void data_gone(const std::string& identity) {
        for (held& h : held_)
            if (h.cls == CKO_DATA && h.identity == identity) h.gone = true;
    }
    // The public key goes with its private key.
    void key_gone(const bytes& modulus) {
        for (held& h : held_)
            if (h.cls != CKO_DATA && h.modulus == modulus) h.gone = true;
    }

    // A label: every object it has is destroyed, then one is created with a
    // fresh tag. The other recycler may destroy an object between this
    // one's search and its destruction (a race, not a failure: the object is
    // doubtful until a search tells).
    void recycle() {
        const auto& labels = recycle_labels();
        const std::string label = labels[rng_() % labels.size()];
        const int64_t t = now_ms();
        CK_RV rv = CKR_OK;
        const auto found = find_data(f_, session_, &label, &rv);
        if (rv != CKR_OK) return failed("recycle", rv, t, label + " search");
        int destroyed = 0, gone = 0;
        for (CK_OBJECT_HANDLE h : found) {
            bytes v;
            rv = attribute_value(f_, session_, h, CKA_VALUE, v);
            if (rv == CKR_OBJECT_HANDLE_INVALID) {
                ++gone;
                continue;
            }
            if (rv != CKR_OK) return failed("recycle", rv, t, label + " read");
            const std::string tag = tag_of(v);
            if (tag.empty() || v != tagged_value(label, tag)) {
                wrong("recycle", "CORRUPT", t, label + " h" + std::to_string(h) + " " + hex(v));
                continue; // left on the card for the final check
            }
            const std::string identity = identity_of(label, tag);
            if (!hold_data(h, identity, "recycle", t)) continue;
            note("BD", identity);
            rv = f_->C_DestroyObject(session_, h);
            if (rv == CKR_OK) {
                note("D", identity);
                data_gone(identity);
                ++destroyed;
                continue;
            }
            note("FD", identity, rv_name(rv));
            doubtful_.insert(identity);
            if (rv != CKR_OBJECT_HANDLE_INVALID)
                return failed("recycle", rv, t, identity + " destroy");
            ++gone;
        }
        const std::string identity = identity_of(label, tag_for(id_, next_++));
        const bytes value = tagged_value(label, identity.substr(label.size() + 1));
        note("B", identity);
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_TOKEN, &yes, 1},
                               {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                               {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
        CK_OBJECT_HANDLE h = 0;
        if (rv = f_->C_CreateObject(session_, tmpl, 4, &h); rv != CKR_OK) {
            note("F", identity, rv_name(rv)); // it may be on the card all the same
            doubtful_.insert(identity);
            return failed("recycle", rv, t, identity + " create");
        }
        note("C", identity);
        hold_data(h, identity, "recycle", t);
        succeeded("recycle", t,
                  identity + " (destroyed " + std::to_string(destroyed) + ", gone " +
                      std::to_string(gone) + ")");
    }

    // An old data handle's value: CKR_OBJECT_HANDLE_INVALID, or the value of
    // the creation it named.
    void probe_read(const held& h) {
        const int64_t t = now_ms();
        bytes v;
        const CK_RV rv = attribute_value(f_, session_, h.handle, CKA_VALUE, v);
        if (rv == CKR_OBJECT_HANDLE_INVALID)
            return succeeded("probe_read", t, h.text() + " invalid");
        if (rv != CKR_OK) return failed("probe_read", rv, t, h.text());
        const std::string label = h.identity.substr(0, h.identity.find('/'));
        const std::string tag = tag_of(v);
        if (tag.empty() || v != tagged_value(label, tag))
            return wrong("probe_read", "CORRUPT", t, h.text() + " " + hex(v));
        if (identity_of(label, tag) != h.identity)
            return wrong("probe_read", "STALE_READ", t, h.text() + " read " + tag);
        succeeded("probe_read", t, h.text() + (h.gone ? " gone, cached" : " read"));
    }

    // An old data handle destroyed: CKR_OBJECT_HANDLE_INVALID, or CKR_OK
    // while nobody had destroyed its object yet. An object this process
    // knows gone it checks itself; a wrong CKR_OK for one the other recycler
    // destroyed shows in the final check (the object actually destroyed
    // goes missing).
    void probe_destroy(held& h) {
        const int64_t t = now_ms();
        if (h.gone) {
            const CK_RV rv = f_->C_DestroyObject(session_, h.handle);
            if (rv == CKR_OK)
                return wrong("probe_destroy", "STALE_DESTROY", t, h.text() + " was gone");
            if (rv != CKR_OBJECT_HANDLE_INVALID) return failed("probe_destroy", rv, t, h.text());
            return succeeded("probe_destroy", t, h.text() + " invalid");
        }
        const std::string identity = h.identity;
        const std::string text = h.text();
        note("BD", identity);
        const CK_RV rv = f_->C_DestroyObject(session_, h.handle);
        if (rv == CKR_OK) {
            note("D", identity);
            data_gone(identity);
            return succeeded("probe_destroy", t, text + " destroyed");
        }
        // Whether the object is there is for a search to tell.
        note("FD", identity, rv_name(rv));
        doubtful_.insert(identity);
        if (rv != CKR_OBJECT_HANDLE_INVALID) return failed("probe_destroy", rv, t, text);
        succeeded("probe_destroy", t, text + " invalid");
    }

    // The shared pair: every private key of its label destroyed, then a new
    // pair generated (the module puts it in a key container of that label).
    // A pair generated while that container still held the other recycler's
    // key gets a container of another name, whose name other processes then
    // read as its label: every key of the token but the workers' is the
    // recyclers', and one that lost its label is destroyed too (and logged
    // RELABELLED), so that such pairs do not fill the card.
    void recycle_key() {
        const int64_t t = now_ms();
        const std::string label = recycle_key_label;
        CK_RV rv = CKR_OK;
        const auto found = private_keys(&rv);
        if (rv != CKR_OK) return failed("recycle_key", rv, t, "search");
        int destroyed = 0, gone = 0;
        for (CK_OBJECT_HANDLE h : found) {
            bytes l, n, e;
            rv = attribute_value(f_, session_, h, CKA_LABEL, l);
            if (rv == CKR_OK) rv = attribute_value(f_, session_, h, CKA_MODULUS, n);
            if (rv == CKR_OK) rv = attribute_value(f_, session_, h, CKA_PUBLIC_EXPONENT, e);
            if (rv == CKR_OBJECT_HANDLE_INVALID) {
                ++gone;
                continue;
            }
            if (rv != CKR_OK) return failed("recycle_key", rv, t, "modulus");
            const std::string text = label_text(l);
            if (text == worker_key_label) continue;
            if (text != label)
                wrong("recycle_key", "RELABELLED", t,
                      "h" + std::to_string(h) + " " + head(n) + " labelled " + text);
            if (!hold({h, CKO_PRIVATE_KEY, {}, n, e, false}, "recycle_key", t)) continue;
            rv = f_->C_DestroyObject(session_, h);
            if (rv == CKR_OK) {
                key_gone(n);
                ++destroyed;
                continue;
            }
            if (rv != CKR_OBJECT_HANDLE_INVALID) return failed("recycle_key", rv, t, "destroy");
            ++gone;
        }
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 1024;
        CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1},
                             {CKA_VERIFY, &yes, 1},
                             {CKA_MODULUS_BITS, &bits, sizeof bits},
                             {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
        CK_ATTRIBUTE st[] = {{CKA_TOKEN, &yes, 1},
                             {CKA_PRIVATE, &yes, 1},
                             {CKA_SIGN, &yes, 1},
                             {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
        CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE pub = 0, priv = 0;
        if (rv = f_->C_GenerateKeyPair(session_, &gen, pt, 4, st, 4, &pub, &priv); rv != CKR_OK)
            return failed("recycle_key", rv, t, "generate");
        bytes n, e;
        rv = attribute_value(f_, session_, pub, CKA_MODULUS, n);
        if (rv == CKR_OK) rv = attribute_value(f_, session_, pub, CKA_PUBLIC_EXPONENT, e);
        if (rv != CKR_OK) return failed("recycle_key", rv, t, "new modulus");
        const held made{priv, CKO_PRIVATE_KEY, {}, n, e, false};
        hold(made, "recycle_key", t);
        hold({pub, CKO_PUBLIC_KEY, {}, n, e, false}, "recycle_key", t);
        succeeded("recycle_key", t,
                  made.text() + " (destroyed " + std::to_string(destroyed) + ", gone " +
                      std::to_string(gone) + ")");
    }

    // An old private key handle signs: CKR_KEY_HANDLE_INVALID, or a
    // signature under the key it named (while that key exists).
    void probe_sign(const held& h) {
        const int64_t t = now_ms();
        bytes data(32 + rng_() % 64);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng_());
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_RV rv = f_->C_SignInit(session_, &mech, h.handle);
        if (rv == CKR_KEY_HANDLE_INVALID) return succeeded("probe_sign", t, h.text() + " invalid");
        if (rv != CKR_OK) return failed("probe_sign", rv, t, h.text() + " C_SignInit");
        bytes signature(512);
        CK_ULONG n = signature.size();
        const int64_t signing = now_ms();
        rv = f_->C_Sign(session_, data.data(), data.size(), signature.data(), &n);
        if (rv != CKR_OK) return failed("probe_sign", rv, t, h.text() + " C_Sign");
        signature.resize(n);
        if (verifies(h, data, signature)) {
            if (h.gone)
                return wrong("probe_sign", "STALE_SIGN", t,
                             h.text() + " signs after its destruction");
            return succeeded("probe_sign", t, h.text() + " signed");
        }
        std::string under;
        for (const held& other : held_)
            if (other.cls != CKO_DATA && other.modulus != h.modulus &&
                verifies(other, data, signature))
                under = other.text();
        const std::string text = h.text() + " (C_SignInit " + std::to_string(signing - t) +
                                 " ms, C_Sign " + std::to_string(now_ms() - signing) + " ms)";
        if (under.empty()) under = current_signer(data, signature);
        wrong("probe_sign", "STALE_SIGN", t, text + " signature verifies under " + under);
    }

    // An old key handle's modulus: CKR_OBJECT_HANDLE_INVALID or the modulus it had.
    void probe_modulus(const held& h) {
        const int64_t t = now_ms();
        bytes n;
        const CK_RV rv = attribute_value(f_, session_, h.handle, CKA_MODULUS, n);
        if (rv == CKR_OBJECT_HANDLE_INVALID)
            return succeeded("probe_read", t, h.text() + " invalid");
        if (rv != CKR_OK) return failed("probe_read", rv, t, h.text());
        if (n != h.modulus)
            return wrong("probe_read", "STALE_READ", t, h.text() + " modulus now " + head(n));
        succeeded("probe_read", t, h.text() + (h.gone ? " gone, cached" : " read"));
    }

    static bool verifies(const bytes& n, const bytes& e, const bytes& data,
                         const bytes& signature) {
        EVP_PKEY* k = public_key(n, e);
        const bool ok = k != nullptr && signature_verifies(k, data, signature);
        EVP_PKEY_free(k);
        return ok;
    }
    static bool verifies(const held& key, const bytes& data, const bytes& signature) {
        return verifies(key.modulus, key.exponent, data, signature);
    }

    // Every private key of the token; *rv the first failure.
    std::vector<CK_OBJECT_HANDLE> private_keys(CK_RV* rv) {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        return find_objects(f_, session_, {{CKA_CLASS, &cls, sizeof cls}}, rv);
    }

    // Which of the token's keys a signature verifies under: the key that
    // took the old one's place shows the module signed with it.
    std::string current_signer(const bytes& data, const bytes& signature) {
        CK_RV rv = CKR_OK;
        for (CK_OBJECT_HANDLE h : private_keys(&rv)) {
            bytes l, n, e;
            if (attribute_value(f_, session_, h, CKA_MODULUS, n) == CKR_OK &&
                attribute_value(f_, session_, h, CKA_PUBLIC_EXPONENT, e) == CKR_OK &&
                verifies(n, e, data, signature)) {
                (void)attribute_value(f_, session_, h, CKA_LABEL, l);
                return "the token's key " + head(n) + " labelled " + label_text(l) + " now";
            }
        }
        return rv == CKR_OK ? "no key on the token" : "no key found (" + rv_name(rv) + ")";
    }

    // A creation or destruction that ended without an answer (or a
    // destruction through a handle the module no longer takes): is the
    // object there?
    void resolve_doubt() {
        const std::string identity = *doubtful_.begin();
        const std::string label = identity.substr(0, identity.find('/'));
        const std::string tag = identity.substr(label.size() + 1);
        const int64_t t = now_ms();
        CK_RV rv = CKR_OK;
        const auto found = find_data(f_, session_, &label, &rv);
        if (rv != CKR_OK) return failed("resolve", rv, t, identity);
        for (CK_OBJECT_HANDLE h : found) {
            bytes v;
            rv = attribute_value(f_, session_, h, CKA_VALUE, v);
            if (rv == CKR_OBJECT_HANDLE_INVALID) continue; // the other recycler's destruction
            if (rv != CKR_OK) return failed("resolve", rv, t, identity);
            if (tag_of(v) != tag) continue;
            doubtful_.erase(identity);
            note("C", identity);
            hold_data(h, identity, "resolve", t);
            if (v != tagged_value(label, tag)) return wrong("resolve", "CORRUPT", t, identity);
            return succeeded("resolve", t, identity + " present");
        }
        doubtful_.erase(identity);
        note("X", identity);
        data_gone(identity);
        succeeded("resolve", t, identity + " absent");
    }

    std::deque<held> held_;
    std::set<std::string> doubtful_;
    uint64_t next_ = 0;
};

} // namespace

// recycler --module M --id N --serial S --log FILE --journal FILE --until MS
int run_recycler(int argc, char** argv) {
    return run_role<recycler>("recycler", argc, argv);
}

} // namespace soak
