// Replacing a file the user keeps (a firmware container, spect.spc, a saved spectrum) as a whole.
//
// The new contents go to a temporary file in the target's own folder: an unnamed one (O_TMPFILE)
// where the file system has them, else one with a short random name created exclusively, so it
// can never be a file of the user's (a hundred names are drawn before giving up). It is flushed to
// disk, linked under a short unique name and renamed over the target, and the folder is flushed
// too: a reader, a crash or a power cut sees the old file or the new one, never half of one.
//
// - The path is walked one name at a time, and every symbolic link met on the way (in any
//   folder, also one reached through another link) is followed only when its owner is this
//   (effective) user, root, or the owner of the folder that holds the link; any other link is
//   refused (EACCES). So where no other user owns a folder on the way, only this user's and
//   root's links are followed: run by root in a folder that others may write (/tmp, a 0777
//   folder), another user's link there is refused. A folder's owner decides its links, though:
//   in a folder another user made, also one inside a shared folder (/tmp/theirs), that user's
//   links are followed, and root writes where they point, as the kernel would follow them too.
//   A trusted link to a file is followed: the file it points to is replaced, the link stays; a
//   dangling one creates the file it names.
// - An existing target keeps its mode, but never a set-user-ID or set-group-ID bit (the new
//   contents are data, whatever the old file was), and, where allowed, its owner (where not, the
//   new file is this user's); a new one gets the mode fopen(..., "w") would give it (0666 less
//   the umask).
// - A target this user could not open for writing is not replaced, and neither is anything that
//   is not a regular file (a directory, a FIFO, a device): open fails without ever opening it
//   for writing.
// - The target is renamed over only while its name still names the file examined when opening
//   (or still nothing): a name changed in between is refused (EAGAIN, or EEXIST for a new one).
// - A folder this user may not write, holding a target the user may write: the target is
//   written in place (the only way left; not atomic).
// - Any failure, and SIGINT, SIGTERM or SIGHUP while a temporary name exists, leaves no
//   temporary file behind and the old file untouched.
// - Hard links to the old file are not kept: they go on naming the old contents.
//
// On Windows (safe_file_win.cpp) the temporary always has a name (".nv" and six random
// characters beside the target), is flushed with _commit and takes the target's place with
// ReplaceFile (which keeps the old file's access control list, attributes and streams; MoveFileEx
// for a new target); a read-only target or a directory is refused; a symbolic link is not
// followed. A text file is written there with CR LF line ends. Names are
// UTF-8, of any length the system allows, made full paths when the file is opened (the program
// never changes its working directory). A target another program holds open (so that it cannot
// be replaced) is waited for up to 200 ms; after that it is refused (EBUSY), or written in place
// when fall_back_in_place() was asked for; a target this user may not replace is refused at once.
// Ctrl-C, Ctrl-Break, closing the console, logoff and shutdown all remove the temporary.
//
// One SafeFile is used by one thread at a time; any number may be open at once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// For tests, on every system; a system without what a hook is about ignores it.
// False: never use unnamed temporary files, as on a file system without them (Windows never
// has them).
extern bool safe_file_tmpfile;
// Draws the name of a temporary file (".nv" and six random letters and digits).
extern std::string (*safe_file_temp_name)();
// False: a new file is never put in place with RENAME_NOREPLACE, as on a file system without it
// (the name is looked at once more just before a plain rename). Linux only.
extern bool safe_file_noreplace;
// Called, when set, with the target's folder (a descriptor), the complete temporary's name and
// the target's name there, just before the name is checked again and the temporary renamed over
// it: tests change the names at that very moment. Linux only (Windows names no folder by a
// descriptor).
extern void (*safe_file_before_rename)(int folder, const char* temp, const char* name);
// The console control handler that removes every temporary file (Ctrl-C, Ctrl-Break, closing the
// console, logoff, shutdown); it answers FALSE (0), so the program then ends as it would without
// it. Tests call it, as they cannot raise those events under Wine. Linux has no such events (its
// signal handlers remove the temporaries): 0 there.
int safe_file_console_event(unsigned long event);

// Each system's record of a replacement under way (safe_file_posix.cpp, safe_file_win.cpp).
struct safe_file_state;

class SafeFile {
  public:
    SafeFile();
    ~SafeFile();  // discards whatever was not committed
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    enum Mode { Binary, Text };
    // Prepares the replacement of `path`. False (errno set) when it cannot be replaced. Text: on
    // Windows, every "\n" written is stored as CR LF; elsewhere the same as Binary.
    bool open(const char* path, Mode mode = Binary);
    // The descriptor of the new contents; -1 when not open. Write through write() and write_at().
    int fd() const;
    // Writes all of `data` at the current offset. False on any failure.
    bool write(const void* data, size_t size);
    // Writes all of `data` at `offset` (a header patched once the rest is known); the next
    // write() goes on where the last one ended. False on any failure.
    bool write_at(const void* data, size_t size, long long offset);
    // Puts the new contents in place of the target. False (errno set) when it failed, also when
    // the final rename failed or the name no longer named the file examined by open (EAGAIN;
    // EEXIST where there was none): the name then holds what it held, no temporary is left (in
    // place: the target as far as it was written).
    bool commit();
    // Drops the new contents: no temporary file remains, the target is untouched.
    void discard();
    // Asked before open: on Windows, a target another program keeps from being replaced is
    // written in place (as fopen(..., "w") would) rather than refused. No effect elsewhere.
    void fall_back_in_place();

  private:
    std::unique_ptr<safe_file_state> s_;
};

// Opens `path` for appending (a log, a record kept line by line) under the rules open() keeps
// for a replacement: a symbolic link is followed only when trusted, only a regular file is
// opened (never a FIFO, a device or a folder), a missing file is created (0666 less the umask)
// but a name that changes while it is looked at is refused. Every write goes to the file's end.
// The descriptor, or -1 with errno (EACCES for an untrusted link). On Windows a symbolic link or
// junction is refused, and the descriptor is the C runtime's.
int safe_file_append(const char* path);
