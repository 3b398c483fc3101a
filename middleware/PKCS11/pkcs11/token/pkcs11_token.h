// One token device and the slot it occupies: its device and application
// handles, the CK_TOKEN_INFO that C_GetTokenInfo returns, the login state and
// the session counts. The operations on the card (login, PINs, formatting,
// objects, files) are added with the device API; until then a token answers
// them with CKR_FUNCTION_NOT_SUPPORTED.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "abi_boundary.h"
#include "gm_api.h"
#include "pkcs11.h"
#include "pkcs11_container_mgr.h"
#include "pkcs11_mechanism.h"
#include "pkcs11_object_mgr.h"
#include "pkcs11_storage_records.h"

inline constexpr int32_t login_type_so = 0;
inline constexpr int32_t login_type_user = 1;
inline constexpr int32_t login_type_nobody = 2;
// M_RemoteUnblockUserPinMS's pReply has no length: it must hold this many bytes.
inline constexpr uint32_t unblock_ms_reply_max = 256;

// The places on the card that the token reads its stored objects from.
enum class card_store : uint8_t {
    none,          // session objects, and token keys kept in memory only
    public_files,  // data objects in "PUBOBJ" files
    private_files, // data objects in "PRIOBJ" files
    containers,    // keys and certificates in key containers
};

class pkcs11_token {
  public:
    explicit pkcs11_token(const char* device_name) {
        device_name_.assign(device_name, strnlen(device_name, 255));
        init_token_info();
        mechanisms_.load_mechanisms();
    }
    virtual ~pkcs11_token() { token_close(); }
    pkcs11_token(const pkcs11_token&) = delete;
    pkcs11_token& operator=(const pkcs11_token&) = delete;

    const std::string& device_name() const { return device_name_; }
    int32_t slot_id() const { return slot_id_; }
    void set_slot_id(int32_t id) { slot_id_ = id; }
    int32_t login_type() const { return login_type_; }
    const CK_TOKEN_INFO& token_info() const { return token_info_; }
    CK_TOKEN_INFO& token_info() { return token_info_; }
    DEVHANDLE device_handle() const { return device_handle_; }

    const std::string& application_name() const { return application_name_; }

    // Device and application (pkcs11_token.cpp). The device is connected and
    // the application opened on demand by the steps that need them.
    // True when the device is not open, or when it answers (and is still the
    // card this token first connected to).
    bool device_answers();
    // Connects the device when it is not open or no longer answers.
    CK_RV token_open_device();
    // True when the device can be reached: connected (now, if need be) and answering.
    bool device_present();
    // Connects the device when the token has no handle yet (nothing is sent
    // when it has one); the device-API code when the connection fails.
    CK_RV ensure_device() {
        connect_on_demand();
        return device_handle_ != 0 ? CKR_OK : CKR_DEVICE_ERROR;
    }
    // Frees the objects, closes the application and the device.
    CK_RV token_close();
    // The raw hardware serial number of the card this token first connected
    // to (empty before the first connection). Given to a new token of the same
    // reader, it makes token_open_device answer CKR_DEVICE_REMOVED when the
    // reader holds another card.
    const std::vector<uint8_t>& card_serial() const { return card_serial_; }
    void expect_card(const std::vector<uint8_t>& serial) { card_serial_ = serial; }
    CK_RV open_application();
    HAPPLICATION application() const { return application_; }
    // The OEM area can be read and the token has an application; *user_pin_set
    // gets the area's user-PIN-set marker.
    bool token_is_initialised(uint8_t* user_pin_set = nullptr);

