// Owning pointers for the OpenSSL objects the tests use as their oracle.
#pragma once

#include <openssl/evp.h>

#include <memory>

namespace test_support {

struct pkey_free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;

struct pctx_free {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using pctx_ptr = std::unique_ptr<EVP_PKEY_CTX, pctx_free>;

} // namespace test_support
