// Where a token's objects are kept and when they are read back: data objects
// go into files of their own ("PUBOBJ"/"PRIOBJ", pkcs11_data_objects.h),
// certificates and private keys of token objects into key containers, public
// and secret keys stay in memory, and the stored objects are loaded lazily
// before a search. Every change to stored objects bumps "CacheFile", and every
// search first checks it, so the processes sharing a token see each other's
// changes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "library_lock.h"
#include "pkcs11_container_internal.h"
#include "pkcs11_data_objects.h"
#include "pkcs11_device_rv.h"
#include "pkcs11_storage_records.h"
#include "pkcs11_token.h"

namespace {

constexpr const char* certificate_default_label = "A certificate object";

void set_container_name(pkcs11_object& object, const std::string& name) {
    std::vector<uint8_t> v(name.begin(), name.end());
    v.push_back(0);
    object.object_set_attribute(ZELT_CKA_CONTAINER_NAME, v.data(), static_cast<uint32_t>(v.size()));
}

// The container name an object carries (at most 256 bytes with its NUL), or none.
std::optional<std::string> object_container(const pkcs11_object& object) {
    const auto v = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!v || v->empty() || v->size() > container_name_capacity) return std::nullopt;
    return stored_text(*v);
}

// A failure that means the card no longer has the object's file, container,
// key or certificate.
bool not_on_card(CK_RV rv) {
    return rv == ZELT_CKR_CONTAINER_NOT_FOUND || rv == SAR_KEYNOTFOUNTERR ||
           rv == SAR_CERTNOTFOUNTERR || rv == SAR_FILE_NOT_EXIST;
}

// A storage failure that means the object is already gone from the card (or
// never had a place there).
bool already_gone(CK_RV rv) {
    return not_on_card(rv) || rv == CKR_ATTRIBUTE_TYPE_INVALID;
}

// The store an object was read from or written to; none for objects kept in
// memory only.
card_store store_of(pkcs11_object& object) {
    if (!object.object_is_token()) return card_store::none;
    const int64_t c = object.object_class();
    if (c == CKO_DATA) {
        const auto name = attribute_bytes(object, ZELT_CKA_FILE_NAME);
        if (!name) return card_store::none;
        const std::string text = stored_text(*name);
        if (text.starts_with(data_object_public_prefix)) return card_store::public_files;
        if (text.starts_with(data_object_private_prefix)) return card_store::private_files;
        return card_store::none;
    }
    if ((c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY) &&
        object_container(object).has_value())
        return card_store::containers;
    return card_store::none;
}

// Where on the card a stored object lives: its file, or its container.
std::string card_place(const pkcs11_object& object) {
    if (const auto name = object_container(object)) return *name;
    const auto file = attribute_bytes(object, ZELT_CKA_FILE_NAME);
    return file ? stored_text(*file) : std::string{};
}

// What a key or certificate is, beyond where it lies: the public key of a
// key (its modulus, or its point), the encoding of a certificate. Another
// key generated into the same container, or another certificate imported
// there, is another object. None of these values can be changed through
// PKCS#11 (v2.20 sections 10.4, 10.6.3, 12.1), so a change by another
// process never makes an object another one.
std::optional<std::vector<uint8_t>> what_it_is(pkcs11_object& object) {
    if (object.object_class() == CKO_CERTIFICATE) return attribute_bytes(object, CKA_VALUE);
    const pkcs11_attribute* kt = object.attributes().find(CKA_KEY_TYPE);
    const bool rsa = kt != nullptr && kt->length() == 4 && kt->as_u32() == CKK_RSA;
    if (!rsa) {
        auto point = attribute_bytes(object, CKA_EC_POINT);
        if (!point || point->empty()) return std::nullopt;
        return point;
    }
    const pkcs11_attribute* n = object.attributes().find(CKA_MODULUS);
    const std::span<const uint8_t> modulus =
        n != nullptr ? significant(n->value) : std::span<const uint8_t>{};
    if (modulus.empty()) return std::nullopt;
    return std::vector<uint8_t>(modulus.begin(), modulus.end());
}

