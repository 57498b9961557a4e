// What a trip does to a share's permissions: one entry first in the share's list that
// denies the tripped account everything, so that the server itself refuses the account
// at every connection to the share; and, on release, that entry taken out again. These
// are the descriptors alone, as bytes; the engine reads and writes the shares.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// A share's descriptor, self-relative, as the server gives it; a larger one is refused.
constexpr std::size_t kShareDescriptorBytes = 8192;
// Full control of a share, as the permissions dialog writes it.
constexpr ACCESS_MASK kShareDenyMask = 0x001F01FF;

struct ShareDescriptor {
    std::array<BYTE, kShareDescriptorBytes> bytes;
    uint32_t length;  // 0: none
};

struct AccountSid {
    std::array<BYTE, SECURITY_MAX_SID_SIZE> bytes;
    uint32_t length;  // 0: none
};

// How far a self-relative descriptor's parts reach, each part (owner, group, lists and
// every entry of them) checked to lie within its first `limit` bytes before it is read;
// 0 when one does not, or it is not self-relative. A server's reply is read only this
// way, so that its offsets cannot lead the program past the bytes it was given.
std::size_t SelfRelativeExtent(const void* descriptor, std::size_t limit);
// Copies those bytes; false when the descriptor is not such, or does not fit.
bool CopyShareDescriptor(const void* descriptor, ShareDescriptor* copy, std::size_t limit = kShareDescriptorBytes);
// What a share with no descriptor of its own holds: no list, which lets everyone in.
bool EveryoneInDescriptor(ShareDescriptor* descriptor);
bool SameDescriptor(const ShareDescriptor& a, const ShareDescriptor& b);
bool CopyAccountSid(const void* sid, AccountSid* copy);

// `original` with an entry denying `sid` everything first in its list. A descriptor with
// no list (which lets everyone in) gets one that lets everyone in after the entry. False
// when `original` is not a valid descriptor or the result does not fit.
bool AddDenyEntry(const ShareDescriptor& original, const AccountSid& sid, ShareDescriptor* denied);
// `current` without the first entry that denies `sid` exactly what AddDenyEntry denies.
// False when it holds no such entry, or is not valid.
bool RemoveDenyEntry(const ShareDescriptor& current, const AccountSid& sid, ShareDescriptor* restored);
// Whether the list holds an entry that denies `sid` what AddDenyEntry denies.
bool HoldsDenyEntry(const ShareDescriptor& descriptor, const AccountSid& sid);

// Accounts a trip never denies: only a user's account is (never a group, an alias or a
// well-known account), and never the system's, the built-in administrator's or `self`.
bool MayDenyAccount(const AccountSid& sid, SID_NAME_USE use, const AccountSid& self);

// "S-1-5-21-..."; an empty text when there is none.
void SidText(const AccountSid& sid, std::span<char> text);
// Bytes as hex and back, for the journal: false on a bad digit or when it does not fit.
void HexOf(std::span<const BYTE> bytes, std::span<char> text);
bool BytesOfHex(std::string_view hex, std::span<BYTE> bytes, uint32_t* length);