    // CK_TOKEN_INFO from the device (cached until the device or a PIN changes;
    // the PIN flags are read afresh at every call).
    CK_RV refresh_token_info();
    CK_RV refresh_token_flags();
    CK_RV refresh_login_state();
    CK_RV pkcs11_token_logout() {
        login_type_ = login_type_nobody;
        // The card keeps its state.
        drop_login_objects();
        return CKR_OK;
    }
    // Session bookkeeping of C_CloseSession: counts down, logs out after the last session.
    void token_session_closed(uint32_t session_handle, bool read_only) {
        objects_.object_mgr_purge_session(session_handle);
        if (!read_only && token_info_.ulRwSessionCount > 0) --token_info_.ulRwSessionCount;
        if (token_info_.ulSessionCount > 0) --token_info_.ulSessionCount;
        if (token_info_.ulSessionCount == 0 && login_type_ != login_type_nobody)
            pkcs11_token_logout();
    }
    void session_opened(bool read_write) {
        ++token_info_.ulSessionCount;
        if (read_write) ++token_info_.ulRwSessionCount;
    }
    // M_ForceLogout's token step: nobody logged in, the card's security state cleared.
    CK_RV force_logout() {
        login_type_ = login_type_nobody;
        drop_login_objects();
        if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
        return SKF_ClearSecureState(application_);
    }

    // Card operations of the exports; answered until the device API is in place.
    // The token's mechanisms (pkcs11_mechanism.h), loaded when the token is built.
    CK_RV mechanism_list(CK_MECHANISM_TYPE* list, uint32_t* count) const {
        return mechanisms_.mechanism_list(list, count);
    }
    CK_RV mechanism_info(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) const {
        return mechanisms_.mechanism_info(type, info);
    }
    const pkcs11_mechanism_mgr& mechanisms() const { return mechanisms_; }
    // Authentication, PINs and initialisation (pkcs11_token.cpp). PIN lengths
    // are the caller's full-width values; they are checked before any copy.
    CK_RV pkcs11_token_login(uint32_t user_type, const CK_UTF8CHAR* pin, CK_ULONG length);
    CK_RV init_user_pin(const CK_UTF8CHAR* pin, CK_ULONG length);
    CK_RV change_user_pin(const CK_UTF8CHAR* old_pin, CK_ULONG old_length,
                          const CK_UTF8CHAR* new_pin, CK_ULONG new_length);
    CK_RV change_so_pin(const CK_UTF8CHAR* old_pin, CK_ULONG old_length, const CK_UTF8CHAR* new_pin,
                        CK_ULONG new_length);
    CK_RV get_user_pin_info(uint32_t user_type, user_pin_info* info);
    CK_RV unblock_user_pin(const CK_UTF8CHAR* so_pin, CK_ULONG so_length,
                           const CK_UTF8CHAR* new_pin, CK_ULONG new_length);
    CK_RV unblock_user_pin_ms(const CK_BYTE* data, CK_ULONG length, CK_BYTE* reply,
                              CK_ULONG* retry_count);
    CK_RV remote_unblock_user_pin(const CK_BYTE* data, CK_ULONG length);
    CK_RV init_token(const CK_UTF8CHAR* pin, CK_ULONG length, const CK_UTF8CHAR* label);
    CK_RV format_token(const token_format_info& record, size_t so_pin_length);
    CK_RV device_authenticate();
    void token_drop_storage();
    // Direct device functions.
    CK_RV set_token_label(const char* label);
    CK_RV token_random(CK_BYTE* buffer, uint32_t length);
    CK_RV write_sectors(uint32_t first, uint32_t count, CK_BYTE* data);
    CK_RV read_sectors(uint32_t first, uint32_t count, CK_BYTE* buffer);
    CK_RV get_file_info(const char* name, uint32_t* size, uint32_t* read_rights,
                        uint32_t* write_rights);
    // Files of the token application, straight through the device API (its
    // result codes reach the caller unchanged).
    CK_RV file_create(const char* name, uint32_t size, uint32_t read_rights, uint32_t write_rights);
    CK_RV file_delete(const char* name);
    CK_RV file_write(const char* name, uint32_t offset, const CK_BYTE* data, uint32_t size);
    CK_RV file_read(const char* name, uint32_t offset, uint32_t size, CK_BYTE* data,
                    uint32_t* length);
    // M_GetApplicationInfo: the application's name (a 64-byte zero-padded
    // field) and the card's application information (pkcs11_token_vendor.cpp).
    CK_RV application_info(char* name, CK_BYTE* b0, CK_BYTE* b1, CK_BYTE* b2, CK_BYTE* b3,
                           unsigned int* value);
    CK_RV dev_caps(uint32_t* caps1, uint32_t* caps2);
    // M_SetInqString: the device's inquiry string (pkcs11_token_vendor.cpp).
    CK_RV set_inquiry_string(const char* vendor, const char* product);
    // Rebuilds "cmapfile" and bumps "cardcf" from the application's containers.
    CK_RV update_cmapfile(const char* default_name) {
        if (CK_RV rv = open_application(); rv != CKR_OK) return rv;
        return token_update_cmapfile(application_, default_name);
    }
    // Key containers and stored objects (pkcs11_token_storage.cpp).
    CK_RV container_create(const char* name);
    CK_RV container_delete(const char* name);
    CK_RV container_enum(char* buffer, uint32_t* length);
    CK_RV container_info(const char* name, CK_BYTE* type, uint32_t* sign_bits, uint32_t* exch_bits,
                         CK_BYTE* sign_cert, CK_BYTE* exch_cert);
    CK_RV reload_objects();
    CK_RV load_all_objects();
    CK_RV load_container_objects();
    // The data-object files a search for data objects needs: "PUBOBJ", and
    // "PRIOBJ" while the user is logged in (each once until dropped).
    void load_data_objects();
    CK_RV delete_container_objects(const char* name);
    CK_RV store_certificate(pkcs11_object& object);
    CK_RV assign_container_name(pkcs11_object& object);
    CK_RV assign_private_key_container(pkcs11_object& object);
    pkcs11_container_manager& containers() { return containers_; }

