// A lock that the processes of one machine take on one device, so that they
// can share it. The kernel releases it when the holder closes it or dies, so
// a crashed process never leaves the device locked.
//
// Two independent parts:
// - presence: held shared by every process that has the device open. A
//   process that can take it exclusively is the device's only user; a
//   process that must keep others out (the daemon while it serves a client)
//   holds it exclusively throughout. A process may keep the device open
//   without presence while it has nothing on the device (the daemon between
//   clients): it is then nobody's reason not to clear.
// - exchange: held exclusively for one request and its answer, so that the
//   exchanges of different processes never interleave on the device.
#pragma once

#include <memory>
#include <string>

namespace vexa::platform {

class DeviceLock {
public:
    enum class Presence {
        Alone,   // taken exclusively: no other process has the device open
        Shared,  // taken shared beside other processes
        Busy,    // another process holds the device alone; not taken
    };

    // The lock of the device whose lock file is `path`. A device node is
    // locked as it is (create = false); a lock file for a device without a
    // node is created when missing (create = true). Null with `error` set
    // when the file cannot be opened.
    // On Windows a device node cannot be locked: its lock is a file named
    // after it in sharedDirectory().
    static std::unique_ptr<DeviceLock> open(const std::string& path, bool create,
                                            std::string& error);
    // Where the processes of every user and service of this machine meet
    // for devices that have no lock file of their own, ending in the
    // separator; made when missing. Linux: /tmp/ (not $TMPDIR, which differs
    // between users). Windows: %ProgramData%\Vexa\ (the temporary directory
    // there is per user, and a service's is another one).
    static std::string sharedDirectory();
    virtual ~DeviceLock() = default;

    // Joins the users of the device. exclusive: take presence alone, waiting
    // up to waitMs for the others to leave (Busy when they do not). Else:
    // Alone when no one else holds it (presence stays exclusive until
    // share()), otherwise Shared, waiting up to waitMs while another
    // process holds it alone.
    virtual Presence join(bool exclusive, int waitMs) = 0;
    // Turns an exclusive presence into a shared one, without a moment in
    // which another process could take it alone.
    virtual void share() = 0;
    // Lets presence go while the lock stays open; join takes it again.
    virtual void leave() = 0;
    // Takes the exchange part, waiting up to waitMs; false when another
    // process kept it that long. Holding it already is fine.
    virtual bool lockExchange(int waitMs) = 0;
    virtual void unlockExchange() = 0;
};

}  // namespace vexa::platform
