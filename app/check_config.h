#pragma once

#include "app/reload.h"

// --check-config: reads and checks everything a start would (the files
// named, the certificate and key, the users and rights, the addresses, the
// ports), binding nothing, since a running server may hold the ports.
// Exits with 0 and "QuillmarshSrv: configuration OK" on standard output, or
// with 2 and the first mistake on standard error.
[[noreturn]] void check_configuration(const Configuration& configuration);