    // Objects (in the token's object list; the session is the owner of session
    // objects). Bodies in pkcs11_token_objects.cpp; `access` is the session's
    // access class.
    pkcs11_object_mgr& objects() { return objects_; }
    const pkcs11_object_mgr& objects() const { return objects_; }
    CK_RV create_object(uint32_t session, uint32_t access, const p11abi::inner_template& tmpl,
                        CK_OBJECT_HANDLE* new_handle);
    CK_RV copy_object(uint32_t session, uint32_t access, CK_OBJECT_HANDLE handle,
                      const p11abi::inner_template& tmpl, CK_OBJECT_HANDLE* new_handle);
    CK_RV destroy_object(uint32_t access, CK_OBJECT_HANDLE handle);
    CK_RV object_size(CK_OBJECT_HANDLE handle, uint32_t* size);
    CK_RV get_attribute_value(uint32_t access, CK_OBJECT_HANDLE handle,
                              p11abi::inner_template& tmpl);
    CK_RV set_attribute_value(uint32_t access, CK_OBJECT_HANDLE handle,
                              const p11abi::inner_template& tmpl);
    // Loads the stored objects a search or creation may concern.
    CK_RV load_objects_for_find(const p11abi::inner_template& tmpl);
    // Before a call writes, copies, destroys or uses the object of a handle:
    // when it is stored on the card, what other processes changed there is
    // taken in first (one read of the change counter; its store is read
    // again only when the counter moved), so that a handle whose object is
    // gone, or whose place another object took, names nothing any more.
    void take_in_changes_for(CK_OBJECT_HANDLE handle);
    // Before the card uses the key of a running operation: true when, with
    // what other processes changed taken in, the card no longer holds it
    // (destroyed, or another key generated into its container since the
    // operation's init). A key the list no longer holds is not compared.
    bool stored_key_gone(const pkcs11_object& key);
    // Adds a new object: session objects and token public and secret keys
    // stay in memory; the others are written to the card first.
    CK_RV token_store_object(const std::shared_ptr<pkcs11_object>& object);
    CK_RV token_update_object(pkcs11_object& object, const p11abi::inner_template& tmpl);
    CK_RV token_destroy_object(pkcs11_object& object);
    // Reads the values of an object that are still on the card.
    CK_RV read_object_values(pkcs11_object& object);
    // The same for C_GetAttributeValue: an object whose file or container
    // the card no longer has answers CKR_OBJECT_HANDLE_INVALID once what
    // other processes changed is taken in.
    CK_RV read_stored_values(pkcs11_object& object);

