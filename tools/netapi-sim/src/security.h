// Share permissions and accounts: self-relative security descriptors kept as bytes, checked
// part by part before they are kept (a caller's descriptor is never trusted), the SIDs a
// server gives its accounts, and the access check a share's DACL makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nsim {

// Header, two SIDs of 15 subauthorities, two ACLs of the largest size an ACL can state.
constexpr size_t kMaxDescriptor = 20 + 2 * 68 + 2 * 65532;

// What a share has when the scenario gives none: Everyone, full control.
constexpr const wchar_t* kDefaultShareSddl = L"O:BAG:BAD:(A;;0x1f01ff;;;WD)";

// The rights an open or a use asks of a share: PERM_FILE_READ, WRITE and CREATE are the
// file's read, write and append data rights.
constexpr uint32_t kAskedRights = 0x7;

// SDDL -> self-relative bytes through the system's converter. False with a reason when it
// refuses the text or makes what we would not keep.
bool sd_from_sddl(std::wstring_view sddl, std::string& bytes, std::string& why);
// The default share descriptor's bytes, made once; empty if the system could not.
const std::string& default_share_sd();

// The length of the self-relative descriptor at p, its parts checked to lie inside it; 0 with
// a reason when it is not one. Reads no further than the parts it has found sound.
size_t sd_length(const void* p, std::string& why);

// SDDL of all four parts as UTF-8; empty if the system cannot write it.
std::string sd_to_sddl(const std::string& bytes);
std::string hex(const std::string& bytes);

// "S-1-5-21-..." (or an SDDL alias) -> SID bytes.
bool sid_from_string(std::wstring_view text, std::string& bytes);
std::string sid_text(const std::string& sid);
// The SID a server gives an account no one declared: a domain account's, RID from the
// FNV-1a hash of the ASCII-folded name, so every server gives the same one.
std::string derived_sid(std::wstring_view name);
const std::string& everyone_sid();
const std::string& authenticated_users_sid();

// Whether the descriptor's DACL grants every bit of `asked` to a caller standing for `sids`;
// if not, why, in words. An empty descriptor (none kept) grants everything.
bool sd_grants(const std::string& sd, const std::vector<std::string>& sids, uint32_t asked, std::string& why);

}  // namespace nsim
