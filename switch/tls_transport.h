#pragma once

#include "switch/transport.h"

// TLS over the session's socket, made from the server's TLS context as it
// is at accept. Its peers are named with a " tls" suffix.
const Transport& tls_transport();