// Whether `fresh`, just read from the card, is the object `earlier` stood
// for. A data object is its file: the module never gives a new file the name
// of one it deleted (data_object_pick_name), so a file of the same name is
// the same object, whatever was written into it since. A key or certificate
// is its container, key spec and class together with what it is; one of
// whose value nothing is known is never taken for another.
bool same_card_object(pkcs11_object& earlier, pkcs11_object& fresh) {
    if (earlier.object_class() != fresh.object_class() || card_place(earlier) != card_place(fresh))
        return false;
    if (earlier.object_class() == CKO_DATA) return true;
    if (earlier.object_key_spec() != fresh.object_key_spec()) return false;
    const auto before = what_it_is(earlier);
    return before.has_value() && before == what_it_is(fresh);
}

// The change counter a data object's file name asks for: one past the
// counter in the name, so that no later file is given the same name
// (data_object_pick_name). 0 for every other object.
uint32_t counter_past_file_name(pkcs11_object& object) {
    if (object.object_class() != CKO_DATA) return 0;
    const auto name = attribute_bytes(object, ZELT_CKA_FILE_NAME);
    if (!name) return 0;
    const auto counter = data_object_name_counter(stored_text(*name));
    return counter && *counter < 0xFFFFFFFFu ? *counter + 1 : 0;
}

} // namespace

void pkcs11_token::drop_stored_objects() {
    // Objects read from the card (owner 0) and those this process wrote to
    // it; session objects and in-memory token keys stay.
    std::vector<const pkcs11_object*> drop;
    for (const auto& o : objects_.objects()) {
        const int64_t c = o->object_class();
        const bool on_card =
            o->object_is_token() && (c == CKO_DATA || c == CKO_CERTIFICATE || c == CKO_PRIVATE_KEY);
        if (o->owner_session() == 0 || on_card || store_of(*o) != card_store::none)
            drop.push_back(o.get());
    }
    for (const pkcs11_object* o : drop)
        (void)objects_.object_mgr_remove(o);
    public_loaded_ = false;
    private_loaded_ = false;
    containers_loaded_ = false;
    info_cached_ = false;
}

void pkcs11_token::mark_stores_unread() {
    public_loaded_ = false;
    private_loaded_ = false;
    containers_loaded_ = false;
    info_cached_ = false;
    public_stale_ = true;
    private_stale_ = true;
    containers_stale_ = true;
}

bool& pkcs11_token::stale_flag(card_store store) {
    switch (store) {
    case card_store::public_files:
        return public_stale_;
    case card_store::private_files:
        return private_stale_;
    default:
        return containers_stale_;
    }
}

bool pkcs11_token::read_store(card_store store,
                              const std::function<CK_RV(std::vector<std::string>&)>& read) {
    const auto in_store = [store](pkcs11_object& o) { return store_of(o) == store; };
    // The objects listed so far step aside, so that the reading (which looks
    // for partners and for files already listed) sees only what it reads.
    std::vector<std::shared_ptr<pkcs11_object>> earlier = objects_.take_if(in_store);
    std::vector<std::string> unread;
    if (read(unread) != CKR_OK) {
        // Nothing could be read: everything stays as it was.
        (void)objects_.take_if(in_store);
        for (auto& o : earlier)
            objects_.add(std::move(o));
        return false;
    }
    // What could not be read is taken as it was: the objects read of it now
    // (a container whose key could not be read whole) go again.
    const auto unread_place = [&unread](const pkcs11_object& o) {
        return std::find(unread.begin(), unread.end(), card_place(o)) != unread.end();
    };
    (void)objects_.take_if([&](pkcs11_object& o) { return in_store(o) && unread_place(o); });
    std::vector<bool> kept(earlier.size(), false);
    const auto& list = objects_.objects();
    for (size_t i = 0; i < list.size(); ++i) {
        pkcs11_object& fresh = *list[i];
        if (!in_store(fresh)) continue;
        for (size_t k = 0; k < earlier.size(); ++k) {
            if (kept[k] || !same_card_object(*earlier[k], fresh)) continue;
            // The same object: the one the application holds takes what the
            // card holds now and keeps its handle.
            if (earlier[k]->object_take_content(fresh) != CKR_OK) break;
            kept[k] = true;
            objects_.replace_at(i, earlier[k]);
            break;
        }
    }
    for (size_t k = 0; k < earlier.size(); ++k) {
        // Its file or container could not be read this time: it is not gone.
        if (!kept[k] && unread_place(*earlier[k])) objects_.add(earlier[k]);
    }
    if (unread.empty()) stale_flag(store) = false;
    return unread.empty();
}

