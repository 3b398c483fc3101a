// Owning holders for the OpenSSL 3 objects the simulator keeps in its state.
#pragma once

#include <memory>

#include <openssl/evp.h>

namespace cardsim {

struct cipher_ctx_free {
    void operator()(EVP_CIPHER_CTX* p) const noexcept { EVP_CIPHER_CTX_free(p); }
};
struct md_ctx_free {
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
struct pkey_free {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};

using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_free>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, md_ctx_free>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;

} // namespace cardsim
