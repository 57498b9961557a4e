// Whether a file or folder can be trusted with what the service reads from it or
// writes into it: by who owns it and who else may change it, never by its name. Any
// standard user may make a folder in ProgramData before the service does, and owns what
// they make; an owner can always rewrite the access list.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>

enum class TrustFault : int32_t {
    None = 0,
    Owner = 1,       // made by someone else
    Writer = 2,      // someone else may write it, delete it, or change its access or owner
    Link = 3,        // a junction, symbolic link or mount point: it leads elsewhere
    Unreadable = 4,  // its security cannot be read
};

struct TrustVerdict {
    TrustFault fault;
    std::array<char, 160> who;  // the owner or writer that failed it: "DOMAIN\name", or its SID
};

// What the rule looks at. A file's own entries; a folder's own entries and those its
// new files and folders would inherit; an ancestor's entries that let someone remove
// or rename what is in it, or itself.
enum class TrustScope : int32_t { FileOnly = 0, FolderAndNewFiles = 1, FolderAbove = 2 };

// The rule on a security descriptor (its owner and access list): owned by SYSTEM, the
// Administrators, TrustedInstaller or `self` (the account the process runs as), and no
// entry allows anyone but these three, and the owner itself, to change it.
TrustVerdict JudgeSecurity(PSECURITY_DESCRIPTOR security, PSID self, TrustScope scope);
// The same for a file or folder by its path, its last part not followed when it is a link.
TrustVerdict JudgePath(const char* path, TrustScope scope);
// A path and every folder above it, up to its drive's root: the first fault, or None;
// `failed` is given the path that failed (empty for none).
TrustVerdict JudgePathAndAncestors(const char* path, TrustScope scope, std::span<char> failed);

// Whether a path, or a folder's entry, is a link (a junction, symbolic link or mount
// point), which is never followed into.
bool IsLinkPath(const char* path);
bool IsLinkEntry(const WIN32_FIND_DATAA& entry);

// The service's folder, under which no link is followed; set once at its start.
void GuardFolder(const char* folder);
// CreateFileA, except that under the guarded folder a link in the file's place or in
// place of any folder between fails it (ERROR_CANT_RESOLVE_FILENAME), so that no one
// makes the service write where a link leads.
HANDLE CreateGuardedFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes);

// The account this process runs as, SYSTEM for the service; made once.
PSID ProcessAccount();

// The verdict in words: "owned by CORP\mallory", "writable by Everyone", "a link".
void DescribeVerdict(const TrustVerdict& verdict, std::span<char> text);