void pkcs11_token::take_in_card_changes() {
    if (open_application() != CKR_OK) return;
    // The application was opened anew (reconnection, another card, a
    // format): its container handles and objects belong to the old one.
    if (containers_.application() != 0 && containers_.application() != application_) {
        drop_stored_objects();
        containers_.forget();
    }
    // Read once in a section of the library's own lock, the counter holds
    // for the rest of it: no other process of the module runs meanwhile (a
    // signature's key check and the search of its log share one read).
    const uint64_t section = library_lock().section();
    if (section != 0 && section == counter_section_) return;
    // Another process changed the card: each store is read again before a
    // search that may return its objects, or a call that uses one of them.
    if (containers_.cache_counter_changed()) mark_stores_unread();
    counter_section_ = section;
}

bool pkcs11_token::stored_key_gone(const pkcs11_object& key) {
    // A key no longer listed (dropped at logout) is not compared: the
    // operation goes on with what it holds.
    if (objects_.find(key.handle()) != &key) return false;
    take_in_changes_for(key.handle());
    return objects_.find(key.handle()) != &key;
}

void pkcs11_token::take_in_changes_for(CK_OBJECT_HANDLE handle) {
    pkcs11_object* object = objects_.find(handle);
    if (object == nullptr) return;
    const card_store store = store_of(*object);
    if (store == card_store::none) return;
    take_in_card_changes();
    // The object's store is read again when the card changed since it was
    // read: an object the card no longer holds, or no longer holds as the
    // same object, leaves the list.
    if (!stale_flag(store)) return;
    if (store == card_store::containers)
        (void)load_container_objects();
    else
        load_data_objects();
}

CK_RV pkcs11_token::load_objects_for_find(const p11abi::inner_template& tmpl) {
    take_in_card_changes();
    const inner_attribute* cls = nullptr;
    for (uint32_t i = 0; i < tmpl.size() && cls == nullptr; ++i)
        if (tmpl[i].type == CKA_CLASS) cls = &tmpl[i];
    if (cls != nullptr && cls->length == 4 && cls->value != nullptr) {
        uint32_t value = 0;
        std::memcpy(&value, cls->value, 4);
        if (value == CKO_DATA) {
            load_data_objects();
            return CKR_OK;
        }
        if (value == CKO_CERTIFICATE || value == CKO_PUBLIC_KEY || value == CKO_PRIVATE_KEY)
            return load_container_objects();
    }
    return load_all_objects();
}

namespace {

// The reading of one data-object store, for read_store.
std::function<CK_RV(std::vector<std::string>&)> data_files(pkcs11_token& token,
                                                           const char* prefix) {
    return [&token, prefix](std::vector<std::string>& unread) {
        return pkcs11_data_object_manager(token).data_object_load_all(prefix, &unread);
    };
}

} // namespace

// A flag is set only by a load that read every file, so a failed one is tried again.
void pkcs11_token::load_data_objects() {
    if (!public_loaded_)
        public_loaded_ =
            read_store(card_store::public_files, data_files(*this, data_object_public_prefix));
    if (login_type_ == login_type_user && !private_loaded_)
        private_loaded_ =
            read_store(card_store::private_files, data_files(*this, data_object_private_prefix));
}

CK_RV pkcs11_token::load_all_objects() {
    if (!public_loaded_)
        public_loaded_ =
            read_store(card_store::public_files, data_files(*this, data_object_public_prefix));
    (void)load_container_objects();
    if (login_type_ == login_type_user && !private_loaded_)
        private_loaded_ =
            read_store(card_store::private_files, data_files(*this, data_object_private_prefix));
    return CKR_OK;
}

CK_RV pkcs11_token::reload_objects() {
    mark_stores_unread();
    (void)open_application();
    containers_.list().clear(); // closes the open container handles; the list is read anew
    (void)containers_.cache_counter_reload();
    return load_all_objects();
}

