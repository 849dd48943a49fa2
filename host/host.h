// mirvold's own pieces: the mirror disks as the host reaches them, the FUSE
// file system that shows them (and /proc) to real programs, and the control
// socket that carries their control commands.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mirvold {

// --- mirror disks (mirror_io.cpp) ---

struct mirror_disk;  // a disk the module registered, with the host's I/O state

struct mirror_file {
  std::string name;  // the disk's name, "NMP3"
  mirror_disk *disk;
};

// Looks up, by device number, the disk the module registered for every minor
// of its nmp_minor list, in that order. A minor without a disk is logged and
// left out.
std::vector<mirror_file> find_mirror_disks(void);
void release_mirror_disks(std::vector<mirror_file> *files);

// The disk's size in bytes (its capacity in sectors times 512).
uint64_t mirror_size(mirror_disk *d);
// Reads or writes bytes of the disk as the page cache would: bios of page
// segments over the covering block-aligned range, split by the queue
// limits, a partial block read before it is written. Return the bytes moved
// (short at the end of the disk; 0 for a read at or past the end) or -errno
// from the bios' status (-ENOSPC for a write at or past the end).
long mirror_read(mirror_disk *d, char *buf, size_t size, uint64_t off);
long mirror_write(mirror_disk *d, const char *buf, size_t size, uint64_t off);
// Waits until the writes in flight on the disk have completed and the
// device's pending difference-bitmap ranges are on its Cluster Partition,
// then brings the backing storage to stable storage. 0 or -errno (-EIO when
// the bitmap could not be written in time).
int mirror_fsync(mirror_disk *d);
// An open and a close of the mirror file count as opens of the disk's block
// device, as the kernel counts the openers of /dev/NMPx.
void mirror_opened(mirror_disk *d);
void mirror_closed(mirror_disk *d);

// --- the file system (fusefs.cpp) ---

// Mounts DIR with one file per mirror disk and the /proc files under
// DIR/proc, served by a pool of worker threads. 0 or -errno (logged).
int fs_start(const std::string &dir, std::vector<mirror_file> files);
// Called on a stop request. When no mirror file is open, stops taking
// opens and /proc reads and returns 0; otherwise returns the number of open
// mirror files and changes nothing.
int fs_begin_stop(void);
// Unmounts DIR and waits for the workers to leave. False when they did not
// (a file of the detached mount is still held open); they are then left
// running and the process must end without running its exit handlers.
bool fs_stop(void);

// --- the control socket (control.cpp) ---

// Listens on the Unix socket PATH (a stale socket there is replaced) and
// serves each control command on a task of its own, any number at once.
// 0 or -errno (logged).
int control_start(const std::string &path);
// Called on a stop request. When no control command is running, refuses new
// ones and returns 0; otherwise returns the number running and changes
// nothing. Without a control socket, 0.
int control_begin_stop(void);
// Takes new commands again after control_begin_stop() (the stop was refused
// for another reason).
void control_cancel_stop(void);
// Stops accepting, ends the connections still waiting for their request,
// waits for the commands admitted (normally none), removes the socket.
void control_stop(void);

}  // namespace mirvold
