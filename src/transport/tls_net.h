// The send side of a TLS connection over an mbedTLS network context, for
// mbedtls_ssl_set_bio. It behaves like mbedtls_net_send, except that a peer
// that has gone away yields MBEDTLS_ERR_NET_CONN_RESET instead of a SIGPIPE
// that would end the process (the daemon, or the application that loaded
// the module).
#pragma once

#include <cstddef>

namespace talvoranth {

// ctx is an mbedtls_net_context*.
int TlsNetSend(void* ctx, const unsigned char* buffer, size_t length);

}  // namespace talvoranth