CK_RV pkcs11_token::load_container_objects() {
    if (containers_loaded_) return CKR_OK;
    containers_loaded_ =
        read_store(card_store::containers, [this](std::vector<std::string>& unread) {
            if (CK_RV rv = containers_.container_manager_load(); rv != CKR_OK) return rv;
            // Building an object may open its container; the list itself does not change.
            std::vector<pkcs11_container*> list;
            for (const auto& c : containers_.list().items())
                list.push_back(c.get());
            for (pkcs11_container* c : list)
                if (containers_.container_build_objects(*c) != CKR_OK)
                    unread.emplace_back(c->text());
            return CKR_OK;
        });
    return CKR_OK;
}

CK_RV pkcs11_token::read_object_values(pkcs11_object& object) {
    if (!object.object_is_token() || !object.object_needs_value_load()) return CKR_OK;
    if (object.object_class() == CKO_DATA) {
        if (!object.attributes().has(ZELT_CKA_FILE_NAME)) return CKR_OK; // not stored (yet)
        return pkcs11_data_object_manager(*this).data_object_read_value(object);
    }
    if (!object.attributes().has(ZELT_CKA_CONTAINER_NAME))
        return CKR_OK; // nothing of it is on the card
    switch (object.object_class()) {
    case CKO_CERTIFICATE:
        return containers_.container_load_certificate(object);
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY: {
        const pkcs11_attribute* kt = object.attributes().find(CKA_KEY_TYPE);
        if (kt == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (kt->length() > 4) return CKR_BUFFER_TOO_SMALL;
        return kt->as_u32() == CKK_RSA ? containers_.container_load_rsa_public(object)
                                       : containers_.container_load_sm2_public(object);
    }
    default:
        return CKR_OK;
    }
}

CK_RV pkcs11_token::read_stored_values(pkcs11_object& object) {
    const CK_RV rv = read_object_values(object);
    if (!not_on_card(rv)) return rv;
    // Another process destroyed the object since its store was read: with
    // that change taken in, its handle names nothing any more.
    const uint32_t handle = object.handle();
    take_in_changes_for(handle);
    return objects_.find(handle) == &object ? rv : CKR_OBJECT_HANDLE_INVALID;
}

CK_RV pkcs11_token::assign_container_name(pkcs11_object& object) {
    if (object_container(object).has_value()) return CKR_OK;
    const auto id = attribute_bytes(object, CKA_ID);
    if (!id) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (id->size() > container_name_capacity) return CKR_BUFFER_TOO_SMALL;
    const bool certificate = object.object_class() == CKO_CERTIFICATE;
    bool same_id = false;
    // The objects of exactly this identifier (a prefix would join the
    // exchange pair "ab\0" to the signature pair "ab\0S").
    for (const auto& o : objects_.objects()) {
        if (o.get() == &object) continue;
        const auto other = attribute_bytes(*o, CKA_ID);
        if (!other || *other != *id) continue;
        same_id = true;
        const uint32_t spec = o->object_key_spec();
        object.object_set_attribute(ZELT_CKA_KEY_SPEC, &spec, 4);
        const auto name = object_container(*o);
        if (!name) continue;
        // A certificate never replaces one already in that container.
        if (certificate) {
            uint8_t type = 0, sign_cert = 0, exch_cert = 0;
            uint32_t sign_bits = 0, exch_bits = 0;
            if (containers_.container_info(*name, &type, &sign_bits, &exch_bits, &sign_cert,
                                           &exch_cert) == CKR_OK &&
                (spec == key_spec_signature ? sign_cert : exch_cert) != 0)
                continue;
        }
        set_container_name(object, *name);
        return CKR_OK;
    }
    if (containers_.list().empty()) (void)containers_.container_manager_load();
    // A certificate that joins no key gets a container named by its label, as
    // a generated key pair does: objects in key containers carry their
    // container's name as label, so an application (NSS, GnuTLS) finds the
    // certificate again under the label it stored it with. A label the card
    // cannot take, the class's default label or a name in use gives a
    // generated name.
    std::string wanted;
    if (certificate && !same_id) {
        if (const auto label = attribute_bytes(object, CKA_LABEL);
            label && label->size() <= container_name_capacity)
            wanted = stored_text(*label);
    }
    set_container_name(object, containers_.container_name_for_new_key(
                                   wanted, certificate_default_label, container_reuse::none, 0));
    return CKR_OK;
}

CK_RV pkcs11_token::assign_private_key_container(pkcs11_object& object) {
    if (object_container(object).has_value()) return CKR_OK;
    // A key joins the container of a certificate or key of exactly its
    // identifier when that container has no key of its spec yet; otherwise it
    // gets a container of its own. The label is never a container name: every
    // private key has one (the default "A private object"), so keys would
    // overwrite each other in a container of that name.
    const uint32_t spec = object.object_key_spec();
    if (const auto id = attribute_bytes(object, CKA_ID); id && !id->empty()) {
        for (const auto& o : objects_.objects()) {
            if (o.get() == &object) continue;
            const auto other = attribute_bytes(*o, CKA_ID);
            if (!other || *other != *id) continue;
            const auto name = object_container(*o);
            if (!name || containers_.container_has_key(*name, spec)) continue;
            set_container_name(object, *name);
            return CKR_OK;
        }
    }
    set_container_name(object,
                       containers_.container_name_for_new_key({}, {}, container_reuse::none, spec));
    return CKR_OK;
}

CK_RV pkcs11_token::store_certificate(pkcs11_object& object) {
    if (CK_RV rv = assign_container_name(object); rv != CKR_OK) return rv;
    if (CK_RV rv = containers_.container_store_certificate(object); rv != CKR_OK) return rv;
    notify_tray_regcert();
    return CKR_OK;
}

namespace {

// A private key object that carries no private value: a key generated on the
// card, already in its container.
bool without_private_value(const pkcs11_object& object) {
    for (uint32_t type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                          CKA_EXPONENT_2, CKA_COEFFICIENT, CKA_VALUE})
        if (object.attributes().has(type)) return false;
    return true;
}

} // namespace

