// The daemon's TLS library objects and listening socket, owned by RunServer
// for the whole of its run. Every client connection has its own TLS context
// over this one configuration.
#pragma once

#include "common/mbed_owner.h"

// Every member is initialised when the context is made (the socket to the
// closed state) and freed whichever way the server ends, in the reverse
// order of this list: the configuration before the certificates, key, cache
// and generator it uses.
struct ServerContext {
    vexa::mbed::Net listener;
    vexa::mbed::Entropy entropy;
    vexa::mbed::CtrDrbg drbg;
    vexa::mbed::X509Crt serverCert;
    vexa::mbed::X509Crt caChain;
    // CAs that client certificates must chain to ("clientca"); empty when
    // any client may connect.
    vexa::mbed::X509Crt clientCaChain;
    vexa::mbed::Pk key;
    // Lets clients resume earlier sessions (library defaults: 86400 s, 50 entries).
    vexa::mbed::SslCache cache;
    vexa::mbed::SslConfig conf;
};
