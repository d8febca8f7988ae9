#include "websocket/security/detail/WSOpenSSL.hpp"

#include <mutex>

#include <openssl/crypto.h>
#include <openssl/ssl.h>

void WSOpenSSLInitialize() {
  static std::once_flag once;
  std::call_once(once, [] {
    // OpenSSL's exit-time clean-up frees its global locks while threads that are never joined
    // (the network thread, the queue workers) may still use them: the first initialisation
    // asks for none, so they stay valid until the process is gone.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  });
}
