// Winsock start-up for the Windows socket code of this directory.
#pragma once

namespace vexa::platform {

// Starts Winsock once per process and leaves it running (other users in the
// process start and stop it on their own count). False when it cannot start.
bool startWinsock();

// Sets errno from the calling thread's last Winsock error, so that callers
// shared with Linux can test EAGAIN, EPIPE and the like.
void errnoFromWinsock();

}  // namespace vexa::platform
