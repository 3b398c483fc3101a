// One PKCS#11 session on one slot: state, flags, handle and (with the
// key-context layer) its operation contexts and object search.
#pragma once

#include <cstdint>
#include <memory>

#include "abi_boundary.h"
#include "pkcs11.h"
#include "pkcs11_key_ctx.h"
#include "pkcs11_object_mgr.h"

class pkcs11_token;

// The five operation families of a session: digest, cipher (encrypt or
// decrypt) and signature (sign or verify) contexts.
enum class session_op { encrypt, decrypt, digest, sign, verify };

class pkcs11_session {
  public:
    pkcs11_session(uint32_t handle, uint32_t slot_id, CK_VOID_PTR application, CK_NOTIFY notify)
        : application_(application), notify_(notify), handle_(handle), slot_id_(slot_id) {}
    virtual ~pkcs11_session() = default;
    pkcs11_session(const pkcs11_session&) = delete;
    pkcs11_session& operator=(const pkcs11_session&) = delete;

    CK_VOID_PTR application() const { return application_; }
    CK_NOTIFY notify() const { return notify_; }
    uint32_t handle() const { return handle_; }
    uint32_t slot_id() const { return slot_id_; }
    uint32_t state() const { return state_; }
    uint32_t flags() const { return flags_; }
    void set_flags(uint32_t flags) { flags_ = flags; }
    bool read_only() const { return (flags_ & CKF_RW_SESSION) == 0; }

    // The state rule: from the token's login type (0 SO, 1 user, 2 nobody).
    // A read-only session while the SO is logged in keeps its state and gets
    // CKR_SESSION_READ_WRITE_SO_EXISTS.
    CK_RV session_state_from_login(int32_t login_type) {
        if (!read_only()) {
            state_ = login_type == 0   ? CKS_RW_SO_FUNCTIONS
                     : login_type == 1 ? CKS_RW_USER_FUNCTIONS
                                       : CKS_RW_PUBLIC_SESSION;
            return CKR_OK;
        }
        if (login_type == 0) return CKR_SESSION_READ_WRITE_SO_EXISTS;
        state_ = login_type == 1 ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
        return CKR_OK;
    }

    // Access class used by the object rules: 0 RO public, 1 RW public,
    // 2 RO user, 3 RW user, 4 RW SO.
    uint32_t access_class() const {
        switch (state_) {
        case CKS_RO_PUBLIC_SESSION:
            return 0;
        case CKS_RW_PUBLIC_SESSION:
            return 1;
        case CKS_RO_USER_FUNCTIONS:
            return 2;
        case CKS_RW_USER_FUNCTIONS:
            return 3;
        default:
            return 4;
        }
    }

    // Operation contexts (pkcs11_session_ops.cpp). Lengths are the inner
    // 32-bit values (the exports convert at the boundary). Three slots: digest;
    // cipher (encryption or decryption); signature (signing or verification).
    CK_RV op_init(session_op op, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key,
                  pkcs11_token& token);
    // The one-shot, update and final steps run on the slot's context and leave
    // the slot as it is: the exports end the operation after the answer
    // (PKCS#11 v2.20 section 11's rule, applied in one place for every answer).
    // One-shot step; for verify, out/out_len are the signature and its length.
    CK_RV op_oneshot(session_op op, const CK_BYTE* in, uint32_t in_len, CK_BYTE* out,
                     uint32_t* out_len);
    // Update step; out/out_len only for the cipher family.
    CK_RV op_update(session_op op, const CK_BYTE* in, uint32_t in_len, CK_BYTE* out,
                    uint32_t* out_len);
    // Final step; for verify-final, out/out_len are the signature and its length.
    CK_RV op_final(session_op op, CK_BYTE* out, uint32_t* out_len);
    // Ends the operation of that family's slot (nothing when none runs); its
    // context is deleted and the slot is free for a new init.
    void op_end(session_op op) { slot_for(op).reset(); }
    CK_RV digest_key(pkcs11_token& token, CK_OBJECT_HANDLE key);
    // Whether the slot of that operation family holds a context.
    bool op_active(session_op op) const;

    CK_RV generate_key(const CK_MECHANISM* mechanism, const p11abi::inner_template& tmpl,
                       pkcs11_token& token, CK_OBJECT_HANDLE* key);
    CK_RV generate_key_pair(const CK_MECHANISM* mechanism,
                            const p11abi::inner_template& public_tmpl,
                            const p11abi::inner_template& private_tmpl, pkcs11_token& token,
                            CK_OBJECT_HANDLE* public_key, CK_OBJECT_HANDLE* private_key);
    CK_RV wrap_key(const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE wrapping_key,
                   CK_OBJECT_HANDLE key, CK_BYTE* wrapped, uint32_t* wrapped_len,
                   pkcs11_token& token);
    CK_RV unwrap_key(const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE unwrapping_key,
                     const CK_BYTE* wrapped, uint32_t wrapped_len,
                     const p11abi::inner_template& tmpl, CK_OBJECT_HANDLE* key,
                     pkcs11_token& token);
    CK_RV derive_key(const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE base_key,
                     const p11abi::inner_template& tmpl, CK_OBJECT_HANDLE* key,
                     pkcs11_token& token);

    // The factory that builds this session's key contexts (key_ctx_create
    // unless a test gives another).
    void set_key_ctx_factory(key_ctx_factory factory) { factory_ = factory; }

    // Object search (pkcs11_session_find.cpp). The search keeps no reference
    // to the token: every call is given the token afresh.
    bool search_active() const { return search_ != nullptr; }
    CK_RV find_init(const p11abi::inner_template& tmpl, pkcs11_token& token);
    CK_RV find_objects(pkcs11_token& token, CK_OBJECT_HANDLE* handles, uint32_t max,
                       uint32_t* count);
    CK_RV find_final();

  private:
    CK_VOID_PTR application_; // kept, never used
    CK_NOTIFY notify_;        // kept, never called
    uint32_t state_ = CKS_RW_PUBLIC_SESSION;
    uint32_t flags_ = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    uint32_t handle_;
    uint32_t slot_id_;
    std::unique_ptr<pkcs11_object_finder> search_;
    // The slots own their contexts; a context lives from its init to the end
    // of its operation, its replacement by a sign-init, or the session's end.
    std::unique_ptr<pkcs11_key_ctx>& slot_for(session_op op);
    const std::unique_ptr<pkcs11_key_ctx>& slot_for(session_op op) const;
    // The context for one operation (a CKF_ flag) with a mechanism; none
    // (CKR_MECHANISM_INVALID) when the token lists the mechanism without
    // that flag or not at all, or the factory makes none.
    std::unique_ptr<pkcs11_key_ctx> make_context(CK_FLAGS operation, const CK_MECHANISM& mechanism,
                                                 std::shared_ptr<pkcs11_object> key,
                                                 pkcs11_token& token);
    std::unique_ptr<pkcs11_key_ctx> digest_slot_;
    std::unique_ptr<pkcs11_key_ctx> cipher_slot_;
    std::unique_ptr<pkcs11_key_ctx> signature_slot_;
    uint8_t cipher_path_ = 0; // handed to the factory; never set
    key_ctx_factory factory_ = &key_ctx_create;
};