CK_RV pkcs11_token::token_store_object(const std::shared_ptr<pkcs11_object>& object) {
    if (!object->object_is_token()) {
        objects_.add(object);
        return CKR_OK;
    }
    const int64_t c = object->object_class();
    CK_RV rv = CKR_OK;
    switch (c) {
    case CKO_DATA:
        rv = pkcs11_data_object_manager(*this).data_object_create(*object);
        break;
    case CKO_CERTIFICATE:
        object->object_ensure_key_spec();
        rv = store_certificate(*object);
        break;
    case CKO_PRIVATE_KEY: {
        object->object_ensure_key_spec();
        if (CK_RV a = assign_private_key_container(*object); a != CKR_OK) return a;
        // A key generated on the card is there already; any other key must
        // bring its private value (a key without one is refused by the import).
        const auto name = object_container(*object);
        const bool on_card = without_private_value(*object) && name.has_value() &&
                             containers_.container_has_key(*name, object->object_key_spec());
        if (!on_card) rv = containers_.container_import_private_key(*object);
        break;
    }
    default:
        break; // public and secret keys of the token stay in memory
    }
    // The card writes containers for the logged-in user only.
    if (rv != CKR_OK) return ckr_from_sar(static_cast<uint32_t>(rv), sar_use::store);
    if (c == CKO_DATA || c == CKO_CERTIFICATE || c == CKO_PRIVATE_KEY) {
        (void)containers_.cache_counter_bump(counter_past_file_name(*object));
        info_cached_ = false;
    }
    objects_.add(object);
    return CKR_OK;
}

CK_RV pkcs11_token::token_update_object(pkcs11_object& object, const p11abi::inner_template& tmpl) {
    if (!object.object_is_token() || !object.object_update_needs_store(tmpl.data(), tmpl.size()))
        return CKR_OK;
    const int64_t c = object.object_class();
    CK_RV rv = CKR_OK;
    switch (c) {
    case CKO_DATA: {
        bool value_changed = false;
        for (uint32_t i = 0; i < tmpl.size(); ++i)
            value_changed = value_changed || tmpl[i].type == CKA_VALUE;
        rv = pkcs11_data_object_manager(*this).data_object_update(object, value_changed);
        break;
    }
    case CKO_CERTIFICATE:
        rv = store_certificate(object);
        break;
    case CKO_PRIVATE_KEY: {
        if (CK_RV a = assign_private_key_container(object); a != CKR_OK) return a;
        const auto name = object_container(object);
        const bool on_card = without_private_value(object) && name.has_value() &&
                             containers_.container_has_key(*name, object.object_key_spec());
        if (!on_card) rv = containers_.container_import_private_key(object);
        break;
    }
    default:
        return CKR_OK;
    }
    if (rv != CKR_OK) return rv;
    (void)containers_.cache_counter_bump(counter_past_file_name(object));
    info_cached_ = false;
    return CKR_OK;
}

