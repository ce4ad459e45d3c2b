// Internal to the POSIX backend: errno values as WinSock error codes.
#pragma once

int wsa_code_from_errno(int posix_errno);

// Records errno as the last socket error and returns -1.
int record_errno();