  private:
    // Connects when the handle is null; a failure leaves it null and the
    // device-API call that follows fails on it.
    void connect_on_demand();
    // Drops the objects read from the card (session objects stay) and the
    // flags that say which stores are loaded.
    void drop_stored_objects();
    // At logout: the private data objects and the key and certificate
    // objects go, and their stores count as not read (they are read again,
    // with new handles, at the next search after a login).
    void drop_login_objects() {
        objects_.object_mgr_purge_private();
        objects_.object_mgr_purge_key_objects();
        private_loaded_ = false;
        containers_loaded_ = false;
    }
    // Another process changed the card: every store counts as not read. The
    // objects stay listed, with their handles, until their store is read
    // again (read_store).
    void mark_stores_unread();
    // Opens the application and, when the card changed under this process
    // (another application, or the change counter moved), marks what is to
    // be read again.
    void take_in_card_changes();
    bool& stale_flag(card_store store);
    // Reads one store anew with `read`, which appends the objects it finds to
    // the list and names in `unread` the files or containers it could not
    // read. An object listed before keeps its place in memory and its handle
    // when the card still holds it (same file; same container, key spec and
    // class) and takes the content read now; one the card no longer holds
    // goes; one whose file or container could not be read stays as it was.
    // True when the whole store was read (then it counts as loaded).
    bool read_store(card_store store,
                    const std::function<CK_RV(std::vector<std::string>& unread)>& read);
    bool card_matches();
    // CKR_DEVICE_REMOVED when the open device no longer holds this token's
    // card (pulled, or another card put in): nothing is sent to another card.
    CK_RV same_card();
    // The fingerprint sensor (pkcs11_token_fingerprint.cpp): whether the
    // user has an enrolled finger, and the on-card verification as a login.
    bool fingerprint_enrolled();
    bool has_fingerprint_sensor();
    CK_RV fingerprint_login(uint32_t card_pin_type);

    void init_token_info() {
        std::memset(&token_info_, 0, sizeof token_info_);
        std::memcpy(token_info_.label, "Oskarvel", 8);
        std::memcpy(token_info_.manufacturerID, "Quessar", 7);
        std::memcpy(token_info_.model, "OskarvelA", 9);
        token_info_.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_DUAL_CRYPTO_OPERATIONS;
        token_info_.ulMaxPinLen = 16;
        token_info_.ulMinPinLen = 4;
        token_info_.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        token_info_.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        token_info_.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        token_info_.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        token_info_.hardwareVersion = {1, 0};
        token_info_.firmwareVersion = {1, 0};
    }

    std::string device_name_;
    std::string application_name_;
    CK_TOKEN_INFO token_info_{};
    int32_t login_type_ = login_type_nobody;
    int32_t slot_id_ = -1;
    DEVHANDLE device_handle_ = 0;
    HAPPLICATION application_ = 0;
    bool public_loaded_ = false;
    bool private_loaded_ = false;
    bool containers_loaded_ = false;
    // The stores marked unread because the card changed under this process
    // (rather than never read): an object of one is not used before its
    // store is read again.
    bool public_stale_ = false;
    bool private_stale_ = false;
    bool containers_stale_ = false;
    // The locked section in which the change counter was last read (0: none
    // that keeps other processes out).
    uint64_t counter_section_ = 0;
    bool info_cached_ = false;
    std::vector<uint8_t> card_serial_; // raw hardware serial number of the token's card
    pkcs11_object_mgr objects_;
    pkcs11_container_manager containers_{*this};
    pkcs11_mechanism_mgr mechanisms_;
};