CK_RV pkcs11_token::token_destroy_object(pkcs11_object& object) {
    if (object.object_is_token()) {
        const int64_t c = object.object_class();
        CK_RV rv = CKR_OK;
        bool on_card = false;
        switch (c) {
        case CKO_DATA:
            on_card = true;
            rv = pkcs11_data_object_manager(*this).data_object_delete(object);
            break;
        case CKO_CERTIFICATE:
            on_card = true;
            rv = containers_.container_delete_certificate(object);
            if (rv == CKR_OK) (void)containers_.container_delete_if_empty(object);
            break;
        case CKO_PRIVATE_KEY:
            on_card = true;
            rv = containers_.container_delete_key_pair(object);
            if (rv == CKR_OK) {
                // The public half of the pair went with it.
                const auto name = object_container(object);
                const uint32_t spec = object.object_key_spec();
                std::vector<const pkcs11_object*> partners;
                for (const auto& o : objects_.objects())
                    if (o.get() != &object && o->object_class() == CKO_PUBLIC_KEY && name &&
                        object_container(*o) == name && o->object_key_spec() == spec)
                        partners.push_back(o.get());
                for (const pkcs11_object* p : partners)
                    (void)objects_.object_mgr_remove(p);
                (void)containers_.container_delete_if_empty(object);
            }
            break;
        case CKO_SECRET_KEY:
            if (object.attributes().has(ZELT_CKA_GM_HANDLE))
                (void)containers_.secret_key_release_handle(object);
            break;
        default:
            break;
        }
        if (on_card) {
            if (rv == CKR_OK) {
                (void)containers_.cache_counter_bump();
                info_cached_ = false;
            } else if (!already_gone(rv)) {
                return rv; // still on the card: the object stays too
            }
        }
    }
    return objects_.object_mgr_remove(&object);
}

CK_RV pkcs11_token::delete_container_objects(const char* name) {
    std::vector<std::shared_ptr<pkcs11_object>> found;
    const std::string wanted(name);
    for (const auto& o : objects_.objects())
        if (object_container(*o) == wanted) found.push_back(o);
    for (const auto& o : found)
        (void)token_destroy_object(*o);
    return CKR_OK;
}

CK_RV pkcs11_token::container_create(const char* name) {
    const CK_RV rv = containers_.container_create(name);
    if (rv == CKR_OK) (void)containers_.cache_counter_bump();
    return rv;
}

CK_RV pkcs11_token::container_delete(const char* name) {
    // Read afresh: another process may have made or deleted containers.
    if (CK_RV rv = containers_.container_manager_load(); rv != CKR_OK) return rv;
    if (containers_.list().find(name) == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    (void)load_container_objects();
    (void)delete_container_objects(name);
    // Removing its last key and certificate may have taken the container already.
    (void)containers_.container_manager_load();
    CK_RV rv = CKR_OK;
    if (containers_.list().find(name) != nullptr) rv = containers_.container_delete(name);
    if (rv == CKR_OK) {
        (void)containers_.cache_counter_bump();
        info_cached_ = false;
    }
    return rv;
}

CK_RV pkcs11_token::container_enum(char* buffer, uint32_t* length) {
    // Read afresh: another process may have made or deleted containers.
    if (CK_RV rv = containers_.container_manager_load(); rv != CKR_OK) return rv;
    return containers_.container_enum(buffer, length);
}

CK_RV pkcs11_token::container_info(const char* name, CK_BYTE* type, uint32_t* sign_bits,
                                   uint32_t* exch_bits, CK_BYTE* sign_cert, CK_BYTE* exch_cert) {
    CK_RV rv = containers_.container_info(name, type, sign_bits, exch_bits, sign_cert, exch_cert);
    if (rv == ZELT_CKR_CONTAINER_NOT_FOUND && containers_.container_manager_load() == CKR_OK)
        rv = containers_.container_info(name, type, sign_bits, exch_bits, sign_cert, exch_cert);
    return rv;
}
